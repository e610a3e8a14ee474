#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "FoundationTestSupport.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSOperation.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/Value.h"
#include "support/TestEnvironment.h"

namespace ns_operation_test {

namespace {

// Finishes only when told to, as operations around network tasks do.
class ManualFinishOperation : public NSOperation {
 public:
  bool isAsynchronous() const override { return true; }
  void start() override {
    if (isCancelled()) {
      setFinished(true);
      return;
    }
    setExecuting(true);
    started.countDown();
  }
  void finish() {
    setExecuting(false);
    setFinished(true);
  }
  Latch started{1};
};

class StateRecorder : public NSKeyValueObserver {
 public:
  void observeValueForKeyPath(const std::string& keyPath, NSObject*, const Value& change,
                              void* context) override {
    std::lock_guard<std::mutex> lock(mutex);
    const Value* now = change.find(NSKeyValueChangeNewKey);
    events.push_back(keyPath + "=" + (now && now->asBool() ? "1" : "0"));
    contexts.push_back(context);
  }
  std::vector<std::string> snapshot() {
    std::lock_guard<std::mutex> lock(mutex);
    return events;
  }
  std::mutex mutex;
  std::vector<std::string> events;
  std::vector<void*> contexts;
};

}  // namespace

using NSOperationQueueTest = PlatformTest;

TEST_F(NSOperationQueueTest, MaxConcurrentOneRunsOperationsOneAtATimeInOrder) {
  auto queue = std::make_shared<NSOperationQueue>();
  queue->setMaxConcurrentOperationCount(1);
  std::vector<int> order;
  std::atomic<int> active{0};
  std::atomic<int> maxActive{0};
  for (int i = 0; i < 30; ++i) {
    queue->addOperationWithBlock([&, i] {
      int now = ++active;
      maxActive = std::max(maxActive.load(), now);
      order.push_back(i);
      --active;
    });
  }
  ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(kTestTimeoutSeconds));
  EXPECT_EQ(maxActive.load(), 1);
  ASSERT_EQ(order.size(), 30u);
  EXPECT_TRUE(std::is_sorted(order.begin(), order.end()));
  EXPECT_EQ(queue->operationCount(), 0);
}

TEST_F(NSOperationQueueTest, DefaultWidthRunsOperationsInParallel) {
  auto queue = std::make_shared<NSOperationQueue>();
  Latch bothIn(2);
  std::atomic<int> sawOther{0};
  for (int i = 0; i < 2; ++i) {
    queue->addOperationWithBlock([&] {
      bothIn.countDown();
      if (bothIn.wait()) ++sawOther;
    });
  }
  ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(2 * kTestTimeoutSeconds));
  EXPECT_EQ(sawOther.load(), 2);
}

TEST_F(NSOperationQueueTest, DependenciesHoldAnOperationBackAcrossQueues) {
  auto first = std::make_shared<NSOperationQueue>();
  auto second = std::make_shared<NSOperationQueue>();
  std::vector<std::string> order;
  std::mutex orderMutex;
  auto note = [&](const char* s) {
    std::lock_guard<std::mutex> lock(orderMutex);
    order.push_back(s);
  };
  auto gate = std::make_shared<ManualFinishOperation>();
  auto a = NSBlockOperation::blockOperationWithBlock([&] { note("a"); });
  auto b = NSBlockOperation::blockOperationWithBlock([&] { note("b"); });
  a->addDependency(gate);
  b->addDependency(a);
  EXPECT_FALSE(a->isReady());
  EXPECT_EQ(b->dependencies().size(), 1u);
  second->addOperation(b);
  first->addOperation(a);
  first->addOperation(gate);
  ASSERT_TRUE(gate->started.wait());
  EXPECT_FALSE(first->waitUntilAllOperationsAreFinished(0.05));
  EXPECT_TRUE(order.empty());
  gate->finish();
  ASSERT_TRUE(second->waitUntilAllOperationsAreFinished(kTestTimeoutSeconds));
  EXPECT_EQ(order, (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(a->isReady());
}

TEST_F(NSOperationQueueTest, CancelledOperationsNeverRunButStillFinish) {
  auto queue = std::make_shared<NSOperationQueue>();
  queue->setSuspended(true);
  std::atomic<int> ran{0};
  auto cancelled = NSBlockOperation::blockOperationWithBlock([&] { ran += 100; });
  auto dependent = NSBlockOperation::blockOperationWithBlock([&] { ran += 1; });
  dependent->addDependency(cancelled);
  Latch completed(1);
  cancelled->setCompletionBlock([&] { completed.countDown(); });
  queue->addOperation(cancelled);
  queue->addOperation(dependent);
  EXPECT_EQ(queue->operationCount(), 2);
  cancelled->cancel();
  EXPECT_TRUE(cancelled->isCancelled());
  EXPECT_TRUE(dependent->isReady());  // a cancelled dependency no longer holds it back
  queue->setSuspended(false);
  ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(kTestTimeoutSeconds));
  EXPECT_TRUE(completed.wait());
  EXPECT_EQ(ran.load(), 1);
  EXPECT_TRUE(cancelled->isFinished());
  EXPECT_FALSE(cancelled->isExecuting());
}

TEST_F(NSOperationQueueTest, CancelAllOperationsStopsQueuedWork) {
  auto queue = std::make_shared<NSOperationQueue>();
  queue->setMaxConcurrentOperationCount(1);
  auto gate = std::make_shared<ManualFinishOperation>();
  queue->addOperation(gate);
  ASSERT_TRUE(gate->started.wait());
  std::atomic<int> ran{0};
  for (int i = 0; i < 5; ++i) queue->addOperationWithBlock([&] { ++ran; });
  EXPECT_EQ(queue->operationCount(), 6);
  queue->cancelAllOperations();
  gate->finish();
  ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(kTestTimeoutSeconds));
  EXPECT_EQ(ran.load(), 0);
  EXPECT_TRUE(gate->isCancelled());
}

