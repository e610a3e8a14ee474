#pragma once

// Owning pointers for libav's objects, each released by the call libav pairs
// with its allocation. The one set for the media stack and its tests: a new
// kind of object gets its deleter here, not a copy in the file that uses it.
// Only the type names are needed to hold one; the deleters live out of line.

#include <memory>

struct AVAudioFifo;
struct AVCodecContext;
struct AVFormatContext;
struct AVFrame;
struct AVPacket;
struct SwrContext;
struct SwsContext;

// An input of avformat_open_input: avformat_close_input.
struct LibavInputCloser {
  void operator()(AVFormatContext* format) const;
};
// An output of avformat_alloc_output_context2: its file, when one was opened,
// is closed, then the context is freed.
struct LibavOutputCloser {
  void operator()(AVFormatContext* format) const;
};
struct LibavCodecFreer {
  void operator()(AVCodecContext* codec) const;
};
struct LibavFrameFreer {
  void operator()(AVFrame* frame) const;
};
struct LibavPacketFreer {
  void operator()(AVPacket* packet) const;
};
struct LibavScalerFreer {
  void operator()(SwsContext* scaler) const;
};
struct LibavResamplerFreer {
  void operator()(SwrContext* resampler) const;
};
struct LibavAudioFifoFreer {
  void operator()(AVAudioFifo* fifo) const;
};

using LibavInputPtr = std::unique_ptr<AVFormatContext, LibavInputCloser>;
using LibavOutputPtr = std::unique_ptr<AVFormatContext, LibavOutputCloser>;
using LibavCodecPtr = std::unique_ptr<AVCodecContext, LibavCodecFreer>;
using LibavFramePtr = std::unique_ptr<AVFrame, LibavFrameFreer>;
using LibavPacketPtr = std::unique_ptr<AVPacket, LibavPacketFreer>;
using LibavScalerPtr = std::unique_ptr<SwsContext, LibavScalerFreer>;
using LibavResamplerPtr = std::unique_ptr<SwrContext, LibavResamplerFreer>;
using LibavAudioFifoPtr = std::unique_ptr<AVAudioFifo, LibavAudioFifoFreer>;
