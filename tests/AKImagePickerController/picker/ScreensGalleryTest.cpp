#include <gtest/gtest.h>

#include "AKImagePickerController/picker/internal/AKImageExtensionGallery.h"
#include "AKImagePickerController/picker/internal/AKImagePickerControllerResource.h"
#include "AKPhotoGallery/AKPhotoBasePreviewVC.h"
#include "AKPhotoGallery/AKPhotoGalleryContentVC.h"
#include "AKPhotoGallery/AKPhotoGalleryItem.h"
#include "ScreensLibrarySupport.h"
#include "platform/uikit/UIAlertController.h"
#include "platform/uikit/UIBarButtonItem.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UINavigationBar.h"
#include "support/ui/SnapshotTesting.h"
#include "support/ui/UITouchDriver.h"

namespace screens_gallery_test {

namespace {

// Twelve photos, newest first: album index n is "p{11 - n}.png".
class GalleryExtensionTest : public ScreensLibraryTest {
 protected:
  void SetUp() override {
    ScreensLibraryTest::SetUp();
    registerAKPhotoGalleryClasses();
    for (int i = 0; i < 12; ++i) {
      addPhoto("p" + std::to_string(i) + ".png", {uint8_t(20 * i), 90, uint8_t(240 - 20 * i), 255}, 1000 + i);
    }
  }
  void open(const std::function<void(AKImagePickerController&)>& configure = nullptr) {
    ASSERT_TRUE(showPicker(configure));
    ASSERT_TRUE(waitForThumbnails());
    extension = std::make_shared<AKImageExtensionGallery>(
        std::make_shared<AKImageExtensionContext>(picker, grid));
  }
  std::shared_ptr<AKPhotoGallery> perform(AKImageExtensionInfo info) {
    extension->perform(info);
    advance(1.5);
    return extension->gallery();
  }
  AKImageExtensionInfo infoFor(std::optional<int64_t> index, std::shared_ptr<UIImageView> view) {
    AKImageExtensionInfo info{{"groupId", *grid->selectedGroupId()}};
    if (index) info["presentationIndex"] = *index;
    if (view) info["presentingFromImageView"] = view;
    return info;
  }
  std::shared_ptr<UIButton> selectButton(AKPhotoGallery& gallery) {
    auto item = gallery.topViewController()->navigationItem()->rightBarButtonItem();
    return item ? std::dynamic_pointer_cast<UIButton>(item->customView()) : nullptr;
  }
  static std::string name(int64_t albumIndex) { return "p" + std::to_string(11 - albumIndex) + ".png"; }
  void showPage(AKPhotoGallery& gallery, int64_t page) {
    gallery.contentVC()->updateVisibleViews(page, true, false, false);
    advance(0.5);
  }