TEST_F(NSOperationQueueTest, AsynchronousOperationHoldsItsSlotUntilItFinishes) {
  auto queue = std::make_shared<NSOperationQueue>();
  queue->setMaxConcurrentOperationCount(1);
  auto async = std::make_shared<ManualFinishOperation>();
  Latch secondRan(1);
  queue->addOperation(async);
  queue->addOperationWithBlock([&] { secondRan.countDown(); });
  ASSERT_TRUE(async->started.wait());
  EXPECT_TRUE(async->isExecuting());
  EXPECT_FALSE(secondRan.wait(0.05));
  async->finish();
  EXPECT_TRUE(secondRan.wait());
  EXPECT_TRUE(async->isFinished());
  EXPECT_TRUE(async->waitUntilFinished(kTestTimeoutSeconds));
}

TEST_F(NSOperationQueueTest, StateChangesAreObservableOnTheChangingThread) {
  auto queue = std::make_shared<NSOperationQueue>();
  auto op = NSBlockOperation::blockOperationWithBlock([] {});
  StateRecorder recorder;
  static int context;
  op->addObserver(&recorder, "isExecuting", NSKeyValueObservingOptionNew, &context);
  op->addObserver(&recorder, "isFinished", NSKeyValueObservingOptionNew, &context);
  std::atomic<bool> completionOnMain{true};
  std::atomic<int> completions{0};
  Latch completed(1);
  op->setCompletionBlock([&] {
    completionOnMain = isMainThread();
    ++completions;
    completed.countDown();
  });
  queue->addOperation(op);
  ASSERT_TRUE(op->waitUntilFinished(kTestTimeoutSeconds));
  ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(kTestTimeoutSeconds));
  // Waiters wake before the completion block runs: wait for it too.
  ASSERT_TRUE(completed.wait());
  EXPECT_EQ(recorder.snapshot(),
            (std::vector<std::string>{"isExecuting=1", "isExecuting=0", "isFinished=1"}));
  EXPECT_EQ(recorder.contexts.front(), &context);
  EXPECT_EQ(completions.load(), 1);
  EXPECT_FALSE(completionOnMain.load());
  EXPECT_FALSE(op->completionBlock());  // dropped once run
  op->removeObserver(&recorder, "isExecuting");
  op->removeObserver(&recorder, "isFinished");
}

