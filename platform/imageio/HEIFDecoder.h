#pragma once

// HEIF family (HEIC, HEIF, image sequences' still items, AVIF) through
// libheif. Every top-level image is a frame, the primary one first. libheif
// applies the rotation and mirroring boxes, so frames come out upright and
// no orientation is reported.

#include "platform/imageio/ExifMetadata.h"
#include "platform/imageio/ImageDecoder.h"

struct heif_context;

class HEIFDecoder : public ImageDecoder {
 public:
  HEIFDecoder(std::shared_ptr<const Bytes> data, bool complete, std::string type)
      : ImageDecoder(std::move(data), complete), type_(std::move(type)) {}
  ~HEIFDecoder() override;

  std::string typeIdentifier() const override { return type_; }
  CGImageSourceStatus parse() override;
  size_t frameCount() const override { return images_.size(); }
  ValueMap frameProperties(size_t index) const override;
  bool decodeFrame(size_t index, ImageBitmap& out) override;

  // The type of an ISO base media file by its brands, "" when not an image.
  static std::string typeOfBrands(const uint8_t* data, size_t size);
  static bool canDecode(const std::string& type);

 private:
  struct Image {
    uint32_t id = 0;
    uint32_t width = 0, height = 0;
    bool hasAlpha = false;
    int depth = 8;
    ExifData exif;
  };
  std::string type_;
  heif_context* context_ = nullptr;
  std::vector<Image> images_;
};

// Makes sure libheif is initialised (plugins loaded) once per process.
void HEIFInitialiseOnce();
