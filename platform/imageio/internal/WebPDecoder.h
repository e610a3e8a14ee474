#pragma once

// WebP, still and animated, through libwebp: the demuxer reads the container
// (canvas, loop count, frames and their durations, EXIF), the decoder one
// frame's bitstream at a time; animation frames are composited here.

#include "platform/imageio/AnimatedImageDecoder.h"
#include "platform/imageio/ExifMetadata.h"

class WebPDecoder : public AnimatedImageDecoder {
 public:
  using AnimatedImageDecoder::AnimatedImageDecoder;

  static bool sniff(const uint8_t* data, size_t size, const char* type);

 protected:
  CGImageSourceStatus onParse() override;
  size_t onFrameCount() const override { return frames_.size(); }
  ValueMap onContainerProperties() const override;
  ValueMap onFrameProperties(size_t index) const override;
  bool onDecodeFrame(size_t index, ImageBitmap& out, size_t prior) override;
  // A still image is scaled by libwebp while it decodes.
  bool onDecodeFrameScaled(size_t index, uint32_t width, uint32_t height,
                           ImageBitmap& out) override;

  uint32_t canvasWidth() const override { return width_; }
  uint32_t canvasHeight() const override { return height_; }
  FrameRect frameRect(size_t index) const override { return frames_[index].rect; }
  bool decodeFrameRegion(size_t index, ImageBitmap& region) override;
  void blendRow(const uint8_t* src, uint8_t* dst, uint32_t count) const override;

 private:
  struct Frame {
    FrameRect rect;
    int duration = 0;  // milliseconds
    size_t offset = 0, size = 0;  // the frame's bitstream in the data
  };

  uint32_t width_ = 0, height_ = 0;
  bool animated_ = false;
  bool hasAlpha_ = false;
  uint32_t loopCount_ = 0;
  std::vector<Frame> frames_;
  ExifData exif_;
};
