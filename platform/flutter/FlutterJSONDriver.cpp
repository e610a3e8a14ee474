#include "FlutterJSONDriver.h"

#include <malloc.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <istream>
#include <type_traits>
#include <utility>

#include "internal/FlutterDriverScreen.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSClassRegistry.h"
#include "platform/foundation/NSData.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/NSThread.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/foundation/WeakSelf.h"

bool FlutterDriverCustomValue::isEqual(const NSObject& other) const {
  auto* o = dynamic_cast<const FlutterDriverCustomValue*>(&other);
  return o && o->type_ == type_ && o->payload_ == payload_;
}

namespace {

// Writes FlutterDriverCustomValue as its type byte and payload, and reads any
// type byte from 129 up back into one, so the driver can carry every
// generated channel's custom types without knowing them.
class CustomWriter : public FlutterStandardWriter {
 public:
  using FlutterStandardWriter::FlutterStandardWriter;
  void writeValue(const Value& value) override {
    if (auto custom = value.objectAs<FlutterDriverCustomValue>()) {
      writeByte(custom->type());
      writeValue(custom->payload());
      return;
    }
    FlutterStandardWriter::writeValue(value);
  }
};

class CustomReader : public FlutterStandardReader {
 public:
  using FlutterStandardReader::FlutterStandardReader;
  Value readValueOfType(uint8_t type) override {
    if (type >= 129) {
      return Value(std::make_shared<FlutterDriverCustomValue>(type, readValue()));
    }
    return FlutterStandardReader::readValueOfType(type);
  }
};

class CustomReaderWriter : public FlutterStandardReaderWriter {
 public:
  std::unique_ptr<FlutterStandardWriter> writerWithData(Bytes& data) const override {
    return std::make_unique<CustomWriter>(data);
  }
  std::unique_ptr<FlutterStandardReader> readerWithData(const uint8_t* data,
                                                        size_t length) const override {
    return std::make_unique<CustomReader>(data, length);
  }
};

// The elements of a typed-list tag: integers for int64_t, any numbers for double.
template <class T>
bool elementsOf(const Value& json, const std::string& tag, std::vector<T>& out,
                std::string* error) {
  constexpr bool integers = std::is_integral_v<T>;
  auto fits = [](const Value& v) { return integers ? v.isInteger() : v.isNumber(); };
  if (!json.isList() || !std::all_of(json.asList().begin(), json.asList().end(), fits)) {
    if (error) {
      *error = tag + (integers ? " needs an array of integers" : " needs an array of numbers");
    }
    return false;
  }
  out.clear();
  for (const Value& v : json.asList()) {
    if constexpr (integers) {
      out.push_back(v.asInt64());
    } else {
      out.push_back(v.asDouble());
    }
  }
  return true;
}

std::optional<Value> taggedToValue(const std::string& tag, const Value& body, const Value& whole,
                                   std::string* error) {
  auto fail = [&](const std::string& why) -> std::optional<Value> {
    if (error) *error = why;
    return std::nullopt;
  };
  if (tag == "$double") {
    if (body.isNumber()) return Value(body.asDouble());
    if (body.isString()) {
      const std::string& s = body.asString();
      if (s == "NaN") return Value(std::nan(""));
      if (s == "Infinity") return Value(HUGE_VAL);
      if (s == "-Infinity") return Value(-HUGE_VAL);
    }
    return fail("$double needs a number, \"NaN\", \"Infinity\" or \"-Infinity\"");
  }
  if (tag == "$int64") {
    if (!body.isInteger()) return fail("$int64 needs an integer");
    return Value(body.asInt64());
  }
  if (tag == "$bytes") {
    if (!body.isString()) return fail("$bytes needs a base64 string");
    auto bytes = Base64Decode(body.asString());
    if (!bytes) return fail("$bytes is not valid base64");
    return Value::bytes(std::move(*bytes));
  }
  if (tag == "$int32list" || tag == "$int64list") {
    std::vector<int64_t> v;
    if (!elementsOf(body, tag, v, error)) return std::nullopt;
    if (tag == "$int64list") return Value::int64List(std::move(v));
    std::vector<int32_t> w;
    for (int64_t x : v) {
      if (x < INT32_MIN || x > INT32_MAX) return fail("$int32list element out of range");
      w.push_back(static_cast<int32_t>(x));
    }
    return Value::int32List(std::move(w));
  }
  if (tag == "$float32list" || tag == "$float64list") {
    std::vector<double> v;
    if (!elementsOf(body, tag, v, error)) return std::nullopt;
    if (tag == "$float64list") return Value::float64List(std::move(v));
    return Value::float32List(std::vector<float>(v.begin(), v.end()));
  }
  if (tag == "$map") {
    if (!body.isList()) return fail("$map needs an array of [key, value] pairs");
    ValueMap m;
    for (const Value& pair : body.asList()) {
      if (!pair.isList() || pair.size() != 2) return fail("$map needs an array of [key, value] pairs");
      auto k = FlutterDriverJSON::toValue(pair.asList()[0], error);
      if (!k) return std::nullopt;
      auto v = FlutterDriverJSON::toValue(pair.asList()[1], error);
      if (!v) return std::nullopt;
      m.emplace_back(std::move(*k), std::move(*v));
    }
    return Value(std::move(m));
  }
  if (tag == "$custom") {
    if (!body.isInteger() || body.asInt64() < 129 || body.asInt64() > 255) {
      return fail("$custom needs a type byte from 129 to 255");
    }
    const Value* payload = whole.find("value");
    auto v = FlutterDriverJSON::toValue(payload ? *payload : Value(), error);
    if (!v) return std::nullopt;
    return Value(std::make_shared<FlutterDriverCustomValue>(static_cast<uint8_t>(body.asInt64()),
                                                            std::move(*v)));
  }
  return fail("unknown tag " + tag);
}

}  // namespace

