#pragma once

// Immutable bitmap. Pixels live in one shared buffer that copies and sub-images
// share; a lazy bitmap produces that buffer on first access, once, from any
// thread. The working layout everywhere is 8 bits per component, 32 bits per
// pixel, RGBA or BGRA, premultiplied or straight or without alpha.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/coregraphics/CGGeometry.h"
#include "platform/coregraphics/CGTypes.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/ValueFwd.h"

enum CGImageAlphaInfo : uint32_t {
  kCGImageAlphaNone = 0,
  kCGImageAlphaPremultipliedLast = 1,
  kCGImageAlphaPremultipliedFirst = 2,
  kCGImageAlphaLast = 3,
  kCGImageAlphaFirst = 4,
  kCGImageAlphaNoneSkipLast = 5,
  kCGImageAlphaNoneSkipFirst = 6,
  kCGImageAlphaOnly = 7,
};

// Bitmap info = alpha info | byte order (| float flag).
inline constexpr uint32_t kCGBitmapAlphaInfoMask = 0x1F;
inline constexpr uint32_t kCGBitmapFloatComponents = 1u << 8;
inline constexpr uint32_t kCGBitmapByteOrderDefault = 0;
inline constexpr uint32_t kCGBitmapByteOrder16Little = 1u << 12;
inline constexpr uint32_t kCGBitmapByteOrder32Little = 2u << 12;
inline constexpr uint32_t kCGBitmapByteOrder16Big = 3u << 12;
inline constexpr uint32_t kCGBitmapByteOrder32Big = 4u << 12;
inline constexpr uint32_t kCGBitmapByteOrderMask = 0x7000;
// The layout this machine's display takes without conversion (BGRA in memory).
inline constexpr uint32_t kCGBitmapByteOrder32Host = kCGBitmapByteOrder32Little;


class CGImage : public NSObject {
 public:
  using PixelProvider = std::function<std::shared_ptr<const Bytes>()>;
  // Rows [first, first + count) packed at bytesPerRow; nullptr when it cannot.
  using RowProvider = std::function<std::shared_ptr<const Bytes>(size_t first, size_t count)>;

  // Eager: the pixel buffer is given. nullptr when the geometry is invalid or
  // the buffer is too small for it.
  static CGImageRef create(size_t width, size_t height, size_t bitsPerComponent,
                           size_t bitsPerPixel, size_t bytesPerRow, uint32_t bitmapInfo,
                           std::shared_ptr<const Bytes> pixels,
                           std::string colorSpaceName = "kCGColorSpaceSRGB");
  // Lazy: pixels are produced on first access. A provider that fails (null or
  // too short a buffer) leaves an image without pixels for good: it is
  // never asked again, and nothing stands in for what it could not make.
  // A source that can decode row ranges on their own also gives `rows`, so
  // parts cut from the image never need all of it.
  static CGImageRef createLazy(size_t width, size_t height, size_t bitsPerComponent,
                               size_t bitsPerPixel, size_t bytesPerRow, uint32_t bitmapInfo,
                               PixelProvider provider,
                               std::string colorSpaceName = "kCGColorSpaceSRGB",
                               RowProvider rows = nullptr);

  size_t width() const { return width_; }
  size_t height() const { return height_; }
  size_t bitsPerComponent() const { return bitsPerComponent_; }
  size_t bitsPerPixel() const { return bitsPerPixel_; }
  size_t bytesPerRow() const { return bytesPerRow_; }
  uint32_t bitmapInfo() const { return bitmapInfo_; }
  CGImageAlphaInfo alphaInfo() const {
    return static_cast<CGImageAlphaInfo>(bitmapInfo_ & kCGBitmapAlphaInfoMask);
  }
  uint32_t byteOrder() const { return bitmapInfo_ & kCGBitmapByteOrderMask; }
  const std::string& colorSpaceName() const { return colorSpaceName_; }
  bool shouldInterpolate() const { return true; }

  // True until the provider has run.
  bool isLazy() const { return !decoded_.load(std::memory_order_acquire); }
  // True once the provider has run and failed: the image has no pixels.
  bool hasNoPixels() const { return !isLazy() && !pixels_; }
  // Forces decoding; nullptr when the provider failed (the same answer on
  // every later call). Whoever draws, encodes or copies the image must take
  // that as "nothing to show", never as a picture.
  std::shared_ptr<const Bytes> pixelData() const;
  // Rows [first, first + count) decoded on their own, packed at bytesPerRow,
  // while the image is lazy and its source can do that; nullptr otherwise
  // (read pixelData()).
  std::shared_ptr<const Bytes> rowPixelData(size_t first, size_t count) const;

  // Type identifier of the file the bitmap came from, "" when none.
  const std::string& utType() const;
  void setUTType(std::string type);

  // First line "<CGImage 0x...> (IP)" while lazy, "(DP)" once decoded, then the
  // geometry and layout, as the platform prints it.
  std::string description() const override;
  std::string className() const override { return "CGImage"; }

  // Minimum bytes a buffer needs for this geometry.
  static size_t requiredBytes(size_t height, size_t bitsPerPixel, size_t width, size_t bytesPerRow);

  CGImage(size_t width, size_t height, size_t bitsPerComponent, size_t bitsPerPixel,
          size_t bytesPerRow, uint32_t bitmapInfo, std::string colorSpaceName);

 private:
  size_t width_, height_, bitsPerComponent_, bitsPerPixel_, bytesPerRow_;
  uint32_t bitmapInfo_;
  std::string colorSpaceName_;
  mutable std::once_flag once_;
  mutable std::atomic<bool> decoded_{false};
  mutable PixelProvider provider_;
  mutable std::shared_ptr<const Bytes> pixels_;
  mutable Mutex rowsMutex_;
  mutable RowProvider rows_ GUARDED_BY(rowsMutex_);  // dropped once decoded
  mutable Mutex typeMutex_;  // guards utType_
  std::string utType_ GUARDED_BY(typeMutex_);
};

// Platform-style accessors, for code that reads like the platform's.
inline size_t CGImageGetWidth(const CGImageRef& i) { return i ? i->width() : 0; }
inline size_t CGImageGetHeight(const CGImageRef& i) { return i ? i->height() : 0; }
inline size_t CGImageGetBitsPerComponent(const CGImageRef& i) {
  return i ? i->bitsPerComponent() : 0;
}
inline size_t CGImageGetBitsPerPixel(const CGImageRef& i) { return i ? i->bitsPerPixel() : 0; }
inline size_t CGImageGetBytesPerRow(const CGImageRef& i) { return i ? i->bytesPerRow() : 0; }
inline uint32_t CGImageGetBitmapInfo(const CGImageRef& i) { return i ? i->bitmapInfo() : 0; }
inline CGImageAlphaInfo CGImageGetAlphaInfo(const CGImageRef& i) {
  return i ? i->alphaInfo() : kCGImageAlphaNone;
}
std::string CGImageGetUTType(const CGImageRef& image);

// Sub-image sharing nothing but the pixels it needs (a copy of the rows). The
// rectangle is in pixels, origin top-left, made integral and clipped to the
// image; nullptr when nothing is left.
CGImageRef CGImageCreateWithImageInRect(const CGImageRef& image, CGRect rect);
