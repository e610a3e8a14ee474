#pragma once

// A y-down bitmap, as UIKit image contexts set one up, for checking what
// layers render pixel by pixel.

#include <array>

#include "platform/coregraphics/CGContext.h"

using RGBA = std::array<int, 4>;

class LayerCanvas {
 public:
  LayerCanvas(size_t w, size_t h, double scale = 1) {
    context = CGBitmapContextCreate(nullptr, size_t(double(w) * scale), size_t(double(h) * scale),
                                    8, 0, CGColorSpaceCreateDeviceRGB(),
                                    kCGImageAlphaPremultipliedLast);
    CGContextTranslateCTM(context, 0, double(h) * scale);
    CGContextScaleCTM(context, scale, -scale);
  }
  // Pixel (x, y) counted from the top-left corner, premultiplied RGBA.
  RGBA at(size_t x, size_t y) const {
    const uint8_t* p = static_cast<const uint8_t*>(CGBitmapContextGetData(context)) +
                       y * CGBitmapContextGetBytesPerRow(context) + x * 4;
    return {p[0], p[1], p[2], p[3]};
  }
  CGContextRef context;
};
