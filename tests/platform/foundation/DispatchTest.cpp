#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FoundationTestSupport.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSOperation.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/NSThread.h"
#include "platform/foundation/NSTimer.h"
#include "platform/foundation/OnceCallback.h"
#include "platform/foundation/PlatformClock.h"

namespace dispatch_test {

namespace {

// Waits for every block queued so far on a serial queue.
void drain(const dispatch_queue_t& queue) {
  auto group = dispatch_group_create();
  dispatch_group_async(group, queue, [] {});
  ASSERT_EQ(dispatch_group_wait(group, dispatch_time_after(kTestTimeoutSeconds)), 0);
}

}  // namespace

using DispatchTest = PlatformTest;

TEST_F(DispatchTest, SerialQueueRunsOneBlockAtATimeInOrder) {
  auto queue = dispatch_queue_create("test.serial");
  std::vector<int> order;
  std::atomic<int> active{0};
  std::atomic<int> maxActive{0};
  // Far more blocks than one turn on a worker runs, some of them barriers,
  // which on a serial queue are ordinary blocks in the line.
  for (int i = 0; i < 200; ++i) {
    auto block = [&, i] {
      int now = ++active;
      maxActive = std::max(maxActive.load(), now);
      order.push_back(i);
      --active;
    };
    i % 7 == 3 ? dispatch_barrier_async(queue, block) : dispatch_async(queue, block);
  }
  // What a block held is let go before the next block starts.
  std::atomic<bool> released{false};
  bool releasedBeforeNext = false;
  auto held = std::shared_ptr<int>(new int(0), [&](int* p) {
    delete p;
    released = true;
  });
  dispatch_async(queue, [held] {});
  held.reset();
  dispatch_async(queue, [&] { releasedBeforeNext = released; });
  drain(queue);
  ASSERT_EQ(order.size(), 200u);
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
  EXPECT_EQ(maxActive.load(), 1);
  EXPECT_TRUE(releasedBeforeNext);
  EXPECT_EQ(dispatch_queue_get_label(queue), "test.serial");
}

TEST_F(DispatchTest, BusySerialQueuesTakeTurnsWithOtherQueues) {
  // More serial queues than the pool could ever have workers, each queueing
  // its next block from the one running: a queue that kept its worker for as
  // long as it had blocks would never let the last queue in.
  struct Chain {
    dispatch_queue_t queue;
    std::atomic<bool>* stop;
    Latch* ended;
    void step() {
      if (stop->load()) {
        ended->countDown();
        return;
      }
      dispatch_async(queue, [this] { step(); });
    }
  };
  const int count = DispatchWorkerLimit() + 1;
  std::atomic<bool> stop{false};
  Latch ended(count);
  std::vector<Chain> chains;
  for (int i = 0; i < count; ++i) {
    chains.push_back(Chain{dispatch_queue_create("test.chain"), &stop, &ended});
  }
  for (Chain& chain : chains) dispatch_async(chain.queue, [&chain] { chain.step(); });
  Latch otherRan(1);
  dispatch_async(dispatch_queue_create("test.other"), [&] {
    stop = true;
    otherRan.countDown();
  });
  const bool ran = otherRan.wait();
  stop = true;  // so that the chains end even when the other queue never ran
  EXPECT_TRUE(ran);
  ASSERT_TRUE(ended.wait());
  for (Chain& chain : chains) drain(chain.queue);
}

TEST_F(DispatchTest, SyncCallerTakesItsTurnWhileBlocksRunBackToBack) {
  auto queue = dispatch_queue_create("test.burst.sync");
  auto global = dispatch_get_global_queue(DispatchQoS::Default);
  for (int round = 0; round < 20; ++round) {
    std::mutex orderMutex;
    std::vector<int> order;
    std::atomic<int> active{0};
    std::atomic<int> maxActive{0};
    auto note = [&](int i) {
      int now = ++active;
      maxActive = std::max(maxActive.load(), now);
      {
        std::lock_guard<std::mutex> lock(orderMutex);
        order.push_back(i);
      }
      --active;
    };
    Latch started(1);
    Latch go(1);
    dispatch_async(queue, [&] {
      started.countDown();
      go.wait();
      note(0);
    });
    for (int i = 1; i <= 40; ++i) {
      dispatch_async(queue, [&, i] {
        note(i);
        // Queued from within the run: behind the sync block or ahead of it.
        if (i == 20) {
          for (int k = 41; k <= 60; ++k) dispatch_async(queue, [&note, k] { note(k); });
        }
      });
    }
    ASSERT_TRUE(started.wait());
    // The first block is (nearly always) still held when the sync block queues.
    dispatch_async(global, [&go] { go.countDown(); });
    dispatch_sync(queue, [&] {
      // Holds the queue across a round trip to another queue: nothing queued
      // behind it may run meanwhile.
      note(100);
      ++active;
      auto back = dispatch_semaphore_create(0);
      dispatch_async(global, [back] { dispatch_semaphore_signal(back); });
      EXPECT_EQ(dispatch_semaphore_wait(back, dispatch_time_after(kTestTimeoutSeconds)), 0);
      --active;
      note(100);
    });
    dispatch_async(queue, [&] { note(101); });
    drain(queue);

    std::lock_guard<std::mutex> lock(orderMutex);
    ASSERT_EQ(order.size(), 64u) << round;
    auto sync = std::find(order.begin(), order.end(), 100);
    ASSERT_NE(sync, order.end());
    EXPECT_EQ(*std::next(sync), 100) << round;
    sync = order.erase(sync);
    // Everything queued before the sync call ran before it, in order.
    std::vector<int> before(order.begin(), sync);
    for (int i = 0; i <= 40; ++i) {
      EXPECT_NE(std::find(before.begin(), before.end(), i), before.end()) << round << ": " << i;
    }
    order.erase(sync);
    EXPECT_TRUE(std::is_sorted(order.begin(), order.end())) << round;
    EXPECT_EQ(order.back(), 101) << round;
    EXPECT_EQ(maxActive.load(), 1) << round;
  }
}

TEST_F(DispatchTest, ConcurrentQueueRunsBlocksInParallel) {
  // Each block waits to see the other: run one after the other, both time out.
  auto queue = dispatch_queue_create("test.concurrent", DispatchQueueAttr::Concurrent);
  Latch bothIn(2);
  std::atomic<int> sawOther{0};
  auto group = dispatch_group_create();
  for (int i = 0; i < 2; ++i) {
    dispatch_group_async(group, queue, [&] {
      bothIn.countDown();
      if (bothIn.wait(kTestTimeoutSeconds)) ++sawOther;
    });
  }
  ASSERT_EQ(dispatch_group_wait(group, dispatch_time_after(2 * kTestTimeoutSeconds)), 0);
  EXPECT_EQ(sawOther.load(), 2);
}

TEST_F(DispatchTest, BlockedWorkersLendTheirPlaceSoAwaitedWorkStillRuns) {
  // More waiting blocks than the pool keeps busy; the blocks they wait for
  // come last and must still get a thread.
  const int waiters = DispatchWorkerTarget() + 2;
  auto queue = dispatch_queue_create("test.waiters", DispatchQueueAttr::Concurrent);
  auto sema = dispatch_semaphore_create(0);
  auto group = dispatch_group_create();
  std::atomic<int> released{0};
  for (int i = 0; i < waiters; ++i) {
    dispatch_group_async(group, queue, [&] {
      if (dispatch_semaphore_wait(sema, dispatch_time_after(kTestTimeoutSeconds)) == 0) ++released;
    });
  }
  for (int i = 0; i < waiters; ++i) {
    dispatch_async(dispatch_get_global_queue(DispatchQoS::Utility),
                   [sema] { dispatch_semaphore_signal(sema); });
  }
  ASSERT_EQ(dispatch_group_wait(group, dispatch_time_after(2 * kTestTimeoutSeconds)), 0);
  EXPECT_EQ(released.load(), waiters);
  EXPECT_GE(DispatchWorkerLimit(), DispatchWorkerTarget());
  EXPECT_GE(DispatchWorkerTarget(), 2);
}

TEST_F(DispatchTest, BlocksHandedOverInQuickSuccessionEachGetAWorker) {
  // One after the other, each as the previous ends: a worker still looking
  // for work takes the next without being woken, and none is left waiting.
  auto global = dispatch_get_global_queue(DispatchQoS::Default);
  auto done = dispatch_semaphore_create(0);
  for (int i = 0; i < 2000; ++i) {
    dispatch_async(global, [done] { dispatch_semaphore_signal(done); });
    ASSERT_EQ(dispatch_semaphore_wait(done, dispatch_time_after(kTestTimeoutSeconds)), 0) << i;
  }
  // Two at once while a worker looks: the first waits for the second, which
  // needs a worker of its own.
  for (int i = 0; i < 200; ++i) {
    auto second = dispatch_semaphore_create(0);
    auto first = dispatch_semaphore_create(0);
    dispatch_async(global, [second, first] {
      if (dispatch_semaphore_wait(second, dispatch_time_after(kTestTimeoutSeconds)) == 0) {
        dispatch_semaphore_signal(first);
      }
    });
    dispatch_async(global, [second] { dispatch_semaphore_signal(second); });
    ASSERT_EQ(dispatch_semaphore_wait(first, dispatch_time_after(2 * kTestTimeoutSeconds)), 0) << i;
  }
}

TEST_F(DispatchTest, WorkersAreIdleOnlyOnceEveryBlockAndWhatItHeldAreGone) {
  auto sema = dispatch_semaphore_create(0);
  auto queue = dispatch_queue_create("test.idle");
  std::atomic<bool> released{false};
  auto held = std::shared_ptr<int>(new int(0), [&](int* p) {
    delete p;
    released = true;
  });
  dispatch_async(queue, [sema, held] { dispatch_semaphore_wait(sema, dispatch_time_after(kTestTimeoutSeconds)); });
  dispatch_async(queue, [] {});
  held.reset();
  EXPECT_FALSE(DispatchWorkersIdle());
  dispatch_semaphore_signal(sema);
  ASSERT_TRUE(RunMainLoopUntil([] { return DispatchWorkersIdle(); }));
  EXPECT_TRUE(released);
}

TEST_F(DispatchTest, BarrierRunsAloneBetweenEarlierAndLaterBlocks) {
  auto queue = dispatch_queue_create("test.barrier", DispatchQueueAttr::Concurrent);
  std::atomic<int> earlierDone{0};
  std::atomic<int> laterStarted{0};
  int earlierSeenByBarrier = -1;
  int laterSeenByBarrier = -1;
  auto group = dispatch_group_create();
  for (int i = 0; i < 8; ++i) dispatch_group_async(group, queue, [&] { ++earlierDone; });
  dispatch_group_enter(group);
  dispatch_barrier_async(queue, [&] {
    earlierSeenByBarrier = earlierDone;
    laterSeenByBarrier = laterStarted;
    dispatch_group_leave(group);
  });
  for (int i = 0; i < 8; ++i) dispatch_group_async(group, queue, [&] { ++laterStarted; });
  ASSERT_EQ(dispatch_group_wait(group, dispatch_time_after(kTestTimeoutSeconds)), 0);
  EXPECT_EQ(earlierSeenByBarrier, 8);
  EXPECT_EQ(laterSeenByBarrier, 0);
  EXPECT_EQ(laterStarted.load(), 8);
}

TEST_F(DispatchTest, MainQueueRunsOnTheMainRunLoop) {
  bool ran = false;
  bool onMain = false;
  dispatch_async(dispatch_get_main_queue(), [&] {
    ran = true;
    onMain = isMainThread() && dispatch_current_queue() == dispatch_get_main_queue();
  });
  EXPECT_FALSE(ran);  // asynchronous even from the main thread
  NSRunLoop::mainRunLoop().runUntilIdle();
  EXPECT_TRUE(ran);
  EXPECT_TRUE(onMain);

  bool inline_ = false;
  dispatch_sync(dispatch_get_main_queue(), [&] { inline_ = true; });
  EXPECT_TRUE(inline_);
}

TEST_F(DispatchTest, AfterWaitsForTheManualClock) {
  std::vector<int> fired;
  dispatch_after(dispatch_time_after(2.0), dispatch_get_main_queue(), [&] { fired.push_back(2); });
  dispatch_after(dispatch_time_after(1.0), dispatch_get_main_queue(), [&] { fired.push_back(1); });
  dispatch_after(DISPATCH_TIME_NOW, dispatch_get_main_queue(), [&] { fired.push_back(0); });
  NSRunLoop::mainRunLoop().runUntilIdle();
  EXPECT_EQ(fired, (std::vector<int>{0}));
  PlatformClock::advance(0.999);
  EXPECT_EQ(fired, (std::vector<int>{0}));
  PlatformClock::advance(0.001);
  EXPECT_EQ(fired, (std::vector<int>{0, 1}));
  PlatformClock::advance(5);
  EXPECT_EQ(fired, (std::vector<int>{0, 1, 2}));

  // On a background queue the block is handed over when the clock gets there.
  auto queue = dispatch_queue_create("test.after");
  Latch ran(1);
  dispatch_after(dispatch_time_after(1.0), queue, [&] { ran.countDown(); });
  EXPECT_FALSE(ran.wait(0.05));
  PlatformClock::advance(1.0);
  EXPECT_TRUE(ran.wait());
}

TEST_F(DispatchTest, GroupNotifiesOnceEmptyAndWaitTimesOut) {
  auto group = dispatch_group_create();
  int notified = 0;
  dispatch_group_enter(group);
  dispatch_group_enter(group);
  dispatch_group_notify(group, dispatch_get_main_queue(), [&] { ++notified; });
  EXPECT_NE(dispatch_group_wait(group, dispatch_time_after(0.02)), 0);
  EXPECT_NE(dispatch_group_wait(group, DISPATCH_TIME_NOW), 0);
  dispatch_group_leave(group);
  NSRunLoop::mainRunLoop().runUntilIdle();
  EXPECT_EQ(notified, 0);
  dispatch_group_leave(group);
  NSRunLoop::mainRunLoop().runUntilIdle();
  EXPECT_EQ(notified, 1);
  EXPECT_EQ(dispatch_group_wait(group, DISPATCH_TIME_NOW), 0);

  // Notify on an empty group fires straight away (through its queue).
  dispatch_group_notify(group, dispatch_get_main_queue(), [&] { ++notified; });
  NSRunLoop::mainRunLoop().runUntilIdle();
  EXPECT_EQ(notified, 2);
}

TEST_F(DispatchTest, GroupNotifyWaitsForItsLastOutstandingMember) {
  auto group = dispatch_group_create();
  std::vector<int> notified;
  dispatch_group_enter(group);
  dispatch_group_notify(group, dispatch_get_main_queue(), [&] { notified.push_back(1); });
  dispatch_group_notify(group, dispatch_get_main_queue(), [&] { notified.push_back(2); });
  NSRunLoop::mainRunLoop().runUntilIdle();
  EXPECT_TRUE(notified.empty());
  dispatch_group_leave(group);
  NSRunLoop::mainRunLoop().runUntilIdle();
  EXPECT_EQ(notified, (std::vector<int>{1, 2}));

  // Used again: only the notify registered for the new round runs.
  dispatch_group_enter(group);
  dispatch_group_notify(group, dispatch_get_main_queue(), [&] { notified.push_back(3); });
  dispatch_group_leave(group);
  NSRunLoop::mainRunLoop().runUntilIdle();
  EXPECT_EQ(notified, (std::vector<int>{1, 2, 3}));
}

TEST_F(DispatchTest, GroupCollectsWorkFromSeveralQueues) {
  auto group = dispatch_group_create();
  std::atomic<int> done{0};
  auto serial = dispatch_queue_create("test.group.serial");
  for (int i = 0; i < 10; ++i) {
    dispatch_group_async(group, serial, [&] { ++done; });
    dispatch_group_async(group, dispatch_get_global_queue(DispatchQoS::Background),
                         [&] { ++done; });
  }
  Latch notified(1);
  int doneAtNotify = -1;
  dispatch_group_notify(group, serial, [&] {
    doneAtNotify = done;
    notified.countDown();
  });
  ASSERT_TRUE(notified.wait());
  EXPECT_EQ(doneAtNotify, 20);
}

TEST_F(DispatchTest, SemaphoreCountsAndTimesOutInRealTime) {
  auto sema = dispatch_semaphore_create(1);
  EXPECT_EQ(dispatch_semaphore_wait(sema, DISPATCH_TIME_NOW), 0);
  // The manual clock does not move, yet the wait ends after 20 ms of real time.
  EXPECT_NE(dispatch_semaphore_wait(sema, dispatch_time_after(0.02)), 0);
  EXPECT_EQ(dispatch_semaphore_signal(sema), 0);  // nobody waiting
  EXPECT_EQ(dispatch_semaphore_signal(sema), 0);
  EXPECT_EQ(dispatch_semaphore_wait(sema, DISPATCH_TIME_NOW), 0);
  EXPECT_EQ(dispatch_semaphore_wait(sema, DISPATCH_TIME_NOW), 0);
  EXPECT_NE(dispatch_semaphore_wait(sema, DISPATCH_TIME_NOW), 0);
  EXPECT_EQ(dispatch_semaphore_create(-1), nullptr);

  // A signal from another queue releases a waiter.
  auto waiter = dispatch_semaphore_create(0);
  dispatch_async(dispatch_get_global_queue(DispatchQoS::Default),
                 [waiter] { dispatch_semaphore_signal(waiter); });
  EXPECT_EQ(dispatch_semaphore_wait(waiter, dispatch_time_after(kTestTimeoutSeconds)), 0);
}

TEST_F(DispatchTest, CurrentQueueIdentityAndSpecificValues) {
  static const char kKey = 0;
  static int mark = 7;
  auto queue = dispatch_queue_create("test.identity");
  dispatch_queue_set_specific(queue, &kKey, &mark);
  EXPECT_EQ(dispatch_queue_get_specific(queue, &kKey), &mark);
  EXPECT_EQ(dispatch_get_specific(&kKey), nullptr);  // on the main queue here
  EXPECT_EQ(dispatch_current_queue(), dispatch_get_main_queue());

  void* seenAsync = nullptr;
  dispatch_queue_t currentAsync;
  dispatch_async(queue, [&] {
    seenAsync = dispatch_get_specific(&kKey);
    currentAsync = dispatch_current_queue();
  });
  drain(queue);
  EXPECT_EQ(seenAsync, &mark);
  EXPECT_EQ(currentAsync, queue);

  void* seenSync = nullptr;
  bool syncOnMainThread = false;
  dispatch_sync(queue, [&] {
    seenSync = dispatch_get_specific(&kKey);
    syncOnMainThread = isMainThread();
  });
  EXPECT_EQ(seenSync, &mark);
  EXPECT_TRUE(syncOnMainThread);  // sync runs on the caller's thread
  EXPECT_EQ(dispatch_current_queue(), dispatch_get_main_queue());

  dispatch_queue_set_specific(queue, &kKey, nullptr);
  EXPECT_EQ(dispatch_queue_get_specific(queue, &kKey), nullptr);

  dispatch_queue_t fromGlobal;
  auto global = dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_HIGH, 0);
  dispatch_sync(global, [&] { fromGlobal = dispatch_current_queue(); });
  EXPECT_EQ(fromGlobal, global);
  EXPECT_EQ(global, dispatch_get_global_queue(DispatchQoS::UserInitiated));
  EXPECT_NE(dispatch_get_global_queue(DispatchQoS::Background), global);
}

