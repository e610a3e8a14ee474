#include "platform/quartzcore/CAMediaTimingFunction.h"

#include <algorithm>
#include <cmath>

const char* const kCAMediaTimingFunctionLinear = "linear";
const char* const kCAMediaTimingFunctionEaseIn = "easeIn";
const char* const kCAMediaTimingFunctionEaseOut = "easeOut";
const char* const kCAMediaTimingFunctionEaseInEaseOut = "easeInEaseOut";
const char* const kCAMediaTimingFunctionDefault = "default";

CAMediaTimingFunction::CAMediaTimingFunction(double c1x, double c1y, double c2x, double c2y)
    : c1x_(std::clamp(c1x, 0.0, 1.0)), c1y_(c1y), c2x_(std::clamp(c2x, 0.0, 1.0)), c2y_(c2y) {}

std::shared_ptr<CAMediaTimingFunction> CAMediaTimingFunction::functionWithName(
    const std::string& name) {
  if (name == kCAMediaTimingFunctionEaseIn) return functionWithControlPoints(0.42, 0, 1, 1);
  if (name == kCAMediaTimingFunctionEaseOut) return functionWithControlPoints(0, 0, 0.58, 1);
  if (name == kCAMediaTimingFunctionEaseInEaseOut) {
    return functionWithControlPoints(0.42, 0, 0.58, 1);
  }
  if (name == kCAMediaTimingFunctionDefault) return functionWithControlPoints(0.25, 0.1, 0.25, 1);
  return functionWithControlPoints(0, 0, 1, 1);
}

std::shared_ptr<CAMediaTimingFunction> CAMediaTimingFunction::functionWithControlPoints(
    double c1x, double c1y, double c2x, double c2y) {
  return std::make_shared<CAMediaTimingFunction>(c1x, c1y, c2x, c2y);
}

void CAMediaTimingFunction::getControlPointAtIndex(size_t index, double point[2]) const {
  const double xs[4] = {0, c1x_, c2x_, 1};
  const double ys[4] = {0, c1y_, c2y_, 1};
  index = std::min<size_t>(index, 3);
  point[0] = xs[index];
  point[1] = ys[index];
}

namespace {
double bezier(double p1, double p2, double s) {
  double k = 1 - s;
  return 3 * k * k * s * p1 + 3 * k * s * s * p2 + s * s * s;
}
}  // namespace

double CAMediaTimingFunction::evaluate(double t) const {
  if (t <= 0) return 0;
  if (t >= 1) return 1;
  // x(s) is monotonic because the control x values lie in [0, 1]: bisect.
  double lo = 0, hi = 1, s = t;
  for (int i = 0; i < 50; ++i) {
    s = (lo + hi) / 2;
    if (bezier(c1x_, c2x_, s) < t) {
      lo = s;
    } else {
      hi = s;
    }
  }
  return bezier(c1y_, c2y_, s);
}
