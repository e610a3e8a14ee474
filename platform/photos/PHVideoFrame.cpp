#include <cmath>
#include <memory>

#include "platform/avfoundation/AVAsset.h"
#include "platform/photos/PHFileMediaProvider.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libswscale/swscale.h>
}

namespace {

struct FormatCloser {
  void operator()(AVFormatContext* f) const { avformat_close_input(&f); }
};
struct CodecFreer {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameFreer {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketFreer {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};

// Turns an RGBA bitmap by the stream's rotation (multiples of 90 degrees).
std::shared_ptr<Bytes> rotated(const Bytes& rgba, int& width, int& height, int degrees) {
  auto out = std::make_shared<Bytes>(rgba.size());
  int w = width, h = height;
  bool swap = degrees == 90 || degrees == 270;
  int ow = swap ? h : w;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      int nx = x, ny = y;
      if (degrees == 90) nx = h - 1 - y, ny = x;
      else if (degrees == 180) nx = w - 1 - x, ny = h - 1 - y;
      else if (degrees == 270) nx = y, ny = w - 1 - x;
      std::copy_n(&rgba[(static_cast<size_t>(y) * w + x) * 4], 4, &(*out)[(static_cast<size_t>(ny) * ow + nx) * 4]);
    }
  }
  if (swap) std::swap(width, height);
  return out;
}

}  // namespace

CGImageRef PHDecodeVideoFrame(const std::string& path) {
  AVQuietMediaLibraryLogs();
  AVFormatContext* rawFormat = nullptr;
  if (avformat_open_input(&rawFormat, path.c_str(), nullptr, nullptr) < 0) return nullptr;
  std::unique_ptr<AVFormatContext, FormatCloser> format(rawFormat);
  if (avformat_find_stream_info(format.get(), nullptr) < 0) return nullptr;
  const AVCodec* codec = nullptr;
  int index = av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  if (index < 0 || !codec) return nullptr;
  AVStream* stream = format->streams[index];
  std::unique_ptr<AVCodecContext, CodecFreer> decoder(avcodec_alloc_context3(codec));
  if (!decoder || avcodec_parameters_to_context(decoder.get(), stream->codecpar) < 0 ||
      avcodec_open2(decoder.get(), codec, nullptr) < 0) {
    return nullptr;
  }
  std::unique_ptr<AVFrame, FrameFreer> frame(av_frame_alloc());
  std::unique_ptr<AVPacket, PacketFreer> packet(av_packet_alloc());
  bool got = false;
  while (!got && av_read_frame(format.get(), packet.get()) >= 0) {
    if (packet->stream_index == index && avcodec_send_packet(decoder.get(), packet.get()) >= 0) {
      got = avcodec_receive_frame(decoder.get(), frame.get()) >= 0;
    }
    av_packet_unref(packet.get());
  }
  if (!got) {
    avcodec_send_packet(decoder.get(), nullptr);
    got = avcodec_receive_frame(decoder.get(), frame.get()) >= 0;
  }
  if (!got || frame->width <= 0 || frame->height <= 0) return nullptr;
  int width = frame->width, height = frame->height;
  SwsContext* sws = sws_getContext(width, height, static_cast<AVPixelFormat>(frame->format), width,
                                   height, AV_PIX_FMT_RGBA, SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (!sws) return nullptr;
  Bytes rgba(static_cast<size_t>(width) * height * 4);
  uint8_t* planes[1] = {rgba.data()};
  int strides[1] = {width * 4};
  sws_scale(sws, frame->data, frame->linesize, 0, height, planes, strides);
  sws_freeContext(sws);

  int degrees = 0;
  size_t size = 0;
  if (const uint8_t* matrix = av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
      matrix && size >= 9 * sizeof(int32_t)) {
    double angle = -av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
    degrees = ((static_cast<int>(std::lround(angle)) % 360) + 360) % 360;
  }
  auto pixels = (degrees % 90 == 0 && degrees != 0) ? rotated(rgba, width, height, degrees)
                                                     : std::make_shared<Bytes>(std::move(rgba));
  return CGImage::create(static_cast<size_t>(width), static_cast<size_t>(height), 8, 32,
                         static_cast<size_t>(width) * 4, kCGImageAlphaNoneSkipLast, pixels);
}
