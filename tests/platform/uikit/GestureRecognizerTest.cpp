#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/uikit/UIEvent.h"
#include "platform/uikit/UILongPressGestureRecognizer.h"
#include "platform/uikit/UIPanGestureRecognizer.h"
#include "platform/uikit/UIPinchGestureRecognizer.h"
#include "platform/uikit/internal/UISwipeGestureRecognizer.h"
#include "platform/uikit/UITapGestureRecognizer.h"
#include "platform/uikit/UITouch.h"
#include "platform/uikit/UIWindow.h"
#include "support/TestEnvironment.h"
#include "support/ui/UITouchDriver.h"

namespace gesture_recognizer_test {

namespace {

using State = UIGestureRecognizerState;

// A view that writes down the touch calls it receives.
class RecordingView : public UIView {
 public:
  using UIView::UIView;
  std::vector<std::string> calls;
  void touchesBegan(const UITouchSet&, UIEvent*) override { calls.push_back("began"); }
  void touchesMoved(const UITouchSet&, UIEvent*) override { calls.push_back("moved"); }
  void touchesEnded(const UITouchSet&, UIEvent*) override { calls.push_back("ended"); }
  void touchesCancelled(const UITouchSet&, UIEvent*) override { calls.push_back("cancelled"); }
};

class Delegate : public UIGestureRecognizerDelegate {
 public:
  bool begin = true;
  bool receive = true;
  bool simultaneous = false;
  bool gestureRecognizerShouldBegin(UIGestureRecognizer&) override { return begin; }
  bool gestureRecognizerShouldReceiveTouch(UIGestureRecognizer&, const UITouch&) override {
    return receive;
  }
  bool gestureRecognizerShouldRecognizeSimultaneouslyWithGestureRecognizer(
      UIGestureRecognizer&, UIGestureRecognizer&) override {
    return simultaneous;
  }
};

class GestureRecognizerTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    window = std::make_shared<UIWindow>(CGRectMake(0, 0, 375, 667));
    view = std::make_shared<RecordingView>(CGRectMake(0, 100, 375, 400));
    window->addSubview(view);
    hand = std::make_unique<UITouchDriver>(window);
    owner = std::make_shared<NSObject>();
  }

  // Records every action of `g` as its state.
  template <typename G>
  std::shared_ptr<G> attach(std::shared_ptr<G> g, std::vector<State>* log,
                            UIView* to = nullptr) {
    g->addTarget(owner, [log](UIGestureRecognizer& r) { log->push_back(r.state()); });
    (to ? to : view.get())->addGestureRecognizer(g);
    return g;
  }

  std::shared_ptr<UIWindow> window;
  std::shared_ptr<RecordingView> view;
  std::unique_ptr<UITouchDriver> hand;
  std::shared_ptr<NSObject> owner;
};

TEST_F(GestureRecognizerTest, TapRecognizesOnLiftAndCancelsTheViewsTouches) {
  std::vector<State> log;
  auto tap = attach(std::make_shared<UITapGestureRecognizer>(), &log);
  auto touches = hand->down({{100, 200}});
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(view->calls, (std::vector<std::string>{"began"}));
  hand->up(touches);
  EXPECT_EQ(log, (std::vector<State>{State::Recognized}));
  // The view's end was held back while the tap was undecided, then cancelled.
  EXPECT_EQ(view->calls, (std::vector<std::string>{"began", "cancelled"}));
  EXPECT_EQ(tap->state(), State::Possible);  // reset once the touches are gone
  EXPECT_EQ(tap->locationInView(view.get()), CGPointMake(100, 100));

  view->calls.clear();
  tap->setCancelsTouchesInView(false);
  hand->tap({100, 200});
  EXPECT_EQ(log.size(), 2u);
  EXPECT_EQ(view->calls, (std::vector<std::string>{"began", "ended"}));

  // A finger that slides away is no tap; the view then gets its end.
  view->calls.clear();
  hand->drag({{100, 200}, {130, 200}}, 0.1);
  EXPECT_EQ(log.size(), 2u);
  EXPECT_EQ(view->calls.back(), "ended");
  // A recognizer whose action target is gone runs nothing.
  owner.reset();
  hand->tap({100, 200});
  EXPECT_EQ(log.size(), 2u);
}

