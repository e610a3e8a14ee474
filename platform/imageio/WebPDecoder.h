#pragma once

// WebP, still and animated, through libwebp: the demuxer reads the container
// (canvas, loop count, frame durations, EXIF), the animation decoder
// composites frames (kept open so frames in order cost one step each).

#include "platform/imageio/ExifMetadata.h"
#include "platform/imageio/ImageDecoder.h"

struct WebPAnimDecoder;

class WebPDecoder : public ImageDecoder {
 public:
  using ImageDecoder::ImageDecoder;
  ~WebPDecoder() override;

  std::string typeIdentifier() const override { return "org.webmproject.webp"; }
  CGImageSourceStatus parse() override;
  size_t frameCount() const override { return durations_.size(); }
  ValueMap containerProperties() const override;
  ValueMap frameProperties(size_t index) const override;
  bool decodeFrame(size_t index, ImageBitmap& out) override;
  void dropCaches() override;

 private:
  bool decodeStill(ImageBitmap& out) const;
  bool decodeAnimated(size_t index, ImageBitmap& out);

  uint32_t width_ = 0, height_ = 0;
  bool animated_ = false;
  bool hasAlpha_ = false;
  uint32_t loopCount_ = 0;
  std::vector<int> durations_;  // milliseconds
  ExifData exif_;
  WebPAnimDecoder* anim_ = nullptr;
  size_t nextFrame_ = 0;  // index the animation decoder yields next
  ImageBitmap lastOutput_;
};
