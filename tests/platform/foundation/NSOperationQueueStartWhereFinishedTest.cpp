#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "FoundationTestSupport.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSOperation.h"
#include "platform/foundation/NSRunLoop.h"

namespace ns_operation_queue_start_where_finished_test {

namespace {

thread_local int tlsStartDepth = 0;
// Starts run on this thread so far: unlike a look at an operation's flag, a
// start on another thread at the same moment cannot change it.
thread_local int tlsStartsHere = 0;

// Notes where and when it started; runs until finish() (a cancelled one
// finishes at once), as operations around network tasks do.
class NotedOperation : public NSOperation {
 public:
  explicit NotedOperation(bool asynchronous = true) : asynchronous_(asynchronous) {}
  bool isAsynchronous() const override { return asynchronous_; }
  void start() override {
    ++tlsStartDepth;
    ++tlsStartsHere;
    deepest = std::max(deepest.load(), tlsStartDepth);
    thread = std::this_thread::get_id();
    queue = NSOperationQueue::currentQueue();
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
  // Finishes with a flag of its own, announced by hand rather than through
  // setFinished().
  void finishByHand() {
    setExecuting(false);
    willChangeValueForKey("isFinished");
    finishedByHand_ = true;
    didChangeValueForKey("isFinished");
  }
  bool isFinished() const override { return finishedByHand_ || NSOperation::isFinished(); }

  Latch started{1};
  std::atomic<bool> startedFlag{false};
  std::thread::id thread;
  NSOperationQueuePtr queue;  // the current queue inside start()
  static inline std::atomic<int> deepest{0};

 private:
  const bool asynchronous_;
  std::atomic<bool> finishedByHand_{false};
};

struct Finish {
  std::thread::id thread;
  bool nextStartedInside = false;
  bool nextStartedAfter = false;
};

// Finishes `first` inside a block of a serial queue (a worker's thread), then
// keeps that thread until `next` has started, so that a start elsewhere must
// be on another thread.
Finish finishOnQueue(const std::shared_ptr<NotedOperation>& first,
                     const std::shared_ptr<NotedOperation>& next, bool byHand = false) {
  Finish result;
  Latch done(1);
  dispatch_async(dispatch_queue_create("finisher"), [&] {
    result.thread = std::this_thread::get_id();
    const int before = tlsStartsHere;
    if (byHand) {
      first->finishByHand();
    } else {
      first->finish();
    }
    result.nextStartedInside = tlsStartsHere != before;
    result.nextStartedAfter = next->started.wait();
    done.countDown();
  });
  EXPECT_TRUE(done.wait());
  return result;
}

// `next` started on a worker once `finish` was over, not inside it.
void expectStartedOnAWorker(const Finish& finish, const NotedOperation& next) {
  EXPECT_TRUE(finish.nextStartedAfter);
  EXPECT_FALSE(finish.nextStartedInside);
  EXPECT_NE(next.thread, finish.thread);
}

// Adds two operations to a width-1 queue, lets the first start, then
// finishes it on a queue's thread (by hand: announcing the change itself)
// and tells where the second started.
void expectNextStartsOnAWorker(NSOperationQueue& queue, bool byHand = false) {
  auto first = std::make_shared<NotedOperation>();
  auto next = std::make_shared<NotedOperation>();
  queue.addOperation(first);
  queue.addOperation(next);
  ASSERT_TRUE(first->started.wait());
  const Finish finish = finishOnQueue(first, next, byHand);
  EXPECT_TRUE(first->isFinished());
  expectStartedOnAWorker(finish, *next);
  next->finish();
}

}  // namespace

TEST(NSOperationQueueStartWhereFinishedTest,
     AnAsynchronousStartFollowsAFinishOnAQueueThreadAfterAllHeardOfIt) {
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
  EXPECT_EQ(next->queue, queue);
  EXPECT_TRUE(completionRan);
  EXPECT_TRUE(completionBeforeNext);

  // A synchronous operation is never run on the finishing thread: its start
  // is all its work.
  auto synchronous = std::make_shared<NotedOperation>(false);
  queue->addOperation(synchronous);
  expectStartedOnAWorker(finishOnQueue(next, synchronous), *synchronous);
  synchronous->finish();
  EXPECT_TRUE(queue->waitUntilAllOperationsAreFinished(kTestTimeoutSeconds));
}

TEST(NSOperationQueueStartWhereFinishedTest, OtherThreadsAndQueuesWithoutTheOptionStartOnAWorker) {
  // Without the option (or with it turned off again) a start after a finish
  // goes to a worker as before.
  {
    auto queue = std::make_shared<NSOperationQueue>();
    queue->setMaxConcurrentOperationCount(1);
    queue->setStartsWhereOthersFinish(true);
    queue->setStartsWhereOthersFinish(false);
    EXPECT_FALSE(queue->startsWhereOthersFinish());
    expectNextStartsOnAWorker(*queue);
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
      const int before = tlsStartsHere;
      first->finish();
      startedInside = tlsStartsHere != before;
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
      const int before = tlsStartsHere;
      first->finish();
      startedInside = tlsStartsHere != before;
      ran = true;
    });
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(kTestTimeoutSeconds);
    while (!ran && std::chrono::steady_clock::now() < deadline)
      NSRunLoop::mainRunLoop().runUntilIdle();
    ASSERT_TRUE(ran);
    EXPECT_FALSE(startedInside);
    ASSERT_TRUE(next->started.wait());
    EXPECT_NE(next->thread, std::this_thread::get_id());
    next->finish();
  }
  EXPECT_TRUE(queue->waitUntilAllOperationsAreFinished(kTestTimeoutSeconds));
}

