// The image library over the raw libraries, in one run: one-shot decodes
// through the coders manager against the libraries' own decodes of the same
// files, the band-wise scale-down against a full decode plus one resample
// (time and peak memory), exact resampling against plain bilinear, the
// animated image player's tick, and decoder-scaled thumbnails against a full
// decode plus resize.

#include <benchmark/benchmark.h>
#include <gif_lib.h>
// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on
#include <png.h>
#include <webp/decode.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>

#include "image_loading/animated/ILAnimatedImagePlayer.h"
#include "image_loading/animated/ILImageFramePool.h"
#include "image_loading/coders/ILImageCoderHelper.h"
#include "image_loading/coders/ILImageCoderOptions.h"
#include "image_loading/coders/ILImageCodersManager.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/quartzcore/CADisplayLink.h"
#include "platform/uikit/UIImage.h"

namespace {

CGImageRef PhotoLike(size_t w, size_t h, bool fewColours) {
  auto bytes = std::make_shared<Bytes>(w * h * 4);
  for (size_t y = 0; y < h; ++y) {
    uint8_t* row = bytes->data() + y * w * 4;
    for (size_t x = 0; x < w; ++x) {
      uint8_t* px = row + x * 4;
      px[0] = uint8_t(128 + 100 * std::sin(double(x) * 0.02) + double(x * y % 7));
      px[1] = uint8_t(128 + 100 * std::cos(double(y) * 0.03) + double((x ^ y) % 5));
      px[2] = uint8_t((x + y) / 5);
      px[3] = 255;
      if (fewColours) {
        for (int c = 0; c < 3; ++c) px[c] &= 0xC0;
      }
    }
  }
  return CGImage::create(w, h, 8, 32, w * 4, kCGImageAlphaNoneSkipLast, bytes);
}

NSDataPtr Encoded(const char* type, const CGImageRef& image) {
  auto data = std::make_shared<Bytes>();
  auto destination = CGImageDestinationCreateWithData(data, type, 1);
  CGImageDestinationAddImage(destination, image,
                             Value::map({{kCGImageDestinationLossyCompressionQuality, 0.85}}));
  CGImageDestinationFinalize(destination);
  return NSData::dataWithBytes(std::move(*data));
}

const NSDataPtr& Sample(const std::string& type) {
  static const NSDataPtr jpeg = Encoded("public.jpeg", PhotoLike(640, 480, false));
  static const NSDataPtr png = Encoded("public.png", PhotoLike(640, 480, false));
  static const NSDataPtr gif = Encoded("com.compuserve.gif", PhotoLike(640, 480, true));
  static const NSDataPtr webp = Encoded("org.webmproject.webp", PhotoLike(640, 480, false));
  return type == "jpeg" ? jpeg : type == "png" ? png : type == "gif" ? gif : webp;
}

const NSDataPtr& LargeJPEG() {
  static const NSDataPtr data = Encoded("public.jpeg", PhotoLike(6000, 4000, false));
  return data;
}

// Resident memory figures of this process, in MiB ("VmRSS:", "VmHWM:").
double StatusMiB(const char* key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(key, 0) == 0) return std::stod(line.substr(std::strlen(key))) / 1024;
  }
  return 0;
}

// Peak memory above what was resident when the run started: the kernel's
// high-water mark, reset to the current size first.
double gResidentAtReset = 0;
void ResetPeakMemory() {
  std::ofstream("/proc/self/clear_refs") << "5";
  gResidentAtReset = StatusMiB("VmRSS:");
}
double PeakMemoryMiB() { return StatusMiB("VmHWM:") - gResidentAtReset; }

// ---------------------------------------------------------------------------
// One-shot decodes.

void ManagerDecode(benchmark::State& state, const std::string& type) {
  const NSDataPtr& data = Sample(type);
  auto manager = ILImageCodersManager::sharedManager();
  const Value options = Value::map({{kILImageCoderDecodeFirstFrameOnly, true}});
  for (auto _ : state) {
    UIImagePtr image = manager->decodedImageWithData(data, options);
    benchmark::DoNotOptimize(image->CGImage()->pixelData()->data());
  }
}

void RawJPEG(benchmark::State& state) {
  const NSDataPtr& data = Sample("jpeg");
  std::vector<uint8_t> pixels;
  for (auto _ : state) {
    jpeg_decompress_struct d;
    jpeg_error_mgr err;
    d.err = jpeg_std_error(&err);
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, data->bytes(), data->length());
    jpeg_read_header(&d, TRUE);
    d.out_color_space = JCS_EXT_RGBA;
    jpeg_start_decompress(&d);
    pixels.resize(size_t(d.output_width) * d.output_height * 4);
    for (JSAMPROW row; d.output_scanline < d.output_height;) {
      row = pixels.data() + size_t(d.output_scanline) * d.output_width * 4;
      jpeg_read_scanlines(&d, &row, 1);
    }
    jpeg_finish_decompress(&d);
    jpeg_destroy_decompress(&d);
    benchmark::DoNotOptimize(pixels.data());
  }
}

