#pragma once

// Box blurs over 8-bit pixels of one to four bytes, in place. Each pass
// averages a box of 2 × radius + 1 pixels along every row, then along every
// column, rounding to nearest. Repeated passes approach a Gaussian.

#include <cstddef>
#include <cstdint>
#include <vector>

// What lies beyond the bitmap's edges while averaging.
enum class CGBlurEdge {
  Transparent,  // zeros
  Extend,       // the edge pixel repeated
};

// One pass per radius, in order; radii of 0 or less change nothing.
void CGBoxBlur(uint8_t* pixels, size_t width, size_t height, size_t rowBytes,
               size_t bytesPerPixel, const std::vector<int>& radii, CGBlurEdge edge);