TEST_F(GestureRecognizerTest, SingleTapWaitsForTheDoubleTapToFail) {
  std::vector<State> singles, doubles;
  auto single = attach(std::make_shared<UITapGestureRecognizer>(), &singles);
  auto twice = std::make_shared<UITapGestureRecognizer>();
  twice->setNumberOfTapsRequired(2);
  attach(twice, &doubles);
  single->requireGestureRecognizerToFail(twice);

  hand->tap({50, 150}, 2);
  EXPECT_EQ(doubles.size(), 1u);
  EXPECT_TRUE(singles.empty());

  hand->tap({50, 150});
  EXPECT_TRUE(singles.empty());  // the double tap may still come
  advance(UITapGestureRecognizer::kMaximumTapInterval / 2);
  EXPECT_TRUE(singles.empty());
  advance(UITapGestureRecognizer::kMaximumTapInterval);
  EXPECT_EQ(singles.size(), 1u);
  EXPECT_EQ(doubles.size(), 1u);
  EXPECT_EQ(single->state(), State::Possible);
  EXPECT_EQ(twice->state(), State::Possible);

  // Two fingers are not a one-finger tap.
  auto touches = hand->down({{50, 150}, {90, 150}});
  hand->up(touches);
  advance(1);
  EXPECT_EQ(singles.size(), 1u);
}

TEST_F(GestureRecognizerTest, LongPressBeginsAfterTheMinimumDurationOnTheClock) {
  std::vector<State> log;
  auto press = attach(std::make_shared<UILongPressGestureRecognizer>(), &log);
  auto touches = hand->down({{100, 200}});
  advance(0.49);
  EXPECT_TRUE(log.empty());
  advance(0.02);
  EXPECT_EQ(log, (std::vector<State>{State::Began}));
  hand->move(touches, {{140, 260}});  // free to move once begun
  hand->up(touches);
  EXPECT_EQ(log, (std::vector<State>{State::Began, State::Changed, State::Ended}));

  // Lifted early or slid away before the time: no press.
  hand->longPress({100, 200}, 0.3);
  touches = hand->down({{100, 200}});
  advance(0.1);
  hand->move(touches, {{100, 215}});
  EXPECT_EQ(press->state(), State::Failed);
  advance(1);
  hand->up(touches);
  EXPECT_EQ(log.size(), 3u);
  EXPECT_EQ(press->state(), State::Possible);
}

TEST_F(GestureRecognizerTest, PanReportsTranslationVelocityAndLocation) {
  std::vector<State> log;
  std::vector<CGPoint> translations;
  auto pan = std::make_shared<UIPanGestureRecognizer>();
  pan->addTarget(owner, [&](UIGestureRecognizer& g) {
    log.push_back(g.state());
    translations.push_back(static_cast<UIPanGestureRecognizer&>(g).translationInView(view.get()));
  });
  view->addGestureRecognizer(pan);

  // A few points of jitter are not a pan.
  auto touches = hand->down({{100, 300}});
  hand->move(touches, {{104, 303}});
  EXPECT_EQ(pan->state(), State::Possible);
  hand->up(touches);
  EXPECT_TRUE(log.empty());

  // 120 points down in 0.2 s: 600 points per second.
  touches = {hand->drag({{100, 200}, {100, 320}}, 0.2, false)};
  EXPECT_EQ(log.front(), State::Began);
  EXPECT_EQ(log.back(), State::Changed);
  EXPECT_EQ(translations.back(), CGPointMake(0, 120));
  EXPECT_NEAR(pan->velocityInView(view.get()).y, 600, 1);
  EXPECT_EQ(pan->locationInView(view.get()), CGPointMake(100, 220));
  pan->setTranslation(CGPointZero, view.get());
  hand->move(touches, {{110, 330}});
  EXPECT_EQ(translations.back(), CGPointMake(10, 10));
  hand->up(touches);
  EXPECT_EQ(log.back(), State::Ended);
  // The view was cut off once the pan began.
  EXPECT_EQ(view->calls.back(), "cancelled");

  // Disabling in mid-pan cancels it.
  log.clear();
  touches = {hand->drag({{100, 200}, {100, 260}}, 0.1, false)};
  pan->setEnabled(false);
  EXPECT_EQ(log.back(), State::Cancelled);
  hand->up(touches);
  EXPECT_EQ(pan->state(), State::Possible);
}

TEST_F(GestureRecognizerTest, PinchScalesWithTheFingersSpread) {
  std::vector<State> log;
  auto pinch = attach(std::make_shared<UIPinchGestureRecognizer>(), &log);
  double lastScale = 0;
  pinch->addTarget(owner, [&](UIGestureRecognizer& g) {
    lastScale = static_cast<UIPinchGestureRecognizer&>(g).scale();
  });
  hand->pinch({187, 300}, 100, 200, 0.25);
  EXPECT_EQ(log.front(), State::Began);
  EXPECT_EQ(log.back(), State::Ended);
  EXPECT_NEAR(lastScale, 2.0, 1e-9);
  hand->pinch({187, 300}, 200, 50, 0.25);
  EXPECT_NEAR(lastScale, 0.25, 1e-9);
  // One finger never pinches.
  size_t before = log.size();
  hand->drag({{100, 200}, {200, 200}}, 0.1);
  EXPECT_EQ(log.size(), before);
}

