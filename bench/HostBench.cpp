// The host's request path under load: a burst of screen-brightness sets sent
// back to back (each cancelling the ramp the one before started), and the
// reading of one request line holding many keys. Both should cost the same
// per item at every size; the "per_item" counter is that cost. And the reply
// path for a large answer (a picked file's bytes): from the plugin's answer
// through the codec and back to the last piece of its JSON line.
#include <benchmark/benchmark.h>

#include <atomic>
#include <string>
#include <string_view>

#include "platform/flutter/FlutterChannels.h"
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

void BM_DriverReplyOfBytes(benchmark::State& state) {
  const size_t size = static_cast<size_t>(state.range(0));
  auto engine = FlutterEngine::create();
  const Value answer = Value::bytes(Bytes(size, 0x5a));
  FlutterMethodChannel::methodChannelWithName("bench/bytes",
                                              engine->registrarForPlugin("Bytes")->messenger())
      ->setMethodCallHandler(
          [&answer](const FlutterMethodCall&, FlutterResult result) { result(answer); });
  size_t written = 0;
  int lines = 0;
  auto driver = FlutterJSONDriver::create(
      engine, FlutterJSONDriver::PieceWriter([&](std::string_view piece, bool lineEnds) {
        written += piece.size();
        lines += lineEnds;
      }));
  for (auto _ : state) {
    driver->handleLine(R"({"id":1,"channel":"bench/bytes","method":"get"})");
  }
  if (lines != state.iterations()) state.SkipWithError("a reply line is missing");
  state.SetBytesProcessed(static_cast<int64_t>(size) * state.iterations());
  state.counters["line_bytes"] = static_cast<double>(written) / static_cast<double>(lines);
  engine->destroyContext();
}
BENCHMARK(BM_DriverReplyOfBytes)->Arg(50'000'000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
