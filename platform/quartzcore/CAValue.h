#pragma once

// The values layer properties take when read or animated by key path: a
// number, a point, a size, a rectangle, a transform, a colour or an image
// (contents, which only jump). An empty value (std::monostate) stands for nil.

#include <variant>

#include "platform/coregraphics/CGColor.h"
#include "platform/coregraphics/CGGeometry.h"
#include "platform/coregraphics/CGImage.h"
#include "platform/quartzcore/CATransform3D.h"

using CAValue = std::variant<std::monostate, double, CGPoint, CGSize, CGRect, CATransform3D,
                             CGColorRef, CGImageRef>;

inline bool CAValueIsNil(const CAValue& v) { return std::holds_alternative<std::monostate>(v); }

// from + (to - from) · t, component by component (colours in RGBA). Values of
// different kinds do not mix: the result jumps at t = 0.5.
CAValue CAValueInterpolate(const CAValue& from, const CAValue& to, double t);
// a + b for values of one kind (a `byValue` on top of a start value); a when
// the kinds differ.
CAValue CAValueAdd(const CAValue& a, const CAValue& b, double sign = 1);
// Distance between two values, for paced keyframes.
double CAValueDistance(const CAValue& a, const CAValue& b);
