#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/foundation/NSRunLoop.h"
#include "platform/uikit/UICollectionView.h"
#include "platform/uikit/UINavigationBar.h"
#include "platform/uikit/UINavigationController.h"
#include "platform/uikit/UITableView.h"
#include "platform/uikit/UITapGestureRecognizer.h"
#include "platform/uikit/UIWindow.h"
#include "support/RecordedLog.h"
#include "support/TestEnvironment.h"
#include "support/ui/SnapshotTesting.h"
#include "support/ui/UITouchDriver.h"

namespace collection_view_test {

namespace {

int gCellsMade = 0;
int gReuses = 0;

class NumberCell : public UICollectionViewCell {
 public:
  NumberCell() { ++gCellsMade; }
  int64_t number = -1;
  void prepareForReuse() override {
    UICollectionViewCell::prepareForReuse();
    ++gReuses;
  }
};

class Header : public UICollectionReusableView {};

class Source : public UICollectionViewDataSource, public UICollectionViewDelegate {
 public:
  std::vector<int64_t> counts{1000};
  std::vector<std::string> log;
  std::set<NSIndexPath> displayed;
  bool strict = true;  // index paths shift under a batch update

  int64_t numberOfSectionsInCollectionView(UICollectionView&) override {
    return static_cast<int64_t>(counts.size());
  }
  int64_t collectionViewNumberOfItemsInSection(UICollectionView&, int64_t s) override {
    return counts[static_cast<size_t>(s)];
  }
  std::shared_ptr<UICollectionViewCell> collectionViewCellForItemAtIndexPath(
      UICollectionView& cv, const NSIndexPath& path) override {
    auto cell = std::static_pointer_cast<NumberCell>(
        cv.dequeueReusableCellWithReuseIdentifier("number", path));
    cell->number = path.item;
    return cell;
  }
  std::shared_ptr<UICollectionReusableView> collectionViewViewForSupplementaryElementOfKind(
      UICollectionView& cv, const std::string& kind, const NSIndexPath& path) override {
    return cv.dequeueReusableSupplementaryViewOfKind(kind, "header", path);
  }
  void collectionViewWillDisplayCell(UICollectionView&, UICollectionViewCell&,
                                     const NSIndexPath& p) override {
    EXPECT_TRUE(displayed.insert(p).second || !strict);
  }
  void collectionViewDidEndDisplayingCell(UICollectionView&, UICollectionViewCell&,
                                          const NSIndexPath& p) override {
    EXPECT_TRUE(displayed.erase(p) == 1 || !strict);
  }
  void collectionViewDidSelectItemAtIndexPath(UICollectionView&, const NSIndexPath& p) override {
    log.push_back("select " + std::to_string(p.item));
  }
  void collectionViewDidDeselectItemAtIndexPath(UICollectionView&, const NSIndexPath& p) override {
    log.push_back("deselect " + std::to_string(p.item));
  }
};

class CollectionViewTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    gCellsMade = gReuses = 0;
    window = std::make_shared<UIWindow>(CGRectMake(0, 0, 375, 667));
    layout = std::make_shared<UICollectionViewFlowLayout>();
    layout->setItemSize(CGSizeMake(125, 125));
    layout->setMinimumInteritemSpacing(0);
    layout->setMinimumLineSpacing(0);
    cv = std::make_shared<UICollectionView>(CGRectMake(0, 0, 375, 667), layout);
    cv->registerClassForCellWithReuseIdentifier<NumberCell>("number");
    // Items here are about the content alone; the safe area has its own test.
    cv->setContentInsetAdjustmentBehavior(UIScrollViewContentInsetAdjustmentBehavior::Never);
    source = std::make_shared<Source>();
    cv->setDataSource(source);
    cv->setDelegate(source);
    window->addSubview(cv);
    cv->layoutIfNeeded();
  }

