#include "support/TestEnvironment.h"

#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/foundation/SingletonResets.h"

void PlatformTest::SetUp() {
  NSRunLoop::mainRunLoop().runUntilIdle();
  SingletonResets::runAll();
  PlatformClock::useManualClock(1000.0);
  NSRunLoop::mainRunLoop().runUntilIdle();
}

void PlatformTest::TearDown() {
  NSRunLoop::mainRunLoop().runUntilIdle();
  EXPECT_FALSE(NSRunLoop::mainRunLoop().hasPendingTasks())
      << "the test left tasks queued for the main thread";
  EXPECT_EQ(PlatformClock::pendingCount(), 0u)
      << "the test left timers or delayed work scheduled on the clock";
  SingletonResets::runAll();
  PlatformClock::useRealClock();
}

void PlatformTest::drainMainLoop() { NSRunLoop::mainRunLoop().runUntilIdle(); }

void PlatformTest::advance(double seconds) { PlatformClock::advance(seconds); }
