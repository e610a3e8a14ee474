#pragma once

// Palette of at most 256 colours for one RGBA bitmap, for GIF. Images with
// few colours keep them exactly; others are reduced by median cut over a
// 5-bit-per-channel histogram. Pixels with alpha below 128 map to one
// transparent entry.

#include <cstdint>
#include <vector>

#include "platform/imageio/ImageBitmap.h"

struct QuantizedImage {
  std::vector<uint8_t> palette;  // RGB triples
  std::vector<uint8_t> indices;  // one per pixel, rows packed
  int transparentIndex = -1;
};

QuantizedImage ColorQuantize(const ImageBitmap& bitmap);
