// The host's request path under load: a burst of screen-brightness sets sent
// back to back (each cancelling the ramp the one before started), and the
// reading of one request line holding many keys. Both should cost the same
// per item at every size; the "per_item" counter is that cost.
#include <benchmark/benchmark.h>

#include <atomic>
#include <string>

#include "platform/flutter/FlutterEngine.h"
#include "platform/flutter/FlutterJSONDriver.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "platform/foundation/NSRunLoop.h"
#include "plugins/screen_brightness/ScreenBrightnessIosPlugin.h"

namespace {

// Replies a client keeps waiting for before it sends more.
constexpr int kInFlight = 200;

void perItem(benchmark::State& state, int64_t items) {
  state.counters["per_item"] = benchmark::Counter(
      static_cast<double>(items), benchmark::Counter::kIsIterationInvariantRate |
                                      benchmark::Counter::kInvert);
}

void BM_PipelinedBrightnessSets(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  auto engine = FlutterEngine::create();
  ScreenBrightnessIosPlugin::registerWithRegistrar(engine->registrarForPlugin("Brightness"));
  std::atomic<int> replies{0};
  auto driver = FlutterJSONDriver::create(engine, [&](const std::string&) { ++replies; });
  auto& loop = NSRunLoop::mainRunLoop();
  std::vector<std::string> lines;
  for (int i = 0; i < count; ++i) {
    const char* method = i % 4 == 3 ? "setSystemScreenBrightness" : "setApplicationScreenBrightness";
    lines.push_back(R"({"id":)" + std::to_string(i) + R"(,"channel":"dev.tarnquell.plugins/screen_brightness","method":")" +
                    method + R"(","args":{"brightness":)" + (i % 2 ? "0.9" : "0.1") + "}}");
  }
  for (auto _ : state) {
    replies = 0;
    for (int i = 0; i < count; ++i) {
      driver->handleLine(lines[static_cast<size_t>(i)]);
      // The main thread also serves what the ramps send it, as the host does
      // between lines.
      if (i % kInFlight == kInFlight - 1) loop.runOnce(0);
    }
    while (replies.load() < count) loop.runOnce(0.001);
  }
  perItem(state, count);
  engine->destroyContext();
}
BENCHMARK(BM_PipelinedBrightnessSets)->Arg(1000)->Arg(2000)->Arg(4000)->Unit(benchmark::kMillisecond);

void BM_JSONLineOfManyKeys(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  std::string line = R"({"id":1,"channel":"c","method":"m","args":{)";
  for (int i = 0; i < count; ++i) {
    if (i) line += ',';
    line += "\"key" + std::to_string(i) + "\":" + std::to_string(i);
  }
  line += "}}";
  for (auto _ : state) {
    auto json = NSJSONSerialization::JSONObjectWithData(line);
    benchmark::DoNotOptimize(json);
  }
  perItem(state, count);
}
BENCHMARK(BM_JSONLineOfManyKeys)->Arg(10000)->Arg(20000)->Arg(40000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
