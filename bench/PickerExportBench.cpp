// Exporting picked photos (JPEG and HEIC with the compatible preset: HEIC
// converted to JPEG) against the bare work of the same files (HEIC decoded
// by libheif and encoded by libjpeg, JPEG copied), and scanning a 10,000-file
// library folder into its index plus a fetch of all assets.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "AKImagePickerController/data/AKImageAssetExporter.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/photos/PHLibraryStore.h"
#include "platform/photos/PHPhotoLibrary.h"

namespace {

constexpr int kPhotos = 100;

std::string scratch() {
  static std::string root = [] {
    char pattern[] = "/tmp/qx-picker-bench-XXXXXX";
    return std::string(mkdtemp(pattern));
  }();
  return root;
}

CGImageRef bitmap(size_t w, size_t h) {
  auto pixels = std::make_shared<Bytes>(w * h * 4);
  for (size_t i = 0; i < w * h; ++i) {
    (*pixels)[i * 4] = static_cast<uint8_t>(i * 7);
    (*pixels)[i * 4 + 1] = static_cast<uint8_t>(i / w);
    (*pixels)[i * 4 + 2] = static_cast<uint8_t>(i % w);
    (*pixels)[i * 4 + 3] = 255;
  }
  return CGImage::create(w, h, 8, 32, w * 4, kCGImageAlphaNoneSkipLast, pixels);
}

void write(const std::string& path, const std::string& type, const CGImageRef& image) {
  auto dest = CGImageDestinationCreateWithURL(path, type, 1);
  CGImageDestinationAddImage(dest, image, Value());
  CGImageDestinationFinalize(dest);
}

// The library of the export benchmarks: half JPEG, half HEIC, 640x480.
const std::vector<AKAssetPtr>& exportAssets() {
  static std::vector<AKAssetPtr> assets = [] {
    std::string library = scratch() + "/Library";
    NSFileManager::defaultManager()->createDirectoryAtPath(library, true);
    auto image = bitmap(640, 480);
    for (int i = 0; i < kPhotos; ++i) {
      bool heic = i % 2 == 1;
      write(library + "/IMG_" + std::to_string(i) + (heic ? ".HEIC" : ".JPG"),
            heic ? "public.heic" : "public.jpeg", image);
    }
    setenv("QX_PHOTO_LIBRARY", library.c_str(), 1);
    std::vector<AKAssetPtr> out;
    auto all = PHAsset::fetchAssetsWithOptions(nullptr);
    for (auto& asset : all->objects()) out.push_back(AKAsset::initWithOriginalAsset(asset));
    return out;
  }();
  return assets;
}

void BM_ExportPhotos(benchmark::State& state) {
  const auto& assets = exportAssets();
  int run = 0;
  for (auto _ : state) {
    state.PauseTiming();
    AKImageAssetExporterConfiguration configuration;
    configuration.exportDirectory = NSURL::fileURLWithPath(scratch() + "/Export" + std::to_string(run++), true);
    auto exporter = AKImageAssetExporter::initWithConfiguration(configuration);
    std::vector<AKAssetPtr> fresh;
    for (auto& a : assets) fresh.push_back(AKAsset::initWithOriginalAsset(a->originalAsset()));
    state.ResumeTiming();
    bool done = false;
    exporter->exportAssetsAsynchronously(fresh, [&](const Value&) { done = true; });
    while (!done) NSRunLoop::mainRunLoop().runOnce(1.0);
    state.PauseTiming();
    NSFileManager::defaultManager()->removeItemAtPath(configuration.exportDirectory->path());
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kPhotos);
}
BENCHMARK(BM_ExportPhotos)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BareWork(benchmark::State& state) {
  const auto& assets = exportAssets();
  int run = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::string out = scratch() + "/Bare" + std::to_string(run++);
    NSFileManager::defaultManager()->createDirectoryAtPath(out, true);
    state.ResumeTiming();
    for (auto& asset : assets) {
      const std::string& path = asset->originalAsset()->filePath();
      std::string target = out + "/" + std::to_string(&asset - assets.data());
      if (asset->originalAsset()->uniformTypeIdentifier() == "public.heic") {
        // Decoded and encoded in memory, written plainly, as the exporter does.
        auto source = CGImageSourceCreateWithURL(path);
        auto jpeg = std::make_shared<Bytes>();
        auto dest = CGImageDestinationCreateWithData(jpeg, "public.jpeg", 1);
        CGImageDestinationAddImage(dest, CGImageSourceCreateImageAtIndex(source, 0),
                                   Value::map({{kCGImageDestinationLossyCompressionQuality, Value(0.9)}}));
        CGImageDestinationFinalize(dest);
        std::ofstream(target + ".jpg", std::ios::binary)
            .write(reinterpret_cast<const char*>(jpeg->data()), static_cast<std::streamsize>(jpeg->size()));
      } else {
        NSFileManager::defaultManager()->copyItemAtPath(path, target + ".jpg");
      }
    }
    state.PauseTiming();
    NSFileManager::defaultManager()->removeItemAtPath(out);
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * kPhotos);
}
BENCHMARK(BM_BareWork)->Unit(benchmark::kMillisecond)->UseRealTime();

// 10,000 small PNG files in 20 folders, made once per process.
const std::string& bigFolder() {
  static std::string folder = [] {
    std::string root = scratch() + "/Big";
    auto source = bitmap(16, 16);
    std::string sample = scratch() + "/sample.png";
    write(sample, "public.png", source);
    Bytes bytes;
    ReadFileContents(sample, bytes);
    for (int f = 0; f < 20; ++f) {
      std::string dir = root + "/Album" + std::to_string(f);
      NSFileManager::defaultManager()->createDirectoryAtPath(dir, true);
      for (int i = 0; i < 500; ++i) {
        WriteFileAtomically(dir + "/P" + std::to_string(i) + ".png", bytes.data(), bytes.size());
      }
    }
    return root;
  }();
  return folder;
}

// The 10,000 files indexed from nothing, then all fetched.
void BM_ScanTenThousandFiles(benchmark::State& state) {
  const std::string& folder = bigFolder();
  for (auto _ : state) {
    state.PauseTiming();
    unlink((folder + "/" + PHLibraryStore::indexFileName()).c_str());
    state.ResumeTiming();
    PHLibraryStore store(folder);
    auto snapshot = store.scan();
    auto assets = PHAsset::select(*snapshot, snapshot->assets, nullptr);
    benchmark::DoNotOptimize(assets.size());
    if (assets.size() != 10000) state.SkipWithError("not every file was indexed");
  }
}
BENCHMARK(BM_ScanTenThousandFiles)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

// A rescan of the same, already indexed folder (what every change costs).
void BM_RescanIndexedFolder(benchmark::State& state) {
  PHLibraryStore store(bigFolder());
  store.scan();
  for (auto _ : state) {
    auto snapshot = store.scan();
    benchmark::DoNotOptimize(snapshot->assets.size());
  }
}
BENCHMARK(BM_RescanIndexedFolder)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
