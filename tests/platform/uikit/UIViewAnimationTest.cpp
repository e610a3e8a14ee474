#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "platform/uikit/UIView.h"
#include "support/TestEnvironment.h"

namespace ui_view_animation_test {

namespace {

class UIViewAnimationTest : public PlatformTest {
 protected:
  std::shared_ptr<UIView> view = UIView::viewWithFrame(CGRectMake(0, 0, 100, 100));
  double shownAlpha() const { return view->layer()->presentationLayer()->opacity(); }
  CGPoint shownCenter() const { return view->layer()->presentationLayer()->position(); }
};

TEST_F(UIViewAnimationTest, ModelChangesAtOncePresentationFollowsTheCurve) {
  std::vector<bool> done;
  UIView::animateWithDuration(
      1, 0, UIViewAnimationOptionCurveLinear,
      [this] {
        view->setAlpha(0);
        view->setCenter(CGPointMake(150, 50));
      },
      [&done](bool finished) { done.push_back(finished); });
  EXPECT_EQ(view->alpha(), 0);
  EXPECT_EQ(view->center(), CGPointMake(150, 50));
  EXPECT_EQ(shownAlpha(), 1);

  auto anim = std::dynamic_pointer_cast<CABasicAnimation>(view->layer()->animationForKey("opacity"));
  ASSERT_TRUE(anim);
  EXPECT_EQ(anim->duration(), 1);
  double p[2];
  anim->timingFunction()->getControlPointAtIndex(1, p);
  EXPECT_EQ(p[0], 0);  // linear
  EXPECT_TRUE(view->layer()->animationForKey("position"));
  EXPECT_FALSE(view->layer()->animationForKey("bounds"));  // unchanged

  advance(0.25);
  EXPECT_NEAR(shownAlpha(), 0.75, 1e-9);
  EXPECT_NEAR(shownCenter().x, 75, 1e-9);
  EXPECT_TRUE(done.empty());
  advance(0.75);
  EXPECT_EQ(done, std::vector<bool>{true});
  EXPECT_EQ(shownAlpha(), 0);
}

TEST_F(UIViewAnimationTest, DefaultCurveEasesAndDelaysHoldTheStart) {
  UIView::animateWithDuration(1, 0.5, 0, [this] { view->setAlpha(0); }, nullptr);
  auto anim = view->layer()->animationForKey("opacity");
  ASSERT_TRUE(anim);
  EXPECT_DOUBLE_EQ(anim->beginTime(), CACurrentMediaTime() + 0.5);
  advance(0.25);
  EXPECT_EQ(shownAlpha(), 1);  // held at the start during the delay
  advance(0.5);                // a quarter in: ease-in-out is still slow
  EXPECT_GT(shownAlpha(), 0.8);
  advance(0.75);
  EXPECT_TRUE(view->layer()->animationKeys().empty());
}

TEST_F(UIViewAnimationTest, RemovalCompletesUnfinishedAndOrderFollowsTheEnds) {
  std::vector<std::string> log;
  auto other = UIView::viewWithFrame(CGRectMake(0, 0, 10, 10));
  UIView::animateWithDuration(
      2, [this] { view->setAlpha(0.5); },
      [&log](bool finished) { log.push_back(finished ? "long" : "long removed"); });
  UIView::animateWithDuration(
      1, [&other] { other->setAlpha(0.5); },
      [&log](bool finished) { log.push_back(finished ? "short" : "short removed"); });
  advance(1.5);
  EXPECT_EQ(log, std::vector<std::string>{"short"});
  view->layer()->removeAllAnimations();
  EXPECT_EQ(log.size(), 1u);
  drainMainLoop();
  EXPECT_EQ(log, (std::vector<std::string>{"short", "long removed"}));
}

TEST_F(UIViewAnimationTest, NothingToAnimateStillCompletesOnTheNextTurn) {
  std::vector<bool> done;
  UIView::animateWithDuration(1, [] {}, [&done](bool f) { done.push_back(f); });
  EXPECT_TRUE(done.empty());
  drainMainLoop();
  EXPECT_EQ(done, std::vector<bool>{true});

  UIView::animateWithDuration(0, [this] { view->setAlpha(0.3); },
                              [&done](bool f) { done.push_back(f); });
  EXPECT_TRUE(view->layer()->animationKeys().empty());
  EXPECT_EQ(shownAlpha(), 0.3);
  drainMainLoop();
  EXPECT_EQ(done.size(), 2u);

  UIView::animateWithDuration(1, [this] {
    UIView::performWithoutAnimation([this] { view->setAlpha(0.9); });
    EXPECT_EQ(UIView::inheritedAnimationDuration(), 1);
  });
  EXPECT_TRUE(view->layer()->animationKeys().empty());
  EXPECT_EQ(UIView::inheritedAnimationDuration(), 0);
  drainMainLoop();
}

TEST_F(UIViewAnimationTest, SpringsAreReadableAndOvershoot) {
  UIView::animateWithDuration(
      0.5, 0, 0.3, 2, 0, [this] { view->setCenter(CGPointMake(150, 50)); }, nullptr);
  auto spring =
      std::dynamic_pointer_cast<CASpringAnimation>(view->layer()->animationForKey("position"));
  ASSERT_TRUE(spring);
  EXPECT_EQ(spring->duration(), 0.5);
  EXPECT_EQ(spring->initialVelocity(), 2);
  double zeta = spring->damping() / (2 * std::sqrt(spring->stiffness() * spring->mass()));
  EXPECT_NEAR(zeta, 0.3, 1e-9);
  double maxX = 0;
  for (int i = 0; i < 25; ++i) {
    advance(0.02);
    maxX = std::max(maxX, shownCenter().x);
  }
  EXPECT_GT(maxX, 150);
  advance(0.1);
  EXPECT_TRUE(view->layer()->animationKeys().empty());
}

TEST_F(UIViewAnimationTest, KeyframesPlaceChangesInTheirSlices) {
  bool finished = false;
  UIView::animateKeyframesWithDuration(
      2, 0, UIViewKeyframeAnimationOptionCalculationModeLinear,
      [this] {
        UIView::addKeyframeWithRelativeStartTime(0, 0.5, [this] { view->setAlpha(0.5); });
        UIView::addKeyframeWithRelativeStartTime(0.75, 0.25, [this] { view->setAlpha(0); });
      },
      [&finished](bool f) { finished = f; });
  auto k = std::dynamic_pointer_cast<CAKeyframeAnimation>(view->layer()->animationForKey("opacity"));
  ASSERT_TRUE(k);
  EXPECT_EQ(k->keyTimes(), (std::vector<double>{0, 0.5, 0.75, 1}));
  advance(0.5);
  EXPECT_NEAR(shownAlpha(), 0.75, 1e-9);
  advance(1.0);  // 1.5: the hold between the slices
  EXPECT_NEAR(shownAlpha(), 0.5, 1e-9);
  advance(0.25);
  EXPECT_NEAR(shownAlpha(), 0.25, 1e-9);
  advance(0.25);
  EXPECT_TRUE(finished);
}

TEST_F(UIViewAnimationTest, TransitionsRecordTheirKindAndDoNotAnimateContent) {
  bool finished = false;
  UIView::transitionWithView(
      view, 0.3, UIViewAnimationOptionTransitionCrossDissolve, [this] { view->setAlpha(0.2); },
      [&finished](bool f) { finished = f; });
  auto t = std::dynamic_pointer_cast<CATransition>(view->layer()->animationForKey(kCATransition));
  ASSERT_TRUE(t);
  EXPECT_EQ(t->type(), kCATransitionFade);
  EXPECT_EQ(t->duration(), 0.3);
  EXPECT_FALSE(view->layer()->animationForKey("opacity"));
  advance(0.3);
  EXPECT_TRUE(finished);
}

}  // namespace

}  // namespace ui_view_animation_test
