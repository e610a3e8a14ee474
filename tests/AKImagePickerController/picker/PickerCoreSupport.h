#pragma once
// The picker over a scratch library: photos and a video written into the
// library folder, the picker presented from a window's root (or embedded
// with a stand-in grid at its root), and bounded waits for the export.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AKImagePickerController/picker/internal/AKImageExtension.h"
#include "AKImagePickerController/picker/AKImagePickerController.h"
#include "AKImagePickerController/picker/AKImagePickerControllerUIDelegate.h"
#include "PickerTestSupport.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/uikit/UICollectionView.h"
#include "platform/uikit/UICollectionViewLayout.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIWindow.h"
#include "support/ui/ScriptedDisplay.h"

// Stands in for the asset grid at the picker's root: shows the album it is
// told and keeps a collection view for the scrolling helpers.
class StandInGrid : public UIViewController, public AKAssetGroupDetailInterface {
 public:
  std::shared_ptr<AKImagePickerController> imagePickerController() const override { return picker.lock(); }
  void setImagePickerController(const std::shared_ptr<AKImagePickerController>& p) override { picker = p; }
  void reload() override { ++reloads; }
  std::optional<std::string> selectedGroupId() const override { return groupId; }
  std::shared_ptr<UICollectionView> collectionView() const override { return grid; }
  void setThumbnailSize(CGSize size) override { thumbnailSize = size; }
  void scrollToLastTappedIndexPath(bool animated) override { lastTappedScrolls.push_back(animated); }
  std::string className() const override { return "AKAssetGroupDetailVC"; }

  std::weak_ptr<AKImagePickerController> picker;
  int reloads = 0;
  std::optional<std::string> groupId;
  std::shared_ptr<UICollectionView> grid;
  CGSize thumbnailSize{-1, -1};
  std::vector<bool> lastTappedScrolls;
};

// A picker whose root is the stand-in grid.
class TestPicker : public AKImagePickerController {
 public:
  std::shared_ptr<UIViewController> makeRootVC() override {
    auto root = std::make_shared<StandInGrid>();
    root->setThumbnailSize(thumbnailSize());
    lastGrid = root;
    return root;
  }
  std::shared_ptr<StandInGrid> lastGrid;
};

// An extension that records what it is asked.
class RecordingExtension : public AKImageBaseExtension {
 public:
  using AKImageBaseExtension::AKImageBaseExtension;
  void perform(const AKImageExtensionInfo& info) override {
    performed.push_back(info);
    ++performs();
  }
  void finish() override { ++finishes; }
  static int& performs() {
    static int count = 0;
    return count;
  }
  std::vector<AKImageExtensionInfo> performed;
  int finishes = 0;
};

class PickerCoreTest : public PickerLibraryTest {
 protected:
  void SetUp() override {
    PickerLibraryTest::SetUp();
    UseScreenProfile(UIScreenProfile::phone());
    window = std::make_shared<UIWindow>(CGRectMake(0, 0, 375, 667));
    root = std::make_shared<UIViewController>();
    window->setRootViewController(root);
    window->makeKeyAndVisible();
    RecordingExtension::performs() = 0;
  }
  void TearDown() override {
    window.reset();
    root.reset();
    PickerLibraryTest::TearDown();
  }

  // Photos a.jpg, b.jpg, ... dated one day apart, and an optional video.
  std::vector<AKAssetPtr> libraryAssets(int photos, bool video = false) {
    for (int i = 0; i < photos; ++i) {
      std::string name = std::string(1, static_cast<char>('a' + i)) + ".jpg";
      EXPECT_TRUE(WriteFixtureImage(path(name), "public.jpeg", 16, 12, 1, std::nullopt,
                                    "2020:01:0" + std::to_string(i + 1) + " 00:00:00"));
    }
    if (video) {
      EXPECT_TRUE(WriteFixtureVideo(path("clip.mp4"), 16, 16, 3, "2021-01-01T00:00:00Z"));
    }
    std::vector<AKAssetPtr> assets;
    auto result = PHAsset::fetchAssetsWithOptions(nullptr);
    for (int64_t i = 0; i < result->count(); ++i) assets.push_back(AKAsset::initWithOriginalAsset(result->objectAtIndex(i)));
    return assets;
  }

  std::shared_ptr<TestPicker> presentPicker(std::function<void(TestPicker&)> configure = nullptr) {
    auto picker = std::make_shared<TestPicker>();
    if (configure) configure(*picker);
    root->presentViewController(picker, true);
    advance(1);
    drainMainLoop();
    return picker;
  }

  // Loads the picker's albums and waits (bounded) for the manager's last
  // answer (an early one up to the user library, then all of them).
  std::vector<std::string> loadAlbums(const std::shared_ptr<AKImagePickerController>& picker) {
    auto answers = std::make_shared<std::vector<std::vector<std::string>>>();
    picker->groupDataManager()->fetchGroups(
        [answers](const std::optional<std::vector<std::string>>& ids, const NSErrorPtr&) {
          answers->push_back(ids.value_or(std::vector<std::string>{}));
        });
    // A manager that had loaded before answers once.
    bool loadedBefore = picker->groupDataManager()->groupIds().has_value();
    EXPECT_TRUE(waitFor([&] { return answers->size() >= (loadedBefore ? 1u : 2u); }));
    drainMainLoop();
    return answers->empty() ? std::vector<std::string>{} : answers->back();
  }

  // Spins the main loop (bounded) until `done` holds.
  bool waitFor(const std::function<bool()>& done) {
    for (int i = 0; i < 400 && !done(); ++i) NSRunLoop::mainRunLoop().runOnce(0.025);
    return done();
  }

  std::shared_ptr<UIWindow> window;
  std::shared_ptr<UIViewController> root;
};
