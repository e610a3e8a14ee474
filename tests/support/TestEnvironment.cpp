#include "support/TestEnvironment.h"

#include <chrono>

#include "platform/foundation/Dispatch.h"
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
  // Work a test started on background queues ends with the test: left
  // running, it reaches into the next test or races the process's exit.
  EXPECT_TRUE(RunMainLoopUntil(DispatchWorkersIdle))
      << "the test left work running on background queues";
  if (!stoppers_.empty()) {
    // Stopped only now: the work just awaited may have given them more to do.
    for (auto& stop : stoppers_) stop();
    stoppers_.clear();
    EXPECT_TRUE(RunMainLoopUntil(DispatchWorkersIdle))
        << "work handed on by what the test stopped was still running";
  }
  NSRunLoop::mainRunLoop().runUntilIdle();
  EXPECT_FALSE(NSRunLoop::mainRunLoop().hasPendingTasks())
      << "the test left tasks queued for the main thread";
  EXPECT_EQ(PlatformClock::pendingCount(), 0u)
      << "the test left timers or delayed work scheduled on the clock";
  SingletonResets::runAll();
  PlatformClock::useRealClock();
}

void PlatformTest::endScreens(double seconds) {
  EXPECT_TRUE(RunMainLoopUntil(DispatchWorkersIdle))
      << "background work still held the test's screens";
  NSRunLoop::mainRunLoop().runUntilIdle();
  PlatformClock::advance(seconds);
}

void PlatformTest::addStopper(std::function<void()> stop) { stoppers_.push_back(std::move(stop)); }

void PlatformTest::drainMainLoop() { NSRunLoop::mainRunLoop().runUntilIdle(); }

void PlatformTest::advance(double seconds) { PlatformClock::advance(seconds); }

bool RunMainLoopUntil(const std::function<bool()>& done) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration<double>(kTestTimeoutSeconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    NSRunLoop::mainRunLoop().runOnce(0.05);
  }
  return true;
}