  std::shared_ptr<AKImageExtensionGallery> extension;
};

TEST_F(GalleryExtensionTest, OpensAtThePressedAssetWithTheGridThumbnail) {
  open();
  EXPECT_EQ(AKImageExtensionGallery::extensionType(), AKImageExtensionType::gallery);
  auto view = cellAt(4)->thumbnailImageView();  // album index 3
  // The picture the cell shows as the gallery opens: a late delivery (the
  // library noticing its new files, say) may replace it while the gallery
  // comes in, after the page has taken it.
  const auto shown = view->image();
  ASSERT_TRUE(shown);
  auto gallery = perform(infoFor(3, view));
  ASSERT_TRUE(gallery);
  EXPECT_EQ(grid->presentedViewController(), gallery);
  EXPECT_EQ(extension->group()->groupId(), *grid->selectedGroupId());
  ASSERT_EQ(gallery->items()->size(), 12u);
  EXPECT_EQ(gallery->presentationIndex(), 3);
  EXPECT_EQ(gallery->currentIndex(), 3);
  EXPECT_EQ(gallery->presentingFromImageView(), view);
  EXPECT_EQ(gallery->singleTapMode(), AKPhotoGallerySingleTapMode::toggleControlView);
  for (size_t i = 0; i < 12; ++i) {
    EXPECT_EQ((*gallery->items())[i]->thumbnail(), i == 3 ? shown : nullptr) << i;
    EXPECT_EQ(std::filesystem::path((*gallery->items())[i]->asset()->record().relativePath).filename().string(),
              name(int64_t(i)));
  }
  // The bar has the back item and the select button, unchecked.
  auto navigation = gallery->topViewController()->navigationItem();
  EXPECT_EQ(navigation->leftBarButtonItem(), extension->backItem());
  auto button = selectButton(*gallery);
  ASSERT_TRUE(button);
  EXPECT_FALSE(button->isSelected());
  auto unchecked = AKImagePickerControllerResource::image("photoGallery_unchecked_image", true, true);
  EXPECT_EQ(button->backgroundImageForState(UIControlStateNormal), unchecked);
  EXPECT_DOUBLE_EQ(button->bounds().size.width, unchecked->size().width);
}

TEST_F(GalleryExtensionTest, WithoutAnIndexItOpensAtTheFirstPageWithoutPlaceholders) {
  open();
  auto gallery = perform(infoFor(std::nullopt, cellAt(4)->thumbnailImageView()));
  ASSERT_TRUE(gallery);
  EXPECT_EQ(gallery->presentationIndex(), 0);
  for (auto& item : *gallery->items()) EXPECT_FALSE(item->thumbnail());
}

TEST_F(GalleryExtensionTest, ADisplayCountLimitsThePages) {
  open();
  auto group = picker->groupDataManager()->fetchGroup(*grid->selectedGroupId());
  group->setDisplayCount(5);
  EXPECT_EQ(perform(infoFor(1, nullptr))->items()->size(), 5u);
  grid->dismissViewControllerAnimated(false);
  advance(1);
  group->setDisplayCount(40);
  EXPECT_EQ(perform(infoFor(1, nullptr))->items()->size(), 12u);
}

TEST_F(GalleryExtensionTest, BadInformationPresentsNothing) {
  open();
  EXPECT_FALSE(perform({}));
  EXPECT_FALSE(perform({{"groupId", int64_t(7)}}));
  EXPECT_FALSE(perform({{"groupId", std::string("no such album")}}));
  auto noGrid = std::make_shared<AKImageExtensionGallery>(
      std::make_shared<AKImageExtensionContext>(picker, nullptr));
  noGrid->perform(infoFor(0, nullptr));
  advance(1);
  EXPECT_FALSE(noGrid->gallery());
  EXPECT_FALSE(grid->presentedViewController());
}

TEST_F(GalleryExtensionTest, TheSelectButtonFollowsAndChangesTheSelection) {
  open();
  auto manager = picker->groupDataManager();
  auto group = manager->fetchGroup(*grid->selectedGroupId());
  picker->selectWithAsset(manager->fetchAsset(group, 0));
  auto gallery = perform(infoFor(3, nullptr));
  ASSERT_TRUE(gallery);
  auto button = selectButton(*gallery);
  ASSERT_TRUE(button);

  button->sendActionsForControlEvents(UIControlEventTouchUpInside);
  EXPECT_EQ(selectedNames(), (std::vector<std::string>{name(0), name(3)}));
  EXPECT_TRUE(button->isSelected());
  EXPECT_EQ(button->titleForState(UIControlStateSelected), "2");
  auto checked = AKImagePickerControllerResource::image("photoGallery_checked_image", true, true);
  EXPECT_GE(button->bounds().size.width, checked->size().width);

  button->sendActionsForControlEvents(UIControlEventTouchUpInside);
  EXPECT_EQ(selectedNames(), (std::vector<std::string>{name(0)}));
  EXPECT_FALSE(button->isSelected());

  // Another page: the same buttons, showing that page's asset.
  showPage(*gallery, 0);
  EXPECT_EQ(gallery->currentIndex(), 0);
  EXPECT_EQ(selectButton(*gallery), button);
  EXPECT_EQ(gallery->topViewController()->navigationItem()->leftBarButtonItem(), extension->backItem());
  EXPECT_TRUE(button->isSelected());
  EXPECT_EQ(button->titleForState(UIControlStateSelected), "1");

  // Many selected: the number needs room beyond the background image.
  for (int64_t i = 1; i < 12; ++i) picker->selectWithAsset(manager->fetchAsset(group, i));
  showPage(*gallery, 11);
  EXPECT_EQ(button->titleForState(UIControlStateSelected), "12");
  double textWidth = button->titleLabel()->sizeThatFits(CGSizeMake(100, 50)).width + 10;
  EXPECT_DOUBLE_EQ(button->bounds().size.width, std::max(checked->size().width, textWidth));
}

TEST_F(GalleryExtensionTest, ARefusedSelectionLeavesTheButtonUnchecked) {
  open([](AKImagePickerController& p) { p.setMaxSelectableCount(1); });
  auto manager = picker->groupDataManager();
  auto group = manager->fetchGroup(*grid->selectedGroupId());
  picker->selectWithAsset(manager->fetchAsset(group, 0));
  auto gallery = perform(infoFor(2, nullptr));
  auto button = selectButton(*gallery);
  button->sendActionsForControlEvents(UIControlEventTouchUpInside);
  EXPECT_FALSE(button->isSelected());
  EXPECT_EQ(selectedNames(), (std::vector<std::string>{name(0)}));
  advance(1);  // the limit alert has come up
}

TEST_F(GalleryExtensionTest, ClosingZoomsBackIntoTheCellScrolledIntoView) {
  for (int i = 12; i < 30; ++i) addPhoto("q" + std::to_string(i) + ".png", {50, 50, 50, 255}, 500 + i);
  open();
  auto gallery = perform(infoFor(0, cellAt(1)->thumbnailImageView()));
  ASSERT_TRUE(gallery);
  auto cv = grid->collectionView();
  // The grid scrolled to its end: the first asset's cell is out of view.
  cv->setContentOffset(CGPointMake(0, cv->contentSize().height - cv->bounds().size.height), false);
  cv->layoutIfNeeded();
  EXPECT_FALSE(cv->cellForItemAtIndexPath(NSIndexPath::indexPathForItem(1, 0)));
  auto view = gallery->finishedBlock()(0, (*gallery->items())[0]);
  auto cell = cv->cellForItemAtIndexPath(NSIndexPath::indexPathForItem(1, 0));
  ASSERT_TRUE(cell);
  EXPECT_EQ(view, std::dynamic_pointer_cast<AKAssetGroupDetailBaseCell>(cell)->thumbnailImageView());
  EXPECT_TRUE(CGRectContainsRect(cv->bounds(), cell->frame()));
  // Rows the grid lacks (photos deleted meanwhile) have no view, and asking
  // for one leaves the grid's cells as they are.
  const int64_t rows = cv->numberOfItemsInSection(0);
  using Row = std::pair<int64_t, int64_t>;  // item, section
  for (auto [item, section] : {Row{rows, 0}, Row{rows + 1, 0}, Row{-1, 0}, Row{1, 1}}) {
    SCOPED_TRACE(std::to_string(item) + " in " + std::to_string(section));
    EXPECT_FALSE(grid->thumbnailImageView(NSIndexPath::indexPathForItem(item, section)));
    EXPECT_EQ(cv->cellForItemAtIndexPath(NSIndexPath::indexPathForItem(1, 0)).get(), cell.get());
  }

  gallery.reset();
  extension->backItem()->trigger();
  advance(2);
  EXPECT_FALSE(grid->presentedViewController());
  EXPECT_FALSE(extension->gallery());
}

TEST_F(GalleryExtensionTest, PagesOfVanishedAssetsAreSkippedAndTheRestStayInStep) {
  open();
  auto manager = picker->groupDataManager();
  auto group = manager->fetchGroup(*grid->selectedGroupId());
  // Album index 1 has gone from the library since the album was read.
  auto objects = group->fetchResult()->objects();
  objects[objects.size() - 2] = nullptr;
  group->setFetchResult(std::make_shared<PHFetchResult<PHAsset>>(objects, nullptr));

  auto gallery = perform(infoFor(3, cellAt(4)->thumbnailImageView()));
  ASSERT_TRUE(gallery);
  ASSERT_EQ(gallery->items()->size(), 11u);
  EXPECT_EQ(extension->pageAlbumIndexes()[2], 3);
  EXPECT_EQ(gallery->presentationIndex(), 2);
  EXPECT_TRUE((*gallery->items())[2]->thumbnail());
  EXPECT_FALSE((*gallery->items())[1]->thumbnail());

  auto button = selectButton(*gallery);
  button->sendActionsForControlEvents(UIControlEventTouchUpInside);
  EXPECT_EQ(selectedNames(), (std::vector<std::string>{name(3)}));
  EXPECT_EQ(gallery->finishedBlock()(2, (*gallery->items())[2]), cellAt(4)->thumbnailImageView());

  // The newest photo leaves too: page 2's photo is a row further up, and
  // page 0's has no cell to zoom back into.
  auto shifted = objects;
  shifted.pop_back();
  group->setFetchResult(std::make_shared<PHFetchResult<PHAsset>>(shifted, nullptr));
  grid->collectionView()->reloadData();
  grid->collectionView()->layoutIfNeeded();
  EXPECT_EQ(gallery->finishedBlock()(2, (*gallery->items())[2]), cellAt(3)->thumbnailImageView());
  EXPECT_FALSE(gallery->finishedBlock()(0, (*gallery->items())[0]));
  // Page 2's select button still acts on page 2's photo.
  button->sendActionsForControlEvents(UIControlEventTouchUpInside);
  EXPECT_TRUE(selectedNames().empty());

  // Every asset gone: no gallery at all.
  std::vector<PHAssetPtr> none(objects.size(), nullptr);
  group->setFetchResult(std::make_shared<PHFetchResult<PHAsset>>(none, nullptr));
  grid->dismissViewControllerAnimated(false);
  advance(1);
  extension->perform(infoFor(0, nullptr));
  advance(1);
  EXPECT_FALSE(grid->presentedViewController());
}

// The photo a page shows deleted from the library while it shows: its select
// button selects nothing (not the photo that took its place in the album),
// and closing shrinks the page away instead of zooming into a cell, which
// would be another photo's. With the photo still there, both act on it.
TEST_F(GalleryExtensionTest, APageWhosePhotoWasDeletedSelectsNothingAndClosesIntoNoCell) {
  open();
  UITouchDriver hand(window);
  for (const bool deleted : {false, true}) {
    SCOPED_TRACE(deleted ? "deleted" : "still there");
    hand.longPress(centreOf(4), 0.6);  // album index 3, p8
    advance(1.5);
    auto gallery = std::dynamic_pointer_cast<AKPhotoGallery>(grid->presentedViewController());
    ASSERT_TRUE(gallery);
    ASSERT_EQ(gallery->currentIndex(), 3);
    if (deleted) {
      std::filesystem::remove(path("p8.png"));
      synchronize();
      grid->collectionView()->layoutIfNeeded();
      ASSERT_EQ(grid->collectionView()->numberOfItemsInSection(0), 12);  // camera and 11
      ASSERT_EQ(cellAt(4)->asset()->originalAsset()->record().relativePath, "p7.png");
    }
    auto button = selectButton(*gallery);
    ASSERT_TRUE(button);
    window->layoutIfNeeded();
    CGRect b = button->bounds();
    hand.tap(button->convertPointToView({CGRectGetMidX(b), CGRectGetMidY(b)}, nullptr));
    advance(0.5);
    EXPECT_EQ(selectedNames(), deleted ? std::vector<std::string>{} : std::vector<std::string>{"p8.png"});
    EXPECT_EQ(button->isSelected(), !deleted);

    // Dragged down: the cell the page zooms into hides while the page flies there.
    auto hiddenThumbnails = [&] {
      std::vector<std::string> names;
      for (auto& cell : grid->collectionView()->visibleCells()) {
        auto base = std::dynamic_pointer_cast<AKAssetGroupDetailBaseCell>(cell);
        if (base && base->asset() && base->thumbnailImageView()->isHidden()) {
          names.push_back(base->asset()->originalAsset()->record().relativePath);
        }
      }
      return names;
    };
    const std::vector<std::string> zoomedInto =
        deleted ? std::vector<std::string>{} : std::vector<std::string>{"p8.png"};
    hand.drag({{187, 300}, {190, 380}, {193, 560}}, 0.3);
    EXPECT_EQ(hiddenThumbnails(), zoomedInto);
    advance(0.1);
    EXPECT_EQ(hiddenThumbnails(), zoomedInto);
    advance(1.5);
    EXPECT_FALSE(grid->presentedViewController());
    EXPECT_TRUE(hiddenThumbnails().empty());
    EXPECT_EQ(selectedNames(), deleted ? std::vector<std::string>{} : std::vector<std::string>{"p8.png"});
    if (!deleted) {
      hand.tap(centreOf(4));  // deselected in the grid for the next round
      advance(0.5);
      ASSERT_TRUE(selectedNames().empty());
    }
  }
}

TEST_F(GalleryExtensionTest, SwipesThroughALongPressedGalleryTurnOnePageEach) {
  open();
  UITouchDriver hand(window);
  hand.longPress(centreOf(4), 0.6);  // album index 3
  advance(1.5);
  auto gallery = std::dynamic_pointer_cast<AKPhotoGallery>(grid->presentedViewController());
  ASSERT_TRUE(gallery);
  ASSERT_EQ(gallery->currentIndex(), 3);
  auto swipe = [&](double dx) {
    double from = dx < 0 ? 300 : 75;
    hand.drag({{from, 400}, {from + dx, 400}}, 0.15);
    advance(1.5);
    return gallery->currentIndex();
  };
  EXPECT_EQ(swipe(-220), 4);
  EXPECT_EQ(swipe(-220), 5);
  EXPECT_EQ(swipe(220), 4);
  SaveSnapshot(RenderView(*window, 1), "picker-gallery-swiped");

  // Zoomed in, a drag pans the photo first and turns the page only once the
  // photo's edge has come into view.
  auto page = std::dynamic_pointer_cast<AKPhotoBasePreviewVC>(
      gallery->contentVC()->visibleVCForItem((*gallery->items())[4]));
  ASSERT_TRUE(page);
  // The photo itself, not its thumbnail: its arrival sets the zoom anew.
  ASSERT_TRUE(RunMainLoopUntil([&] {
    auto picture = std::dynamic_pointer_cast<UIImageView>(page->contentView());
    return picture && picture->image() && picture->contentMode() != UIViewContentModeCenter;
  }));
  hand.tap({187, 333}, 2);
  advance(1);
  auto zoom = page->scrollView();
  ASSERT_GT(zoom->zoomScale(), 1);
  double before = zoom->contentOffset().x;
  double toEdge = zoom->maximumContentOffset().x - before;
  ASSERT_GT(toEdge, 100);
  // A slow drag that rests before lifting: no flick.
  auto slowDrag = [&](double dx) {
    auto finger = hand.drag({{340, 400}, {340 + dx, 400}}, 0.8, false);
    advance(0.2);
    hand.up({finger});
    advance(1.5);
    return gallery->currentIndex();
  };
  EXPECT_EQ(slowDrag(-60), 4);
  EXPECT_NEAR(zoom->contentOffset().x, before + 60, 1e-6);
  EXPECT_EQ(slowDrag(-(toEdge - 60) - 100), 4);
  EXPECT_NEAR(zoom->contentOffset().x, zoom->maximumContentOffset().x, 1e-6);
  EXPECT_EQ(swipe(-220), 5);
}

TEST_F(GalleryExtensionTest, TheSelectButtonShowsItsImageAndATapOnTheBarSelects) {
  open();
  UITouchDriver hand(window);
  hand.longPress(centreOf(4), 0.6);  // album index 3
  advance(1.5);
  // The picker's own gallery extension opened it.
  auto gallery = std::dynamic_pointer_cast<AKPhotoGallery>(grid->presentedViewController());
  ASSERT_TRUE(gallery);
  auto button = selectButton(*gallery);
  ASSERT_TRUE(button);
  auto unchecked =
      AKImagePickerControllerResource::image("photoGallery_unchecked_image", true, true);
  auto checked = AKImagePickerControllerResource::image("photoGallery_checked_image", true, true);
  EXPECT_EQ(button->bounds().size, unchecked->size());
  window->layoutIfNeeded();
  auto tapButton = [&] {
    CGRect b = button->bounds();
    hand.tap(button->convertPointToView({CGRectGetMidX(b), CGRectGetMidY(b)}, nullptr));
    advance(0.5);
  };
  tapButton();
  EXPECT_EQ(selectedNames(), (std::vector<std::string>{name(3)}));
  EXPECT_TRUE(button->isSelected());
  EXPECT_EQ(button->bounds().size.height, unchecked->size().height);
  EXPECT_GE(button->bounds().size.width, checked->size().width);
  SaveSnapshot(RenderView(*window, 2), "picker-gallery-select-button-checked");
  tapButton();
  EXPECT_TRUE(selectedNames().empty());
  EXPECT_FALSE(button->isSelected());
  EXPECT_EQ(button->bounds().size, unchecked->size());
}

}  // namespace

}  // namespace screens_gallery_test
