#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "platform/uikit/UIPanGestureRecognizer.h"
#include "platform/uikit/UIScrollView.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIWindow.h"
#include "support/TestEnvironment.h"
#include "support/ui/UITouchDriver.h"
#include "support/ui/ScriptedDisplay.h"

namespace scroll_view_test {

namespace {

// Writes down the delegate calls (scrolls collapsed into one entry per run).
class Recorder : public UIScrollViewDelegate {
 public:
  std::vector<std::string> calls;
  CGPoint velocity;
  CGPoint proposedTarget;
  std::optional<CGPoint> overrideTarget;
  std::shared_ptr<UIView> zoomView;
  double endedScale = 0;
  int scrolls = 0;

  void note(const std::string& s) {
    if (s == "didScroll" && !calls.empty() && calls.back() == s) return;
    calls.push_back(s);
  }
  void scrollViewDidScroll(UIScrollView&) override {
    ++scrolls;
    note("didScroll");
  }
  void scrollViewWillBeginDragging(UIScrollView&) override { note("willBeginDragging"); }
  void scrollViewWillEndDragging(UIScrollView&, CGPoint v, CGPoint* target) override {
    velocity = v;
    proposedTarget = *target;
    if (overrideTarget) *target = *overrideTarget;
    note("willEndDragging");
  }
  void scrollViewDidEndDragging(UIScrollView&, bool decelerate) override {
    note(decelerate ? "didEndDragging(decelerate)" : "didEndDragging");
  }
  void scrollViewWillBeginDecelerating(UIScrollView&) override { note("willBeginDecelerating"); }
  void scrollViewDidEndDecelerating(UIScrollView&) override { note("didEndDecelerating"); }
  void scrollViewDidEndScrollingAnimation(UIScrollView&) override {
    note("didEndScrollingAnimation");
  }
  std::shared_ptr<UIView> viewForZoomingInScrollView(UIScrollView&) override { return zoomView; }
  void scrollViewWillBeginZooming(UIScrollView&, UIView*) override { note("willBeginZooming"); }
  void scrollViewDidZoom(UIScrollView&) override { note("didZoom"); }
  void scrollViewDidEndZooming(UIScrollView&, UIView*, double scale) override {
    endedScale = scale;
    note("didEndZooming");
  }
};

using Calls = std::vector<std::string>;

class ScrollViewTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    window = std::make_shared<UIWindow>(CGRectMake(0, 0, 375, 667));
    scroll = std::make_shared<UIScrollView>(CGRectMake(0, 0, 375, 667));
    // Offsets here are about the content alone; the safe area has its own test.
    scroll->setContentInsetAdjustmentBehavior(UIScrollViewContentInsetAdjustmentBehavior::Never);
    window->addSubview(scroll);
    scroll->setContentSize(CGSizeMake(375, 2000));
    recorder = std::make_shared<Recorder>();
    scroll->setDelegate(recorder);
    hand = std::make_unique<UITouchDriver>(window);
  }

  // A drag whose finger rests before lifting, so nothing is left to decelerate.
  void placedDrag(CGPoint from, CGPoint to) {
    auto touch = hand->drag({from, to}, 0.3, false);
    advance(0.2);
    hand->up({touch});
  }

  std::shared_ptr<UIWindow> window;
  std::shared_ptr<UIScrollView> scroll;
  std::shared_ptr<Recorder> recorder;
  std::unique_ptr<UITouchDriver> hand;
};

TEST_F(ScrollViewTest, DragFollowsTheFingerAndReportsInOrder) {
  auto touch = hand->down({{187, 500}});
  EXPECT_TRUE(scroll->isTracking());
  EXPECT_FALSE(scroll->isDragging());
  for (int i = 1; i <= 20; ++i) {
    advance(UITouchDriver::kFrame);
    hand->move(touch, {{187, 500.0 - 10 * i}});
  }
  EXPECT_TRUE(scroll->isDragging());
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(0, 200));
  advance(0.2);
  hand->up(touch);
  EXPECT_FALSE(scroll->isTracking());
  EXPECT_FALSE(scroll->isDragging());
  EXPECT_FALSE(scroll->isDecelerating());
  EXPECT_EQ(recorder->calls,
            (Calls{"willBeginDragging", "didScroll", "willEndDragging", "didEndDragging"}));
  EXPECT_EQ(recorder->proposedTarget, CGPointMake(0, 200));
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(0, 200));

  // A horizontal slide does not move content that only scrolls vertically.
  placedDrag({300, 300}, {100, 300});
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(0, 200));

  scroll->setScrollEnabled(false);
  recorder->calls.clear();
  placedDrag({187, 500}, {187, 300});
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(0, 200));
  EXPECT_TRUE(recorder->calls.empty());
}

