#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "platform/quartzcore/CALayer.h"
#include "platform/quartzcore/CATransaction.h"
#include "support/TestEnvironment.h"

namespace ca_animation_test {

namespace {

class CAAnimationTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    layer->setFrame(CGRectMake(0, 0, 100, 100));
  }
  double shownX() const { return layer->presentationLayer()->position().x; }
  double shownOpacity() const { return layer->presentationLayer()->opacity(); }

  std::shared_ptr<CALayer> layer = CALayer::layer();
};

// Writes what happens to a shared log.
class LoggingDelegate : public CAAnimationDelegate {
 public:
  LoggingDelegate(std::vector<std::string>* log, std::string name)
      : log_(log), name_(std::move(name)) {}
  void animationDidStart(CAAnimation&) override { log_->push_back(name_ + " start"); }
  void animationDidStop(CAAnimation&, bool finished) override {
    log_->push_back(name_ + (finished ? " finished" : " removed"));
  }

 private:
  std::vector<std::string>* log_;
  std::string name_;
};

std::shared_ptr<CABasicAnimation> moveX(double from, double to, double duration) {
  auto a = CABasicAnimation::animationWithKeyPath("position.x");
  a->setFromValue(from);
  a->setToValue(to);
  a->setDuration(duration);
  return a;
}

TEST_F(CAAnimationTest, PresentationInterpolatesWhileModelStays) {
  auto a = moveX(0, 100, 1);
  a->setTimingFunction(CAMediaTimingFunction::functionWithName(kCAMediaTimingFunctionLinear));
  layer->addAnimation(a, "move");
  // The added animation is a copy that starts now.
  EXPECT_NE(layer->animationForKey("move"), a);
  EXPECT_EQ(layer->animationForKey("move")->beginTime(), CACurrentMediaTime());
  EXPECT_EQ(a->beginTime(), 0);

  advance(0.25);
  EXPECT_NEAR(shownX(), 25, 1e-9);
  EXPECT_EQ(layer->position().x, 50);  // the model
  advance(0.5);
  EXPECT_NEAR(shownX(), 75, 1e-9);
  advance(0.25);
  EXPECT_TRUE(layer->animationKeys().empty());
  EXPECT_EQ(shownX(), 50);
}

TEST_F(CAAnimationTest, TimingCurvesShapeProgress) {
  auto ease = CAMediaTimingFunction::functionWithName(kCAMediaTimingFunctionEaseInEaseOut);
  EXPECT_NEAR(ease->evaluate(0.5), 0.5, 1e-6);
  EXPECT_LT(ease->evaluate(0.25), 0.25);
  EXPECT_GT(ease->evaluate(0.75), 0.75);
  auto easeIn = CAMediaTimingFunction::functionWithName(kCAMediaTimingFunctionEaseIn);
  EXPECT_LT(easeIn->evaluate(0.5), 0.45);
  EXPECT_EQ(easeIn->evaluate(-1), 0);
  EXPECT_EQ(easeIn->evaluate(2), 1);
  double p[2];
  easeIn->getControlPointAtIndex(1, p);
  EXPECT_EQ(p[0], 0.42);

  auto a = moveX(0, 100, 1);
  a->setTimingFunction(easeIn);
  layer->addAnimation(a, "move");
  advance(0.5);
  EXPECT_NEAR(shownX(), 100 * easeIn->evaluate(0.5), 1e-9);
  advance(0.5);
}

TEST_F(CAAnimationTest, NilEndsTakeTheModelValueAndByOffsets) {
  layer->setOpacity(0.2);
  auto fade = CABasicAnimation::animationWithKeyPath("opacity");
  fade->setFromValue(1.0);
  fade->setDuration(1);
  fade->setTimingFunction(CAMediaTimingFunction::functionWithName(kCAMediaTimingFunctionLinear));
  layer->addAnimation(fade, "fade");
  advance(0.5);
  EXPECT_NEAR(shownOpacity(), 0.6, 1e-9);

  auto by = CABasicAnimation::animationWithKeyPath("position.x");
  by->setByValue(20.0);
  by->setDuration(1);
  by->setTimingFunction(CAMediaTimingFunction::functionWithName(kCAMediaTimingFunctionLinear));
  layer->addAnimation(by, "by");
  advance(0.5);
  EXPECT_NEAR(shownX(), 60, 1e-9);
  advance(0.5);
}

