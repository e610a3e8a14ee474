#pragma once

// Windows and OS/2 bitmaps, decoded here: 1, 4 and 8 bits with a palette
// (also run-length coded), 16 and 32 bits with channel masks, 24 bits.
// Rows the data does not reach stay transparent.

#include "platform/imageio/ImageDecoder.h"

class BMPDecoder : public ImageDecoder {
 public:
  using ImageDecoder::ImageDecoder;

  static bool sniff(const uint8_t* data, size_t size, const char* type);

 protected:
  CGImageSourceStatus onParse() override;
  size_t onFrameCount() const override { return width_ ? 1 : 0; }
  ValueMap onFrameProperties(size_t index) const override;
  bool onDecodeFrame(size_t index, ImageBitmap& out, size_t prior) override;

 private:
  struct Mask {
    uint32_t mask = 0;
    int shift = 0;
    uint32_t max = 0;
    // Scaled to 8 bits with rounding, so a 5-bit 16 becomes 132, not 131.
    uint8_t extract(uint32_t v) const {
      return max ? uint8_t((uint64_t((v & mask) >> shift) * 255 + max / 2) / max) : 255;
    }
  };
  void setMask(Mask& m, uint32_t mask);
  // The steps of parsing: the info header `h` of `headerSize` bytes (false
  // when it describes no image this decoder reads), the channel masks
  // (false when they are not all there yet) and the palette.
  bool readInfoHeader(const uint8_t* h, uint32_t headerSize);
  bool readMasks(const uint8_t* h, uint32_t headerSize, size_t dataSize);
  void readPalette(const Bytes& d, uint32_t headerSize);
  void decodeRows(ImageBitmap& out) const;
  void decodeRLE(ImageBitmap& out) const;
  void put(ImageBitmap& out, uint32_t fileRow, uint32_t x, uint32_t rgba) const;

  uint32_t width_ = 0, height_ = 0;
  bool topDown_ = false;
  int bitCount_ = 0;
  uint32_t compression_ = 0;
  size_t pixelOffset_ = 0;
  std::vector<uint32_t> palette_;  // RGBA in memory order
  Mask red_, green_, blue_, alpha_;
  int32_t ppmX_ = 0, ppmY_ = 0;
};
