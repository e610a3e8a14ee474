// The file picker over real files. The photo picker taking 50 photos of 5 MB
// (request, presentation on a manual clock, the picker's temporary copies,
// the move into picked_images, the progress events and the reply) against
// copying the same files with std::filesystem::copy_file alone; and the
// "withData" reply for 20 files of 50 MB (the reply list with the contents,
// encoded as the channel sends it) against reading the files into memory,
// each with the peak resident memory it reached.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "file_picker/FilePickerPlugin.h"
#include "file_picker/FilePickerUtils.h"
#include "platform/flutter/FlutterCodec.h"
#include "platform/flutter/FlutterDartSide.h"
#include "platform/flutter/FlutterEngine.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/uikit/UIViewController.h"
#include "platform/uikit/UIWindow.h"

namespace {

constexpr int kPhotos = 50;
constexpr size_t kPhotoBytes = size_t{5} << 20;
constexpr int kLargeFiles = 20;
constexpr size_t kLargeBytes = size_t{50} << 20;

std::string scratch() {
  static std::string root = [] {
    char pattern[] = "/tmp/qx-filepicker-bench-XXXXXX";
    std::string path = mkdtemp(pattern);
    // The container of the application: Documents and tmp land here.
    ::setenv("QX_APP_HOME", (path + "/container").c_str(), 1);
    return path;
  }();
  return root;
}

std::vector<std::string> makeFiles(const std::string& folder, int count, size_t bytes,
                                   const char* extension) {
  std::filesystem::create_directories(folder);
  std::vector<std::string> paths;
  std::string block(bytes, '\0');
  for (size_t i = 0; i < bytes; ++i) block[i] = static_cast<char>((i * 131) ^ (i >> 9));
  for (int i = 0; i < count; ++i) {
    paths.push_back(folder + "/file" + std::to_string(i) + extension);
    block[0] = static_cast<char>(i);
    std::ofstream(paths.back(), std::ios::binary) << block;
  }
  return paths;
}

// Peak resident memory since the last reset, in MiB (VmHWM).
double peakResidentMiB() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("VmHWM:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
  }
  return 0;
}

void resetPeakResident() { std::ofstream("/proc/self/clear_refs") << "5"; }

// A picker provider that picks the given files at once.
class PickAll : public UISystemPickerProvider {
 public:
  explicit PickAll(std::vector<std::string> paths) : paths_(std::move(paths)) {}
  bool canPresent() override { return true; }
  UISystemPickerCancel pick(const UISystemPickerRequest&, Completion completion) override {
    NSRunLoop::mainRunLoop().perform(
        [completion = std::move(completion), paths = paths_]() mutable {
          completion(UISystemPickerAnswer::picked(paths));
        });
    return [] {};
  }

 private:
  std::vector<std::string> paths_;
};

struct PickerHost {
  std::shared_ptr<FlutterEngine> engine = FlutterEngine::create();
  std::unique_ptr<FlutterDartSide> dart = std::make_unique<FlutterDartSide>(engine);
  std::shared_ptr<UIWindow> window = std::make_shared<UIWindow>(CGRectMake(0, 0, 390, 844));
  size_t events = 0;

  PickerHost() {
    PlatformClock::useManualClock();
    window->setRootViewController(std::make_shared<UIViewController>());
    window->makeKeyAndVisible();
    FilePickerPlugin::registerWithRegistrar(engine->registrarForPlugin("FilePickerPlugin"));
    dart->setEventHandler([this](const std::string&, const FlutterStreamEvent&) { ++events; });
    dart->listen("corvinstead.flutter.plugins.filepickerevent", Value(),
                 [](const FlutterMethodOutcome&) {});
    NSRunLoop::mainRunLoop().runUntilIdle();
  }

  FlutterMethodOutcome call(const std::string& method, const Value& args) {
    std::optional<FlutterMethodOutcome> out;
    dart->invokeMethod("corvinstead.flutter.plugins.filepicker", method, args,
                       [&out](const FlutterMethodOutcome& o) { out = o; });
    PlatformClock::advance(UIViewController::kTransitionDuration + 0.05);
    auto& loop = NSRunLoop::mainRunLoop();
    while (!out) {
      loop.runUntilIdle();
      if (!out) loop.runOnce(0.001);
    }
    PlatformClock::advance(UIViewController::kTransitionDuration + 0.05);
    return *out;
  }
};

void BM_PhotoPicker50x5MB(benchmark::State& state) {
  const auto sources = makeFiles(scratch() + "/library", kPhotos, kPhotoBytes, ".jpg");
  UISystemPickerProvider::setCurrent(std::make_shared<PickAll>(sources));
  PickerHost host;
  const std::string picked = FilePickerPlugin::getDocumentDirectory() + "/picked_images";
  for (auto _ : state) {
    auto o = host.call("image", Value::map({{"allowMultipleSelection", Value(true)}}));
    if (o.kind != FlutterMethodOutcome::Kind::Success || o.result.size() != kPhotos) {
      state.SkipWithError("the photo picker did not answer with every photo");
      break;
    }
    state.PauseTiming();
    std::filesystem::remove_all(picked);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kPhotos * int64_t(kPhotoBytes));
  UISystemPickerProvider::setCurrent(nullptr);
}
BENCHMARK(BM_PhotoPicker50x5MB)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

