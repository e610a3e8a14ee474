#pragma once

// Blending of premultiplied RGBA source pixels into a row of destination
// pixels in any 32-bit layout, under per-pixel coverage. Coverage bounds every
// mode: outside the painted shape (coverage 0) the destination is untouched,
// partial coverage mixes the blended result with the old destination.

#include <cstdint>

#include "platform/coregraphics/CGPixelLayout.h"
#include "platform/coregraphics/CGTypes.h"


class CGCompositor {
 public:
  // src holds n premultiplied RGBA pixels, or one when srcStride is 0 (a
  // solid colour). coverage holds n values 0...255; nullptr means all 255
  // (the inside of a shape), the common case kept fast.
  static void compositeRow(uint8_t* dst, const CGPixelLayout& layout, const uint8_t* src,
                           int srcStride, const uint8_t* coverage, int n, CGBlendMode mode);

  // Source over, full coverage, from pixels already in the destination's
  // layout (whose colour is premultiplied or has no alpha). The source is
  // premultiplied, or opaque when sourceOpaque (its fourth byte is then
  // ignored). Runs of opaque source pixels are copied as they are.
  static void overRowSameLayout(uint8_t* dst, const CGPixelLayout& layout, const uint8_t* src,
                                bool sourceOpaque, int n);

  // One pixel in floating point, premultiplied, for any mode (s over d).
  static void blend(CGBlendMode mode, const float s[4], const float d[4], float out[4]);
};
