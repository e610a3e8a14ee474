#include "platform/avfoundation/LibavPointers.h"

#include "platform/avfoundation/LibavLibrary.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/frame.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

void LibavInputCloser::operator()(AVFormatContext* format) const {
  Libav().avformat_close_input(&format);
}

void LibavOutputCloser::operator()(AVFormatContext* format) const {
  if (format && format->pb) Libav().avio_closep(&format->pb);
  Libav().avformat_free_context(format);
}

void LibavCodecFreer::operator()(AVCodecContext* codec) const {
  Libav().avcodec_free_context(&codec);
}

void LibavFrameFreer::operator()(AVFrame* frame) const { Libav().av_frame_free(&frame); }

void LibavPacketFreer::operator()(AVPacket* packet) const { Libav().av_packet_free(&packet); }

void LibavScalerFreer::operator()(SwsContext* scaler) const { Libav().sws_freeContext(scaler); }

void LibavResamplerFreer::operator()(SwrContext* resampler) const { Libav().swr_free(&resampler); }

void LibavAudioFifoFreer::operator()(AVAudioFifo* fifo) const { Libav().av_audio_fifo_free(fifo); }
