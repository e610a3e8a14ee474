#include "support/TestEnvironment.h"

#include <chrono>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/foundation/SingletonResets.h"

namespace {

// True once no work runs on background queues and nothing but playback waits
// for the main thread, both at once. Each hands work to the other: an answer
// a background queue posts to the main thread may start the next load there
// (a cache's miss starts the download), so waiting for the queues alone can
// end with work still to come.
bool MainLoopAndWorkersQuiet() {
  NSRunLoop::mainRunLoop().runUntilIdle();
  // The queues first: what they post to the main thread is posted by the
  // time they are idle, so the main loop's check below sees it.
  return DispatchWorkersIdle() && !NSRunLoop::mainRunLoop().hasPendingWork();
}

}  // namespace

void PlatformTest::SetUp() {
  NSRunLoop::mainRunLoop().runUntilIdle();
  SingletonResets::runAll();
  PlatformClock::useManualClock(1000.0);
  NSRunLoop::mainRunLoop().runUntilIdle();
}

void PlatformTest::TearDown() {
  // Work a test started on background queues ends with the test, and so
  // does what its answers start on the main thread: left running, it reaches
  // into the next test, the fixtures' teardown or the process's exit.
  EXPECT_TRUE(RunMainLoopUntil(MainLoopAndWorkersQuiet))
      << "the test left work running on background queues";
  if (!stoppers_.empty()) {
    // Stopped only now: the work just awaited may have given them more to do.
    for (auto& stop : stoppers_) stop();
    stoppers_.clear();
    EXPECT_TRUE(RunMainLoopUntil(MainLoopAndWorkersQuiet))
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
  EXPECT_TRUE(RunMainLoopUntil(MainLoopAndWorkersQuiet))
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
