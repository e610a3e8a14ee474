#include <gtest/gtest.h>

#include "AKImagePickerController/data/AKImageAssetExporter.h"
#include "AKImagePickerController/picker/AKImagePickerControllerUIDelegate.h"
#include "AKImagePickerController/picker/internal/AKPermissionView.h"
#include "AKImagePickerController/picker/internal/AKPopoverViewController.h"
#include "ScreensLibrarySupport.h"
#include "platform/foundation/NSURL.h"
#include "platform/uikit/UIAlertController.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UINavigationBar.h"
#include "platform/uikit/UIViewAccessibility.h"
#include "support/ui/ScriptedDisplay.h"
#include "support/ui/SnapshotTesting.h"
#include "support/ui/UITouchDriver.h"

namespace screens_grid_test {

namespace {

const std::array<uint8_t, 4> kColours[] = {
    {230, 60, 50, 255},  {250, 170, 40, 255}, {60, 180, 90, 255},  {40, 120, 220, 255},
    {150, 70, 200, 255}, {30, 190, 190, 255}, {240, 110, 170, 255}, {120, 120, 120, 255}};

// Five photos in the library's root, and an album "Trips" with two photos
// and a one-second video, newest last.
class GridTest : public ScreensLibraryTest {
 protected:
  void SetUp() override {
    ScreensLibraryTest::SetUp();
    for (int i = 0; i < 5; ++i) addPhoto("p" + std::to_string(i) + ".png", kColours[i], 1000 + i);
    addPhoto("Trips/t0.png", kColours[5], 2000);
    addPhoto("Trips/t1.png", kColours[6], 2001);
    addVideo("Trips/v.mp4", 10, 2002);
    expectedAlbums = 4;
  }
  std::string nameAt(int64_t item) {
    auto cell = cellAt(item);
    auto asset = cell ? cell->asset() : nullptr;
    if (!asset || !asset->originalAsset()) return "-";
    return std::filesystem::path(asset->originalAsset()->record().relativePath).filename().string();
  }
  std::string groupIdTitled(const std::string& title) {
    for (auto& id : picker->groupDataManager()->groupIds().value_or(std::vector<std::string>{})) {
      auto group = picker->groupDataManager()->fetchGroup(id);
      if (group && group->groupName() == title) return id;
    }
    return "?";
  }
  std::string badge(int64_t item) {
    auto cell = std::dynamic_pointer_cast<AKAssetGroupDetailImageCell>(cellAt(item));
    if (!cell || cell->checkView()->isHidden()) return "";
    return cell->checkView()->checkLabel()->text();
  }
};

TEST_F(GridTest, OpensOnTheLibraryNewestFirstWithThumbnails) {
  ASSERT_TRUE(showPicker());
  EXPECT_EQ(grid->selectedGroupId(), groupIdTitled("Recents"));
  EXPECT_EQ(grid->title(), "Recents");
  EXPECT_FALSE(grid->hidesCamera());
  auto cv = grid->collectionView();
  EXPECT_EQ(cv->numberOfItemsInSection(0), 9);
  EXPECT_TRUE(std::dynamic_pointer_cast<AKAssetGroupDetailCameraCell>(cellAt(0)));
  auto video = std::dynamic_pointer_cast<AKAssetGroupDetailVideoCell>(cellAt(1));
  ASSERT_TRUE(video);
  EXPECT_EQ(std::dynamic_pointer_cast<UILabel>(video->videoInfoView()->viewWithTag(-1))->text(), "0:01");
  std::vector<std::string> names;
  for (int64_t item = 1; item <= 8; ++item) names.push_back(nameAt(item));
  EXPECT_EQ(names, (std::vector<std::string>{"v.mp4", "t1.png", "t0.png", "p4.png", "p3.png",
                                             "p2.png", "p1.png", "p0.png"}));
  // Each asset cell is tagged with its item number plus one.
  EXPECT_EQ(cellAt(5)->tag(), 6);

  // Thumbnails: the layout's item size in pixels, decoded from the files.
  ASSERT_TRUE(waitForThumbnails());
  double side = (375.0 - 2) / 3;
  EXPECT_NEAR(grid->thumbnailSize().width, side * 2, 1e-9);
  auto thumbnail = cellAt(4)->thumbnailImage();  // p4
  ASSERT_TRUE(thumbnail);
  EXPECT_TRUE(il_test::Near(il_test::PixelAt(thumbnail->CGImage(), 2, 2), kColours[4]));

  // The album-title button is the navigation title and lists the albums.
  EXPECT_EQ(grid->navigationItem()->titleView(), grid->selectGroupButton());
  EXPECT_TRUE(grid->selectGroupButton()->isEnabled());
  EXPECT_EQ(grid->selectGroupButton()->allTargets().size(), 1u);
}

TEST_F(GridTest, AlbumsOnlyHasNoCameraCellAndLongPressAsksForThePressedAsset) {
  auto recording = std::make_shared<RecordingPicker>();
  ASSERT_TRUE(showPicker([](AKImagePickerController& p) {
    p.setSourceType(AKImagePickerControllerSourceType::albumsOnly);
  }, recording));
  EXPECT_TRUE(grid->hidesCamera());
  EXPECT_EQ(grid->collectionView()->numberOfItemsInSection(0), 8);
  EXPECT_EQ(nameAt(0), "v.mp4");
  EXPECT_EQ(grid->itemIndex(3), 3);

  UITouchDriver hand(window);
  hand.longPress(centreOf(2), 0.5);
  advance(0.1);
  ASSERT_EQ(recording->galleryRequests.size(), 1u);
  EXPECT_EQ(recording->galleryRequests[0].groupId, *grid->selectedGroupId());
  EXPECT_EQ(recording->galleryRequests[0].index, 2);
  EXPECT_EQ(recording->galleryRequests[0].view, cellAt(2)->thumbnailImageView());
  // A short press is a tap, not a preview.
  hand.tap(centreOf(3));
  advance(0.5);
  EXPECT_EQ(recording->galleryRequests.size(), 1u);
}

TEST_F(GridTest, LongPressWithTheCameraCellCountsAssetsFromTheSecondItem) {
  auto recording = std::make_shared<RecordingPicker>();
  ASSERT_TRUE(showPicker(nullptr, recording));
  EXPECT_EQ(grid->itemIndex(3), 4);
  UITouchDriver hand(window);
  hand.longPress(centreOf(4), 0.5);
  advance(0.1);
  ASSERT_EQ(recording->galleryRequests.size(), 1u);
  EXPECT_EQ(recording->galleryRequests[0].index, 3);

  // The camera cell: deselects itself; this platform has no camera source.
  hand.tap(centreOf(0));
  advance(0.5);
  EXPECT_FALSE(cellAt(0)->isSelected());
  EXPECT_TRUE(grid->collectionView()->indexPathsForSelectedItems().empty());
  EXPECT_EQ(recording->cameraRequests, 0);
  EXPECT_TRUE(picker->selectedAssetIdentifiers().empty());
}

TEST_F(GridTest, TapsSelectDeselectAndRenumberTheBadges) {
  ASSERT_TRUE(showPicker());
  UITouchDriver hand(window);
  for (int64_t item : {2, 4, 6}) {
    hand.tap(centreOf(item));
    advance(0.5);
  }
  EXPECT_EQ(selectedNames(), (std::vector<std::string>{"t1.png", "p4.png", "p2.png"}));
  EXPECT_EQ(badge(2), "1");
  EXPECT_EQ(badge(4), "2");
  EXPECT_EQ(badge(6), "3");
  EXPECT_EQ(grid->lastIndexPath(), NSIndexPath::indexPathForItem(6, 0));

  hand.tap(centreOf(2));
  advance(0.5);
  EXPECT_EQ(selectedNames(), (std::vector<std::string>{"p4.png", "p2.png"}));
  EXPECT_EQ(badge(2), "");
  EXPECT_FALSE(cellAt(2)->isSelected());
  EXPECT_EQ(badge(4), "1");
  EXPECT_EQ(badge(6), "2");

  // A cell shown again after a reload takes its state from the picker.
  grid->collectionView()->reloadData();
  grid->collectionView()->layoutIfNeeded();
  EXPECT_EQ(badge(4), "1");
  EXPECT_EQ(badge(6), "2");
  EXPECT_TRUE(cellAt(6)->isSelected());
  EXPECT_FALSE(cellAt(5)->isSelected());

  // Selecting several at once from elsewhere (select all) reloads the grid.
  picker->selectWithAssets({cellAt(7)->asset(), cellAt(8)->asset()});
  grid->collectionView()->layoutIfNeeded();
  EXPECT_EQ(badge(7), "3");
  EXPECT_EQ(badge(8), "4");
}

TEST_F(GridTest, ARefusedTapShowsTheLimitAlertAndStaysUnselected) {
  ASSERT_TRUE(showPicker([](AKImagePickerController& p) { p.setMaxSelectableCount(2); }));
  UITouchDriver hand(window);
  for (int64_t item : {4, 5, 6}) {
    hand.tap(centreOf(item));
    advance(0.5);
  }
  EXPECT_EQ(selectedNames(), (std::vector<std::string>{"p4.png", "p3.png"}));
  EXPECT_FALSE(cellAt(6)->isSelected());
  EXPECT_EQ(badge(6), "");
  auto alert = std::dynamic_pointer_cast<UIAlertController>(picker->presentedViewController());
  ASSERT_TRUE(alert);
  advance(1);
  // Cells the taps reconfigured fetch their thumbnails again off the main
  // thread; a slow machine must not draw them half-loaded.
  ASSERT_TRUE(waitForThumbnails());
  auto image = RenderView(*window, 1);
  SaveSnapshot(image, "picker-max-count-alert");
  EXPECT_TRUE(MatchesGolden(image, "picker/picker-max-count-alert.png", 3, 200));
}

TEST_F(GridTest, SwitchesAlbumsThroughThePopover) {
  ASSERT_TRUE(showPicker());
  auto button = grid->selectGroupButton();
  ASSERT_TRUE(button);
  ASSERT_TRUE(button->window()) << "title button not on screen";
  UITouchDriver hand(window);
  hand.tap(button->convertPointToView(CGPointMake(button->bounds().size.width / 2,
                                                  button->bounds().size.height / 2), nullptr));
  advance(1);
  std::shared_ptr<AKPopoverViewController> popover;
  for (auto& child : picker->childViewControllers()) {
    if (auto p = std::dynamic_pointer_cast<AKPopoverViewController>(child)) popover = p;
  }
  ASSERT_TRUE(popover);
  auto list = grid->groupListVC();
  EXPECT_EQ(popover->contentViewController(), list);
  auto table = list->tableView();
  EXPECT_EQ(table->numberOfRowsInSection(0), 4);  // Recents, Videos, Favorites, Trips
  EXPECT_DOUBLE_EQ(popover->popoverView()->frame().size.height, 4 * 70 + 10);
  EXPECT_DOUBLE_EQ(popover->popoverView()->frame().origin.y,
                   CGRectGetMaxY(button->convertRectToView(button->bounds(), nullptr)));
  EXPECT_EQ(table->indexPathForSelectedRow(), NSIndexPath::indexPathForRow(0, 0));
  EXPECT_TRUE(RunMainLoopUntil([&] {
    for (int64_t r : {0, 1, 3}) {
      auto cell = std::dynamic_pointer_cast<AKAssetGroupCell>(
          table->cellForRowAtIndexPath(NSIndexPath::indexPathForRow(r, 0)));
      auto image = cell ? cell->thumbnailImageView()->image() : nullptr;
      // The full-size thumbnail (opportunistic requests answer small first).
      if (!image) return false;
    }
    return true;
  }));
  advance(0.1);
  auto image = RenderView(*window, 1);
  SaveSnapshot(image, "picker-album-list-popover");
  EXPECT_TRUE(MatchesGolden(image, "picker/picker-album-list-popover.png", 3, 200));

  // Choosing "Trips" closes the popover and shows that album.
  CGRect row = table->rectForRowAtIndexPath(NSIndexPath::indexPathForRow(3, 0));
  hand.tap(table->convertPointToView(CGPointMake(CGRectGetMidX(row), CGRectGetMidY(row)), nullptr));
  advance(0.5);
  bool stillOpen = false;
  for (auto& child : picker->childViewControllers()) {
    stillOpen |= std::dynamic_pointer_cast<AKPopoverViewController>(child) != nullptr;
  }
  EXPECT_FALSE(stillOpen);
  EXPECT_EQ(grid->selectedGroupId(), groupIdTitled("Trips"));
  EXPECT_EQ(grid->title(), "Trips");
  grid->collectionView()->layoutIfNeeded();
  EXPECT_EQ(grid->collectionView()->numberOfItemsInSection(0), 4);
  EXPECT_EQ(nameAt(1), "v.mp4");
  EXPECT_EQ(nameAt(3), "t0.png");
}

TEST_F(GridTest, PresentedAlbumListClosesItselfOnAChoice) {
  class PresentingDelegate : public AKImagePickerControllerBaseUIDelegate {
   public:
    AKImagePickerGroupListPresentationStyle imagePickerControllerGroupListPresentationStyle() override {
      return AKImagePickerGroupListPresentationStyle::presented;
    }
  };
  ASSERT_TRUE(showPicker([](AKImagePickerController& p) {
    p.setUIDelegate(std::make_shared<PresentingDelegate>());
  }));
  grid->showGroupSelector();
  advance(1);
  auto navigation = std::dynamic_pointer_cast<UINavigationController>(grid->presentedViewController());
  ASSERT_TRUE(navigation);
  auto list = grid->groupListVC();
  EXPECT_EQ(navigation->topViewController(), list);
  list->tableViewDidSelectRowAtIndexPath(*list->tableView(), NSIndexPath::indexPathForRow(1, 0));
  advance(1);
  EXPECT_FALSE(grid->presentedViewController());
  EXPECT_EQ(grid->selectedGroupId(), groupIdTitled("Videos"));
  EXPECT_EQ(grid->collectionView()->numberOfItemsInSection(0), 2);
}

TEST_F(GridTest, FollowsTheLibraryAsItChanges) {
  ASSERT_TRUE(showPicker());
  UITouchDriver hand(window);
  hand.tap(centreOf(4));  // p4
  hand.tap(centreOf(5));  // p3
  advance(0.5);
  ASSERT_EQ(selectedNames(), (std::vector<std::string>{"p4.png", "p3.png"}));

  std::filesystem::remove(path("p4.png"));
  addPhoto("p9.png", kColours[7], 3000);
  synchronize();
  bool arrived = RunMainLoopUntil([&] {
    grid->collectionView()->layoutIfNeeded();
    return nameAt(1) == "p9.png";
  });
  ASSERT_TRUE(arrived) << nameAt(1) << " " << grid->collectionView()->numberOfItemsInSection(0);
  EXPECT_EQ(grid->collectionView()->numberOfItemsInSection(0), 9);
  // The vanished photo left the selection; the other keeps its number.
  EXPECT_EQ(selectedNames(), (std::vector<std::string>{"p3.png"}));
  EXPECT_TRUE(RunMainLoopUntil([&] { return badge(5) == "1"; }));
  EXPECT_EQ(grid->groupListVC()->selectedGroup(), grid->selectedGroupId());

  // Down to the camera cell, p1 and p0: the rows past them, the last tapped
  // one among them, have no view, and scrolling there does nothing.
  std::filesystem::remove_all(path("Trips"));
  for (const char* name : {"p9.png", "p3.png", "p2.png"}) std::filesystem::remove(path(name));
  synchronize();
  ASSERT_TRUE(RunMainLoopUntil([&] { return grid->collectionView()->numberOfItemsInSection(0) == 3; }));
  picker->scrollToLastTappedIndexPathWithAnimated(false);
  grid->collectionView()->layoutIfNeeded();
  EXPECT_TRUE(grid->thumbnailImageView(NSIndexPath::indexPathForItem(2, 0)));
  for (auto gone : {NSIndexPath::indexPathForItem(3, 0), NSIndexPath::indexPathForItem(5, 0),
                    NSIndexPath::indexPathForItem(-1, 0), NSIndexPath::indexPathForItem(0, 1)}) {
    EXPECT_FALSE(grid->thumbnailImageView(gone)) << gone.description();
  }
}

TEST_F(GridTest, DeniedAccessShowsThePermissionViewAndFetchesNothing) {
  setenv("QX_PHOTO_AUTHORIZATION", "denied", 1);
  picker = std::make_shared<AKImagePickerController>();
  window = std::make_shared<UIWindow>(CGRectMake(0, 0, 375, 667));
  window->setRootViewController(picker);
  window->makeKeyAndVisible();
  drainMainLoop();
  grid = std::dynamic_pointer_cast<AKAssetGroupDetailVC>(picker->topViewController());
  ASSERT_TRUE(grid);
  std::shared_ptr<AKPermissionView> permission;
  for (auto& v : grid->view()->subviews()) {
    if (auto p = std::dynamic_pointer_cast<AKPermissionView>(v)) permission = p;
  }
  ASSERT_TRUE(permission);
  EXPECT_TRUE(grid->collectionView()->isHidden());
  EXPECT_TRUE(grid->view()->backgroundColor()->isEqual(*picker->permissionViewColors()->backgroundColor));
  EXPECT_FALSE(grid->groupListVC());
  EXPECT_FALSE(picker->groupDataManager()->groupIds());
}

TEST_F(GridTest, AnUndeterminedAccessAsksAndFollowsTheAnswer) {
  setenv("QX_PHOTO_AUTHORIZATION", "notDetermined", 1);
  setenv("QX_PHOTO_AUTHORIZATION_PROMPT", "denied", 1);
  picker = std::make_shared<AKImagePickerController>();
  window = std::make_shared<UIWindow>(CGRectMake(0, 0, 375, 667));
  window->setRootViewController(picker);
  window->makeKeyAndVisible();
  drainMainLoop();
  grid = std::dynamic_pointer_cast<AKAssetGroupDetailVC>(picker->topViewController());
  ASSERT_TRUE(grid);
  EXPECT_TRUE(RunMainLoopUntil([&] { return grid->collectionView()->isHidden(); }));
  EXPECT_FALSE(grid->groupListVC());
}

TEST_F(GridTest, AGrantedPromptLoadsTheAlbums) {
  setenv("QX_PHOTO_AUTHORIZATION", "notDetermined", 1);
  setenv("QX_PHOTO_AUTHORIZATION_PROMPT", "authorized", 1);
  ASSERT_TRUE(showPicker());
  EXPECT_FALSE(grid->collectionView()->isHidden());
  EXPECT_EQ(grid->collectionView()->numberOfItemsInSection(0), 9);
}

TEST_F(GridTest, ALateThumbnailForAReusedCellIsDropped) {
  ASSERT_TRUE(showPicker());
  ASSERT_TRUE(waitForThumbnails());
  auto cell = std::make_shared<AKAssetGroupDetailImageCell>(CGRectMake(0, 0, 50, 50));
  auto asset = cellAt(4)->asset();
  grid->setupAssetCell(*cell, NSIndexPath::indexPathForItem(4, 0), asset);
  EXPECT_EQ(cell->tag(), 5);
  EXPECT_FALSE(cell->thumbnailImage());
  cell->setTag(9);  // reused for another item before the image came
  auto other = std::make_shared<AKAssetGroupDetailImageCell>(CGRectMake(0, 0, 50, 50));
  grid->setupAssetCell(*other, NSIndexPath::indexPathForItem(5, 0), cellAt(5)->asset());
  EXPECT_TRUE(RunMainLoopUntil([&] { return other->thumbnailImage() != nullptr; }));
  drainMainLoop();
  EXPECT_FALSE(cell->thumbnailImage());
}

TEST_F(GridTest, GridPicture) {
  ASSERT_TRUE(showPicker());
  UITouchDriver hand(window);
  for (int64_t item : {1, 4, 6}) {
    hand.tap(centreOf(item));
    advance(0.5);
  }
  ASSERT_TRUE(waitForThumbnails());
  advance(1);
  auto image = RenderView(*window, 1);
  SaveSnapshot(image, "picker-grid-selection");
  EXPECT_TRUE(MatchesGolden(image, "picker/picker-grid-selection.png", 3, 200));
}

// --- Layout ---

class GridLayoutTest : public ScreensTest {
 protected:
  CGSize itemSizeFor(double width) {
    auto layout = std::make_shared<AKAssetGroupGridLayout>();
    auto view = std::make_shared<UICollectionView>(CGRectMake(0, 0, width, 500), layout);
    layout->prepareLayout();
    return layout->itemSize();
  }
};

TEST_F(GridLayoutTest, SquareColumnsWithOnePointGaps) {
  EXPECT_NEAR(itemSizeFor(375).width, 373.0 / 3, 1e-9);
  EXPECT_EQ(itemSizeFor(375).width, itemSizeFor(375).height);
  EXPECT_NEAR(itemSizeFor(100).width, 100, 1e-9);
  EXPECT_NEAR(itemSizeFor(250).width, 124.5, 1e-9);
  // Narrower than one column: one column as wide as the grid.
  EXPECT_NEAR(itemSizeFor(80).width, 80, 1e-9);
  EXPECT_NEAR(itemSizeFor(0.5).width, 0.5, 1e-9);
  UseScreenProfile(UIScreenProfile::pad());
  EXPECT_NEAR(itemSizeFor(768).width, (768.0 - 5) / 6, 1e-9);
  EXPECT_NEAR(itemSizeFor(239).width, 239, 1e-9);
  auto layout = std::make_shared<AKAssetGroupGridLayout>();
  auto view = std::make_shared<UICollectionView>(CGRectMake(0, 0, 375, 500), layout);
  layout->prepareLayout();
  EXPECT_EQ(layout->minimumInteritemSpacing(), 1);
  EXPECT_EQ(layout->minimumLineSpacing(), 1);
}

// Opens nothing; writes down what it was asked to open.
class SettingsOpener : public UIApplicationURLOpener {
 public:
  bool canOpenURL(const NSURL&) override { return true; }
  void openURL(const NSURLPtr& url, const Value&,
               UIApplicationOpenURLCompletion completion) override {
    opened.push_back(url->absoluteString());
    if (completion) completion(true);
  }
  std::vector<std::string> opened;
};

class PermissionScreenTest : public GridTest, public testing::WithParamInterface<const char*> {};

// The picker presented as the file picker presents it, with its cancel item,
// when the library may not be read.
TEST_P(PermissionScreenTest, ThePermissionScreenIsCentredAndItsButtonTakesTheTap) {
  setenv("QX_PHOTO_AUTHORIZATION", GetParam(), 1);
  auto opener = std::make_shared<SettingsOpener>();
  UIApplication::sharedApplication()->setURLOpener(opener);
  auto root = std::make_shared<UIViewController>();
  window = std::make_shared<UIWindow>(CGRectMake(0, 0, 375, 667));
  window->setRootViewController(root);
  window->makeKeyAndVisible();
  picker = std::make_shared<AKImagePickerController>();
  picker->setShowsCancelButton(true);
  root->presentViewController(picker, true);
  advance(1);
  grid = std::dynamic_pointer_cast<AKAssetGroupDetailVC>(picker->topViewController());
  ASSERT_TRUE(grid);
  std::shared_ptr<AKPermissionView> permission;
  for (auto& v : grid->view()->subviews()) {
    if (auto p = std::dynamic_pointer_cast<AKPermissionView>(v)) permission = p;
  }
  ASSERT_TRUE(permission);
  window->layoutIfNeeded();
  SaveSnapshot(RenderView(*window, 1), std::string("picker-permission-") + GetParam());

  CGRect screen = window->bounds();
  CGRect label =
      permission->titleLabel()->convertRectToView(permission->titleLabel()->bounds(), nullptr);
  CGRect button =
      permission->permitButton()->convertRectToView(permission->permitButton()->bounds(), nullptr);
  CGRect bar =
      picker->navigationBar()->convertRectToView(picker->navigationBar()->bounds(), nullptr);
  EXPECT_TRUE(CGRectContainsRect(screen, label)) << NSStringFromCGRect(label);
  EXPECT_TRUE(CGRectContainsRect(screen, button)) << NSStringFromCGRect(button);
  EXPECT_FALSE(CGRectIntersectsRect(bar, button));
  // The whole message shows, wrapped rather than cut.
  std::string shownText;
  for (auto& line : permission->titleLabel()->textLayout().lines) shownText += line;
  EXPECT_EQ(shownText.find("\u2026"), std::string::npos) << shownText;
  EXPECT_GT(permission->titleLabel()->textLayout().lines.size(), 1u);
  // Centred in the screen the grid shows.
  CGRect shown = grid->view()->convertRectToView(grid->view()->bounds(), nullptr);
  EXPECT_NEAR(CGRectGetMidX(label), CGRectGetMidX(shown), 0.5);
  EXPECT_NEAR(CGRectGetMidX(button), CGRectGetMidX(shown), 0.5);

  UITouchDriver hand(window);
  hand.tap({CGRectGetMidX(button), CGRectGetMidY(button)});
  drainMainLoop();
  EXPECT_EQ(opener->opened, std::vector<std::string>{UIApplicationOpenSettingsURLString});
  UIApplication::sharedApplication()->setURLOpener(nullptr);
}

INSTANTIATE_TEST_SUITE_P(EveryStateWithoutAccess, PermissionScreenTest,
                         testing::Values("denied", "limited", "restricted"));

// A screen that embeds the picker above its own Done and Cancel buttons, as
// an app does with an inline picker.
class EmbeddingScreen : public UIViewController {
 public:
  explicit EmbeddingScreen(std::shared_ptr<AKImagePickerController> picker)
      : picker_(std::move(picker)) {}
  void viewDidLoad() override {
    UIViewController::viewDidLoad();
    addChildViewController(picker_);
    picker_->view()->setFrame(CGRectMake(0, 0, 375, 567));
    view()->addSubview(picker_->view());
    picker_->didMoveToParentViewController(self());
    done =
        button("Done", CGRectMake(0, 577, 187, 80), [](AKImagePickerController& p) { p.done(); });
    cancel = button("Cancel", CGRectMake(188, 577, 187, 80),
                    [](AKImagePickerController& p) { p.dismiss(); });
  }
  CGPoint centreOf(const std::shared_ptr<UIButton>& b) const {
    return {CGRectGetMidX(b->frame()), CGRectGetMidY(b->frame())};
  }
  std::shared_ptr<UIButton> done, cancel;

