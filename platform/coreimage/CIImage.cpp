#include "CIImage.h"

#include <cfloat>
#include <cmath>
#include <limits>

#include "platform/coregraphics/CGColorSpace.h"
#include "platform/coregraphics/CGContext.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageSource.h"

namespace {

const CGRect kInfinite =
    CGRectMake(-DBL_MAX / 2, -DBL_MAX / 2, std::numeric_limits<double>::infinity(),
               std::numeric_limits<double>::infinity());

}  // namespace

CGImageRef CIRenderBitmap(CGRect extent, const std::function<void(const CGContextRef&)>& draw) {
  extent = CGRectIntegral(extent);
  if (CGRectIsNull(extent) || CGRectIsInfinite(extent) || extent.size.width < 1 ||
      extent.size.height < 1) {
    return nullptr;
  }
  const auto width = size_t(extent.size.width), height = size_t(extent.size.height);
  CGContextRef context =
      CGBitmapContextCreate(nullptr, width, height, 8, width * 4, CGColorSpaceCreateDeviceRGB(),
                            kCGImageAlphaPremultipliedLast);
  if (!context) return nullptr;
  CGContextTranslateCTM(context, -extent.origin.x, -extent.origin.y);
  CGContextSetInterpolationQuality(context, kCGInterpolationHigh);
  draw(context);
  return CGBitmapContextCreateImage(context);
}

CIImage::CIImage(CGImageRef image) : CIImage(std::move(image), Value(ValueMap())) {}

CIImage::CIImage(CGImageRef image, Value properties)
    : image_(std::move(image)),
      properties_(std::make_shared<const Value>(properties.isMap() ? std::move(properties)
                                                                   : Value(ValueMap()))) {}

const Value& CIImage::properties() const { return *properties_; }

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

std::shared_ptr<CIImage> CIImage::imageWithCGImage(const CGImageRef& image, CGPoint origin) {
  auto result = std::make_shared<CIImage>(image);
  result->origin_ = origin;
  return result;
}

std::shared_ptr<CIImage> CIImage::imageWithColor(const CIColor& color) {
  auto result = std::make_shared<CIImage>(nullptr);
  result->color_ = color;
  return result;
}

CGRect CIImage::extent() const {
  if (color_) return kInfinite;
  return image_ ? CGRect{origin_, CGSizeMake(double(image_->width()), double(image_->height()))}
                : CGRectZero;
}

std::optional<std::string> CIImage::colorSpace() const {
  if (!image_ || image_->colorSpaceName().empty()) return std::nullopt;
  return image_->colorSpaceName();
}

std::shared_ptr<CIImage> CIImage::imageByCroppingToRect(CGRect rect) const {
  if (color_) {
    const CIColor c = *color_;
    const CGRect r = CGRectIntegral(rect);
    CGImageRef filled = CIRenderBitmap(r, [&](const CGContextRef& context) {
      CGContextSetRGBFillColor(context, c.red, c.green, c.blue, c.alpha);
      CGContextSetBlendMode(context, kCGBlendModeCopy);
      CGContextFillRect(context, r);
    });
    return filled ? imageWithCGImage(filled, r.origin) : std::make_shared<CIImage>(nullptr);
  }
  const CGRect extent = this->extent();
  const CGRect r = CGRectIntegral(CGRectIntersection(CGRectIntegral(rect), extent));
  if (!image_ || CGRectIsNull(r) || r.size.width < 1 || r.size.height < 1) {
    return std::make_shared<CIImage>(nullptr);
  }
  if (CGRectEqualToRect(r, extent)) return imageWithCGImage(image_, origin_);
  // Bitmap rows run top down; Core Image's y runs up.
  const CGRect inBitmap =
      CGRectMake(r.origin.x - extent.origin.x, CGRectGetMaxY(extent) - CGRectGetMaxY(r),
                 r.size.width, r.size.height);
  CGImageRef cut = CGImageCreateWithImageInRect(image_, inBitmap);
  return cut ? imageWithCGImage(cut, r.origin) : std::make_shared<CIImage>(nullptr);
}

std::shared_ptr<CIImage> CIImage::imageByApplyingTransform(
    const CGAffineTransform& transform) const {
  if (color_) return imageWithColor(*color_);
  if (!image_) return std::make_shared<CIImage>(nullptr);
  const CGRect extent = this->extent();
  const CGRect bounds = CGRectIntegral(CGRectApplyAffineTransform(extent, transform));
  CGImageRef drawn = CIRenderBitmap(bounds, [&](const CGContextRef& context) {
    CGContextConcatCTM(context, transform);
    CGContextDrawImage(context, extent, image_);
  });
  return drawn ? imageWithCGImage(drawn, bounds.origin) : std::make_shared<CIImage>(nullptr);
}