void RawPNG(benchmark::State& state) {
  const NSDataPtr& data = Sample("png");
  std::vector<uint8_t> pixels;
  for (auto _ : state) {
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    png_image_begin_read_from_memory(&png, data->bytes(), data->length());
    png.format = PNG_FORMAT_RGBA;
    pixels.resize(PNG_IMAGE_SIZE(png));
    png_image_finish_read(&png, nullptr, pixels.data(), 0, nullptr);
    benchmark::DoNotOptimize(pixels.data());
  }
}

struct GifInput {
  const NSData* data;
  size_t offset;
};

int GifRead(GifFileType* gif, GifByteType* out, int wanted) {
  auto* in = static_cast<GifInput*>(gif->UserData);
  const size_t n = std::min<size_t>(size_t(wanted), in->data->length() - in->offset);
  std::memcpy(out, in->data->bytes() + in->offset, n);
  in->offset += n;
  return int(n);
}

void RawGIF(benchmark::State& state) {
  const NSDataPtr& data = Sample("gif");
  std::vector<uint8_t> pixels;
  for (auto _ : state) {
    GifInput input{data.get(), 0};
    int error = 0;
    GifFileType* gif = DGifOpen(&input, GifRead, &error);
    DGifSlurp(gif);
    const SavedImage& first = gif->SavedImages[0];
    const ColorMapObject* colours = first.ImageDesc.ColorMap ? first.ImageDesc.ColorMap : gif->SColorMap;
    const size_t count = size_t(first.ImageDesc.Width) * size_t(first.ImageDesc.Height);
    pixels.resize(count * 4);
    for (size_t i = 0; i < count; ++i) {
      const GifColorType& c = colours->Colors[first.RasterBits[i]];
      uint8_t* p = &pixels[i * 4];
      p[0] = c.Red;
      p[1] = c.Green;
      p[2] = c.Blue;
      p[3] = 255;
    }
    DGifCloseFile(gif, &error);
    benchmark::DoNotOptimize(pixels.data());
  }
}

void RawWebP(benchmark::State& state) {
  const NSDataPtr& data = Sample("webp");
  for (auto _ : state) {
    int w = 0, h = 0;
    uint8_t* pixels = WebPDecodeRGBA(data->bytes(), data->length(), &w, &h);
    benchmark::DoNotOptimize(pixels);
    WebPFree(pixels);
  }
}

// ---------------------------------------------------------------------------
// Scale-down of a 6000x4000 JPEG under the 60 MiB default.

UIImagePtr LazyLarge() {
  auto source = CGImageSourceCreateWithData(LargeJPEG());
  UIImagePtr image = UIImage::imageWithCGImage(CGImageSourceCreateImageAtIndex(source, 0));
  return image;
}

// Times `scaleDown` on a fresh lazy image each run and reports its peak memory.
void ScaleDownLarge(benchmark::State& state,
                    const std::function<CGImageRef(const UIImagePtr&)>& scaleDown) {
  double peak = 0;
  for (auto _ : state) {
    state.PauseTiming();
    UIImagePtr image = LazyLarge();
    ResetPeakMemory();
    state.ResumeTiming();
    CGImageRef scaled = scaleDown(image);
    benchmark::DoNotOptimize(scaled->pixelData()->data());
    peak = std::max(peak, PeakMemoryMiB());
  }
  state.counters["peak_MiB"] = peak;
}

void BandScaleDown(benchmark::State& state) {
  ILImageCoderHelper::setDefaultDecodeSolution(ILImageCoderDecodeSolutionCoreGraphics);
  ScaleDownLarge(state, [](const UIImagePtr& image) {
    return ILImageCoderHelper::decodedAndScaledDownImageWithImage(image, 0)->CGImage();
  });
}

void FullDecodeThenResample(benchmark::State& state) {
  ScaleDownLarge(state, [](const UIImagePtr& image) {
    return ILImageCoderHelper::CGImageCreateScaled(image->CGImage(), CGSize{4857, 3238});
  });
}

// ---------------------------------------------------------------------------
// Scale-down far below the source (shrink 10 and more), where each band the
// scale-down path asks for overlaps the last one by more rows than it
// advances: PNG, baseline and progressive JPEG of 4000x3000 to 400x300, and
// an 8192x8192 progressive JPEG under a 480 KB budget.

