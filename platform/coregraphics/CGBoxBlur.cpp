#include "platform/coregraphics/CGBoxBlur.h"

#include <algorithm>

namespace {

// One box along `count` pixels `stride` bytes apart, each `channels` bytes.
void blurLine(uint8_t* line, size_t count, size_t stride, size_t channels, size_t radius,
              CGBlurEdge edge, std::vector<uint8_t>& scratch) {
  scratch.resize(count * channels);
  for (size_t i = 0; i < count; ++i)
    for (size_t c = 0; c < channels; ++c) scratch[i * channels + c] = line[i * stride + c];
  const long last = static_cast<long>(count) - 1, r = static_cast<long>(radius);
  const uint32_t window = static_cast<uint32_t>(2 * radius + 1);
  for (size_t c = 0; c < channels; ++c) {
    auto at = [&](long i) -> uint32_t {
      if (i < 0 || i > last) {
        if (edge == CGBlurEdge::Transparent) return 0;
        i = std::clamp(i, 0L, last);
      }
      return scratch[static_cast<size_t>(i) * channels + c];
    };
    uint32_t sum = 0;
    for (long i = -r; i <= r; ++i) sum += at(i);
    for (long i = 0; i <= last; ++i) {
      line[static_cast<size_t>(i) * stride + c] = static_cast<uint8_t>((sum + window / 2) / window);
      sum += at(i + r + 1);
      sum -= at(i - r);
    }
  }
}

}  // namespace

void CGBoxBlur(uint8_t* pixels, size_t width, size_t height, size_t rowBytes,
               size_t bytesPerPixel, const std::vector<int>& radii, CGBlurEdge edge) {
  if (!pixels || width == 0 || height == 0 || bytesPerPixel == 0 || bytesPerPixel > 4) return;
  std::vector<uint8_t> scratch;
  for (int radius : radii) {
    if (radius <= 0) continue;
    for (size_t y = 0; y < height; ++y) {
      blurLine(pixels + y * rowBytes, width, bytesPerPixel, bytesPerPixel, size_t(radius), edge,
               scratch);
    }
    for (size_t x = 0; x < width; ++x) {
      blurLine(pixels + x * bytesPerPixel, height, rowBytes, bytesPerPixel, size_t(radius), edge,
               scratch);
    }
  }
}