void BM_CopyFileAlone50x5MB(benchmark::State& state) {
  const auto sources = makeFiles(scratch() + "/library", kPhotos, kPhotoBytes, ".jpg");
  const std::string target = scratch() + "/copies";
  for (auto _ : state) {
    std::filesystem::create_directories(target);
    for (size_t i = 0; i < sources.size(); ++i) {
      std::filesystem::copy_file(sources[i], target + "/" + std::to_string(i) + ".jpg");
    }
    state.PauseTiming();
    std::filesystem::remove_all(target);
    state.ResumeTiming();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kPhotos * int64_t(kPhotoBytes));
}
BENCHMARK(BM_CopyFileAlone50x5MB)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2);

const std::vector<std::string>& largeFiles() {
  static auto files = makeFiles(scratch() + "/large", kLargeFiles, kLargeBytes, ".bin");
  return files;
}

void BM_WithDataReply20x50MB(benchmark::State& state) {
  std::vector<NSURLPtr> urls;
  for (const auto& path : largeFiles()) urls.push_back(NSURL::fileURLWithPath(path));
  auto codec = FlutterStandardMethodCodec::sharedInstance();
  double peak = 0;
  for (auto _ : state) {
    resetPeakResident();
    auto reply = FilePickerUtils::resolveFileInfo(urls, true);
    // Handed over, as the method channel hands a plugin's answer to the codec.
    Bytes envelope = codec->encodeSuccessEnvelope(std::move(*reply));
    benchmark::DoNotOptimize(envelope.data());
    peak = std::max(peak, peakResidentMiB());
  }
  state.counters["peak_MiB"] = peak;
  state.SetBytesProcessed(int64_t(state.iterations()) * kLargeFiles * int64_t(kLargeBytes));
}
BENCHMARK(BM_WithDataReply20x50MB)->Unit(benchmark::kMillisecond)->UseRealTime();

// The reply list alone, before the channel encodes it.
void BM_WithDataList20x50MB(benchmark::State& state) {
  std::vector<NSURLPtr> urls;
  for (const auto& path : largeFiles()) urls.push_back(NSURL::fileURLWithPath(path));
  double peak = 0;
  for (auto _ : state) {
    resetPeakResident();
    auto reply = FilePickerUtils::resolveFileInfo(urls, true);
    benchmark::DoNotOptimize(reply->size());
    peak = std::max(peak, peakResidentMiB());
  }
  state.counters["peak_MiB"] = peak;
  state.SetBytesProcessed(int64_t(state.iterations()) * kLargeFiles * int64_t(kLargeBytes));
}
BENCHMARK(BM_WithDataList20x50MB)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReadFilesAlone20x50MB(benchmark::State& state) {
  double peak = 0;
  for (auto _ : state) {
    resetPeakResident();
    std::vector<std::string> contents;
    for (const auto& path : largeFiles()) {
      std::ifstream in(path, std::ios::binary);
      std::string data(kLargeBytes, '\0');
      in.read(data.data(), std::streamsize(data.size()));
      contents.push_back(std::move(data));
    }
    benchmark::DoNotOptimize(contents.data());
    peak = std::max(peak, peakResidentMiB());
  }
  state.counters["peak_MiB"] = peak;
  state.SetBytesProcessed(int64_t(state.iterations()) * kLargeFiles * int64_t(kLargeBytes));
}
BENCHMARK(BM_ReadFilesAlone20x50MB)->Unit(benchmark::kMillisecond)->UseRealTime();

// Times picks of every one of `sources`, removing the copies between picks.
void timeImports(benchmark::State& state, const std::vector<std::string>& sources) {
  const int count = static_cast<int>(sources.size());
  UISystemPickerProvider::setCurrent(std::make_shared<PickAll>(sources));
  PickerHost host;
  for (auto _ : state) {
    auto o = host.call("any", Value::map({{"allowMultipleSelection", Value(true)}}));
    if (o.kind != FlutterMethodOutcome::Kind::Success ||
        o.result.size() != static_cast<size_t>(count)) {
      state.SkipWithError("the import did not answer with every document");
      break;
    }
    state.PauseTiming();
    for (const auto& entry : std::filesystem::directory_iterator(NSTemporaryDirectory())) {
      std::filesystem::remove_all(entry.path());
    }
    state.ResumeTiming();
  }
  state.counters["per_item"] = benchmark::Counter(
      count, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  UISystemPickerProvider::setCurrent(nullptr);
}

// One pick of 10,000 small documents of their own names: the folders of the
// copies are made once each (one mkdir per copy, none for folders that are
// there), so the pick's cost is the copies' ("per_item").
void BM_ImportManyDocuments(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  const std::string folder = scratch() + "/many";
  std::filesystem::create_directories(folder);
  std::vector<std::string> sources;
  for (int i = 0; i < count; ++i) {
    sources.push_back(folder + "/" + std::to_string(i) + ".txt");
    std::ofstream(sources.back()) << i;
  }
  timeImports(state, sources);
  std::filesystem::remove_all(folder);
}
BENCHMARK(BM_ImportManyDocuments)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();

// Documents picked from n folders that all hold a file of the same name:
// each keeps its name in a folder of its own, and the cost per pick stays
// the same at every n ("per_item").
void BM_ImportSharedName(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  std::vector<std::string> sources;
  for (int i = 0; i < count; ++i) {
    const std::string folder = scratch() + "/shared/" + std::to_string(i);
    std::filesystem::create_directories(folder);
    sources.push_back(folder + "/same.txt");
    std::ofstream(sources.back()) << i;
  }
  timeImports(state, sources);
  state.SetComplexityN(count);
  std::filesystem::remove_all(scratch() + "/shared");
}
BENCHMARK(BM_ImportSharedName)
    ->Arg(1000)
    ->Arg(2000)
    ->Arg(4000)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
