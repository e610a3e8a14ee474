#include "FilePickerTestSupport.h"

#include <fstream>
#include <iterator>

extern "C" {
#include <libavformat/avformat.h>
}

#include "platform/foundation/NSRunLoop.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIViewController.h"
#include "platform/uikit/UIWindow.h"
#include "support/ScriptedLocations.h"

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
  peer_->callAsync(kPickerChannel, method, arguments,
                   [out](const FlutterMethodOutcome& o) { *out = o; });
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

namespace {

void put32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s += static_cast<char>((v >> (8 * i)) & 0xff);
}
void put16(std::string& s, uint16_t v) {
  s += static_cast<char>(v & 0xff);
  s += static_cast<char>(v >> 8);
}

}  // namespace

bool WriteToneWav(const std::string& path, double seconds,
                  const std::optional<std::string>& title) {
  const uint32_t rate = 22050;
  const uint32_t samples = static_cast<uint32_t>(seconds * rate);
  std::string data;
  for (uint32_t i = 0; i < samples; ++i) {
    put16(data, static_cast<uint16_t>(static_cast<int16_t>(8000 * ((i / 25) % 2 ? 1 : -1))));
  }
  std::string info;
  if (title) {
    std::string text = *title + '\0';
    if (text.size() % 2) text += '\0';
    info = "INFO";
    info += "INAM";
    put32(info, static_cast<uint32_t>(text.size()));
    info += text;
  }
  std::string body = "WAVE";
  body += "fmt ";
  put32(body, 16);
  put16(body, 1);
  put16(body, 1);
  put32(body, rate);
  put32(body, rate * 2);
  put16(body, 2);
  put16(body, 16);
  if (!info.empty()) {
    body += "LIST";
    put32(body, static_cast<uint32_t>(info.size()));
    body += info;
  }
  body += "data";
  put32(body, static_cast<uint32_t>(data.size()));
  body += data;
  std::string file = "RIFF";
  put32(file, static_cast<uint32_t>(body.size()));
  file += body;
  std::ofstream out(path, std::ios::binary);
  out << file;
  return static_cast<bool>(out);
}

std::string AudioCodecOf(const std::string& path) {
  AVFormatContext* in = nullptr;
  if (avformat_open_input(&in, path.c_str(), nullptr, nullptr) < 0) return "";
  std::string name;
  if (avformat_find_stream_info(in, nullptr) >= 0) {
    int s = av_find_best_stream(in, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (s >= 0) name = avcodec_get_name(in->streams[s]->codecpar->codec_id);
  }
  avformat_close_input(&in);
  return name;
}

const Value* Field(const Value& map, const char* key) { return map.find(key); }
