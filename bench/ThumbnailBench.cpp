// Thumbnails of 12-megapixel photos (4000x3000) in each format against a
// full decode plus resize to the same size, and against vipsthumbnail run as
// a program on the same file (a comparison peer, not something the product
// uses; it is skipped when not installed). Each iteration runs all three in
// turn so that they share the machine's state. Times are CPU time (this
// thread's, and the peer's whole process), so that a busy machine does not
// skew them; every path here runs on one thread. The counters give medians:
//   thumb_ms   CGImageSourceCreateThumbnailAtIndex, longest side 400
//   full_ms    full decode (CGImageSourceCreateImageAtIndex, immediate) plus
//              ImageBitmapResized to the thumbnail's size
//   ratio      thumb_ms / full_ms
//   vips_ms    `vipsthumbnail -s 400` on the file, one thread, CPU time of
//              the whole process (its start-up included)

#include <benchmark/benchmark.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageIOProperties.h"

extern char** environ;

namespace {

constexpr uint32_t kWidth = 4000, kHeight = 3000;
constexpr double kThumbnailSide = 400;

ImageBitmap Photo() {
  ImageBitmap p;
  p.allocate(kWidth, kHeight);
  for (uint32_t y = 0; y < kHeight; ++y) {
    for (uint32_t x = 0; x < kWidth; ++x) {
      uint8_t* px = p.row(y) + size_t(x) * 4;
      px[0] = uint8_t(128 + 100 * std::sin(x * 0.002) + (x * y % 7));
      px[1] = uint8_t(128 + 100 * std::cos(y * 0.003) + ((x ^ y) % 5));
      px[2] = uint8_t((x + y) / 28);
      px[3] = 255;
    }
  }
  return p;
}

struct Sample {
  std::shared_ptr<const Bytes> data;
  std::string path;
};

const Sample& SampleOf(const std::string& type) {
  static const ImageBitmap photo = Photo();
  static std::vector<std::pair<std::string, Sample>> samples;
  for (const auto& [t, s] : samples) {
    if (t == type) return s;
  }
  auto data = std::make_shared<Bytes>();
  auto destination = CGImageDestinationCreateWithData(data, type, 1);
  CGImageDestinationAddImage(destination, ImageBitmapMakeCGImage(photo, ""),
                             Value::map({{kCGImageDestinationLossyCompressionQuality, 0.85}}));
  CGImageDestinationFinalize(destination);
  const std::string extension = type == "public.jpeg"  ? ".jpg"
                                : type == "public.png" ? ".png"
                                                       : ".webp";
  Sample s{data, "/tmp/thumbnail-bench-" + std::to_string(getpid()) + extension};
  std::ofstream(s.path, std::ios::binary)
      .write(reinterpret_cast<const char*>(data->data()), std::streamsize(data->size()));
  samples.emplace_back(type, s);
  return samples.back().second;
}

double ThreadMilliseconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

bool HaveVips() {
  static const bool have = access("/usr/bin/vipsthumbnail", X_OK) == 0;
  return have;
}

// vipsthumbnail on one thread, writing a small JPEG next to the sample.
double VipsMilliseconds(const std::string& path) {
  const std::string out = path + "-vips.jpg";
  std::vector<std::string> args = {"vipsthumbnail", path, "-s", "400", "-o", out};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  std::vector<std::string> env = {"VIPS_CONCURRENCY=1", "PATH=/usr/bin:/bin"};
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid = 0;
  if (posix_spawn(&pid, "/usr/bin/vipsthumbnail", nullptr, nullptr, argv.data(), envp.data()) != 0)
    return NAN;
  int status = 0;
  rusage usage{};
  wait4(pid, &status, 0, &usage);
  const double ms = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                    double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
  std::remove(out.c_str());
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? ms : NAN;
}

double Median(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

void Thumbnail(benchmark::State& state, const std::string& type) {
  const Sample& sample = SampleOf(type);
  const Value thumbnailOptions =
      Value::map({{kCGImageSourceCreateThumbnailFromImageAlways, true},
                  {kCGImageSourceThumbnailMaxPixelSize, kThumbnailSide}});
  const Value now = Value::map({{kCGImageSourceShouldCacheImmediately, true}});
  std::vector<double> thumb, full, vips;
  for (auto _ : state) {
    double start = ThreadMilliseconds();
    {
      auto source = CGImageSourceCreateWithBytes(sample.data);
      CGImageRef image = CGImageSourceCreateThumbnailAtIndex(source, 0, thumbnailOptions);
      if (!image || image->width() != uint32_t(kThumbnailSide)) {
        state.SkipWithError("no thumbnail");
        break;
      }
      benchmark::DoNotOptimize(image->pixelData()->data());
    }
    thumb.push_back(ThreadMilliseconds() - start);
    start = ThreadMilliseconds();
    {
      auto source = CGImageSourceCreateWithBytes(sample.data);
      CGImageRef image = CGImageSourceCreateImageAtIndex(source, 0, now);
      ImageBitmap bitmap;
      ImageBitmapFromCGImage(image, bitmap);
      image.reset();
      ImageBitmap small = ImageBitmapResized(bitmap, 400, 300);
      benchmark::DoNotOptimize(small.pixels.data());
    }
    full.push_back(ThreadMilliseconds() - start);
    if (HaveVips()) vips.push_back(VipsMilliseconds(sample.path));
  }
  state.counters["thumb_ms"] = Median(thumb);
  state.counters["full_ms"] = Median(full);
  state.counters["ratio"] = Median(thumb) / Median(full);
  state.counters["vips_ms"] = HaveVips() ? Median(vips) : NAN;
  state.counters["file_KB"] = double(sample.data->size()) / 1024;
}

// The resampler alone: 12 megapixels to the thumbnail's size.
void Resample(benchmark::State& state) {
  static const ImageBitmap photo = Photo();
  for (auto _ : state) {
    ImageBitmap small = ImageBitmapResized(photo, 400, 300);
    benchmark::DoNotOptimize(small.pixels.data());
  }
}

}  // namespace

BENCHMARK_CAPTURE(Thumbnail, JPEG, std::string("public.jpeg"))
    ->Unit(benchmark::kMillisecond)
    ->Iterations(7);
BENCHMARK_CAPTURE(Thumbnail, PNG, std::string("public.png"))
    ->Unit(benchmark::kMillisecond)
    ->Iterations(7);
BENCHMARK_CAPTURE(Thumbnail, WebP, std::string("org.webmproject.webp"))
    ->Unit(benchmark::kMillisecond)
    ->Iterations(7);
BENCHMARK(Resample)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