namespace {

// Converts without copying: a list or map in which nothing is tagged comes
// back as the very same shared value, so a large plain request is not held
// twice. `changed` tells the caller whether it got a new value.
std::optional<Value> convert(const Value& json, std::string* error, bool& changed) {
  changed = false;
  if (json.isList()) {
    const ValueList& in = json.asList();
    std::optional<ValueList> out;
    for (size_t i = 0; i < in.size(); ++i) {
      bool elementChanged = false;
      auto v = convert(in[i], error, elementChanged);
      if (!v) return std::nullopt;
      if (elementChanged && !out) {
        out.emplace();
        out->reserve(in.size());
        out->assign(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(i));
      }
      if (out) out->push_back(std::move(*v));
    }
    if (!out) return json;
    changed = true;
    return Value(std::move(*out));
  }
  if (json.isMap()) {
    const ValueMap& m = json.asMap();
    if (!m.empty() && m.front().first.isString() && !m.front().first.asString().empty() &&
        m.front().first.asString()[0] == '$') {
      changed = true;
      return taggedToValue(m.front().first.asString(), m.front().second, json, error);
    }
    std::optional<ValueMap> out;
    for (size_t i = 0; i < m.size(); ++i) {
      bool elementChanged = false;
      auto v = convert(m[i].second, error, elementChanged);
      if (!v) return std::nullopt;
      if (elementChanged && !out) {
        out.emplace();
        out->reserve(m.size());
        out->assign(m.begin(), m.begin() + static_cast<std::ptrdiff_t>(i));
      }
      if (out) out->emplace_back(m[i].first, std::move(*v));
    }
    if (!out) return json;
    changed = true;
    return Value(std::move(*out));
  }
  return json;
}

}  // namespace

namespace {

// Writes a channel value as the driver's JSON text, straight into the line:
// no JSON value is built for it and bytes go out as base64 slice by slice, so
// a large reply is held as text no more than a piece at a time.
class ChannelText {
 public:
  ChannelText(std::string& out, size_t pieceBytes, const std::function<void(std::string&)>& spill)
      : out_(out), pieceBytes_(std::max<size_t>(pieceBytes, 4)), spill_(spill) {}

