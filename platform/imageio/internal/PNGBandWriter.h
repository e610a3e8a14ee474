#pragma once

// A fast writer of large still PNGs. libpng compresses on one thread and tries
// every row filter at every row; for tens of megapixels that takes seconds.
// This writer cuts the rows into bands, filters each band with one filter and
// deflates it at zlib's fastest level on the dispatch pool, and joins the
// bands' raw deflate streams (each closed on a byte boundary) into the one
// zlib stream PNG holds. The file is an ordinary PNG of the same pixels, a
// little larger than libpng's.

#include <cstdint>

#include "platform/foundation/ValueFwd.h"
#include "platform/imageio/ImageBitmap.h"

// Images of at least this many pixels are written by the band writer.
inline constexpr uint64_t kPNGBandWriterMinPixels = uint64_t{4} << 20;

struct PNGBandWriterHead {
  bool alpha = false;      // RGBA; RGB (the fourth byte dropped) when false
  uint32_t dpmX = 0, dpmY = 0;  // pixels per metre; 0 writes no pHYs
  const Bytes* exif = nullptr;  // an eXIf chunk's data, when not empty
};

// Rows of four bytes a pixel: RGBA, or with `alpha` off in the head, RGB and
// a fourth byte that is not read.
struct PNGBandWriterRows {
  uint32_t width = 0, height = 0;
  const uint8_t* base = nullptr;
  size_t stride = 0;
};

// Writes the whole PNG (signature to IEND) into `out`, replacing it.
bool PNGBandWriterWrite(const PNGBandWriterRows& rows, const PNGBandWriterHead& head, Bytes& out);
inline bool PNGBandWriterWrite(const ImageBitmap& bitmap, const PNGBandWriterHead& head, Bytes& out) {
  return PNGBandWriterWrite({bitmap.width, bitmap.height, bitmap.pixels.data(), bitmap.bytesPerRow()},
                            head, out);
}
