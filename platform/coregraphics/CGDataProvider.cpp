#include "platform/coregraphics/CGDataProvider.h"

std::shared_ptr<const Bytes> CGDataProvider::copyData() const {
  if (image_) return image_->pixelData();
  return bytes_;
}

CGDataProviderRef CGDataProviderCreateWithData(std::shared_ptr<const Bytes> bytes) {
  if (!bytes) return nullptr;
  return std::make_shared<CGDataProvider>(std::move(bytes));
}

CGDataProviderRef CGDataProviderCreateWithCFData(const NSDataPtr& data) {
  if (!data) return nullptr;
  return CGDataProviderCreateWithData(std::make_shared<const Bytes>(data->vector()));
}

std::shared_ptr<const Bytes> CGDataProviderCopyData(const CGDataProviderRef& provider) {
  return provider ? provider->copyData() : nullptr;
}

CGDataProviderRef CGImageGetDataProvider(const CGImageRef& image) {
  if (!image) return nullptr;
  return std::make_shared<CGDataProvider>(image);
}

CGImageRef CGImageCreate(size_t width, size_t height, size_t bitsPerComponent, size_t bitsPerPixel,
                         size_t bytesPerRow, const CGColorSpaceRef& space, uint32_t bitmapInfo,
                         const CGDataProviderRef& provider, const double*, bool,
                         CGColorRenderingIntent) {
  if (!provider) return nullptr;
  std::string spaceName = space ? space->name() : std::string(kCGColorSpaceSRGB);
  const CGImageRef& source = provider->image();
  if (source && source->isLazy()) {
    size_t needed = CGImage::requiredBytes(height, bitsPerPixel, width, bytesPerRow);
    CGImageRef shared = source;
    // Checked again once decoded: a provider too short for this geometry,
    // or one whose decode failed, leaves the bitmap without pixels rather
    // than reading past its end.
    return CGImage::createLazy(
        width, height, bitsPerComponent, bitsPerPixel, bytesPerRow, bitmapInfo,
        [shared, needed]() -> std::shared_ptr<const Bytes> {
          auto data = shared->pixelData();
          return data && data->size() >= needed ? data : nullptr;
        },
        spaceName);
  }
  return CGImage::create(width, height, bitsPerComponent, bitsPerPixel, bytesPerRow, bitmapInfo,
                         provider->copyData(), spaceName);
}

CGColorSpaceRef CGImageGetColorSpace(const CGImageRef& image) {
  if (!image) return nullptr;
  if (auto space = CGColorSpaceCreateWithName(image->colorSpaceName())) return space;
  // A name this system does not know still answers as an RGB space.
  return std::make_shared<CGColorSpace>(image->colorSpaceName(), kCGColorSpaceModelRGB);
}