TEST_F(GestureRecognizerTest, SwipeNeedsItsDirectionAndSpeed) {
  std::vector<State> log;
  auto swipe = attach(std::make_shared<UISwipeGestureRecognizer>(), &log);
  hand->drag({{50, 300}, {250, 310}}, 0.15);
  EXPECT_EQ(log, (std::vector<State>{State::Recognized}));
  hand->drag({{250, 300}, {50, 300}}, 0.15);  // leftwards
  hand->drag({{50, 300}, {250, 300}}, 3.0);   // too slow
  hand->drag({{50, 200}, {150, 400}}, 0.15);  // too steep
  EXPECT_EQ(log.size(), 1u);
  swipe->setDirection(UISwipeGestureRecognizerDirectionLeft | UISwipeGestureRecognizerDirectionUp);
  hand->drag({{200, 400}, {200, 250}}, 0.15);
  EXPECT_EQ(log.size(), 2u);
}

TEST_F(GestureRecognizerTest, ScreenEdgePanStartsOnlyAtItsEdge) {
  std::vector<State> log;
  auto edge = std::make_shared<UIScreenEdgePanGestureRecognizer>();
  edge->setEdges(UIRectEdgeLeft);
  attach(edge, &log);
  CGPoint moved;
  edge->addTarget(owner, [&](UIGestureRecognizer& g) {
    moved = static_cast<UIPanGestureRecognizer&>(g).translationInView(window.get());
  });
  hand->drag({{150, 300}, {300, 300}}, 0.2);
  EXPECT_TRUE(log.empty());
  hand->drag({{5, 300}, {200, 300}}, 0.2);
  EXPECT_EQ(log.front(), State::Began);
  EXPECT_EQ(log.back(), State::Ended);
  EXPECT_EQ(moved, CGPointMake(195, 0));
}

TEST_F(GestureRecognizerTest, DelegateDecidesBeginningTouchesAndSimultaneity) {
  auto child = std::make_shared<RecordingView>(CGRectMake(50, 50, 200, 200));
  view->addSubview(child);
  std::vector<State> outer, inner;
  auto outerPan = attach(std::make_shared<UIPanGestureRecognizer>(), &outer);
  auto innerPan = attach(std::make_shared<UIPanGestureRecognizer>(), &inner, child.get());
  auto delegate = std::make_shared<Delegate>();
  innerPan->setDelegate(delegate);

  // The deepest recognizer wins; the outer one is failed.
  hand->drag({{100, 200}, {100, 300}}, 0.2);
  EXPECT_FALSE(inner.empty());
  EXPECT_TRUE(outer.empty());

  inner.clear();
  delegate->simultaneous = true;
  hand->drag({{100, 200}, {100, 300}}, 0.2);
  EXPECT_EQ(inner.back(), State::Ended);
  EXPECT_EQ(outer.back(), State::Ended);

  inner.clear();
  outer.clear();
  delegate->simultaneous = false;
  delegate->begin = false;
  hand->drag({{100, 200}, {100, 300}}, 0.2);
  EXPECT_TRUE(inner.empty());
  EXPECT_EQ(outer.back(), State::Ended);

  // A recognizer that may not receive the touch never sees it.
  outer.clear();
  delegate->receive = false;
  delegate->begin = true;
  child->calls.clear();
  outerPan->setEnabled(false);
  hand->drag({{100, 200}, {100, 300}}, 0.2);
  EXPECT_TRUE(inner.empty());
  EXPECT_EQ(child->calls.front(), "began");
  EXPECT_EQ(child->calls.back(), "ended");
}

TEST_F(GestureRecognizerTest, DelaysTouchesBeganHoldsTheViewBackUntilTheRecognizerDecides) {
  std::vector<State> log;
  auto press = attach(std::make_shared<UILongPressGestureRecognizer>(), &log);
  press->setDelaysTouchesBegan(true);
  auto touches = hand->down({{100, 200}});
  EXPECT_TRUE(view->calls.empty());
  advance(0.6);
  hand->up(touches);
  EXPECT_EQ(log.back(), State::Ended);
  EXPECT_TRUE(view->calls.empty());  // recognized: the view never saw the touch

  // The press fails on an early lift: the view gets the whole touch then.
  touches = hand->down({{100, 200}});
  advance(0.1);
  EXPECT_TRUE(view->calls.empty());
  hand->up(touches);
  EXPECT_EQ(view->calls, (std::vector<std::string>{"began", "ended"}));
}

}  // namespace

}  // namespace gesture_recognizer_test
