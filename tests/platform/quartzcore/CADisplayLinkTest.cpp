#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/quartzcore/CADisplayLink.h"
#include "support/TestEnvironment.h"

namespace ca_display_link_test {

namespace {

constexpr double kFrame = 1.0 / 60;

class CADisplayLinkTest : public PlatformTest {
 protected:
  // Whole frames, a hair more so that rounding never drops the last one.
  static void advanceFrames(double n) { advance(n * kFrame + 1e-7); }
};

// A target that records the timestamps it is called with.
class Target : public NSObject {
 public:
  void step(CADisplayLink& link) {
    timestamps.push_back(link.timestamp());
    targets.push_back(link.targetTimestamp());
  }
  std::vector<double> timestamps, targets;
};

TEST_F(CADisplayLinkTest, TicksOnWholeFramesWhileAddedAndNotPaused) {
  auto target = std::make_shared<Target>();
  auto link = CADisplayLink::displayLinkWithTarget(target, &Target::step);
  EXPECT_DOUBLE_EQ(link->duration(), kFrame);
  advance(0.1);
  EXPECT_TRUE(target->timestamps.empty());  // not added yet

  link->addToRunLoop(NSRunLoop::mainRunLoop(), NSRunLoopCommonModes);
  advanceFrames(3);
  ASSERT_EQ(target->timestamps.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    // Frames fall on the display's grid; the target is the next frame.
    double frames = target->timestamps[i] / kFrame;
    EXPECT_NEAR(frames, std::round(frames), 1e-6);
    EXPECT_NEAR(target->targets[i] - target->timestamps[i], kFrame, 1e-9);
    if (i > 0) {
      EXPECT_NEAR(target->timestamps[i] - target->timestamps[i - 1], kFrame, 1e-9);
    }
  }
  EXPECT_LE(target->timestamps.back(), PlatformClock::now());

  link->setPaused(true);
  EXPECT_TRUE(link->isPaused());
  advance(1);
  EXPECT_EQ(target->timestamps.size(), 3u);
  link->setPaused(false);
  advanceFrames(1);
  EXPECT_EQ(target->timestamps.size(), 4u);

  link->setPreferredFramesPerSecond(30);
  advanceFrames(10);
  EXPECT_EQ(target->timestamps.size(), 9u);
  EXPECT_NEAR(target->targets.back() - target->timestamps.back(), 2 * kFrame, 1e-9);

  link->removeFromRunLoop(NSRunLoop::mainRunLoop(), NSRunLoopCommonModes);
  advance(1);
  EXPECT_EQ(target->timestamps.size(), 9u);
  link->invalidate();

  // A link that plays media ticks as playback, which the main queue's count
  // of work (read by whoever waits for a still screen) leaves out.
  for (bool playback : {true, false}) {
    SCOPED_TRACE(playback ? "playback" : "ordinary");
    auto player = std::make_shared<Target>();
    auto frames = CADisplayLink::displayLinkWithTarget(player, &Target::step);
    frames->setDrivesPlayback(playback);
    frames->addToRunLoop(NSRunLoop::mainRunLoop(), NSRunLoopCommonModes);
    const uint64_t taken = NSRunLoop::mainRunLoop().tasksTaken();
    advanceFrames(3);
    EXPECT_EQ(player->timestamps.size(), 3u);
    EXPECT_EQ(NSRunLoop::mainRunLoop().tasksTaken() - taken, playback ? 0u : 3u);
    frames->invalidate();
  }
}

TEST_F(CADisplayLinkTest, StaysInTheRunLoopUntilTheLastModeGoes) {
  auto target = std::make_shared<Target>();
  auto link = CADisplayLink::displayLinkWithTarget(target, &Target::step);
  link->addToRunLoop(NSRunLoop::mainRunLoop(), NSDefaultRunLoopMode);
  link->addToRunLoop(NSRunLoop::mainRunLoop(), NSRunLoopCommonModes);
  link->removeFromRunLoop(NSRunLoop::mainRunLoop(), NSDefaultRunLoopMode);
  advanceFrames(1);
  EXPECT_EQ(target->timestamps.size(), 1u);
  link->invalidate();
  EXPECT_FALSE(link->isValid());
  advance(1);
  EXPECT_EQ(target->timestamps.size(), 1u);
  // An invalidated link cannot be added again.
  link->addToRunLoop(NSRunLoop::mainRunLoop(), NSDefaultRunLoopMode);
  EXPECT_EQ(PlatformClock::pendingCount(), 0u);
}

TEST_F(CADisplayLinkTest, HoldsItsTargetWeaklyAndStopsWhenItGoes) {
  auto target = std::make_shared<Target>();
  std::weak_ptr<Target> weak = target;
  auto link = CADisplayLink::displayLinkWithTarget(target, &Target::step);
  link->addToRunLoop(NSRunLoop::mainRunLoop(), NSDefaultRunLoopMode);
  advanceFrames(1);
  target.reset();
  EXPECT_TRUE(weak.expired());
  advanceFrames(1);
  EXPECT_FALSE(link->isValid());
  EXPECT_EQ(PlatformClock::pendingCount(), 0u);
}

TEST_F(CADisplayLinkTest, TheRunLoopKeepsAnAddedLinkUntilItsTargetGoes) {
  auto target = std::make_shared<Target>();
  std::weak_ptr<CADisplayLink> weakLink;
  {
    auto link = CADisplayLink::displayLinkWithTarget(target, &Target::step);
    link->addToRunLoop(NSRunLoop::mainRunLoop(), NSDefaultRunLoopMode);
    weakLink = link;
  }
  advanceFrames(2);
  EXPECT_EQ(target->timestamps.size(), 2u);
  EXPECT_FALSE(weakLink.expired());
  target.reset();
  advanceFrames(1);
  EXPECT_TRUE(weakLink.expired());
}

}  // namespace

namespace {

TEST_F(CADisplayLinkTest, AFrameIntervalCallsEveryNthFrame) {
  auto target = std::make_shared<Target>();
  auto link = CADisplayLink::displayLinkWithTarget(target, &Target::step);
  EXPECT_EQ(link->frameInterval(), 1);
  link->setFrameInterval(3);
  link->addToRunLoop(NSRunLoop::mainRunLoop(), NSRunLoopCommonModes);
  advanceFrames(12);
  ASSERT_EQ(target->timestamps.size(), 4u);
  EXPECT_NEAR(target->timestamps[1] - target->timestamps[0], 3 * kFrame, 1e-9);
  EXPECT_NEAR(target->targets.back() - target->timestamps.back(), 3 * kFrame, 1e-9);
  link->setFrameInterval(0);  // ignored
  EXPECT_EQ(link->frameInterval(), 3);
  link->setPreferredFramesPerSecond(60);
  EXPECT_EQ(link->frameInterval(), 1);
  advanceFrames(6);
  EXPECT_EQ(target->timestamps.size(), 10u);
  link->invalidate();
}

}  // namespace

}  // namespace ca_display_link_test