TEST_F(CAAnimationTest, DelegateHearsStartAndEndInOrderOnTheMainLoop) {
  std::vector<std::string> log;
  auto a = moveX(0, 10, 0.5);
  a->setDelegate(std::make_shared<LoggingDelegate>(&log, "a"));
  auto b = moveX(0, 10, 0.25);
  b->setDelegate(std::make_shared<LoggingDelegate>(&log, "b"));
  layer->addAnimation(a, "a");
  layer->addAnimation(b, "b");
  EXPECT_TRUE(log.empty());
  drainMainLoop();
  EXPECT_EQ(log, (std::vector<std::string>{"a start", "b start"}));
  advance(0.3);
  EXPECT_EQ(log.back(), "b finished");
  EXPECT_EQ(layer->animationKeys(), std::vector<std::string>{"a"});
  advance(0.3);
  EXPECT_EQ(log.back(), "a finished");
  EXPECT_EQ(log.size(), 4u);
}

TEST_F(CAAnimationTest, RemovalReportsUnfinishedOnTheNextTurn) {
  std::vector<std::string> log;
  auto a = moveX(0, 10, 1);
  a->setDelegate(std::make_shared<LoggingDelegate>(&log, "a"));
  layer->addAnimation(a, "a");
  drainMainLoop();
  // Adding under the same key replaces the animation.
  auto replacement = moveX(0, 20, 1);
  replacement->setDelegate(std::make_shared<LoggingDelegate>(&log, "r"));
  layer->addAnimation(replacement, "a");
  EXPECT_EQ(log.back(), "a start");
  drainMainLoop();
  EXPECT_EQ(log, (std::vector<std::string>{"a start", "a removed", "r start"}));

  layer->removeAllAnimations();
  EXPECT_TRUE(layer->animationKeys().empty());
  EXPECT_EQ(shownX(), 50);
  drainMainLoop();
  EXPECT_EQ(log.back(), "r removed");
  // Nothing is left on the clock: the end deadline went with the animation.
  advance(2);
  EXPECT_EQ(log.size(), 4u);
}

TEST_F(CAAnimationTest, FillModesAndKeepingAfterTheEnd) {
  auto a = moveX(0, 10, 1);
  a->setBeginTime(CACurrentMediaTime() + 1);
  layer->addAnimation(a, "later");
  EXPECT_EQ(shownX(), 50);  // not yet begun, no backwards fill
  auto b = moveX(0, 10, 1);
  b->setBeginTime(CACurrentMediaTime() + 1);
  b->setFillMode(kCAFillModeBackwards);
  layer->addAnimation(b, "filled");
  EXPECT_EQ(shownX(), 0);
  advance(2);
  EXPECT_TRUE(layer->animationKeys().empty());

  auto kept = moveX(0, 30, 1);
  kept->setRemovedOnCompletion(false);
  kept->setFillMode(kCAFillModeForwards);
  layer->addAnimation(kept, "kept");
  advance(1.5);
  EXPECT_EQ(layer->animationKeys(), std::vector<std::string>{"kept"});
  EXPECT_EQ(shownX(), 30);
  layer->removeAllAnimations();
  drainMainLoop();
}

TEST_F(CAAnimationTest, RepeatsAndReverses) {
  auto a = moveX(0, 100, 1);
  a->setTimingFunction(CAMediaTimingFunction::functionWithName(kCAMediaTimingFunctionLinear));
  a->setRepeatCount(2);
  a->setAutoreverses(true);
  EXPECT_EQ(a->activeDuration(), 4);
  layer->addAnimation(a, "a");
  advance(0.25);
  EXPECT_NEAR(shownX(), 25, 1e-9);
  advance(1.0);  // 1.25: on the way back
  EXPECT_NEAR(shownX(), 75, 1e-9);
  advance(1.0);  // 2.25: second run, forwards again
  EXPECT_NEAR(shownX(), 25, 1e-9);
  advance(1.75);
  EXPECT_TRUE(layer->animationKeys().empty());

  auto forever = moveX(0, 1, 1);
  forever->setRepeatCount(std::numeric_limits<double>::infinity());
  layer->addAnimation(forever, "forever");
  advance(100);
  EXPECT_EQ(layer->animationKeys(), std::vector<std::string>{"forever"});
  layer->removeAnimationForKey("forever");
  drainMainLoop();
}