TEST_F(DispatchTest, SyncFromWithinOtherQueuesDoesNotDeadlock) {
  auto a = dispatch_queue_create("test.a");
  auto b = dispatch_queue_create("test.b");
  auto c = dispatch_queue_create("test.c", DispatchQueueAttr::Concurrent);
  std::vector<std::string> trail;
  std::mutex trailMutex;
  auto note = [&](const std::string& s) {
    std::lock_guard<std::mutex> lock(trailMutex);
    trail.push_back(s);
  };
  Latch done(1);
  dispatch_async(a, [&] {
    note("a");
    dispatch_sync(b, [&] {
      note("b:" + dispatch_queue_get_label(dispatch_current_queue()));
      dispatch_sync(c, [&] { note("c:" + dispatch_queue_get_label(dispatch_current_queue())); });
    });
    note("a:" + dispatch_queue_get_label(dispatch_current_queue()));
    done.countDown();
  });
  ASSERT_TRUE(done.wait());
  EXPECT_EQ(trail, (std::vector<std::string>{"a", "b:test.b", "c:test.c", "a:test.a"}));

  // A sync block waits its turn behind the blocks queued before it.
  std::vector<int> order;
  for (int i = 0; i < 5; ++i) dispatch_async(b, [&, i] { order.push_back(i); });
  dispatch_sync(b, [&] { order.push_back(5); });
  EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 4, 5}));
}

