#pragma once

// What GIF, animated PNG and animated WebP share: frames drawn one on the
// other over a canvas, each within its own rectangle, then disposed of
// (left, cleared, or restored to what was under it) before the next.
//
// The canvas is the caller's bitmap. Going from a frame the caller holds to
// the next costs the two frames' rectangles, never the canvas: the decoder
// keeps only what a "restore" disposal needs (the pixels under the last
// frame drawn), so memory is the canvas plus one frame.

#include "platform/imageio/ImageDecoder.h"

class AnimatedImageDecoder : public ImageDecoder {
 public:
  using ImageDecoder::ImageDecoder;

  enum class Disposal : uint8_t { kNone, kBackground, kPrevious };
  struct FrameRect {
    uint32_t x = 0, y = 0, width = 0, height = 0;  // within the canvas
    Disposal disposal = Disposal::kNone;
    bool blend = true;    // drawn over the canvas (else replacing it)
    bool opaque = false;  // known to have no transparent pixel
  };

 protected:
  // Formats describe their frames and decode one frame's own pixels (its
  // rectangle's size, straight RGBA).
  virtual uint32_t canvasWidth() const = 0;
  virtual uint32_t canvasHeight() const = 0;
  virtual FrameRect frameRect(size_t index) const = 0;
  virtual bool decodeFrameRegion(size_t index, ImageBitmap& region) = 0;
  // Draws `count` pixels over the canvas's; straight-alpha "over" by default.
  virtual void blendRow(const uint8_t* src, uint8_t* dst, uint32_t count) const;
  // Whether the composited canvas says it has alpha.
  virtual bool canvasHasAlpha() const { return true; }

  bool onDecodeFrame(size_t index, ImageBitmap& out, size_t prior) override;
  void onDropCaches() override;

 private:
  // The first frame that `index` depends on: one that covers the whole canvas
  // with no need of what was under it, or follows a frame that cleared it.
  size_t firstNeeded(size_t index) const;
  bool canContinueFrom(size_t prior, size_t index, const ImageBitmap& out) const;
  void dispose(size_t index, ImageBitmap& canvas);
  bool draw(size_t index, ImageBitmap& canvas);

  ImageBitmap under_;  // the pixels under frame underOf_, for a restore
  size_t underOf_ = kNoFrame;
};
