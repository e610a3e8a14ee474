#pragma once

// Where the channels of an 8-bit, 32-bit-per-pixel pixel sit in memory for a
// given bitmap info, and conversion of any bitmap this system reads into the
// working layout: premultiplied RGBA, 8 bits, 4 bytes per pixel, tight rows.

#include <cstdint>
#include <memory>

#include "platform/coregraphics/CGImage.h"

struct CGPixelLayout {
  int r = 0, g = 1, b = 2, a = 3;  // byte offsets; a = -1 when there is no alpha
  bool premultiplied = true;

  // nullopt-like: valid is false for bitmap infos that are not 32-bit RGB.
  bool valid = false;
  bool hasAlpha() const { return a >= 0; }

  static CGPixelLayout forBitmapInfo(uint32_t bitmapInfo);
  // The premultiplied RGBA layout that converted buffers use.
  static CGPixelLayout premultipliedRGBA();
};

// Premultiplied RGBA copy of the bitmap (width × 4 bytes per row); nullptr for
// layouts this system cannot read (floating-point components, odd depths)
// and for a bitmap without pixels.
std::shared_ptr<const Bytes> CGImageCopyPremultipliedRGBA(const CGImage& image);

// The layout and pixels to sample from: the bitmap itself when it is 8-bit,
// 32-bit-per-pixel RGB (premultiplied, straight or opaque: samplers
// premultiply straight pixels as they read them); else a converted copy.
// The layout is not valid when there is nothing to sample.
struct CGPixelSource {
  std::shared_ptr<const Bytes> pixels;
  size_t bytesPerRow = 0;
  CGPixelLayout layout;
  static CGPixelSource of(const CGImage& image);
};

// Rounded x·y/255 for 0...255 operands.
inline uint32_t CGMulDiv255(uint32_t x, uint32_t y) {
  uint32_t t = x * y + 128;
  return (t + (t >> 8)) >> 8;
}
