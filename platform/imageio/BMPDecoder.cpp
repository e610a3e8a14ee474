#include "internal/BMPDecoder.h"

#include <cmath>
#include <cstring>

#include "platform/foundation/Value.h"
#include "platform/imageio/ImageIOProperties.h"

namespace {

constexpr uint64_t kMaxPixelsPerByte = 3000;
constexpr uint64_t kPixelSlack = 4u << 20;
enum : uint32_t { kRGB = 0, kRLE8 = 1, kRLE4 = 2, kBitfields = 3, kAlphaBitfields = 6 };

uint32_t Pack(uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
  uint32_t v;
  const uint8_t px[4] = {r, g, b, a};
  std::memcpy(&v, px, 4);
  return v;
}

}  // namespace

void BMPDecoder::setMask(Mask& m, uint32_t mask) {
  m.mask = mask;
  m.shift = 0;
  if (!mask) return;
  while (!((mask >> m.shift) & 1)) ++m.shift;
  m.max = mask >> m.shift;
}

bool BMPDecoder::sniff(const uint8_t* d, size_t n, const char*) {
  return n >= 18 && d[0] == 'B' && d[1] == 'M';
}

bool BMPDecoder::readInfoHeader(const uint8_t* h, uint32_t headerSize) {
  int64_t w = 0, ht = 0;
  if (headerSize == 12) {
    w = ReadLE16(h + 4);
    ht = ReadLE16(h + 6);
    bitCount_ = ReadLE16(h + 10);
  } else {
    w = int32_t(ReadLE32(h + 4));
    ht = int32_t(ReadLE32(h + 8));
    bitCount_ = ReadLE16(h + 14);
    compression_ = ReadLE32(h + 16);
    ppmX_ = int32_t(ReadLE32(h + 24));
    ppmY_ = int32_t(ReadLE32(h + 28));
  }
  topDown_ = ht < 0;
  if (ht < 0) ht = -ht;
  if (w <= 0 || !ImageSizeAllowed(uint64_t(w), uint64_t(ht))) return false;
  width_ = uint32_t(w);
  height_ = uint32_t(ht);
  const bool paletted = bitCount_ == 1 || bitCount_ == 4 || bitCount_ == 8;
  const bool rle = compression_ == kRLE8 || compression_ == kRLE4;
  const bool validDepth = paletted || bitCount_ == 16 || bitCount_ == 24 || bitCount_ == 32;
  return validDepth && !(compression_ == kRLE8 && bitCount_ != 8) &&
         !(compression_ == kRLE4 && bitCount_ != 4) &&
         !(compression_ != kRGB && !rle && compression_ != kBitfields &&
           compression_ != kAlphaBitfields) &&
         !((compression_ == kBitfields || compression_ == kAlphaBitfields) && bitCount_ != 16 &&
           bitCount_ != 32) &&
         !(rle && topDown_);
}

// Channel masks: given after the header (or in it, from version 2 on).
bool BMPDecoder::readMasks(const uint8_t* h, uint32_t headerSize, size_t dataSize) {
  if (bitCount_ != 16 && bitCount_ != 32) return true;
  if (compression_ == kBitfields || compression_ == kAlphaBitfields) {
    if (headerSize == 12 || dataSize < 14 + 40 + 12) return false;
    const uint8_t* m = h + 40;
    setMask(red_, ReadLE32(m));
    setMask(green_, ReadLE32(m + 4));
    setMask(blue_, ReadLE32(m + 8));
    const bool alphaGiven = headerSize >= 56 || compression_ == kAlphaBitfields;
    if (alphaGiven && dataSize >= 14 + 40 + 16) setMask(alpha_, ReadLE32(m + 12));
  } else if (bitCount_ == 16) {
    setMask(red_, 0x7C00);
    setMask(green_, 0x03E0);
    setMask(blue_, 0x001F);
  } else {
    setMask(red_, 0x00FF0000);
    setMask(green_, 0x0000FF00);
    setMask(blue_, 0x000000FF);
  }
  return true;
}

void BMPDecoder::readPalette(const Bytes& d, uint32_t headerSize) {
  const size_t entry = headerSize == 12 ? 3 : 4;
  uint32_t colors = headerSize == 12 ? 0 : ReadLE32(&d[14] + 32);
  if (colors == 0 || colors > (1u << bitCount_)) colors = 1u << bitCount_;
  size_t start = 14 + headerSize;
  if (compression_ == kBitfields) start += 12;
  palette_.assign(256, Pack(0, 0, 0, 255));
  for (uint32_t i = 0; i < colors && start + (i + 1) * entry <= d.size(); ++i) {
    const uint8_t* p = &d[start + i * entry];
    palette_[i] = Pack(p[2], p[1], p[0], 255);
  }
}

