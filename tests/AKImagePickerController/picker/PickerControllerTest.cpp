#include <gtest/gtest.h>

#include <algorithm>

#include "AKImagePickerController/data/AKImageAssetExporter.h"
#include "PickerCoreSupport.h"
#include "platform/foundation/KeyValueObserving.h"
#include "platform/foundation/Value.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/uikit/UIAlertController.h"
#include "platform/uikit/UIBarButtonItem.h"
#include "platform/uikit/UINavigationBar.h"

namespace picker_controller_test {

using PickerControllerTest = PickerCoreTest;

namespace {

std::shared_ptr<AKImageAssetExporter> scratchExporter(const std::string& folder) {
  AKImageAssetExporterConfiguration configuration;
  configuration.exportDirectory = NSURL::fileURLWithPath(folder, true);
  return AKImageAssetExporter::initWithConfiguration(configuration);
}

}  // namespace

TEST_F(PickerControllerTest, APlainPickerShowsTheGridOfPhotosAndVideosInAPortraitSheetThatCannotBeSwipedAway) {
  auto assets = libraryAssets(2, true);
  auto picker = presentPicker([](TestPicker& p) { p.setThumbnailSize(CGSizeMake(90, 90)); });
  ASSERT_TRUE(picker->UIDelegate());
  EXPECT_EQ(picker->UIDelegate()->imagePickerController(), picker);
  auto grid = picker->lastGrid;
  ASSERT_TRUE(grid);
  EXPECT_EQ(picker->viewControllers(), (std::vector<std::shared_ptr<UIViewController>>{grid}));
  EXPECT_EQ(picker->rootVC(), std::static_pointer_cast<AKImagePickerControllerAware>(grid));
  EXPECT_EQ(grid->imagePickerController(), picker);
  EXPECT_EQ(grid->thumbnailSize, CGSizeMake(90, 90));
  EXPECT_FALSE(picker->isNavigationBarHidden());
  EXPECT_EQ(picker->preferredContentSize(), CGSizeMake(680, 600));
  EXPECT_FALSE(grid->navigationItem()->leftBarButtonItem());
  ASSERT_TRUE(grid->navigationItem()->rightBarButtonItem());
  EXPECT_EQ(grid->navigationItem()->rightBarButtonItem()->customView(), picker->UIDelegate()->doneButton());
  EXPECT_TRUE(grid->navigationItem()->hidesBackButton());
  EXPECT_EQ(picker->supportedInterfaceOrientations(), UIInterfaceOrientationMaskPortrait);
  EXPECT_FALSE(picker->shouldAutorotate());

  // The album manager filters both media types and keeps no limit.
  auto& configuration = picker->groupDataManager()->configuration();
  ASSERT_TRUE(configuration.assetFetchOptions && configuration.assetFetchOptions->predicate);
  EXPECT_EQ(configuration.assetFetchOptions->predicate->predicateFormat(), "mediaType == 1 || mediaType == 2");
  EXPECT_EQ(configuration.fetchLimit, 0);
  EXPECT_EQ(picker->groupDataManager(), picker->groupDataManager());

  // A swipe down is refused; the picker stays.
  EXPECT_FALSE(picker->presentationController()->dismissByUser());
  advance(1);
  drainMainLoop();
  EXPECT_EQ(root->presentedViewController(), picker);

  // The setup ran once: a second appearance makes no second grid.
  picker->viewWillAppear(false);
  EXPECT_EQ(picker->lastGrid, grid);
}

TEST_F(PickerControllerTest, FetchOptionsFollowTheAssetTypeAndTheFetchLimit) {
  auto assets = libraryAssets(1, true);
  auto image = assets[0]->originalAsset()->mediaType() == PHAssetMediaTypeImage ? assets[0] : assets[1];
  auto video = image == assets[0] ? assets[1] : assets[0];
  for (auto [type, format, takesImage, takesVideo] :
       {std::tuple{AKImagePickerControllerAssetType::allPhotos, "mediaType == 1", true, false},
        std::tuple{AKImagePickerControllerAssetType::allVideos, "mediaType == 2", false, true},
        std::tuple{AKImagePickerControllerAssetType::allAssets, "mediaType == 1 || mediaType == 2", true, true}}) {
    auto picker = std::make_shared<TestPicker>();
    picker->setAssetType(type);
    picker->setFetchLimit(7);
    auto options = picker->createAssetFetchOptions();
    EXPECT_EQ(options->predicate->predicateFormat(), format);
    EXPECT_EQ(options->predicate->evaluateWithObject(image->originalAsset()), takesImage);
    EXPECT_EQ(options->predicate->evaluateWithObject(video->originalAsset()), takesVideo);
    EXPECT_EQ(picker->groupDataManager()->configuration().fetchLimit, 7);
  }
  EXPECT_FALSE(AKImagePickerControllerAssetTypeFromRawValue(3));
  EXPECT_FALSE(AKImagePickerControllerSourceTypeFromRawValue(-1));
  EXPECT_EQ(AKImagePickerControllerExportStatusFromRawValue(1), AKImagePickerControllerExportStatus::exporting);

  // A manager handed in is the picker's; reloading replaces it and reloads the root.
  auto manager = AKImageGroupDataManager::initWithConfiguration(AKImageGroupDataManagerConfiguration());
  auto given = AKImagePickerController::initWithGroupDataManager(manager);
  EXPECT_EQ(given->groupDataManager(), manager);
  auto picker = presentPicker();
  picker->reloadWith(manager);
  EXPECT_EQ(picker->groupDataManager(), manager);
  EXPECT_EQ(picker->lastGrid->reloads, 1);
}

TEST_F(PickerControllerTest, ExportStatusIsAnnouncedOnlyOnARealChange) {
  auto picker = std::make_shared<TestPicker>();
  std::vector<std::string> heard;
  std::vector<AKImagePickerControllerExportStatus> changed;
  picker->setExportStatusChanged([&](AKImagePickerControllerExportStatus s) { changed.push_back(s); });
  auto observation = picker->observe("exportStatus", NSKeyValueObservingOptionNew | NSKeyValueObservingOptionPrior,
                                     [&](NSObject*, const Value& change) {
                                       const Value* prior = change.find(NSKeyValueChangeNotificationIsPriorKey);
                                       const Value* now = change.find(NSKeyValueChangeNewKey);
                                       heard.push_back(prior && prior->asBool()
                                                           ? "will"
                                                           : "did " + std::to_string(now ? now->asInt64() : -1));
                                     });
  picker->setExportStatus(AKImagePickerControllerExportStatus::none);
  EXPECT_TRUE(heard.empty());
  EXPECT_TRUE(changed.empty());
  picker->setExportStatus(AKImagePickerControllerExportStatus::exporting);
  picker->setExportStatus(AKImagePickerControllerExportStatus::exporting);
  picker->setExportStatus(AKImagePickerControllerExportStatus::none);
  EXPECT_EQ(heard, (std::vector<std::string>{"will", "did 1", "will", "did 0"}));
  EXPECT_EQ(changed, (std::vector<AKImagePickerControllerExportStatus>{AKImagePickerControllerExportStatus::exporting,
                                                                       AKImagePickerControllerExportStatus::none}));
}

TEST_F(PickerControllerTest, DoneDismissesThenExportsTheSelectionIntoFilesAndDeliversItOnce) {
  auto assets = libraryAssets(3);
  auto exporter = scratchExporter(folder_->path() + "/Exports");
  std::vector<std::vector<AKAssetPtr>> delivered;
  std::vector<AKImagePickerControllerExportStatus> statuses;
  int cancels = 0;
  std::weak_ptr<AKImagePickerController> weak;
  {
    auto picker = presentPicker([&](TestPicker& p) {
      p.setExporter(exporter);
      p.setDidSelectAssets([&](const std::vector<AKAssetPtr>& list) { delivered.push_back(list); });
      p.setExportStatusChanged([&](AKImagePickerControllerExportStatus s) { statuses.push_back(s); });
      p.setDidCancel([&] { ++cancels; });
    });
    picker->selectWithAssets({assets[2], assets[0]});
    picker->done();
    EXPECT_TRUE(delivered.empty());  // the export waits for the dismissal
    advance(1);
    drainMainLoop();
    EXPECT_FALSE(root->presentedViewController());
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.front(), AKImagePickerControllerExportStatus::exporting);
    // A fast export may already have answered; one still running is known
    // to the picker.
    if (delivered.empty()) {
      EXPECT_EQ(picker->exportStatus(), AKImagePickerControllerExportStatus::exporting);
      EXPECT_NE(picker->exportRequestID(), 0);
    }
    weak = picker;
  }
  // Nobody holds the picker but its export: the result still comes.
  ASSERT_TRUE(waitFor([&] { return !delivered.empty(); }));
  drainMainLoop();
  ASSERT_EQ(delivered.size(), 1u);
  ASSERT_EQ(delivered[0].size(), 2u);
  EXPECT_EQ(delivered[0][0], assets[2]);
  EXPECT_EQ(delivered[0][1], assets[0]);
  for (auto& asset : delivered[0]) {
    ASSERT_TRUE(asset->localTemporaryPath());
    EXPECT_TRUE(NSFileManager::defaultManager()->fileExistsAtPath(asset->localTemporaryPath()->path()));
  }
  EXPECT_EQ(statuses, (std::vector<AKImagePickerControllerExportStatus>{AKImagePickerControllerExportStatus::exporting,
                                                                        AKImagePickerControllerExportStatus::none}));
  EXPECT_EQ(cancels, 0);
  EXPECT_TRUE(weak.expired());
}

