// Thumbnails (longest side 400) of photo-like images of 12, 24 and 100
// megapixels in every format we read, each measured three ways in the same
// iteration, in turn, so that they share the machine's state:
//   thumb_ms   ours: CGImageSourceCreateThumbnailAtIndex on the bytes
//   full_ms    ours without scaled decoding: a full decode (immediate) plus
//              ImageBitmapResized to the thumbnail's size; not measured at
//              100 MP, which is beyond what a full decode may hold
//   vips_ms    libvips in this process (vips_thumbnail_buffer on the same
//              bytes, its pixels written to memory), one worker thread,
//              operation cache off; absent when the bench was built without
//              libvips
// vs_vips and vs_full are the medians of the per-iteration ratios thumb/vips
// and thumb/full, with their lowest and highest values beside them (_lo,
// _hi). Times are the process's CPU time, so that libvips's worker thread
// counts and a busy machine matters less; run pinned to one core (taskset).
//
// The samples are made here, before timing: gradients, a wavy horizon,
// texture at two scales and per-pixel grain, so that they compress like
// photos rather than like flat colour. JPEGs (baseline and progressive,
// quality 85, 4:2:0) are written with libjpeg row by row at every size;
// the other formats come from our own encoders up to 24 MP and, at 100 MP
// (more than a bitmap of ours may hold), from libvips's savers.

#include <benchmark/benchmark.h>
// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on
#include <time.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageIOProperties.h"

#ifdef QX_BENCH_HAVE_VIPS
#include <vips/vips.h>
#endif

namespace {

constexpr double kThumbnailSide = 400;

struct Size {
  const char* name;
  uint32_t width, height;
  int iterations;
};
constexpr Size kSizes[] = {
    {"12MP", 4000, 3000, 9}, {"24MP", 6000, 4000, 7}, {"100MP", 12000, 8400, 5}};

struct Format {
  const char* name;
  const char* type;
  bool progressive;
};
constexpr Format kFormats[] = {
    {"JPEG", "public.jpeg", false},       {"ProgressiveJPEG", "public.jpeg", true},
    {"PNG", "public.png", false},         {"WebP", "org.webmproject.webp", false},
    {"GIF", "com.compuserve.gif", false}, {"TIFF", "public.tiff", false},
    {"HEIC", "public.heic", false}};

// ---------------------------------------------------------------- samples

// One photo at any size: the same picture whatever the resolution (its
// shapes are placed in proportion), with grain at the pixel's own scale.
class PhotoMaker {
 public:
  PhotoMaker(uint32_t width, uint32_t height) : width_(width), height_(height) {
    for (uint32_t x = 0; x < width; ++x) {
      const double u = double(x) / width;
      horizon_.push_back(float(height * (0.45 + 0.04 * std::sin(u * 9) + 0.02 * std::sin(u * 31))));
      coarseX_.push_back(float(std::sin(u * 2 * M_PI * 60)));
      fineX_.push_back(float(std::sin(u * 2 * M_PI * 450 + 3 * std::sin(u * 40))));
    }
    for (uint32_t y = 0; y < height; ++y) {
      const double v = double(y) / height;
      coarseY_.push_back(float(std::cos(v * 2 * M_PI * 45)));
      fineY_.push_back(float(std::sin(v * 2 * M_PI * 330)));
    }
  }

  // Row y as RGB (channels 3) or opaque RGBA (4).
  void row(uint32_t y, uint8_t* out, int channels) const {
    const float v = float(y) / float(height_);
    for (uint32_t x = 0; x < width_; ++x, out += channels) {
      float r, g, b;
      if (float(y) < horizon_[x]) {  // sky: deep blue to a pale haze
        const float t = float(y) / horizon_[x];
        r = 70 + 120 * t;
        g = 110 + 100 * t;
        b = 200 + 40 * t;
      } else {  // ground: green and brown patches, texture at two scales
        const float patch = coarseX_[x] * coarseY_[y];
        const float fine = fineX_[x] * fineY_[y];
        r = 90 + 40 * patch + 25 * fine - 40 * v;
        g = 120 + 30 * patch + 20 * fine - 30 * v;
        b = 50 + 15 * patch + 10 * fine;
      }
      // Grain: a hash of the position, a few levels either way per channel.
      uint32_t h = x * 0x9E3779B1u ^ (y + 1) * 0x85EBCA77u;
      h ^= h >> 15;
      h *= 0x2C1B3C6Du;
      h ^= h >> 12;
      out[0] = uint8_t(std::clamp(r + float(int(h & 15) - 8), 0.0f, 255.0f));
      out[1] = uint8_t(std::clamp(g + float(int((h >> 4) & 15) - 8), 0.0f, 255.0f));
      out[2] = uint8_t(std::clamp(b + float(int((h >> 8) & 15) - 8), 0.0f, 255.0f));
      if (channels == 4) out[3] = 255;
    }
  }

