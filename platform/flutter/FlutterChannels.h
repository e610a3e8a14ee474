#pragma once

// Channels over a binary messenger: method channels (call, one reply), event
// channels (listen, a stream of events, cancel) and basic message channels
// (a message, one reply), plus the reply and event-sink callables.

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/flutter/FlutterBinaryMessenger.h"
#include "FlutterCodec.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/OnceCallback.h"
#include "platform/foundation/Value.h"

class FlutterError : public NSObject {
 public:
  FlutterError(std::string code, std::optional<std::string> message, Value details)
      : code_(std::move(code)), message_(std::move(message)), details_(std::move(details)) {}
  static std::shared_ptr<FlutterError> errorWithCode(std::string code,
                                                     std::optional<std::string> message,
                                                     Value details = Value()) {
    return std::make_shared<FlutterError>(std::move(code), std::move(message), std::move(details));
  }
  const std::string& code() const { return code_; }
  const std::optional<std::string>& message() const { return message_; }
  const Value& details() const { return details_; }

  bool isEqual(const NSObject& other) const override;
  size_t hash() const override;
  std::string description() const override;

 private:
  std::string code_;
  std::optional<std::string> message_;
  Value details_;
};

using FlutterErrorPtr = std::shared_ptr<FlutterError>;

struct FlutterMethodNotImplementedType {};
inline constexpr FlutterMethodNotImplementedType FlutterMethodNotImplemented{};

struct FlutterEndOfEventStreamType {};
inline constexpr FlutterEndOfEventStreamType FlutterEndOfEventStream{};

// What a method handler answered.
struct FlutterReply {
  enum class Kind { Success, Error, NotImplemented };
  Kind kind = Kind::Success;
  Value value;
  FlutterErrorPtr error;
};

// Wrappers for typed data, as the engine's typed-data object builds them.
namespace FlutterStandardTypedData {
Value typedDataWithBytes(Bytes data);
Value typedDataWithFloat64(std::vector<double> data);
Value typedDataWithFloat32(std::vector<float> data);
Value typedDataWithInt32(std::vector<int32_t> data);
Value typedDataWithInt64(std::vector<int64_t> data);
}  // namespace FlutterStandardTypedData

// The one-shot reply callback of a method call: move-only and consumed by
// its call. A second call is a bug in the caller, reported as for every
// once-only callback (the checked builds stop). Code
// that may answer from two paths (a timeout and a completion) shares one
// result explicitly, e.g. through a std::shared_ptr<FlutterResult>.
class FlutterResult {
 public:
  using Sink = OnceCallback<void(FlutterReply)>;
  FlutterResult() = default;
  explicit FlutterResult(Sink sink) : sink_(std::move(sink)) {}
  FlutterResult(FlutterResult&&) noexcept = default;
  FlutterResult& operator=(FlutterResult&&) noexcept = default;

  void operator()(Value value);
  void operator()(std::nullptr_t) { (*this)(Value()); }
  void operator()(FlutterErrorPtr error);
  void operator()(FlutterMethodNotImplementedType);
  void reply(FlutterReply reply);
  // False once answered (or when made empty).
  explicit operator bool() const { return static_cast<bool>(sink_); }

 private:
  Sink sink_;
};

using FlutterResultCallback = FlutterResult;

// Sends stream events while a listener is attached.
class FlutterEventSink {
 public:
  using Sink = std::function<void(const Value* value, const FlutterErrorPtr& error)>;
  FlutterEventSink() = default;
  explicit FlutterEventSink(Sink sink) : sink_(std::move(sink)) {}
  void operator()(const Value& value) const;
  void operator()(const FlutterErrorPtr& error) const;
  void operator()(FlutterEndOfEventStreamType) const;
  explicit operator bool() const { return static_cast<bool>(sink_); }

 private:
  Sink sink_;
};

class FlutterStreamHandler {
 public:
  virtual ~FlutterStreamHandler() = default;
  virtual FlutterErrorPtr onListenWithArguments(const Value& arguments,
                                                FlutterEventSink events) = 0;
  virtual FlutterErrorPtr onCancelWithArguments(const Value& arguments) = 0;
};

// What the three kinds of channel share: a name on a binary messenger, and
// the one place where a channel's handler is installed there or removed.
class FlutterChannel {
 public:
  const std::string& name() const { return name_; }

 protected:
  FlutterChannel(std::string name, std::shared_ptr<FlutterBinaryMessenger> messenger);
  ~FlutterChannel() = default;

