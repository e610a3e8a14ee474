#pragma once

// TIFF through libtiff over the bytes in memory: every directory is a frame
// (page); the first directory's tags also fill "{TIFF}", "{Exif}" and "{GPS}".

#include <functional>

#include "platform/imageio/ExifMetadata.h"
#include "platform/imageio/ImageDecoder.h"

struct tiff;

class TIFFDecoder : public ImageDecoder {
 public:
  using ImageDecoder::ImageDecoder;

  static bool sniff(const uint8_t* data, size_t size, const char* type);

 protected:
  CGImageSourceStatus onParse() override;
  size_t onFrameCount() const override { return pages_.size(); }
  ValueMap onFrameProperties(size_t index) const override;
  bool onDecodeFrame(size_t index, ImageBitmap& out, size_t prior) override;
  // Strips or rows of tiles are folded into the output as they are decoded,
  // so a page past the full-size limits gives thumbnails too.
  bool onDecodeFrameScaled(size_t index, uint32_t width, uint32_t height,
                           ImageBitmap& out) override;

 private:
  struct Page {
    uint32_t width = 0, height = 0;
    int orientation = 1;
    bool hasAlpha = false;
    int samples = 3, bitsPerSample = 8, photometric = 2, compression = 1;
    double xResolution = 0, yResolution = 0;
    int resolutionUnit = 2;
    bool contiguous = true;
    bool tiled = false;
    bool alphaAssociated = false;
    int sampleFormat = 1;
  };
  // Each row of the page, in order: its index and `channels` (4, or 3 for
  // an opaque page) 8-bit samples a pixel.
  using RowSink = std::function<void(uint32_t, const uint8_t*)>;
  bool readSamples(tiff* tif, const Page& p, int channels, const RowSink& sink) const;
  static bool readsSamples(const Page& p);
  // Through libtiff's RGBA conversion, `band` rows at a time (RGBA rows).
  bool readRGBA(tiff* tif, const Page& p, uint32_t band, const RowSink& sink) const;
  // After rows [y0, y0 + count) were read.
  void releaseAfter(uint32_t y0, uint32_t count) const;
  // The rows of a strip or of a row of tiles.
  static uint32_t storedBand(tiff* tif, const Page& p);
  ExifData exif_;
  std::vector<Page> pages_;
};

// Opens libtiff over a buffer; the caller closes with TIFFClose.
tiff* TIFFOpenMemory(const uint8_t* data, size_t size);
