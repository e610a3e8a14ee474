#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>
#include <vector>

#include "FoundationTestSupport.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSOperation.h"
#include "platform/foundation/NSRunLoop.h"

namespace {

thread_local int tlsStartDepth = 0;

// Notes where and when it started; runs until finish() (a cancelled one
// finishes at once), as operations around network tasks do.
class NotedOperation : public NSOperation {
 public:
  explicit NotedOperation(bool asynchronous = true) : asynchronous_(asynchronous) {}
  bool isAsynchronous() const override { return asynchronous_; }
  void start() override {
    ++tlsStartDepth;
    deepest = std::max(deepest.load(), tlsStartDepth);
    thread = std::this_thread::get_id();
    started.countDown();
    startedFlag = true;
    if (isCancelled()) {
      setFinished(true);
    } else {
      setExecuting(true);
    }
    --tlsStartDepth;
  }
  void finish() {
    setExecuting(false);
    setFinished(true);
  }

  Latch started{1};
  std::atomic<bool> startedFlag{false};
  std::thread::id thread;
  static inline std::atomic<int> deepest{0};

 private:
  const bool asynchronous_;
};

struct Finish {
  std::thread::id thread;
  bool nextStartedInside = false;
  bool nextStartedAfter = false;
};

// Finishes `first` inside a block of a serial queue (a worker's thread), then
// keeps that thread until `next` has started, so that a start elsewhere must
// be on another thread.
Finish finishOnQueue(const std::shared_ptr<NotedOperation>& first, const std::shared_ptr<NotedOperation>& next) {
  Finish result;
  Latch done(1);
  dispatch_async(dispatch_queue_create("finisher"), [&] {
    result.thread = std::this_thread::get_id();
    first->finish();
    result.nextStartedInside = next->startedFlag;
    result.nextStartedAfter = next->started.wait();
    done.countDown();
  });
  EXPECT_TRUE(done.wait());
  return result;
}

}  // namespace

TEST(NSOperationQueueStartWhereFinishedTest, AnAsynchronousStartFollowsAFinishOnAQueueThreadAfterAllHeardOfIt) {
  auto queue = std::make_shared<NSOperationQueue>();
  queue->setMaxConcurrentOperationCount(1);
  EXPECT_FALSE(queue->startsWhereOthersFinish());
  queue->setStartsWhereOthersFinish(true);
  EXPECT_TRUE(queue->startsWhereOthersFinish());

  auto first = std::make_shared<NotedOperation>();
  auto next = std::make_shared<NotedOperation>();
  std::atomic<bool> completionRan{false};
  std::atomic<bool> completionBeforeNext{false};
  first->setCompletionBlock([&] {
    completionRan = true;
    completionBeforeNext = !next->startedFlag;
  });
  queue->addOperation(first);
  queue->addOperation(next);
  ASSERT_TRUE(first->started.wait());
  EXPECT_FALSE(next->startedFlag);

  const Finish finish = finishOnQueue(first, next);
  // Started on the finishing thread, before the finish returned, and only
  // after the finished one's completion block had run.
  EXPECT_TRUE(finish.nextStartedInside);
  EXPECT_EQ(next->thread, finish.thread);
  EXPECT_TRUE(completionRan);
  EXPECT_TRUE(completionBeforeNext);

  // A synchronous operation is never run on the finishing thread: its start
  // is all its work.
  auto synchronous = std::make_shared<NotedOperation>(false);
  queue->addOperation(synchronous);
  const Finish second = finishOnQueue(next, synchronous);
  EXPECT_TRUE(second.nextStartedAfter);
  EXPECT_FALSE(second.nextStartedInside);
  EXPECT_NE(synchronous->thread, second.thread);
  synchronous->finish();
  EXPECT_TRUE(queue->waitUntilAllOperationsAreFinished(kTestTimeoutSeconds));
}