TEST_F(CAAnimationTest, KeyframesFollowKeyTimesAndModes) {
  auto k = CAKeyframeAnimation::animationWithKeyPath("position.x");
  k->setValues({0.0, 100.0, 50.0});
  k->setKeyTimes({0, 0.25, 1});
  k->setDuration(1);
  layer->addAnimation(k, "k");
  advance(0.125);
  EXPECT_NEAR(shownX(), 50, 1e-9);
  advance(0.5);  // 0.625: halfway from 100 to 50
  EXPECT_NEAR(shownX(), 75, 1e-9);
  advance(0.375);

  auto d = CAKeyframeAnimation::animationWithKeyPath("position.x");
  d->setValues({1.0, 2.0, 3.0, 4.0});
  d->setCalculationMode(kCAAnimationDiscrete);
  d->setDuration(3);
  layer->addAnimation(d, "d");
  advance(1.0);
  EXPECT_EQ(shownX(), 2);  // each value holds for 0.75 s
  advance(0.5);
  EXPECT_EQ(shownX(), 3);
  advance(1.5);

  // Paced: equal speed over the whole path, whatever the key times say.
  auto p = CAKeyframeAnimation::animationWithKeyPath("position.x");
  p->setValues({0.0, 10.0, 40.0});
  p->setKeyTimes({0, 0.9, 1});
  p->setCalculationMode(kCAAnimationPaced);
  p->setDuration(1);
  layer->addAnimation(p, "p");
  advance(0.5);
  EXPECT_NEAR(shownX(), 20, 1e-9);
  advance(0.5);
}

TEST_F(CAAnimationTest, SpringsOvershootAndSettle) {
  auto s = CASpringAnimation::animationWithKeyPath("position.x");
  s->setDamping(5);
  s->setStiffness(200);
  EXPECT_EQ(s->springPosition(0), 0);
  double peak = 0;
  for (double t = 0; t < 2; t += 0.01) peak = std::max(peak, s->springPosition(t));
  EXPECT_GT(peak, 1.05);  // underdamped
  double settle = s->settlingDuration();
  EXPECT_GT(settle, 0.5);
  EXPECT_LT(std::fabs(1 - s->springPosition(settle)), 0.0011);

  auto critical = CASpringAnimation::animationWithKeyPath("position.x");
  critical->setStiffness(100);
  critical->setDamping(20);  // 2·sqrt(k·m)
  for (double t = 0; t < 3; t += 0.01) EXPECT_LE(critical->springPosition(t), 1 + 1e-9);
  auto over = CASpringAnimation::animationWithKeyPath("position.x");
  over->setDamping(60);
  EXPECT_LT(over->springPosition(0.5), critical->springPosition(0.5));
  EXPECT_NEAR(over->springPosition(10), 1, 1e-3);

  s->setFromValue(0.0);
  s->setToValue(100.0);
  s->setDuration(settle);
  layer->addAnimation(s, "s");
  advance(0.2);
  EXPECT_NEAR(shownX(), 100 * s->springPosition(0.2), 1e-6);
  advance(settle);
}

TEST_F(CAAnimationTest, GroupsRunTheirMembersFromTheGroupStart) {
  auto move = moveX(0, 100, 1);
  move->setTimingFunction(CAMediaTimingFunction::functionWithName(kCAMediaTimingFunctionLinear));
  auto fade = CABasicAnimation::animationWithKeyPath("opacity");
  fade->setFromValue(0.0);
  fade->setToValue(1.0);
  fade->setBeginTime(1);
  fade->setDuration(1);
  fade->setTimingFunction(CAMediaTimingFunction::functionWithName(kCAMediaTimingFunctionLinear));
  auto group = CAAnimationGroup::animation();
  group->setAnimations({move, fade});
  group->setDuration(1.5);
  layer->addAnimation(group, "group");
  advance(0.5);
  EXPECT_NEAR(shownX(), 50, 1e-9);
  EXPECT_EQ(shownOpacity(), 1);  // the fade has not begun
  advance(0.75);                 // 1.25
  EXPECT_EQ(shownX(), 50);       // the move is over
  EXPECT_NEAR(shownOpacity(), 0.25, 1e-9);
  advance(0.25);  // the group's duration cuts the fade off
  EXPECT_TRUE(layer->animationKeys().empty());
}