  const std::shared_ptr<FlutterBinaryMessenger>& messenger() const { return messenger_; }
  // Installs what `wrap(handler)` makes as the channel's handler, run on the
  // main thread (checked, naming `what`); an empty handler removes the
  // channel's handler instead.
  template <class Handler, class Wrap>
  void installHandler(const char* what, Handler handler, Wrap wrap) {
    if (!handler) {
      setBinaryHandler(nullptr);
      return;
    }
    setBinaryHandler(checkedOnMain(what, wrap(std::move(handler))));
  }
  void sendBinary(FlutterBinaryMessage message, FlutterBinaryReply reply);

 private:
  static FlutterBinaryMessageHandler checkedOnMain(const char* what,
                                                   FlutterBinaryMessageHandler handler);
  void setBinaryHandler(FlutterBinaryMessageHandler handler);

  std::string name_;
  std::shared_ptr<FlutterBinaryMessenger> messenger_;
};

// What method and event channels share: the method codec (the standard one
// unless given), and the decoding of an incoming call, where a malformed one
// is answered with a "malformed_message" error.
class FlutterMethodCodecChannel : public FlutterChannel {
 protected:
  FlutterMethodCodecChannel(std::string name, std::shared_ptr<FlutterBinaryMessenger> messenger,
                            std::shared_ptr<FlutterStandardMethodCodec> codec);
  ~FlutterMethodCodecChannel() = default;

  // The call in `message`; nullopt when it is missing (`emptyWhat` says what
  // was expected) or malformed, after logging it and answering `reply`.
  static std::optional<FlutterMethodCall> decodeCall(const FlutterStandardMethodCodec& codec,
                                                     const std::string& channel,
                                                     const FlutterBinaryMessage& message,
                                                     FlutterBinaryReply& reply,
                                                     const char* emptyWhat);

  std::shared_ptr<FlutterStandardMethodCodec> codec_;
};

using FlutterMethodCallHandler = std::function<void(const FlutterMethodCall&, FlutterResult)>;

class FlutterMethodChannel : public FlutterMethodCodecChannel {
 public:
  FlutterMethodChannel(std::string name, std::shared_ptr<FlutterBinaryMessenger> messenger,
                       std::shared_ptr<FlutterStandardMethodCodec> codec);
  static std::shared_ptr<FlutterMethodChannel> methodChannelWithName(
      std::string name, std::shared_ptr<FlutterBinaryMessenger> messenger,
      std::shared_ptr<FlutterStandardMethodCodec> codec = nullptr);

  // An empty handler removes the channel's handler.
  void setMethodCallHandler(FlutterMethodCallHandler handler);
  // Calls a method on the Dart side; the callback gets the decoded reply, or
  // nothing when the Dart side has no handler.
  void invokeMethod(const std::string& method, const Value& arguments,
                    OnceCallback<void(std::optional<FlutterReply>)> callback = nullptr);
};

class FlutterEventChannel : public FlutterMethodCodecChannel {
 public:
  FlutterEventChannel(std::string name, std::shared_ptr<FlutterBinaryMessenger> messenger,
                      std::shared_ptr<FlutterStandardMethodCodec> codec);
  static std::shared_ptr<FlutterEventChannel> eventChannelWithName(
      std::string name, std::shared_ptr<FlutterBinaryMessenger> messenger,
      std::shared_ptr<FlutterStandardMethodCodec> codec = nullptr);

  // The channel keeps the handler; nullptr removes it.
  void setStreamHandler(std::shared_ptr<FlutterStreamHandler> handler);
};

// The reply to a basic message: consumed by its call, like FlutterResult.
using FlutterMessageReply = OnceCallback<void(const Value&)>;
using FlutterMessageHandler = std::function<void(const Value& message, FlutterMessageReply reply)>;

class FlutterBasicMessageChannel : public FlutterChannel {
 public:
  FlutterBasicMessageChannel(std::string name, std::shared_ptr<FlutterBinaryMessenger> messenger,
                             std::shared_ptr<FlutterMessageCodec> codec);
  static std::shared_ptr<FlutterBasicMessageChannel> messageChannelWithName(
      std::string name, std::shared_ptr<FlutterBinaryMessenger> messenger,
      std::shared_ptr<FlutterMessageCodec> codec = nullptr);

  const std::shared_ptr<FlutterMessageCodec>& codec() const { return codec_; }
  // An empty handler removes the channel's handler. A message that does not
  // decode is answered with the empty reply and logged.
  void setMessageHandler(FlutterMessageHandler handler);
  void sendMessage(const Value& message, OnceCallback<void(const Value&)> callback = nullptr);

 private:
  std::shared_ptr<FlutterMessageCodec> codec_;
};
