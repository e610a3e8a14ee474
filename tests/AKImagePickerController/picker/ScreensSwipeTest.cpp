#include <gtest/gtest.h>

#include <set>

#include "ScreensLibrarySupport.h"
#include "platform/uikit/UIAlertController.h"
#include "support/ui/UITouchDriver.h"

namespace screens_swipe_test {

namespace {

// Counts the selection notifications the grid's picker sends.
class SelectionCounter : public NSObject, public AKImagePickerControllerObserver {
 public:
  bool imagePickerControllerDidSelectWithAssets(const std::vector<AKAssetPtr>& assets) override {
    selected += int(assets.size());
    return true;
  }
  bool imagePickerControllerDidDeselectWithAssets(const std::vector<AKAssetPtr>& assets) override {
    deselected += int(assets.size());
    return true;
  }
  int selected = 0, deselected = 0;
};

// Sixty photos, newest first: item n (n >= 1) is "p{60 - n}.png".
class SwipeTest : public ScreensLibraryTest {
 protected:
  void SetUp() override {
    ScreensLibraryTest::SetUp();
    for (int i = 0; i < 60; ++i) {
      addPhoto("p" + std::to_string(i) + ".png",
               {uint8_t(40 + i * 3), uint8_t(200 - i * 3), 120, 255}, 1000 + i);
    }
  }
  void show(int64_t maxCount = 0) {
    ASSERT_TRUE(showPicker([maxCount](AKImagePickerController& p) {
      p.setAllowSwipeToSelect(true);
      p.setMaxSelectableCount(maxCount);
    }));
    counter = std::make_shared<SelectionCounter>();
    picker->proxyObserver()->add(counter);
    hand = std::make_unique<UITouchDriver>(window);
  }
  static std::string name(int64_t item) { return "p" + std::to_string(60 - item) + ".png"; }
  std::vector<std::string> names(std::initializer_list<int64_t> items) {
    std::vector<std::string> out;
    for (auto i : items) out.push_back(name(i));
    return out;
  }
  // A point inside an item, left or right of its centre.
  CGPoint at(int64_t item, double dx = 0) {
    CGPoint c = centreOf(item);
    return CGPointMake(c.x + dx, c.y);
  }