  void write(const Value& value) {
    switch (value.type()) {
      case Value::Type::Null:
        out_ += "null";
        return;
      case Value::Type::Bool:
        out_ += value.asBool() ? "true" : "false";
        return;
      case Value::Type::Int32:
      case Value::Type::Int64:
        integer(value.asInt64());
        return;
      case Value::Type::Double:
        number(value.asDouble());
        return;
      case Value::Type::String:
        string(value.asString());
        return;
      case Value::Type::Bytes:
        bytes(value.asBytes());
        return;
      case Value::Type::Int32List:
        numbers("$int32list", value.asInt32List());
        return;
      case Value::Type::Int64List:
        numbers("$int64list", value.asInt64List());
        return;
      case Value::Type::Float32List:
        numbers("$float32list", value.asFloat32List());
        return;
      case Value::Type::Float64List:
        numbers("$float64list", value.asFloat64List());
        return;
      case Value::Type::List:
        list(value.asList());
        return;
      case Value::Type::Map:
        map(value.asMap());
        return;
      case Value::Type::Object:
        if (auto custom = value.objectAs<FlutterDriverCustomValue>()) {
          out_ += "{\"$custom\":";
          integer(custom->type());
          out_ += ",\"value\":";
          write(custom->payload());
          out_ += '}';
          return;
        }
        string(value.description());
        return;
    }
  }

 private:
  void spillIfFull() {
    if (out_.size() >= pieceBytes_ && spill_) spill_(out_);
  }

  void integer(int64_t i) {
    char buf[24];
    const auto end = std::to_chars(buf, buf + sizeof buf, i).ptr;
    out_.append(buf, end);
  }

  // JSON has no text for the doubles that are not finite: they are tagged.
  void number(double d) {
    if (std::isnan(d)) {
      out_ += "{\"$double\":\"NaN\"}";
    } else if (std::isinf(d)) {
      out_ += d > 0 ? "{\"$double\":\"Infinity\"}" : "{\"$double\":\"-Infinity\"}";
    } else {
      NSJSONSerialization::appendNumber(out_, d);
    }
  }

  // Escaped a piece at a time, each cut made before a byte that starts a
  // character (or is no part of one), so the text is as if escaped whole.
  void string(std::string_view s) {
    out_ += '"';
    while (s.size() > pieceBytes_) {
      size_t cut = pieceBytes_;
      while (cut > 0 && (static_cast<unsigned char>(s[cut]) & 0xC0) == 0x80) --cut;
      if (cut == 0) cut = pieceBytes_;  // not text at all: any cut will do
      NSJSONSerialization::appendEscaped(out_, s.substr(0, cut));
      s.remove_prefix(cut);
      spillIfFull();
    }
    NSJSONSerialization::appendEscaped(out_, s);
    out_ += '"';
  }

  // Slices of whole three-byte groups encode to the text of the whole.
  void bytes(const Bytes& b) {
    out_ += "{\"$bytes\":\"";
    const size_t slice = pieceBytes_ / 4 * 3;
    for (size_t at = 0; at < b.size(); at += slice) {
      out_ += Base64Encode(b.data() + at, std::min(slice, b.size() - at));
      spillIfFull();
    }
    out_ += "\"}";
  }

  template <class T>
  void numbers(const char* tag, const std::vector<T>& v) {
    out_ += "{\"";
    out_ += tag;
    out_ += "\":[";
    for (size_t i = 0; i < v.size(); ++i) {
      if (i) out_ += ',';
      if constexpr (std::is_floating_point_v<T>) {
        number(static_cast<double>(v[i]));
      } else {
        integer(v[i]);
      }
      spillIfFull();
    }
    out_ += "]}";
  }

  void list(const ValueList& l) {
    out_ += '[';
    for (size_t i = 0; i < l.size(); ++i) {
      if (i) out_ += ',';
      write(l[i]);
      spillIfFull();
    }
    out_ += ']';
  }

  // String keys make an object; a map with any other key, or with a key
  // that could be taken for a tag, goes out as $map pairs.
  void map(const ValueMap& m) {
    const bool plain = std::all_of(m.begin(), m.end(), [](const auto& entry) {
      const Value& k = entry.first;
      return k.isString() && (k.asString().empty() || k.asString()[0] != '$');
    });
    out_ += plain ? "{" : "{\"$map\":[";
    for (size_t i = 0; i < m.size(); ++i) {
      if (i) out_ += ',';
      if (plain) {
        string(m[i].first.asString());
        out_ += ':';
      } else {
        out_ += '[';
        write(m[i].first);
        out_ += ',';
      }
      write(m[i].second);
      if (!plain) out_ += ']';
      spillIfFull();
    }
    out_ += plain ? "}" : "]}";
  }

  std::string& out_;
  const size_t pieceBytes_;
  const std::function<void(std::string&)>& spill_;
};

}  // namespace

