#include "support/camera/CameraFixtures.h"

#include <cstring>
#include <memory>

#include "platform/avfoundation/AVAsset.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/ImageIOProperties.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
#include <libswscale/swscale.h>
}

namespace camera_test {

CGImageRef PatternFrame(int width, int height, int index) {
  auto pixels = std::make_shared<Bytes>(size_t(width) * height * 4);
  const uint8_t blue = uint8_t((40 + 60 * index) % 256);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      uint8_t* p = &(*pixels)[(size_t(y) * width + x) * 4];
      p[0] = uint8_t(x * 255 / std::max(1, width - 1));
      p[1] = uint8_t(y * 255 / std::max(1, height - 1));
      p[2] = blue;
      p[3] = 255;
    }
  }
  return CGImage::create(size_t(width), size_t(height), 8, 32, size_t(width) * 4,
                         kCGImageAlphaNoneSkipLast, pixels);
}

int FrameOfBlue(int blue) {
  for (int i = 0; i < 8; ++i) {
    if (std::abs(blue - (40 + 60 * i) % 256) <= 12) return i;
  }
  return -1;
}

bool WriteClip(const std::string& path, int width, int height, int frames, int fps, int rotation) {
  AVQuietMediaLibraryLogs();
  AVFormatContext* format = nullptr;
  if (avformat_alloc_output_context2(&format, nullptr, nullptr, path.c_str()) < 0) return false;
  const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
  AVStream* stream = codec ? avformat_new_stream(format, nullptr) : nullptr;
  AVCodecContext* encoder = codec ? avcodec_alloc_context3(codec) : nullptr;
  bool ok = stream && encoder;
  if (ok) {
    encoder->width = width;
    encoder->height = height;
    encoder->pix_fmt = AV_PIX_FMT_YUVJ420P;
    encoder->time_base = AVRational{1, fps};
    encoder->framerate = AVRational{fps, 1};
    encoder->flags |= AV_CODEC_FLAG_QSCALE;
    encoder->global_quality = FF_QP2LAMBDA * 2;
    ok = avcodec_open2(encoder, codec, nullptr) >= 0 &&
         avcodec_parameters_from_context(stream->codecpar, encoder) >= 0;
    stream->time_base = encoder->time_base;
    if (ok && rotation != 0) {
      // This libavutil's setter takes the clockwise turn (its getter answers
      // the counter-clockwise one, which readers negate).
      auto* matrix = static_cast<int32_t*>(av_malloc(9 * sizeof(int32_t)));
      av_display_rotation_set(matrix, rotation);
      ok = av_stream_add_side_data(stream, AV_PKT_DATA_DISPLAYMATRIX,
                                   reinterpret_cast<uint8_t*>(matrix), 9 * sizeof(int32_t)) >= 0;
    }
  }
  ok = ok && avio_open(&format->pb, path.c_str(), AVIO_FLAG_WRITE) >= 0 &&
       avformat_write_header(format, nullptr) >= 0;
  SwsContext* sws = ok ? sws_getContext(width, height, AV_PIX_FMT_RGBA, width, height,
                                        AV_PIX_FMT_YUVJ420P, SWS_BILINEAR, nullptr, nullptr, nullptr)
                       : nullptr;
  AVFrame* frame = av_frame_alloc();
  // The pattern goes through a picture of libav's own layout: libswscale
  // reads its source in whole vectors too, past a tight row's end.
  AVFrame* source = av_frame_alloc();
  source->format = AV_PIX_FMT_RGBA;
  source->width = width;
  source->height = height;
  ok = ok && av_frame_get_buffer(source, 0) >= 0;
  AVPacket* packet = av_packet_alloc();
  auto drain = [&] {
    while (avcodec_receive_packet(encoder, packet) >= 0) {
      av_packet_rescale_ts(packet, encoder->time_base, stream->time_base);
      packet->stream_index = stream->index;
      av_interleaved_write_frame(format, packet);
    }
  };
  for (int i = 0; ok && sws && i < frames; ++i) {
    frame->format = AV_PIX_FMT_YUVJ420P;
    frame->width = width;
    frame->height = height;
    ok = av_frame_get_buffer(frame, 0) >= 0;
    CGImageRef rgba = PatternFrame(width, height, i);
    const auto pattern = rgba->pixelData();
    for (int y = 0; y < height; ++y) {
      uint8_t* row = source->data[0] + size_t(y) * source->linesize[0];
      std::memcpy(row, pattern->data() + size_t(y) * rgba->bytesPerRow(), size_t(width) * 4);
      // Chroma of an odd width averages the last pixel with the one after
      // it: that one repeats the edge rather than being left undefined.
      for (int x = width; x < source->linesize[0] / 4; ++x) {
        std::memcpy(row + size_t(x) * 4, row + size_t(width - 1) * 4, 4);
      }
    }
    sws_scale(sws, source->data, source->linesize, 0, height, frame->data, frame->linesize);
    frame->pts = i;
    ok = ok && avcodec_send_frame(encoder, frame) >= 0;
    drain();
    av_frame_unref(frame);
  }
  if (ok) {
    avcodec_send_frame(encoder, nullptr);
    drain();
    ok = av_write_trailer(format) >= 0;
  }
  av_packet_free(&packet);
  av_frame_free(&frame);
  av_frame_free(&source);
  sws_freeContext(sws);
  avcodec_free_context(&encoder);
  if (format->pb) avio_closep(&format->pb);
  avformat_free_context(format);
  return ok && sws;
}

bool WriteStill(const std::string& path, int width, int height, int quality) {
  auto dest = CGImageDestinationCreateWithURL(path, "public.jpeg", 1);
  CGImageDestinationAddImage(
      dest, PatternFrame(width, height, 0),
      Value::map({{kCGImageDestinationLossyCompressionQuality, quality / 100.0}}));
  return CGImageDestinationFinalize(dest);
}

RGBA PixelAt(const CGImageRef& image, int x, int y) {
  auto data = image->pixelData();
  const uint8_t* p = data->data() + size_t(y) * image->bytesPerRow() + size_t(x) * 4;
  const bool bgra = (image->bitmapInfo() & kCGBitmapByteOrder32Little) != 0;
  return bgra ? RGBA{p[2], p[1], p[0], p[3]} : RGBA{p[0], p[1], p[2], p[3]};
}

testing::AssertionResult ShowsPattern(const CGImageRef& image, int width, int height, int index,
                                      int tolerance) {
  if (!image) return testing::AssertionFailure() << "no image";
  if (image->width() != size_t(width) || image->height() != size_t(height)) {
    return testing::AssertionFailure() << "size " << image->width() << "x" << image->height();
  }
  const CGImageRef expected = PatternFrame(width, height, index);
  const int spots[][2] = {
      {0, 0}, {width - 1, 0}, {0, height - 1}, {width - 1, height - 1}, {width / 2, height / 2}};
  for (const auto& spot : spots) {
    const RGBA got = PixelAt(image, spot[0], spot[1]);
    const RGBA want = PixelAt(expected, spot[0], spot[1]);
    if (std::abs(got.r - want.r) > tolerance || std::abs(got.g - want.g) > tolerance ||
        std::abs(got.b - want.b) > tolerance) {
      return testing::AssertionFailure()
             << "at (" << spot[0] << ", " << spot[1] << ") " << got.r << "," << got.g << ","
             << got.b << " instead of " << want.r << "," << want.g << "," << want.b;
    }
  }
  return testing::AssertionSuccess();
}

}  // namespace camera_test