TEST(NSOperationQueueStartWhereFinishedTest, OtherThreadsAndQueuesWithoutTheOptionStartOnAWorker) {
  // Without the option a start after a finish goes to a worker as before.
  {
    auto queue = std::make_shared<NSOperationQueue>();
    queue->setMaxConcurrentOperationCount(1);
    auto first = std::make_shared<NotedOperation>();
    auto next = std::make_shared<NotedOperation>();
    queue->addOperation(first);
    queue->addOperation(next);
    ASSERT_TRUE(first->started.wait());
    const Finish finish = finishOnQueue(first, next);
    EXPECT_TRUE(finish.nextStartedAfter);
    EXPECT_NE(next->thread, finish.thread);
    next->finish();
  }
  auto queue = std::make_shared<NSOperationQueue>();
  queue->setMaxConcurrentOperationCount(1);
  queue->setStartsWhereOthersFinish(true);
  // A thread of the caller's own, outside any queue, is not borrowed.
  {
    auto first = std::make_shared<NotedOperation>();
    auto next = std::make_shared<NotedOperation>();
    queue->addOperation(first);
    queue->addOperation(next);
    ASSERT_TRUE(first->started.wait());
    std::thread::id finisher;
    bool startedInside = true;
    std::thread caller([&] {
      finisher = std::this_thread::get_id();
      first->finish();
      startedInside = next->startedFlag;
      next->started.wait();
    });
    caller.join();
    EXPECT_FALSE(startedInside);
    EXPECT_NE(next->thread, finisher);
    next->finish();
  }
  // Nor is the main thread, even inside a main-queue block.
  {
    auto first = std::make_shared<NotedOperation>();
    auto next = std::make_shared<NotedOperation>();
    queue->addOperation(first);
    queue->addOperation(next);
    ASSERT_TRUE(first->started.wait());
    std::atomic<bool> ran{false};
    bool startedInside = true;
    dispatch_async(dispatch_get_main_queue(), [&] {
      first->finish();
      startedInside = next->startedFlag;
      ran = true;
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(kTestTimeoutSeconds);
    while (!ran && std::chrono::steady_clock::now() < deadline) NSRunLoop::mainRunLoop().runUntilIdle();
    ASSERT_TRUE(ran);
    EXPECT_FALSE(startedInside);
    ASSERT_TRUE(next->started.wait());
    EXPECT_NE(next->thread, std::this_thread::get_id());
    next->finish();
  }
  EXPECT_TRUE(queue->waitUntilAllOperationsAreFinished(kTestTimeoutSeconds));
}

TEST(NSOperationQueueStartWhereFinishedTest, CancelledOperationsFinishingAtOnceStartOneAfterAnotherNotInside) {
  constexpr int kCancelled = 2000;
  auto queue = std::make_shared<NSOperationQueue>();
  queue->setMaxConcurrentOperationCount(1);
  queue->setStartsWhereOthersFinish(true);
  auto first = std::make_shared<NotedOperation>();
  queue->addOperation(first);
  ASSERT_TRUE(first->started.wait());
  std::vector<std::shared_ptr<NotedOperation>> cancelled;
  for (int i = 0; i < kCancelled; ++i) {
    auto op = std::make_shared<NotedOperation>();
    op->cancel();
    cancelled.push_back(op);
    queue->addOperation(op);
  }
  auto last = std::make_shared<NotedOperation>();
  queue->addOperation(last);
  NotedOperation::deepest = 0;
  const Finish finish = finishOnQueue(first, last);
  // Each cancelled one finished inside its own start: the next started
  // after it returned, so no start ever ran inside another.
  EXPECT_TRUE(finish.nextStartedInside);
  EXPECT_EQ(NotedOperation::deepest.load(), 1);
  for (const auto& op : cancelled) {
    EXPECT_TRUE(op->isFinished());
    EXPECT_EQ(op->thread, finish.thread);
  }
  last->finish();
  EXPECT_TRUE(queue->waitUntilAllOperationsAreFinished(kTestTimeoutSeconds));
}
