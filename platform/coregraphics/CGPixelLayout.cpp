#include "platform/coregraphics/CGPixelLayout.h"

#include <cstring>

CGPixelLayout CGPixelLayout::premultipliedRGBA() {
  CGPixelLayout l;
  l.valid = true;
  return l;
}

CGPixelLayout CGPixelLayout::forBitmapInfo(uint32_t bitmapInfo) {
  CGPixelLayout l;
  uint32_t alpha = bitmapInfo & kCGBitmapAlphaInfoMask;
  uint32_t order = bitmapInfo & kCGBitmapByteOrderMask;
  if ((bitmapInfo & kCGBitmapFloatComponents) || alpha == kCGImageAlphaOnly) return l;
  if (order != kCGBitmapByteOrderDefault && order != kCGBitmapByteOrder32Big &&
      order != kCGBitmapByteOrder32Little)
    return l;
  // Logical order (as written for big-endian words): alpha first or last.
  bool alphaFirst = alpha == kCGImageAlphaPremultipliedFirst || alpha == kCGImageAlphaFirst ||
                    alpha == kCGImageAlphaNoneSkipFirst;
  int logical[4];  // r, g, b, a positions in the big-endian word
  if (alphaFirst) {
    logical[3] = 0, logical[0] = 1, logical[1] = 2, logical[2] = 3;
  } else {
    logical[0] = 0, logical[1] = 1, logical[2] = 2, logical[3] = 3;
  }
  bool little = order == kCGBitmapByteOrder32Little;
  auto place = [little](int p) { return little ? 3 - p : p; };
  l.r = place(logical[0]);
  l.g = place(logical[1]);
  l.b = place(logical[2]);
  bool hasAlpha = alpha == kCGImageAlphaPremultipliedFirst ||
                  alpha == kCGImageAlphaPremultipliedLast || alpha == kCGImageAlphaFirst ||
                  alpha == kCGImageAlphaLast;
  l.a = hasAlpha ? place(logical[3]) : -1;
  l.premultiplied = alpha != kCGImageAlphaFirst && alpha != kCGImageAlphaLast;
  l.valid = true;
  return l;
}

namespace {

// One sample of `bits` bits at byte offset `byte`, scaled to 8 bits.
inline uint32_t sample8(const uint8_t* p, size_t byte, size_t bits, bool little16) {
  if (bits == 8) return p[byte];
  uint32_t v = little16 ? (p[byte] | (p[byte + 1] << 8)) : ((p[byte] << 8) | p[byte + 1]);
  return (v * 255 + 32767) / 65535;
}

void storePremultiplied(uint8_t* out, uint32_t r, uint32_t g, uint32_t b, uint32_t a,
                        bool premultiplied) {
  if (!premultiplied) {
    r = CGMulDiv255(r, a);
    g = CGMulDiv255(g, a);
    b = CGMulDiv255(b, a);
  } else {
    // Premultiplied data never has colour above alpha; clamp bad input.
    r = std::min(r, a), g = std::min(g, a), b = std::min(b, a);
  }
  out[0] = static_cast<uint8_t>(r);
  out[1] = static_cast<uint8_t>(g);
  out[2] = static_cast<uint8_t>(b);
  out[3] = static_cast<uint8_t>(a);
}

}  // namespace

std::shared_ptr<const Bytes> CGImageCopyPremultipliedRGBA(const CGImage& image) {
  size_t bpc = image.bitsPerComponent(), bpp = image.bitsPerPixel();
  uint32_t info = image.bitmapInfo();
  uint32_t alpha = info & kCGBitmapAlphaInfoMask;
  if ((info & kCGBitmapFloatComponents) || (bpc != 8 && bpc != 16) || bpp % bpc != 0)
    return nullptr;
  size_t channels = bpp / bpc, bytesPer = bpc / 8;
  bool little16 = (info & kCGBitmapByteOrderMask) == kCGBitmapByteOrder16Little;
  size_t w = image.width(), h = image.height();
  auto src = image.pixelData();
  if (!src) return nullptr;
  auto out = std::make_shared<Bytes>(w * h * 4);
  bool alphaFirst = alpha == kCGImageAlphaPremultipliedFirst || alpha == kCGImageAlphaFirst ||
                    alpha == kCGImageAlphaNoneSkipFirst;
  bool hasAlpha = alpha != kCGImageAlphaNone && alpha != kCGImageAlphaNoneSkipFirst &&
                  alpha != kCGImageAlphaNoneSkipLast;
  bool premultiplied = alpha != kCGImageAlphaFirst && alpha != kCGImageAlphaLast;
  if (channels == 4 && bpc == 8) {
    CGPixelLayout l = CGPixelLayout::forBitmapInfo(info);
    if (!l.valid) return nullptr;
    for (size_t y = 0; y < h; ++y) {
      const uint8_t* row = src->data() + y * image.bytesPerRow();
      uint8_t* o = out->data() + y * w * 4;
      for (size_t x = 0; x < w; ++x, row += 4, o += 4)
        storePremultiplied(o, row[l.r], row[l.g], row[l.b], l.a >= 0 ? row[l.a] : 255,
                           l.premultiplied);
    }
    return out;
  }
  // Other depths: grey, grey + alpha, RGB, and 16-bit variants. With 2 or 4
  // channels one of them is alpha (or skipped), first or last.
  if (channels > 4 || (alpha == kCGImageAlphaOnly && channels != 1)) return nullptr;
  bool extra = channels == 2 || channels == 4;
  size_t colorStart = extra && alphaFirst ? 1 : 0;
  size_t alphaIndex = alphaFirst ? 0 : channels - 1;
  for (size_t y = 0; y < h; ++y) {
    const uint8_t* row = src->data() + y * image.bytesPerRow();
    uint8_t* o = out->data() + y * w * 4;
    for (size_t x = 0; x < w; ++x, o += 4) {
      const uint8_t* p = row + x * channels * bytesPer;
      uint32_t v[4];
      for (size_t c = 0; c < channels; ++c) v[c] = sample8(p, c * bytesPer, bpc, little16);
      if (alpha == kCGImageAlphaOnly) {
        storePremultiplied(o, 0, 0, 0, v[0], true);
        continue;
      }
      uint32_t a = extra && hasAlpha ? v[alphaIndex] : 255;
      const uint32_t* c = v + colorStart;
      if (channels >= 3)
        storePremultiplied(o, c[0], c[1], c[2], a, premultiplied);
      else
        storePremultiplied(o, c[0], c[0], c[0], a, premultiplied);
    }
  }
  return out;
}

CGPixelSource CGPixelSource::of(const CGImage& image) {
  CGPixelSource s;
  if (image.bitsPerComponent() == 8 && image.bitsPerPixel() == 32) {
    CGPixelLayout l = CGPixelLayout::forBitmapInfo(image.bitmapInfo());
    if (l.valid) {
      s.pixels = image.pixelData();
      s.bytesPerRow = image.bytesPerRow();
      s.layout = l;
      s.layout.valid = s.pixels != nullptr;
      return s;
    }
  }
  s.pixels = CGImageCopyPremultipliedRGBA(image);
  s.bytesPerRow = image.width() * 4;
  s.layout = CGPixelLayout::premultipliedRGBA();
  s.layout.valid = s.pixels != nullptr;
  return s;
}
