// The pasteboard's image read of a 64-megapixel photo: from the call to the
// reply on the main thread, with the photo on the pasteboard as a decoded
// image (the PNG encode alone) and as JPEG bytes (decode and encode). The
// target is an answer within a second. The single-threaded libpng encode at
// level 6 with every filter tried, which the read used before, is measured
// beside it for comparison.
#include <benchmark/benchmark.h>
#include <png.h>
#include <sys/resource.h>

#include <atomic>
#include <cmath>
#include <csetjmp>

#include "platform/flutter/FlutterChannels.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIPasteboard.h"
#include "plugins/pasteboard/PasteboardPlugin.h"

namespace {

constexpr size_t kSide = 8000;  // 64 megapixels

// A photo-like frame: smooth light, edges, and sensor noise of a few levels.
std::shared_ptr<Bytes> PhotoPixels() {
  auto pixels = std::make_shared<Bytes>(kSide * kSide * 4);
  uint32_t seed = 1;
  for (size_t y = 0; y < kSide; ++y) {
    for (size_t x = 0; x < kSide; ++x) {
      seed = seed * 1103515245 + 12345;
      const int noise = int((seed >> 16) % 5) - 2;
      const double light = 110 + 60 * std::sin(double(x) * 0.003) + 40 * std::cos(double(y) * 0.002) +
                           ((x / 310 + y / 190) % 2) * 30;
      uint8_t* p = &(*pixels)[(y * kSide + x) * 4];
      for (int c = 0; c < 3; ++c) p[c] = uint8_t(std::clamp(int(light) + c * 15 + noise, 0, 255));
      p[3] = 255;
    }
  }
  return pixels;
}

UIImagePtr PhotoImage() {
  static const UIImagePtr image = UIImage::imageWithCGImage(
      CGImage::create(kSide, kSide, 8, 32, kSide * 4,
                      kCGImageAlphaNoneSkipLast | kCGBitmapByteOrder32Big, PhotoPixels()));
  return image;
}

// CPU seconds of every thread of the process so far.
double ProcessCPUSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// One "image" call answered on the main thread; the reply's PNG size.
size_t ReadImageThroughPlugin(PasteboardPlugin& plugin) {
  std::atomic<bool> done{false};
  size_t bytes = 0;
  plugin.handleMethodCall(FlutterMethodCall::methodCallWithMethodName("image", Value()),
                          FlutterResult(FlutterResult::Sink([&](FlutterReply reply) {
                            if (reply.value.isBytes()) bytes = reply.value.asBytes().size();
                            done = true;
                          })));
  while (!done) NSRunLoop::mainRunLoop().runOnce(0.001);
  return bytes;
}

// Reads through the plugin `state` times; reports the PNG's size and the CPU
// time all threads spent per read (with fewer idle cores than the pool's
// threads, the wall time grows towards it).
void MeasureReads(benchmark::State& state) {
  PasteboardPlugin plugin;
  size_t bytes = 0;
  const double cpuBefore = ProcessCPUSeconds();
  for (auto _ : state) bytes = ReadImageThroughPlugin(plugin);
  state.counters["png_MB"] = double(bytes) / 1e6;
  state.counters["all_threads_cpu_s"] =
      (ProcessCPUSeconds() - cpuBefore) / double(std::max<int64_t>(1, state.iterations()));
}

void BM_PasteboardReadOfDecodedImage(benchmark::State& state) {
  auto board = UIPasteboard::generalPasteboard();
  board->setImage(PhotoImage());
  MeasureReads(state);
  board->setItems({});
}
BENCHMARK(BM_PasteboardReadOfDecodedImage)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_PasteboardReadOfJPEG(benchmark::State& state) {
  auto board = UIPasteboard::generalPasteboard();
  auto jpeg = UIImageJPEGRepresentation(PhotoImage(), 0.9);
  board->setItems({{{Value("public.jpeg"), Value::bytes(jpeg->vector())}}});
  MeasureReads(state);
  board->setItems({});
}
BENCHMARK(BM_PasteboardReadOfJPEG)->Unit(benchmark::kMillisecond)->UseRealTime();

void WriteToBytes(png_structp png, png_bytep data, size_t length) {
  auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}
void OnError(png_structp png, png_const_charp) { png_longjmp(png, 1); }

// The reference: libpng alone, level 6, its default adaptive filters.
void BM_LibpngLevel6Encode(benchmark::State& state) {
  auto image = PhotoImage()->CGImage();
  const auto data = image->pixelData();
  const Bytes& pixels = *data;
  size_t size = 0;
  for (auto _ : state) {
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, OnError, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
      png_destroy_write_struct(&png, &info);
      state.SkipWithError("libpng failed");
      return;
    }
    png_set_write_fn(png, &out, WriteToBytes, nullptr);
    png_set_IHDR(png, info, kSide, kSide, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, 6);
    png_write_info(png, info);
    png_set_filler(png, 0, PNG_FILLER_AFTER);
    for (size_t y = 0; y < kSide; ++y) {
      png_write_row(png, const_cast<uint8_t*>(pixels.data() + y * kSide * 4));
    }
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    size = out.size();
  }
  state.counters["png_MB"] = double(size) / 1e6;
}
BENCHMARK(BM_LibpngLevel6Encode)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

}  // namespace

BENCHMARK_MAIN();
