#include "platform/coregraphics/CGColorSpace.h"

#include <functional>

const char* const kCGColorSpaceSRGB = "kCGColorSpaceSRGB";
const char* const kCGColorSpaceDeviceRGB = "kCGColorSpaceDeviceRGB";
const char* const kCGColorSpaceDeviceGray = "kCGColorSpaceDeviceGray";
const char* const kCGColorSpaceGenericGrayGamma2_2 = "kCGColorSpaceGenericGrayGamma2_2";
const char* const kCGColorSpaceLinearSRGB = "kCGColorSpaceLinearSRGB";
const char* const kCGColorSpaceExtendedSRGB = "kCGColorSpaceExtendedSRGB";
const char* const kCGColorSpaceDisplayP3 = "kCGColorSpaceDisplayP3";
const char* const kCGColorSpaceITUR_2100_PQ = "kCGColorSpaceITUR_2100_PQ";
const char* const kCGColorSpaceITUR_2100_HLG = "kCGColorSpaceITUR_2100_HLG";

CGColorSpace::CGColorSpace(std::string name, CGColorSpaceModel model)
    : name_(std::move(name)), model_(model) {}

bool CGColorSpace::isEqual(const NSObject& other) const {
  auto* space = dynamic_cast<const CGColorSpace*>(&other);
  return space && space->name_ == name_ && space->model_ == model_;
}

size_t CGColorSpace::hash() const { return std::hash<std::string>()(name_); }

std::string CGColorSpace::description() const {
  return "<CGColorSpace> (" + name_ +
         (model_ == kCGColorSpaceModelMonochrome ? "; kCGColorSpaceModelMonochrome)"
                                                 : "; kCGColorSpaceModelRGB)");
}

CGColorSpaceRef CGColorSpaceCreateDeviceRGB() {
  return std::make_shared<CGColorSpace>(kCGColorSpaceDeviceRGB, kCGColorSpaceModelRGB);
}

CGColorSpaceRef CGColorSpaceCreateDeviceGray() {
  return std::make_shared<CGColorSpace>(kCGColorSpaceDeviceGray, kCGColorSpaceModelMonochrome);
}

CGColorSpaceRef CGColorSpaceCreateWithName(const std::string& name) {
  static const char* const rgb[] = {kCGColorSpaceSRGB,         kCGColorSpaceDeviceRGB,
                                    kCGColorSpaceLinearSRGB,   kCGColorSpaceExtendedSRGB,
                                    kCGColorSpaceDisplayP3,    kCGColorSpaceITUR_2100_PQ,
                                    kCGColorSpaceITUR_2100_HLG};
  static const char* const gray[] = {kCGColorSpaceDeviceGray, kCGColorSpaceGenericGrayGamma2_2};
  for (const char* n : rgb)
    if (name == n) return std::make_shared<CGColorSpace>(name, kCGColorSpaceModelRGB);
  for (const char* n : gray)
    if (name == n) return std::make_shared<CGColorSpace>(name, kCGColorSpaceModelMonochrome);
  return nullptr;
}

std::string CGColorSpaceGetName(const CGColorSpaceRef& space) {
  return space ? space->name() : std::string();
}

CGColorSpaceModel CGColorSpaceGetModel(const CGColorSpaceRef& space) {
  return space ? space->model() : kCGColorSpaceModelUnknown;
}

size_t CGColorSpaceGetNumberOfComponents(const CGColorSpaceRef& space) {
  return space ? space->numberOfComponents() : 0;
}

bool CGColorSpaceUsesITUR_2100TF(const CGColorSpaceRef& space) {
  return space && (space->name() == kCGColorSpaceITUR_2100_PQ ||
                   space->name() == kCGColorSpaceITUR_2100_HLG);
}