TEST_F(CAAnimationTest, TransactionCompletionWaitsForItsAnimations) {
  std::vector<std::string> log;
  CATransaction::begin();
  CATransaction::setAnimationDuration(0.5);
  EXPECT_EQ(CATransaction::animationDuration(), 0.5);
  CATransaction::setCompletionBlock([&log] { log.push_back("done"); });
  layer->addAnimation(moveX(0, 1, 0.5), "a");
  layer->addAnimation(moveX(0, 1, 1), "b");
  CATransaction::commit();
  EXPECT_EQ(CATransaction::animationDuration(), CAAnimation::kDefaultDuration);
  advance(0.6);
  EXPECT_TRUE(log.empty());
  advance(0.5);
  EXPECT_EQ(log, std::vector<std::string>{"done"});

  // Without animations the block runs on the next turn after the commit.
  CATransaction::begin();
  CATransaction::setCompletionBlock([&log] { log.push_back("empty"); });
  CATransaction::commit();
  EXPECT_EQ(log.size(), 1u);
  drainMainLoop();
  EXPECT_EQ(log.back(), "empty");

  // A removed animation completes its transaction too.
  CATransaction::begin();
  CATransaction::setCompletionBlock([&log] { log.push_back("removed"); });
  layer->addAnimation(moveX(0, 1, 5), "c");
  CATransaction::commit();
  layer->removeAllAnimations();
  drainMainLoop();
  EXPECT_EQ(log.back(), "removed");
  CATransaction::commit();  // unbalanced: ignored
}

}  // namespace

namespace {

std::shared_ptr<CABasicAnimation> linearMoveX(double from, double to, double duration) {
  auto a = moveX(from, to, duration);
  a->setTimingFunction(CAMediaTimingFunction::functionWithName(kCAMediaTimingFunctionLinear));
  return a;
}

}  // namespace

TEST_F(CAAnimationTest, LayerTimeHoldsScrubsAndResumesItsSubtree) {
  std::vector<std::string> log;
  auto parent = CALayer::layer();
  parent->addSublayer(layer);
  // Held still before the animation starts: it begins at the parent's time 0.
  parent->setSpeed(0);
  auto a = linearMoveX(0, 100, 1);
  a->setDelegate(std::make_shared<LoggingDelegate>(&log, "a"));
  layer->addAnimation(a, "move");
  EXPECT_EQ(layer->animationForKey("move")->beginTime(), 0);
  advance(5);
  EXPECT_EQ(shownX(), 0);  // time stands still, nothing ends
  EXPECT_EQ(log, (std::vector<std::string>{"a start"}));

  parent->setTimeOffset(0.3);
  EXPECT_NEAR(shownX(), 30, 1e-9);
  EXPECT_NEAR(layer->convertTimeFromLayer(CACurrentMediaTime(), nullptr), 0.3, 1e-12);

  // Let go: the clock runs on from 0.3 at half speed.
  const double now = CACurrentMediaTime();
  parent->setBeginTime(now);
  parent->setSpeed(0.5);
  EXPECT_NEAR(shownX(), 30, 1e-9);
  EXPECT_NEAR(parent->convertTimeFromLayer(now + 0.4, nullptr), 0.5, 1e-12);
  advance(0.4);
  EXPECT_NEAR(shownX(), 50, 1e-9);
  advance(0.95);  // 0.05 s short of the end
  EXPECT_NEAR(shownX(), 97.5, 1e-6);
  EXPECT_EQ(log.back(), "a start");
  advance(0.1);
  EXPECT_EQ(log.back(), "a finished");
  EXPECT_TRUE(layer->animationKeys().empty());
}

TEST_F(CAAnimationTest, BackwardsTimeEndsAnAnimationWhereItBegan) {
  std::vector<std::string> log;
  auto parent = CALayer::layer();
  parent->addSublayer(layer);
  parent->setSpeed(0);
  auto a = linearMoveX(0, 100, 1);
  a->setDelegate(std::make_shared<LoggingDelegate>(&log, "a"));
  layer->addAnimation(a, "move");
  parent->setTimeOffset(0.6);
  parent->setBeginTime(CACurrentMediaTime());
  parent->setSpeed(-2);
  advance(0.1);
  EXPECT_NEAR(shownX(), 40, 1e-9);
  advance(0.15);
  EXPECT_NEAR(shownX(), 10, 1e-6);
  EXPECT_EQ(log.back(), "a start");
  advance(0.1);  // back at 0 after 0.3 s
  EXPECT_EQ(log.back(), "a finished");
  EXPECT_EQ(shownX(), 50);  // the model again

  // A layer with running animations moved under a held clock holds too;
  // moved back out, it ends on time.
  auto b = linearMoveX(0, 100, 1);
  b->setDelegate(std::make_shared<LoggingDelegate>(&log, "b"));
  auto loose = CALayer::layer();
  loose->addAnimation(b, "move");
  auto held = CALayer::layer();
  held->setSpeed(0);
  held->addSublayer(loose);
  advance(2);
  EXPECT_EQ(log.back(), "b start");
  auto running = CALayer::layer();
  running->addSublayer(loose);
  advance(0.01);
  EXPECT_EQ(log.back(), "b finished");  // its end had passed on the free clock
}

}  // namespace ca_animation_test
