#pragma once

// Colour spaces are named; pixels are never converted between them (every
// bitmap here is 8-bit sRGB-like), but the names travel with bitmaps so code
// can ask which space an image was made in.

#include <memory>
#include <string>

#include "platform/coregraphics/CGTypes.h"
#include "platform/foundation/NSObject.h"

enum CGColorSpaceModel : int32_t {
  kCGColorSpaceModelUnknown = -1,
  kCGColorSpaceModelMonochrome = 0,
  kCGColorSpaceModelRGB = 1,
  kCGColorSpaceModelCMYK = 2,
};

extern const char* const kCGColorSpaceSRGB;
extern const char* const kCGColorSpaceDeviceRGB;  // name of CGColorSpaceCreateDeviceRGB
extern const char* const kCGColorSpaceDeviceGray;
extern const char* const kCGColorSpaceGenericGrayGamma2_2;
extern const char* const kCGColorSpaceLinearSRGB;
extern const char* const kCGColorSpaceExtendedSRGB;
extern const char* const kCGColorSpaceDisplayP3;
extern const char* const kCGColorSpaceITUR_2100_PQ;
extern const char* const kCGColorSpaceITUR_2100_HLG;

class CGColorSpace : public NSObject {
 public:
  CGColorSpace(std::string name, CGColorSpaceModel model);

  const std::string& name() const { return name_; }
  CGColorSpaceModel model() const { return model_; }
  size_t numberOfComponents() const { return model_ == kCGColorSpaceModelMonochrome ? 1 : 3; }

  bool isEqual(const NSObject& other) const override;
  size_t hash() const override;
  std::string description() const override;

 private:
  std::string name_;
  CGColorSpaceModel model_;
};


CGColorSpaceRef CGColorSpaceCreateDeviceRGB();
CGColorSpaceRef CGColorSpaceCreateDeviceGray();
// nullptr for a name this system does not know.
CGColorSpaceRef CGColorSpaceCreateWithName(const std::string& name);
std::string CGColorSpaceGetName(const CGColorSpaceRef& space);
CGColorSpaceModel CGColorSpaceGetModel(const CGColorSpaceRef& space);
size_t CGColorSpaceGetNumberOfComponents(const CGColorSpaceRef& space);
// Whether the space uses an ITU-R BT.2100 transfer function (PQ or HLG).
bool CGColorSpaceUsesITUR_2100TF(const CGColorSpaceRef& space);
