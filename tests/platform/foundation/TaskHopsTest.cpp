// Hopping threads and sharing once-only callbacks: run-now-or-post to the
// main thread, callbacks bound to a queue, and once callbacks split between
// racing paths.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "FoundationTestSupport.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/OnceCallback.h"

namespace task_hops_test {

namespace {

int kQueueKey;

// A serial queue that tells its blocks apart from every other thread's.
dispatch_queue_t markedQueue(const char* label, void* mark) {
  auto queue = dispatch_queue_create(label);
  dispatch_queue_set_specific(queue, &kQueueKey, mark);
  return queue;
}

}  // namespace

using TaskHopsTest = PlatformTest;

TEST_F(TaskHopsTest, ExactlyOneRacingPathRunsASplitCallback) {
  struct Case {
    int racers;
    int rounds;
  };
  for (const Case c : {Case{2, 200}, Case{8, 100}, Case{32, 30}}) {
    for (int round = 0; round < c.rounds; ++round) {
      std::atomic<int> runs{0};
      std::atomic<int> winners{0};
      std::atomic<int> ranWith{-1};
      auto shared = SplitOnceCallback(OnceCallback<void(int)>([&](int who) {
        runs.fetch_add(1);
        ranWith = who;
      }));
      std::vector<std::atomic<bool>> won(c.racers);
      Latch finished(c.racers);
      auto go = dispatch_semaphore_create(0);
      for (int who = 0; who < c.racers; ++who) {
        dispatch_async(dispatch_get_global_queue(DispatchQoS::UserInitiated),
                       [shared, who, go, &won, &winners, &finished] {
                         DispatchBlockingScope waiting;
                         dispatch_semaphore_wait(go, dispatch_time_after(kTestTimeoutSeconds));
                         dispatch_semaphore_signal(go);  // lets the next racer through at once
                         if (shared.tryRun(who)) {
                           won[who] = true;
                           winners.fetch_add(1);
                         }
                         finished.countDown();
                       });
      }
      dispatch_semaphore_signal(go);
      ASSERT_TRUE(finished.wait()) << c.racers << " racers, round " << round;
      ASSERT_EQ(runs.load(), 1) << c.racers << " racers, round " << round;
      ASSERT_EQ(winners.load(), 1) << c.racers << " racers, round " << round;
      ASSERT_TRUE(won[ranWith.load()]) << "the callback ran with a loser's argument";
      EXPECT_TRUE(shared.isClaimed());
      EXPECT_FALSE(shared.tryRun(-1)) << "a late caller must lose";
    }
  }
}

TEST_F(TaskHopsTest, SplitCallbackKeepsTheOncePromiseWhenDroppedClaimedOrEmpty) {
  // Dropped by every path unrun: it never runs and lets go of what it held.
  auto token = std::make_shared<int>(7);
  std::weak_ptr<int> watch = token;
  bool ran = false;
  {
    auto first = SplitOnceCallback(OnceClosure([token = std::move(token), &ran] { ran = true; }));
    auto second = first;
    EXPECT_TRUE(static_cast<bool>(second));
    EXPECT_FALSE(second.isClaimed());
  }
  EXPECT_FALSE(ran);
  EXPECT_TRUE(watch.expired()) << "the last copy dropped must release the callback";

  // Run by one path: what it captured goes when the call returns, though
  // losing copies live on.
  token = std::make_shared<int>(8);
  watch = token;
  int seen = 0;
  auto winner = SplitOnceCallback(
      OnceCallback<void(int)>([token = std::move(token), &seen](int add) { seen = *token + add; }));
  auto loser = winner;
  EXPECT_TRUE(winner.tryRun(2));
  EXPECT_EQ(seen, 10);
  EXPECT_TRUE(watch.expired());
  EXPECT_FALSE(loser.tryRun(5));
  EXPECT_EQ(seen, 10);

  // claim(): the winner takes the callback to run elsewhere; a loser's out
  // parameter is left as it was.
  int claimedRuns = 0;
  auto racing = SplitOnceCallback(OnceClosure([&] { ++claimedRuns; }));
  OnceClosure taken;
  ASSERT_TRUE(racing.claim(&taken));
  EXPECT_EQ(claimedRuns, 0) << "claiming must not run the callback";
  OnceClosure kept([&] { claimedRuns += 10; });
  EXPECT_FALSE(racing.claim(&kept));
  kept();
  taken();
  EXPECT_EQ(claimedRuns, 11);

  // A nil callback: nothing runs, but the race is still decided once.
  auto nil = SplitOnceCallback(OnceClosure());
  EXPECT_FALSE(static_cast<bool>(nil));
  EXPECT_TRUE(nil.tryRun());
  EXPECT_FALSE(nil.tryRun());
  SharedOnceCallback<void()> none;
  EXPECT_FALSE(none.tryRun()) << "a default one holds nothing to win";
  EXPECT_TRUE(none.isClaimed());
}

TEST_F(TaskHopsTest, RunNowOrPostRunsInlineOnlyOnTheMainThread) {
  // Inline on the main thread: done before the call returns, nothing queued.
  bool ranInline = false;
  dispatch_main_now_or_async([&] { ranInline = true; });
  EXPECT_TRUE(ranInline);
  EXPECT_FALSE(NSRunLoop::mainRunLoop().hasPendingTasks());

  // From a worker: posted, so it waits for the main loop and runs there.
  std::atomic<bool> ran{false};
  std::atomic<bool> onMain{false};
  Latch posted(1);
  dispatch_async(dispatch_get_global_queue(DispatchQoS::Default), [&] {
    dispatch_main_now_or_async([&] {
      onMain = isMainThread();
      ran = true;
    });
    posted.countDown();
  });
  ASSERT_TRUE(posted.wait());
  EXPECT_FALSE(ran.load()) << "a worker must not run main-thread work itself";
  NSRunLoop::mainRunLoop().runUntilIdle();
  EXPECT_TRUE(ran.load());
  EXPECT_TRUE(onMain.load());
  dispatch_main_now_or_async(nullptr);  // a nil block is no task
  EXPECT_FALSE(NSRunLoop::mainRunLoop().hasPendingTasks());
}

TEST_F(TaskHopsTest, BoundCallbackRunsOnItsQueueWhoeverCallsIt) {
  int targetMark = 1;
  int otherMark = 2;
  auto target = markedQueue("test.bound.target", &targetMark);
  auto other = markedQueue("test.bound.other", &otherMark);
  enum class Caller { Main, Other, Target };
  for (Caller caller : {Caller::Main, Caller::Other, Caller::Target}) {
    SCOPED_TRACE(static_cast<int>(caller));
    std::atomic<void*> ranOn{nullptr};
    std::atomic<bool> callerDone{false};
    std::atomic<bool> callerDoneFirst{false};
    std::atomic<int> got{0};
    Latch finished(1);
    Latch callerFinished(1);
    auto bound = dispatch_bind_to_queue(
        target, OnceCallback<void(std::unique_ptr<int>)>([&](std::unique_ptr<int> value) {
          ranOn = dispatch_get_specific(&kQueueKey);
          callerDoneFirst = callerDone.load();
          got = *value;
          finished.countDown();
        }));
    auto call = [&, bound = std::move(bound)]() mutable {
      bound(std::make_unique<int>(42));
      callerDone = true;
      callerFinished.countDown();
    };
    switch (caller) {
      case Caller::Main:
        call();
        break;
      case Caller::Other:
        dispatch_async(other, std::move(call));
        break;
      case Caller::Target:
        dispatch_async(target, std::move(call));
        break;
    }
    // The caller's block must be done with this round's locals too.
    ASSERT_TRUE(finished.wait());
    ASSERT_TRUE(callerFinished.wait());
    EXPECT_EQ(ranOn.load(), &targetMark);
    EXPECT_EQ(got.load(), 42);
    // Posted even from its own queue: the caller's block finishes first.
    if (caller == Caller::Target) {
      EXPECT_TRUE(callerDoneFirst.load());
    }
  }

  // To the main queue: it waits for the main loop even when called there.
  bool ran = false;
  auto onMain = dispatch_bind_to_queue(dispatch_get_main_queue(), OnceClosure([&] { ran = true; }));
  onMain();
  EXPECT_FALSE(ran);
  NSRunLoop::mainRunLoop().runUntilIdle();
  EXPECT_TRUE(ran);
  EXPECT_FALSE(static_cast<bool>(dispatch_bind_to_queue(target, OnceClosure())))
      << "a nil callback stays nil";
}

}  // namespace task_hops_test
