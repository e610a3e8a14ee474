#pragma once

// GIF: the block structure (frames, graphic control, NETSCAPE2.0 loop count)
// is indexed here without decoding; giflib decodes the LZW data of one frame
// at a time (it is handed the header and that frame only), and frames are
// composited onto the canvas with their disposal methods.

#include "platform/imageio/ImageDecoder.h"

class GIFDecoder : public ImageDecoder {
 public:
  using ImageDecoder::ImageDecoder;

  std::string typeIdentifier() const override { return "com.compuserve.gif"; }
  CGImageSourceStatus parse() override;
  size_t frameCount() const override;
  ValueMap containerProperties() const override;
  ValueMap frameProperties(size_t index) const override;
  CGImageSourceStatus frameStatus(size_t index) const override;
  bool decodeFrame(size_t index, ImageBitmap& out) override;
  void dropCaches() override;

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
  bool decodeIndices(const Frame& f, std::vector<uint8_t>& indices, std::vector<uint8_t>& rowDone,
                     std::vector<uint32_t>& palette) const;
  bool composite(size_t index);

  uint32_t width_ = 0, height_ = 0;
  size_t headerEnd_ = 0;
  bool globalColorMap_ = false;
  bool hasLoopCount_ = false;
  int loopCount_ = 0;
  bool hasAlpha_ = false;
  bool sawTrailer_ = false;
  std::vector<Frame> frames_;

  ImageBitmap canvas_;  // after the disposal of frame nextToCompose_ - 1
  size_t nextToCompose_ = 0;
  ImageBitmap lastOutput_;
};
