#include "platform/imageio/AnimatedImageDecoder.h"

#include <algorithm>
#include <cstring>

namespace {

// Straight-alpha "over": the frame's pixel drawn onto the canvas pixel.
inline void BlendOver(const uint8_t* s, uint8_t* d) {
  const uint32_t sa = s[3];
  if (sa == 255) {
    std::memcpy(d, s, 4);
    return;
  }
  if (sa == 0) return;
  const uint32_t da = d[3];
  const uint32_t dw = da * (255 - sa);   // destination weight, scaled by 255
  const uint32_t oa255 = sa * 255 + dw;  // output alpha, scaled by 255
  for (int c = 0; c < 3; ++c) {
    d[c] = static_cast<uint8_t>((s[c] * sa * 255 + d[c] * dw + oa255 / 2) / oa255);
  }
  d[3] = static_cast<uint8_t>((oa255 + 127) / 255);
}

bool Inside(const AnimatedImageDecoder::FrameRect& f, const ImageBitmap& canvas) {
  return f.x <= canvas.width && f.width <= canvas.width - f.x && f.y <= canvas.height &&
         f.height <= canvas.height - f.y;
}

}  // namespace

void AnimatedImageDecoder::blendRow(const uint8_t* src, uint8_t* dst, uint32_t count) const {
  for (uint32_t x = 0; x < count; ++x) BlendOver(src + size_t(x) * 4, dst + size_t(x) * 4);
}

size_t AnimatedImageDecoder::firstNeeded(size_t index) const {
  const uint32_t w = canvasWidth(), h = canvasHeight();
  auto covers = [&](const FrameRect& f) {
    return f.x == 0 && f.y == 0 && f.width == w && f.height == h;
  };
  for (size_t i = index; i > 0; --i) {
    const FrameRect f = frameRect(i);
    if (covers(f) && (!f.blend || f.opaque)) return i;
    const FrameRect before = frameRect(i - 1);
    if (covers(before) && before.disposal == Disposal::kBackground) return i;
  }
  return 0;
}

bool AnimatedImageDecoder::canContinueFrom(size_t prior, size_t index,
                                           const ImageBitmap& out) const {
  return prior < index && out.width == canvasWidth() && out.height == canvasHeight() &&
         out.pixels.size() == size_t(out.width) * out.height * 4 &&
         (frameRect(prior).disposal != Disposal::kPrevious || underOf_ == prior);
}

bool AnimatedImageDecoder::onDecodeFrame(size_t index, ImageBitmap& out, size_t prior) {
  const size_t first = firstNeeded(index);
  size_t from = first;
  if (prior != kNoFrame && first <= prior && canContinueFrom(prior, index, out)) {
    dispose(prior, out);
    from = prior + 1;
  } else if (!out.allocate(canvasWidth(), canvasHeight())) {
    return false;
  }
  for (size_t i = from; i <= index; ++i) {
    if (i > from) dispose(i - 1, out);
    if (!draw(i, out)) {
      onDropCaches();
      return false;
    }
  }
  out.hasAlpha = canvasHasAlpha();
  return true;
}

void AnimatedImageDecoder::dispose(size_t index, ImageBitmap& canvas) {
  const FrameRect f = frameRect(index);
  const size_t rowBytes = size_t(f.width) * 4;
  for (uint32_t y = 0; y < f.height && Inside(f, canvas); ++y) {
    uint8_t* d = canvas.row(f.y + y) + size_t(f.x) * 4;
    if (f.disposal == Disposal::kBackground) std::memset(d, 0, rowBytes);
    if (f.disposal == Disposal::kPrevious && underOf_ == index)
      std::memcpy(d, under_.row(y), rowBytes);
  }
  under_ = ImageBitmap();
  underOf_ = kNoFrame;
}

bool AnimatedImageDecoder::draw(size_t index, ImageBitmap& canvas) {
  const FrameRect f = frameRect(index);
  under_ = ImageBitmap();
  underOf_ = kNoFrame;
  if (!Inside(f, canvas)) return false;
  if (f.width == 0 || f.height == 0) return true;  // nothing of it shows
  ImageBitmap region;
  if (!decodeFrameRegion(index, region) || region.width != f.width || region.height != f.height) {
    return false;
  }
  // A frame restored after it is shown keeps what it covers; the region,
  // once drawn, holds exactly that, so no second frame-sized buffer is made.
  const bool keep = f.disposal == Disposal::kPrevious && index + 1 < frameCount();
  const size_t rowBytes = size_t(f.width) * 4;
  std::vector<uint8_t> before(keep ? rowBytes : 0);
  for (uint32_t y = 0; y < f.height; ++y) {
    uint8_t* d = canvas.row(f.y + y) + size_t(f.x) * 4;
    uint8_t* s = region.row(y);
    if (keep) std::memcpy(before.data(), d, rowBytes);
    if (f.blend) {
      blendRow(s, d, f.width);
    } else {
      std::memcpy(d, s, rowBytes);
    }
    if (keep) std::memcpy(s, before.data(), rowBytes);
  }
  if (keep) {
    under_ = std::move(region);
    underOf_ = index;
  }
  return true;
}

void AnimatedImageDecoder::onDropCaches() {
  under_ = ImageBitmap();
  underOf_ = kNoFrame;
}
