#pragma once

// PNG and animated PNG. libpng decodes the pixels; the animation chunks
// (acTL, fcTL, fdAT), which Debian's libpng does not know, are parsed here:
// each fdAT frame is re-wrapped as a small PNG stream of its own for libpng,
// then composited onto the canvas with the frame's dispose and blend
// operations.

#include "platform/imageio/AnimatedImageDecoder.h"
#include "platform/imageio/ExifMetadata.h"

class PNGDecoder : public AnimatedImageDecoder {
 public:
  using AnimatedImageDecoder::AnimatedImageDecoder;

  static bool sniff(const uint8_t* data, size_t size, const char* type);

 protected:
  CGImageSourceStatus onParse() override;
  size_t onFrameCount() const override;
  ValueMap onContainerProperties() const override;
  ValueMap onFrameProperties(size_t index) const override;
  ImageFrameGeometry onFrameGeometry(size_t index) const override;
  CGImageSourceStatus onFrameStatus(size_t index) const override;
  // A still image is decoded whole; animations are composited.
  bool onDecodeFrame(size_t index, ImageBitmap& out, size_t prior) override;
  // A still image's rows are folded into the output as they are decoded.
  bool onDecodeFrameScaled(size_t index, uint32_t width, uint32_t height,
                           ImageBitmap& out) override;

  uint32_t canvasWidth() const override { return width_; }
  uint32_t canvasHeight() const override { return height_; }
  FrameRect frameRect(size_t index) const override;
  bool decodeFrameRegion(size_t index, ImageBitmap& region) override;
  bool onCanDecodeRows(size_t index) const override;
  std::unique_ptr<ImageRowReader> onMakeRowReader(size_t index) const override;

 private:
  bool hasAlpha() const;
  struct Range {
    size_t offset = 0;
    size_t length = 0;
  };
  struct Frame {
    uint32_t width = 0, height = 0, x = 0, y = 0;
    uint16_t delayNum = 0, delayDen = 0;
    uint8_t dispose = 0, blend = 0;
    bool fromIDAT = false;
    bool complete = false;
    std::vector<Range> chunks;  // data of its IDAT or fdAT chunks (fdAT without sequence)
  };

  CGImageSourceStatus readChunk(const uint8_t* chunk, uint32_t length, size_t dataOffset);
  CGImageSourceStatus readFrameControl(const uint8_t* p, uint32_t length);
  bool nextSequence(uint32_t seq);
  bool decodeRegion(const Frame& f, ImageBitmap& out) const;
  Bytes wrapFrame(const Frame& f) const;
  bool frameLooksLikeBomb(const Frame& f) const;
  Frame stillFrame() const;
  double delaySeconds(const Frame& f) const;

  // Header.
  uint32_t width_ = 0, height_ = 0;
  uint8_t bitDepth_ = 0, colorType_ = 0, interlace_ = 0;
  bool hasTransparency_ = false;
  uint32_t ppmX_ = 0, ppmY_ = 0;
  bool hasPhys_ = false;
  bool sawExif_ = false;
  ExifData exif_;
  double gamma_ = 0;
  std::vector<Range> headerChunks_;  // whole chunks before the first IDAT to copy into frames

  // Animation.
  bool sawIHDR_ = false, sawIDAT_ = false, idatDone_ = false, sawEnd_ = false;
  bool animated_ = false;  // an acTL chunk came before the image data
  uint32_t declaredFrames_ = 0, plays_ = 0;
  uint32_t nextSeq_ = 0;
  std::vector<Range> idat_;
  size_t partialIDAT_ = 0;  // bytes of an image data chunk not all here
  std::vector<Frame> frames_;
};

// Decodes a complete or truncated PNG stream into RGBA, scaled to the fit
// size when one is given. Rows the data does not reach stay transparent;
// false when nothing could be decoded at all. With `file` (the decoder the
// data is of), the pages of a mapped file are given back as it is read.
bool PNGDecodeStream(const uint8_t* data, size_t size, ImageBitmap& out, bool& hasAlpha,
                     uint32_t fitWidth = 0, uint32_t fitHeight = 0,
                     const ImageDecoder* file = nullptr);

// Appends one chunk (length, type, data, CRC) to a PNG stream.
void AppendPNGChunk(Bytes& out, const char* type, const uint8_t* data, size_t length);
