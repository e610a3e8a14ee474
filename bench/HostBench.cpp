// The host's request path under load: a burst of screen-brightness sets sent
// back to back (each cancelling the ramp the one before started), and the
// reading of one request line holding many keys. Both should cost the same
// per item at every size; the "per_item" counter is that cost. And the reply
// path for a large answer (a picked file's bytes): from the plugin's answer
// through the codec and back to the last piece of its JSON line. And the
// host's start: from exec of the real binary to its first reply line, beside
// a C program that reads a line and answers it, with the memory each holds
// once it has answered.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
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

// One started process with its standard input and output on pipes.
class Child {
 public:
  explicit Child(const char* path) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    char* argv[] = {const_cast<char*>(path), nullptr};
    if (::posix_spawn(&pid_, path, &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    toChild_ = in[1];
    fromChild_ = out[0];
  }
  ~Child() {
    if (toChild_ >= 0) ::close(toChild_);
    if (fromChild_ >= 0) ::close(fromChild_);
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
  }

  bool send(std::string_view line) {
    return ::write(toChild_, line.data(), line.size()) == ssize_t(line.size());
  }
  // Reads until the first line ends; the line without its end.
  std::string readLine() {
    std::string line;
    char c;
    while (::read(fromChild_, &c, 1) == 1 && c != '\n') line += c;
    return line;
  }
  // Resident kilobytes now.
  long residentKB() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string key;
    long value = -1;
    while (status >> key) {
      if (key == "VmRSS:") return (status >> value) ? value : -1;
    }
    return -1;
  }

 private:
  pid_t pid_ = -1;
  int toChild_ = -1;
  int fromChild_ = -1;
};

// The same request to both, and both answer it the same way. QX_BENCH_HOST
// names another host binary to time instead of the one built here (an older
// build, to compare).
void BM_ExecToFirstReply(benchmark::State& state, const char* builtPath) {
  const char* other = std::getenv("QX_BENCH_HOST");
  const char* path = other && std::string_view(builtPath) == QX_HOST_BINARY ? other : builtPath;
  constexpr std::string_view kRequest =
      R"({"id":1,"channel":"dev.tarnquell.plugins/battery","method":"getBatteryState"})"
      "\n";
  constexpr std::string_view kReply = R"({"id":1,"result":"unknown"})";
  double residentKB = 0;
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    Child child(path);
    std::string reply;
    if (child.send(kRequest)) reply = child.readLine();
    const auto end = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    if (reply != kReply) {
      state.SkipWithError(("unexpected first reply: " + reply).c_str());
      break;
    }
    residentKB += double(child.residentKB());
    // Closing its input ends it; the wait is outside the measured time.
  }
  state.counters["idle_rss_MB"] =
      benchmark::Counter(residentKB / 1024, benchmark::Counter::kAvgIterations);
}
// Run with repetitions and random interleaving, pinned to one processor
// (taskset), so both sides see the same machine; min and max give the spread.
double Min(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }
double Max(const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); }
BENCHMARK_CAPTURE(BM_ExecToFirstReply, host, QX_HOST_BINARY)
    ->UseManualTime()
    ->ComputeStatistics("min", Min)
    ->ComputeStatistics("max", Max)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ExecToFirstReply, c_line_answerer, QX_LINE_ANSWERER)
    ->UseManualTime()
    ->ComputeStatistics("min", Min)
    ->ComputeStatistics("max", Max)
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
