// Notification traffic with many image loads in flight: each load registers
// two observers filtered on its own operation, so a post or a removal must not
// cost in proportion to every load under way.

#include <benchmark/benchmark.h>

#include <memory>
#include <vector>

#include "platform/foundation/NSNotification.h"
#include "platform/foundation/NSNotificationCenter.h"

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

}  // namespace

BENCHMARK_MAIN();
