#include <cmath>
#include <memory>

#include "platform/avfoundation/AVAsset.h"
#include "platform/avfoundation/AVFrameImage.h"
#include "platform/avfoundation/AVLibavPlaybackProvider.h"
#include "platform/avfoundation/LibavLibrary.h"
#include "platform/avfoundation/LibavPointers.h"
#include "platform/photos/PHFileMediaProvider.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
}

namespace {

// Turns an opaque 32-bit bitmap by the stream's rotation (multiples of 90
// degrees) into one with tight rows.
CGImageRef rotated(const CGImageRef& image, int degrees) {
  const size_t w = image->width(), h = image->height(), stride = image->bytesPerRow();
  const bool swap = degrees == 90 || degrees == 270;
  const size_t ow = swap ? h : w, oh = swap ? w : h;
  auto in = image->pixelData();
  if (!in) return nullptr;
  auto out = std::make_shared<Bytes>(ow * oh * 4);
  for (size_t y = 0; y < h; ++y) {
    const uint8_t* row = in->data() + y * stride;
    for (size_t x = 0; x < w; ++x) {
      size_t nx = x, ny = y;
      if (degrees == 90) nx = h - 1 - y, ny = x;
      else if (degrees == 180) nx = w - 1 - x, ny = h - 1 - y;
      else if (degrees == 270) nx = y, ny = w - 1 - x;
      std::copy_n(row + x * 4, 4, out->data() + (ny * ow + nx) * 4);
    }
  }
  return CGImage::create(ow, oh, 8, 32, ow * 4, image->bitmapInfo(), std::move(out));
}

}  // namespace

CGImageRef PHDecodeVideoFrame(const std::string& path) {
  if (!AVLoadMediaLibraries(nullptr)) return nullptr;
  AVFormatContext* rawFormat = nullptr;
  if (Libav().avformat_open_input(&rawFormat, path.c_str(), nullptr, nullptr) < 0) return nullptr;
  LibavInputPtr format(rawFormat);
  if (Libav().avformat_find_stream_info(format.get(), nullptr) < 0) return nullptr;
  const AVCodec* codec = nullptr;
  int index = Libav().av_find_best_stream(format.get(), AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
  if (index < 0 || !codec) return nullptr;
  AVStream* stream = format->streams[index];
  // A video larger than the player plays has no frame here either: its
  // header alone would otherwise cost a picture of gigabytes.
  if (!AVVideoSizeAllowed(stream->codecpar->width, stream->codecpar->height)) return nullptr;
  LibavCodecPtr decoder(Libav().avcodec_alloc_context3(codec));
  if (!decoder || Libav().avcodec_parameters_to_context(decoder.get(), stream->codecpar) < 0 ||
      Libav().avcodec_open2(decoder.get(), codec, nullptr) < 0) {
    return nullptr;
  }
  LibavFramePtr frame(Libav().av_frame_alloc());
  LibavPacketPtr packet(Libav().av_packet_alloc());
  bool got = false;
  while (!got && Libav().av_read_frame(format.get(), packet.get()) >= 0) {
    if (packet->stream_index == index &&
        Libav().avcodec_send_packet(decoder.get(), packet.get()) >= 0) {
      got = Libav().avcodec_receive_frame(decoder.get(), frame.get()) >= 0;
    }
    Libav().av_packet_unref(packet.get());
  }
  if (!got) {
    Libav().avcodec_send_packet(decoder.get(), nullptr);
    got = Libav().avcodec_receive_frame(decoder.get(), frame.get()) >= 0;
  }
  if (!got || frame->width <= 0 || frame->height <= 0 ||
      !AVVideoSizeAllowed(frame->width, frame->height)) {
    return nullptr;
  }
  CGImageRef image = AVFrameImageConverter(AVFrameImageLayout::RGBX).convert(*frame);
  if (!image) return nullptr;

  int degrees = 0;
  size_t size = 0;
  if (const uint8_t* matrix =
          Libav().av_stream_get_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
      matrix && size >= 9 * sizeof(int32_t)) {
    double angle = -Libav().av_display_rotation_get(reinterpret_cast<const int32_t*>(matrix));
    degrees = ((static_cast<int>(std::lround(angle)) % 360) + 360) % 360;
  }
  return degrees % 90 == 0 && degrees != 0 ? rotated(image, degrees) : image;
}
