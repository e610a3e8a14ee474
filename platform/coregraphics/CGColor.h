#pragma once

// An immutable colour: components in its colour space (grey + alpha, or
// red, green, blue + alpha), each 0...1.

#include <memory>
#include <vector>

#include "platform/coregraphics/CGColorSpace.h"
#include "platform/coregraphics/CGTypes.h"

class CGColor : public NSObject {
 public:
  // components.size() must be the space's component count + 1 (alpha).
  CGColor(CGColorSpaceRef space, std::vector<double> components);

  const CGColorSpaceRef& colorSpace() const { return space_; }
  const std::vector<double>& components() const { return components_; }
  double alpha() const { return components_.back(); }
  // The colour as straight red, green, blue, alpha; grey copied to all three.
  void getRGBA(double rgba[4]) const;

  bool isEqual(const NSObject& other) const override;
  size_t hash() const override;
  std::string description() const override;

 private:
  CGColorSpaceRef space_;
  std::vector<double> components_;
};


// nullptr when the component count does not fit the space.
CGColorRef CGColorCreate(const CGColorSpaceRef& space, const std::vector<double>& components);
CGColorRef CGColorCreateSRGB(double red, double green, double blue, double alpha);
CGColorRef CGColorCreateGenericRGB(double red, double green, double blue, double alpha);
CGColorRef CGColorCreateGenericGray(double gray, double alpha);
CGColorRef CGColorCreateCopyWithAlpha(const CGColorRef& color, double alpha);
double CGColorGetAlpha(const CGColorRef& color);
std::vector<double> CGColorGetComponents(const CGColorRef& color);
size_t CGColorGetNumberOfComponents(const CGColorRef& color);
CGColorSpaceRef CGColorGetColorSpace(const CGColorRef& color);
bool CGColorEqualToColor(const CGColorRef& a, const CGColorRef& b);