TEST_F(ScrollViewTest, FlickDeceleratesExponentiallyOnTheClock) {
  hand->drag({{187, 500}, {187, 400}}, 0.1);  // 1,000 points per second
  CGPoint start = scroll->contentOffset();
  EXPECT_EQ(start, CGPointMake(0, 100));
  EXPECT_NEAR(recorder->velocity.y, 1.0, 0.05);  // points per millisecond
  double rate = UIScrollView::UIScrollViewDecelerationRateNormal;
  double target = 100 + recorder->velocity.y * rate / (1 - rate);
  EXPECT_NEAR(recorder->proposedTarget.y, target, 1e-6);
  EXPECT_TRUE(scroll->isDecelerating());
  EXPECT_EQ(recorder->calls, (Calls{"willBeginDragging", "didScroll", "willEndDragging",
                                    "didEndDragging(decelerate)", "willBeginDecelerating"}));

  advance(0.5);
  double expected = 100 + (target - 100) * (1 - std::pow(rate, 500));
  EXPECT_NEAR(scroll->contentOffset().y, expected, 3);
  EXPECT_TRUE(scroll->isDecelerating());
  advance(10);
  EXPECT_FALSE(scroll->isDecelerating());
  EXPECT_NEAR(scroll->contentOffset().y, target, 1e-9);
  EXPECT_EQ(recorder->calls.back(), "didEndDecelerating");
  EXPECT_EQ(recorder->calls[recorder->calls.size() - 2], "didScroll");

  // The fast rate stops sooner.
  scroll->setDecelerationRate(UIScrollView::UIScrollViewDecelerationRateFast);
  hand->drag({{187, 500}, {187, 400}}, 0.1);
  double from = scroll->contentOffset().y;
  EXPECT_NEAR(recorder->proposedTarget.y - from, recorder->velocity.y * 99, 1e-6);
  advance(1);
  EXPECT_FALSE(scroll->isDecelerating());
}

TEST_F(ScrollViewTest, DelegateMovesTheTargetAndTheEdgeClampsIt) {
  recorder->overrideTarget = CGPointMake(0, 640);
  hand->drag({{187, 500}, {187, 400}}, 0.1);
  advance(10);
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(0, 640));

  // Flung hard towards the end: the proposed target stops at the last offset.
  recorder->overrideTarget.reset();
  hand->drag({{187, 600}, {187, 100}}, 0.1);
  EXPECT_EQ(recorder->proposedTarget, CGPointMake(0, 2000 - 667));
  advance(10);
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(0, 2000 - 667));
}

TEST_F(ScrollViewTest, PullingPastAnEdgeRubberBandsAndBouncesBack) {
  auto touch = hand->drag({{187, 200}, {187, 400}}, 0.3, false);
  double pulled = scroll->contentOffset().y;
  EXPECT_LT(pulled, 0);
  EXPECT_GT(pulled, -200);  // resists the finger
  advance(0.2);
  hand->up({touch});
  EXPECT_EQ(recorder->calls.back(), "willBeginDecelerating");
  EXPECT_EQ(recorder->proposedTarget, CGPointMake(0, 0));
  advance(2);
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(0, 0));
  EXPECT_EQ(recorder->calls.back(), "didEndDecelerating");

  scroll->setBounces(false);
  touch = hand->drag({{187, 200}, {187, 400}}, 0.3, false);
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(0, 0));
  hand->up({touch});

  // Content shorter than the view scrolls only when told to bounce.
  scroll->setBounces(true);
  scroll->setContentSize(CGSizeMake(375, 300));
  recorder->calls.clear();
  placedDrag({187, 200}, {187, 400});
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(0, 0));
  scroll->setAlwaysBounceVertical(true);
  touch = hand->drag({{187, 200}, {187, 400}}, 0.3, false);
  EXPECT_LT(scroll->contentOffset().y, 0);
  hand->up({touch});
  advance(2);
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(0, 0));
}

