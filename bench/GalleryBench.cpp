// The photo gallery's costs, in one run:
// - one page change of a 10,000-photo gallery on a phone screen: the
//   did-scroll handling that turns the page, the reuse of the page that left
//   for the one coming in and the layout of the three live pages; it must sit
//   well inside a 16 ms frame. Configuring one image page alone (reuse, new
//   item, layout) is the baseline it is compared with.
// - decoding a 12-megapixel JPEG for display (redrawn into a fresh bitmap)
//   against a plain decode of the same file drawn with Core Graphics; the
//   gallery's path should stay within 1.2x of it.
// - downsizing a 100-megapixel bitmap tile by tile to about 15 Mi pixels, with
//   the growth of the peak resident memory it causes, against decoding the
//   whole image and drawing it at the same reduced size.
// - opening the gallery on two 6000 x 4000 library photos, HEIC against the
//   same pictures as JPEG: the CPU time of every thread until the first
//   page shows and all its work (the cache's included) is done, and the
//   growth of the peak resident memory.

#include <benchmark/benchmark.h>
// clang-format off
#include <cstdio>
#include <jpeglib.h>
// clang-format on
#include <sys/resource.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "AKPhotoGallery/AKPhotoBasePreviewVC.h"
#include "AKPhotoGallery/AKPhotoGallery.h"
#include "AKPhotoGallery/AKPhotoGalleryContentVC.h"
#include "AKPhotoGallery/AKPhotoGalleryItem.h"
#include "AKPhotoGallery/AKPhotoImageDecoding.h"
#include "AKPhotoGallery/AKPhotoImagePreviewVC.h"
#include "platform/uikit/UIImageView.h"
#include "platform/coregraphics/CGColorSpace.h"
#include "platform/coregraphics/CGContext.h"
#include "platform/coregraphics/CGImage.h"
#include "image_loading/cache/ILImageCache.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/SingletonResets.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/photos/PHAsset.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIWindow.h"

namespace {

// ---------------------------------------------------------------- memory

double residentMiB(const char* key) {
  std::ifstream in("/proc/self/status");
  const std::string prefix = key;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(prefix, 0) == 0) return std::stod(line.substr(prefix.size())) / 1024.0;
  }
  return 0;
}

// Starts a new peak (VmHWM falls back to the current resident size).
void resetPeakResident() { std::ofstream("/proc/self/clear_refs") << "5"; }

// ---------------------------------------------------------------- files