  std::set<NSIndexPath> rows(int64_t first, int64_t last) {
    std::set<NSIndexPath> out;
    for (int64_t i = first * 3; i < (last + 1) * 3; ++i) out.insert({0, i});
    return out;
  }

  std::shared_ptr<UIWindow> window;
  std::shared_ptr<UICollectionViewFlowLayout> layout;
  std::shared_ptr<UICollectionView> cv;
  std::shared_ptr<Source> source;
};

TEST_F(CollectionViewTest, OnlyVisibleItemsHaveCellsAndScrolledOffCellsAreReused) {
  EXPECT_EQ(cv->contentSize(), CGSizeMake(375, 125 * 334));
  EXPECT_EQ(source->displayed, rows(0, 5));  // 667 points show six rows of 125
  EXPECT_EQ(gCellsMade, 18);
  EXPECT_EQ(cv->visibleCells().size(), 18u);

  cv->setContentOffset(CGPointMake(0, 250));
  cv->layoutIfNeeded();
  EXPECT_EQ(source->displayed, rows(2, 7));
  EXPECT_EQ(gCellsMade, 18);  // the two rows that left came back as the new ones
  EXPECT_EQ(gReuses, 6);
  EXPECT_EQ(cv->cellForItemAtIndexPath({0, 0}), nullptr);
  auto cell = std::static_pointer_cast<NumberCell>(cv->cellForItemAtIndexPath({0, 22}));
  ASSERT_NE(cell, nullptr);
  EXPECT_EQ(cell->number, 22);
  EXPECT_EQ(cell->frame(), CGRectMake(125, 7 * 125, 125, 125));
  EXPECT_EQ(cv->indexPathForCell(cell.get()), NSIndexPath::indexPathForItem(22, 0));
  EXPECT_EQ(cv->indexPathForItemAtPoint({300, 260}), NSIndexPath::indexPathForItem(8, 0));

  // A flick through the touch driver: visibility follows the deceleration.
  UITouchDriver hand(window);
  hand.drag({{187, 600}, {187, 300}}, 0.1);
  advance(0.25);
  EXPECT_TRUE(cv->isDecelerating());
  double y = cv->contentOffset().y;
  auto first = static_cast<int64_t>(y / 125);
  auto last = static_cast<int64_t>((y + 667 - 1e-9) / 125);
  EXPECT_EQ(source->displayed, rows(first, last));
  advance(10);
  EXPECT_FALSE(cv->isDecelerating());
  EXPECT_LE(gCellsMade, 21);  // never more than seven rows at once
  EXPECT_EQ(cv->queuedCellCount("number") + cv->visibleCells().size(),
            static_cast<size_t>(gCellsMade));
}

TEST_F(CollectionViewTest, FlowLayoutSpreadsFullLinesAndPlacesHeadersAndFooters) {
  layout->setItemSize(CGSizeMake(100, 100));
  layout->setMinimumInteritemSpacing(10);
  layout->setMinimumLineSpacing(5);
  layout->setSectionInset(UIEdgeInsetsMake(8, 10, 8, 10));
  layout->setHeaderReferenceSize(CGSizeMake(0, 40));
  cv->registerClassForSupplementaryViewOfKind([] { return std::make_shared<Header>(); },
                                              UICollectionElementKindSectionHeader, "header");
  source->counts = {4, 2};
  cv->reloadData();
  cv->layoutIfNeeded();
  // 355 points of room take three items; the spare 55 goes between them.
  EXPECT_EQ(cv->layoutAttributesForItemAtIndexPath({0, 1})->frame,
            CGRectMake(137.5, 48, 100, 100));
  EXPECT_EQ(cv->layoutAttributesForItemAtIndexPath({0, 3})->frame,
            CGRectMake(10, 153, 100, 100));
  auto header = layout->layoutAttributesForSupplementaryViewOfKind(
      UICollectionElementKindSectionHeader, {1, 0});
  ASSERT_TRUE(header.has_value());
  EXPECT_EQ(header->frame, CGRectMake(0, 261, 375, 40));
  // A section of one line spreads its items to both sides; a lone item is
  // centred.
  EXPECT_EQ(cv->layoutAttributesForItemAtIndexPath({1, 1})->frame,
            CGRectMake(265, 309, 100, 100));
  EXPECT_EQ(cv->contentSize(), CGSizeMake(375, 417));
  source->counts = {1, 2};
  cv->reloadData();
  cv->layoutIfNeeded();
  EXPECT_EQ(cv->layoutAttributesForItemAtIndexPath({0, 0})->frame, CGRectMake(137.5, 48, 100, 100));
  EXPECT_NE(cv->supplementaryViewForElementKind(UICollectionElementKindSectionHeader, {1, 0}),
            nullptr);

  layout->setScrollDirection(UICollectionViewScrollDirection::Horizontal);
  cv->layoutIfNeeded();
  // Lines fill downwards now, and headers take their width from the
  // reference size (none here).
  EXPECT_EQ(cv->layoutAttributesForItemAtIndexPath({1, 0})->frame,
            CGRectMake(130, 8, 100, 100));
}

