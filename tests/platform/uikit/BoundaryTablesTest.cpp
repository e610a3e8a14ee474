// Thresholds of the toolkit met exactly, just short and just past: how far a
// finger may move and still tap, when pans, edge pans, pinches and swipes
// begin, where a paging scroll view settles, how a text view rounds its
// height, and how the backlight rounds a brightness to its own steps.

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/PlatformClock.h"
#include "platform/uikit/UIBrightnessProvider.h"
#include "platform/uikit/UIFont.h"
#include "platform/uikit/UIPanGestureRecognizer.h"
#include "platform/uikit/UIPinchGestureRecognizer.h"
#include "platform/uikit/UIScrollView.h"
#include "platform/uikit/UITapGestureRecognizer.h"
#include "platform/uikit/UITextView.h"
#include "platform/uikit/UIWindow.h"
#include "platform/uikit/internal/UISwipeGestureRecognizer.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/ui/UITouchDriver.h"

namespace boundary_tables_test {

namespace {

using State = UIGestureRecognizerState;

class BoundaryTablesTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    window = std::make_shared<UIWindow>(CGRectMake(0, 0, 375, 667));
    window->makeKeyAndVisible();
    view = std::make_shared<UIView>(CGRectMake(0, 0, 375, 667));
    window->addSubview(view);
    hand = std::make_unique<UITouchDriver>(window);
    owner = std::make_shared<NSObject>();
  }
  // Counts the actions of `g` in `state`.
  void count(const std::shared_ptr<UIGestureRecognizer>& g, State state, int* n) {
    g->addTarget(owner, [state, n](UIGestureRecognizer& r) { *n += r.state() == state; });
    view->addGestureRecognizer(g);
  }
  std::shared_ptr<UIWindow> window;
  std::shared_ptr<UIView> view;
  std::unique_ptr<UITouchDriver> hand;
  std::shared_ptr<NSObject> owner;
};

TEST_F(BoundaryTablesTest, ATapAllowsTenPointsOfMovement) {
  struct Row {
    double dx, dy;
    bool tap;
  } rows[] = {{9, 0, true}, {10, 0, true}, {6, 8, true}, {11, 0, false}, {6, 8.5, false}};
  for (const Row& r : rows) {
    auto tap = std::make_shared<UITapGestureRecognizer>();
    int taps = 0;
    count(tap, State::Recognized, &taps);
    auto touches = hand->down({{100, 300}});
    hand->move(touches, {{100 + r.dx, 300 + r.dy}});
    hand->up(touches);
    EXPECT_EQ(taps, r.tap ? 1 : 0) << r.dx << "," << r.dy;
    view->removeGestureRecognizer(tap);
  }
}

TEST_F(BoundaryTablesTest, APanBeginsAtTenPointsAndAnEdgePanWithinTwentyOfTheEdge) {
  struct PanRow {
    double dx;
    bool began;
  } pans[] = {{9, false}, {9.99, false}, {10, true}, {11, true}};
  for (const PanRow& r : pans) {
    auto pan = std::make_shared<UIPanGestureRecognizer>();
    view->addGestureRecognizer(pan);
    auto touches = hand->down({{100, 300}});
    hand->move(touches, {{100 + r.dx, 300}});
    EXPECT_EQ(pan->state() == State::Began, r.began) << r.dx;
    hand->up(touches);
    view->removeGestureRecognizer(pan);
  }
  struct EdgeRow {
    double x;
    bool began;
  } edges[] = {{0, true}, {20, true}, {21, false}};
  for (const EdgeRow& r : edges) {
    auto edge = std::make_shared<UIScreenEdgePanGestureRecognizer>();
    edge->setEdges(UIRectEdgeLeft);
    int began = 0;
    count(edge, State::Began, &began);
    hand->drag({{r.x, 300}, {r.x + 150, 300}}, 0.2);
    EXPECT_EQ(began, r.began ? 1 : 0) << r.x;
    view->removeGestureRecognizer(edge);
  }
}

TEST_F(BoundaryTablesTest, APinchBeginsWhenTheSpreadChangesByEightPoints) {
  struct Row {
    double spreadChange;
    bool began;
  } rows[] = {{7, false}, {7.9, false}, {8, true}, {-8, true}, {9, true}};
  for (const Row& r : rows) {
    auto pinch = std::make_shared<UIPinchGestureRecognizer>();
    view->addGestureRecognizer(pinch);
    auto touches = hand->down({{150, 300}, {250, 300}});
    hand->move(touches, {{150 - r.spreadChange / 2, 300}, {250 + r.spreadChange / 2, 300}});
    EXPECT_EQ(pinch->state() == State::Began, r.began) << r.spreadChange;
    hand->up(touches);
    view->removeGestureRecognizer(pinch);
  }
}

