#pragma once

#include <memory>
#include <string>

#include "platform/coreimage/CIImage.h"

class CIContext : public NSObject {
 public:
  static std::shared_ptr<CIContext> context();

  // The part of the image inside `rect` (Core Image coordinates, clipped to
  // the extent), or nullptr when nothing is left.
  CGImageRef createCGImage(const CIImageRef& image, CGRect fromRect) const;
  // JPEG of the image with its file properties (orientation, EXIF, GPS);
  // options may give kCGImageDestinationLossyCompressionQuality. nullptr when
  // there is no image or the encoder fails. The colour space is recorded with
  // the bitmap as it is: every bitmap here is 8-bit RGB.
  NSDataPtr JPEGRepresentationOfImage(const CIImageRef& image, const std::string& colorSpace,
                                      const Value& options = NullValue()) const;

  std::string className() const override { return "CIContext"; }
};

using CIContextRef = std::shared_ptr<CIContext>;