TEST_F(DispatchTest, SyncOntoTheMainQueueFromABackgroundQueueRunsOnMain) {
  Latch done(1);
  bool ranOnMain = false;
  dispatch_async(dispatch_get_global_queue(DispatchQoS::Default), [&] {
    dispatch_sync(dispatch_get_main_queue(), [&] { ranOnMain = isMainThread(); });
    done.countDown();
  });
  EXPECT_TRUE(NSRunLoop::mainRunLoop().runOnce(kTestTimeoutSeconds));
  ASSERT_TRUE(done.wait());
  EXPECT_TRUE(ranOnMain);
}

// Every way of handing work on takes a block that owns a once-only completion
// (move-only), runs it once and releases what it captured.
TEST_F(DispatchTest, MoveOnlyBlocksTravelThroughEveryQueue) {
  std::vector<std::string> ran;
  auto token = std::make_shared<int>(0);
  std::weak_ptr<int> watch = token;
  auto once = [&ran, &token](std::string name) {
    return OnceClosure([&ran, token, name = std::move(name)] { ran.push_back(name); });
  };
  auto queued = [](OnceClosure done) { return [done = std::move(done)]() mutable { done(); }; };

  auto group = dispatch_group_create();
  dispatch_group_enter(group);
  dispatch_group_notify(group, dispatch_get_main_queue(), queued(once("notify")));
  dispatch_async(dispatch_get_main_queue(), queued(once("async")));
  dispatch_after(dispatch_time_after(1.0), dispatch_get_main_queue(), queued(once("after")));
  NSRunLoop::mainRunLoop().perform(queued(once("perform")));
  NSRunLoop::mainRunLoop().performAfter(2.0, queued(once("performAfter")));
  auto timer = NSTimer::scheduledTimerWithTimeInterval(
      3.0, false, [done = once("timer")](NSTimer&) mutable { done(); });
  dispatch_sync(dispatch_get_main_queue(), queued(once("sync")));
  dispatch_group_leave(group);
  NSRunLoop::mainRunLoop().runUntilIdle();
  EXPECT_EQ(ran, (std::vector<std::string>{"sync", "async", "perform", "notify"}));
  PlatformClock::advance(3.0);
  EXPECT_EQ(ran.size(), 7u);
  EXPECT_EQ(ran[4], "after");
  EXPECT_EQ(ran[5], "performAfter");
  EXPECT_EQ(ran[6], "timer");

  // Background queues and operation queues hand the block to another thread.
  Latch done(3);
  auto serial = dispatch_queue_create("test.moveonly");
  dispatch_async(serial, [done = OnceClosure([&] { done.countDown(); })]() mutable { done(); });
  dispatch_group_async(group, serial,
                       [done = OnceClosure([&] { done.countDown(); })]() mutable { done(); });
  auto operations = std::make_shared<NSOperationQueue>();
  operations->addOperationWithBlock(
      [done = OnceClosure([&] { done.countDown(); })]() mutable { done(); });
  ASSERT_TRUE(done.wait());
  ASSERT_TRUE(operations->waitUntilAllOperationsAreFinished(kTestTimeoutSeconds));
  drain(serial);

  token.reset();
  timer.reset();
  EXPECT_TRUE(watch.expired()) << "a block ran but kept what it captured";
}