namespace FlutterDriverJSON {

std::optional<Value> toValue(const Value& json, std::string* error) {
  bool changed = false;
  return convert(json, error, changed);
}

void appendText(const Value& value, std::string& out, size_t pieceBytes,
                const std::function<void(std::string&)>& spill) {
  ChannelText(out, pieceBytes, spill).write(value);
}

}  // namespace FlutterDriverJSON

FlutterJSONDriver::FlutterJSONDriver(std::shared_ptr<FlutterEngine> engine, PieceWriter write)
    : engine_(std::move(engine)),
      dart_(std::make_unique<FlutterDartSide>(engine_)),
      customCodec_(FlutterStandardMessageCodec::codecWithReaderWriter(
          std::make_shared<CustomReaderWriter>())),
      write_(std::move(write)) {
  // dart_ is the driver's own: no event reaches a driver that is gone.
  dart_->setEventHandler([this](const std::string& channel, const FlutterStreamEvent& e) {
    ValueMap out;
    out.emplace_back(Value("event"), Value(channel));
    switch (e.kind) {
      case FlutterStreamEvent::Kind::Value:
        out.emplace_back(Value("value"), e.value);
        break;
      case FlutterStreamEvent::Kind::Error:
        out.emplace_back(Value("error"),
                         Value::map({{"code", Value(e.code)},
                                     {"message", e.message ? Value(*e.message) : Value()},
                                     {"details", e.details}}));
        break;
      case FlutterStreamEvent::Kind::End:
        out.emplace_back(Value("end"), Value(true));
        break;
    }
    writeEvent(Value(std::move(out)));
  });
}

std::shared_ptr<FlutterJSONDriver> FlutterJSONDriver::create(std::shared_ptr<FlutterEngine> engine,
                                                             PieceWriter write) {
  return std::shared_ptr<FlutterJSONDriver>(
      new FlutterJSONDriver(std::move(engine), std::move(write)));
}

std::shared_ptr<FlutterJSONDriver> FlutterJSONDriver::create(std::shared_ptr<FlutterEngine> engine,
                                                             LineWriter write) {
  // Gathered under the driver's write lock, which keeps a line's pieces together.
  auto line = std::make_shared<std::string>();
  return create(std::move(engine), PieceWriter([write = std::move(write), line](
                                                   std::string_view piece, bool lineEnds) {
                  line->append(piece);
                  if (!lineEnds) return;
                  const std::string whole = std::exchange(*line, std::string());
                  write(whole);
                }));
}

FlutterJSONDriver::~FlutterJSONDriver() = default;

// One output line on its way out: the write lock is held from its first piece
// to its last, so a line from another thread never comes between, and what
// has gathered goes to the writer whenever it makes a piece.
class FlutterJSONDriver::Line {
 public:
  explicit Line(FlutterJSONDriver& driver) : write_(driver.write_), lock_(driver.writeMutex_) {
    ++driver.linesWritten_;
    spill_ = [this](std::string& text) {
      write_(text, false);
      text.clear();
    };
  }
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;

  Line& operator<<(std::string_view text) {
    text_ += text;
    return *this;
  }
  // A channel value in the driver's JSON form, handed on piece by piece.
  void channelValue(const Value& value) {
    FlutterDriverJSON::appendText(value, text_, kPieceBytes, spill_);
  }
  void end() { write_(text_, true); }

 private:
  const PieceWriter& write_;
  MutexLock lock_;
  std::string text_;
  std::function<void(std::string&)> spill_;
};

void FlutterJSONDriver::writeEvent(const Value& event) {
  Line line(*this);
  line.channelValue(event);
  line.end();
}

void FlutterJSONDriver::reply(const std::string& idText, const std::string& key, const Value& value,
                              Form form) {
  std::optional<std::string> text;
  std::string error;
  if (form == Form::JSON) text = NSJSONSerialization::dataWithJSONObject(value, false, &error);
  Line line(*this);
  line << "{\"id\":" << idText << ",";
  if (form == Form::Channel) {
    line << NSJSONSerialization::quoteString(key) << ":";
    line.channelValue(value);
  } else if (text) {
    line << NSJSONSerialization::quoteString(key) << ":" << *text;
  } else {
    line << "\"badReply\":" << NSJSONSerialization::quoteString(error);
  }
  line << "}";
  line.end();
}

