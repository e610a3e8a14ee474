#pragma once

// Timing curves: a cubic Bézier from (0, 0) to (1, 1) through two control
// points, mapping the fraction of time elapsed to the fraction of change.

#include <memory>
#include <string>

#include "platform/foundation/NSObject.h"

extern const char* const kCAMediaTimingFunctionLinear;
extern const char* const kCAMediaTimingFunctionEaseIn;
extern const char* const kCAMediaTimingFunctionEaseOut;
extern const char* const kCAMediaTimingFunctionEaseInEaseOut;
extern const char* const kCAMediaTimingFunctionDefault;

class CAMediaTimingFunction : public NSObject {
 public:
  CAMediaTimingFunction(double c1x, double c1y, double c2x, double c2y);
  // An unknown name gives the linear curve.
  static std::shared_ptr<CAMediaTimingFunction> functionWithName(const std::string& name);
  static std::shared_ptr<CAMediaTimingFunction> functionWithControlPoints(double c1x, double c1y,
                                                                          double c2x, double c2y);

  // index 0 and 3 are the fixed end points; 1 and 2 the control points.
  void getControlPointAtIndex(size_t index, double point[2]) const;
  // The curve's y at x = t (t clamped to [0, 1]).
  double evaluate(double t) const;

  std::string className() const override { return "CAMediaTimingFunction"; }

 private:
  double c1x_, c1y_, c2x_, c2y_;
};

using CAMediaTimingFunctionPtr = std::shared_ptr<CAMediaTimingFunction>;