// A photo-like JPEG written row by row with libjpeg, so that the largest
// needs no bitmap of its own size.
NSDataPtr StreamedJPEG(uint32_t w, uint32_t h, bool progressive) {
  jpeg_compress_struct c;
  jpeg_error_mgr err;
  c.err = jpeg_std_error(&err);
  jpeg_create_compress(&c);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&c, &out, &size);
  c.image_width = w;
  c.image_height = h;
  c.input_components = 3;
  c.in_color_space = JCS_RGB;
  jpeg_set_defaults(&c);
  jpeg_set_quality(&c, 85, TRUE);
  if (progressive) jpeg_simple_progression(&c);
  jpeg_start_compress(&c, TRUE);
  std::vector<uint8_t> row(size_t(w) * 3);
  while (c.next_scanline < h) {
    const size_t y = c.next_scanline;
    for (size_t x = 0; x < w; ++x) {
      row[x * 3] = uint8_t(128 + 100 * std::sin(double(x) * 0.02) + double(x * y % 7));
      row[x * 3 + 1] = uint8_t(128 + 100 * std::cos(double(y) * 0.03) + double((x ^ y) % 5));
      row[x * 3 + 2] = uint8_t((x + y) / 5);
    }
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&c, &r, 1);
  }
  jpeg_finish_compress(&c);
  jpeg_destroy_compress(&c);
  NSDataPtr data = NSData::dataWithBytes(Bytes(out, out + size));
  std::free(out);
  return data;
}

const NSDataPtr& FarSample(int which) {
  static const NSDataPtr png = Encoded("public.png", PhotoLike(4000, 3000, false));
  static const NSDataPtr baseline = StreamedJPEG(4000, 3000, false);
  static const NSDataPtr progressive = StreamedJPEG(4000, 3000, true);
  static const NSDataPtr huge = which == 3 ? StreamedJPEG(8192, 8192, true) : nullptr;
  return which == 0 ? png : which == 1 ? baseline : which == 2 ? progressive : huge;
}

void FarScaleDown(benchmark::State& state) {
  ILImageCoderHelper::setDefaultDecodeSolution(ILImageCoderDecodeSolutionCoreGraphics);
  const NSDataPtr& data = FarSample(int(state.range(0)));
  double peak = 0;
  for (auto _ : state) {
    state.PauseTiming();
    auto source = CGImageSourceCreateWithData(data);
    UIImagePtr image = UIImage::imageWithCGImage(CGImageSourceCreateImageAtIndex(source, 0));
    ResetPeakMemory();
    state.ResumeTiming();
    UIImagePtr scaled = ILImageCoderHelper::decodedAndScaledDownImageWithImage(image, 480000);
    benchmark::DoNotOptimize(scaled->CGImage()->pixelData()->data());
    peak = std::max(peak, PeakMemoryMiB());
    state.counters["out_w"] = double(scaled->CGImage()->width());
  }
  state.counters["peak_MiB"] = peak;
}

// ---------------------------------------------------------------------------
// Resampling per megapixel of output: exact (Lanczos) against bilinear.

const CGImageRef& ScaleSource() {
  static const CGImageRef image = PhotoLike(2000, 1500, false);
  return image;
}

void ExactResample(benchmark::State& state) {
  for (auto _ : state) {
    CGImageRef scaled = ILImageCoderHelper::CGImageCreateScaled(ScaleSource(), CGSize{1000, 750});
    benchmark::DoNotOptimize(scaled.get());
  }
  state.counters["out_MP"] = benchmark::Counter(0.75, benchmark::Counter::kIsIterationInvariantRate);
}

