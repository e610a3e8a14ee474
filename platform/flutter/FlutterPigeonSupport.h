#pragma once

// The mechanism shared by the generated message channels: channel names with
// their suffix, channel setup, reading a request by position, the reply lists
// for a result and for the three kinds of error, the marker a codec reader
// leaves for a custom payload of the wrong shape, and the deep equality and
// hashing of record fields. Each API keeps its own codec and message types;
// only what is the same for all of them lives here.

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/flutter/FlutterBinaryMessenger.h"
#include "FlutterChannels.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/Value.h"

// "" for the empty suffix, else "." + suffix.
std::string PigeonChannelSuffix(const std::string& suffix);

// Creates the channel `name` on the messenger with the API's codec and installs
// `handler`; an empty handler removes whatever an earlier setup installed.
void PigeonSetUpChannel(const std::string& name,
                        const std::shared_ptr<FlutterBinaryMessenger>& messenger,
                        const std::shared_ptr<FlutterMessageCodec>& codec,
                        FlutterMessageHandler handler);

// The typed error an API operation may fail with; each API's own PigeonError
// derives from it, so that one reply builder serves them all.
class FlutterPigeonError : public std::exception {
 public:
  FlutterPigeonError(std::string code, std::optional<std::string> message, Value details)
      : code_(std::move(code)), message_(std::move(message)), details_(std::move(details)) {}
  const std::string& code() const { return code_; }
  const std::optional<std::string>& message() const { return message_; }
  const Value& details() const { return details_; }
  const char* what() const noexcept override { return code_.c_str(); }

 private:
  std::string code_;
  std::optional<std::string> message_;
  Value details_;
};

// Code of the error reply to a request that does not match the operation's
// declared arguments.
extern const char* const PigeonInvalidRequestCode;

// A request that does not match the operation's declared arguments. It
// becomes an ordinary three-element error reply.
class PigeonRequestError : public FlutterPigeonError {
 public:
  explicit PigeonRequestError(const std::string& message)
      : FlutterPigeonError(PigeonInvalidRequestCode, message, Value()) {}
};

// What a codec reader yields for a custom type whose payload has the wrong
// shape: decoding goes on, and the handler that meets it answers with an error
// naming the problem instead of the engine dropping the whole message.
class PigeonMalformedValue : public NSObject {
 public:
  PigeonMalformedValue(uint8_t type, std::string reason)
      : type_(type), reason_(std::move(reason)) {}
  uint8_t type() const { return type_; }
  const std::string& reason() const { return reason_; }
  std::string description() const override;

 private:
  uint8_t type_;
  std::string reason_;
};

Value PigeonMakeMalformed(uint8_t type, std::string reason);

// A value as error messages show it: like Value::description, but a custom
// object by its class name rather than its address, so that the same request
// gets the same message on every run.
std::string PigeonDescribe(const Value& value);

// [result]; a void operation passes the null value.
Value PigeonWrapResult(const Value& result);
// [code, message, details], absent parts as the null value.
Value PigeonWrapError(const FlutterError& error);
Value PigeonWrapError(const FlutterPigeonError& error);
// Any error: a FlutterPigeonError or FlutterError (thrown by value) as above;
// anything else as [description, type name, "Stacktrace: " + call stack].
Value PigeonWrapError(std::exception_ptr error);
// The current thread's call-stack symbols as ["frame", "frame", ...].
std::string PigeonCallStackSymbols();

// Runs a synchronous operation and answers its reply list: [result] on
// success, the error list for whatever it threw.
Value PigeonReplyFor(const std::function<Value()>& operation);

// What an operation that completes later hands to its completion.
template <class T>
class PigeonResult {
 public:
  static PigeonResult success(T value) { return PigeonResult(std::move(value), nullptr); }
  static PigeonResult failure(std::exception_ptr error) { return PigeonResult(T(), error); }
  bool isSuccess() const { return !error_; }
  const T& value() const { return value_; }
  std::exception_ptr error() const { return error_; }

 private:
  PigeonResult(T value, std::exception_ptr error) : value_(std::move(value)), error_(error) {}
  T value_;
  std::exception_ptr error_;
};

// Reads the arguments of one request by position. Every accessor throws
// PigeonRequestError when the element is missing or of another type.
class PigeonRequest {
 public:
  // The message must be a list of at least `count` elements; with no
  // arguments expected it may be anything.
  PigeonRequest(const Value& message, std::string channel, size_t count);

  const std::string& string(size_t index) const;
  bool boolean(size_t index) const;
  double float64(size_t index) const;
  // Any value but null, and no malformed custom payload anywhere inside it.
  const Value& value(size_t index) const;
  // Null reads as absent; otherwise a list of strings.
  std::optional<std::vector<std::string>> optionalStringList(size_t index) const;
  // A custom value of type T, or nullptr for null when `optional`.
  template <class T>
  std::shared_ptr<T> object(size_t index, bool optional) const {
    const Value& v = element(index);
    if (v.isNull() && optional) return nullptr;
    auto object = v.objectAs<T>();
    if (!object) fail(index, "of another type", v);
    return object;
  }

  const Value& element(size_t index) const;
  [[noreturn]] void fail(size_t index, const std::string& problem, const Value& found) const;

 private:
  const ValueList& list_;
  std::string channel_;
};

// The handler of an operation that replies before returning: reads the
// request (`argumentCount` elements; an operation without arguments ignores
// the message) and replies with what `operation` returns or throws.
FlutterMessageHandler PigeonSyncHandler(const std::string& channel, size_t argumentCount,
                                        std::function<Value(const PigeonRequest&)> operation);
// The handler of an operation that replies later: `operation` gets the request
// and the reply, which takes the whole reply list (PigeonWrapResult or
// PigeonWrapError). A request that cannot be read, or an operation that
// throws before replying, is answered with the error list at once.
FlutterMessageHandler PigeonAsyncHandler(
    const std::string& channel, size_t argumentCount,
    std::function<void(const PigeonRequest&, FlutterMessageReply)> operation);

// Deep equality of record fields, which is Value's own equality: null is
// absent, lists element by element, maps key by key (whatever their order),
// doubles equal or both NaN.
bool PigeonDeepEquals(const Value& a, const Value& b);

// Feeds integers into one running hash, as a record's hash function does.
class PigeonHasher {
 public:
  void combine(uint64_t value);
  void combine(const std::string& value);
  size_t finalize() const;

 private:
  uint64_t state_ = 0xcbf29ce484222325ull;
};

// Deep hash of a record field: Value's own hash, which agrees with
// PigeonDeepEquals (absent adds 0; maps one order-independent sum).
void PigeonDeepHash(const Value& value, PigeonHasher& hasher);