TEST_F(NSOperationQueueTest, HigherQueuePriorityStartsFirst) {
  auto queue = std::make_shared<NSOperationQueue>();
  queue->setMaxConcurrentOperationCount(1);
  queue->setSuspended(true);
  std::vector<std::string> order;
  auto add = [&](const char* name, int64_t priority) {
    auto op = NSBlockOperation::blockOperationWithBlock([&order, name] { order.push_back(name); });
    op->setQueuePriority(priority);
    queue->addOperation(op);
    return op;
  };
  add("low", NSOperationQueuePriorityLow);
  add("normal", NSOperationQueuePriorityNormal);
  add("high", 3);      // rounds to High
  add("normal-2", 1);  // rounds to Normal
  EXPECT_EQ(queue->operations().size(), 4u);
  EXPECT_EQ(queue->operations()[2]->queuePriority(), NSOperationQueuePriorityHigh);
  queue->setSuspended(false);
  ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(kTestTimeoutSeconds));
  EXPECT_EQ(order, (std::vector<std::string>{"high", "normal", "normal-2", "low"}));
}

// Readiness that a subclass decides and announces itself.
class GatedOperation : public NSBlockOperation {
 public:
  bool isReady() const override { return open_ && NSBlockOperation::isReady(); }
  void open() {
    changeValueForKey("isReady", [this] { open_ = true; });
  }

 private:
  std::atomic<bool> open_{false};
};

TEST_F(NSOperationQueueTest, WaitingOperationsFollowTheirAnnouncedPriorityAndReadiness) {
  auto queue = std::make_shared<NSOperationQueue>();
  queue->setMaxConcurrentOperationCount(1);
  queue->setSuspended(true);
  std::mutex mutex;
  std::vector<std::string> order;
  auto record = [&](const char* name) {
    return [&, name] {
      std::lock_guard<std::mutex> lock(mutex);
      order.push_back(name);
    };
  };
  auto gated = std::make_shared<GatedOperation>();
  gated->addExecutionBlock(record("gated"));
  gated->setQueuePriority(NSOperationQueuePriorityVeryHigh);
  queue->addOperation(gated);
  auto first = NSBlockOperation::blockOperationWithBlock(record("normal"));
  queue->addOperation(first);
  auto late = NSBlockOperation::blockOperationWithBlock(record("raised"));
  late->setQueuePriority(NSOperationQueuePriorityLow);
  queue->addOperation(late);
  late->setQueuePriority(NSOperationQueuePriorityHigh);  // while waiting
  auto lowered = NSBlockOperation::blockOperationWithBlock(record("lowered"));
  queue->addOperation(lowered);
  lowered->setQueuePriority(NSOperationQueuePriorityVeryLow);
  queue->setSuspended(false);
  ASSERT_TRUE(lowered->waitUntilFinished(kTestTimeoutSeconds));
  // A waiter may wake before the queue has heard of the finish: wait for the
  // queue itself to let the others go.
  EXPECT_TRUE(RunMainLoopUntil([&] { return queue->operationCount() == 1; }));
  EXPECT_FALSE(gated->isFinished());
  gated->open();
  ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(kTestTimeoutSeconds));
  EXPECT_EQ(order, (std::vector<std::string>{"raised", "normal", "lowered", "gated"}));
}

TEST_F(NSOperationQueueTest, RepeatedCancelAllReachesOnlyTheNewWork) {
  auto queue = std::make_shared<NSOperationQueue>();
  queue->setMaxConcurrentOperationCount(1);
  queue->setSuspended(true);
  std::atomic<int> ran{0};
  std::vector<NSOperationPtr> all;
  auto addSome = [&](int count) {
    for (int i = 0; i < count; ++i) {
      all.push_back(NSBlockOperation::blockOperationWithBlock([&] { ++ran; }));
      queue->addOperation(all.back());
    }
  };
  addSome(300);
  queue->cancelAllOperations();
  addSome(5);
  auto survivor = NSBlockOperation::blockOperationWithBlock([&] { ++ran; });
  auto cancelledAlone = NSBlockOperation::blockOperationWithBlock([&] { ++ran; });
  cancelledAlone->cancel();
  queue->cancelAllOperations();
  queue->addOperation(cancelledAlone);
  queue->addOperation(survivor);
  EXPECT_EQ(queue->operationCount(), 307);
  for (const auto& op : all) EXPECT_TRUE(op->isCancelled());
  queue->setSuspended(false);
  ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(kTestTimeoutSeconds));
  EXPECT_EQ(ran.load(), 1);
  EXPECT_TRUE(survivor->isFinished());
  EXPECT_FALSE(survivor->isCancelled());
}