// A photo-like JPEG written band by band, so even the 100-megapixel file is
// made without holding its pixels.
std::string writeJpeg(const std::string& name, unsigned width, unsigned height) {
  const auto dir = std::filesystem::temp_directory_path() /
                   ("qx-gallery-bench-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  const std::string path = (dir / name).string();
  FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return {};
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr jerr{};
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  jpeg_stdio_dest(&cinfo, file);
  cinfo.image_width = width;
  cinfo.image_height = height;
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 85, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  std::vector<unsigned char> row(size_t(width) * 3);
  while (cinfo.next_scanline < height) {
    const unsigned y = cinfo.next_scanline;
    for (unsigned x = 0; x < width; ++x) {
      unsigned char* p = &row[size_t(x) * 3];
      p[0] = static_cast<unsigned char>(128 + 100 * std::sin(x * 0.003) + ((x * 7 + y) % 13));
      p[1] = static_cast<unsigned char>(128 + 100 * std::cos(y * 0.004) + ((x ^ y) % 11));
      p[2] = static_cast<unsigned char>((x + y) * 255 / (width + height));
    }
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&cinfo, rows, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::fclose(file);
  return path;
}

const std::string& twelveMegapixelJpeg() {
  static const std::string path = writeJpeg("12mp.jpg", 4000, 3000);
  return path;
}

// The platform's decoders refuse bitmaps above 64 Mi pixels, so no file of
// 100 megapixels opens through them. The large source is a lazy bitmap that
// produces its pixels the way a row-capable decoder does: all at once when
// the whole image is read, a band of rows at a time when parts are cut.
constexpr size_t kLargeSide = 10000;  // 10,000 x 10,000 = 100 megapixels

void fillRows(uint8_t* out, size_t first, size_t count) {
  for (size_t y = first; y < first + count; ++y) {
    for (size_t x = 0; x < kLargeSide; ++x, out += 4) {
      out[0] = static_cast<uint8_t>((x * 255) / kLargeSide + (y % 7));
      out[1] = static_cast<uint8_t>((y * 255) / kLargeSide + ((x ^ y) % 5));
      out[2] = static_cast<uint8_t>(((x + y) * 127) / kLargeSide);
      out[3] = 255;
    }
  }
}

UIImagePtr hundredMegapixelImage() {
  auto rows = [](size_t first, size_t count) -> std::shared_ptr<const Bytes> {
    if (first + count > kLargeSide) return nullptr;
    auto bytes = std::make_shared<Bytes>(count * kLargeSide * 4);
    fillRows(bytes->data(), first, count);
    return bytes;
  };
  auto whole = [rows] { return rows(0, kLargeSide); };
  auto image = CGImage::createLazy(kLargeSide, kLargeSide, 8, 32, kLargeSide * 4,
                                   kCGImageAlphaNoneSkipLast, whole, "kCGColorSpaceSRGB", rows);
  return UIImage::imageWithCGImage(image, 1, UIImageOrientationUp);
}

CGContextRef bitmapContext(size_t width, size_t height) {
  return CGBitmapContextCreate(nullptr, width, height, 8, width * 4, CGColorSpaceCreateDeviceRGB(),
                               kCGImageAlphaPremultipliedLast);
}

// ---------------------------------------------------------------- paging

UIImagePtr photo(int shade) {
  auto context = bitmapContext(1200, 800);
  for (int i = 0; i < 12; ++i) {
    CGContextSetRGBFillColor(context, i / 12.0, shade / 8.0, 1 - i / 12.0, 1);
    CGContextFillRect(context, CGRectMake(i * 100, 0, 100, 800));
  }
  return UIImage::imageWithCGImage(CGBitmapContextCreateImage(context), 1, UIImageOrientationUp);
}

std::vector<AKPhotoGalleryItemPtr> photos(size_t count) {
  std::vector<UIImagePtr> images;
  for (int i = 0; i < 8; ++i) images.push_back(photo(i));
  std::vector<AKPhotoGalleryItemPtr> items;
  items.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    items.push_back(AKPhotoGalleryItem::itemWithImage(images[i % images.size()]));
  }
  return items;
}

// The platform as the app runs it, on the manual clock so no animation or
// timer runs on its own during the measurement.
struct Screen {
  Screen() {
    PlatformClock::useManualClock(1000.0);
    registerAKPhotoGalleryClasses();
    CGSize size = UIScreen::mainScreen()->bounds().size;
    window = std::make_shared<UIWindow>(CGRectMake(0, 0, size.width, size.height));
    window->makeKeyAndVisible();
  }
  ~Screen() {
    window->setRootViewController(nullptr);
    NSRunLoop::mainRunLoop().runUntilIdle();
    PlatformClock::useRealClock();
  }
  void settle() {
    PlatformClock::advance(1.0);
    NSRunLoop::mainRunLoop().runUntilIdle();
  }
  std::shared_ptr<UIWindow> window;
};

constexpr int64_t kGalleryItems = 10000;

void BM_GalleryPageChange(benchmark::State& state) {
  Screen screen;
  auto items = photos(kGalleryItems);
  auto gallery = std::make_shared<AKPhotoGallery>();
  gallery->setItems(items);
  gallery->setPresentationIndex(0);
  screen.window->setRootViewController(gallery);
  gallery->view()->setFrame(screen.window->bounds());
  gallery->viewWillAppear(false);
  auto content = gallery->contentVC();
  content->viewWillAppear(false);
  screen.settle();
  const double stride = AKPhotoGalleryContentVC::pageStride();
  auto scrollView = content->mainView();
  int64_t index = 0;
  for (auto _ : state) {
    if (index + 1 >= kGalleryItems) {
      state.PauseTiming();
      content->updateVisibleViews(0, true, false, false);
      index = 0;
      state.ResumeTiming();
    }
    ++index;
    // The drag has reached the next page: the scroll view tells its delegate,
    // which turns the page; then the frame's layout pass runs.
    scrollView->setContentOffset({stride * static_cast<double>(index), 0});
    screen.window->layoutIfNeeded();
    NSRunLoop::mainRunLoop().runUntilIdle();
  }
  if (content->currentIndex() != index || content->visibleVCs().size() > 3) {
    state.SkipWithError("the page did not turn");
  }
  state.counters["live_pages"] = static_cast<double>(content->visibleVCs().size());
}
BENCHMARK(BM_GalleryPageChange)->Unit(benchmark::kMicrosecond);

// Baseline: the work one incoming page needs on its own.
void BM_GalleryConfigureOnePage(benchmark::State& state) {
  Screen screen;
  auto items = photos(64);
  auto page = std::make_shared<AKPhotoImagePreviewVC>();
  auto host = std::make_shared<UIView>(screen.window->bounds());
  screen.window->addSubview(host);
  host->addSubview(page->view());
  page->setItem(items[0]);
  page->view()->setFrame(host->bounds());
  screen.settle();
  size_t i = 0;
  for (auto _ : state) {
    page->prepareForReuse();
    page->setItem(items[++i % items.size()]);
    page->view()->setFrame(host->bounds());
    page->view()->layoutIfNeeded();
    NSRunLoop::mainRunLoop().runUntilIdle();
  }
  host->removeFromSuperview();
}
BENCHMARK(BM_GalleryConfigureOnePage)->Unit(benchmark::kMicrosecond);

// ---------------------------------------------------------------- library photos

// A library folder holding two 6000 x 4000 photos as JPEG (0) or HEIC (1).
std::string libraryOfTwoPhotos(int heic) {
  const std::string jpeg = writeJpeg("library-source.jpg", 6000, 4000);
  const auto dir = std::filesystem::path(jpeg).parent_path() / (heic ? "heic" : "jpeg");
  std::filesystem::create_directories(dir);
  Bytes bytes;
  if (heic) {
    auto source = CGImageSourceCreateWithURL(jpeg);
    auto out = std::make_shared<Bytes>();
    auto destination = CGImageDestinationCreateWithData(out, "public.heic", 1);
    CGImageDestinationAddImage(destination, CGImageSourceCreateImageAtIndex(source, 0), Value());
    if (!CGImageDestinationFinalize(destination)) return {};
    bytes = *out;
  }
  for (const char* name : {"one", "two"}) {
    const auto path = dir / (std::string(name) + (heic ? ".heic" : ".jpg"));
    if (heic) {
      std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                  std::streamsize(bytes.size()));
    } else {
      std::filesystem::copy_file(jpeg, path, std::filesystem::copy_options::overwrite_existing);
    }
  }
  return dir.string();
}

double cpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void BM_GalleryOpensOnTwoLibraryPhotos(benchmark::State& state) {
  const std::string library = libraryOfTwoPhotos(int(state.range(0)));
  if (library.empty()) {
    state.SkipWithError("no HEIC encoder");
    return;
  }
  setenv("QX_PHOTO_LIBRARY", library.c_str(), 1);
  SingletonResets::runAll();  // the shared library opens on this folder
  Screen screen;
  auto cache = ILImageCache::sharedImageCache();
  double cpu = 0, grown = 0;
  for (auto _ : state) {
    state.PauseTiming();
    cache->clearMemory();
    bool cleared = false;
    cache->clearDiskOnCompletion([&] { cleared = true; });
    while (!cleared) NSRunLoop::mainRunLoop().runOnce(1);
    std::vector<AKPhotoGalleryItemPtr> items;
    auto assets = PHAsset::fetchAssetsWithOptions(nullptr);
    for (int64_t i = 0; i < assets->count(); ++i) {
      items.push_back(AKPhotoGalleryItem::itemWithAsset(assets->objectAtIndex(i)));
    }
    std::ofstream("/proc/self/clear_refs") << "5";  // a new peak from here
    const double before = residentMiB("VmRSS:"), cpuBefore = cpuSeconds();
    state.ResumeTiming();

    // Presented from a client screen, as the picker presents it.
    auto root = std::make_shared<UIViewController>();
    screen.window->setRootViewController(root);
    auto gallery = std::make_shared<AKPhotoGallery>();
    gallery->setItems(items);
    presentWithPhotoGallery(root, gallery);
    auto shows = [&] {
      auto page = std::dynamic_pointer_cast<AKPhotoBasePreviewVC>(gallery->currentContentVC());
      auto view = page ? std::dynamic_pointer_cast<UIImageView>(page->contentView()) : nullptr;
      return view && view->image() && view->contentMode() != UIViewContentModeCenter;
    };
    // Frames pass on the manual clock; between them the main thread waits
    // for work instead of spinning, so the CPU time is the page's.
    while (!shows() || !DispatchWorkersIdle()) {
      PlatformClock::advance(1.0 / 60);
      NSRunLoop::mainRunLoop().runUntilIdle();
      NSRunLoop::mainRunLoop().runOnce(0.01);
    }

    state.PauseTiming();
    cpu += cpuSeconds() - cpuBefore;
    grown = std::max(grown, residentMiB("VmHWM:") - before);
    screen.window->setRootViewController(nullptr);
    screen.settle();
    state.ResumeTiming();
  }
  state.counters["cpu_s"] = cpu / double(state.iterations());
  state.counters["peak_growth_MiB"] = grown;
  unsetenv("QX_PHOTO_LIBRARY");
}
BENCHMARK(BM_GalleryOpensOnTwoLibraryPhotos)
    ->ArgName("heic")
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();