// One request's reply state: whichever comes first, the plugin's reply or a
// failure while sending, answers; the other is dropped.
struct FlutterJSONDriver::RequestState {
  std::string idText;
  std::atomic<bool> answered{false};
  bool counted = false;  // counted in pending_
};

namespace {

// Lines at least this long may leave large freed blocks behind; they are
// given back to the system once the line is handled.
constexpr size_t kTrimAfterBytes = size_t{1} << 20;

}  // namespace

void FlutterJSONDriver::handleLine(const std::string& line) {
  if (line.find_first_not_of(" \t\r") == std::string::npos) return;
  if (line.size() > kMaxLineBytes) {
    reply("null", "badRequest",
          Value("line longer than " + std::to_string(kMaxLineBytes) + " bytes"));
    return;
  }
  auto state = std::make_shared<RequestState>();
  {
    std::string error;
    std::string_view idText;
    auto json = NSJSONSerialization::JSONObjectWithData(line, "id", &idText, &error);
    state->idText = idText.empty() ? "null" : std::string(idText);
    if (!json) {
      reply("null", "badRequest", Value("not JSON: " + error));
      return;
    }
    auto fail = [&](const std::string& why) {
      if (state->answered.exchange(true)) {
        std::fprintf(stderr, "host: request %s failed after its reply: %s\n",
                     state->idText.c_str(), why.c_str());
        return;
      }
      if (state->counted) --pending_;
      reply(state->idText, "badRequest", Value(why));
      finishIfDone();
    };
    try {
      dispatchRequest(std::move(*json), state);
    } catch (const FlutterCodecException& e) {
      fail(std::string("cannot be sent on the channel: ") + e.what());
    } catch (const std::exception& e) {
      fail(std::string("failed: ") + e.what());
    } catch (...) {
      fail("failed");
    }
  }
  if (line.size() >= kTrimAfterBytes) ::malloc_trim(0);
}

FlutterJSONDriver::Answer FlutterJSONDriver::answerOnce(
    const std::shared_ptr<RequestState>& state) {
  return WeakBind(weak_from_this(), [state](FlutterJSONDriver& self, const std::string& key,
                                            const Value& value, Form form) {
    if (state->answered.exchange(true)) return;
    self.reply(state->idText, key, value, form);
    if (state->counted) --self.pending_;
    self.finishIfDone();
  });
}

void FlutterJSONDriver::countPending(RequestState& state) {
  state.counted = true;
  ++pending_;
}

std::optional<Value> FlutterJSONDriver::takeArgument(Value& request, const char* key,
                                                     const std::string& idText) {
  std::string error;
  const Value* raw = request.find(key);
  auto v = FlutterDriverJSON::toValue(raw ? *raw : Value(), &error);
  if (!v) {
    reply(idText, "badRequest", Value(error));
    return std::nullopt;
  }
  // The request's own text goes before the call, so only the converted
  // arguments are alive while the plugin works.
  request = Value();
  return v;
}

void FlutterJSONDriver::answerOutcome(const Answer& answer, const FlutterMethodOutcome& o) {
  constexpr auto kChannel = Form::Channel;
  switch (o.kind) {
    case FlutterMethodOutcome::Kind::Success:
      answer("result", o.result, kChannel);
      break;
    case FlutterMethodOutcome::Kind::Error:
      answer("error",
             Value::map({{"code", Value(o.code)},
                         {"message", o.message ? Value(*o.message) : Value()},
                         {"details", o.details}}),
             kChannel);
      break;
    case FlutterMethodOutcome::Kind::NotImplemented:
      answer("notImplemented", Value(true), kChannel);
      break;
    case FlutterMethodOutcome::Kind::MissingPlugin:
      answer("missingPlugin", Value(true), kChannel);
      break;
    case FlutterMethodOutcome::Kind::Malformed:
      answer("badReply", Value(o.why), kChannel);
      break;
  }
}

void FlutterJSONDriver::dispatchRequest(Value request, const std::shared_ptr<RequestState>& state) {
  if (request.isMap() && !request.find("channel") && dispatchScreenRequest(request, state)) return;
  const Value* channel = request.find("channel");
  if (!request.isMap() || !channel || !channel->isString()) {
    reply(state->idText, "badRequest", Value("a request needs a \"channel\" string"));
    return;
  }
  const std::string name = channel->asString();
  if (request.find("method")) {
    dispatchMethodCall(name, std::move(request), state);
    return;
  }
  for (const char* verb : {"listen", "cancel"}) {
    if (request.find(verb)) {
      dispatchStreamRequest(name, verb, std::move(request), state);
      return;
    }
  }
  if (request.find("message")) {
    dispatchMessage(name, std::move(request), state);
    return;
  }
  reply(state->idText, "badRequest",
        Value("a request needs \"method\", \"listen\", \"cancel\" or \"message\""));
}

