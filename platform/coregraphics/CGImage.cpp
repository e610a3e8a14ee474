#include "platform/coregraphics/CGImage.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/OSLog.h"

namespace {

bool validGeometry(size_t width, size_t height, size_t bitsPerComponent, size_t bitsPerPixel,
                   size_t bytesPerRow) {
  if (width == 0 || height == 0) return false;
  if (bitsPerComponent != 1 && bitsPerComponent != 2 && bitsPerComponent != 4 &&
      bitsPerComponent != 5 && bitsPerComponent != 8 && bitsPerComponent != 16 &&
      bitsPerComponent != 32)
    return false;
  if (bitsPerPixel < bitsPerComponent || bitsPerPixel > 128) return false;
  // Guard the byte count against overflow before anything multiplies it.
  if (width > (SIZE_MAX / 128) || height > SIZE_MAX / std::max<size_t>(bytesPerRow, 1))
    return false;
  return bytesPerRow >= (width * bitsPerPixel + 7) / 8;
}

const char* alphaName(CGImageAlphaInfo info) {
  switch (info) {
    case kCGImageAlphaNone:
      return "kCGImageAlphaNone";
    case kCGImageAlphaPremultipliedLast:
      return "kCGImageAlphaPremultipliedLast";
    case kCGImageAlphaPremultipliedFirst:
      return "kCGImageAlphaPremultipliedFirst";
    case kCGImageAlphaLast:
      return "kCGImageAlphaLast";
    case kCGImageAlphaFirst:
      return "kCGImageAlphaFirst";
    case kCGImageAlphaNoneSkipLast:
      return "kCGImageAlphaNoneSkipLast";
    case kCGImageAlphaNoneSkipFirst:
      return "kCGImageAlphaNoneSkipFirst";
    case kCGImageAlphaOnly:
      return "kCGImageAlphaOnly";
  }
  return "kCGImageAlphaUnknown";
}

const char* byteOrderName(uint32_t order) {
  switch (order) {
    case kCGBitmapByteOrder16Little:
      return "kCGImageByteOrder16Little";
    case kCGBitmapByteOrder32Little:
      return "kCGImageByteOrder32Little";
    case kCGBitmapByteOrder16Big:
      return "kCGImageByteOrder16Big";
    case kCGBitmapByteOrder32Big:
      return "kCGImageByteOrder32Big";
    default:
      return "kCGImageByteOrderDefault";
  }
}

}  // namespace

CGImage::CGImage(size_t width, size_t height, size_t bitsPerComponent, size_t bitsPerPixel,
                 size_t bytesPerRow, uint32_t bitmapInfo, std::string colorSpaceName)
    : width_(width),
      height_(height),
      bitsPerComponent_(bitsPerComponent),
      bitsPerPixel_(bitsPerPixel),
      bytesPerRow_(bytesPerRow),
      bitmapInfo_(bitmapInfo),
      colorSpaceName_(std::move(colorSpaceName)) {}

size_t CGImage::requiredBytes(size_t height, size_t bitsPerPixel, size_t width,
                              size_t bytesPerRow) {
  if (height == 0) return 0;
  return bytesPerRow * (height - 1) + (width * bitsPerPixel + 7) / 8;
}

CGImageRef CGImage::create(size_t width, size_t height, size_t bitsPerComponent,
                           size_t bitsPerPixel, size_t bytesPerRow, uint32_t bitmapInfo,
                           std::shared_ptr<const Bytes> pixels, std::string colorSpaceName) {
  if (!pixels || !validGeometry(width, height, bitsPerComponent, bitsPerPixel, bytesPerRow))
    return nullptr;
  if (pixels->size() < requiredBytes(height, bitsPerPixel, width, bytesPerRow)) return nullptr;
  auto image = std::make_shared<CGImage>(width, height, bitsPerComponent, bitsPerPixel, bytesPerRow,
                                         bitmapInfo, std::move(colorSpaceName));
  image->pixels_ = std::move(pixels);
  std::call_once(image->once_, [] {});
  image->decoded_.store(true, std::memory_order_release);
  return image;
}

CGImageRef CGImage::createLazy(size_t width, size_t height, size_t bitsPerComponent,
                               size_t bitsPerPixel, size_t bytesPerRow, uint32_t bitmapInfo,
                               PixelProvider provider, std::string colorSpaceName,
                               RowProvider rows) {
  if (!provider || !validGeometry(width, height, bitsPerComponent, bitsPerPixel, bytesPerRow))
    return nullptr;
  auto image = std::make_shared<CGImage>(width, height, bitsPerComponent, bitsPerPixel, bytesPerRow,
                                         bitmapInfo, std::move(colorSpaceName));
  image->provider_ = std::move(provider);
  MutexLock lock(image->rowsMutex_);
  image->rows_ = std::move(rows);
  return image;
}