TEST_F(PickerControllerTest, DoneWithNothingSelectedFinishesAtOnceWithoutTheExporter) {
  auto exporter = scratchExporter(folder_->path() + "/Exports");
  int statusChanges = 0;
  std::vector<size_t> delivered;
  auto picker = std::make_shared<TestPicker>();
  picker->setInline(true);
  picker->setExporter(exporter);
  picker->setExportStatusChanged([&](AKImagePickerControllerExportStatus) { ++statusChanges; });
  picker->setDidSelectAssets([&](const std::vector<AKAssetPtr>& list) { delivered.push_back(list.size()); });
  picker->done();
  EXPECT_EQ(delivered, std::vector<size_t>{0});
  EXPECT_EQ(statusChanges, 0);
  EXPECT_EQ(picker->exportRequestID(), 0);
  EXPECT_EQ(picker->exportStatus(), AKImagePickerControllerExportStatus::none);

  // Without an exporter the selection is handed over as it is, at once.
  auto assets = libraryAssets(1);
  picker->setExporter(nullptr);
  picker->selectWithAsset(assets[0]);
  picker->done();
  EXPECT_EQ(delivered, (std::vector<size_t>{0, 1}));
  EXPECT_FALSE(assets[0]->localTemporaryPath());
}

TEST_F(PickerControllerTest, AnInlinePickerDoneTwiceDeliversOnlyTheSecondRequest) {
  auto assets = libraryAssets(2);
  auto exporter = scratchExporter(folder_->path() + "/Exports");
  std::vector<size_t> delivered;
  int cancels = 0;
  auto picker = std::make_shared<TestPicker>();
  picker->setInline(true);
  picker->setExporter(exporter);
  picker->setDidSelectAssets([&](const std::vector<AKAssetPtr>& list) { delivered.push_back(list.size()); });
  picker->setDidCancel([&] { ++cancels; });
  picker->selectWithAsset(assets[0]);
  picker->done();
  int32_t first = picker->exportRequestID();
  ASSERT_NE(first, 0);
  picker->selectWithAsset(assets[1]);
  picker->done();
  int32_t second = picker->exportRequestID();
  EXPECT_NE(second, first);
  EXPECT_EQ(picker->exportStatus(), AKImagePickerControllerExportStatus::exporting);
  ASSERT_TRUE(waitFor([&] { return !delivered.empty(); }));
  drainMainLoop();
  EXPECT_EQ(delivered, std::vector<size_t>{2});
  EXPECT_EQ(cancels, 0);
  EXPECT_EQ(picker->exportRequestID(), 0);
  EXPECT_EQ(picker->exportStatus(), AKImagePickerControllerExportStatus::none);
}