void FlutterJSONDriver::dispatchMethodCall(const std::string& channel, Value request,
                                           const std::shared_ptr<RequestState>& state) {
  const Value* method = request.find("method");
  if (!method->isString()) {
    reply(state->idText, "badRequest", Value("\"method\" must be a string"));
    return;
  }
  const std::string methodName = method->asString();
  auto args = takeArgument(request, "args", state->idText);
  if (!args) return;
  countPending(*state);
  dart_->invokeMethod(
      channel, methodName, std::move(*args),
      [answer = answerOnce(state)](const FlutterMethodOutcome& o) { answerOutcome(answer, o); });
}

void FlutterJSONDriver::dispatchStreamRequest(const std::string& channel, const char* verb,
                                              Value request,
                                              const std::shared_ptr<RequestState>& state) {
  auto args = takeArgument(request, verb, state->idText);
  if (!args) return;
  countPending(*state);
  auto onOutcome = [answer = answerOnce(state)](const FlutterMethodOutcome& o) {
    answerOutcome(answer, o);
  };
  if (std::string(verb) == "listen") {
    dart_->listen(channel, std::move(*args), onOutcome);
  } else {
    dart_->cancel(channel, std::move(*args), onOutcome);
  }
}

void FlutterJSONDriver::dispatchMessage(const std::string& channel, Value request,
                                        const std::shared_ptr<RequestState>& state) {
  auto message = takeArgument(request, "message", state->idText);
  if (!message) return;
  if (!engine_->hasHandler(channel)) {
    reply(state->idText, "missingPlugin", Value(true));
    return;
  }
  countPending(*state);
  dart_->sendMessage(channel, std::move(*message), customCodec_,
                     [answer = answerOnce(state)](std::optional<Value> r, std::string why) {
                       if (r) {
                         answer("reply", *r, Form::Channel);
                       } else if (!why.empty()) {
                         answer("badReply", Value(why), Form::Channel);
                       } else {
                         // The handler answered with the empty reply.
                         answer("reply", Value(), Form::Channel);
                       }
                     });
}

bool FlutterJSONDriver::dispatchScreenRequest(const Value& request,
                                              const std::shared_ptr<RequestState>& state) {
  if (!request.find("snapshot") && !request.find("viewTree") && !request.find("touch") &&
      !request.find("idle")) {
    return false;
  }
  countPending(*state);
  screenRequests_.push_back({request, state});
  startNextScreenRequest();
  return true;
}

// A screen request looks at or touches what the ones before it left: a view
// tree asked for after a touch shows the screen once the finger is up.
void FlutterJSONDriver::startNextScreenRequest() {
  if (screenRequestRunning_ || screenRequests_.empty()) return;
  screenRequestRunning_ = true;
  ScreenRequest next = std::move(screenRequests_.front());
  screenRequests_.pop_front();
  const uint64_t failedLookups = NSClassRegistry::lookupFailures().count;
  auto answer = answerOnce(next.state);
  auto finished = std::make_shared<bool>(false);
  auto finish = [weak = weak_from_this(), answer, failedLookups, finished](const std::string& key,
                                                                           const Value& json) {
    if (std::exchange(*finished, true)) return;
    // What the request made happen needed a class the host does not have:
    // the screen it would have shown is not there, and the request says so.
    const auto failures = NSClassRegistry::lookupFailures();
    if (key == "result" && failures.count != failedLookups) {
      answer("error",
             Value::map({{"code", Value("class_not_found")},
                         {"message", Value("No class registered under " + failures.lastName)},
                         {"details", Value()}}),
             Form::JSON);
    } else {
      answer(key, json, Form::JSON);
    }
    auto self = weak.lock();
    if (!self) return;
    self->screenRequestRunning_ = false;
    NSRunLoop::mainRunLoop().perform(
        WeakBind(weak, [](FlutterJSONDriver& driver) { driver.startNextScreenRequest(); }));
  };
  const Value& request = next.request;
  try {
    if (const Value* snapshot = request.find("snapshot")) {
      FlutterDriverScreen::snapshot(*snapshot, finish);
    } else if (request.find("viewTree")) {
      FlutterDriverScreen::viewTree(finish);
    } else if (const Value* touch = request.find("touch")) {
      FlutterDriverScreen::touch(*touch, finish);
    } else {
      FlutterDriverScreen::idle(finish);
    }
  } catch (const std::exception& e) {
    finish("badRequest", Value(std::string("failed: ") + e.what()));
  }
}

