#pragma once

// Core Image filters by name, as far as the image library runs them: the
// compositing and blend-mode filters (drawn with Core Graphics' blend modes),
// "CIGaussianBlur", "CIStraightenFilter", "CIColorControls" and
// "CIColorClamp". Parameters are set by key as on the platform; an image
// parameter is a CIImage object value. The output is computed when asked.

#include <memory>
#include <string>

#include "platform/coreimage/CIImage.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/Value.h"

extern const char* const kCIInputImageKey;            // "inputImage"
extern const char* const kCIInputBackgroundImageKey;  // "inputBackgroundImage"
extern const char* const kCIInputRadiusKey;           // "inputRadius", default 10
extern const char* const kCIInputAngleKey;            // "inputAngle", radians, default 0
extern const char* const kCIInputBrightnessKey;       // "inputBrightness", default 0
extern const char* const kCIInputSaturationKey;       // "inputSaturation", default 1
extern const char* const kCIInputContrastKey;         // "inputContrast", default 1
// "inputMinComponents" / "inputMaxComponents": lists of four numbers, 0 and 1 by default.

class CIFilter : public NSObject {
 public:
  // nullptr for a name this platform does not know.
  static std::shared_ptr<CIFilter> filterWithName(const std::string& name);
  explicit CIFilter(std::string name) : name_(std::move(name)) {}

  const std::string& name() const { return name_; }
  void setValue(const Value& value, const std::string& key);
  Value valueForKey(const std::string& key) const;
  void setImage(const CIImageRef& image, const std::string& key);
  CIImageRef imageForKey(const std::string& key) const;

  // nullptr without an input image (or a background, for compositing).
  CIImageRef outputImage() const;

  std::string className() const override { return "CIFilter"; }

 private:
  double number(const char* key, double fallback) const;

  const std::string name_;
  ValueMap values_;
};

using CIFilterRef = std::shared_ptr<CIFilter>;