TEST_F(ScrollViewTest, TheRubberBandFollowsThePlatformsCurveAndEveryInsetBoundsTheOffset) {
  // Pulled 200 points past the top of a 667-point view, the content moves
  // (1 - 1 / (200 × 0.55 / 667 + 1)) × 667 = 94.4 points.
  auto touch = hand->drag({{187, 200}, {187, 400}}, 0.3, false);
  EXPECT_NEAR(scroll->contentOffset().y, -(1 - 1 / (200 * 0.55 / 667 + 1)) * 667, 0.5);
  hand->up({touch});
  advance(2);

  // Each inset widens the range on its own side.
  scroll->setContentSize(CGSizeMake(1000, 2000));
  scroll->setContentInset(UIEdgeInsetsMake(10, 20, 40, 30));
  EXPECT_EQ(scroll->minimumContentOffset(), CGPointMake(-20, -10));
  EXPECT_EQ(scroll->maximumContentOffset(), CGPointMake(1000 + 30 - 375, 2000 + 40 - 667));
}

TEST_F(ScrollViewTest, AFingerCatchesADeceleratingScrollView) {
  hand->drag({{187, 500}, {187, 400}}, 0.1);
  advance(0.3);
  double caught = scroll->contentOffset().y;
  recorder->calls.clear();
  auto touch = hand->down({{187, 300}});
  EXPECT_FALSE(scroll->isDecelerating());
  advance(1);
  EXPECT_EQ(scroll->contentOffset().y, caught);
  hand->up(touch);
  EXPECT_TRUE(recorder->calls.empty());  // no didEndDecelerating
}

TEST_F(ScrollViewTest, PagingSettlesOnPageBoundaries) {
  scroll->setContentSize(CGSizeMake(375 * 3, 667));
  scroll->setPagingEnabled(true);
  placedDrag({300, 300}, {200, 300});  // a third of a page, no flick: back
  advance(2);
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(0, 0));
  hand->drag({{300, 300}, {250, 300}}, 0.1);  // a short flick: next page
  EXPECT_EQ(recorder->proposedTarget, CGPointMake(375, 0));
  advance(2);
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(375, 0));
  EXPECT_EQ(recorder->calls.back(), "didEndDecelerating");
}

TEST_F(ScrollViewTest, AnimatedOffsetChangesRunOnTheClockAndAreObservable) {
  std::vector<double> seen;
  auto observation = scroll->observe("contentOffset", 0, [&](NSObject*, const Value& change) {
    (void)change;
    seen.push_back(scroll->contentOffset().y);
  });
  scroll->setContentOffset(CGPointMake(0, 300), true);
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(0, 0));
  advance(UIScrollView::kAnimationDuration / 2);
  EXPECT_GT(scroll->contentOffset().y, 150);  // eases out
  EXPECT_LT(scroll->contentOffset().y, 300);
  advance(UIScrollView::kAnimationDuration);
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(0, 300));
  EXPECT_EQ(recorder->calls, (Calls{"didScroll", "didEndScrollingAnimation"}));
  EXPECT_GT(seen.size(), 5u);
  EXPECT_EQ(seen.back(), 300);
  observation->invalidate();

  // Not clamped when set directly, as on the platform.
  scroll->setContentOffset(CGPointMake(0, 5000));
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(0, 5000));
  scroll->setContentInset(UIEdgeInsetsMake(50, 0, 20, 0));
  EXPECT_EQ(scroll->minimumContentOffset(), CGPointMake(0, -50));
  EXPECT_EQ(scroll->maximumContentOffset(), CGPointMake(0, 2000 + 20 - 667));
  scroll->scrollRectToVisible(CGRectMake(0, 100, 10, 10), false);
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(0, 100));
}

TEST_F(ScrollViewTest, ContentSeesTouchesLateAndNotAtAllWhenADragStarts) {
  class Content : public UIView {
   public:
    using UIView::UIView;
    std::vector<std::string> calls;
    void touchesBegan(const UITouchSet&, UIEvent*) override { calls.push_back("began"); }
    void touchesEnded(const UITouchSet&, UIEvent*) override { calls.push_back("ended"); }
    void touchesCancelled(const UITouchSet&, UIEvent*) override { calls.push_back("cancelled"); }
  };
  auto content = std::make_shared<Content>(CGRectMake(0, 0, 375, 2000));
  scroll->addSubview(content);
  auto touch = hand->down({{100, 100}});
  advance(UIScrollView::kContentTouchDelay / 2);
  EXPECT_TRUE(content->calls.empty());
  advance(UIScrollView::kContentTouchDelay);
  EXPECT_EQ(content->calls, (Calls{"began"}));
  hand->up(touch);
  EXPECT_EQ(content->calls, (Calls{"began", "ended"}));

  content->calls.clear();
  hand->tap({100, 100});  // a quick tap arrives whole when the finger lifts
  EXPECT_EQ(content->calls, (Calls{"began", "ended"}));

  content->calls.clear();
  hand->drag({{100, 400}, {100, 200}}, 0.1);
  advance(10);
  EXPECT_TRUE(content->calls.empty());

  scroll->setDelaysContentTouches(false);
  hand->drag({{100, 400}, {100, 200}}, 0.1);
  advance(10);
  EXPECT_EQ(content->calls, (Calls{"began", "cancelled"}));
}

