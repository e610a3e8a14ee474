// Bitmaps: 24-bit rows for opaque images, 32-bit with channel masks (a
// version 4 header) when there is alpha; rows bottom-up as readers expect.

#include "platform/imageio/ImageDecoder.h"
#include "platform/imageio/internal/ImageEncoder.h"

bool EncodeBMP(const EncodeFrame& frame, Bytes& out) {
  const ImageBitmap& b = frame.bitmap;
  const bool alpha = b.hasAlpha;
  const uint32_t bpp = alpha ? 32 : 24;
  const uint32_t stride = ((b.width * bpp + 31) / 32) * 4;
  const uint32_t headerSize = alpha ? 108 : 40;
  const uint32_t offset = 14 + headerSize;
  const uint64_t fileSize = offset + uint64_t(stride) * b.height;
  if (fileSize > 0xFFFFFFFFu) return false;
  out.clear();
  out.reserve(size_t(fileSize));
  out.insert(out.end(), {'B', 'M'});
  AppendLE32(out, uint32_t(fileSize));
  AppendLE32(out, 0);
  AppendLE32(out, offset);
  AppendLE32(out, headerSize);
  AppendLE32(out, b.width);
  AppendLE32(out, b.height);
  AppendLE16(out, 1);
  AppendLE16(out, bpp);
  AppendLE32(out, alpha ? 3 : 0);  // channel masks or plain rows
  AppendLE32(out, stride * b.height);
  AppendLE32(out, 2835);  // 72 dpi
  AppendLE32(out, 2835);
  AppendLE32(out, 0);
  AppendLE32(out, 0);
  if (alpha) {
    AppendLE32(out, 0x00FF0000);
    AppendLE32(out, 0x0000FF00);
    AppendLE32(out, 0x000000FF);
    AppendLE32(out, 0xFF000000);
    out.insert(out.end(), {'B', 'G', 'R', 's'});  // sRGB, little-endian tag
    out.resize(14 + headerSize, 0);
  }
  for (uint32_t r = 0; r < b.height; ++r) {
    const uint8_t* src = b.row(b.height - 1 - r);
    const size_t start = out.size();
    for (uint32_t x = 0; x < b.width; ++x) {
      const uint8_t* p = src + x * 4;
      out.insert(out.end(), {p[2], p[1], p[0]});
      if (alpha) out.push_back(p[3]);
    }
    out.resize(start + stride, 0);
  }
  return true;
}
