#pragma once

// A source of bytes: given at once, or produced on first request (a bitmap's
// pixels, which may still be undecoded).

#include <functional>
#include <memory>

#include "platform/coregraphics/CGColorSpace.h"
#include "platform/coregraphics/CGImage.h"
#include "platform/foundation/NSData.h"

class CGDataProvider : public NSObject {
 public:
  explicit CGDataProvider(std::shared_ptr<const Bytes> bytes) : bytes_(std::move(bytes)) {}
  explicit CGDataProvider(CGImageRef image) : image_(std::move(image)) {}

  // Never null for a provider made from bytes; null for one over a bitmap
  // whose pixels could not be made.
  std::shared_ptr<const Bytes> copyData() const;
  // The bitmap whose pixels this provider hands out, if it is one.
  const CGImageRef& image() const { return image_; }

  std::string className() const override { return "CGDataProvider"; }

 private:
  std::shared_ptr<const Bytes> bytes_;
  CGImageRef image_;
};

using CGDataProviderRef = std::shared_ptr<CGDataProvider>;

CGDataProviderRef CGDataProviderCreateWithData(std::shared_ptr<const Bytes> bytes);
CGDataProviderRef CGDataProviderCreateWithCFData(const NSDataPtr& data);
std::shared_ptr<const Bytes> CGDataProviderCopyData(const CGDataProviderRef& provider);

// The pixels of a bitmap; reading them decodes a lazy bitmap (and reads
// null when that fails).
CGDataProviderRef CGImageGetDataProvider(const CGImageRef& image);

enum CGColorRenderingIntent : int32_t {
  kCGRenderingIntentDefault = 0,
  kCGRenderingIntentAbsoluteColorimetric,
  kCGRenderingIntentRelativeColorimetric,
  kCGRenderingIntentPerceptual,
  kCGRenderingIntentSaturation,
};

// The platform's full constructor. A provider over a bitmap that is still
// lazy gives a lazy bitmap sharing its decode (and its failure: no pixels).
// nullptr for a provider with no bytes to give. decode arrays and rendering
// intents are accepted and not applied.
CGImageRef CGImageCreate(size_t width, size_t height, size_t bitsPerComponent, size_t bitsPerPixel,
                         size_t bytesPerRow, const CGColorSpaceRef& space, uint32_t bitmapInfo,
                         const CGDataProviderRef& provider, const double* decode,
                         bool shouldInterpolate, CGColorRenderingIntent intent);
CGColorSpaceRef CGImageGetColorSpace(const CGImageRef& image);