// Holds the exporter's file writes until released, so a cancel surely
// comes before the export could end.
class WriteGate {
 public:
  WriteGate() : gate_(dispatch_semaphore_create(0)) {
    dispatch_async(AKImageAssetExporter::ioQueue(),
                   [gate = gate_] { dispatch_semaphore_wait(gate, dispatch_time_after(kTestTimeoutSeconds)); });
  }
  ~WriteGate() { release(); }
  void release() {
    if (released_) return;
    released_ = true;
    dispatch_semaphore_signal(gate_);
  }

 private:
  dispatch_semaphore_t gate_;
  bool released_ = false;
};

TEST_F(PickerControllerTest,
       AnEmbeddedPickerCancelledDuringItsExportDeliversNeitherCancelNorSelection) {
  auto assets = libraryAssets(4);
  auto exporter = scratchExporter(folder_->path() + "/Exports");
  int selections = 0, cancels = 0;
  auto picker = std::make_shared<TestPicker>();
  picker->setInline(true);
  picker->setExporter(exporter);
  picker->setDidSelectAssets([&](const std::vector<AKAssetPtr>&) { ++selections; });
  picker->setDidCancel([&] { ++cancels; });
  {
    WriteGate gate;
    picker->selectWithAssets({assets[0], assets[1]});
    picker->done();
    ASSERT_NE(picker->exportRequestID(), 0);
    picker->dismiss();
    EXPECT_EQ(picker->exportRequestID(), 0);  // forgotten
    EXPECT_EQ(picker->exportStatus(), AKImagePickerControllerExportStatus::none);
    EXPECT_EQ(cancels, 0);  // an embedded picker tells no one
  }
  // The cancelled request's completion still comes, and is ignored.
  ASSERT_TRUE(waitFor([&] {
    return std::all_of(assets.begin(), assets.begin() + 2, [](auto& a) { return a->error() || a->localTemporaryPath(); });
  }));
  for (int i = 0; i < 10; ++i) NSRunLoop::mainRunLoop().runOnce(0.025);
  EXPECT_EQ(selections, 0);

  // An inline picker without an export cancels nothing and tells nobody.
  picker->dismiss();
  EXPECT_EQ(cancels, 0);

  // A request cancelled behind the picker's back ends as a cancel too.
  {
    WriteGate gate;
    picker->setSelectedAssetsWithAssets({assets[2], assets[3]});
    picker->done();
    ASSERT_NE(picker->exportRequestID(), 0);
    exporter->cancelAll();
  }
  ASSERT_TRUE(waitFor([&] { return cancels == 1; }));
  EXPECT_EQ(selections, 0);
  EXPECT_EQ(picker->exportStatus(), AKImagePickerControllerExportStatus::none);
}