  std::shared_ptr<SelectionCounter> counter;
  std::unique_ptr<UITouchDriver> hand;
};

TEST_F(SwipeTest, SweepsARangeAndGivesBackWhatItLeaves) {
  show();
  ASSERT_TRUE(grid->swipeGestureRecognizer());
  // Sideways from item 1 to item 3, then down to item 6 and back to item 4.
  auto finger = hand->drag({at(1, -30), at(1, 30), at(3), at(6)}, 0.4, false);
  advance(0.05);
  EXPECT_EQ(grid->fromIndexPath(), NSIndexPath::indexPathForItem(1, 0));
  EXPECT_TRUE(grid->swipingToSelect());
  EXPECT_EQ(selectedNames(), names({1, 2, 3, 4, 5, 6})) << testing::PrintToString(selectedNames());
  hand->move({finger}, {at(4)});
  advance(0.05);
  EXPECT_EQ(selectedNames(), names({1, 2, 3, 4}));
  EXPECT_FALSE(cellAt(5)->isSelected());
  hand->up({finger});
  advance(0.5);
  EXPECT_FALSE(grid->fromIndexPath());
  EXPECT_TRUE(grid->swipingIndexPathes().empty());
  // The finger crossed item 4 on its way to item 3, so 4 came and went once
  // more; what stays is the four items of the final range.
  EXPECT_EQ(counter->selected - counter->deselected, 4);
  EXPECT_GE(counter->deselected, 2);
}

TEST_F(SwipeTest, ASweepGoesOnOverTheRowsLeftWhenTheAlbumShrinksUnderIt) {
  show();
  auto finger = hand->drag({at(9, -30), at(9, 30), at(12)}, 0.3, false);
  advance(0.05);
  ASSERT_EQ(selectedNames(), names({9, 10, 11, 12}));
  // All but the four newest go: the rows the sweep began on are gone.
  for (int i = 0; i < 56; ++i) std::filesystem::remove(path("p" + std::to_string(i) + ".png"));
  synchronize();
  ASSERT_TRUE(RunMainLoopUntil([&] { return grid->collectionView()->numberOfItemsInSection(0) == 5; }));
  grid->collectionView()->layoutIfNeeded();
  EXPECT_TRUE(selectedNames().empty());
  hand->move({finger}, {at(2)});
  advance(0.05);
  EXPECT_EQ(selectedNames(), names({2, 3, 4}));
  hand->up({finger});
  advance(0.5);
}

TEST_F(SwipeTest, ASweepThatStartsOnASelectedCellDeselectsAndRestoresEarlierSelections) {
  show();
  for (int64_t item : {2, 3, 8}) {
    hand->tap(centreOf(item));
    advance(0.5);
  }
  ASSERT_EQ(selectedNames(), names({2, 3, 8}));
  counter->selected = counter->deselected = 0;

  auto finger = hand->drag({at(2, -30), at(2, 30), at(4)}, 0.3, false);
  advance(0.05);
  EXPECT_FALSE(grid->swipingToSelect());
  EXPECT_EQ(selectedNames(), names({8}));
  // Only the two that were selected are announced, once each.
  EXPECT_EQ(counter->deselected, 2);

  // Back to item 2: items 3 and 4 return to what they were before the swipe.
  hand->move({finger}, {at(2, 30)});
  advance(0.05);
  EXPECT_EQ(selectedNames(), names({8, 3}));
  EXPECT_FALSE(cellAt(4)->isSelected());
  EXPECT_EQ(counter->deselected, 2);
  EXPECT_EQ(counter->selected, 1);
  hand->up({finger});
  advance(0.5);
}

TEST_F(SwipeTest, VerticalPansScrollAndTheCameraCellStartsNothing) {
  show();
  double before = grid->collectionView()->contentOffset().y;
  hand->drag({at(4), CGPointMake(at(4).x, at(4).y - 300)}, 0.3);
  advance(2);
  EXPECT_GT(grid->collectionView()->contentOffset().y, before + 100);
  EXPECT_TRUE(picker->selectedAssetIdentifiers().empty());

  grid->collectionView()->setContentOffset(CGPointMake(0, 0), false);
  grid->collectionView()->layoutIfNeeded();
  hand->drag({at(0, -30), at(0, 30), at(2)}, 0.3);
  advance(1);
  EXPECT_TRUE(picker->selectedAssetIdentifiers().empty());
  EXPECT_FALSE(grid->fromIndexPath());
}

TEST_F(SwipeTest, RefusedAssetsStayUnselectedWithOneAlert) {
  show(3);
  hand->drag({at(1, -30), at(1, 30), at(3), at(6)}, 0.4);
  advance(1);
  EXPECT_EQ(selectedNames(), names({1, 2, 3}));
  EXPECT_TRUE(std::dynamic_pointer_cast<UIAlertController>(picker->presentedViewController()));
  EXPECT_FALSE(cellAt(4)->isSelected());
}

TEST_F(SwipeTest, AutoScrollsNearTheEdgesAtASpeedThatGrowsTowardsThem) {
  show();
  auto cv = grid->collectionView();
  CGRect visible = cv->convertRectToView(cv->bounds(), nullptr);
  double bottom = CGRectGetMaxY(visible);
  double itemHeight = grid->thumbnailSize().height / UIScreen::mainScreen()->scale();
  auto link = grid->autoScrollingLink();
  EXPECT_TRUE(link->isPaused());

  auto finger = hand->drag({at(4, -30), at(4, 30), CGPointMake(at(4, 30).x, bottom)}, 0.3, false);
  advance(0);
  EXPECT_FALSE(link->isPaused());
  EXPECT_EQ(grid->autoScrollingDirection(), AKAssetGroupDetailVC::kAutoScrollDown);
  EXPECT_NEAR(grid->autoScrollingRate(), 10, 1e-9);
  double start = cv->contentOffset().y;
  advance(10.0 / 60);
  EXPECT_NEAR(cv->contentOffset().y - start, 100, 10.5);
  // The range grows with the scroll while the finger rests.
  size_t grown = picker->selectedAssetIdentifiers().size();
  advance(10.0 / 60);
  EXPECT_GT(picker->selectedAssetIdentifiers().size(), grown);

  // Half an item from the edge: two points a frame.
  hand->move({finger}, {CGPointMake(at(4, 30).x, bottom - itemHeight / 2)});
  advance(0);
  EXPECT_NEAR(grid->autoScrollingRate(), 2, 1e-6);
  // The middle of the grid: still.
  hand->move({finger}, {CGPointMake(at(4, 30).x, CGRectGetMidY(visible))});
  advance(0);
  EXPECT_TRUE(link->isPaused());
  double rested = cv->contentOffset().y;
  advance(0.5);
  EXPECT_EQ(cv->contentOffset().y, rested);

  // Held at the bottom long enough, it stops at the end of the content.
  hand->move({finger}, {CGPointMake(at(4, 30).x, bottom)});
  advance(5);
  double maxY = cv->contentSize().height - (cv->bounds().size.height - cv->safeAreaInsets().bottom);
  EXPECT_NEAR(cv->contentOffset().y, maxY, 1e-6);
  // And at the top it goes no further than the top.
  hand->move({finger}, {CGPointMake(at(4, 30).x, CGRectGetMinY(visible))});
  advance(0);
  EXPECT_EQ(grid->autoScrollingDirection(), AKAssetGroupDetailVC::kAutoScrollUp);
  advance(10);
  EXPECT_NEAR(cv->contentOffset().y, cv->contentInset().top, 1e-6);
  hand->up({finger});
  advance(0.1);
  EXPECT_TRUE(link->isPaused());
}

TEST_F(SwipeTest, TheRunGoesFromTheCellTheFingerCameDownOnToTheCellUnderIt) {
  show();
  // Rows 2 and 3 (items 6-8 and 9-11) lie mid-screen, clear of auto-scrolling.
  // Offsets put the finger a few points from a cell's edge, so that the pan
  // begins over the neighbouring cell.
  struct Step {
    int64_t item;
    double dx;
  };
  struct Case {
    const char* what;
    std::set<int64_t> before;
    std::vector<Step> path;
    std::set<int64_t> after;
  };
  const double nearRight = 55, nearLeft = -55;
  const Case cases[] = {
      {"over and back", {}, {{6, 0}, {8, 0}, {7, 0}}, {6, 7}},
      {"landing by the right edge", {}, {{6, nearRight}, {8, 0}, {7, 0}}, {6, 7}},
      {"landing by the left edge", {}, {{8, nearLeft}, {6, 0}}, {6, 7, 8}},
      {"back past the start", {}, {{7, 0}, {8, 0}, {6, 0}}, {6, 7}},
      {"on into the next row", {}, {{6, 0}, {8, 0}, {10, 0}}, {6, 7, 8, 9, 10}},
      {"up a row and back", {}, {{9, 0}, {11, 0}, {7, 0}}, {7, 8, 9}},
      {"ending where it began", {}, {{7, 0}, {8, 0}, {7, 0}}, {7}},
      {"over a selected cell", {7}, {{6, 0}, {8, 0}}, {6, 7, 8}},
      {"from a selected cell", {7, 8}, {{7, nearLeft}, {8, 0}}, {}},
      {"from a selected cell by its edge", {7}, {{7, nearRight}, {8, 0}, {7, 0}}, {}},
      {"from the camera cell by its edge", {}, {{0, nearRight}, {2, 0}}, {}},
  };
  auto itemOf = [](const std::string& name) { return 60 - std::stoll(name.substr(1)); };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    picker->deselectAll();
    for (int64_t item : c.before) {
      hand->tap(centreOf(item));
      advance(0.5);
    }
    std::vector<CGPoint> path;
    for (const Step& step : c.path) path.push_back(at(step.item, step.dx));
    hand->drag(path, 0.4);
    advance(1);
    std::set<int64_t> after;
    for (auto& n : selectedNames()) after.insert(itemOf(n));
    EXPECT_EQ(after, c.after);
    EXPECT_EQ(grid->collectionView()->contentOffset().y,
              -grid->collectionView()->adjustedContentInset().top);
  }
}

}  // namespace

}  // namespace screens_swipe_test