CGImageSourceStatus BMPDecoder::onParse() {
  const Bytes& d = *data_;
  const CGImageSourceStatus headerStatus =
      complete_ ? kCGImageStatusInvalidData : kCGImageStatusReadingHeader;
  if (d.size() < 18) return headerStatus;
  if (d[0] != 'B' || d[1] != 'M') return kCGImageStatusInvalidData;
  pixelOffset_ = ReadLE32(&d[10]);
  const uint32_t headerSize = ReadLE32(&d[14]);
  if (headerSize != 12 && headerSize < 40) return kCGImageStatusInvalidData;
  if (d.size() < 14 + size_t(headerSize) || (headerSize > 40 && d.size() < 14 + 40 + 16)) {
    return headerStatus;
  }
  const uint8_t* h = &d[14];
  if (!readInfoHeader(h, headerSize)) return kCGImageStatusInvalidData;
  if (!ImageDataCouldHold(uint64_t(width_) * height_, d.size(), kMaxPixelsPerByte, kPixelSlack)) {
    return ImageStatusUntilDataCouldHold(complete_);
  }
  if (!readMasks(h, headerSize, d.size())) return headerStatus;
  if (bitCount_ == 1 || bitCount_ == 4 || bitCount_ == 8) readPalette(d, headerSize);
  if (pixelOffset_ >= d.size())
    return complete_ ? kCGImageStatusInvalidData : kCGImageStatusIncomplete;
  return complete_ ? kCGImageStatusComplete : kCGImageStatusIncomplete;
}

ValueMap BMPDecoder::onFrameProperties(size_t) const {
  // Run-length data may skip pixels, which stay transparent.
  const bool alpha = alpha_.mask != 0 || compression_ == kRLE8 || compression_ == kRLE4;
  ValueMap props =
      ImageFrameBaseProperties(width_, height_, alpha, kCGImagePropertyColorModelRGB, 8);
  if (bitCount_ <= 8) ValueMapSet(props, kCGImagePropertyIsIndexed, true);
  if (ppmX_ > 0 && ppmY_ > 0) {
    ValueMapSet(props, kCGImagePropertyDPIWidth, std::round(ppmX_ * 0.0254));
    ValueMapSet(props, kCGImagePropertyDPIHeight, std::round(ppmY_ * 0.0254));
  }
  return props;
}

void BMPDecoder::put(ImageBitmap& out, uint32_t fileRow, uint32_t x, uint32_t rgba) const {
  if (fileRow >= height_ || x >= width_) return;
  const uint32_t y = topDown_ ? fileRow : height_ - 1 - fileRow;
  std::memcpy(out.row(y) + size_t(x) * 4, &rgba, 4);
}

void BMPDecoder::decodeRows(ImageBitmap& out) const {
  const Bytes& d = *data_;
  const size_t stride = ((size_t(width_) * bitCount_ + 31) / 32) * 4;
  for (uint32_t r = 0; r < height_; ++r) {
    const size_t start = pixelOffset_ + size_t(r) * stride;
    if (start > d.size() || d.size() - start < stride) break;  // the data ends here
    const uint8_t* p = &d[start];
    for (uint32_t x = 0; x < width_; ++x) {
      uint32_t rgba = 0;
      switch (bitCount_) {
        case 1:
          rgba = palette_[(p[x >> 3] >> (7 - (x & 7))) & 1];
          break;
        case 4:
          rgba = palette_[(p[x >> 1] >> (x & 1 ? 0 : 4)) & 15];
          break;
        case 8:
          rgba = palette_[p[x]];
          break;
        case 24:
          rgba = Pack(p[x * 3 + 2], p[x * 3 + 1], p[x * 3], 255);
          break;
        default: {
          const uint32_t v = bitCount_ == 16 ? ReadLE16(p + x * 2) : ReadLE32(p + x * 4);
          rgba = Pack(red_.extract(v), green_.extract(v), blue_.extract(v),
                      alpha_.mask ? alpha_.extract(v) : 255);
        }
      }
      put(out, r, x, rgba);
    }
  }
}

void BMPDecoder::decodeRLE(ImageBitmap& out) const {
  const Bytes& d = *data_;
  size_t pos = pixelOffset_;
  uint32_t x = 0, row = 0;
  const bool four = compression_ == kRLE4;
  while (pos + 2 <= d.size() && row < height_) {
    const uint8_t count = d[pos], value = d[pos + 1];
    pos += 2;
    if (count > 0) {  // a run of one index (or two alternating nibbles)
      for (uint32_t i = 0; i < count; ++i, ++x) {
        const uint8_t index = four ? (i & 1 ? value & 15 : value >> 4) : value;
        put(out, row, x, palette_[index]);
      }
      continue;
    }
    if (value == 0) {  // end of line
      x = 0;
      ++row;
    } else if (value == 1) {  // end of bitmap
      break;
    } else if (value == 2) {  // move right and down
      if (pos + 2 > d.size()) break;
      x += d[pos];
      row += d[pos + 1];
      pos += 2;
    } else {  // literal indices, padded to a 16-bit boundary
      const size_t bytes = four ? (value + 1) / 2 : value;
      if (d.size() - pos < bytes) break;
      for (uint32_t i = 0; i < value; ++i, ++x) {
        const uint8_t b = d[pos + (four ? i / 2 : i)];
        put(out, row, x, palette_[four ? (i & 1 ? b & 15 : b >> 4) : b]);
      }
      pos += (bytes + 1) & ~size_t(1);
    }
  }
}

bool BMPDecoder::onDecodeFrame(size_t, ImageBitmap& out, size_t) {
  if (!out.allocate(width_, height_)) return false;
  out.hasAlpha = alpha_.mask != 0 || compression_ == kRLE8 || compression_ == kRLE4;
  if (compression_ == kRLE8 || compression_ == kRLE4) {
    decodeRLE(out);
  } else {
    decodeRows(out);
  }
  return true;
}