class ZoomTest : public ScrollViewTest {
 protected:
  void SetUp() override {
    ScrollViewTest::SetUp();
    photo = std::make_shared<UIView>(CGRectMake(0, 0, 375, 667));
    scroll->addSubview(photo);
    scroll->setContentSize(CGSizeMake(375, 667));
    recorder->zoomView = photo;
    scroll->setMinimumZoomScale(1);
    scroll->setMaximumZoomScale(4);
  }
  std::shared_ptr<UIView> photo;
};

TEST_F(ZoomTest, ZoomScaleIsClampedAndTheOffsetFollowsIntoTheContent) {
  scroll->setZoomScale(2);
  EXPECT_EQ(scroll->zoomScale(), 2);
  EXPECT_EQ(scroll->contentSize(), CGSizeMake(750, 1334));
  EXPECT_EQ(photo->frame(), CGRectMake(0, 0, 750, 1334));  // scaled by its transform
  EXPECT_EQ(photo->bounds().size, CGSizeMake(375, 667));
  // Zoomed around the middle of the view.
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(187.5, 333.5));
  EXPECT_EQ(recorder->calls.back(), "didZoom");
  scroll->setZoomScale(10);
  EXPECT_EQ(scroll->zoomScale(), 4);
  EXPECT_EQ(scroll->contentSize(), CGSizeMake(1500, 2668));
  scroll->setContentOffset(scroll->maximumContentOffset());
  scroll->setZoomScale(2);
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(375, 667));  // clamped to the new end
  scroll->setZoomScale(0.1);
  EXPECT_EQ(scroll->zoomScale(), 1);
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(0, 0));

  scroll->zoomToRect(CGRectMake(0, 0, 187.5, 333.5), false);
  EXPECT_EQ(scroll->zoomScale(), 2);
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(0, 0));

  recorder->calls.clear();
  scroll->zoomToRect(CGRectMake(375 - 93.75, 667 - 166.75, 93.75, 166.75), true);
  EXPECT_EQ(recorder->calls, (Calls{"willBeginZooming"}));
  advance(UIScrollView::kAnimationDuration / 2);
  EXPECT_GT(scroll->zoomScale(), 2);
  EXPECT_LT(scroll->zoomScale(), 4);
  advance(UIScrollView::kAnimationDuration + UITouchDriver::kFrame);
  EXPECT_EQ(scroll->zoomScale(), 4);
  EXPECT_EQ(scroll->contentOffset(), CGPointMake(1125, 2001));
  EXPECT_EQ(recorder->calls.front(), "willBeginZooming");
  EXPECT_EQ(std::count(recorder->calls.begin(), recorder->calls.end(), "didZoom"),
            std::count(recorder->calls.begin(), recorder->calls.end(), "didScroll"));
  EXPECT_GT(std::count(recorder->calls.begin(), recorder->calls.end(), "didZoom"), 5);
  EXPECT_EQ(Calls(recorder->calls.end() - 2, recorder->calls.end()),
            (Calls{"didEndZooming", "didEndScrollingAnimation"}));
}

// A double tap zooms to a rectangle and then asks for the scale it reaches:
// that request keeps the zoom under way, any other scale starts a new one.
TEST_F(ZoomTest, AskingForTheScaleAZoomIsHeadingToKeepsThatZoom) {
  struct Case {
    double asked;
    bool animated;
    double scale;
    std::optional<CGPoint> offset;
  } cases[] = {
      {4, true, 4, CGPointMake(150, 225)},
      {4, false, 4, CGPointMake(150, 225)},
      {10, true, 4, CGPointMake(150, 225)},  // clamped to the maximum it heads to
      {4 * (1 + 1e-12), true, 4, CGPointMake(150, 225)},
      {3.99, true, 3.99, std::nullopt},  // another scale: a new zoom about the middle
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.asked);
    scroll->setFrame(CGRectMake(0, 0, 400, 600));
    photo->setTransform(CGAffineTransformIdentity);
    photo->setFrame(CGRectMake(0, 0, 400, 600));
    scroll->setZoomScale(1);
    scroll->setContentSize(CGSizeMake(400, 600));
    scroll->setContentOffset(CGPointZero);
    recorder->calls.clear();
    // The rectangle of a tap at (50, 75) shrunk by the maximum scale.
    scroll->zoomToRect(CGRectMake(37.5, 56.25, 100, 150), true);
    scroll->setZoomScale(c.asked, c.animated);
    advance(UIScrollView::kAnimationDuration + UITouchDriver::kFrame);
    EXPECT_DOUBLE_EQ(scroll->zoomScale(), c.scale);
    if (c.offset) {
      EXPECT_EQ(scroll->contentOffset(), *c.offset);
      EXPECT_EQ(std::count(recorder->calls.begin(), recorder->calls.end(), "willBeginZooming"), 1);
      EXPECT_EQ(std::count(recorder->calls.begin(), recorder->calls.end(), "didEndZooming"), 1);
    }
  }
  // Only a zoom heads to a scale: a scroll under way while zoomed in does not
  // keep a request for scale 1 from zooming out.
  scroll->setZoomScale(2);
  scroll->setContentOffset(CGPointZero, true);
  scroll->setZoomScale(1, false);
  EXPECT_DOUBLE_EQ(scroll->zoomScale(), 1);
}

