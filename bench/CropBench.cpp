// Cropped-image rendering on a 12-megapixel photo against the bare loops it
// should stay close to: a row-wise copy of the rectangle, a plain transpose,
// and a copy followed by one mask pass over the circle.

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "crop/UIImageCropRotate.h"
#include "platform/coregraphics/CGImage.h"
#include "platform/uikit/UIImage.h"

namespace {

constexpr size_t kW = 4032, kH = 3024;

const UIImagePtr& photo() {
  static UIImagePtr image = [] {
    auto px = std::make_shared<Bytes>(kW * kH * 4);
    for (size_t i = 0; i < px->size(); ++i) (*px)[i] = uint8_t(i * 2654435761u >> 24);
    auto cg = CGImage::create(kW, kH, 8, 32, kW * 4, kCGImageAlphaNoneSkipLast, px);
    return UIImage::imageWithCGImage(cg, 1, UIImageOrientationUp);
  }();
  return image;
}

const uint8_t* photoPixels() { return photo()->CGImage()->pixelData()->data(); }

std::vector<uint8_t> copyRows(size_t x, size_t y, size_t w, size_t h) {
  std::vector<uint8_t> out(w * h * 4);
  const uint8_t* src = photoPixels();
  for (size_t row = 0; row < h; ++row) {
    std::memcpy(out.data() + row * w * 4, src + ((y + row) * kW + x) * 4, w * 4);
  }
  return out;
}

void BM_Angle0SubRectangle(benchmark::State& state) {
  for (auto _ : state) {
    auto out = croppedImageWithFrame(*photo(), CGRectMake(500, 400, 3000, 2000), 0, false);
    benchmark::DoNotOptimize(out->CGImage()->pixelData()->data());
  }
}
BENCHMARK(BM_Angle0SubRectangle)->Unit(benchmark::kMillisecond);

void BM_Angle0Baseline_RowMemcpy(benchmark::State& state) {
  for (auto _ : state) {
    auto out = copyRows(500, 400, 3000, 2000);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_Angle0Baseline_RowMemcpy)->Unit(benchmark::kMillisecond);

void BM_Angle90WholeImage(benchmark::State& state) {
  for (auto _ : state) {
    auto out = croppedImageWithFrame(*photo(), CGRectMake(0, 0, kH, kW), 90, false);
    benchmark::DoNotOptimize(out->CGImage()->pixelData()->data());
  }
}
BENCHMARK(BM_Angle90WholeImage)->Unit(benchmark::kMillisecond);

void BM_Angle90Baseline_Transpose(benchmark::State& state) {
  const uint32_t* src = reinterpret_cast<const uint32_t*>(photoPixels());
  for (auto _ : state) {
    std::vector<uint32_t> out(kW * kH);
    for (size_t v = 0; v < kW; ++v) {
      for (size_t u = 0; u < kH; ++u) out[v * kH + u] = src[(kH - 1 - u) * kW + v];
    }
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_Angle90Baseline_Transpose)->Unit(benchmark::kMillisecond);

void BM_Circular3024(benchmark::State& state) {
  for (auto _ : state) {
    auto out = croppedImageWithFrame(*photo(), CGRectMake(504, 0, 3024, 3024), 0, true);
    benchmark::DoNotOptimize(out->CGImage()->pixelData()->data());
  }
}
BENCHMARK(BM_Circular3024)->Unit(benchmark::kMillisecond);

void BM_CircularBaseline_CopyAndMask(benchmark::State& state) {
  const size_t n = 3024;
  // The mask is made once: the baseline is the copy plus one multiply pass.
  std::vector<uint8_t> mask(n * n);
  for (size_t y = 0; y < n; ++y) {
    for (size_t x = 0; x < n; ++x) {
      double dx = x + 0.5 - n / 2.0, dy = y + 0.5 - n / 2.0;
      double d = n / 2.0 - std::sqrt(dx * dx + dy * dy);
      mask[y * n + x] = uint8_t(std::lround(std::fmin(1, std::fmax(0, d + 0.5)) * 255));
    }
  }
  for (auto _ : state) {
    auto out = copyRows(504, 0, n, n);
    for (size_t i = 0; i < n * n; ++i) {
      uint32_t m = mask[i];
      uint8_t* p = out.data() + i * 4;
      for (int k = 0; k < 4; ++k) p[k] = uint8_t((p[k] * m + 127) / 255);
    }
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_CircularBaseline_CopyAndMask)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
