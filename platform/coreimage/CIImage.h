#pragma once

// Core Image, as far as the system uses it: an image made from encoded data
// or a bitmap (keeping the file's properties), rendered back to a bitmap or
// written as JPEG by a context. No filters are applied: the image is its
// bitmap.

#include <memory>
#include <optional>
#include <string>

#include "platform/coregraphics/CGGeometry.h"
#include "platform/coregraphics/CGImage.h"
#include "platform/foundation/NSData.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/Value.h"

class CIImage : public NSObject {
 public:
  explicit CIImage(CGImageRef image, Value properties = Value());

  // nullptr when the data is no readable image; the first image is used.
  static std::shared_ptr<CIImage> imageWithData(const NSDataPtr& data);
  static std::shared_ptr<CIImage> imageWithCGImage(const CGImageRef& image);

  CGRect extent() const;
  // Name of the colour space, nullopt when the image has none.
  std::optional<std::string> colorSpace() const;
  // The properties of the file the image was read from (empty map otherwise).
  const Value& properties() const { return properties_; }
  const CGImageRef& cgImage() const { return image_; }

  std::string className() const override { return "CIImage"; }

 private:
  CGImageRef image_;
  Value properties_;
};

using CIImageRef = std::shared_ptr<CIImage>;
