#pragma once

// Core Graphics' plain enums and the names of its object types, for headers
// that mention them without drawing: the context's public header and UIKit's
// stay free of the rasterizer, compositor and sampler this way.

#include <cstdint>
#include <memory>

class CGColor;
class CGColorSpace;
class CGContext;
class CGImage;
class CGPath;
using CGColorRef = std::shared_ptr<CGColor>;
using CGColorSpaceRef = std::shared_ptr<CGColorSpace>;
using CGContextRef = std::shared_ptr<CGContext>;
using CGImageRef = std::shared_ptr<CGImage>;
using CGPathRef = std::shared_ptr<CGPath>;
using CGMutablePathRef = std::shared_ptr<CGPath>;

enum CGBlendMode : int32_t {
  kCGBlendModeNormal = 0,
  kCGBlendModeMultiply,
  kCGBlendModeScreen,
  kCGBlendModeOverlay,
  kCGBlendModeDarken,
  kCGBlendModeLighten,
  kCGBlendModeColorDodge,
  kCGBlendModeColorBurn,
  kCGBlendModeSoftLight,
  kCGBlendModeHardLight,
  kCGBlendModeDifference,
  kCGBlendModeExclusion,
  kCGBlendModeHue,
  kCGBlendModeSaturation,
  kCGBlendModeColor,
  kCGBlendModeLuminosity,
  kCGBlendModeClear,
  kCGBlendModeCopy,
  kCGBlendModeSourceIn,
  kCGBlendModeSourceOut,
  kCGBlendModeSourceAtop,
  kCGBlendModeDestinationOver,
  kCGBlendModeDestinationIn,
  kCGBlendModeDestinationOut,
  kCGBlendModeDestinationAtop,
  kCGBlendModeXOR,
  kCGBlendModePlusDarker,
  kCGBlendModePlusLighter,
};

enum CGInterpolationQuality : int32_t {
  kCGInterpolationDefault = 0,
  kCGInterpolationNone = 1,
  kCGInterpolationLow = 2,
  kCGInterpolationMedium = 4,
  kCGInterpolationHigh = 3,
};

enum CGLineCap : int32_t { kCGLineCapButt = 0, kCGLineCapRound = 1, kCGLineCapSquare = 2 };
enum CGLineJoin : int32_t { kCGLineJoinMiter = 0, kCGLineJoinRound = 1, kCGLineJoinBevel = 2 };

enum class CGFillRule { NonZero, EvenOdd };

// A pixel rectangle, half-open on both axes.
struct CGPixelBox {
  int x0 = 0, y0 = 0, x1 = 0, y1 = 0;
  bool isEmpty() const { return x1 <= x0 || y1 <= y0; }
  CGPixelBox intersect(const CGPixelBox& o) const;
};