// Sizes, spacing and the footer answered per item and section.
class FlowSource : public UICollectionViewDataSource, public UICollectionViewDelegateFlowLayout {
 public:
  int64_t collectionViewNumberOfItemsInSection(UICollectionView&, int64_t) override { return 4; }
  std::shared_ptr<UICollectionViewCell> collectionViewCellForItemAtIndexPath(
      UICollectionView& cv, const NSIndexPath& path) override {
    return cv.dequeueReusableCellWithReuseIdentifier("number", path);
  }
  std::shared_ptr<UICollectionReusableView> collectionViewViewForSupplementaryElementOfKind(
      UICollectionView& cv, const std::string& kind, const NSIndexPath& path) override {
    return cv.dequeueReusableSupplementaryViewOfKind(kind, "footer", path);
  }
  std::optional<CGSize> collectionViewLayoutSizeForItemAtIndexPath(
      UICollectionView&, UICollectionViewLayout&, const NSIndexPath& p) override {
    return p.item % 2 ? CGSizeMake(50, 200) : CGSizeMake(100, 100);
  }
  std::optional<UIEdgeInsets> collectionViewLayoutInsetForSectionAtIndex(
      UICollectionView&, UICollectionViewLayout&, int64_t) override {
    return UIEdgeInsetsMake(0, 0, 0, 0);
  }
  std::optional<double> collectionViewLayoutMinimumInteritemSpacingForSectionAtIndex(
      UICollectionView&, UICollectionViewLayout&, int64_t) override {
    return 130;
  }
  std::optional<CGSize> collectionViewLayoutReferenceSizeForFooterInSection(
      UICollectionView&, UICollectionViewLayout&, int64_t) override {
    return CGSizeMake(0, 30);
  }
};

TEST_F(CollectionViewTest, FlowLayoutAsksItsDelegateForSizesSpacingAndFooters) {
  auto flow = std::make_shared<FlowSource>();
  cv->registerClassForSupplementaryViewOfKind([] { return std::make_shared<Header>(); },
                                              UICollectionElementKindSectionFooter, "footer");
  cv->setDataSource(flow);
  cv->setDelegate(flow);
  layout->setSectionInset(UIEdgeInsetsMake(20, 20, 20, 20));  // the delegate's inset wins
  cv->reloadData();
  cv->layoutIfNeeded();
  // 100 + 130 + 50 + 130 + 100 > 375: two items a line, each centred on
  // the line's tallest; the last line keeps the columns of the one before.
  EXPECT_EQ(cv->layoutAttributesForItemAtIndexPath({0, 0})->frame, CGRectMake(0, 50, 100, 100));
  EXPECT_EQ(cv->layoutAttributesForItemAtIndexPath({0, 1})->frame, CGRectMake(325, 0, 50, 200));
  EXPECT_EQ(cv->layoutAttributesForItemAtIndexPath({0, 2})->frame, CGRectMake(0, 250, 100, 100));
  EXPECT_EQ(cv->layoutAttributesForItemAtIndexPath({0, 3})->frame, CGRectMake(325, 200, 50, 200));
  auto footer = layout->layoutAttributesForSupplementaryViewOfKind(
      UICollectionElementKindSectionFooter, {0, 0});
  ASSERT_TRUE(footer.has_value());
  EXPECT_EQ(footer->frame, CGRectMake(0, 400, 375, 30));
  EXPECT_EQ(cv->contentSize(), CGSizeMake(375, 430));
  cv->setDataSource(nullptr);
  cv->setDelegate(nullptr);
}

