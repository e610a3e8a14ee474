#include "FlutterPigeonSupport.h"

#include <execinfo.h>

#include <cstdlib>
#include <typeinfo>

#include "platform/foundation/NSError.h"

const char* const PigeonInvalidRequestCode = "invalid-request";

std::string PigeonChannelSuffix(const std::string& suffix) {
  return suffix.empty() ? std::string() : "." + suffix;
}

void PigeonSetUpChannel(const std::string& name,
                        const std::shared_ptr<FlutterBinaryMessenger>& messenger,
                        const std::shared_ptr<FlutterMessageCodec>& codec,
                        FlutterMessageHandler handler) {
  FlutterBasicMessageChannel channel(name, messenger, codec);
  channel.setMessageHandler(std::move(handler));
}

// ---------------------------------------------------------------------------
// Malformed custom payloads

std::string PigeonMalformedValue::description() const {
  return "<malformed custom value of type " + std::to_string(type_) + ": " + reason_ + ">";
}

Value PigeonMakeMalformed(uint8_t type, std::string reason) {
  return Value(std::make_shared<PigeonMalformedValue>(type, std::move(reason)));
}

std::string PigeonDescribe(const Value& value) {
  switch (value.type()) {
    case Value::Type::Object: {
      const auto& object = value.asObject();
      if (dynamic_cast<const PigeonMalformedValue*>(object.get())) return object->description();
      return "<" + object->className() + ">";
    }
    case Value::Type::List: {
      std::string out = "[";
      for (const Value& e : value.asList()) {
        if (out.size() > 1) out += ", ";
        out += PigeonDescribe(e);
      }
      return out + "]";
    }
    case Value::Type::Map: {
      std::string out = "{";
      for (const auto& [k, e] : value.asMap()) {
        if (out.size() > 1) out += ", ";
        out += PigeonDescribe(k) + ": " + PigeonDescribe(e);
      }
      return out + "}";
    }
    default:
      return value.description();
  }
}

namespace {

const PigeonMalformedValue* findMalformed(const Value& v) {
  switch (v.type()) {
    case Value::Type::Object:
      return dynamic_cast<const PigeonMalformedValue*>(v.asObject().get());
    case Value::Type::List:
      for (const Value& e : v.asList()) {
        if (auto* m = findMalformed(e)) return m;
      }
      return nullptr;
    case Value::Type::Map:
      for (const auto& [k, e] : v.asMap()) {
        if (auto* m = findMalformed(k)) return m;
        if (auto* m = findMalformed(e)) return m;
      }
      return nullptr;
    default:
      return nullptr;
  }
}

std::string typeName(const Value& v) {
  switch (v.type()) {
    case Value::Type::Null:
      return "null";
    case Value::Type::Bool:
      return "a boolean";
    case Value::Type::Int32:
    case Value::Type::Int64:
      return "an integer";
    case Value::Type::Double:
      return "a double";
    case Value::Type::String:
      return "a string";
    case Value::Type::Bytes:
    case Value::Type::Int32List:
    case Value::Type::Int64List:
    case Value::Type::Float32List:
    case Value::Type::Float64List:
      return "typed data";
    case Value::Type::List:
      return "a list";
    case Value::Type::Map:
      return "a map";
    case Value::Type::Object:
      return PigeonDescribe(v);
  }
  return "an unknown value";
}

}  // namespace

// ---------------------------------------------------------------------------
// Replies

Value PigeonWrapResult(const Value& result) { return Value::list({result}); }

static Value optionalString(const std::optional<std::string>& s) { return s ? Value(*s) : Value(); }

Value PigeonWrapError(const FlutterError& error) {
  return Value::list({Value(error.code()), optionalString(error.message()), error.details()});
}

Value PigeonWrapError(const FlutterPigeonError& error) {
  return Value::list({Value(error.code()), optionalString(error.message()), error.details()});
}

std::string PigeonCallStackSymbols() {
  void* frames[64];
  int count = backtrace(frames, 64);
  char** symbols = backtrace_symbols(frames, count);
  std::string out = "[";
  for (int i = 0; i < count; ++i) {
    if (i > 0) out += ", ";
    out += '"';
    for (const char* p = symbols ? symbols[i] : "?"; *p; ++p) {
      if (*p == '"' || *p == '\\') out += '\\';
      out += *p;
    }
    out += '"';
  }
  out += "]";
  std::free(symbols);
  return out;
}

static Value otherError(const std::string& description, const std::string& type) {
  return Value::list(
      {Value(description), Value(type), Value("Stacktrace: " + PigeonCallStackSymbols())});
}

Value PigeonWrapError(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const FlutterPigeonError& e) {
    return PigeonWrapError(e);
  } catch (const FlutterError& e) {
    return PigeonWrapError(e);
  } catch (const NSObject& e) {
    return otherError(e.description(), e.className());
  } catch (const std::exception& e) {
    return otherError(e.what(), NSObjectTypeName(typeid(e)));
  } catch (...) {
    return otherError("unknown error", "unknown");
  }
}

