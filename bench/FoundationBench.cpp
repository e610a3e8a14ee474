// Notification traffic with many image loads in flight: each load registers
// two observers filtered on its own operation, so a post or a removal must not
// cost in proportion to every load under way.
//
// An operation's life through an operation queue: asynchronous operations
// finished from a serial queue, as downloads are by their session's delegate
// queue, and what the finishing thread pays to mark one finished.

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/KeyValueObserving.h"
#include "platform/foundation/NSNotification.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/NSOperation.h"
#include "platform/foundation/Value.h"

namespace {

constexpr const char* kResponse = "bench.receiveResponse";
constexpr const char* kStop = "bench.stop";

struct LoadsInFlight {
  explicit LoadsInFlight(NSNotificationCenter& center, int64_t count) {
    for (int64_t i = 0; i < count; ++i) {
      auto operation = std::make_shared<NSObject>();
      tokens.push_back(center.addObserverForName(kResponse, operation,
                                                 [this](const NSNotification&) { ++heard; }));
      tokens.push_back(
          center.addObserverForName(kStop, operation, [this](const NSNotification&) { ++heard; }));
      operations.push_back(std::move(operation));
    }
    // A few process-wide observers of every notification, as a logger would be.
    for (int i = 0; i < 4; ++i) {
      tokens.push_back(
          center.addObserverForName("", nullptr, [this](const NSNotification&) { ++heard; }));
    }
  }
  std::vector<std::shared_ptr<NSObject>> operations;
  std::vector<NSObserverToken> tokens;
  int64_t heard = 0;
};

// One load reports its response: one filtered observer and the catch-all ones match.
void BM_PostWithLoadsInFlight(benchmark::State& state) {
  NSNotificationCenter center;
  LoadsInFlight loads(center, state.range(0));
  size_t next = 0;
  for (auto _ : state) {
    center.postNotificationName(kResponse, loads.operations[next]);
    next = (next + 1) % loads.operations.size();
  }
  benchmark::DoNotOptimize(loads.heard);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PostWithLoadsInFlight)->Arg(64)->Arg(512)->Arg(4096);

// One more load starts and ends while the others stay in flight.
void BM_AddAndRemoveWithLoadsInFlight(benchmark::State& state) {
  NSNotificationCenter center;
  LoadsInFlight loads(center, state.range(0));
  auto operation = std::make_shared<NSObject>();
  for (auto _ : state) {
    auto response = center.addObserverForName(kResponse, operation, [](const NSNotification&) {});
    auto stop = center.addObserverForName(kStop, operation, [](const NSNotification&) {});
    center.removeObserver(response);
    center.removeObserver(stop);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AddAndRemoveWithLoadsInFlight)->Arg(64)->Arg(512)->Arg(4096);

// Started by its queue, finished when told to.
class AsyncOperation : public NSOperation {
 public:
  explicit AsyncOperation(std::function<void(AsyncOperation*)> onStart)
      : onStart_(std::move(onStart)) {}
  bool isAsynchronous() const override { return true; }
  void start() override {
    setExecuting(true);
    onStart_(this);
  }
  void stopExecuting() { setExecuting(false); }
  void markFinished() { setFinished(true); }

 private:
  std::function<void(AsyncOperation*)> onStart_;
};

// Signals once a count is reached.
class Countdown {
 public:
  void reset(int64_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    left_ = count;
  }
  void countDown() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--left_ == 0) cv_.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    cv_.wait(lock, [this] { return left_ <= 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  int64_t left_ = 0;
};

// N asynchronous operations through a queue six wide, each finished on one
// serial queue; process CPU per operation.
void BM_AsyncOperationsFinishedOnASerialQueue(benchmark::State& state) {
  const int64_t count = state.range(0);
  auto queue = std::make_shared<NSOperationQueue>();
  queue->setMaxConcurrentOperationCount(6);
  auto finisher = dispatch_queue_create("bench.finisher", DispatchQueueAttr::Serial);
  Countdown finished;
  auto onStart = [&](AsyncOperation* operation) {
    auto held = std::static_pointer_cast<AsyncOperation>(operation->shared_from_this());
    dispatch_async(finisher, [held] {
      held->stopExecuting();
      held->markFinished();
    });
  };
  for (auto _ : state) {
    finished.reset(count);
    for (int64_t i = 0; i < count; ++i) {
      auto operation = std::make_shared<AsyncOperation>(onStart);
      operation->setCompletionBlock([&finished] { finished.countDown(); });
      queue->addOperation(operation);
    }
    finished.wait();
    queue->waitUntilAllOperationsAreFinished(60);
  }
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_AsyncOperationsFinishedOnASerialQueue)
    ->Arg(1000)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Block operations with an empty body through a queue left at its default width.
void BM_BlockOperationsThroughAQueue(benchmark::State& state) {
  const int64_t count = state.range(0);
  auto queue = std::make_shared<NSOperationQueue>();
  for (auto _ : state) {
    for (int64_t i = 0; i < count; ++i) queue->addOperationWithBlock([] {});
    queue->waitUntilAllOperationsAreFinished(60);
  }
  state.SetItemsProcessed(state.iterations() * count);
}
BENCHMARK(BM_BlockOperationsThroughAQueue)
    ->Arg(1000)
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Newest first, as the downloader orders requests, two ways: every operation
// still waiting made to depend on each newcomer (a step per waiting operation
// on every add, and a rescan of dependencies on every change), and the queue
// holding the waiting ones behind the newest itself. Against the same
// operations in the order they were added; all queues six wide, as the
// downloader's is. Both newest-first forms run the waiting ones one at a time.
enum class QueueOrder { NewestByDependencies, NewestByQueue, InOrder };
void RunQueued(benchmark::State& state, QueueOrder order) {
  const int count = static_cast<int>(state.range(0));
  for (auto _ : state) {
    auto queue = std::make_shared<NSOperationQueue>();
    queue->setMaxConcurrentOperationCount(6);
    queue->setSuspended(true);
    queue->setHoldsWaitingBehindNewest(order == QueueOrder::NewestByQueue);
    for (int i = 0; i < count; ++i) {
      auto op = NSBlockOperation::blockOperationWithBlock([] {});
      if (order == QueueOrder::NewestByDependencies) {
        for (const auto& pending : queue->operations()) pending->addDependency(op);
      }
      queue->addOperation(op);
    }
    queue->setSuspended(false);
    queue->waitUntilAllOperationsAreFinished(60);
  }
}
void BM_QueueNewestFirstByDependencies(benchmark::State& state) {
  RunQueued(state, QueueOrder::NewestByDependencies);
}
void BM_QueueNewestFirst(benchmark::State& state) { RunQueued(state, QueueOrder::NewestByQueue); }
void BM_QueueInOrder(benchmark::State& state) { RunQueued(state, QueueOrder::InOrder); }
BENCHMARK(BM_QueueNewestFirstByDependencies)
    ->Arg(250)
    ->Arg(500)
    ->Arg(1000)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QueueNewestFirst)->Arg(250)->Arg(500)->Arg(1000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_QueueInOrder)->Arg(250)->Arg(500)->Arg(1000)->Unit(benchmark::kMillisecond);

// What the finishing thread pays for setFinished(true) on a running operation
// of a one-wide queue while the next one waits: the queue lets the finished
// one go and launches the next.
void BM_SetFinishedWithTheNextWaiting(benchmark::State& state) {
  auto queue = std::make_shared<NSOperationQueue>();
  queue->setMaxConcurrentOperationCount(1);
  std::mutex mutex;
  std::condition_variable cv;
  AsyncOperation* started = nullptr;
  auto onStart = [&](AsyncOperation* operation) {
    std::lock_guard<std::mutex> lock(mutex);
    started = operation;
    cv.notify_all();
  };
  auto waitStarted = [&](AsyncOperation* operation) {
    std::unique_lock<std::mutex> lock(mutex);
    cv.wait(lock, [&] { return started == operation; });
  };
  auto running = std::make_shared<AsyncOperation>(onStart);
  queue->addOperation(running);
  waitStarted(running.get());
  for (auto _ : state) {
    auto next = std::make_shared<AsyncOperation>(onStart);
    queue->addOperation(next);
    running->stopExecuting();
    auto begin = std::chrono::steady_clock::now();
    running->markFinished();
    auto end = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(end - begin).count());
    waitStarted(next.get());
    running = std::move(next);
  }
  running->stopExecuting();
  running->markFinished();
  queue->waitUntilAllOperationsAreFinished(60);
}
BENCHMARK(BM_SetFinishedWithTheNextWaiting)->UseManualTime()->Unit(benchmark::kNanosecond);

class Flagged : public NSKeyValueObservable {
 public:
  Value valueForKey(const std::string& key) const override {
    if (key == "flag") return Value(flag_);
    return NSKeyValueObservable::valueForKey(key);
  }
  void toggle() {
    changeValueForKey("flag", [this] { flag_ = !flag_; });
  }

 private:
  bool flag_ = false;
};

// A change of a key nobody observes, on an object observed under another key.
void BM_ChangeOfAnUnobservedKey(benchmark::State& state) {
  Flagged object;
  auto token = object.observe("other", 0, [](NSObject*, const Value&) {});
  for (auto _ : state) object.toggle();
}
BENCHMARK(BM_ChangeOfAnUnobservedKey);

// A change heard by one observer asking for the new value.
void BM_ChangeOfAnObservedKey(benchmark::State& state) {
  Flagged object;
  int64_t heard = 0;
  auto token =
      object.observe("flag", NSKeyValueObservingOptionNew, [&](NSObject*, const Value&) { ++heard; });
  for (auto _ : state) object.toggle();
  benchmark::DoNotOptimize(heard);
}
BENCHMARK(BM_ChangeOfAnObservedKey);

}  // namespace

BENCHMARK_MAIN();