void BilinearResample(benchmark::State& state) {
  const CGImageRef& image = ScaleSource();
  const uint8_t* src = image->pixelData()->data();
  const size_t sw = image->width(), sh = image->height(), dw = 1000, dh = 750;
  std::vector<uint8_t> out(dw * dh * 4);
  for (auto _ : state) {
    for (size_t y = 0; y < dh; ++y) {
      const double fy = std::min((double(y) + 0.5) * double(sh) / double(dh) - 0.5, double(sh - 1));
      const size_t y0 = size_t(std::max(0.0, fy)), y1 = std::min(y0 + 1, sh - 1);
      const double wy = std::max(0.0, fy) - double(y0);
      for (size_t x = 0; x < dw; ++x) {
        const double fx = std::min((double(x) + 0.5) * double(sw) / double(dw) - 0.5, double(sw - 1));
        const size_t x0 = size_t(std::max(0.0, fx)), x1 = std::min(x0 + 1, sw - 1);
        const double wx = std::max(0.0, fx) - double(x0);
        for (size_t c = 0; c < 4; ++c) {
          const double top = src[(y0 * sw + x0) * 4 + c] * (1 - wx) + src[(y0 * sw + x1) * 4 + c] * wx;
          const double bottom = src[(y1 * sw + x0) * 4 + c] * (1 - wx) + src[(y1 * sw + x1) * 4 + c] * wx;
          out[(y * dw + x) * 4 + c] = uint8_t(top * (1 - wy) + bottom * wy + 0.5);
        }
      }
    }
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["out_MP"] = benchmark::Counter(0.75, benchmark::Counter::kIsIterationInvariantRate);
}

// ---------------------------------------------------------------------------
// The player's tick on the main thread, every frame already in the pool.

class FrameList : public ILAnimatedImageProvider {
 public:
  UIImagePtr animatedImageFrameAtIndex(uint64_t index) const override {
    return index < frames_.size() ? frames_[index] : nullptr;
  }
  double animatedImageDurationAtIndex(uint64_t) const override { return 1.0 / 30; }
  NSDataPtr animatedImageData() const override { return nullptr; }
  uint64_t animatedImageFrameCount() const override { return frames_.size(); }
  uint64_t animatedImageLoopCount() const override { return 0; }
  std::vector<UIImagePtr> frames_;
};

// Each iteration is one display frame on the manual clock: the display
// link's delivery through the main run loop and the player's tick.
void PlayerTick(benchmark::State& state) {
  PlatformClock::useManualClock();
  auto provider = std::make_shared<FrameList>();
  for (int i = 0; i < 8; ++i) provider->frames_.push_back(UIImage::imageWithCGImage(PhotoLike(64, 64, false)));
  auto player = ILAnimatedImagePlayer::playerWithProvider(provider);
  for (uint64_t i = 0; i < 8; ++i) player->framePool()->setFrame(provider->frames_[i], i);
  player->setAnimationFrameHandler([](uint64_t, const UIImagePtr& frame) { benchmark::DoNotOptimize(frame.get()); });
  player->startPlaying();
  for (auto _ : state) PlatformClock::advance(CADisplayLink::kFrameInterval + 1e-6);
  player->stopPlaying();
  player.reset();
  PlatformClock::useRealClock();
}

// ---------------------------------------------------------------------------
// Thumbnails and scaled-down decodes of the 6000x4000 JPEG, letting the
// decoder scale, against a full decode plus resize.

void DecoderThumbnail(benchmark::State& state) {
  const Value options =
      Value::map({{kILImageCoderDecodeThumbnailPixelSize, ILImageCoderSizeValue({600, 600})}});
  for (auto _ : state) {
    UIImagePtr image = ILImageCodersManager::sharedManager()->decodedImageWithData(LargeJPEG(), options);
    benchmark::DoNotOptimize(image->CGImage()->pixelData()->data());
  }
}

void DecoderScaledDown(benchmark::State& state) {
  const Value options = Value::map({{kILImageCoderDecodeScaleDownLimitBytes, int64_t(16 << 20)}});
  for (auto _ : state) {
    UIImagePtr image = ILImageCodersManager::sharedManager()->decodedImageWithData(LargeJPEG(), options);
    benchmark::DoNotOptimize(image->CGImage()->pixelData()->data());
  }
}

void FullDecodeThenResize(benchmark::State& state, CGSize size) {
  for (auto _ : state) {
    UIImagePtr image = ILImageCodersManager::sharedManager()->decodedImageWithData(LargeJPEG(), Value());
    CGImageRef scaled = ILImageCoderHelper::CGImageCreateScaled(image->CGImage(), size);
    benchmark::DoNotOptimize(scaled->pixelData()->data());
  }
}

}  // namespace

BENCHMARK_CAPTURE(ManagerDecode, JPEG, std::string("jpeg"))->Unit(benchmark::kMillisecond);
BENCHMARK(RawJPEG)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ManagerDecode, PNG, std::string("png"))->Unit(benchmark::kMillisecond);
BENCHMARK(RawPNG)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ManagerDecode, GIF, std::string("gif"))->Unit(benchmark::kMillisecond);
BENCHMARK(RawGIF)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ManagerDecode, WebP, std::string("webp"))->Unit(benchmark::kMillisecond);
BENCHMARK(RawWebP)->Unit(benchmark::kMillisecond);
BENCHMARK(BandScaleDown)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(FullDecodeThenResample)->Unit(benchmark::kMillisecond)->Iterations(3);
// 0 PNG, 1 baseline JPEG, 2 progressive JPEG (4000x3000); 3 progressive 8192x8192.
BENCHMARK(FarScaleDown)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(ExactResample)->Unit(benchmark::kMillisecond);
BENCHMARK(BilinearResample)->Unit(benchmark::kMillisecond);
BENCHMARK(PlayerTick)->Unit(benchmark::kMicrosecond);
BENCHMARK(DecoderThumbnail)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(FullDecodeThenResize, Thumbnail, CGSize{600, 400})
    ->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(DecoderScaledDown)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK_CAPTURE(FullDecodeThenResize, ScaledDown, CGSize{2508, 1672})
    ->Unit(benchmark::kMillisecond)->Iterations(3);

BENCHMARK_MAIN();
