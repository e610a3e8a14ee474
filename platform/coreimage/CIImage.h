#pragma once

// Core Image, as far as the system uses it: an image made from encoded data
// or a bitmap (keeping the file's properties), the colour image without
// bounds, cropping and affine transforms, rendered back to a bitmap or
// written as JPEG by a context; filters in CIFilter.h. Images here are
// computed when made: each holds the bitmap of its extent. Coordinates are
// Core Image's: origin at the bottom left, y up, one unit per pixel.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/coregraphics/CGGeometry.h"
#include "platform/coregraphics/CGImage.h"
#include "platform/coregraphics/CGTypes.h"
#include "platform/foundation/NSData.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/ValueFwd.h"

// A colour with straight components in 0...1.
struct CIColor {
  double red = 0, green = 0, blue = 0, alpha = 1;
  static CIColor colorWithRed(double r, double g, double b, double a = 1) { return {r, g, b, a}; }
  static CIColor clearColor() { return {0, 0, 0, 0}; }
};

class CIImage : public NSObject {
 public:
  explicit CIImage(CGImageRef image);
  CIImage(CGImageRef image, Value properties);

  // nullptr when the data is no readable image; the first image is used.
  static std::shared_ptr<CIImage> imageWithData(const NSDataPtr& data);
  static std::shared_ptr<CIImage> imageWithCGImage(const CGImageRef& image);
  // One colour everywhere: an infinite extent, to be cropped before use.
  static std::shared_ptr<CIImage> imageWithColor(const CIColor& color);
  // The bitmap placed with its bottom-left corner at `origin`.
  static std::shared_ptr<CIImage> imageWithCGImage(const CGImageRef& image, CGPoint origin);

  // CGRectInfinite for a colour image; CGRectZero for an empty one.
  CGRect extent() const;
  // Name of the colour space, nullopt when the image has none.
  std::optional<std::string> colorSpace() const;
  // The properties of the file the image was read from (empty map otherwise).
  const Value& properties() const;
  // The bitmap of the extent; nullptr for a colour or empty image.
  const CGImageRef& cgImage() const { return image_; }
  // The colour of a colour image.
  const std::optional<CIColor>& color() const { return color_; }

  // The part inside `rect` (made integral); an empty image when they do not meet.
  std::shared_ptr<CIImage> imageByCroppingToRect(CGRect rect) const;
  // Resampled through `transform`; the extent becomes the integral bounding box.
  std::shared_ptr<CIImage> imageByApplyingTransform(const CGAffineTransform& transform) const;

  std::string className() const override { return "CIImage"; }

 private:
  CGImageRef image_;
  CGPoint origin_{0, 0};
  std::optional<CIColor> color_;
  // Always a map; held out of line so that this header needs no Value.
  std::shared_ptr<const Value> properties_;
};

using CIImageRef = std::shared_ptr<CIImage>;

// A premultiplied RGBA bitmap of `extent` (integral) with `draw` run in Core
// Image coordinates; the common step of the image operations and filters.
#include <functional>
CGImageRef CIRenderBitmap(CGRect extent, const std::function<void(const CGContextRef&)>& draw);
