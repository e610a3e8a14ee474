// Drawing costs of the Core Graphics stand-in: scaled and rotated image draws
// of a camera-sized bitmap, and clipped fills.

#include <benchmark/benchmark.h>

#include <cmath>

#include "platform/coregraphics/CGContext.h"

namespace {

constexpr uint32_t kBGRA = kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Little;

CGImageRef photo(size_t w, size_t h, uint32_t info) {
  auto px = std::make_shared<Bytes>(w * h * 4);
  for (size_t i = 0; i < w * h; ++i) {
    uint8_t* p = px->data() + i * 4;
    p[0] = uint8_t(i * 7), p[1] = uint8_t(i >> 3), p[2] = uint8_t(i * 13), p[3] = 255;
  }
  return CGImage::create(w, h, 8, 32, w * 4, info, px);
}

CGContextRef target(size_t w, size_t h) {
  return CGBitmapContextCreate(nullptr, w, h, 8, 0, CGColorSpaceCreateDeviceRGB(), kBGRA);
}

void drawScaled(benchmark::State& state, uint32_t sourceInfo, CGInterpolationQuality quality,
                size_t outW, size_t outH) {
  auto image = photo(4000, 3000, sourceInfo);
  auto context = target(outW, outH);
  CGContextSetInterpolationQuality(context, quality);
  for (auto _ : state) {
    CGContextDrawImage(context, CGRectMake(0, 0, double(outW), double(outH)), image);
    benchmark::DoNotOptimize(context->data());
  }
}

void BM_Downscale4000x3000Straight(benchmark::State& s) {
  drawScaled(s, kCGImageAlphaLast, kCGInterpolationDefault, 1000, 750);
}
void BM_Downscale4000x3000PremultipliedHigh(benchmark::State& s) {
  drawScaled(s, kBGRA, kCGInterpolationHigh, 1000, 750);
}
void BM_Downscale4000x3000PremultipliedLow(benchmark::State& s) {
  drawScaled(s, kBGRA, kCGInterpolationLow, 1000, 750);
}
void BM_Copy4000x3000(benchmark::State& s) {
  drawScaled(s, kBGRA, kCGInterpolationDefault, 4000, 3000);
}

void BM_RotatedDraw1000x750(benchmark::State& state) {
  auto image = photo(1000, 750, kBGRA);
  auto context = target(1000, 1000);
  for (auto _ : state) {
    CGContextSaveGState(context);
    CGContextTranslateCTM(context, 500, 500);
    CGContextRotateCTM(context, M_PI / 6);
    CGContextDrawImage(context, CGRectMake(-500, -375, 1000, 750), image);
    CGContextRestoreGState(context);
    benchmark::DoNotOptimize(context->data());
  }
}

void BM_EllipseClippedFill2000(benchmark::State& state) {
  auto context = target(2000, 2000);
  for (auto _ : state) {
    CGContextSaveGState(context);
    CGContextAddEllipseInRect(context, CGRectMake(0, 0, 2000, 2000));
    CGContextClip(context);
    CGContextSetRGBFillColor(context, 1, 0, 0, 0.5);
    CGContextFillRect(context, CGRectMake(0, 0, 2000, 2000));
    CGContextRestoreGState(context);
    benchmark::DoNotOptimize(context->data());
  }
}

}  // namespace

BENCHMARK(BM_Downscale4000x3000Straight)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Downscale4000x3000PremultipliedHigh)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Downscale4000x3000PremultipliedLow)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Copy4000x3000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RotatedDraw1000x750)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EllipseClippedFill2000)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
