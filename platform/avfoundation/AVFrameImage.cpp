#include "platform/avfoundation/AVFrameImage.h"

#include <atomic>
#include <memory>

#include "platform/avfoundation/LibavLibrary.h"
#include "platform/foundation/ValueFwd.h"

extern "C" {
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

size_t AVScaledBytesPerRow(size_t width) {
  const size_t tight = width * 4;
  return (tight + kAVScaledRowAlignment - 1) / kAVScaledRowAlignment * kAVScaledRowAlignment;
}

std::shared_ptr<Bytes> AVFrameImageConverter::buffer(size_t size) {
  for (auto it = buffers_.begin(); it != buffers_.end(); ++it) {
    // Alone here, no image reads it: the fence orders the last reader's
    // accesses (its release of the count) before the writes that follow.
    if ((*it)->size() != size || it->use_count() != 1) continue;
    std::atomic_thread_fence(std::memory_order_acquire);
    auto reused = std::move(*it);
    buffers_.erase(it);
    buffers_.push_back(reused);
    return reused;
  }
  if (buffers_.size() >= kKeptBuffers) buffers_.erase(buffers_.begin());
  buffers_.push_back(std::make_shared<Bytes>(size));
  return buffers_.back();
}

CGImageRef AVFrameImageConverter::convert(const AVFrame& frame) {
  const int w = frame.width, h = frame.height;
  if (w <= 0 || h <= 0 || !frame.data[0]) return nullptr;
  const bool bgra = layout_ == AVFrameImageLayout::BGRX;
  // The call frees the context it is given when it cannot reuse it.
  context_.reset(Libav().sws_getCachedContext(
      context_.release(), w, h, static_cast<AVPixelFormat>(frame.format), w, h,
      bgra ? AV_PIX_FMT_BGRA : AV_PIX_FMT_RGBA, SWS_BILINEAR, nullptr, nullptr, nullptr));
  if (!context_) return nullptr;
  const size_t rowBytes = AVScaledBytesPerRow(size_t(w));
  auto pixels = buffer(rowBytes * size_t(h) + kAVScaledBufferSlack);
  uint8_t* dst[4] = {pixels->data(), nullptr, nullptr, nullptr};
  int dstStride[4] = {static_cast<int>(rowBytes), 0, 0, 0};
  if (Libav().sws_scale(context_.get(), frame.data, frame.linesize, 0, h, dst, dstStride) != h)
    return nullptr;
  const uint32_t info = bgra ? (kCGImageAlphaNoneSkipFirst | kCGBitmapByteOrder32Little)
                             : uint32_t(kCGImageAlphaNoneSkipLast);
  return CGImage::create(size_t(w), size_t(h), 8, 32, rowBytes, info, std::move(pixels));
}
