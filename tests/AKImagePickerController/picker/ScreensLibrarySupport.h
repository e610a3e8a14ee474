#pragma once
// The picker's screens over a real scratch photo library: the library's
// file-backed media provider (caching calls written down), photos and
// videos with chosen dates, and a picker shown in a key window.

#include "ScreensTestSupport.h"

#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>

#include "AKImagePickerController/picker/AKAssetGroupDetailVC.h"
#include "AKImagePickerController/picker/AKImagePickerController.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/photos/PHFileMediaProvider.h"
#include "support/images/ImageLoadingTestSupport.h"
#include "support/photos/MediaFixtures.h"
#include "support/photos/PhotoLibraryFixture.h"
#include "support/ui/ScriptedDisplay.h"

// The library's own file-backed provider, with the caching calls written
// down by asset file name.
class RecordingFileProvider : public PHMediaProvider {
 public:
  void requestImage(const PHImageRequest& r, PHImageResultHandler h) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++imageRequests;
    }
    real->requestImage(r, std::move(h));
  }
  void requestImageData(const PHImageRequest& r, PHImageDataResultHandler h) override {
    real->requestImageData(r, std::move(h));
  }
  void requestAVAsset(const PHVideoRequest& r, PHVideoResultHandler h) override {
    real->requestAVAsset(r, std::move(h));
  }
  void cancelRequest(PHImageRequestID id) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      ++cancels;
    }
    real->cancelRequest(id);
  }
  void startCaching(const std::vector<PHAssetPtr>& assets, CGSize size, PHImageContentMode mode,
                    const PHImageRequestOptionsPtr& options) override {
    record(assets, size, true);
    real->startCaching(assets, size, mode, options);
  }
  void stopCaching(const std::vector<PHAssetPtr>& assets, CGSize size, PHImageContentMode mode,
                   const PHImageRequestOptionsPtr& options) override {
    record(assets, size, false);
    real->stopCaching(assets, size, mode, options);
  }
  void stopCachingAll() override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      cached.clear();
      ++stopAll;
    }
    real->stopCachingAll();
  }
  std::set<std::string> cachedNames() {
    std::lock_guard<std::mutex> lock(mutex);
    return cached;
  }

  std::shared_ptr<PHFileMediaProvider> real = std::make_shared<PHFileMediaProvider>();
  std::mutex mutex;
  std::set<std::string> cached;  // guarded by mutex
  size_t stopAll = 0, imageRequests = 0, cancels = 0, startCalls = 0, stopCalls = 0;
  CGSize lastSize = CGSizeZero;

 private:
  void record(const std::vector<PHAssetPtr>& assets, CGSize size, bool start) {
    std::lock_guard<std::mutex> lock(mutex);
    (start ? startCalls : stopCalls)++;
    lastSize = size;
    for (auto& a : assets) {
      auto name = std::filesystem::path(a->record().relativePath).filename().string();
      if (start) {
        cached.insert(name);
      } else {
        cached.erase(name);
      }
    }
  }
};

class ScreensLibraryTest : public PhotoLibraryTest {
 protected:
  void SetUp() override {
    PhotoLibraryTest::SetUp();
    const char* data = std::getenv("QX_TEST_DATA");
    ASSERT_NE(data, nullptr);
    ScriptedLocations::installed().setMainBundlePath(std::string(data) +
                                                     "/../../resources/Runner.app");
    UseScreenProfile(UIScreenProfile::phone());
    setenv("QX_PHOTO_AUTHORIZATION", "authorized", 1);
    provider = std::make_shared<RecordingFileProvider>();
    PHImageManager::setDefaultMediaProvider(provider);
    registerAKImagePickerScreenClasses();
  }
  void TearDown() override {
    // What is still presented keeps its presenter until it is dismissed.
    for (int i = 0; i < 3 && grid && grid->presentedViewController(); ++i) {
      grid->presentedViewController()->dismissViewControllerAnimated(false);
      advance(1);
    }
    if (window) {
      window->setRootViewController(nullptr);
      window.reset();
    }
    drainMainLoop();
    PHImageManager::setDefaultMediaProvider(nullptr);
    // The bundle goes last: a gallery page's load still under way ends in
    // the base's wait, and one that fails names its error by the bundle.
    PhotoLibraryTest::TearDown();
    ScriptedLocations::installed().setMainBundlePath("");
  }

