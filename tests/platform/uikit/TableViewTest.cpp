#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/uikit/UITableView.h"
#include "platform/uikit/UIWindow.h"
#include "support/TestEnvironment.h"
#include "support/ui/ScriptedDisplay.h"
#include "support/ui/UITouchDriver.h"

namespace table_view_test {

namespace {

int gMade = 0;

class RowCell : public UITableViewCell {
 public:
  RowCell() { ++gMade; }
};

class Rows : public UITableViewDataSource, public UITableViewDelegate {
 public:
  std::vector<int64_t> counts{100};
  std::vector<std::string> log;
  bool tallFirstRow = false;
  int64_t numberOfSectionsInTableView(UITableView&) override {
    return static_cast<int64_t>(counts.size());
  }
  int64_t tableViewNumberOfRowsInSection(UITableView&, int64_t s) override {
    return counts[static_cast<size_t>(s)];
  }
  std::shared_ptr<UITableViewCell> tableViewCellForRowAtIndexPath(UITableView& t,
                                                                  const NSIndexPath& p) override {
    return t.dequeueReusableCellWithIdentifier("row", p);
  }
  std::optional<double> tableViewHeightForRowAtIndexPath(UITableView&,
                                                         const NSIndexPath& p) override {
    if (tallFirstRow && p.row() == 0) return 100.0;
    return std::nullopt;
  }
  std::optional<double> tableViewHeightForHeaderInSection(UITableView&, int64_t s) override {
    return s > 0 ? std::optional<double>(30) : std::nullopt;
  }
  std::shared_ptr<UIView> tableViewViewForHeaderInSection(UITableView&, int64_t) override {
    return std::make_shared<UIView>();
  }
  void tableViewWillDisplayCell(UITableView&, UITableViewCell&, const NSIndexPath& p) override {
    log.push_back("show " + std::to_string(p.row()));
  }
  void tableViewDidEndDisplayingCell(UITableView&, UITableViewCell&,
                                     const NSIndexPath& p) override {
    log.push_back("hide " + std::to_string(p.row()));
  }
  void tableViewDidSelectRowAtIndexPath(UITableView&, const NSIndexPath& p) override {
    log.push_back("select " + std::to_string(p.row()));
  }
};

class TableViewTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    gMade = 0;
    window = std::make_shared<UIWindow>(CGRectMake(0, 0, 375, 667));
    table = std::make_shared<UITableView>(CGRectMake(0, 0, 375, 667));
    table->registerClassForCellReuseIdentifier<RowCell>("row");
    // Rows here are about the content alone; the safe area has its own test.
    table->setContentInsetAdjustmentBehavior(UIScrollViewContentInsetAdjustmentBehavior::Never);
    rows = std::make_shared<Rows>();
    table->setDataSource(rows);
    table->setDelegate(rows);
    window->addSubview(table);
    table->layoutIfNeeded();
  }
  std::shared_ptr<UIWindow> window;
  std::shared_ptr<UITableView> table;
  std::shared_ptr<Rows> rows;
};

TEST_F(TableViewTest, RowsComeAndGoWithScrollingAndCellsAreReused) {
  EXPECT_EQ(table->contentSize(), CGSizeMake(375, 4400));
  EXPECT_EQ(table->visibleCells().size(), 16u);  // rows 0 to 15 meet 667 points
  EXPECT_EQ(rows->log.front(), "show 0");
  EXPECT_EQ(rows->log.back(), "show 15");
  rows->log.clear();
  table->setContentOffset(CGPointMake(0, 440));
  table->layoutIfNeeded();
  EXPECT_EQ(table->indexPathsForVisibleRows().front(), NSIndexPath::indexPathForRow(10, 0));
  EXPECT_EQ(table->indexPathsForVisibleRows().back(), NSIndexPath::indexPathForRow(25, 0));
  EXPECT_EQ(rows->log.front(), "hide 0");
  EXPECT_EQ(rows->log.back(), "show 25");
  EXPECT_EQ(gMade, 16);
  EXPECT_EQ(table->cellForRowAtIndexPath({0, 3}), nullptr);
  EXPECT_EQ(table->cellForRowAtIndexPath({0, 12})->frame(), CGRectMake(0, 528, 375, 44));
  EXPECT_EQ(table->indexPathForRowAtPoint({10, 530}), NSIndexPath::indexPathForRow(12, 0));
  EXPECT_EQ(table->dequeueReusableCellWithIdentifier("unknown"), nullptr);
  EXPECT_DEATH(table->dequeueReusableCellWithIdentifier("unknown", {0, 0}),
               "unable to dequeue a cell with identifier unknown");

  // Past the data a look-up answers nothing and selection stays as it was;
  // asking for a row's place there is the caller's mistake.
  table->selectRowAtIndexPath(NSIndexPath::indexPathForRow(12, 0), false,
                              UITableViewScrollPosition::None);
  for (NSIndexPath path : {NSIndexPath{0, 100}, NSIndexPath{0, 101}, NSIndexPath{1, 0},
                           NSIndexPath{0, -1}}) {
    SCOPED_TRACE(path.description());
    EXPECT_EQ(table->cellForRowAtIndexPath(path), nullptr);
    table->selectRowAtIndexPath(path, false, UITableViewScrollPosition::None);
    table->deselectRowAtIndexPath(path, false);
    EXPECT_EQ(table->indexPathsForSelectedRows(),
              (std::vector<NSIndexPath>{NSIndexPath::indexPathForRow(12, 0)}));
    EXPECT_NE(table->dequeueReusableCellWithIdentifier("row", path), nullptr);
  }
  EXPECT_NE(table->cellForRowAtIndexPath({0, 12}), nullptr);  // the last row shown
  EXPECT_EQ(table->indexPathForRowAtPoint({10, 100 * 44}), std::nullopt);  // below the last
  table->deselectRowAtIndexPath({0, 12}, false);
  EXPECT_TRUE(table->indexPathsForSelectedRows().empty());
  EXPECT_DEATH(table->rectForRowAtIndexPath({0, 100}), "beyond bounds");
  EXPECT_DEATH(table->scrollToRowAtIndexPath({1, 0}, UITableViewScrollPosition::Top, false),
               "beyond bounds");

  // Heights and headers from the delegate.
  rows->tallFirstRow = true;
  rows->counts = {2, 3};
  table->reloadData();
  table->setContentOffset(CGPointZero);
  table->layoutIfNeeded();
  EXPECT_EQ(table->rectForRowAtIndexPath({0, 1}), CGRectMake(0, 100, 375, 44));
  EXPECT_EQ(table->rectForRowAtIndexPath({1, 0}), CGRectMake(0, 174, 375, 100));
  ASSERT_NE(table->headerViewForSection(1), nullptr);
  EXPECT_EQ(table->headerViewForSection(1)->frame(), CGRectMake(0, 144, 375, 30));

  table->scrollToRowAtIndexPath({1, 2}, UITableViewScrollPosition::Bottom, false);
  EXPECT_EQ(table->contentOffset(), CGPointMake(0, 0));  // everything fits: clamped
}