TEST_F(PickerControllerTest, CancelDismissesAPresentedPickerThenTellsTheCaller) {
  std::vector<std::string> events;
  auto picker = presentPicker([&](TestPicker& p) {
    p.setShowsCancelButton(true);
    p.setDidCancel([&] { events.push_back(root->presentedViewController() ? "cancel while shown" : "cancel"); });
  });
  auto cancelItem = picker->lastGrid->navigationItem()->leftBarButtonItem();
  ASSERT_TRUE(cancelItem);
  EXPECT_EQ(cancelItem->systemItem(), UIBarButtonSystemItem::Cancel);
  EXPECT_TRUE(cancelItem->trigger());
  EXPECT_TRUE(events.empty());
  advance(1);
  drainMainLoop();
  EXPECT_EQ(events, std::vector<std::string>{"cancel"});
  EXPECT_FALSE(root->presentedViewController());
}

TEST_F(PickerControllerTest, ACameraOnlyPickerOpensTheInlineCameraOnEachAppearance) {
  AKImageExtensionController::registerExtensionWithExtensionClass(
      AKImageExtensionClass::of<RecordingExtension>("Tests.InlineCamera", AKImageExtensionType::inlineCamera),
      AKImageExtensionType::inlineCamera);
  auto assets = libraryAssets(1);
  int delivered = 0;
  auto picker = std::make_shared<TestPicker>();
  picker->setSourceType(AKImagePickerControllerSourceType::camera);
  picker->setContainsGPSInMetadata(true);
  picker->setDidSelectAssets([&](const std::vector<AKAssetPtr>&) { ++delivered; });
  root->presentViewController(picker, true);
  advance(1);
  drainMainLoop();
  EXPECT_TRUE(picker->isNavigationBarHidden());
  EXPECT_FALSE(picker->lastGrid);
  EXPECT_TRUE(picker->viewControllers().empty());
  auto camera = std::dynamic_pointer_cast<RecordingExtension>(
      picker->extensionController()->cachedExtension(AKImageExtensionType::inlineCamera));
  ASSERT_TRUE(camera);
  ASSERT_EQ(camera->performed.size(), 1u);
  const auto& info = camera->performed[0];
  EXPECT_EQ(AKImageExtensionValue<bool>(info, kAKExtensionContainsGPSInMetadata), true);
  ASSERT_TRUE(AKImageExtensionValue<AKImageExtensionCaptureImageBlock>(info, kAKExtensionDidFinishCapturingImage));
  ASSERT_TRUE(AKImageExtensionValue<AKImageExtensionCaptureVideoBlock>(info, kAKExtensionDidFinishCapturingVideo));
  EXPECT_FALSE(picker->needShowInlineCamera());

  // Selecting in a camera-only picker confirms it; the next appearance opens the camera again.
  picker->selectWithAsset(assets[0]);
  advance(1);
  drainMainLoop();
  EXPECT_EQ(delivered, 1);
  EXPECT_TRUE(picker->needShowInlineCamera());
  EXPECT_EQ(camera->finishes, 0);
  root->presentViewController(picker, true);
  advance(1);
  drainMainLoop();
  EXPECT_EQ(camera->performed.size(), 2u);

  // The camera's cancel closes the camera and the picker.
  auto cancel = AKImageExtensionValue<AKImageExtensionCancelBlock>(camera->performed[1], kAKExtensionDidCancel);
  ASSERT_TRUE(cancel);
  (*cancel)();
  EXPECT_EQ(camera->finishes, 1);
  advance(1);
  drainMainLoop();
  EXPECT_FALSE(root->presentedViewController());
  EXPECT_TRUE(picker->needShowInlineCamera());

  // Landscape is allowed but a camera-only picker does not turn.
  picker->setAllowsLandscape(true);
  EXPECT_FALSE(picker->shouldAutorotate());
  EXPECT_NE(picker->supportedInterfaceOrientations(), UIInterfaceOrientationMaskPortrait);
}