 private:
  std::shared_ptr<UIButton> button(const std::string& title, CGRect frame,
                                   std::function<void(AKImagePickerController&)> action) {
    auto b = UIButton::buttonWithType(UIButtonType::System);
    b->setTitle(title, UIControlStateNormal);
    b->setFrame(frame);
    std::weak_ptr<AKImagePickerController> weak = picker_;
    b->addTarget(
        b,
        [weak, action](UIControl&, UIEvent*) {
          if (auto p = weak.lock()) action(*p);
        },
        UIControlEventTouchUpInside);
    view()->addSubview(b);
    return b;
  }
  std::shared_ptr<AKImagePickerController> picker_;
};

TEST_F(GridTest, AnEmbeddedPickerCancelledDuringItsExportTellsNoOne) {
  AKImageAssetExporterConfiguration configuration;
  configuration.exportDirectory = NSURL::fileURLWithPath(folder_->path() + "/Exports", true);
  auto exporter = AKImageAssetExporter::initWithConfiguration(configuration);
  picker = std::make_shared<AKImagePickerController>();
  picker->setInline(true);
  picker->setExporter(exporter);
  int selections = 0, cancels = 0;
  picker->setDidSelectAssets([&](const std::vector<AKAssetPtr>&) { ++selections; });
  picker->setDidCancel([&] { ++cancels; });
  auto host = std::make_shared<EmbeddingScreen>(picker);
  window = std::make_shared<UIWindow>(CGRectMake(0, 0, 375, 667));
  window->setRootViewController(host);
  window->makeKeyAndVisible();
  drainMainLoop();
  grid = std::dynamic_pointer_cast<AKAssetGroupDetailVC>(picker->topViewController());
  ASSERT_TRUE(grid);
  waitForAlbums();
  UITouchDriver hand(window);
  hand.tap(centreOf(1));
  hand.tap(centreOf(2));
  ASSERT_EQ(picker->selectedAssetIdentifiers().size(), 2u);

  // The exporter's writes wait until the cancel has come.
  auto gate = dispatch_semaphore_create(0);
  dispatch_async(AKImageAssetExporter::ioQueue(), [gate] {
    dispatch_semaphore_wait(gate, dispatch_time_after(kTestTimeoutSeconds));
  });
  hand.tap(host->centreOf(host->done));
  EXPECT_EQ(picker->exportStatus(), AKImagePickerControllerExportStatus::exporting);
  hand.tap(host->centreOf(host->cancel));
  EXPECT_EQ(picker->exportStatus(), AKImagePickerControllerExportStatus::none);
  dispatch_semaphore_signal(gate);
  // The cancelled export's end comes and changes nothing.
  EXPECT_TRUE(RunMainLoopUntil([&] {
    auto assets = picker->selectedAssets();
    return std::all_of(assets.begin(), assets.end(),
                       [](auto& a) { return a->error() || a->localTemporaryPath(); });
  }));
  advance(1);
  EXPECT_EQ(cancels, 0);
  EXPECT_EQ(selections, 0);
  EXPECT_EQ(picker->view()->superview(), host->view());  // still where the host put it
  EXPECT_EQ(picker->selectedAssetIdentifiers().size(), 2u);
}

TEST_F(GridTest, AClosedPickerLeavesNothingBehind) {
  std::weak_ptr<AKImagePickerController> weakPicker;
  std::weak_ptr<AKAssetGroupDetailVC> weakGrid;
  std::weak_ptr<AKAssetGroupListVC> weakList;
  auto root = std::make_shared<UIViewController>();
  window = std::make_shared<UIWindow>(CGRectMake(0, 0, 375, 667));
  window->setRootViewController(root);
  window->makeKeyAndVisible();
  UITouchDriver hand(window);
  {
    auto shown = std::make_shared<AKImagePickerController>();
    shown->setShowsCancelButton(true);
    shown->setAllowSwipeToSelect(true);
    root->presentViewController(shown, true);
    advance(1);
    picker = shown;
    grid = std::dynamic_pointer_cast<AKAssetGroupDetailVC>(shown->topViewController());
    ASSERT_TRUE(grid);
    waitForAlbums();
    ASSERT_TRUE(waitForThumbnails());
    weakPicker = shown;
    weakGrid = grid;
    weakList = grid->groupListVC();
    // Used the way a person uses it: a tap selects, the album list opens
    // and closes, a swipe selects a run.
    hand.tap(centreOf(2));
    auto title = grid->selectGroupButton();
    ASSERT_TRUE(title);
    CGRect b = title->bounds();
    hand.tap(title->convertPointToView({CGRectGetMidX(b), CGRectGetMidY(b)}, nullptr));
    advance(1);
    hand.tap({187, 640});  // the popover's backdrop
    advance(1);
    hand.drag({centreOf(3), centreOf(5)}, 0.3);
    advance(1);
    EXPECT_EQ(shown->selectedAssetIdentifiers().size(), 4u);
  }
  picker.reset();
  grid.reset();
  {
    // The bar's cancel item, tapped where the bar shows it.
    auto bar = weakPicker.lock()->navigationBar();
    bar->layoutIfNeeded();
    ASSERT_EQ(bar->leftItemViews().size(), 1u);
    auto cancel = bar->leftItemViews().front();
    CGRect f = cancel->bounds();
    hand.tap(cancel->convertPointToView({CGRectGetMidX(f), CGRectGetMidY(f)}, nullptr));
  }
  advance(2);
  drainMainLoop();
  EXPECT_FALSE(root->presentedViewController());
  EXPECT_TRUE(weakPicker.expired());
  EXPECT_TRUE(weakGrid.expired());
  EXPECT_TRUE(weakList.expired());
}

TEST_F(GridTest, WithOneAlbumTheTitleButtonOffersNoOtherAndOpensNothing) {
  AKImageGroupDataManagerConfiguration onlyTheLibrary;
  onlyTheLibrary.assetGroupTypes = {PHAssetCollectionSubtypeSmartAlbumUserLibrary};
  expectedAlbums = 1;
  ASSERT_TRUE(
      showPicker(nullptr, AKImagePickerController::initWithGroupDataManager(
                              AKImageGroupDataManager::initWithConfiguration(onlyTheLibrary))));
  auto title = grid->selectGroupButton();
  ASSERT_TRUE(title);
  EXPECT_EQ(title->titleForState(UIControlStateNormal), "Recents");
  EXPECT_FALSE(title->isEnabled());
  window->layoutIfNeeded();
  CGRect b = title->bounds();
  UITouchDriver hand(window);
  hand.tap(title->convertPointToView({CGRectGetMidX(b), CGRectGetMidY(b)}, nullptr));
  advance(1);
  for (auto& child : window->rootViewController()->childViewControllers()) {
    EXPECT_FALSE(std::dynamic_pointer_cast<AKPopoverViewController>(child));
  }
  EXPECT_FALSE(picker->presentedViewController());
  SaveSnapshot(RenderView(*window, 2), "picker-grid-one-album");
}

TEST_F(GridTest, EachAssetCellReadsItsAssetsIdentifierAlsoAfterReuse) {
  ASSERT_TRUE(showPicker());
  // What the driver's view tree reports for the shown cells: one shared
  // identifier per kind, and each asset's own local identifier as label.
  auto check = [&] {
    grid->collectionView()->layoutIfNeeded();
    std::set<std::string> labels;
    size_t assetCells = 0;
    for (auto& cell : grid->collectionView()->visibleCells()) {
      auto base = std::dynamic_pointer_cast<AKAssetGroupDetailBaseCell>(cell);
      ASSERT_TRUE(base);
      auto content = base->contentView();
      auto asset = base->asset();
      if (!asset) {
        EXPECT_EQ(UIViewAccessibilityIdentifier(*content), "AKImageCameraAccessibilityIdentifier");
        continue;
      }
      ++assetCells;
      bool video = asset->type() == AKAssetType::video;
      EXPECT_EQ(
          UIViewAccessibilityIdentifier(*content),
          video ? "AKVideoAssetAccessibilityIdentifier" : "AKImageAssetAccessibilityIdentifier");
      EXPECT_EQ(UIViewAccessibilityLabel(*content), asset->localIdentifier());
      labels.insert(asset->localIdentifier());
    }
    EXPECT_EQ(labels.size(), assetCells);
    EXPECT_GT(assetCells, 0u);
  };
  check();
  // Another album by touch: the same cells now show other assets.
  UITouchDriver hand(window);
  auto button = grid->selectGroupButton();
  hand.tap(button->convertPointToView(
      CGPointMake(button->bounds().size.width / 2, button->bounds().size.height / 2), nullptr));
  advance(1);
  auto table = grid->groupListVC()->tableView();
  CGRect row = table->rectForRowAtIndexPath(NSIndexPath::indexPathForRow(3, 0));
  hand.tap(table->convertPointToView(CGPointMake(CGRectGetMidX(row), CGRectGetMidY(row)), nullptr));
  advance(0.5);
  ASSERT_EQ(grid->selectedGroupId(), groupIdTitled("Trips"));
  check();
}

}  // namespace

}  // namespace screens_grid_test
