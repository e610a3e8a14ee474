#include <gtest/gtest.h>

#include <vector>

#include "FoundationTestSupport.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/NSTimer.h"
#include "platform/foundation/PlatformClock.h"

namespace ns_timer_test {

using NSTimerTest = PlatformTest;

TEST_F(NSTimerTest, RepeatingTimerKeepsItsCadenceUntilInvalidated) {
  std::vector<double> firedAt;
  auto timer = NSTimer::scheduledTimerWithTimeInterval(
      0.25, true, [&](NSTimer&) { firedAt.push_back(PlatformClock::now()); });
  EXPECT_DOUBLE_EQ(timer->fireDate(), 1000.25);
  EXPECT_DOUBLE_EQ(timer->timeInterval(), 0.25);
  PlatformClock::advance(1.0);
  EXPECT_EQ(firedAt, (std::vector<double>{1000.25, 1000.5, 1000.75, 1001.0}));
  EXPECT_DOUBLE_EQ(timer->fireDate(), 1001.25);

  // Odd steps do not shift the cadence.
  PlatformClock::advance(0.3);
  PlatformClock::advance(0.3);
  EXPECT_EQ(firedAt.size(), 6u);
  EXPECT_DOUBLE_EQ(firedAt[5], 1001.5);

  timer->invalidate();
  EXPECT_FALSE(timer->isValid());
  EXPECT_DOUBLE_EQ(timer->fireDate(), 0);
  PlatformClock::advance(5);
  EXPECT_EQ(firedAt.size(), 6u);
}

// Moves the clock from another thread, as the real clock's scheduler does:
// what falls due is posted to the main run loop, which the test has not
// drained, so the timer's fire runs late.
void advanceWhileTheMainThreadIsBusy(double seconds) {
  Latch done(1);
  dispatch_async(dispatch_get_global_queue(DispatchQoS::Default), [&] {
    PlatformClock::advance(seconds);
    done.countDown();
  });
  ASSERT_TRUE(done.wait());
}

TEST_F(NSTimerTest, RepeatingTimerKeepsItsCadenceAfterALateFire) {
  std::vector<double> firedAt;
  auto timer = NSTimer::scheduledTimerWithTimeInterval(
      0.25, true, [&](NSTimer&) { firedAt.push_back(PlatformClock::now()); });
  advanceWhileTheMainThreadIsBusy(0.625);
  EXPECT_TRUE(firedAt.empty());
  NSRunLoop::mainRunLoop().runUntilIdle();
  // One late fire for the two deadlines that passed; the next stays on the
  // cadence rather than one interval after the late fire.
  EXPECT_EQ(firedAt, std::vector<double>{1000.625});
  EXPECT_DOUBLE_EQ(timer->fireDate(), 1000.75);

  // A late fire that lands on a cadence point: the next deadline is the one after.
  advanceWhileTheMainThreadIsBusy(0.375);
  NSRunLoop::mainRunLoop().runUntilIdle();
  EXPECT_EQ(firedAt, (std::vector<double>{1000.625, 1001.0}));
  EXPECT_DOUBLE_EQ(timer->fireDate(), 1001.25);
  PlatformClock::advance(0.125);
  EXPECT_EQ(firedAt.size(), 2u);
  PlatformClock::advance(0.125);
  EXPECT_EQ(firedAt, (std::vector<double>{1000.625, 1001.0, 1001.25}));
  timer->invalidate();
}

TEST_F(NSTimerTest, OneShotTimerFiresOnceThenIsInvalid) {
  int fired = 0;
  bool validInBlock = false;
  auto timer = NSTimer::scheduledTimerWithTimeInterval(0.8, false, [&](NSTimer& t) {
    ++fired;
    validInBlock = t.isValid();
  });
  EXPECT_DOUBLE_EQ(timer->timeInterval(), 0);  // one-shot timers report no interval
  PlatformClock::advance(0.79);
  EXPECT_EQ(fired, 0);
  PlatformClock::advance(0.01);
  EXPECT_EQ(fired, 1);
  EXPECT_TRUE(validInBlock);
  EXPECT_FALSE(timer->isValid());
  PlatformClock::advance(5);
  EXPECT_EQ(fired, 1);
}

TEST_F(NSTimerTest, TheRunLoopKeepsAScheduledTimerAliveUntilItStops) {
  int fired = 0;
  std::weak_ptr<NSTimer> weak;
  {
    auto timer = NSTimer::scheduledTimerWithTimeInterval(1, true, [&](NSTimer& t) {
      if (++fired == 3) t.invalidate();  // from inside its own block
    });
    weak = timer;
  }
  EXPECT_FALSE(weak.expired());
  PlatformClock::advance(10);
  EXPECT_EQ(fired, 3);
  NSRunLoop::mainRunLoop().runUntilIdle();
  EXPECT_TRUE(weak.expired());
}

TEST_F(NSTimerTest, FireRunsNowAndUnscheduledTimersWait) {
  int fired = 0;
  auto timer = NSTimer::timerWithTimeInterval(1, true, [&](NSTimer&) { ++fired; });
  PlatformClock::advance(3);
  EXPECT_EQ(fired, 0);
  timer->fire();
  EXPECT_EQ(fired, 1);
  EXPECT_TRUE(timer->isValid());  // a repeating timer stays valid after fire()
  timer->scheduleOnMainRunLoop();
  PlatformClock::advance(1);
  EXPECT_EQ(fired, 2);
  timer->invalidate();
  timer->fire();
  EXPECT_EQ(fired, 2);  // an invalid timer does nothing

  auto oneShot = NSTimer::scheduledTimerWithTimeInterval(1, false, [&](NSTimer&) { ++fired; });
  oneShot->fire();
  EXPECT_FALSE(oneShot->isValid());
  PlatformClock::advance(2);
  EXPECT_EQ(fired, 3);
}

}  // namespace ns_timer_test
