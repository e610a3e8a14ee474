#pragma once

// The one test environment every test folder uses. Each test starts on the
// manual platform clock (at 1000 s) with the main run loop drained and the
// shared instances back in their first-use state; at the end the main run
// loop is drained again and the test fails when work is left behind: a task
// still queued for the main thread or an item still scheduled on the clock
// (an unfired timer, a pending delayed dispatch). Tests that end with
// scheduled items on purpose clear them first (invalidate the timer).
//
// Before those checks it waits, bounded, until the background queues and the
// main run loop are idle together, as each hands work to the other.
//
// What keeps going by itself is ended before those checks, in one way:
// fixtures let go of their screens and call endScreens(), and register with
// addStopper() what runs on a thread of its own and sets items on the clock
// (a photo library's folder watcher), which TearDown stops first.
//
//   class ScrollViewTest : public PlatformTest {};
//   TEST_F(ScrollViewTest, Decelerates) { ...; PlatformClock::advance(0.5); ... }

#include <gtest/gtest.h>

#include <functional>
#include <vector>

// Every bounded wait for background work in tests uses this much real time.
inline constexpr double kTestTimeoutSeconds = 10.0;

// Set under the address or thread sanitizer, whose allocators hold freed
// memory back and reserve address space: tests that count memory or run it
// out skip there.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QX_SANITIZER_ALLOCATOR 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define QX_SANITIZER_ALLOCATOR 1
#endif
#if __has_feature(thread_sanitizer)
#define QX_THREAD_SANITIZER 1
#endif
#endif
#if defined(__SANITIZE_THREAD__)
#define QX_THREAD_SANITIZER 1
#endif

// Runs main-loop tasks as they arrive until `done` holds, for at most
// kTestTimeoutSeconds of real time; false when it never did. Work finishing
// on other threads (sessions, decoders) reaches the main queue, so tests wait
// here, never sleep.
bool RunMainLoopUntil(const std::function<bool()>& done);

class PlatformTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Lets the screens the test has let go of end: first the work still
  // running on background queues, whose blocks may hold a page or a
  // controller (a completion that captured it), then `seconds` on the clock,
  // in which transitions end, toasts fade and display links find their
  // views gone and stop. Whatever a screen still has on the clock after
  // that is the test's leftover, which TearDown reports.
  static void endScreens(double seconds);
  // Registers what TearDown stops before its checks, after the background
  // work ends.
  void addStopper(std::function<void()> stop);

  // Drains the main run loop (what the platform would do between events).
  static void drainMainLoop();
  // Advances the manual clock, firing what falls due and draining the main
  // run loop after each step.
  static void advance(double seconds);

 private:
  std::vector<std::function<void()>> stoppers_;
};
