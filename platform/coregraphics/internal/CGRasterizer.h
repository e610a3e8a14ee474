#pragma once

// Scan conversion of polygons into per-pixel coverage, in pixel space (x to
// the right, y down; pixel (i, j) covers [i, i+1) × [j, j+1)). Coverage is
// exact across each sub-scanline (edges placed to 1/65536 of a pixel) and
// sampled 16 times down each pixel row.

#include <cstdint>
#include <functional>
#include <vector>

#include "platform/coregraphics/CGPath.h"
#include "platform/coregraphics/CGTypes.h"



class CGRasterizer {
 public:
  // Called once per row that has coverage, coverage[i] for pixel x0 + i, with
  // x0 ≤ x < x1 inside the clip box. Values are 0...1.
  using RowSink = std::function<void(int y, int x0, int x1, const float* coverage)>;

  // Pixel box touched by the polygons (each implicitly closed).
  static CGPixelBox bounds(const std::vector<CGPolygon>& polygons);
  // Without antialiasing a pixel is in when its centre is.
  static void fill(const std::vector<CGPolygon>& polygons, CGFillRule rule, CGPixelBox clip,
                   bool antialias, const RowSink& sink);

  // Pixels [x0, x1) of a row wholly covered; empty when x1 <= x0.
  struct FullRun {
    int x0 = 0, x1 = 0;
  };
  // The same coverage as fill, as bytes (coverage * 255, rounded) written
  // straight into an 8-bit mask of `box` (row y at mask + (y - box.y0) *
  // stride). When any row has coverage, every pixel of the box is written
  // (0 where uncovered), so the mask need not start cleared; otherwise the
  // mask holds nothing but zeros where written. `fullRuns` (optional) gets
  // each row's widest run of full coverage. Answers whether any row had
  // coverage.
  static bool fillMask(const std::vector<CGPolygon>& polygons, CGFillRule rule, CGPixelBox box,
                       bool antialias, uint8_t* mask, int stride, std::vector<FullRun>* fullRuns);
};