TEST_F(CollectionViewTest, TapsSelectAndSelectionFollowsCellsIntoView) {
  UITouchDriver hand(window);
  auto tapOnCell = std::make_shared<UITapGestureRecognizer>();
  auto owner = std::make_shared<NSObject>();
  int cellTaps = 0;
  tapOnCell->addTarget(owner, [&](UIGestureRecognizer&) { ++cellTaps; });
  cv->cellForItemAtIndexPath({0, 5})->addGestureRecognizer(tapOnCell);
  hand.tap({300, 190});  // the cell's own recognizer takes this tap
  EXPECT_EQ(cellTaps, 1);
  EXPECT_FALSE(cv->isTracking());
  EXPECT_TRUE(source->log.empty());
  cv->cellForItemAtIndexPath({0, 5})->removeGestureRecognizer(tapOnCell);

  hand.tap({60, 60});
  EXPECT_EQ(source->log, (std::vector<std::string>{"select 0"}));
  EXPECT_TRUE(cv->cellForItemAtIndexPath({0, 0})->isSelected());
  hand.tap({190, 60});
  EXPECT_EQ(source->log, (std::vector<std::string>{"select 0", "deselect 0", "select 1"}));
  EXPECT_FALSE(cv->cellForItemAtIndexPath({0, 0})->isSelected());

  cv->setAllowsMultipleSelection(true);
  hand.tap({60, 60});
  hand.tap({190, 60});
  EXPECT_EQ(cv->indexPathsForSelectedItems(),
            (std::vector<NSIndexPath>{NSIndexPath::indexPathForItem(0, 0)}));
  EXPECT_EQ(source->log.back(), "deselect 1");

  // A drag is no tap.
  source->log.clear();
  hand.drag({{60, 300}, {60, 200}}, 0.2);
  advance(10);
  EXPECT_TRUE(source->log.empty());

  // Selected while off screen: the cell arrives selected; reused cells don't.
  cv->setContentOffset(CGPointZero);
  cv->layoutIfNeeded();
  cv->selectItemAtIndexPath(NSIndexPath::indexPathForItem(100, 0), false,
                            UICollectionViewScrollPositionCenteredVertically);
  EXPECT_TRUE(source->log.empty());  // no delegate call for code's selections
  EXPECT_EQ(cv->contentOffset(), CGPointMake(0, 33 * 125 + 62.5 - 333.5));
  EXPECT_TRUE(cv->cellForItemAtIndexPath({0, 100})->isSelected());
  EXPECT_FALSE(cv->cellForItemAtIndexPath({0, 101})->isSelected());

  cv->scrollToItemAtIndexPath({0, 999}, UICollectionViewScrollPositionTop, false);
  EXPECT_EQ(cv->contentOffset(), CGPointMake(0, 125 * 334 - 667));  // clamped at the end
}

