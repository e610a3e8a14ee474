#pragma once

// Shrinking an image by area averaging while its rows arrive, top to bottom:
// each source row is folded into the one or two output rows it covers and
// then forgotten, so scaling a large image down needs its rows one at a time
// and the output, never the whole source. Averages are taken on
// premultiplied values so that transparent pixels do not bleed their colour.
// Used by the decoders that give rows in order (thumbnails) and by
// ImageBitmapResized whenever it shrinks.

#include <cstdint>
#include <vector>

#include "platform/imageio/ImageBitmap.h"

class ImageRowResampler {
 public:
  // Any width (narrower or wider: wider is interpolated), a height no
  // greater than the source's. valid() is false for sizes it cannot make.
  // Opaque sources may give RGB rows (`channels` 3), which spares the
  // decoder a filler and this a quarter of its sums.
  ImageRowResampler(uint32_t srcWidth, uint32_t srcHeight, uint32_t width, uint32_t height,
                    bool hasAlpha, int channels = 4);

  bool valid() const { return valid_; }
  // The next source row (straight RGBA, or RGB when made for 3 channels);
  // rows past the last are ignored.
  void addRow(const uint8_t* rgba);
  // Whether every source row has come.
  bool done() const { return srcRow_ == srcHeight_; }
  // The output; rows the source never reached stay transparent.
  ImageBitmap take();

 private:
  void finishRow();

  const uint32_t srcWidth_, srcHeight_;
  bool valid_ = false;
  bool hasAlpha_;
  int channels_;
  double scale_ = 1;  // source rows per output row
  // Horizontal taps, flattened: output pixel x takes source pixels
  // first_[x] ... first_[x] + count_[x] - 1 with weights from weights_[offset_[x]].
  std::vector<uint32_t> first_, count_, offset_;
  std::vector<float> weights_;
  // Column sums (premultiplied, at the source's width) of the output row
  // being made and of the next: rows are summed first, and each output row
  // is filtered across once, so the cost per source pixel is a few adds.
  std::vector<float> sums_[2];
  uint32_t srcRow_ = 0, outRow_ = 0;
  ImageBitmap out_;
};