TEST_F(NSOperationQueueTest, CancelAllReachesEveryOperationWhateverLeftBefore) {
  // One of three waiting operations (first, middle, last in the order of
  // adding) is cancelled alone and finishes; cancelling all must still reach
  // the other two.
  for (size_t alone = 0; alone < 3; ++alone) {
    SCOPED_TRACE(alone);
    auto queue = std::make_shared<NSOperationQueue>();
    auto gate = std::make_shared<NSBlockOperation>();  // never run: holds the three back
    std::vector<NSOperationPtr> ops;
    for (int i = 0; i < 3; ++i) {
      ops.push_back(std::make_shared<NSBlockOperation>());
      ops.back()->addDependency(gate);
      queue->addOperation(ops.back());
    }
    ops[alone]->cancel();
    ASSERT_TRUE(ops[alone]->waitUntilFinished(kTestTimeoutSeconds));
    EXPECT_EQ(queue->operationCount(), 2);
    queue->cancelAllOperations();
    for (const auto& op : ops) EXPECT_TRUE(op->isCancelled());
    ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(kTestTimeoutSeconds));
  }
}

TEST_F(NSOperationQueueTest, NewestFirstThroughDependencies) {
  // Making queued operations depend on a newcomer runs the newest first.
  auto queue = std::make_shared<NSOperationQueue>();
  queue->setMaxConcurrentOperationCount(1);
  auto gate = std::make_shared<ManualFinishOperation>();
  queue->addOperation(gate);
  ASSERT_TRUE(gate->started.wait());
  std::vector<int> order;
  for (int i = 0; i < 3; ++i) {
    auto op = NSBlockOperation::blockOperationWithBlock([&order, i] { order.push_back(i); });
    for (auto& queued : queue->operations()) {
      if (queued != gate) queued->addDependency(op);
    }
    queue->addOperation(op);
  }
  gate->finish();
  ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(kTestTimeoutSeconds));
  EXPECT_EQ(order, (std::vector<int>{2, 1, 0}));
}

TEST_F(NSOperationQueueTest, MainQueueRunsOnTheMainRunLoop) {
  NSRunLoop::mainRunLoop().runUntilIdle();
  auto main = NSOperationQueue::mainQueue();
  EXPECT_EQ(main->maxConcurrentOperationCount(), 1);
  EXPECT_EQ(NSOperationQueue::currentQueue(), main);
  bool ran = false;
  bool onMain = false;
  NSOperationQueuePtr current;
  main->addOperationWithBlock([&] {
    ran = true;
    onMain = isMainThread();
    current = NSOperationQueue::currentQueue();
  });
  EXPECT_FALSE(ran);
  EXPECT_TRUE(main->waitUntilAllOperationsAreFinished(kTestTimeoutSeconds));  // serves the run loop
  EXPECT_TRUE(ran);
  EXPECT_TRUE(onMain);
  EXPECT_EQ(current, main);

  // Background operations report their own queue.
  auto queue = std::make_shared<NSOperationQueue>();
  queue->setName("test.named");
  NSOperationQueuePtr seen;
  queue->addOperationWithBlock([&] { seen = NSOperationQueue::currentQueue(); });
  ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(kTestTimeoutSeconds));
  EXPECT_EQ(seen, queue);
  EXPECT_EQ(seen->name(), "test.named");
}

TEST_F(NSOperationQueueTest, AQueueReleasedWithWorkStillFinishesIt) {
  Latch ran(1);
  auto gate = std::make_shared<ManualFinishOperation>();
  {
    auto queue = std::make_shared<NSOperationQueue>();
    queue->setMaxConcurrentOperationCount(1);
    queue->addOperation(gate);
    queue->addOperationWithBlock([&] { ran.countDown(); });
  }
  ASSERT_TRUE(gate->started.wait());
  gate->finish();
  EXPECT_TRUE(ran.wait());
}

using NSOperationTest = PlatformTest;

TEST_F(NSOperationTest, StartedDirectlyRunsOnTheCallingThread) {
  bool onMain = false;
  auto op = NSBlockOperation::blockOperationWithBlock([&] { onMain = isMainThread(); });
  op->addExecutionBlock([&] { onMain = onMain && isMainThread(); });
  EXPECT_EQ(op->executionBlocks().size(), 2u);
  EXPECT_TRUE(op->isReady());
  op->start();
  EXPECT_TRUE(onMain);
  EXPECT_TRUE(op->isFinished());
  op->start();  // a second start does nothing
  EXPECT_TRUE(op->isFinished());
}