TEST_F(TableViewTest, TapsSelectRowsAndBatchUpdatesKeepSelectionOnItsRow) {
  UITouchDriver hand(window);
  hand.tap({100, 100});  // row 2
  EXPECT_EQ(rows->log.back(), "select 2");
  EXPECT_EQ(table->indexPathForSelectedRow(), NSIndexPath::indexPathForRow(2, 0));
  EXPECT_TRUE(table->cellForRowAtIndexPath({0, 2})->isSelected());

  bool done = false;
  table->performBatchUpdates(
      [&] {
        rows->counts[0] = 99;
        table->deleteRowsAtIndexPaths({{0, 0}}, UITableViewRowAnimation::Automatic);
      },
      [&](bool finished) { done = finished; });
  drainMainLoop();
  EXPECT_TRUE(done);
  EXPECT_EQ(table->indexPathForSelectedRow(), NSIndexPath::indexPathForRow(1, 0));
  EXPECT_TRUE(table->cellForRowAtIndexPath({0, 1})->isSelected());
  EXPECT_EQ(table->contentSize().height, 99 * 44);
  EXPECT_DEATH(table->deleteRowsAtIndexPaths({{0, 200}}, UITableViewRowAnimation::Fade),
               "attempt to delete");

  // A batch whose counts do not add up stops, the rows' as the sections'.
  struct Case {
    const char* what;
    std::vector<int64_t> after;
    std::vector<NSIndexPath> inserted;
    const char* stop;  // nullptr: the batch is taken
  };
  const Case cases[] = {
      {"a row added and said", {100}, {{0, 0}}, nullptr},
      {"a row added unsaid", {101}, {}, "invalid number of rows in section 0"},
      {"a section added unsaid", {100, 4}, {}, "invalid number of sections"},
      {"an empty section added unsaid", {101, 0}, {{0, 0}}, "invalid number of sections"},
      {"the only section gone", {}, {}, "invalid number of sections"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto batch = [&] {
      table->performBatchUpdates([&] {
        rows->counts = c.after;
        if (!c.inserted.empty()) {
          table->insertRowsAtIndexPaths(c.inserted, UITableViewRowAnimation::Automatic);
        }
      });
    };
    if (c.stop) {
      EXPECT_DEATH(batch(), c.stop);
    } else {
      batch();
      EXPECT_EQ(table->indexPathForSelectedRow(), NSIndexPath::indexPathForRow(2, 0));
      EXPECT_EQ(table->numberOfRowsInSection(0), 100);
    }
  }
}

TEST_F(TableViewTest, AListStartsBelowTheSafeAreaWhateverItsLength) {
  UseScreenProfile(UIScreenProfile::phoneWithNotch());
  auto notched = std::make_shared<UIWindow>(CGRectMake(0, 0, 390, 844));
  notched->makeKeyAndVisible();
  for (int64_t count : {0, 1, 19, 20, 100}) {
    SCOPED_TRACE(count);
    auto list = std::make_shared<UITableView>(CGRectMake(0, 0, 390, 844));
    list->registerClassForCellReuseIdentifier<RowCell>("row");
    auto source = std::make_shared<Rows>();
    source->counts = {count};
    list->setDataSource(source);
    list->setDelegate(source);
    notched->addSubview(list);
    drainMainLoop();
    // 19 rows of 44 points are shorter than the window, 20 are longer.
    EXPECT_EQ(list->contentSize().height, 44.0 * double(count));
    EXPECT_EQ(list->adjustedContentInset(), UIEdgeInsetsMake(47, 0, 34, 0));
    EXPECT_EQ(list->contentOffset(), CGPointMake(0, -47));
    if (count > 0) {
      EXPECT_EQ(list->visibleCells().front()->convertPointToView({0, 0}, nullptr).y, 47);
    }
    list->removeFromSuperview();
  }
}

}  // namespace

}  // namespace table_view_test
