#include "platform/coregraphics/CGColor.h"

#include <algorithm>
#include <cstdio>
#include <functional>

CGColor::CGColor(CGColorSpaceRef space, std::vector<double> components)
    : space_(std::move(space)), components_(std::move(components)) {
  for (double& c : components_) c = std::clamp(c, 0.0, 1.0);
}

void CGColor::getRGBA(double rgba[4]) const {
  if (components_.size() == 2) {
    rgba[0] = rgba[1] = rgba[2] = components_[0];
    rgba[3] = components_[1];
    return;
  }
  for (int i = 0; i < 4; ++i) rgba[i] = components_[i];
}

bool CGColor::isEqual(const NSObject& other) const {
  auto* color = dynamic_cast<const CGColor*>(&other);
  return color && color->components_ == components_ &&
         (color->space_ == space_ || (color->space_ && space_ && color->space_->isEqual(*space_)));
}

size_t CGColor::hash() const {
  size_t h = 0;
  for (double c : components_) h = h * 31 + std::hash<double>()(c);
  return h;
}

std::string CGColor::description() const {
  std::string text = "<CGColor> [" + (space_ ? space_->description() : std::string("nil")) + "] (";
  for (size_t i = 0; i < components_.size(); ++i) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%s%g", i ? " " : "", components_[i]);
    text += buf;
  }
  return text + ")";
}

CGColorRef CGColorCreate(const CGColorSpaceRef& space, const std::vector<double>& components) {
  if (!space || components.size() != space->numberOfComponents() + 1) return nullptr;
  return std::make_shared<CGColor>(space, components);
}

CGColorRef CGColorCreateSRGB(double red, double green, double blue, double alpha) {
  return CGColorCreate(CGColorSpaceCreateWithName(kCGColorSpaceSRGB), {red, green, blue, alpha});
}

CGColorRef CGColorCreateGenericRGB(double red, double green, double blue, double alpha) {
  return CGColorCreateSRGB(red, green, blue, alpha);
}

CGColorRef CGColorCreateGenericGray(double gray, double alpha) {
  return CGColorCreate(CGColorSpaceCreateWithName(kCGColorSpaceGenericGrayGamma2_2), {gray, alpha});
}

CGColorRef CGColorCreateCopyWithAlpha(const CGColorRef& color, double alpha) {
  if (!color) return nullptr;
  std::vector<double> c = color->components();
  c.back() = alpha;
  return CGColorCreate(color->colorSpace(), c);
}

double CGColorGetAlpha(const CGColorRef& color) { return color ? color->alpha() : 0; }

std::vector<double> CGColorGetComponents(const CGColorRef& color) {
  return color ? color->components() : std::vector<double>();
}

size_t CGColorGetNumberOfComponents(const CGColorRef& color) {
  return color ? color->components().size() : 0;
}

CGColorSpaceRef CGColorGetColorSpace(const CGColorRef& color) {
  return color ? color->colorSpace() : nullptr;
}

bool CGColorEqualToColor(const CGColorRef& a, const CGColorRef& b) {
  if (!a || !b) return a == b;
  return a->isEqual(*b);
}
