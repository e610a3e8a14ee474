#include "image_loading/coders/internal/ILImageScaler.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace {

constexpr double kLobes = 3.0;

double lanczos(double x) {
  x = std::fabs(x);
  if (x < 1e-9) return 1.0;
  if (x >= kLobes) return 0.0;
  const double px = M_PI * x;
  return kLobes * std::sin(px) * std::sin(px / kLobes) / (px * px);
}

// Contributions of source samples to each destination sample.
struct Taps {
  std::vector<int> start;
  std::vector<int> count;
  std::vector<float> weights;  // count[i] weights from offset[i]
  std::vector<size_t> offset;
};

Taps makeTaps(size_t srcSize, size_t dstSize) {
  Taps taps;
  const double scale = double(dstSize) / double(srcSize);
  const double widen = std::max(1.0, 1.0 / scale);
  const double support = kLobes * widen;
  taps.start.resize(dstSize);
  taps.count.resize(dstSize);
  taps.offset.resize(dstSize);
  for (size_t i = 0; i < dstSize; ++i) {
    const double center = (double(i) + 0.5) / scale;
    const int lo = std::max(0, int(std::floor(center - support)));
    const int hi = std::min(int(srcSize), int(std::ceil(center + support)));
    taps.start[i] = lo;
    taps.offset[i] = taps.weights.size();
    double sum = 0;
    for (int j = lo; j < hi; ++j) {
      const double w = lanczos((double(j) + 0.5 - center) / widen);
      taps.weights.push_back(float(w));
      sum += w;
    }
    taps.count[i] = hi - lo;
    if (sum != 0) {
      for (int k = 0; k < hi - lo; ++k) taps.weights[taps.offset[i] + k] /= float(sum);
    }
  }
  return taps;
}

float readComponent(const uint8_t* p, const ILScalerLayout& layout) {
  switch (layout.component) {
    case ILScalerComponent::UInt8:
      return float(*p);
    case ILScalerComponent::UInt16: {
      const uint16_t v = layout.bigEndian ? uint16_t((p[0] << 8) | p[1]) : uint16_t((p[1] << 8) | p[0]);
      return float(v);
    }
    case ILScalerComponent::Float32: {
      uint8_t b[4] = {p[0], p[1], p[2], p[3]};
      if (layout.bigEndian) std::reverse(b, b + 4);
      float f;
      std::memcpy(&f, b, 4);
      return std::isfinite(f) ? f : 0.f;
    }
  }
  return 0;
}

void writeComponent(uint8_t* p, float v, const ILScalerLayout& layout) {
  switch (layout.component) {
    case ILScalerComponent::UInt8:
      *p = uint8_t(std::clamp(std::lround(v), 0L, 255L));
      return;
    case ILScalerComponent::UInt16: {
      const auto u = uint16_t(std::clamp(std::lround(v), 0L, 65535L));
      p[layout.bigEndian ? 0 : 1] = uint8_t(u >> 8);
      p[layout.bigEndian ? 1 : 0] = uint8_t(u);
      return;
    }
    case ILScalerComponent::Float32: {
      uint8_t b[4];
      std::memcpy(b, &v, 4);
      if (layout.bigEndian) std::reverse(b, b + 4);
      std::memcpy(p, b, 4);
      return;
    }
  }
}

size_t componentBytes(ILScalerComponent c) {
  return c == ILScalerComponent::UInt8 ? 1 : c == ILScalerComponent::UInt16 ? 2 : 4;
}

// Horizontally resampled source rows, kept while the vertical window needs them.
class RowWindow {
 public:
  RowWindow(const ILScalerPlane& src, const ILScalerLayout& layout, const Taps& xTaps,
            size_t dstWidth)
      : src_(src), layout_(layout), xTaps_(xTaps), rowFloats_(dstWidth * layout.channels) {}

  const float* row(int y) {
    auto it = std::find(keys_.begin(), keys_.end(), y);
    if (it != keys_.end()) return rows_[size_t(it - keys_.begin())].data();
    // Reuse the slot of the oldest row (rows are asked for in rising order).
    size_t slot;
    if (keys_.size() < kMaxRows) {
      keys_.push_back(y);
      rows_.emplace_back(rowFloats_);
      slot = keys_.size() - 1;
    } else {
      slot = size_t(std::min_element(keys_.begin(), keys_.end()) - keys_.begin());
      keys_[slot] = y;
    }
    fill(y, rows_[slot].data());
    return rows_[slot].data();
  }

  void setCapacity(size_t rows) { kMaxRows = std::max<size_t>(rows, 1); }

 private:
  void fill(int y, float* out) {
    const size_t channels = layout_.channels;
    const size_t cb = componentBytes(layout_.component);
    const uint8_t* line = src_.data + size_t(y) * src_.bytesPerRow;
    const size_t dstWidth = rowFloats_ / channels;
    for (size_t x = 0; x < dstWidth; ++x) {
      float acc[4] = {0, 0, 0, 0};
      const float* w = &xTaps_.weights[xTaps_.offset[x]];
      const int start = xTaps_.start[x];
      for (int k = 0; k < xTaps_.count[x]; ++k) {
        const uint8_t* px = line + size_t(start + k) * channels * cb;
        for (size_t c = 0; c < channels; ++c) acc[c] += w[k] * readComponent(px + c * cb, layout_);
      }
      for (size_t c = 0; c < channels; ++c) out[x * channels + c] = acc[c];
    }
  }

  const ILScalerPlane& src_;
  const ILScalerLayout& layout_;
  const Taps& xTaps_;
  size_t rowFloats_;
  size_t kMaxRows = 8;
  std::vector<int> keys_;
  std::vector<std::vector<float>> rows_;
};

}  // namespace

bool ILScalerResample(const ILScalerPlane& src, const ILScalerLayout& layout, uint8_t* dst,
                      size_t dstWidth, size_t dstHeight, size_t dstBytesPerRow) {
  if (!src.data || src.width == 0 || src.height == 0 || dstWidth == 0 || dstHeight == 0 || !dst)
    return false;
  if (layout.channels < 1 || layout.channels > 4) return false;
  const size_t cb = componentBytes(layout.component);
  if (src.bytesPerRow < src.width * layout.channels * cb ||
      dstBytesPerRow < dstWidth * layout.channels * cb)
    return false;
  const Taps xTaps = makeTaps(src.width, dstWidth);
  const Taps yTaps = makeTaps(src.height, dstHeight);
  int widest = 1;
  for (int n : yTaps.count) widest = std::max(widest, n);
  RowWindow window(src, layout, xTaps, dstWidth);
  window.setCapacity(size_t(widest) + 1);
  std::vector<float> acc(dstWidth * layout.channels);
  for (size_t y = 0; y < dstHeight; ++y) {
    std::fill(acc.begin(), acc.end(), 0.f);
    const float* w = &yTaps.weights[yTaps.offset[y]];
    for (int k = 0; k < yTaps.count[y]; ++k) {
      const float* row = window.row(yTaps.start[y] + k);
      const float wk = w[k];
      for (size_t i = 0; i < acc.size(); ++i) acc[i] += wk * row[i];
    }
    uint8_t* out = dst + y * dstBytesPerRow;
    for (size_t i = 0; i < acc.size(); ++i) writeComponent(out + i * cb, acc[i], layout);
  }
  return true;
}