// Counts how often the queue asks whether it may start it.
class CountingOperation : public NSBlockOperation {
 public:
  explicit CountingOperation(std::atomic<int64_t>& asked) : asked_(asked) {}
  bool isReady() const override {
    ++asked_;
    return NSBlockOperation::isReady();
  }

 private:
  std::atomic<int64_t>& asked_;
};

// Bursts of work each cancelling the one before, as a ramp replaced by the
// next does: what the queue does per operation must not grow with the number
// of operations waiting or cancelled, or a burst costs quadratic time.
TEST_F(NSOperationQueueTest, SchedulingCostDoesNotGrowWithTheOperationsWaiting) {
  auto queue = std::make_shared<NSOperationQueue>();
  queue->setMaxConcurrentOperationCount(1);
  queue->setSuspended(true);
  std::atomic<int64_t> asked{0};
  std::atomic<int> ran{0};
  constexpr int kBursts = 40, kPerBurst = 100;
  for (int burst = 0; burst < kBursts; ++burst) {
    queue->cancelAllOperations();
    for (int i = 0; i < kPerBurst; ++i) {
      auto op = std::make_shared<CountingOperation>(asked);
      op->addExecutionBlock([&] { ++ran; });
      queue->addOperation(op);
    }
    if (burst == kBursts / 2) queue->setSuspended(false);
  }
  ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(kTestTimeoutSeconds));
  EXPECT_LE(ran.load(), (kBursts / 2) * kPerBurst + kPerBurst);
  EXPECT_GE(ran.load(), kPerBurst);
  // A few questions per operation, not one per operation still waiting.
  EXPECT_LE(asked.load(), int64_t{8} * kBursts * kPerBurst) << asked.load();
}

// The queue reacts to a finish where an observer registered when the
// operation was added would hear it: those registered earlier see the
// operation still queued, later ones see it gone. Each hears every change once.
TEST_F(NSOperationQueueTest, ObserversHearEachChangeOnceAroundTheQueuesReaction) {
  auto queue = std::make_shared<NSOperationQueue>();
  auto op = std::make_shared<ManualFinishOperation>();
  std::mutex mutex;
  std::vector<std::string> heard;
  auto recordAs = [&](std::string who) {
    return [&, who](NSObject*, const Value& change) {
      std::lock_guard<std::mutex> lock(mutex);
      const Value* now = change.find(NSKeyValueChangeNewKey);
      heard.push_back(who + (now && now->asBool() ? "=1" : "=0") + " queued " +
                      std::to_string(queue->operationCount()));
    };
  };
  EXPECT_FALSE(op->hasObserversForKey("isFinished"));
  auto early = op->observe("isFinished", NSKeyValueObservingOptionNew, recordAs("early"));
  auto executing = op->observe("isExecuting", NSKeyValueObservingOptionNew, recordAs("executing"));
  queue->addOperation(op);
  auto late = op->observe("isFinished", NSKeyValueObservingOptionNew, recordAs("late"));
  EXPECT_TRUE(op->hasObserversForKey("isReady"));  // the queue follows it
  ASSERT_TRUE(op->started.wait());
  op->finish();
  EXPECT_EQ(queue->operationCount(), 0);
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(heard, (std::vector<std::string>{"executing=1 queued 1", "executing=0 queued 1",
                                             "early=1 queued 1", "late=1 queued 0"}));
  // Finished, it is no longer followed by the queue.
  EXPECT_FALSE(op->hasObserversForKey("isReady"));
}

