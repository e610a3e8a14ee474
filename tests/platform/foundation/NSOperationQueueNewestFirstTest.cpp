#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "FoundationTestSupport.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSOperation.h"
#include "support/TestEnvironment.h"

namespace ns_operation_queue_newest_first_test {

namespace {

// Notes its start in a shared log and then runs until told to finish (a
// cancelled one finishes at once), as operations around network tasks do.
class LoggedOperation : public NSOperation {
 public:
  struct Log {
    std::mutex mutex;
    std::vector<int> started;
  };
  LoggedOperation(int id, Log& log) : id_(id), log_(log) {}
  bool isAsynchronous() const override { return true; }
  void start() override {
    {
      std::lock_guard<std::mutex> lock(log_.mutex);
      log_.started.push_back(id_);
    }
    if (isCancelled()) {
      setFinished(true);
      return;
    }
    setExecuting(true);
  }
  void finish() {
    setExecuting(false);
    setFinished(true);
  }

 private:
  const int id_;
  Log& log_;
};

// Waits (bounded) until every start the queues launched has run. Nothing
// here posts to the main thread, so the main loop need not be served.
bool settled() {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration<double>(kTestTimeoutSeconds);
  while (!DispatchWorkersIdle()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

// One queue fed the steps of a run. The reference makes every operation the
// queue holds depend on each newest-first newcomer, and takes each step
// suspended: a dependent learns that its dependency ended only after the
// queue has already chosen what to start next, so without the pause its
// choice would depend on that timing rather than on the order.
struct Lane {
  Lane(int64_t width, bool reference) : byDependencies(reference) {
    queue->setMaxConcurrentOperationCount(width);
  }
  template <typename Step>
  void take(Step&& step) {
    if (byDependencies) queue->setSuspended(true);
    step();
    if (byDependencies) queue->setSuspended(false);
  }
  void add(int priority, bool newestFirst, bool cancelledFirst) {
    auto op = std::make_shared<LoggedOperation>(static_cast<int>(ops.size()), log);
    op->setQueuePriority(priority);
    if (cancelledFirst) op->cancel();
    ops.push_back(op);
    take([&] {
      if (byDependencies) {
        if (newestFirst) {
          for (const auto& held : queue->operations()) held->addDependency(op);
        }
      } else {
        queue->setHoldsWaitingBehindNewest(newestFirst);
      }
      queue->addOperation(op);
    });
  }
  // The starts so far, each step's in the order of ids when the queue may
  // start several at once (they then race to note their start).
  std::vector<int> starts(bool sortEachStep) {
    std::lock_guard<std::mutex> lock(log.mutex);
    if (sortEachStep) std::sort(log.started.begin() + static_cast<long>(sorted), log.started.end());
    sorted = log.started.size();
    return log.started;
  }

  const bool byDependencies;
  NSOperationQueuePtr queue = std::make_shared<NSOperationQueue>();
  std::vector<std::shared_ptr<LoggedOperation>> ops;
  LoggedOperation::Log log;
  size_t sorted = 0;
};

}  // namespace

using NSOperationQueueNewestFirstTest = PlatformTest;

// Random runs of adds (oldest or newest first, at random priorities, a few
// cancelled before they are added), cancels, priority changes and finishes
// through the queue's own newest-first holding and through a dependency on
// each newcomer: both must start the same operations at every step.
TEST_F(NSOperationQueueNewestFirstTest, StartsWhatADependencyOnEachNewcomerWouldStart) {
  constexpr int64_t kPriorities[] = {-8, -4, 0, 4, 8};
  int heldBackSeen = 0;
  for (int64_t width : {1, 6}) {
    for (unsigned seed = 1; seed <= 40; ++seed) {
      SCOPED_TRACE(testing::Message() << "width " << width << " seed " << seed);
      std::mt19937 random(seed);
      auto chance = [&](int percent) { return static_cast<int>(random() % 100) < percent; };
      Lane holding(width, false), reference(width, true);
      const bool mostlyNewestFirst = seed % 3 != 0;
      for (int step = 0; step < 120; ++step) {
        const int kind = static_cast<int>(random() % 10);
        const size_t count = holding.ops.size();
        if (kind < 4 || count == 0) {
          const int64_t priority = kPriorities[random() % 5];
          const bool newestFirst = chance(mostlyNewestFirst ? 85 : 30);
          const bool cancelledFirst = chance(5);
          holding.add(priority, newestFirst, cancelledFirst);
          reference.add(priority, newestFirst, cancelledFirst);
        } else if (kind < 6) {
          const size_t i = random() % count;
          holding.take([&] { holding.ops[i]->cancel(); });
          reference.take([&] { reference.ops[i]->cancel(); });
        } else if (kind < 7) {
          const size_t i = random() % count;
          const int64_t priority = kPriorities[random() % 5];
          if (holding.ops[i]->isExecuting() || holding.ops[i]->isFinished()) continue;
          holding.take([&] { holding.ops[i]->setQueuePriority(priority); });
          reference.take([&] { reference.ops[i]->setQueuePriority(priority); });
        } else {
          std::vector<size_t> running;
          for (size_t i = 0; i < count; ++i) {
            if (holding.ops[i]->isExecuting()) running.push_back(i);
          }
          if (running.empty()) continue;
          const size_t i = running[random() % running.size()];
          holding.take([&] { holding.ops[i]->finish(); });
          reference.take([&] { reference.ops[i]->finish(); });
        }
        ASSERT_TRUE(settled());
        const auto started = holding.starts(width > 1);
        ASSERT_EQ(started, reference.starts(width > 1)) << "after step " << step;
        int64_t running = 0, waiting = 0;
        for (const auto& op : holding.ops) {
          running += op->isExecuting();
          waiting += !op->isExecuting() && !op->isFinished();
        }
        // Waiting with room to start: held back by a newer operation.
        if (running < width && waiting > 0) ++heldBackSeen;
      }
      // Finishing whatever runs lets everything start in the end.
      for (int round = 0; round < 200 && holding.queue->operationCount() > 0; ++round) {
        for (size_t i = 0; i < holding.ops.size(); ++i) {
          if (!holding.ops[i]->isExecuting()) continue;
          holding.take([&] { holding.ops[i]->finish(); });
          reference.take([&] { reference.ops[i]->finish(); });
          ASSERT_TRUE(settled());
        }
        ASSERT_EQ(holding.starts(width > 1), reference.starts(width > 1));
      }
      EXPECT_EQ(holding.queue->operationCount(), 0);
      EXPECT_EQ(reference.queue->operationCount(), 0);
      EXPECT_EQ(holding.starts(false).size(), holding.ops.size());
    }
  }
  // The runs did reach states where the queue held operations back.
  EXPECT_GT(heldBackSeen, 300) << heldBackSeen;
}

// What the downloader's last-in-first-out order amounts to on a six-wide
// queue: waiting operations start one at a time, newest first, while later
// additions start at once beside them; a cancelled one holds nothing back.
TEST_F(NSOperationQueueNewestFirstTest, WaitingOperationsStartOneAtATimeNewestFirst) {
  LoggedOperation::Log log;
  std::vector<std::shared_ptr<LoggedOperation>> ops;
  auto queue = std::make_shared<NSOperationQueue>();
  queue->setMaxConcurrentOperationCount(6);
  queue->setHoldsWaitingBehindNewest(true);
  EXPECT_TRUE(queue->holdsWaitingBehindNewest());
  auto add = [&] {
    ops.push_back(std::make_shared<LoggedOperation>(static_cast<int>(ops.size()), log));
    queue->addOperation(ops.back());
  };
  auto started = [&] {
    EXPECT_TRUE(settled());
    std::lock_guard<std::mutex> lock(log.mutex);
    return log.started;
  };
  queue->setSuspended(true);
  for (int i = 0; i < 4; ++i) add();
  queue->setSuspended(false);
  EXPECT_EQ(started(), (std::vector<int>{3}));
  // The held-back ones still read ready: nothing of this is a dependency.
  EXPECT_TRUE(ops[0]->isReady());
  EXPECT_TRUE(ops[0]->dependencies().empty());
  // Added while 3 runs: it is the newest, so it starts, and now holds 3's
  // elders back as well.
  add();
  EXPECT_EQ(started(), (std::vector<int>{3, 4}));
  ops[3]->finish();
  EXPECT_EQ(started(), (std::vector<int>{3, 4}));
  // A cancelled holder, even a running one, holds nothing back.
  ops[4]->cancel();
  EXPECT_EQ(started(), (std::vector<int>{3, 4, 2}));
  // Cancelled, 1 starts (to finish) at once; 0 waits for 2.
  ops[1]->cancel();
  EXPECT_EQ(started(), (std::vector<int>{3, 4, 2, 1}));
  ops[2]->finish();
  EXPECT_EQ(started(), (std::vector<int>{3, 4, 2, 1, 0}));
  // Added in order, an operation holds nothing back.
  queue->setHoldsWaitingBehindNewest(false);
  queue->setSuspended(true);
  add();
  add();
  queue->setSuspended(false);
  // Both start at once, racing to note it.
  auto all = started();
  ASSERT_EQ(all.size(), 7u);
  std::sort(all.begin() + 5, all.end());
  EXPECT_EQ(all, (std::vector<int>{3, 4, 2, 1, 0, 5, 6}));
  for (auto& op : ops) {
    if (op->isExecuting()) op->finish();
  }
  EXPECT_TRUE(queue->waitUntilAllOperationsAreFinished(kTestTimeoutSeconds));
}

}  // namespace ns_operation_queue_newest_first_test
