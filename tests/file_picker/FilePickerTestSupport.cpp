#include "FilePickerTestSupport.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <iterator>

#include "platform/foundation/NSRunLoop.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIViewController.h"
#include "platform/uikit/UIWindow.h"
#include "support/ScriptedLocations.h"

namespace {

std::atomic<int64_t> gMkdirCalls{0};
std::atomic<int64_t> gMkdirFailures{0};

}  // namespace

// The program's own mkdir comes before the C library's for every caller in
// it: each call is counted and goes on to the system call unchanged.
extern "C" int mkdir(const char* path, mode_t mode) noexcept {
  const long result = ::syscall(SYS_mkdirat, AT_FDCWD, path, mode);
  ++gMkdirCalls;
  if (result != 0) ++gMkdirFailures;
  return static_cast<int>(result);
}

MkdirCount CountedMkdirs() { return {gMkdirCalls.load(), gMkdirFailures.load()}; }

void FilePickerTest::SetUp() {
  PlatformTest::SetUp();
  container_ = scratch_.makeFolder("container");
  ScriptedLocations::installed().setContainerRoot(container_);
  provider_ = ScriptedPickerProvider::install();
  window_ = std::make_shared<UIWindow>(CGRectMake(0, 0, 375, 667));
  window_->setRootViewController(std::make_shared<UIViewController>());
  window_->makeKeyAndVisible();
  peer_ = std::make_unique<TestPeer>();
  FilePickerPlugin::registerWithRegistrar(peer_->registrar("FilePickerPlugin"));
  ASSERT_EQ(peer_->listen(kPickerEvents).kind, FlutterMethodOutcome::Kind::Success);
}

void FilePickerTest::TearDown() {
  // Whatever is still on screen goes, so no transition is left on the clock.
  if (auto root = window_->rootViewController(); root && root->presentedViewController()) {
    root->dismissViewControllerAnimated(false);
  }
  advance(1);
  peer_.reset();
  window_.reset();
  ScriptedLocations::installed().setContainerRoot("");
  PlatformTest::TearDown();
}

PendingCall FilePickerTest::start(const std::string& method, const Value& arguments) {
  auto out = std::make_shared<std::optional<FlutterMethodOutcome>>();
  peer_->callAsync(kPickerChannel, method, arguments, [this, out](const FlutterMethodOutcome& o) {
    eventsAtReply_ = events();
    *out = o;
  });
  drainMainLoop();
  return out;
}

void FilePickerTest::showPicker() { advance(UIViewController::kTransitionDuration + 0.05); }

FlutterMethodOutcome FilePickerTest::finish(const PendingCall& call) {
  // Transitions started by the answer (dismissals) run on the manual clock.
  for (int i = 0; i < 3; ++i) advance(UIViewController::kTransitionDuration);
  EXPECT_TRUE(RunMainLoopUntil([&] { return call->has_value(); }));
  advance(UIViewController::kTransitionDuration);
  if (!call->has_value()) {
    FlutterMethodOutcome none;
    none.kind = FlutterMethodOutcome::Kind::Malformed;
    none.why = "no reply";
    return none;
  }
  return **call;
}

FlutterMethodOutcome FilePickerTest::pick(const std::string& method, const Value& arguments,
                                          UISystemPickerAnswer answer) {
  auto call = start(method, arguments);
  showPicker();
  EXPECT_TRUE(provider_->answer(std::move(answer))) << method << ": no picker asked";
  return finish(call);
}

std::vector<Value> FilePickerTest::events() {
  std::vector<Value> out;
  for (const auto& e : peer_->events(kPickerEvents)) out.push_back(e.value);
  return out;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

const Value* Field(const Value& map, const char* key) { return map.find(key); }
