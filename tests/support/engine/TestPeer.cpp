#include "TestPeer.h"

#include <chrono>
#include <mutex>

#include "platform/foundation/NSRunLoop.h"

TestPeer::TestPeer()
    : engine_(FlutterEngine::create()),
      dart_(std::make_unique<FlutterDartSide>(engine_)),
      events_(std::make_shared<std::map<std::string, std::vector<FlutterStreamEvent>>>()),
      mutex_(std::make_shared<std::mutex>()) {
  auto events = events_;
  auto mutex = mutex_;
  dart_->setEventHandler([events, mutex](const std::string& channel, const FlutterStreamEvent& e) {
    std::lock_guard<std::mutex> lock(*mutex);
    (*events)[channel].push_back(e);
  });
}

TestPeer::~TestPeer() {
  dart_.reset();
  engine_->destroyContext();
  NSRunLoop::mainRunLoop().runUntilIdle();
}

bool TestPeer::pumpUntil(const std::function<bool()>& done, double timeoutSeconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
  auto& loop = NSRunLoop::mainRunLoop();
  for (;;) {
    loop.runUntilIdle();
    if (done()) return true;
    auto now = std::chrono::steady_clock::now();
    if (now >= deadline) return false;
    loop.runOnce(std::min(0.05, std::chrono::duration<double>(deadline - now).count()));
  }
}

FlutterMethodOutcome TestPeer::call(const std::string& channel, const std::string& method,
                                    const Value& arguments, double timeoutSeconds) {
  auto out = std::make_shared<std::optional<FlutterMethodOutcome>>();
  dart_->invokeMethod(channel, method, arguments,
                      [out](const FlutterMethodOutcome& o) { *out = o; });
  if (!pumpUntil([&] { return out->has_value(); }, timeoutSeconds)) {
    FlutterMethodOutcome timeout;
    timeout.kind = FlutterMethodOutcome::Kind::Malformed;
    timeout.why = "no reply within the timeout";
    return timeout;
  }
  return **out;
}

void TestPeer::callAsync(const std::string& channel, const std::string& method,
                         const Value& arguments,
                         std::function<void(const FlutterMethodOutcome&)> done) {
  dart_->invokeMethod(channel, method, arguments, std::move(done));
}

FlutterMethodOutcome TestPeer::listen(const std::string& channel, const Value& arguments) {
  return call(channel, "listen", arguments);
}

FlutterMethodOutcome TestPeer::cancel(const std::string& channel, const Value& arguments) {
  return call(channel, "cancel", arguments);
}

std::optional<Value> TestPeer::message(const std::string& channel, const Value& message,
                                       const std::shared_ptr<FlutterMessageCodec>& codec,
                                       double timeoutSeconds) {
  auto done = std::make_shared<bool>(false);
  auto out = std::make_shared<std::optional<Value>>();
  dart_->sendMessage(channel, message, codec, [done, out](std::optional<Value> v, std::string) {
    *out = std::move(v);
    *done = true;
  });
  pumpUntil([&] { return *done; }, timeoutSeconds);
  return *out;
}

std::optional<Bytes> TestPeer::raw(const std::string& channel, const Bytes& message,
                                   double timeoutSeconds) {
  auto out = std::make_shared<std::optional<Bytes>>();
  dart_->sendRaw(channel, FlutterMakeMessage(message), [out](FlutterBinaryMessage reply) {
    *out = reply ? *reply : Bytes();
  });
  pumpUntil([&] { return out->has_value(); }, timeoutSeconds);
  return *out;
}

const std::vector<FlutterStreamEvent>& TestPeer::events(const std::string& channel) {
  std::lock_guard<std::mutex> lock(*mutex_);
  return (*events_)[channel];
}

void TestPeer::clearEvents() {
  std::lock_guard<std::mutex> lock(*mutex_);
  events_->clear();
}

bool TestPeer::waitForEvents(const std::string& channel, size_t count, double timeoutSeconds) {
  return pumpUntil(
      [&] {
        std::lock_guard<std::mutex> lock(*mutex_);
        return (*events_)[channel].size() >= count;
      },
      timeoutSeconds);
}

bool IsSuccess(const FlutterMethodOutcome& o) {
  return o.kind == FlutterMethodOutcome::Kind::Success;
}

bool IsNotImplemented(const FlutterMethodOutcome& o) {
  return o.kind == FlutterMethodOutcome::Kind::NotImplemented;
}

bool IsError(const FlutterMethodOutcome& o, const std::string& code) {
  return o.kind == FlutterMethodOutcome::Kind::Error && o.code == code;
}