TEST_F(CollectionViewTest, BatchUpdatesMoveCellsAndCheckTheCounts) {
  source->strict = false;
  auto second = cv->cellForItemAtIndexPath({0, 1});
  cv->selectItemAtIndexPath(NSIndexPath::indexPathForItem(2, 0), false,
                            UICollectionViewScrollPositionNone);
  bool done = false;
  cv->performBatchUpdates(
      [&] {
        source->counts[0] = 1000;  // one out, one in
        cv->deleteItemsAtIndexPaths({{0, 0}});
        cv->insertItemsAtIndexPaths({{0, 5}});
      },
      [&](bool finished) { done = finished; });
  EXPECT_FALSE(done);  // after the update is on screen
  drainMainLoop();
  EXPECT_TRUE(done);
  EXPECT_EQ(cv->cellForItemAtIndexPath({0, 0}), second);
  EXPECT_EQ(cv->indexPathsForSelectedItems(),
            (std::vector<NSIndexPath>{NSIndexPath::indexPathForItem(1, 0)}));
  auto visible = cv->indexPathsForVisibleItems();
  EXPECT_EQ(std::set<NSIndexPath>(visible.begin(), visible.end()), rows(0, 5));

  // A reloaded item asks the data source for its cell again.
  std::static_pointer_cast<NumberCell>(cv->cellForItemAtIndexPath({0, 3}))->number = -5;
  cv->reloadItemsAtIndexPaths({{0, 3}});
  EXPECT_EQ(std::static_pointer_cast<NumberCell>(cv->cellForItemAtIndexPath({0, 3}))->number, 3);

  // The last item deleted, then one added after the last: each adds up, so
  // the cells and the selection stay instead of starting again.
  source->counts[0] = 999;
  cv->deleteItemsAtIndexPaths({{0, 999}});
  source->counts[0] = 1000;
  cv->insertItemsAtIndexPaths({{0, 999}});
  EXPECT_EQ(cv->cellForItemAtIndexPath({0, 0}), second);
  EXPECT_EQ(cv->indexPathsForSelectedItems(),
            (std::vector<NSIndexPath>{NSIndexPath::indexPathForItem(1, 0)}));

  // Data that changed under the grid without a word: an update that does not
  // add up starts again from what the data source says now.
  source->counts[0] = 10;
  cv->insertItemsAtIndexPaths({{0, 0}});
  EXPECT_EQ(cv->numberOfItemsInSection(0), 10);
  EXPECT_TRUE(cv->indexPathsForSelectedItems().empty());
  visible = cv->indexPathsForVisibleItems();
  std::set<NSIndexPath> ten;
  for (int64_t i = 0; i < 10; ++i) ten.insert({0, i});
  EXPECT_EQ(std::set<NSIndexPath>(visible.begin(), visible.end()), ten);
  EXPECT_EQ(std::static_pointer_cast<NumberCell>(cv->cellForItemAtIndexPath({0, 9}))->number, 9);

  // Sections that come or go without a word do not add up either, even when
  // every section both sides have adds up: the grid starts again.
  struct SectionCase {
    const char* what;
    std::vector<int64_t> before, after;
    std::vector<NSIndexPath> inserted, deleted;
    bool reloads;
  };
  const SectionCase sectionCases[] = {
      {"same sections, items added up", {5}, {6}, {{0, 5}}, {}, false},
      {"a section more", {5}, {5, 3}, {}, {}, true},
      {"a section more, empty", {5}, {6, 0}, {{0, 5}}, {}, true},
      {"a section fewer, its items deleted", {5, 3}, {5}, {}, {{1, 0}, {1, 1}, {1, 2}}, true},
      {"a first section", {}, {4}, {}, {}, true},
  };
  for (const SectionCase& c : sectionCases) {
    SCOPED_TRACE(c.what);
    source->counts = c.before;
    cv->reloadData();
    cv->layoutIfNeeded();
    if (!c.before.empty()) {
      cv->selectItemAtIndexPath(NSIndexPath::indexPathForItem(1, 0), false,
                                UICollectionViewScrollPositionNone);
    }
    auto log = RecordedLog::install();
    cv->performBatchUpdates([&] {
      source->counts = c.after;
      if (!c.inserted.empty()) cv->insertItemsAtIndexPaths(c.inserted);
      if (!c.deleted.empty()) cv->deleteItemsAtIndexPaths(c.deleted);
    });
    drainMainLoop();
    const auto messages = log->messages();
    const bool fellBack = std::any_of(messages.begin(), messages.end(), [](const std::string& m) {
      return m.find("[UICollectionView] Performing reloadData as a fallback - Invalid update: "
                    "invalid number of sections. The number of sections contained after the "
                    "update") == 0;
    });
    EXPECT_EQ(fellBack, c.reloads);
    EXPECT_EQ(cv->numberOfSections(), int64_t(c.after.size()));
    // A reload drops the selection; a batch that adds up keeps it.
    EXPECT_EQ(cv->indexPathsForSelectedItems().size(), c.reloads ? 0u : 1u);
    if (c.after.size() > 1 && c.after[1] > 0) {
      EXPECT_TRUE(cv->cellForItemAtIndexPath({1, 0}));
    }
  }
  source->counts = {10};
  cv->reloadData();

  EXPECT_DEATH(cv->scrollToItemAtIndexPath({1, 0}, UICollectionViewScrollPositionTop, false),
               "beyond bounds");
  EXPECT_DEATH(cv->scrollToItemAtIndexPath({0, 10}, UICollectionViewScrollPositionTop, false),
               "index path .* beyond bounds \\(10 in section 0\\)");
  EXPECT_DEATH(cv->dequeueReusableCellWithReuseIdentifier("nobody", {0, 0}),
               "could not dequeue a view of kind: UICollectionElementKindCell with identifier "
               "nobody");
}

