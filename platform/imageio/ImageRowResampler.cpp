#include "platform/imageio/internal/ImageRowResampler.h"

#include <algorithm>
#include <cmath>

ImageRowResampler::ImageRowResampler(uint32_t srcWidth, uint32_t srcHeight, uint32_t width,
                                     uint32_t height, bool hasAlpha, int channels)
    : srcWidth_(srcWidth), srcHeight_(srcHeight), hasAlpha_(hasAlpha), channels_(channels) {
  if (srcWidth == 0 || srcHeight == 0 || height > srcHeight || !out_.allocate(width, height) ||
      !(channels == 4 || (channels == 3 && !hasAlpha))) {
    return;
  }
  out_.hasAlpha = hasAlpha;
  valid_ = true;
  scale_ = double(srcHeight) / height;
  first_.resize(width);
  count_.resize(width);
  offset_.resize(width);
  const double sx = double(srcWidth) / width;
  for (uint32_t x = 0; x < width; ++x) {
    offset_[x] = uint32_t(weights_.size());
    if (sx >= 1.0) {
      // The source pixels the output pixel's span covers, by how much.
      const double start = x * sx, end = start + sx;
      const uint32_t s = uint32_t(start);
      const uint32_t e = std::min<uint32_t>(srcWidth, uint32_t(std::ceil(end)));
      first_[x] = s;
      for (uint32_t k = s; k < e; ++k) {
        const double w = std::min<double>(k + 1, end) - std::max<double>(k, start);
        weights_.push_back(float(w / sx));
      }
    } else {
      // Wider than the source: the two nearest source pixels.
      const double c = std::clamp((x + 0.5) * sx - 0.5, 0.0, double(srcWidth - 1));
      const uint32_t s = uint32_t(c);
      const float f = float(c - s);
      first_[x] = s;
      weights_.push_back(1.0f - f);
      if (s + 1 < srcWidth) weights_.push_back(f);
    }
    count_[x] = uint32_t(weights_.size()) - offset_[x];
  }
  sums_[0].assign(size_t(srcWidth) * channels, 0.0f);
  sums_[1].assign(size_t(srcWidth) * channels, 0.0f);
}

void ImageRowResampler::addRow(const uint8_t* rgba) {
  if (!valid_ || srcRow_ >= srcHeight_) return;
  const uint32_t y = srcRow_++;
  // The source row spans [y, y + 1); output row i spans [i, i + 1) * scale.
  const double rowStart = outRow_ * scale_, rowEnd = (outRow_ + 1) * scale_;
  const double inThis = std::min<double>(y + 1, rowEnd) - std::max<double>(y, rowStart);
  const float wThis = float(std::max(0.0, inThis) / scale_);
  const float wNext = float(std::max(0.0, y + 1 - rowEnd) / scale_);
  float* cur = sums_[0].data();
  float* next = sums_[1].data();
  const size_t n = size_t(srcWidth_) * channels_;
  if (!hasAlpha_) {
    // Plain loops over contiguous values, which the compiler vectorises.
    for (size_t i = 0; i < n; ++i) cur[i] += float(rgba[i]) * wThis;
    if (wNext > 0) {
      for (size_t i = 0; i < n; ++i) next[i] += float(rgba[i]) * wNext;
    }
  } else {
    for (size_t i = 0; i < n; i += 4) {
      const float a = rgba[i + 3] * (1.0f / 255.0f);
      const float p[4] = {rgba[i] * a, rgba[i + 1] * a, rgba[i + 2] * a, float(rgba[i + 3])};
      for (int c = 0; c < 4; ++c) cur[i + c] += p[c] * wThis;
      if (wNext > 0) {
        for (int c = 0; c < 4; ++c) next[i + c] += p[c] * wNext;
      }
    }
  }
  // An output row is whole once the source passes its end (the last one
  // when the last source row comes, whatever the rounding).
  if (y + 1 >= rowEnd - 1e-9 || srcRow_ == srcHeight_) finishRow();
  if (srcRow_ == srcHeight_ && outRow_ < out_.height) finishRow();
}

void ImageRowResampler::finishRow() {
  if (outRow_ >= out_.height) return;
  uint8_t* d = out_.row(outRow_++);
  const float* sums = sums_[0].data();
  for (uint32_t x = 0; x < out_.width; ++x, d += 4) {
    const float* w = &weights_[offset_[x]];
    float acc[4] = {0, 0, 0, 255};
    if (channels_ == 3) {
      const float* s = sums + size_t(first_[x]) * 3;
      acc[0] = acc[1] = acc[2] = 0;
      for (uint32_t k = 0; k < count_[x]; ++k, s += 3) {
        for (int c = 0; c < 3; ++c) acc[c] += s[c] * w[k];
      }
    } else {
      const float* s = sums + size_t(first_[x]) * 4;
      acc[3] = 0;
      for (uint32_t k = 0; k < count_[x]; ++k, s += 4) {
        for (int c = 0; c < 4; ++c) acc[c] += s[c] * w[k];
      }
    }
    if (!hasAlpha_) {
      for (int c = 0; c < 4; ++c) d[c] = uint8_t(std::clamp(acc[c] + 0.5f, 0.0f, 255.0f));
      continue;
    }
    const float a = acc[3];
    if (a <= 0.0f) {
      d[0] = d[1] = d[2] = d[3] = 0;
      continue;
    }
    const float inv = 255.0f / a;
    for (int c = 0; c < 3; ++c) d[c] = uint8_t(std::clamp(acc[c] * inv + 0.5f, 0.0f, 255.0f));
    d[3] = uint8_t(std::clamp(a + 0.5f, 0.0f, 255.0f));
  }
  std::swap(sums_[0], sums_[1]);
  std::fill(sums_[1].begin(), sums_[1].end(), 0.0f);
}

ImageBitmap ImageRowResampler::take() {
  valid_ = false;
  return std::move(out_);
}
