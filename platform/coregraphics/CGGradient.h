#pragma once

// Gradients: colours at locations from 0 to 1, drawn along a line (axial) or
// between two circles (radial) into the current clip of a context. Colours
// are interpolated in sRGB with straight alpha.

#include <memory>
#include <vector>

#include "platform/coregraphics/CGContext.h"

enum CGGradientDrawingOptions : uint32_t {
  kCGGradientDrawsBeforeStartLocation = 1u << 0,
  kCGGradientDrawsAfterEndLocation = 1u << 1,
};

class CGGradient : public NSObject {
 public:
  struct Stop {
    double location;
    double rgba[4];
  };
  explicit CGGradient(std::vector<Stop> stops);
  const std::vector<Stop>& stops() const { return stops_; }
  // The colour at t in [0, 1].
  void colorAt(double t, double rgba[4]) const;
  std::string className() const override { return "CGGradient"; }

 private:
  std::vector<Stop> stops_;  // sorted by location
};

using CGGradientRef = std::shared_ptr<CGGradient>;

// Components are RGBA quadruples; locations nullptr spaces the colours
// evenly. nullptr for no colours.
CGGradientRef CGGradientCreateWithColorComponents(const CGColorSpaceRef& space,
                                                  const double* components,
                                                  const double* locations, size_t count);
CGGradientRef CGGradientCreateWithColors(const CGColorSpaceRef& space,
                                         const std::vector<CGColorRef>& colors,
                                         const double* locations);

void CGContextDrawLinearGradient(const CGContextRef& c, const CGGradientRef& gradient,
                                 CGPoint startPoint, CGPoint endPoint, uint32_t options);
void CGContextDrawRadialGradient(const CGContextRef& c, const CGGradientRef& gradient,
                                 CGPoint startCenter, double startRadius, CGPoint endCenter,
                                 double endRadius, uint32_t options);