TEST_F(DispatchTest, DetachedThreadsRunOutsideThePoolUnderTheirName) {
  // The block blocks as a reader of standard input would, until released.
  auto started = dispatch_semaphore_create(0);
  auto release = dispatch_semaphore_create(0);
  auto ended = dispatch_semaphore_create(0);
  std::atomic<bool> onMain{true};
  std::atomic<bool> onQueue{true};
  std::string name;
  NSThread::detachNewThreadWithBlock(
      [&, started, release, ended] {
        onMain = NSThread::isMainThread();
        onQueue = dispatch_current_queue() != nullptr;
        char buffer[32] = {};
        pthread_getname_np(pthread_self(), buffer, sizeof buffer);
        name = buffer;
        dispatch_semaphore_signal(started);
        dispatch_semaphore_wait(release, dispatch_time_after(kTestTimeoutSeconds));
        dispatch_semaphore_signal(ended);
      },
      "a-name-longer-than-fifteen");
  ASSERT_EQ(dispatch_semaphore_wait(started, dispatch_time_after(kTestTimeoutSeconds)), 0);
  EXPECT_FALSE(onMain);
  EXPECT_FALSE(onQueue);
  // Linux keeps the first 15 characters rather than refusing the name.
  EXPECT_EQ(name, "a-name-longer-t");
  // A thread blocked for good holds no worker: the pool stays idle.
  EXPECT_TRUE(DispatchWorkersIdle());
  dispatch_semaphore_signal(release);
  EXPECT_EQ(dispatch_semaphore_wait(ended, dispatch_time_after(kTestTimeoutSeconds)), 0);
}

