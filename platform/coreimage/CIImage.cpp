#include "CIImage.h"

#include "platform/imageio/CGImageSource.h"

CIImage::CIImage(CGImageRef image, Value properties)
    : image_(std::move(image)),
      properties_(properties.isMap() ? std::move(properties) : Value(ValueMap())) {}

std::shared_ptr<CIImage> CIImage::imageWithData(const NSDataPtr& data) {
  auto source = CGImageSourceCreateWithData(data);
  if (!source || CGImageSourceGetCount(source) == 0) return nullptr;
  auto image = CGImageSourceCreateImageAtIndex(source, 0);
  if (!image) return nullptr;
  return std::make_shared<CIImage>(image, CGImageSourceCopyPropertiesAtIndex(source, 0));
}

std::shared_ptr<CIImage> CIImage::imageWithCGImage(const CGImageRef& image) {
  return image ? std::make_shared<CIImage>(image) : nullptr;
}

CGRect CIImage::extent() const {
  return image_ ? CGRectMake(0, 0, double(image_->width()), double(image_->height())) : CGRectZero;
}

std::optional<std::string> CIImage::colorSpace() const {
  if (!image_ || image_->colorSpaceName().empty()) return std::nullopt;
  return image_->colorSpaceName();
}
