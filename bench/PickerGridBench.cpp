// Scrolling the picker's asset grid over a 10,000-asset album from top to
// bottom, with 0, 1,000 and 5,000 assets selected (cell configuration, the
// selection lookups of each shown cell, the preheat window's changes),
// against computing the grid layout's attributes for the same screens
// alone. Thumbnails are requested but never answered (the media provider
// records nothing), so the main thread's own work is what is measured.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "AKImagePickerController/picker/AKAssetGroupDetailVC.h"
#include "AKImagePickerController/picker/AKImagePickerController.h"
#include "platform/foundation/FileIO.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/photos/PHImageManager.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIWindow.h"

namespace {

constexpr int kAssets = 10000;
constexpr double kStep = 200;  // points scrolled between two frames

// Thumbnails are asked for and forgotten.
class SilentProvider : public PHMediaProvider {
 public:
  void requestImage(const PHImageRequest&, PHImageResultHandler) override {}
  void requestImageData(const PHImageRequest&, PHImageDataResultHandler) override {}
  void requestAVAsset(const PHVideoRequest&, PHVideoResultHandler) override {}
  void cancelRequest(PHImageRequestID) override {}
  void startCaching(const std::vector<PHAssetPtr>&, CGSize, PHImageContentMode,
                    const PHImageRequestOptionsPtr&) override {}
  void stopCaching(const std::vector<PHAssetPtr>&, CGSize, PHImageContentMode,
                   const PHImageRequestOptionsPtr&) override {}
  void stopCachingAll() override {}
};

// A library folder of 10,000 small PNG files, made once per process.
void makeLibrary() {
  static bool made = [] {
    char pattern[] = "/tmp/qx-picker-grid-bench-XXXXXX";
    std::string root = mkdtemp(pattern);
    std::string library = root + "/Library";
    NSFileManager::defaultManager()->createDirectoryAtPath(library, true);
    auto pixels = std::make_shared<Bytes>(16 * 16 * 4, uint8_t(128));
    auto image = CGImage::create(16, 16, 8, 32, 64, kCGImageAlphaNoneSkipLast, pixels);
    std::string sample = root + "/sample.png";
    auto dest = CGImageDestinationCreateWithURL(sample, "public.png", 1);
    CGImageDestinationAddImage(dest, image, Value());
    CGImageDestinationFinalize(dest);
    Bytes bytes;
    ReadFileContents(sample, bytes);
    for (int i = 0; i < kAssets; ++i) {
      WriteFileAtomically(library + "/P" + std::to_string(i) + ".png", bytes.data(), bytes.size());
    }
    setenv("QX_MAIN_BUNDLE", QX_SOURCE_DIR "/resources/Runner.app", 0);
    setenv("QX_PHOTO_LIBRARY", library.c_str(), 1);
    setenv("QX_PHOTO_AUTHORIZATION", "authorized", 1);
    PHImageManager::setDefaultMediaProvider(std::make_shared<SilentProvider>());
    registerAKImagePickerScreenClasses();
    return true;
  }();
  (void)made;
}

struct Screen {
  std::shared_ptr<UIWindow> window;
  std::shared_ptr<AKImagePickerController> picker;
  std::shared_ptr<AKAssetGroupDetailVC> grid;
};

// A picker on screen over the library with `selected` assets selected,
// spread evenly over the album.
Screen showPicker(int selected) {
  makeLibrary();
  Screen s;
  s.picker = std::make_shared<AKImagePickerController>();
  s.window = std::make_shared<UIWindow>(UIScreen::mainScreen()->bounds());
  s.window->setRootViewController(s.picker);
  s.window->makeKeyAndVisible();
  NSRunLoop::mainRunLoop().runUntilIdle();
  s.grid = std::dynamic_pointer_cast<AKAssetGroupDetailVC>(s.picker->topViewController());
  while (!s.grid->selectedGroupId() ||
         s.grid->collectionView()->numberOfItemsInSection(0) < kAssets) {
    NSRunLoop::mainRunLoop().runOnce(0.05);
  }
  auto manager = s.picker->groupDataManager();
  auto group = manager->fetchGroup(*s.grid->selectedGroupId());
  std::vector<AKAssetPtr> chosen;
  for (int i = 0; i < selected; ++i) chosen.push_back(manager->fetchAsset(group, int64_t(i) * kAssets / selected));
  s.picker->selectWithAssets(chosen);
  s.window->layoutIfNeeded();
  return s;
}

void BM_GridScrollTopToBottom(benchmark::State& state) {
  auto screen = showPicker(int(state.range(0)));
  auto cv = screen.grid->collectionView();
  double end = cv->contentSize().height - cv->bounds().size.height;
  int64_t frames = 0;
  for (auto _ : state) {
    for (double y = 0; y <= end; y += kStep) {
      cv->setContentOffset(CGPointMake(0, y), false);
      cv->layoutIfNeeded();
      ++frames;
    }
    state.PauseTiming();
    cv->setContentOffset(CGPointZero, false);
    cv->layoutIfNeeded();
    state.ResumeTiming();
  }
  state.counters["frames"] = benchmark::Counter(double(frames), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_GridScrollTopToBottom)->Arg(0)->Arg(1000)->Arg(5000)->Unit(benchmark::kMillisecond);

void BM_LayoutAttributesTopToBottom(benchmark::State& state) {
  auto screen = showPicker(0);
  auto cv = screen.grid->collectionView();
  auto layout = cv->collectionViewLayout();
  double end = cv->contentSize().height - cv->bounds().size.height;
  CGSize size = cv->bounds().size;
  size_t seen = 0;
  for (auto _ : state) {
    for (double y = 0; y <= end; y += kStep) {
      auto attributes = layout->layoutAttributesForElementsInRect(CGRectMake(0, y, size.width, size.height));
      seen += attributes.size();
      benchmark::DoNotOptimize(attributes);
    }
  }
  benchmark::DoNotOptimize(seen);
}
BENCHMARK(BM_LayoutAttributesTopToBottom)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