void FlutterJSONDriver::finishIfDone() {
  if (!inputEnded_ || pending_.load() > 0 || !finished_ || settling_) return;
  // Nothing left to run anywhere: no event can still be on its way.
  if (!NSRunLoop::mainRunLoop().hasPendingWork() && DispatchWorkersIdle()) {
    auto finished = std::move(finished_);
    finished_ = nullptr;
    finished();
    return;
  }
  // Replies are all out, but work they started (an event sent at listen from a
  // background queue, say) may still be on its way: finish only once output
  // has been quiet for a moment.
  settling_ = true;
  const uint64_t seen = linesWritten_.load();
  NSRunLoop::mainRunLoop().performAfter(
      kSettleSeconds, WeakBind(weak_from_this(), [seen](FlutterJSONDriver& self) {
        self.settling_ = false;
        if (!self.finished_) return;
        if (self.linesWritten_.load() != seen || self.pending_.load() > 0 ||
            NSRunLoop::mainRunLoop().hasPendingWork()) {
          self.finishIfDone();
          return;
        }
        auto finished = std::move(self.finished_);
        self.finished_ = nullptr;
        finished();
      }));
}

namespace {

// One line of `in` without its newline; false at the end of input. A line
// longer than the limit is skipped to its end rather than kept: `tooLong`
// says so and `line` is left empty.
bool readLine(std::istream& in, std::string& line, bool& tooLong) {
  line.clear();
  tooLong = false;
  std::streambuf* buffer = in.rdbuf();
  bool any = false;
  for (;;) {
    int c = buffer->sbumpc();
    if (c == std::char_traits<char>::eof()) {
      in.setstate(std::ios::eofbit);
      return any;
    }
    any = true;
    if (c == '\n') return true;
    if (tooLong) continue;
    if (line.size() == FlutterJSONDriver::kMaxLineBytes) {
      tooLong = true;
      // Assigning an empty string would keep the grown buffer: swap it away.
      std::string().swap(line);
      continue;
    }
    line.push_back(static_cast<char>(c));
  }
}

}  // namespace

void FlutterJSONDriver::serve(std::istream& in, std::function<void()> finished,
                              double drainSeconds) {
  finished_ = std::move(finished);
  // The driver's own thread blocks on input so the main thread never does.
  // Not a dispatch queue's: it would hold a pool worker until the input
  // ends, and the driver finishes only once the pool is idle.
  NSThread::detachNewThreadWithBlock([weak = weak_from_this(), &in, drainSeconds] {
    std::string line;
    bool tooLong = false;
    auto& loop = NSRunLoop::mainRunLoop();
    while (readLine(in, line, tooLong)) {
      if (tooLong) {
        loop.perform(WeakBind(weak, [](FlutterJSONDriver& self) {
          self.reply("null", "badRequest",
                     Value("line longer than " + std::to_string(kMaxLineBytes) + " bytes"));
        }));
        continue;
      }
      loop.perform(WeakBind(
          weak, [line = std::move(line)](FlutterJSONDriver& self) { self.handleLine(line); }));
      line = std::string();
    }
    loop.perform(WeakBind(weak, [drainSeconds](FlutterJSONDriver& self) {
      self.inputEnded_ = true;
      self.finishIfDone();
      if (self.finished_) {
        // Replies that never come must not keep the process alive for ever.
        NSRunLoop::mainRunLoop().performAfter(
            drainSeconds, WeakBind(self.weak_from_this(), [](FlutterJSONDriver& self) {
              if (!self.finished_) return;
              std::fprintf(stderr, "host: %d request(s) still unanswered at exit\n",
                           self.pending_.load());
              auto f = std::move(self.finished_);
              self.finished_ = nullptr;
              f();
            }));
      }
    }));
  }, "json-driver-in");
}