 private:
  uint32_t width_, height_;
  std::vector<float> horizon_, coarseX_, fineX_, coarseY_, fineY_;
};

std::shared_ptr<const Bytes> WriteJPEG(const PhotoMaker& photo, const Size& size,
                                       bool progressive) {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* buffer = nullptr;
  unsigned long length = 0;
  jpeg_mem_dest(&c, &buffer, &length);
  c.image_width = size.width;
  c.image_height = size.height;
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 85, TRUE);
  if (progressive) jpeg_simple_progression(&c);
  jpeg_start_compress(&c, TRUE);
  std::vector<uint8_t> row(size_t(size.width) * 3);
  while (c.next_scanline < c.image_height) {
    photo.row(c.next_scanline, row.data(), 3);
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&c, &r, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  auto bytes = std::make_shared<const Bytes>(buffer, buffer + length);
  free(buffer);
  return bytes;
}

std::shared_ptr<const Bytes> WriteOurs(const PhotoMaker& photo, const Size& size,
                                       const char* type) {
  ImageBitmap bitmap;
  if (!bitmap.allocate(size.width, size.height)) return nullptr;
  for (uint32_t y = 0; y < size.height; ++y) photo.row(y, bitmap.row(y), 4);
  auto data = std::make_shared<Bytes>();
  auto destination = CGImageDestinationCreateWithData(data, type, 1);
  CGImageDestinationAddImage(destination, ImageBitmapMakeCGImage(std::move(bitmap), ""),
                             Value::map({{kCGImageDestinationLossyCompressionQuality, 0.85}}));
  if (!CGImageDestinationFinalize(destination)) return nullptr;
  return data;
}

#ifdef QX_BENCH_HAVE_VIPS
std::shared_ptr<const Bytes> WriteVips(const PhotoMaker& photo, const Size& size,
                                       const std::string& type) {
  std::vector<uint8_t> rgb(size_t(size.width) * size.height * 3);
  for (uint32_t y = 0; y < size.height; ++y) {
    photo.row(y, &rgb[size_t(y) * size.width * 3], 3);
  }
  VipsImage* image = vips_image_new_from_memory(rgb.data(), rgb.size(), int(size.width),
                                                int(size.height), 3, VIPS_FORMAT_UCHAR);
  if (!image) return nullptr;
  void* buffer = nullptr;
  size_t length = 0;
  int failed = -1;
  if (type == "public.png") {
    failed = vips_pngsave_buffer(image, &buffer, &length, nullptr);
  } else if (type == "org.webmproject.webp") {
    failed = vips_webpsave_buffer(image, &buffer, &length, "Q", 85, nullptr);
  } else if (type == "com.compuserve.gif") {
    failed = vips_gifsave_buffer(image, &buffer, &length, nullptr);
  } else if (type == "public.tiff") {
    failed = vips_tiffsave_buffer(image, &buffer, &length, "compression",
                                  VIPS_FOREIGN_TIFF_COMPRESSION_LZW, nullptr);
  } else if (type == "public.heic") {
    failed = vips_heifsave_buffer(image, &buffer, &length, "Q", 85, "effort", 0, nullptr);
  }
  g_object_unref(image);
  if (failed) return nullptr;
  auto bytes = std::make_shared<const Bytes>(static_cast<uint8_t*>(buffer),
                                             static_cast<uint8_t*>(buffer) + length);
  g_free(buffer);
  return bytes;
}
#endif

// The sample of one format and size; the last one made is kept, so that a
// filtered run makes only what it measures and memory holds one at a time.
std::shared_ptr<const Bytes> SampleOf(const Format& format, const Size& size) {
  static std::string lastKey;
  static std::shared_ptr<const Bytes> last;
  const std::string key = std::string(format.name) + "/" + size.name;
  if (key == lastKey) return last;
  last.reset();
  lastKey = key;
  const PhotoMaker photo(size.width, size.height);
  if (std::string(format.type) == "public.jpeg") {
    last = WriteJPEG(photo, size, format.progressive);
  } else if (ImageSizeAllowed(size.width, size.height)) {
    last = WriteOurs(photo, size, format.type);
  } else {
#ifdef QX_BENCH_HAVE_VIPS
    last = WriteVips(photo, size, format.type);
#endif
  }
  return last;
}

// ---------------------------------------------------------------- timing

double CPUMilliseconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

struct Spread {
  std::vector<double> values;
  void add(double v) { values.push_back(v); }
  double median() const {
    if (values.empty()) return NAN;
    std::vector<double> v = values;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
  }
  double lo() const {
    return values.empty() ? NAN : *std::min_element(values.begin(), values.end());
  }
  double hi() const {
    return values.empty() ? NAN : *std::max_element(values.begin(), values.end());
  }
};

#ifdef QX_BENCH_HAVE_VIPS
bool VipsThumbnail(const Bytes& data) {
  VipsImage* thumbnail = nullptr;
  if (vips_thumbnail_buffer(const_cast<uint8_t*>(data.data()), data.size(), &thumbnail,
                            int(kThumbnailSide), nullptr)) {
    return false;
  }
  size_t length = 0;
  void* pixels = vips_image_write_to_memory(thumbnail, &length);
  benchmark::DoNotOptimize(pixels);
  const bool made = pixels && std::max(thumbnail->Xsize, thumbnail->Ysize) == int(kThumbnailSide);
  g_free(pixels);
  g_object_unref(thumbnail);
  return made;
}
#endif

void Thumbnail(benchmark::State& state, Format format, Size size) {
  const std::shared_ptr<const Bytes> data = SampleOf(format, size);
  if (!data) {
    state.SkipWithError("no sample (at 100 MP this format's sample needs libvips)");
    return;
  }
  const Value thumbnailOptions =
      Value::map({{kCGImageSourceCreateThumbnailFromImageAlways, true},
                  {kCGImageSourceThumbnailMaxPixelSize, kThumbnailSide}});
  const Value now = Value::map({{kCGImageSourceShouldCacheImmediately, true}});
  uint32_t w = 0, h = 0;
  ImageBitmapFitSize(size.width, size.height, kThumbnailSide, w, h);
  const bool full = ImageSizeAllowed(size.width, size.height);
  Spread thumb, whole, vips, vsVips, vsWhole;
  for (auto _ : state) {
    double start = CPUMilliseconds();
    {
      auto source = CGImageSourceCreateWithBytes(data);
      CGImageRef image = CGImageSourceCreateThumbnailAtIndex(source, 0, thumbnailOptions);
      if (!image || image->width() != w || image->height() != h) {
        state.SkipWithError("no thumbnail");
        break;
      }
      benchmark::DoNotOptimize(image->pixelData()->data());
    }
    const double ours = CPUMilliseconds() - start;
    thumb.add(ours);
    if (full) {
      start = CPUMilliseconds();
      {
        auto source = CGImageSourceCreateWithBytes(data);
        CGImageRef image = CGImageSourceCreateImageAtIndex(source, 0, now);
        ImageBitmap bitmap;
        if (!image || !ImageBitmapFromCGImage(image, bitmap)) {
          state.SkipWithError("no full decode");
          break;
        }
        image.reset();
        ImageBitmap small = ImageBitmapResized(bitmap, w, h);
        benchmark::DoNotOptimize(small.pixels.data());
      }
      whole.add(CPUMilliseconds() - start);
      vsWhole.add(ours / whole.values.back());
    }
#ifdef QX_BENCH_HAVE_VIPS
    start = CPUMilliseconds();
    if (!VipsThumbnail(*data)) {
      state.SkipWithError("libvips made no thumbnail");
      break;
    }
    vips.add(CPUMilliseconds() - start);
    vsVips.add(ours / vips.values.back());
#endif
  }
  state.counters["thumb_ms"] = thumb.median();
  state.counters["full_ms"] = whole.median();
  state.counters["vips_ms"] = vips.median();
  state.counters["vs_full"] = vsWhole.median();
  state.counters["vs_full_lo"] = vsWhole.lo();
  state.counters["vs_full_hi"] = vsWhole.hi();
  state.counters["vs_vips"] = vsVips.median();
  state.counters["vs_vips_lo"] = vsVips.lo();
  state.counters["vs_vips_hi"] = vsVips.hi();
  state.counters["file_MB"] = double(data->size()) / (1 << 20);
}

// The resampler alone: 12 megapixels to the thumbnail's size.
void Resample(benchmark::State& state) {
  ImageBitmap photo;
  photo.allocate(4000, 3000);
  const PhotoMaker maker(4000, 3000);
  for (uint32_t y = 0; y < photo.height; ++y) maker.row(y, photo.row(y), 4);
  for (auto _ : state) {
    ImageBitmap small = ImageBitmapResized(photo, 400, 300);
    benchmark::DoNotOptimize(small.pixels.data());
  }
}

}  // namespace

int main(int argc, char** argv) {
#ifdef QX_BENCH_HAVE_VIPS
  if (VIPS_INIT(argv[0])) return 1;
  vips_concurrency_set(1);
  vips_cache_set_max(0);
#endif
  for (const Size& size : kSizes) {
    for (const Format& format : kFormats) {
      benchmark::RegisterBenchmark(
          (std::string("Thumbnail/") + format.name + "/" + size.name).c_str(),
          [format, size](benchmark::State& state) { Thumbnail(state, format, size); })
          ->Unit(benchmark::kMillisecond)
          ->Iterations(size.iterations);
    }
  }
  benchmark::RegisterBenchmark("Resample", Resample)->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
