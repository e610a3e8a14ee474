#pragma once

// Reads a bitmap through an affine map for drawing: nearest, bilinear or
// bicubic (Catmull-Rom) sampling with the edges extended, and, when shrinking
// by 2 or more at medium or high quality, a box pre-filter that averages
// every source pixel so nothing aliases. Output is premultiplied RGBA.

#include <cstdint>
#include <vector>

#include "platform/coregraphics/CGImage.h"
#include "platform/coregraphics/CGPixelLayout.h"
#include "platform/coregraphics/CGTypes.h"


class CGImageSampler {
 public:
  // pixelToImage maps points of the destination's pixel space (y down) to the
  // image's pixel space (origin at the top-left corner of the first row).
  CGImageSampler(const CGImage& image, const CGAffineTransform& pixelToImage,
                 CGInterpolationQuality quality);

  bool isValid() const { return source_.layout.valid; }
  // Premultiplied RGBA of destination pixels x0 ... x0+n-1 on row y, sampled
  // at the pixel centres.
  void sampleRow(int x0, int y, int n, uint8_t* out) const;
  // The image's own pixels for that row, when the map puts source pixels
  // one to one on the destination grid, the whole row lies inside the image
  // and its colour is premultiplied or opaque; nullptr otherwise.
  const uint8_t* directRow(int x0, int y, int n) const;
  // When the map is a translation by whole pixels over premultiplied or
  // opaque pixels: the image pixel (x + du, y + dv) lands on pixel (x, y),
  // and pixels, bytesPerRow and the layout describe the image.
  struct Grid {
    int du = 0, dv = 0;
    const uint8_t* pixels = nullptr;
    size_t bytesPerRow = 0;
  };
  bool onGrid(Grid& out) const;
  int width() const { return width_; }
  int height() const { return height_; }
  // How directRow's pixels are laid out.
  const CGPixelLayout& layout() const { return source_.layout; }
  // sampleRow with the pixels left in the source's byte order (premultiplied;
  // the alpha byte 255 for sources without alpha), when the row is sampled
  // bilinearly along an unrotated axis; false, and nothing written, otherwise.
  bool sampleRowInSourceOrder(int x0, int y, int n, uint8_t* out) const;

 private:
  enum class Filter { Nearest, Bilinear, Bicubic };
  void boxReduce(int factorU, int factorV);
  void copyRow(int u, int v, int n, uint8_t* out) const;
  void nearestRow(double u, double v, int n, uint8_t* out) const;
  void bilinearRow(double u, double v, int n, uint8_t* out) const;
  // Bilinear along a row of an unrotated map over premultiplied or opaque
  // pixels: one pair of source rows for the whole row.
  void bilinearAxisRow(double u, double v, int n, uint8_t* out, bool sourceOrder) const;
  bool axisAligned(double u, double v, int n) const;
  void bicubicRow(double u, double v, int n, uint8_t* out) const;

  CGPixelSource source_;
  int width_, height_;
  CGAffineTransform map_;
  Filter filter_;
  mutable std::vector<uint16_t> columns_;  // bilinearAxisRow's scratch
};
