#pragma once

// GIF: the block structure (frames, graphic control, NETSCAPE2.0 loop count)
// is indexed here without decoding; giflib decodes the LZW data of one frame
// at a time (it is handed the header and that frame only), and frames are
// composited onto the canvas with their disposal methods.

#include "platform/imageio/AnimatedImageDecoder.h"

class GIFDecoder : public AnimatedImageDecoder {
 public:
  using AnimatedImageDecoder::AnimatedImageDecoder;

  static bool sniff(const uint8_t* data, size_t size, const char* type);

 protected:
  CGImageSourceStatus onParse() override;
  size_t onFrameCount() const override;
  ValueMap onContainerProperties() const override;
  ValueMap onFrameProperties(size_t index) const override;
  CGImageSourceStatus onFrameStatus(size_t index) const override;

  uint32_t canvasWidth() const override { return width_; }
  uint32_t canvasHeight() const override { return height_; }
  FrameRect frameRect(size_t index) const override;
  bool decodeFrameRegion(size_t index, ImageBitmap& region) override;
  bool canvasHasAlpha() const override { return hasAlpha_; }
  // The first frame's rows are folded into the output as they are decoded
  // (interlaced ones from four readers, one a pass), so a thumbnail of a
  // canvas past the full-size limits needs a few rows, never the canvas.
  bool onDecodeFrameScaled(size_t index, uint32_t width, uint32_t height,
                           ImageBitmap& out) override;

 private:
  struct Frame {
    size_t start = 0, end = 0;  // image descriptor to the end of its data
    int x = 0, y = 0, width = 0, height = 0;
    bool hasControl = false;
    int delayCentiseconds = 0;
    int disposal = 0;
    int transparentIndex = -1;
    bool complete = false;
  };

  bool readFrame(size_t& pos, Frame frame);

  uint32_t width_ = 0, height_ = 0;
  size_t headerEnd_ = 0;
  bool globalColorMap_ = false;
  bool hasLoopCount_ = false;
  int loopCount_ = 0;
  bool hasAlpha_ = false;
  bool sawTrailer_ = false;
  std::vector<Frame> frames_;
};