TEST_F(PickerControllerTest, PresentingGoesAboveWhatIsShownAndAnInlinePickerUsesTheWindowsRoot) {
  auto picker = presentPicker();
  auto first = std::make_shared<UIViewController>();
  picker->presentViewController(first, false);
  drainMainLoop();
  EXPECT_EQ(picker->presentedViewController(), first);
  auto second = std::make_shared<UIViewController>();
  picker->presentViewController(second, false);
  drainMainLoop();
  EXPECT_EQ(first->presentedViewController(), second);

  // Dismissal always animates.
  picker->dismissViewControllerAnimated(false);
  EXPECT_TRUE(first->isBeingDismissed() || second->isBeingDismissed());
  advance(1);
  drainMainLoop();
  EXPECT_FALSE(picker->presentedViewController());

  auto embedded = std::make_shared<TestPicker>();
  embedded->setInline(true);
  auto alert = std::make_shared<UIViewController>();
  embedded->presentViewController(alert, false);
  drainMainLoop();
  EXPECT_EQ(UIViewController::topmostPresented(root), alert);
  embedded->dismissViewControllerAnimated(false);
  advance(1);
  drainMainLoop();
  // The key window's root dismissed what it presents: the picker with the alert.
  EXPECT_FALSE(root->presentedViewController());
}

TEST_F(PickerControllerTest, ScrollingHelpersReachTheGridAtTheRoot) {
  auto picker = presentPicker();
  auto grid = picker->lastGrid;
  auto layout = std::make_shared<UICollectionViewFlowLayout>();
  layout->setItemSize(CGSizeMake(100, 100));
  grid->grid = std::make_shared<UICollectionView>(CGRectMake(0, 0, 300, 300), layout);
  class Source : public NSObject, public UICollectionViewDataSource {
   public:
    int64_t collectionViewNumberOfItemsInSection(UICollectionView&, int64_t) override { return 60; }
    std::shared_ptr<UICollectionViewCell> collectionViewCellForItemAtIndexPath(UICollectionView& view,
                                                                 const NSIndexPath& path) override {
      return view.dequeueReusableCellWithReuseIdentifier("cell", path);
    }
  };
  auto source = std::make_shared<Source>();
  grid->grid->registerClassForCellWithReuseIdentifier<UICollectionViewCell>("cell");
  grid->grid->setDataSource(source);
  grid->grid->layoutIfNeeded();
  picker->scrollTo(NSIndexPath::indexPathForItem(40, 0), false);
  EXPECT_GT(grid->grid->contentOffset().y, 0);
  double offset = grid->grid->contentOffset().y;
  picker->scrollTo(NSIndexPath::indexPathForItem(999, 0), false);  // no such item
  EXPECT_EQ(grid->grid->contentOffset().y, offset);
  picker->scrollToLastTappedIndexPathWithAnimated(true);
  EXPECT_EQ(grid->lastTappedScrolls, std::vector<bool>{true});
}

}  // namespace picker_controller_test
