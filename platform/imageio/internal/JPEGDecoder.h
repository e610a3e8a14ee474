#pragma once

// JPEG through libjpeg-turbo. The markers are read here first (size,
// progressive flag, JFIF density, EXIF with orientation, GPS and the embedded
// thumbnail); pixels are decoded at full size or reduced by the DCT scaling
// of libjpeg when a thumbnail is wanted.

#include "platform/imageio/ExifMetadata.h"
#include "platform/imageio/ImageDecoder.h"

class JPEGDecoder : public ImageDecoder {
 public:
  using ImageDecoder::ImageDecoder;

  static bool sniff(const uint8_t* data, size_t size, const char* type);

 protected:
  CGImageSourceStatus onParse() override;
  size_t onFrameCount() const override { return sawFrameHeader_ ? 1 : 0; }
  ValueMap onFrameProperties(size_t index) const override;
  ImageFrameGeometry onFrameGeometry(size_t index) const override;
  bool onDecodeFrame(size_t index, ImageBitmap& out, size_t prior) override;
  bool onDecodeFrameScaled(size_t index, uint32_t width, uint32_t height,
                           ImageBitmap& out) override;
  Bytes onEmbeddedThumbnail(size_t index) const override;
  bool onCanDecodeRows(size_t index) const override;
  std::unique_ptr<ImageRowReader> onMakeRowReader(size_t index) const override;

 private:
  // At the DCT scale n/8, then averaged down to the fit size when one is given.
  bool decode(unsigned scaleNumerator, uint32_t fitWidth, uint32_t fitHeight,
              ImageBitmap& out) const;
  void readJFIF(const uint8_t* p, size_t n);

  bool sawFrameHeader_ = false;
  uint32_t width_ = 0, height_ = 0;
  int components_ = 0;
  bool progressive_ = false;
  bool hasJFIF_ = false;
  int jfifMajor_ = 1, jfifMinor_ = 1, densityUnit_ = 0, xDensity_ = 0, yDensity_ = 0;
  bool hasExif_ = false;
  ExifData exif_;
  size_t exifOffset_ = 0;  // where the EXIF block starts in the data
};

// Decodes a whole JPEG stream at full size (the EXIF thumbnail path uses it).
bool JPEGDecodeStream(const uint8_t* data, size_t size, ImageBitmap& out);
