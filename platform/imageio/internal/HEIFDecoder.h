#pragma once

// HEIF family (HEIC, HEIF, image sequences' still items, AVIF) through
// libheif. Every top-level image is a frame, the primary one first. libheif
// applies the rotation and mirroring boxes, so frames come out upright and
// no orientation is reported.

#include <functional>
#include <string>

#include "platform/imageio/ExifMetadata.h"
#include "platform/imageio/ImageDecoder.h"

struct heif_context;

class HEIFDecoder : public ImageDecoder {
 public:
  using ImageDecoder::ImageDecoder;
  ~HEIFDecoder() override;

  // Whether the brands of an ISO base media file make it an image of `type`.
  static bool sniff(const uint8_t* data, size_t size, const char* type);
  // Whether the type is readable, never loading libheif for the answer: true
  // until it is loaded, then whether it has a decoder for the type's codec.
  static bool canDecode(const char* type);

 protected:
  CGImageSourceStatus onParse() override;
  size_t onFrameCount() const override { return images_.size(); }
  ValueMap onFrameProperties(size_t index) const override;
  bool onDecodeFrame(size_t index, ImageBitmap& out, size_t prior) override;
  bool onDecodeFrameScaled(size_t index, uint32_t width, uint32_t height,
                           ImageBitmap& out) override;

 private:
  // Decodes the image and hands each row, in order, to `sink`: its index
  // and straight RGBA (or RGB when `channels` is 3).
  using RowSink = std::function<void(uint32_t, const uint8_t*)>;
  bool decodeRows(size_t index, int channels, const RowSink& sink) const;

  struct Image {
    uint32_t id = 0;
    uint32_t width = 0, height = 0;
    bool hasAlpha = false;
    int depth = 8;
    ExifData exif;
  };
  heif_context* context_ = nullptr;
  std::vector<Image> images_;
};

// Loads libheif and initialises it (plugins loaded) once per process; false
// with `why` (when given) when it cannot be loaded, and then no HEIF image is
// read or written.
bool HEIFInitialiseOnce(std::string* why = nullptr);
// Whether libheif is loaded; never loads it.
bool HEIFLoaded();
