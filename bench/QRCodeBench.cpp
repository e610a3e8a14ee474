// QR detection on a 12-megapixel photo holding one code: the Core Image
// detector (grey conversion, then ZBar) against the same photo turned grey
// and handed to ZBar alone, both inside the timed loop.

#include <benchmark/benchmark.h>
#include <zbar.h>

#include <cstdlib>

#include "platform/coregraphics/CGColorSpace.h"
#include "platform/coregraphics/CGContext.h"
#include "platform/coreimage/CIDetector.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageSource.h"

using namespace zbar;

namespace {

constexpr size_t kWidth = 4000, kHeight = 3000;

// A textured scene (smooth shading and fine noise, as a camera gives) with
// the code printed at 600 x 600 pixels, a little off centre.
CGImageRef Photo() {
  static CGImageRef photo = [] {
    Bytes bytes;
    if (!ReadFileContents(std::string(QX_TEST_DATA_DIR) + "/coreimage/qr-url.png", bytes)) {
      std::abort();
    }
    auto code = CGImageSourceCreateImageAtIndex(
        CGImageSourceCreateWithData(NSData::dataWithBytes(bytes)), 0);
    auto c = CGBitmapContextCreate(nullptr, kWidth, kHeight, 8, kWidth * 4,
                                   CGColorSpaceCreateDeviceRGB(),
                                   kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Little);
    uint8_t* p = c->data();
    uint32_t seed = 12345;
    for (size_t y = 0; y < kHeight; ++y) {
      for (size_t x = 0; x < kWidth; ++x, p += 4) {
        seed = seed * 1664525u + 1013904223u;
        int noise = int(seed >> 28) - 8;
        p[0] = uint8_t(std::clamp(int(x * 255 / kWidth) + noise, 0, 255));
        p[1] = uint8_t(std::clamp(int(y * 255 / kHeight) + noise, 0, 255));
        p[2] = uint8_t(std::clamp(128 + noise, 0, 255));
        p[3] = 255;
      }
    }
    CGContextSetInterpolationQuality(c, kCGInterpolationNone);
    CGContextDrawImage(c, CGRectMake(2300, 900, 600, 600), code);
    return CGBitmapContextCreateImage(c);
  }();
  return photo;
}

void BM_QRDetectorHighAccuracy12MP(benchmark::State& state) {
  auto image = CIImage::imageWithCGImage(Photo());
  auto detector = CIDetector::detectorOfType(
      CIDetectorTypeQRCode, nullptr, Value::map({{CIDetectorAccuracy, CIDetectorAccuracyHigh}}));
  for (auto _ : state) {
    auto features = detector->featuresInImage(image);
    if (features.size() != 1) state.SkipWithError("the code was not found");
    benchmark::DoNotOptimize(features);
  }
}

void BM_ZBarAlone12MP(benchmark::State& state) {
  auto pixels = Photo()->pixelData();
  for (auto _ : state) {
    // The photo's grey pixels, made at every scan as the detector makes them.
    std::vector<uint8_t> grey(kWidth * kHeight);
    for (size_t i = 0; i < grey.size(); ++i) {
      const uint8_t* p = pixels->data() + i * 4;
      grey[i] = uint8_t((29 * p[0] + 150 * p[1] + 77 * p[2] + 128) >> 8);
    }
    zbar_image_scanner_t* scanner = zbar_image_scanner_create();
    zbar_image_scanner_set_config(scanner, ZBAR_NONE, ZBAR_CFG_ENABLE, 0);
    zbar_image_scanner_set_config(scanner, ZBAR_QRCODE, ZBAR_CFG_ENABLE, 1);
    zbar_image_t* image = zbar_image_create();
    zbar_image_set_format(image, zbar_fourcc('Y', '8', '0', '0'));
    zbar_image_set_size(image, kWidth, kHeight);
    zbar_image_set_data(image, grey.data(), grey.size(), nullptr);
    if (zbar_scan_image(scanner, image) != 1) state.SkipWithError("the code was not found");
    zbar_image_destroy(image);
    zbar_image_scanner_destroy(scanner);
  }
}

}  // namespace

BENCHMARK(BM_QRDetectorHighAccuracy12MP)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ZBarAlone12MP)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