TEST(NSOperationQueueStartWhereFinishedTest,
     CancelledOperationsFinishingAtOnceStartOneAfterAnotherNotInside) {
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

TEST(NSOperationQueueStartWhereFinishedTest,
     StartsNotMadeBySetFinishedOrOnTheMainQueueStayOffTheFinishingThread) {
  auto queue = std::make_shared<NSOperationQueue>();
  queue->setMaxConcurrentOperationCount(1);
  queue->setStartsWhereOthersFinish(true);
  // A finish announced by hand, not through setFinished(), has nobody to run
  // a start put off: the next one goes to a worker.
  expectNextStartsOnAWorker(*queue, /*byHand=*/true);
  // An operation added from a completion block starts because it was added,
  // not because of the finish: on a worker, even on a queue with the option.
  {
    auto other = std::make_shared<NSOperationQueue>();
    other->setStartsWhereOthersFinish(true);
    auto first = std::make_shared<NotedOperation>();
    auto added = std::make_shared<NotedOperation>();
    first->setCompletionBlock([other, added] { other->addOperation(added); });
    queue->addOperation(first);
    ASSERT_TRUE(first->started.wait());
    expectStartedOnAWorker(finishOnQueue(first, added), *added);
    added->finish();
    EXPECT_TRUE(other->waitUntilAllOperationsAreFinished(kTestTimeoutSeconds));
  }
  EXPECT_TRUE(queue->waitUntilAllOperationsAreFinished(kTestTimeoutSeconds));

  // The main queue starts its operations on the main thread only, whoever
  // finished the one before.
  auto main = NSOperationQueue::mainQueue();
  const bool mainHadOption = main->startsWhereOthersFinish();
  main->setStartsWhereOthersFinish(true);
  auto first = std::make_shared<NotedOperation>();
  auto next = std::make_shared<NotedOperation>();
  main->addOperation(first);
  main->addOperation(next);
  const auto pumpUntil = [](const std::function<bool()>& done) {
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::duration<double>(kTestTimeoutSeconds);
    while (!done() && std::chrono::steady_clock::now() < deadline)
      NSRunLoop::mainRunLoop().runUntilIdle();
    return done();
  };
  EXPECT_TRUE(pumpUntil([&] { return first->startedFlag.load(); }));
  std::atomic<bool> finished{false};
  bool startedInside = true;
  dispatch_async(dispatch_queue_create("finisher"), [&] {
    const int before = tlsStartsHere;
    first->finish();
    startedInside = tlsStartsHere != before;
    finished = true;
  });
  EXPECT_TRUE(pumpUntil([&] { return finished.load() && next->startedFlag.load(); }));
  EXPECT_FALSE(startedInside);
  EXPECT_EQ(next->thread, std::this_thread::get_id());
  next->finish();
  EXPECT_TRUE(main->waitUntilAllOperationsAreFinished(kTestTimeoutSeconds));
  main->setStartsWhereOthersFinish(mainHadOption);
}

}  // namespace ns_operation_queue_start_where_finished_test
