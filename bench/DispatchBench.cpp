// The cost of handing blocks between threads through dispatch queues: a
// serial queue working through many small blocks, a reply bouncing between
// two serial queues, what handing a block to a global queue costs the block
// that hands it over, and a burst of short tasks fanned out and gathered.
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <memory>

#include "platform/foundation/Dispatch.h"

namespace {

constexpr int kSerialBlocks = 10000;
constexpr int kPingPongRounds = 1000;
constexpr int kFanOut = 64;

// Many small blocks queued at once on one serial queue, until the last has run.
void BM_SerialQueueSmallBlocks(benchmark::State& state) {
  auto queue = dispatch_queue_create("bench.serial");
  int64_t counter = 0;
  for (auto _ : state) {
    auto done = dispatch_semaphore_create(0);
    for (int i = 0; i < kSerialBlocks; ++i) {
      dispatch_async(queue, [&counter] { benchmark::DoNotOptimize(++counter); });
    }
    dispatch_async(queue, [done] { dispatch_semaphore_signal(done); });
    dispatch_semaphore_wait(done, DISPATCH_TIME_FOREVER);
  }
  state.SetItemsProcessed(state.iterations() * kSerialBlocks);
}
BENCHMARK(BM_SerialQueueSmallBlocks)->Unit(benchmark::kMillisecond)->UseRealTime();

// A block on one serial queue hands the next to the other and back: each
// round trip is two hand-overs between threads with nothing else queued.
struct PingPong {
  dispatch_queue_t ping = dispatch_queue_create("bench.ping");
  dispatch_queue_t pong = dispatch_queue_create("bench.pong");
  dispatch_semaphore_t done = dispatch_semaphore_create(0);
  int left = 0;

  void serve() {
    dispatch_async(ping, [this] {
      if (--left < 0) {
        dispatch_semaphore_signal(done);
        return;
      }
      dispatch_async(pong, [this] { serve(); });
    });
  }
};

void BM_PingPongBetweenSerialQueues(benchmark::State& state) {
  PingPong game;
  for (auto _ : state) {
    game.left = kPingPongRounds;
    game.serve();
    dispatch_semaphore_wait(game.done, DISPATCH_TIME_FOREVER);
  }
  state.SetItemsProcessed(state.iterations() * kPingPongRounds);
}
BENCHMARK(BM_PingPongBetweenSerialQueues)->Unit(benchmark::kMicrosecond)->UseRealTime();

// What one dispatch_async to a global queue costs a block running on a serial
// queue, once the pool has gone quiet since the last one: the time is the
// caller's alone, not the handed block's.
void BM_AsyncToGlobalFromSerialBlock(benchmark::State& state) {
  auto queue = dispatch_queue_create("bench.caller");
  auto global = dispatch_get_global_queue(DispatchQoS::Default);
  auto ran = dispatch_semaphore_create(0);
  for (auto _ : state) {
    double seconds = 0;
    dispatch_async(queue, [&seconds, global, ran] {
      const auto start = std::chrono::steady_clock::now();
      dispatch_async(global, [ran] { dispatch_semaphore_signal(ran); });
      seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    });
    dispatch_semaphore_wait(ran, DISPATCH_TIME_FOREVER);
    // The caller's block may still be finishing: wait for it too.
    dispatch_sync(queue, [] {});
    state.SetIterationTime(seconds);
  }
}
BENCHMARK(BM_AsyncToGlobalFromSerialBlock)->Unit(benchmark::kMicrosecond)->UseManualTime();

// Short tasks fanned out to a global queue and gathered with a group.
void BM_FanOutShortTasks(benchmark::State& state) {
  auto global = dispatch_get_global_queue(DispatchQoS::Default);
  std::atomic<int64_t> sum{0};
  for (auto _ : state) {
    auto group = dispatch_group_create();
    for (int i = 0; i < kFanOut; ++i) {
      dispatch_group_async(group, global, [&sum, i] {
        int64_t local = 0;
        for (int k = 0; k < 200; ++k) benchmark::DoNotOptimize(local += k * i);
        sum += local;
      });
    }
    dispatch_group_wait(group, DISPATCH_TIME_FOREVER);
  }
  benchmark::DoNotOptimize(sum.load());
  state.SetItemsProcessed(state.iterations() * kFanOut);
}
BENCHMARK(BM_FanOutShortTasks)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