std::shared_ptr<const Bytes> CGImage::rowPixelData(size_t first, size_t count) const {
  if (!isLazy() || count == 0 || first >= height_ || count > height_ - first) return nullptr;
  RowProvider rows;
  {
    MutexLock lock(rowsMutex_);
    rows = rows_;
  }
  if (!rows) return nullptr;
  std::shared_ptr<const Bytes> produced = rows(first, count);
  if (!produced || produced->size() < requiredBytes(count, bitsPerPixel_, width_, bytesPerRow_)) {
    return nullptr;
  }
  return produced;
}

std::shared_ptr<const Bytes> CGImage::pixelData() const {
  std::call_once(once_, [this] {
    std::shared_ptr<const Bytes> produced = provider_ ? provider_() : nullptr;
    size_t needed = requiredBytes(height_, bitsPerPixel_, width_, bytesPerRow_);
    if (!produced || produced->size() < needed) {
      // No stand-in bitmap: zeros of the full size would cost as much as
      // the picture and be drawn, encoded and written as if they were one.
      NSLog("CGImage: the pixel provider failed; the image has no pixels");
      produced = nullptr;
    }
    pixels_ = std::move(produced);
    provider_ = nullptr;  // drops whatever the provider held (source data)
    {
      MutexLock lock(rowsMutex_);
      rows_ = nullptr;
    }
    decoded_.store(true, std::memory_order_release);
  });
  return pixels_;
}

const std::string& CGImage::utType() const {
  MutexLock lock(typeMutex_);
  return utType_;
}

void CGImage::setUTType(std::string type) {
  MutexLock lock(typeMutex_);
  utType_ = std::move(type);
}

std::string CGImage::description() const {
  char head[64];
  std::snprintf(head, sizeof head, "<CGImage %p> (%s)", static_cast<const void*>(this),
                isLazy() ? "IP" : "DP");
  std::string text = head;
  text += "\n\t<<CGColorSpace> (" + colorSpaceName_ + ")>";
  text += "\n\twidth = " + std::to_string(width_) + ", height = " + std::to_string(height_) +
          ", bpc = " + std::to_string(bitsPerComponent_) +
          ", bpp = " + std::to_string(bitsPerPixel_) +
          ", row bytes = " + std::to_string(bytesPerRow_);
  text += std::string("\n\t") + alphaName(alphaInfo()) + " | " + byteOrderName(byteOrder());
  return text;
}

std::string CGImageGetUTType(const CGImageRef& image) {
  return image ? image->utType() : std::string();
}

namespace {

std::shared_ptr<const Bytes> copyRows(const Bytes& src, size_t srcBytesPerRow, size_t x0, size_t y0,
                                      size_t w, size_t h, size_t bitsPerPixel) {
  size_t rowBytes = w * bitsPerPixel / 8;
  auto out = std::make_shared<Bytes>(rowBytes * h);
  size_t xOffset = x0 * bitsPerPixel / 8;
  for (size_t y = 0; y < h; ++y)
    std::memcpy(out->data() + y * rowBytes, src.data() + (y0 + y) * srcBytesPerRow + xOffset,
                rowBytes);
  return out;
}

}  // namespace

CGImageRef CGImageCreateWithImageInRect(const CGImageRef& image, CGRect rect) {
  if (!image || CGRectIsNull(rect)) return nullptr;
  // Sub-byte pixels cannot be cut on arbitrary columns.
  if (image->bitsPerPixel() % 8 != 0) return nullptr;
  CGRect bounds = CGRectMake(0, 0, image->width(), image->height());
  CGRect r = CGRectIntersection(CGRectIntegral(rect), bounds);
  if (CGRectIsNull(r) || r.size.width < 1 || r.size.height < 1) return nullptr;
  size_t x0 = static_cast<size_t>(r.origin.x), y0 = static_cast<size_t>(r.origin.y);
  size_t w = static_cast<size_t>(r.size.width), h = static_cast<size_t>(r.size.height);
  size_t bpp = image->bitsPerPixel(), srcRow = image->bytesPerRow();
  if (x0 == 0 && y0 == 0 && w == image->width() && h == image->height()) return image;
  CGImageRef result;
  if (image->isLazy()) {
    // Keep the cut lazy so cutting bands from a large lazy bitmap costs nothing
    // until a band is drawn.
    CGImageRef source = image;
    result = CGImage::createLazy(
        w, h, image->bitsPerComponent(), bpp, w * bpp / 8, image->bitmapInfo(),
        [source, srcRow, x0, y0, w, h, bpp] {
          // Only the rows cut need decoding when the source can give them.
          if (auto rows = source->rowPixelData(y0, h)) {
            return x0 == 0 && w == source->width() ? rows
                                                   : copyRows(*rows, srcRow, x0, 0, w, h, bpp);
          }
          auto whole = source->pixelData();
          return whole ? copyRows(*whole, srcRow, x0, y0, w, h, bpp) : nullptr;
        },
        image->colorSpaceName());
  } else {
    // A source whose provider failed has nothing to cut.
    auto whole = image->pixelData();
    if (!whole) return nullptr;
    result = CGImage::create(w, h, image->bitsPerComponent(), bpp, w * bpp / 8, image->bitmapInfo(),
                             copyRows(*whole, srcRow, x0, y0, w, h, bpp), image->colorSpaceName());
  }
  return result;
}
