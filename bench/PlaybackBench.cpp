// Video playback costs: one second of 1080p H.264 (30 pictures) decoded and
// presented through the player (item, player on the manual clock, layer
// drawn into a 1920 x 1080 bitmap at each picture's time), beside libavcodec
// decoding the same pictures and swscale converting each to 32-bit pixels
// (B, G, R, X: the player's layout), as the player does. A middle figure draws a layer of no size,
// which still asks for each picture at its time (so every one is decoded and converted) but places
// it nowhere: the player's decoding and conversion show apart from Core Graphics scaling the
// picture onto the screen (even onto one pixel, scaling reads every pixel of the picture). That one
// is the figure to hold against the peer's.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "platform/avfoundation/AVFrameImage.h"
#include "platform/avfoundation/AVPlayer.h"
#include "platform/coregraphics/CGColorSpace.h"
#include "platform/coregraphics/CGContext.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/PlatformClock.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/opt.h>
#include <libswscale/swscale.h>
}

namespace {

constexpr int kWidth = 1920, kHeight = 1080, kFrames = 30;

// Moving bands over a fine texture: enough detail that the decoder works
// as it does on camera footage of a calm scene.
void paint(AVFrame* frame, int index) {
  uint32_t seed = 12345;
  for (int y = 0; y < kHeight; ++y) {
    uint8_t* row = frame->data[0] + y * frame->linesize[0];
    for (int x = 0; x < kWidth; ++x) {
      seed = seed * 1664525u + 1013904223u;
      row[x] = static_cast<uint8_t>(64 + 60 * std::sin((x + index * 12) / 40.0) + 40 * std::cos(y / 30.0) +
                                    ((seed >> 24) & 15));
    }
  }
  for (int y = 0; y < kHeight / 2; ++y) {
    for (int x = 0; x < kWidth / 2; ++x) {
      frame->data[1][y * frame->linesize[1] + x] = static_cast<uint8_t>(128 + 40 * std::sin((x + y + index * 6) / 50.0));
      frame->data[2][y * frame->linesize[2] + x] = static_cast<uint8_t>(128 + 40 * std::cos((x - y) / 70.0));
    }
  }
}

std::string writeMovie() {
  std::string path = NSTemporaryDirectory() + "/qx-playback-bench-1080p.mp4";
  AVFormatContext* out = nullptr;
  avformat_alloc_output_context2(&out, nullptr, nullptr, path.c_str());
  const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
  if (!codec) codec = avcodec_find_encoder(AV_CODEC_ID_H264);
  AVStream* stream = avformat_new_stream(out, nullptr);
  AVCodecContext* enc = avcodec_alloc_context3(codec);
  enc->width = kWidth;
  enc->height = kHeight;
  enc->pix_fmt = AV_PIX_FMT_YUV420P;
  enc->time_base = {1, 30};
  enc->framerate = {30, 1};
  enc->gop_size = 30;
  av_opt_set(enc->priv_data, "preset", "veryfast", 0);
  av_opt_set(enc->priv_data, "crf", "23", 0);
  if (out->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  avcodec_open2(enc, codec, nullptr);
  avcodec_parameters_from_context(stream->codecpar, enc);
  stream->time_base = enc->time_base;
  avio_open(&out->pb, path.c_str(), AVIO_FLAG_WRITE);
  if (avformat_write_header(out, nullptr) < 0) {
    avio_closep(&out->pb);
    avcodec_free_context(&enc);
    avformat_free_context(out);
    return "";  // the benchmarks skip, saying why
  }
  AVFrame* frame = av_frame_alloc();
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = kWidth;
  frame->height = kHeight;
  av_frame_get_buffer(frame, 0);
  AVPacket* packet = av_packet_alloc();
  auto drain = [&] {
    while (avcodec_receive_packet(enc, packet) >= 0) {
      av_packet_rescale_ts(packet, enc->time_base, stream->time_base);
      packet->stream_index = stream->index;
      av_interleaved_write_frame(out, packet);
    }
  };
  for (int i = 0; i < kFrames; ++i) {
    av_frame_make_writable(frame);
    paint(frame, i);
    frame->pts = i;
    avcodec_send_frame(enc, frame);
    drain();
  }
  avcodec_send_frame(enc, nullptr);
  drain();
  av_write_trailer(out);
  avio_closep(&out->pb);
  av_packet_free(&packet);
  av_frame_free(&frame);
  avcodec_free_context(&enc);
  avformat_free_context(out);
  return path;
}

const std::string& moviePath() {
  static const std::string path = writeMovie();
  return path;
}

// libavcodec and swscale alone, as the player sets them up: one decoding
// thread, every picture converted to 32-bit rows in the player's layout,
// row alignment and filter, into one buffer.
void BM_LibavcodecAndSwscale_DecodeAndConvert1sOf1080p(benchmark::State& state) {
  AVQuietMediaLibraryLogs();
  const std::string& path = moviePath();
  if (path.empty()) {
    state.SkipWithError("the 1080p clip could not be written");
    return;
  }
  int64_t pictures = 0;
  const size_t rowBytes = AVScaledBytesPerRow(kWidth);
  Bytes rgba(rowBytes * kHeight + kAVScaledBufferSlack);
  SwsContext* scaler = nullptr;
  auto convert = [&](const AVFrame* frame) {
    scaler = sws_getCachedContext(scaler, frame->width, frame->height, AVPixelFormat(frame->format),
                                  frame->width, frame->height, AV_PIX_FMT_BGRA, SWS_BILINEAR,
                                  nullptr, nullptr, nullptr);
    uint8_t* dst[4] = {rgba.data(), nullptr, nullptr, nullptr};
    int dstStride[4] = {int(rowBytes), 0, 0, 0};
    if (sws_scale(scaler, frame->data, frame->linesize, 0, frame->height, dst, dstStride) ==
        frame->height) {
      ++pictures;
    }
  };
  for (auto _ : state) {
    AVFormatContext* format = nullptr;
    avformat_open_input(&format, path.c_str(), nullptr, nullptr);
    avformat_find_stream_info(format, nullptr);
    int index = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const AVCodec* decoder = avcodec_find_decoder(format->streams[index]->codecpar->codec_id);
    AVCodecContext* codec = avcodec_alloc_context3(decoder);
    avcodec_parameters_to_context(codec, format->streams[index]->codecpar);
    codec->thread_count = 1;
    avcodec_open2(codec, decoder, nullptr);
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    while (av_read_frame(format, packet) >= 0) {
      if (packet->stream_index == index) avcodec_send_packet(codec, packet);
      av_packet_unref(packet);
      while (avcodec_receive_frame(codec, frame) >= 0) convert(frame);
    }
    avcodec_send_packet(codec, nullptr);
    while (avcodec_receive_frame(codec, frame) >= 0) convert(frame);
    av_frame_free(&frame);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    avformat_close_input(&format);
  }
  sws_freeContext(scaler);
  state.counters["pictures"] = benchmark::Counter(double(pictures), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_LibavcodecAndSwscale_DecodeAndConvert1sOf1080p)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

CGContextRef screen(size_t width, size_t height) {
  CGContextRef context = CGBitmapContextCreate(nullptr, width, height, 8, width * 4, CGColorSpaceCreateDeviceRGB(),
                                               kCGImageAlphaPremultipliedLast);
  // A y-down user space, as the layer tree draws.
  CGContextTranslateCTM(context, 0, double(height));
  CGContextScaleCTM(context, 1, -1);
  return context;
}

void playThrough(benchmark::State& state, size_t screenWidth, size_t screenHeight) {
  const std::string& path = moviePath();
  if (path.empty()) {
    state.SkipWithError("the 1080p clip could not be written");
    return;
  }
  PlatformClock::useManualClock();
  CGContextRef context =
      screen(std::max<size_t>(1, screenWidth), std::max<size_t>(1, screenHeight));
  for (auto _ : state) {
    auto item = AVPlayerItem::playerItemWithURL(NSURL::fileURLWithPath(path));
    auto player = AVPlayer::playerWithPlayerItem(item);
    auto layer = AVPlayerLayer::playerLayerWithPlayer(player);
    layer->setFrame(CGRectMake(0, 0, double(screenWidth), double(screenHeight)));
    while (item->status() == AVPlayerItemStatusUnknown || !item->isPlaybackBufferFull()) {
      NSRunLoop::mainRunLoop().runOnce(1);
    }
    player->play();
    for (int i = 0; i < kFrames; ++i) {
      layer->renderInContext(context);
      PlatformClock::advance(1.0 / 30);
    }
    player->pause();
    NSRunLoop::mainRunLoop().runUntilIdle();
  }
  PlatformClock::useRealClock();
}

void BM_Player_DecodeAndPresent1sOf1080p(benchmark::State& state) { playThrough(state, kWidth, kHeight); }
BENCHMARK(BM_Player_DecodeAndPresent1sOf1080p)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_Player_DecodeAndConvert1sOf1080p(benchmark::State& state) { playThrough(state, 0, 0); }
BENCHMARK(BM_Player_DecodeAndConvert1sOf1080p)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