// A grid that lost its last items (a photo deleted while its page was shown)
// is still asked about them: it answers nothing and changes nothing.
TEST_F(CollectionViewTest, IndexPathsPastTheDataAnswerNothing) {
  cv->registerClassForSupplementaryViewOfKind([] { return std::make_shared<Header>(); },
                                              UICollectionElementKindSectionHeader, "header");
  source->counts = {8};
  cv->reloadData();
  cv->layoutIfNeeded();
  ASSERT_NE(cv->cellForItemAtIndexPath({0, 7}), nullptr);
  cv->selectItemAtIndexPath(NSIndexPath::indexPathForItem(2, 0), false,
                            UICollectionViewScrollPositionNone);
  source->counts = {7};
  cv->reloadData();
  cv->layoutIfNeeded();
  cv->selectItemAtIndexPath(NSIndexPath::indexPathForItem(2, 0), false,
                            UICollectionViewScrollPositionNone);

  struct Case {
    NSIndexPath path;
    bool inData;
  } cases[] = {
      {{0, 6}, true},    // the last item
      {{0, 7}, false},   // one past it: the page that was shown
      {{0, 8}, false},
      {{0, -1}, false},
      {{1, 0}, false},   // a section past the last
      {{-1, 0}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.description());
    EXPECT_EQ(cv->cellForItemAtIndexPath(c.path) != nullptr, c.inData);
    EXPECT_EQ(cv->layoutAttributesForItemAtIndexPath(c.path).has_value(), c.inData);
    // The data source may still dequeue for it.
    EXPECT_NE(cv->dequeueReusableCellWithReuseIdentifier("number", c.path), nullptr);
    EXPECT_NE(cv->dequeueReusableSupplementaryViewOfKind(UICollectionElementKindSectionHeader,
                                                         "header", c.path),
              nullptr);
    if (c.inData) continue;
    // Selection changes past the data leave the selection as it was.
    cv->selectItemAtIndexPath(c.path, false, UICollectionViewScrollPositionNone);
    cv->deselectItemAtIndexPath(c.path, false);
    EXPECT_EQ(cv->indexPathsForSelectedItems(),
              (std::vector<NSIndexPath>{NSIndexPath::indexPathForItem(2, 0)}));
    EXPECT_TRUE(cv->cellForItemAtIndexPath({0, 2})->isSelected());
  }
  EXPECT_EQ(cv->indexPathForItemAtPoint({10, 3 * 125 + 10}), std::nullopt);  // below the last
  EXPECT_EQ(cv->indexPathForItemAtPoint({10, -10}), std::nullopt);
  NumberCell stranger;
  EXPECT_EQ(cv->indexPathForCell(&stranger), std::nullopt);
}

