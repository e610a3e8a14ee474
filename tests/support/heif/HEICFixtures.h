#pragma once
// HEIC files as phones write large photos: a grid of tiles, each a picture
// coded on its own, with or without a small thumbnail item. libheif 1.15
// cannot write grids, so the file is laid out here around pictures its
// encoder codes. Tiles of one colour are coded once and shared by every
// tile item of that colour, so a grid of hundreds of tiles costs a few
// encodes and a file of a few kilobytes.

#include <cstdint>
#include <vector>

struct HEICGridFixture {
  uint32_t width = 0, height = 0;  // the picture, before its turn
  uint32_t tile = 512;             // tiles are square
  // The colour (RGB) of tile (column, row); the default: the palette below
  // by the tile's column and row.
  uint32_t (*colourOf)(uint32_t column, uint32_t row) = nullptr;
  // Quarter turns anticlockwise ('irot'), 0 to 3.
  int rotation = 0;
  // A thumbnail item of this size (0: none), of colour `thumbnailColour`.
  uint32_t thumbnailWidth = 0, thumbnailHeight = 0;
  uint32_t thumbnailColour = 0x404040;
};

// Red, green, blue and white, tile (column, row) of colour
// kHEICGridPalette[column % 2 + 2 * (row % 2)].
inline constexpr uint32_t kHEICGridPalette[4] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFFFF};
uint32_t HEICGridPaletteColour(uint32_t column, uint32_t row);

// The file; empty when libheif has no HEVC encoder.
std::vector<uint8_t> MakeHEICGrid(const HEICGridFixture& fixture);