// Cancels and priority changes from one thread race with starts and finishes
// on others: every operation still finishes once, the width holds, and the
// queue ends empty.
TEST_F(NSOperationQueueTest, StateChangesRacingTheQueueLeaveItConsistent) {
  constexpr int kCount = 300;
  constexpr int64_t kWidth = 3;
  auto queue = std::make_shared<NSOperationQueue>();
  queue->setMaxConcurrentOperationCount(kWidth);
  auto finisher = dispatch_queue_create("test.finisher", DispatchQueueAttr::Serial);
  std::atomic<int> executing{0};
  std::atomic<int> maxExecuting{0};
  std::atomic<int> completions{0};

  // Starts counted, finished on the serial queue.
  class RacingOperation : public ManualFinishOperation {
   public:
    RacingOperation(dispatch_queue_t finisher, std::atomic<int>& running,
                    std::atomic<int>& maxRunning)
        : finisher_(std::move(finisher)), running_(running), maxRunning_(maxRunning) {}
    void start() override {
      ManualFinishOperation::start();
      if (!isExecuting()) return;  // cancelled before it started
      int now = ++running_;
      int seen = maxRunning_.load();
      while (now > seen && !maxRunning_.compare_exchange_weak(seen, now)) {
      }
      auto self = std::static_pointer_cast<RacingOperation>(shared_from_this());
      dispatch_async(finisher_, [self] {
        --self->running_;
        self->finish();
      });
    }

   private:
    dispatch_queue_t finisher_;
    std::atomic<int>& running_;
    std::atomic<int>& maxRunning_;
  };

  std::vector<std::shared_ptr<RacingOperation>> ops;
  for (int i = 0; i < kCount; ++i) {
    ops.push_back(std::make_shared<RacingOperation>(finisher, executing, maxExecuting));
    ops.back()->setCompletionBlock([&] { ++completions; });
  }
  Latch meddled(1);
  dispatch_async(dispatch_get_global_queue(DispatchQoS::Default), [&] {
    for (int i = 0; i < kCount; ++i) {
      ops[i]->setQueuePriority(i % 2 ? NSOperationQueuePriorityHigh : NSOperationQueuePriorityLow);
      if (i % 3 == 0) ops[i]->cancel();
    }
    meddled.countDown();
  });
  for (auto& op : ops) queue->addOperation(op);
  ASSERT_TRUE(meddled.wait());
  ASSERT_TRUE(queue->waitUntilAllOperationsAreFinished(kTestTimeoutSeconds));
  for (auto& op : ops) ASSERT_TRUE(op->waitUntilFinished(kTestTimeoutSeconds));
  EXPECT_TRUE(RunMainLoopUntil([&] { return completions.load() == kCount; }));
  EXPECT_EQ(queue->operationCount(), 0);
  EXPECT_LE(maxExecuting.load(), kWidth);
  EXPECT_GE(maxExecuting.load(), 1);
  for (auto& op : ops) EXPECT_FALSE(op->hasObserversForKey("isFinished"));
}

TEST_F(NSOperationQueueTest, ReadinessFollowsEveryDependencyAddedRemovedCancelledOrFinished) {
  auto first = NSBlockOperation::blockOperationWithBlock([] {});
  auto second = NSBlockOperation::blockOperationWithBlock([] {});
  auto third = NSBlockOperation::blockOperationWithBlock([] {});
  auto waiting = NSBlockOperation::blockOperationWithBlock([] {});
  StateRecorder recorder;
  waiting->addObserver(&recorder, "isReady", NSKeyValueObservingOptionNew, nullptr);

  first->start();  // finished before it is depended on: no wait, no change
  waiting->addDependency(first);
  EXPECT_TRUE(waiting->isReady());
  waiting->addDependency(second);
  waiting->addDependency(third);
  waiting->addDependency(second);  // twice is once
  EXPECT_EQ(waiting->dependencies().size(), 3u);
  EXPECT_FALSE(waiting->isReady());

  second->start();
  EXPECT_FALSE(waiting->isReady()) << "third still runs";
  third->cancel();
  EXPECT_TRUE(waiting->isReady());

  // A dependency removed from the known-finished part keeps the rest right.
  auto fourth = NSBlockOperation::blockOperationWithBlock([] {});
  waiting->addDependency(fourth);
  EXPECT_FALSE(waiting->isReady());
  waiting->removeDependency(first);
  waiting->removeDependency(second);
  EXPECT_FALSE(waiting->isReady());
  waiting->removeDependency(fourth);
  EXPECT_TRUE(waiting->isReady());
  EXPECT_EQ(waiting->dependencies().size(), 1u);
  waiting->addDependency(second);  // removed, then added again: counted again
  EXPECT_EQ(waiting->dependencies().size(), 2u);
  EXPECT_TRUE(waiting->isReady());

  // The observer heard readiness go and come back at each turn.
  auto events = recorder.snapshot();
  EXPECT_NE(std::find(events.begin(), events.end(), "isReady=0"), events.end());
  EXPECT_EQ(events.back(), "isReady=1");
  waiting->removeObserver(&recorder, "isReady");
}

}  // namespace ns_operation_test