TEST_F(BoundaryTablesTest, ASwipeNeedsFiftyPointsWithinHalfASecond) {
  struct Row {
    double dx, seconds;
    bool swiped;
  } rows[] = {
      {50, 0.1, true}, {49, 0.1, false}, {60, 0.5, true}, {60, 0.5 + UITouchDriver::kFrame, false}};
  for (const Row& r : rows) {
    auto swipe = std::make_shared<UISwipeGestureRecognizer>();
    int swipes = 0;
    count(swipe, State::Recognized, &swipes);
    auto touches = hand->down({{100, 300}});
    PlatformClock::advance(r.seconds);
    hand->move(touches, {{100 + r.dx, 300}});
    hand->up(touches);
    EXPECT_EQ(swipes, r.swiped ? 1 : 0) << r.dx << " in " << r.seconds;
    view->removeGestureRecognizer(swipe);
  }
}

TEST_F(BoundaryTablesTest, APagingScrollViewTurnsAtExactlyHalfAPage) {
  struct Row {
    double startOffset;
    std::vector<CGPoint> path;  // the finger, slowly
    double released, settled;
  } rows[] = {
      {0, {{250, 300}, {100, 300}}, 150, 300},  // half a page forwards: turns
      {0, {{250, 300}, {101, 300}}, 149, 0},
      {300, {{100, 300}, {250, 300}}, 150, 0},  // half a page back: turns back
      {300, {{100, 300}, {249, 300}}, 151, 300},
      {150, {{200, 300}, {150, 300}, {200, 300}}, 150, 300},  // back where it began
  };
  for (const Row& r : rows) {
    auto s = std::make_shared<UIScrollView>(CGRectMake(0, 0, 300, 600));
    s->setContentInsetAdjustmentBehavior(UIScrollViewContentInsetAdjustmentBehavior::Never);
    s->setContentSize(CGSizeMake(1200, 600));
    s->setPagingEnabled(true);
    window->addSubview(s);
    s->setContentOffset(CGPointMake(r.startOffset, 0));
    auto touch = hand->drag(r.path, 1.0, false);
    EXPECT_EQ(s->contentOffset().x, r.released) << r.startOffset << " to " << r.released;
    hand->up({touch});
    advance(2);
    EXPECT_EQ(s->contentOffset().x, r.settled) << r.startOffset << " to " << r.released;
    s->removeFromSuperview();
  }
}

TEST_F(BoundaryTablesTest, TextViewHeightRoundsUpToWholePoints) {
  auto textView = std::make_shared<UITextView>(CGRectMake(0, 0, 300, 100));
  textView->setText("One line");
  const double line = textView->font()->lineHeight();
  struct Row {
    double fraction;  // of a point past a whole number of points
    double extra;     // whole points added on top of the line
  } rows[] = {{0.3, 1}, {0.5, 1}, {0.7, 1}, {0.01, 1}};
  for (const Row& r : rows) {
    const double top = std::ceil(line) - line + r.fraction;
    textView->setTextContainerInset(UIEdgeInsets{top, 0, 0, 0});
    EXPECT_EQ(textView->sizeThatFits(CGSizeMake(300, 0)).height, std::ceil(line) + r.extra)
        << r.fraction;
  }
}

TEST_F(BoundaryTablesTest, BacklightStepsAreTheNearestToTheBrightness) {
  TempFolder folder;
  const std::string file = folder.writeFile("brightness", "0\n");
  UIBacklightBrightness backlight(file, 7, true);
  struct Row {
    double value;
    int64_t raw;
  } rows[] = {{0.5, 4},  // 3.5: halves go up
              {0.2, 1}, {0.3, 2}, {0.93, 7}, {0.0, 0}, {1.0, 7}};
  for (const Row& r : rows) {
    ASSERT_TRUE(backlight.setBrightness(r.value)) << r.value;
    std::ifstream in(file);
    int64_t raw = -1;
    in >> raw;
    EXPECT_EQ(raw, r.raw) << r.value;
  }
}

}  // namespace

}  // namespace boundary_tables_test
