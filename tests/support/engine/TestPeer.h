#pragma once

// A Dart-side test peer: an engine of its own, synchronous calls that pump the
// main run loop until the reply arrives (bounded by a real-time timeout), and
// a record of every stream event per channel.

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/flutter/FlutterDartSide.h"
#include "platform/flutter/FlutterEngine.h"

class TestPeer {
 public:
  TestPeer();
  ~TestPeer();

  std::shared_ptr<FlutterEngine> engine() const { return engine_; }
  FlutterPluginRegistrarPtr registrar(const std::string& key) {
    return engine_->registrarForPlugin(key);
  }

  FlutterMethodOutcome call(const std::string& channel, const std::string& method,
                            const Value& arguments = Value(), double timeoutSeconds = 5);
  // The call without waiting: `done` runs on the main thread with the reply.
  void callAsync(const std::string& channel, const std::string& method, const Value& arguments,
                 std::function<void(const FlutterMethodOutcome&)> done);
  FlutterMethodOutcome listen(const std::string& channel, const Value& arguments = Value());
  FlutterMethodOutcome cancel(const std::string& channel, const Value& arguments = Value());
  // Generated-channel request; nullopt when there is no handler or no reply.
  std::optional<Value> message(const std::string& channel, const Value& message,
                               const std::shared_ptr<FlutterMessageCodec>& codec = nullptr,
                               double timeoutSeconds = 5);
  // Raw bytes in, raw reply out (nullopt: no reply in time; empty: empty reply).
  std::optional<Bytes> raw(const std::string& channel, const Bytes& message,
                           double timeoutSeconds = 5);

  const std::vector<FlutterStreamEvent>& events(const std::string& channel);
  void clearEvents();
  // Pumps the main run loop until `channel` has at least `count` events.
  bool waitForEvents(const std::string& channel, size_t count, double timeoutSeconds = 5);
  // Pumps the main run loop until `done` is true or the timeout passes.
  static bool pumpUntil(const std::function<bool()>& done, double timeoutSeconds = 5);

 private:
  std::shared_ptr<FlutterEngine> engine_;
  std::unique_ptr<FlutterDartSide> dart_;
  std::shared_ptr<std::map<std::string, std::vector<FlutterStreamEvent>>> events_;
  std::shared_ptr<std::mutex> mutex_;
};

// Short names for assertions on outcomes.
bool IsSuccess(const FlutterMethodOutcome& o);
bool IsNotImplemented(const FlutterMethodOutcome& o);
bool IsError(const FlutterMethodOutcome& o, const std::string& code);
