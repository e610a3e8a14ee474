#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FoundationTestSupport.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/PlatformClock.h"
#include "support/TestEnvironment.h"

namespace ns_run_loop_test {

using NSRunLoopTest = PlatformTest;

TEST_F(NSRunLoopTest, RunUntilIdleDrainsTasksQueuedByTasks) {
  std::vector<std::string> order;
  auto& loop = NSRunLoop::mainRunLoop();
  loop.perform([&] {
    order.push_back("a");
    loop.perform([&] {
      order.push_back("c");
      loop.perform([&] { order.push_back("e"); });
    });
  });
  loop.perform([&] { order.push_back("b"); });
  loop.perform([&] { order.push_back("d"); });
  EXPECT_TRUE(loop.hasPendingTasks());
  EXPECT_EQ(loop.runUntilIdle(), 5u);
  EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "d", "c", "e"}));
  EXPECT_FALSE(loop.hasPendingTasks());
  EXPECT_EQ(loop.runUntilIdle(), 0u);
}

// Playback, and what it queues at once or later, is left out of the work
// counts; work queued after it, or by a timer it did not start, is not.
TEST_F(NSRunLoopTest, PlaybackAndWhatItQueuesAreLeftOutOfTheWorkCounts) {
  auto& loop = NSRunLoop::mainRunLoop();
  const uint64_t before = loop.tasksTaken();
  int ran = 0;
  loop.performPlayback([&] {
    ++ran;
    loop.perform([&] { ++ran; });
    loop.performAfter(1, [&] { ++ran; });
  });
  EXPECT_TRUE(loop.hasPendingTasks());
  EXPECT_FALSE(loop.hasPendingWork());
  EXPECT_EQ(loop.runUntilIdle(), 2u);
  PlatformClock::advance(1);
  EXPECT_EQ(ran, 3);
  EXPECT_EQ(loop.tasksTaken(), before);
  loop.perform([&] { ++ran; });
  loop.performAfter(1, [&] { ++ran; });
  EXPECT_TRUE(loop.hasPendingWork());
  loop.runUntilIdle();
  PlatformClock::advance(1);
  EXPECT_EQ(ran, 5);
  EXPECT_EQ(loop.tasksTaken(), before + 2);
  EXPECT_FALSE(loop.hasPendingWork());
}

TEST_F(NSRunLoopTest, AdvanceFiresInDeadlineOrderAndStopsAtTheTarget) {
  std::vector<std::string> fired;
  std::vector<double> firedAt;
  auto& loop = NSRunLoop::mainRunLoop();
  auto record = [&](const char* name) {
    return [&, name] {
      fired.push_back(name);
      firedAt.push_back(PlatformClock::now());
    };
  };
  loop.performAfter(3.0, record("three"));
  loop.performAfter(1.0, record("one"));
  loop.performAfter(2.0, record("two"));
  loop.performAfter(2.0, record("two-again"));  // equal deadlines keep their order

  PlatformClock::advance(0.5);
  EXPECT_TRUE(fired.empty());
  EXPECT_DOUBLE_EQ(PlatformClock::now(), 1000.5);

  PlatformClock::advance(1.5);
  EXPECT_EQ(fired, (std::vector<std::string>{"one", "two", "two-again"}));
  EXPECT_EQ(firedAt, (std::vector<double>{1001.0, 1002.0, 1002.0}));
  EXPECT_DOUBLE_EQ(PlatformClock::now(), 1002.0);

  PlatformClock::advance(10);
  EXPECT_EQ(fired.back(), "three");
  EXPECT_DOUBLE_EQ(firedAt.back(), 1003.0);
  EXPECT_DOUBLE_EQ(PlatformClock::now(), 1012.0);
}

TEST_F(NSRunLoopTest, WorkScheduledWhileAdvancingFiresWithinTheSameAdvance) {
  std::vector<double> firedAt;
  auto& loop = NSRunLoop::mainRunLoop();
  loop.performAfter(1.0, [&] {
    firedAt.push_back(PlatformClock::now());
    loop.performAfter(1.0, [&] { firedAt.push_back(PlatformClock::now()); });
  });
  PlatformClock::advance(5);
  EXPECT_EQ(firedAt, (std::vector<double>{1001.0, 1002.0}));
}

TEST_F(NSRunLoopTest, CancelledItemsNeverFire) {
  bool fired = false;
  uint64_t token = PlatformClock::scheduleAt(PlatformClock::now() + 1, [&] { fired = true; });
  PlatformClock::cancel(token);
  PlatformClock::advance(2);
  EXPECT_FALSE(fired);
}

TEST_F(NSRunLoopTest, AStopEndsOneRunAndIsThenUsedUp) {
  auto& loop = NSRunLoop::mainRunLoop();
  std::vector<std::string> ran;
  loop.perform([&] {
    ran.push_back("a");
    loop.stop();
  });
  loop.perform([&] { ran.push_back("b"); });
  loop.run();
  // The stop ends the run before the next task, which waits for the next run.
  EXPECT_EQ(ran, std::vector<std::string>{"a"});
  EXPECT_TRUE(loop.hasPendingTasks());

  loop.perform([&] {
    ran.push_back("c");
    loop.stop();
  });
  loop.run();
  EXPECT_EQ(ran, (std::vector<std::string>{"a", "b", "c"}));

  // A stop that ends a wait for a task is used up there too.
  loop.stop();
  EXPECT_FALSE(loop.runOnce(kTestTimeoutSeconds));
  loop.perform([&] {
    ran.push_back("d");
    loop.stop();
  });
  loop.run();
  EXPECT_EQ(ran.back(), "d");
  EXPECT_FALSE(loop.hasPendingTasks());
  loop.runUntilIdle();  // whatever a failure above left must not outlive `ran`
}

using NSRunLoopThreadTest = PlatformTest;

TEST_F(NSRunLoopThreadTest, TasksFromOtherThreadsRunOnTheMainThread) {
  EXPECT_TRUE(isMainThread());
  Latch posted(1);
  bool ranOnMain = false;
  bool postedFromMain = true;
  dispatch_async(dispatch_get_global_queue(DispatchQoS::Default), [&] {
    postedFromMain = isMainThread();
    NSRunLoop::mainRunLoop().perform([&] { ranOnMain = isMainThread(); });
    posted.countDown();
  });
  ASSERT_TRUE(posted.wait());
  EXPECT_FALSE(postedFromMain);
  EXPECT_TRUE(NSRunLoop::mainRunLoop().runOnce(kTestTimeoutSeconds));
  EXPECT_TRUE(ranOnMain);
}

}  // namespace ns_run_loop_test