// ---------------------------------------------------------------- decoding

// The gallery's display decoding of a file image.
void BM_DisplayDecode12MP(benchmark::State& state) {
  const std::string& path = twelveMegapixelJpeg();
  for (auto _ : state) {
    auto image = UIImage::imageWithContentsOfFile(path);
    auto decoded = decodedImage(image);
    if (!decoded || decoded == image) {
      state.SkipWithError("the image was not redrawn");
      break;
    }
    benchmark::DoNotOptimize(decoded->CGImage()->width());
  }
}
BENCHMARK(BM_DisplayDecode12MP)->Unit(benchmark::kMillisecond);

// Baseline: the same file decoded and drawn once into a bitmap of its size.
void BM_PlainDecodeAndDraw12MP(benchmark::State& state) {
  const std::string& path = twelveMegapixelJpeg();
  for (auto _ : state) {
    auto image = UIImage::imageWithContentsOfFile(path);
    if (!image || !image->CGImage()) {
      state.SkipWithError("the file did not decode");
      break;
    }
    const size_t width = image->CGImage()->width(), height = image->CGImage()->height();
    auto context = bitmapContext(width, height);
    CGContextDrawImage(context, CGRectMake(0, 0, double(width), double(height)), image->CGImage());
    benchmark::DoNotOptimize(CGBitmapContextGetData(context));
  }
}
BENCHMARK(BM_PlainDecodeAndDraw12MP)->Unit(benchmark::kMillisecond);

// ---------------------------------------------------------------- downsizing

void reportPeak(benchmark::State& state, double before, double peak) {
  state.counters["peak_rss_growth_MiB"] = benchmark::Counter(peak - before);
}

// Tile by tile: the source is read a band of rows at a time.
void BM_TiledDownsize100MP(benchmark::State& state) {
  double growth = 0;
  for (auto _ : state) {
    resetPeakResident();
    const double before = residentMiB("VmRSS:");
    auto image = hundredMegapixelImage();
    auto small = downsizedLargeImage(image);
    if (!small || small == image) {
      state.SkipWithError("the image was not downsized");
      break;
    }
    benchmark::DoNotOptimize(small->CGImage()->width());
    growth = std::max(growth, residentMiB("VmHWM:") - before);
  }
  reportPeak(state, 0, growth);
}
BENCHMARK(BM_TiledDownsize100MP)->Unit(benchmark::kMillisecond)->Iterations(1);

// Baseline: the whole image decoded, then drawn at the same reduced size.
void BM_WholeDecodeAndResize100MP(benchmark::State& state) {
  double growth = 0;
  for (auto _ : state) {
    resetPeakResident();
    const double before = residentMiB("VmRSS:");
    auto image = hundredMegapixelImage();
    const CGImageRef& source = image->CGImage();
    const double ratio = std::sqrt(15.0 * (1 << 20) / (double(source->width()) * double(source->height())));
    const auto width = static_cast<size_t>(double(source->width()) * ratio);
    const auto height = static_cast<size_t>(double(source->height()) * ratio);
    // The whole bitmap at once, as a plain decode makes it.
    benchmark::DoNotOptimize(source->pixelData());
    auto context = bitmapContext(width, height);
    CGContextDrawImage(context, CGRectMake(0, 0, double(width), double(height)), source);
    auto small = CGBitmapContextCreateImage(context);
    benchmark::DoNotOptimize(small->width());
    growth = std::max(growth, residentMiB("VmHWM:") - before);
  }
  reportPeak(state, 0, growth);
}
BENCHMARK(BM_WholeDecodeAndResize100MP)->Unit(benchmark::kMillisecond)->Iterations(1);

}  // namespace

// The gallery's strings and images come from the repository's app bundle
// unless the environment names another.
int main(int argc, char** argv) {
  setenv("QX_MAIN_BUNDLE", QX_SOURCE_DIR "/resources/Runner.app", 0);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