Value PigeonReplyFor(const std::function<Value()>& operation) {
  try {
    return PigeonWrapResult(operation());
  } catch (...) {
    return PigeonWrapError(std::current_exception());
  }
}

// ---------------------------------------------------------------------------
// Requests

namespace {
const ValueList kNoArguments;
}

PigeonRequest::PigeonRequest(const Value& message, std::string channel, size_t count)
    : list_(message.isList() ? message.asList() : kNoArguments), channel_(std::move(channel)) {
  if (count == 0) return;
  if (!message.isList()) {
    throw PigeonRequestError("The request on " + channel_ + " must be a list of " +
                             std::to_string(count) + " arguments, not " + typeName(message));
  }
  if (list_.size() < count) {
    throw PigeonRequestError("The request on " + channel_ + " needs " + std::to_string(count) +
                             " arguments, got " + std::to_string(list_.size()));
  }
}

const Value& PigeonRequest::element(size_t index) const {
  const Value& v = list_.at(index);
  if (auto* m = findMalformed(v)) fail(index, "malformed (" + m->reason() + ")", v);
  return v;
}

void PigeonRequest::fail(size_t index, const std::string& problem, const Value& found) const {
  throw PigeonRequestError("Argument " + std::to_string(index) + " of " + channel_ + " is " +
                           problem + ": " + typeName(found));
}

const std::string& PigeonRequest::string(size_t index) const {
  const Value& v = element(index);
  if (!v.isString()) fail(index, "not a string", v);
  return v.asString();
}

bool PigeonRequest::boolean(size_t index) const {
  const Value& v = element(index);
  if (!v.isBool()) fail(index, "not a boolean", v);
  return v.asBool();
}

double PigeonRequest::float64(size_t index) const {
  const Value& v = element(index);
  if (v.type() != Value::Type::Double) fail(index, "not a double", v);
  return v.asDouble();
}

const Value& PigeonRequest::value(size_t index) const {
  const Value& v = element(index);
  if (v.isNull()) fail(index, "required", v);
  return v;
}

std::optional<std::vector<std::string>> PigeonRequest::optionalStringList(size_t index) const {
  const Value& v = element(index);
  if (v.isNull()) return std::nullopt;
  if (!v.isList()) fail(index, "not a list of strings", v);
  std::vector<std::string> out;
  out.reserve(v.size());
  for (const Value& e : v.asList()) {
    if (!e.isString()) fail(index, "a list holding something other than strings", e);
    out.push_back(e.asString());
  }
  return out;
}

FlutterMessageHandler PigeonSyncHandler(const std::string& channel, size_t argumentCount,
                                        std::function<Value(const PigeonRequest&)> operation) {
  return [channel, argumentCount, operation](const Value& message, FlutterMessageReply reply) {
    reply(
        PigeonReplyFor([&] { return operation(PigeonRequest(message, channel, argumentCount)); }));
  };
}

// `operation` is copyable: it runs for every message.
FlutterMessageHandler PigeonAsyncHandler(
    const std::string& channel, size_t argumentCount,
    std::function<void(const PigeonRequest&, FlutterMessageReply)> operation) {
  return [channel, argumentCount, operation](const Value& message, FlutterMessageReply reply) {
    // Shared between the operation and the answer to a throw: whichever
    // comes first replies.
    auto shared = SplitOnceCallback(std::move(reply));
    try {
      operation(PigeonRequest(message, channel, argumentCount),
                [shared](const Value& list) { shared(list); });
    } catch (...) {
      if (!shared.isClaimed()) shared(PigeonWrapError(std::current_exception()));
    }
  };
}

// ---------------------------------------------------------------------------
// Deep equality and hashing

// Value's own equality is already deep: null only equals null, maps match key
// by key in any order, doubles are equal or both NaN.
bool PigeonDeepEquals(const Value& a, const Value& b) { return a == b; }

void PigeonHasher::combine(uint64_t value) {
  // FNV-1a over the eight bytes, little end first.
  for (int i = 0; i < 8; ++i) {
    state_ ^= (value >> (8 * i)) & 0xff;
    state_ *= 0x100000001b3ull;
  }
}

void PigeonHasher::combine(const std::string& value) {
  combine(static_cast<uint64_t>(std::hash<std::string>()(value)));
}

size_t PigeonHasher::finalize() const {
  // splitmix64 finaliser, so that nearby inputs spread over the whole range.
  uint64_t z = state_;
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return static_cast<size_t>(z ^ (z >> 31));
}

// Value's hash agrees with its equality: NaNs and zeros hash alike, maps
// independently of their order.
void PigeonDeepHash(const Value& value, PigeonHasher& hasher) {
  hasher.combine(static_cast<uint64_t>(value.hash()));
}