// Cells painted red, so content that leaves the grid shows in pictures.
class RedCells : public Source {
 public:
  std::shared_ptr<UICollectionViewCell> collectionViewCellForItemAtIndexPath(
      UICollectionView& cv, const NSIndexPath& path) override {
    auto cell = Source::collectionViewCellForItemAtIndexPath(cv, path);
    cell->setBackgroundColor(UIColor::redColor());
    return cell;
  }
};

TEST_F(CollectionViewTest, AScrolledGridDrawsNothingOutsideItsFrame) {
  // A grid below a navigation bar, as the picker shows it, and one in a
  // sheet that starts 200 points down the window.
  auto screen = std::make_shared<UIViewController>();
  auto nav = std::make_shared<UINavigationController>(screen);
  window->setRootViewController(nav);
  window->makeKeyAndVisible();
  window->layoutIfNeeded();
  double barBottom = CGRectGetMaxY(nav->navigationBar()->frame());
  ASSERT_GT(barBottom, 40);
  auto painter = std::make_shared<RedCells>();
  auto make = [&](UIView& parent, CGRect frame) {
    auto grid = std::make_shared<UICollectionView>(frame, layout);
    grid->registerClassForCellWithReuseIdentifier<NumberCell>("number");
    grid->setContentInsetAdjustmentBehavior(UIScrollViewContentInsetAdjustmentBehavior::Never);
    grid->setDataSource(painter);
    parent.addSubview(grid);
    return grid;
  };
  screen->view()->setBackgroundColor(UIColor::whiteColor());
  auto underBar = make(*screen->view(), CGRectMake(0, barBottom, 375, 667 - barBottom));
  auto sheet = std::make_shared<UIView>(CGRectMake(0, 200, 375, 467));
  sheet->setBackgroundColor(UIColor::whiteColor());
  window->addSubview(sheet);
  auto inSheet = make(*sheet, CGRectMake(0, 60, 375, 407));
  EXPECT_TRUE(underBar->clipsToBounds());
  EXPECT_TRUE(UIScrollView().clipsToBounds());
  EXPECT_TRUE(UITableView(CGRectZero, UITableViewStyle::Plain).clipsToBounds());

  auto pixelsOf = [&](const UIImagePtr& picture) { return RGBAPixels(picture->CGImage()); };
  auto at = [](const std::vector<uint8_t>& pixels, int x, int y) {
    const uint8_t* p = &pixels[(size_t(y) * 375 + size_t(x)) * 4];
    return std::vector<uint8_t>(p, p + 4);
  };
  auto before = pixelsOf(RenderView(*window, 1));
  for (auto* grid : {underBar.get(), inSheet.get()}) grid->setContentOffset(CGPointMake(0, 300));
  auto picture = RenderView(*window, 1);
  SaveSnapshot(picture, "grid-scrolled-under-a-bar-and-in-a-sheet");
  auto after = pixelsOf(picture);
  const std::vector<uint8_t> red{255, 0, 0, 255};
  // Inside the grids: cells. Just outside, the bar and the sheet's own top
  // look as they did before the grids scrolled.
  EXPECT_EQ(at(after, 60, int(barBottom) + 1), red);
  EXPECT_EQ(at(after, 60, 200 + 60), red);
  for (int y : {int(barBottom) - 1, int(barBottom) / 2, 200 + 59, 200 + 30}) {
    EXPECT_EQ(at(after, 60, y), at(before, 60, y)) << "row " << y;
    EXPECT_NE(at(after, 60, y), red) << "row " << y;
  }
}

}  // namespace

}  // namespace collection_view_test