TEST_F(ZoomTest, PinchingZoomsAndBouncesBackFromTheLimit) {
  hand->pinch({187.5, 333.5}, 100, 200, 0.25);
  EXPECT_EQ(recorder->calls.front(), "willBeginZooming");
  EXPECT_EQ(recorder->calls.back(), "didEndZooming");
  EXPECT_DOUBLE_EQ(recorder->endedScale, 2);
  EXPECT_DOUBLE_EQ(scroll->zoomScale(), 2);
  EXPECT_FALSE(scroll->isZooming());
  // The fingers' midpoint stays over the same content point.
  EXPECT_NEAR(scroll->contentOffset().x, 187.5, 1e-6);
  EXPECT_NEAR(scroll->contentOffset().y, 333.5, 1e-6);

  recorder->calls.clear();
  auto touches = hand->down({{137.5, 333.5}, {237.5, 333.5}});
  for (int i = 1; i <= 10; ++i) {
    advance(UITouchDriver::kFrame);
    hand->move(touches, {{137.5 - 25 * i, 333.5}, {237.5 + 25 * i, 333.5}});
  }
  EXPECT_TRUE(scroll->isZooming());
  EXPECT_GT(scroll->zoomScale(), 4);  // past the limit, resisting
  EXPECT_LT(scroll->zoomScale(), 2 * 6);
  hand->up(touches);
  EXPECT_TRUE(scroll->isZoomBouncing());
  advance(UIScrollView::kAnimationDuration + UITouchDriver::kFrame);
  EXPECT_FALSE(scroll->isZoomBouncing());
  EXPECT_EQ(scroll->zoomScale(), 4);
  EXPECT_EQ(recorder->calls.back(), "didEndScrollingAnimation");
  EXPECT_DOUBLE_EQ(recorder->endedScale, 4);
  CGPoint hi = scroll->maximumContentOffset();
  EXPECT_LE(scroll->contentOffset().x, hi.x);
  EXPECT_GE(scroll->contentOffset().x, 0);

  // Without a zooming view, or with equal limits, pinches do nothing.
  scroll->setMaximumZoomScale(1);
  EXPECT_EQ(scroll->pinchGestureRecognizer(), nullptr);
}

TEST_F(ScrollViewTest, TheSafeAreaJoinsTheInsetAlongScrollingAxes) {
  UseScreenProfile(UIScreenProfile::phoneWithNotch());
  auto tall = std::make_shared<UIWindow>(CGRectMake(0, 0, 390, 844));
  auto list = std::make_shared<UIScrollView>(tall->bounds());
  tall->addSubview(list);
  UIEdgeInsets safe = list->safeAreaInsets();
  ASSERT_GT(safe.top, 0);
  list->setContentSize(CGSizeMake(390, 300));  // does not scroll
  EXPECT_EQ(list->adjustedContentInset(), UIEdgeInsetsZero);
  list->setContentSize(CGSizeMake(390, 3000));
  list->setContentInset(UIEdgeInsetsMake(10, 0, 0, 0));
  EXPECT_EQ(list->adjustedContentInset(), UIEdgeInsetsMake(10 + safe.top, 0, safe.bottom, 0));
  EXPECT_EQ(list->minimumContentOffset(), CGPointMake(0, -10 - safe.top));
  list->setContentInsetAdjustmentBehavior(UIScrollViewContentInsetAdjustmentBehavior::Never);
  EXPECT_EQ(list->adjustedContentInset(), UIEdgeInsetsMake(10, 0, 0, 0));
}

}  // namespace

}  // namespace scroll_view_test