  // A photo of one colour, dated `seconds` after the epoch (its file time).
  void addPhoto(const std::string& relative, std::array<uint8_t, 4> rgba, int64_t seconds) {
    auto data = il_test::StillFile("public.png", il_test::SolidImage(24, 24, rgba));
    std::filesystem::create_directories(std::filesystem::path(path(relative)).parent_path());
    std::ofstream(path(relative), std::ios::binary)
        .write(reinterpret_cast<const char*>(data->bytes()), std::streamsize(data->length()));
    setTime(relative, seconds);
  }
  void addVideo(const std::string& relative, int frames, int64_t seconds) {
    std::filesystem::create_directories(std::filesystem::path(path(relative)).parent_path());
    ASSERT_TRUE(WriteFixtureVideo(path(relative), 16, 16, frames));
    setTime(relative, seconds);
  }
  void setTime(const std::string& relative, int64_t seconds) {
    using namespace std::chrono;
    auto when = std::filesystem::file_time_type::clock::from_sys(
        system_clock::time_point(std::chrono::seconds(seconds)));
    std::filesystem::last_write_time(path(relative), when);
  }
  // Hands the folder's changes to the library and its observers (bounded).
  void synchronize() {
    auto library = PHPhotoLibrary::sharedPhotoLibrary();
    library->synchronize();
    dispatch_sync(library->queue(), [] {});
    drainMainLoop();
  }

  // A picker shown as the window's root, its grid loaded with the albums.
  std::shared_ptr<AKAssetGroupDetailVC> showPicker(
      const std::function<void(AKImagePickerController&)>& configure = nullptr,
      std::shared_ptr<AKImagePickerController> made = nullptr) {
    picker = made ? made : std::make_shared<AKImagePickerController>();
    if (configure) configure(*picker);
    window = std::make_shared<UIWindow>(CGRectMake(0, 0, 375, 667));
    window->setRootViewController(picker);
    window->makeKeyAndVisible();
    drainMainLoop();
    grid = std::dynamic_pointer_cast<AKAssetGroupDetailVC>(picker->topViewController());
    if (!grid) return nullptr;
    waitForAlbums();
    return grid;
  }
  // Until the album list has loaded every album and the grid shows one.
  void waitForAlbums() {
    EXPECT_TRUE(RunMainLoopUntil([&] {
      auto ids = picker->groupDataManager()->groupIds();
      auto list = grid->groupListVC();
      return ids && ids->size() == expectedAlbums && list && list->groups() &&
             list->groups()->size() == ids->size() && grid->selectedGroupId();
    }));
    window->layoutIfNeeded();
    grid->view()->layoutIfNeeded();
    grid->collectionView()->layoutIfNeeded();
  }
  // Until every visible asset cell has its thumbnail.
  bool waitForThumbnails() {
    return RunMainLoopUntil([&] {
      for (auto& cell : grid->collectionView()->visibleCells()) {
        auto base = std::dynamic_pointer_cast<AKAssetGroupDetailBaseCell>(cell);
        if (base && base->asset() && !base->thumbnailImage()) return false;
      }
      return true;
    });
  }
  std::shared_ptr<AKAssetGroupDetailBaseCell> cellAt(int64_t item) {
    return std::dynamic_pointer_cast<AKAssetGroupDetailBaseCell>(
        grid->collectionView()->cellForItemAtIndexPath(NSIndexPath::indexPathForItem(item, 0)));
  }
  // The centre of an item in window coordinates.
  CGPoint centreOf(int64_t item) {
    auto cv = grid->collectionView();
    auto a = cv->layoutAttributesForItemAtIndexPath(NSIndexPath::indexPathForItem(item, 0));
    return cv->convertPointToView(a->center(), nullptr);
  }
  std::vector<std::string> selectedNames() {
    std::vector<std::string> names;
    for (auto& id : picker->selectedAssetIdentifiers()) {
      auto asset = picker->assets().at(id);
      names.push_back(asset->originalAsset()
                          ? std::filesystem::path(asset->originalAsset()->record().relativePath)
                                .filename()
                                .string()
                          : id);
    }
    return names;
  }

  // How many albums the library's folder makes (the albums come in two
  // answers: the user library first, then all).
  size_t expectedAlbums = 3;
  std::shared_ptr<RecordingFileProvider> provider;
  std::shared_ptr<UIWindow> window;
  std::shared_ptr<AKImagePickerController> picker;
  std::shared_ptr<AKAssetGroupDetailVC> grid;
};

// A picker that writes down what the grid asks of it beyond selection.
class RecordingPicker : public AKImagePickerController {
 public:
  void presentCamera() override { ++cameraRequests; }
  void showGallery(const std::string& groupId, std::optional<int64_t> index,
                   const std::shared_ptr<UIImageView>& view) override {
    galleryRequests.push_back({groupId, index, view});
  }
  struct GalleryRequest {
    std::string groupId;
    std::optional<int64_t> index;
    std::shared_ptr<UIImageView> view;
  };
  int cameraRequests = 0;
  std::vector<GalleryRequest> galleryRequests;
};
