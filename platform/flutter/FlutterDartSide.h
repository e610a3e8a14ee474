#pragma once

// The Dart end of the engine for the headless host: it sends method calls,
// stream requests and generated-channel messages as real codec bytes through
// the engine, decodes the replies, and receives what the plugins send back
// (stream events, calls to the Dart side). The JSON driver and the tests both
// talk to the plugins through it. All sends must happen on the main thread.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "FlutterChannels.h"
#include "FlutterEngine.h"

struct FlutterMethodOutcome {
  enum class Kind { Success, Error, NotImplemented, MissingPlugin, Malformed };
  Kind kind = Kind::Success;
  Value result;  // Success
  std::string code;  // Error
  std::optional<std::string> message;
  Value details;
  std::string why;  // Malformed: what could not be decoded
};

struct FlutterStreamEvent {
  enum class Kind { Value, Error, End };
  Kind kind = Kind::Value;
  Value value;
  std::string code;
  std::optional<std::string> message;
  Value details;
};

class FlutterDartSide {
 public:
  using EventHandler = std::function<void(const std::string& channel, const FlutterStreamEvent&)>;

  // Installs itself as the engine's Dart peer.
  explicit FlutterDartSide(std::shared_ptr<FlutterEngine> engine);
  ~FlutterDartSide();

  const std::shared_ptr<FlutterEngine>& engine() const { return engine_; }

  // The arguments are dropped once encoded, before the handler runs, so a
  // large request is not held twice. A value the codec cannot write throws
  // FlutterCodecException before anything is sent.
  void invokeMethod(const std::string& channel, const std::string& method, Value arguments,
                    OnceCallback<void(const FlutterMethodOutcome&)> done);
  void listen(const std::string& channel, Value arguments,
              OnceCallback<void(const FlutterMethodOutcome&)> done);
  void cancel(const std::string& channel, Value arguments,
              OnceCallback<void(const FlutterMethodOutcome&)> done);
  // A generated-channel (basic message) request; the codec is the channel's.
  // The reply is nullopt when the channel has no handler or the reply is empty.
  void sendMessage(const std::string& channel, Value message,
                   const std::shared_ptr<FlutterMessageCodec>& codec,
                   OnceCallback<void(std::optional<Value> reply, std::string error)> done);
  void sendRaw(const std::string& channel, FlutterBinaryMessage message, FlutterBinaryReply reply);

  // Stream events arriving from the platform side; events on channels the Dart
  // side never listened to are still reported.
  void setEventHandler(EventHandler handler);

 private:
  std::shared_ptr<FlutterEngine> engine_;
  std::shared_ptr<FlutterStandardMethodCodec> codec_;
  struct Shared;
  std::shared_ptr<Shared> shared_;
};