TEST_F(DispatchTest, JoinableThreadsEndBeforeTheJoinReturns) {
  // Long enough that a join that does not wait sees the thread unfinished.
  auto busyWork = [] {
    volatile uint64_t sum = 0;
    for (uint64_t i = 0; i < 20'000'000; ++i) sum = sum + i;
  };
  std::atomic<int> steps{0};
  std::string name;
  {
    NSJoinableThread thread;
    EXPECT_FALSE(thread.isStarted());
    thread.join();  // nothing started: nothing to wait for
    thread.start(
        [&] {
          char buffer[32] = {};
          pthread_getname_np(pthread_self(), buffer, sizeof buffer);
          name = buffer;
          busyWork();
          steps = 1;
        },
        "joinable-thread-name");
    EXPECT_TRUE(thread.isStarted());
    thread.join();
    EXPECT_EQ(steps.load(), 1) << "the join returned before the thread ended";
    EXPECT_EQ(name, "joinable-thread");
    EXPECT_FALSE(thread.isStarted());
    // Joined, it takes another thread; its owner's end waits for that one.
    thread.start(
        [&] {
          busyWork();
          steps = 2;
        },
        "again");
  }
  EXPECT_EQ(steps.load(), 2) << "the owner's end did not wait for the thread";

  // An owner destroyed by its own thread's block lets the thread end.
  auto ended = dispatch_semaphore_create(0);
  auto owner =
      std::make_shared<std::unique_ptr<NSJoinableThread>>(std::make_unique<NSJoinableThread>());
  (*owner)->start(
      [owner, ended] {
        owner->reset();
        dispatch_semaphore_signal(ended);
      },
      "self-join");
  EXPECT_EQ(dispatch_semaphore_wait(ended, dispatch_time_after(kTestTimeoutSeconds)), 0);
}

}  // namespace dispatch_test
