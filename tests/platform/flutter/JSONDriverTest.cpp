#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <future>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "PointCodec.h"
#include "platform/flutter/FlutterJSONDriver.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSData.h"
#include "platform/foundation/NSJSONSerialization.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/PlatformClock.h"
#include "support/TestEnvironment.h"
#include "support/engine/TestPeer.h"

namespace json_driver_test {

namespace {

class Recorder {
 public:
  FlutterJSONDriver::LineWriter writer() {
    return [this](const std::string& line) { lines.push_back(line); };
  }
  std::vector<std::string> lines;
};

class Echo : public FlutterPlugin, public FlutterStreamHandler {
 public:
  void handleMethodCall(const FlutterMethodCall& call, FlutterResult result) override {
    if (call.method == "echo") return result(call.arguments);
    if (call.method == "fail") return result(FlutterError::errorWithCode("X", std::nullopt));
    if (call.method == "throw") throw std::runtime_error("plugin fault");
    if (call.method == "replyThenThrow") {
      result(Value(int32_t{1}));
      throw std::runtime_error("late fault");
    }
    if (call.method == "rawBytes") return result(Value(std::string("a\xff\xc3(b")));
    if (call.method == "canned") return result(canned);
    if (call.method == "cannedError") return result(FlutterError::errorWithCode("E", "m", canned));
    if (call.method == "later") {
      held = std::move(result);
      return;
    }
    result(FlutterMethodNotImplemented);
  }
  FlutterErrorPtr onListenWithArguments(const Value&, FlutterEventSink s) override {
    sink = s;
    return nullptr;
  }
  FlutterErrorPtr onCancelWithArguments(const Value&) override { return nullptr; }
  FlutterEventSink sink;
  FlutterResult held;  // the reply to "later", answered by the test
  Value canned;        // the answer to "canned", and the details of "cannedError"
};

struct DriverFixture : PlatformTest {
  DriverFixture() : engine(FlutterEngine::create()), driver(FlutterJSONDriver::create(engine, rec.writer())) {
    auto r = engine->registrarForPlugin("Echo");
    // Answers each point with the next one, so what comes back was written by
    // the channel's codec, not handed through.
    auto generated = FlutterBasicMessageChannel::messageChannelWithName(
        "t/g", r->messenger(),
        FlutterStandardMessageCodec::codecWithReaderWriter(std::make_shared<PointReaderWriter>()));
    generated->setMessageHandler([](const Value& m, FlutterMessageReply reply) {
      auto p = m.at(0) ? m.at(0)->objectAs<Point>() : nullptr;
      if (!p) return reply(Value());
      auto next = std::make_shared<Point>(p->x + 1);
      reply(Value::list({Value(std::shared_ptr<NSObject>(next)), Value("x")}));
    });
    echo = std::make_shared<Echo>();
    r->addMethodCallDelegate(echo, FlutterMethodChannel::methodChannelWithName("t/m", r->messenger()));
    FlutterEventChannel::eventChannelWithName("t/e", r->messenger())->setStreamHandler(echo);
    auto basic = FlutterBasicMessageChannel::messageChannelWithName("t/b", r->messenger());
    basic->setMessageHandler([](const Value& m, FlutterMessageReply reply) { reply(m); });
  }
  ~DriverFixture() override { engine->destroyContext(); }

  std::string run(const std::string& line) {
    size_t before = rec.lines.size();
    driver->handleLine(line);
    NSRunLoop::mainRunLoop().runUntilIdle();
    return rec.lines.size() > before ? rec.lines.back() : "";
  }

  // Lets the quiet period after the last reply pass, then the drain limit,
  // so that nothing the driver scheduled is left on the clock.
  static void serveToTheEnd(const bool& finished) {
    advance(1);
    EXPECT_TRUE(finished);
    advance(60);
  }

  Recorder rec;
  std::shared_ptr<FlutterEngine> engine;
  std::shared_ptr<FlutterJSONDriver> driver;
  std::shared_ptr<Echo> echo;
};

TEST_F(DriverFixture, MethodCallsAndTheirReplyForms) {
  EXPECT_EQ(run(R"({"id":1,"channel":"t/m","method":"echo","args":{"a":[1,2.5,"x",null,true]}})"),
            R"({"id":1,"result":{"a":[1,2.5,"x",null,true]}})");
  EXPECT_EQ(run(R"({"id":2,"channel":"t/m","method":"fail","args":null})"),
            R"({"id":2,"error":{"code":"X","message":null,"details":null}})");
  EXPECT_EQ(run(R"({"id":3,"channel":"t/m","method":"nope"})"), R"({"id":3,"notImplemented":true})");
  EXPECT_EQ(run(R"({"id":"s","channel":"t/none","method":"x"})"), R"({"id":"s","missingPlugin":true})");
  EXPECT_EQ(driver->pending(), 0);
}

TEST_F(DriverFixture, TaggedValuesCrossTheCodecExactly) {
  const std::string tagged =
      R"({"d":{"$double":1.0},"i":{"$int64":5},"b":{"$bytes":"AAEC"},)"
      R"("i32":{"$int32list":[1,-2]},"i64":{"$int64list":[3]},"f32":{"$float32list":[0.5]},)"
      R"("f64":{"$float64list":[1.5]},"m":{"$map":[[1,"one"]]},"big":5000000000})";
  std::string out = run(R"({"id":1,"channel":"t/m","method":"echo","args":)" + tagged + "}");
  EXPECT_EQ(out,
            R"({"id":1,"result":{"d":1.0,"i":5,"b":{"$bytes":"AAEC"},"i32":{"$int32list":[1,-2]},)"
            R"("i64":{"$int64list":[3]},"f32":{"$float32list":[0.5]},"f64":{"$float64list":[1.5]},)"
            R"("m":{"$map":[[1,"one"]]},"big":5000000000}})");
  EXPECT_EQ(run(R"({"id":2,"channel":"t/m","method":"echo","args":{"$double":"NaN"}})"),
            R"({"id":2,"result":{"$double":"NaN"}})");
}

// Compares long lines without gtest's line diff, whose cost grows with the
// square of the escaped newlines in them; tells where they part instead.
::testing::AssertionResult SameText(const std::string& actual, const std::string& expected) {
  if (actual == expected) return ::testing::AssertionSuccess();
  const size_t at = static_cast<size_t>(
      std::mismatch(
          actual.begin(),
          actual.begin() + static_cast<std::ptrdiff_t>(std::min(actual.size(), expected.size())),
          expected.begin())
          .first -
      actual.begin());
  const size_t from = at < 40 ? 0 : at - 40;
  return ::testing::AssertionFailure()
         << "lines of " << actual.size() << " and " << expected.size() << " bytes part at byte "
         << at << ": ..." << actual.substr(from, 80) << "... against ..."
         << expected.substr(from, 80) << "...";
}

// Bytes that are not all alike, so a slice written twice or out of order shows.
Bytes countingBytes(size_t n) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(i * 7 + i / 251);
  return b;
}

TEST_F(DriverFixture, ChannelValuesGoOutInTheDocumentedTextInRepliesErrorsAndEvents) {
  const Bytes large = countingBytes((size_t{1} << 20) + 1);
  std::string text;  // past several pieces, with characters across every cut
  while (text.size() < (size_t{1} << 20))
    text += "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80\"\\\n\x01\xff\x80/";
  ValueList many(40000, Value::bytes({1, 2}));
  std::string manyText = "[";
  for (size_t i = 0; i < many.size(); ++i)
    manyText += i ? ",{\"$bytes\":\"AQI=\"}" : "{\"$bytes\":\"AQI=\"}";
  manyText += "]";
  ValueMap keyed;
  keyed.emplace_back(Value(1), Value("one"));
  keyed.emplace_back(Value::bytes({1}), Value::int32List({7}));
  const std::vector<std::pair<Value, std::string>> table = {
      {Value::bytes(Bytes{}), R"({"$bytes":""})"},
      {Value::bytes({0}), R"({"$bytes":"AA=="})"},
      {Value::bytes({0, 1}), R"({"$bytes":"AAE="})"},
      {Value::bytes({0, 1, 2}), R"({"$bytes":"AAEC"})"},
      {Value::bytes({0xfb, 0xff, 0xbf, 0x3e}), R"({"$bytes":"+/+/Pg=="})"},
      {Value::bytes(large), R"({"$bytes":")" + Base64Encode(large.data(), large.size()) + R"("})"},
      {Value::list({Value::map({{"b", Value::bytes({1})}}), Value::list({Value::bytes({2, 3})})}),
       R"([{"b":{"$bytes":"AQ=="}},[{"$bytes":"AgM="}]])"},
      {Value(std::move(keyed)), R"({"$map":[[1,"one"],[{"$bytes":"AQ=="},{"$int32list":[7]}]]})"},
      {Value::map({{"a", Value::map({{"$x", Value(true)}})}, {"", Value()}}),
       R"({"a":{"$map":[["$x",true]]},"":null})"},
      {Value::int32List({1, -2, INT32_MIN}), R"({"$int32list":[1,-2,-2147483648]})"},
      {Value::int64List({INT64_MAX, INT64_MIN}),
       R"({"$int64list":[9223372036854775807,-9223372036854775808]})"},
      {Value::float32List({0.5f, 0.1f, std::nanf(""), -HUGE_VALF}),
       R"({"$float32list":[0.5,0.10000000149011612,{"$double":"NaN"},{"$double":"-Infinity"}]})"},
      {Value::float64List({1.0, -0.0, 1e300, HUGE_VAL}),
       R"({"$float64list":[1.0,-0.0,1e+300,{"$double":"Infinity"}]})"},
      {Value::float64List({}), R"({"$float64list":[]})"},
      {Value::list({Value(2.0), Value(std::nan("")), Value(int64_t{5000000000}), Value(ValueMap{}),
                    Value(ValueList{})}),
       R"([2.0,{"$double":"NaN"},5000000000,{},[]])"},
      {Value("q\"\\\n\r\t\x01\x7f/\xc3\xa9"), "\"q\\\"\\\\\\n\\r\\t\\u0001\x7f/\xc3\xa9\""},
      {Value(text), NSJSONSerialization::quoteString(text)},
      {Value(std::move(many)), manyText},
  };
  ASSERT_EQ(run(R"({"id":0,"channel":"t/e","listen":null})"), R"({"id":0,"result":null})");
  for (size_t i = 0; i < table.size(); ++i) {
    const auto& [value, expected] = table[i];
    echo->canned = value;
    const std::string id = std::to_string(i + 1);
    EXPECT_TRUE(SameText(run(R"({"id":)" + id + R"(,"channel":"t/m","method":"canned"})"),
                         R"({"id":)" + id + R"(,"result":)" + expected + "}"))
        << "row " << i;
    EXPECT_TRUE(SameText(
        run(R"({"id":)" + id + R"(,"channel":"t/m","method":"cannedError"})"),
        R"({"id":)" + id + R"(,"error":{"code":"E","message":"m","details":)" + expected + "}}"))
        << "row " << i;
    echo->sink(value);
    EXPECT_TRUE(SameText(rec.lines.back(), R"({"event":"t/e","value":)" + expected + "}"))
        << "row " << i;
  }
}

TEST_F(DriverFixture, ALongReplyGoesOutInPiecesWholeWhileAnEventWaits) {
  struct Piece {
    std::string text;
    bool lineEnds;
  };
  std::mutex mutex;
  std::vector<Piece> pieces;  // guarded by mutex
  std::atomic<int> writing{0};
  std::atomic<bool> overlapped{false};
  // The sender's last touch of this test's locals, so they outlive it.
  std::atomic<bool> eventSent{false};
  std::promise<void> sending;
  auto sent = sending.get_future();
  bool eventStarted = false;
  auto piecewise = FlutterJSONDriver::create(
      engine, FlutterJSONDriver::PieceWriter([&](std::string_view piece, bool lineEnds) {
        if (writing.fetch_add(1) != 0) overlapped = true;
        {
          std::lock_guard<std::mutex> lock(mutex);
          pieces.push_back({std::string(piece), lineEnds});
        }
        if (!lineEnds && !eventStarted) {
          // Halfway through the reply, a plugin sends an event from another thread.
          eventStarted = true;
          dispatch_async(dispatch_get_global_queue(DispatchQoS::Default), [&] {
            sending.set_value();
            echo->sink(Value("during"));
            eventSent = true;
          });
          sent.wait_for(std::chrono::duration<double>(kTestTimeoutSeconds));
        }
        --writing;
      }));
  piecewise->handleLine(R"({"id":1,"channel":"t/e","listen":null})");
  const Bytes large = countingBytes(4 * FlutterJSONDriver::kPieceBytes + 2);
  echo->canned = Value::bytes(large);
  piecewise->handleLine(R"({"id":2,"channel":"t/m","method":"canned"})");
  const std::string event = R"({"event":"t/e","value":"during"})";
  ASSERT_TRUE(RunMainLoopUntil([&] {
    std::lock_guard<std::mutex> lock(mutex);
    return eventSent && !pieces.empty() && pieces.back().text == event;
  }));

  std::lock_guard<std::mutex> lock(mutex);
  std::vector<std::string> lines(1);
  size_t replyPieces = 0;
  for (const Piece& p : pieces) {
    EXPECT_LE(p.text.size(), 2 * FlutterJSONDriver::kPieceBytes);
    lines.back() += p.text;
    if (lines.size() == 2) ++replyPieces;
    if (p.lineEnds) lines.emplace_back();
  }
  lines.pop_back();
  EXPECT_FALSE(overlapped);
  EXPECT_GE(replyPieces, 4u);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], R"({"id":1,"result":null})");
  EXPECT_TRUE(SameText(lines[1], R"({"id":2,"result":{"$bytes":")" +
                                     Base64Encode(large.data(), large.size()) + R"("}})"));
  EXPECT_EQ(lines[2], event);
}

TEST_F(DriverFixture, BadRequestsAreAnsweredAndTheDriverGoesOn) {
  EXPECT_NE(run("{oops").find(R"("badRequest":"not JSON)"), std::string::npos);
  EXPECT_NE(run(R"({"id":1,"method":"x"})").find(R"({"id":1,"badRequest")"), std::string::npos);
  EXPECT_NE(run(R"({"id":2,"channel":"t/m"})").find("badRequest"), std::string::npos);
  EXPECT_NE(run(R"({"id":3,"channel":"t/m","method":"echo","args":{"$bytes":"!!"}})").find("base64"),
            std::string::npos);
  EXPECT_NE(run(R"({"id":4,"channel":"t/m","method":"echo","args":{"$int32list":[5000000000]}})")
                .find("badRequest"),
            std::string::npos);
  EXPECT_EQ(run(R"({"id":5,"channel":"t/m","method":"echo","args":7})"), R"({"id":5,"result":7})");
}

TEST_F(DriverFixture, StreamsAndGeneratedChannels) {
  EXPECT_EQ(run(R"({"id":1,"channel":"t/e","listen":null})"), R"({"id":1,"result":null})");
  echo->sink(Value("v"));
  EXPECT_EQ(rec.lines.back(), R"({"event":"t/e","value":"v"})");
  echo->sink(FlutterError::errorWithCode("E", "m"));
  EXPECT_EQ(rec.lines.back(), R"({"event":"t/e","error":{"code":"E","message":"m","details":null}})");
  echo->sink(FlutterEndOfEventStream);
  EXPECT_EQ(rec.lines.back(), R"({"event":"t/e","end":true})");
  EXPECT_EQ(run(R"({"id":2,"channel":"t/e","cancel":null})"), R"({"id":2,"result":null})");

  EXPECT_EQ(run(R"({"id":3,"channel":"t/b","message":[1,{"$float64list":[2.5]}]})"),
            R"({"id":3,"reply":[1,{"$float64list":[2.5]}]})");
  // The channel's codec does not know type 129: its handler answers empty.
  EXPECT_EQ(run(R"({"id":5,"channel":"t/b","message":[1,{"$custom":129,"value":[null]}]})"),
            R"({"id":5,"reply":null})");
  EXPECT_EQ(run(R"({"id":4,"channel":"t/nob","message":[]})"), R"({"id":4,"missingPlugin":true})");

  // A channel that knows type 129 reads it and writes one back, which the
  // driver reads as custom again.
  EXPECT_EQ(run(R"({"id":6,"channel":"t/g","message":[{"$custom":129,"value":[41]}]})"),
            R"({"id":6,"reply":[{"$custom":129,"value":[42]},"x"]})");
  EXPECT_EQ(run(R"({"id":7,"channel":"t/g","message":[{"$custom":130,"value":[41]}]})"),
            R"({"id":7,"reply":null})");
}

TEST_F(DriverFixture, MapsWithDollarKeysStayMaps) {
  // Keys that look like tags go out as $map pairs and come back as the same map.
  EXPECT_EQ(
      run(R"({"id":1,"channel":"t/m","method":"echo","args":{"$map":[["$double",1],["y",2]]}})"),
      R"({"id":1,"result":{"$map":[["$double",1],["y",2]]}})");
  // Only the first key makes a tag: a later "$" key is a plain entry, and is
  // written back in the pair form so that it cannot be taken for a tag.
  EXPECT_EQ(run(R"({"id":2,"channel":"t/m","method":"echo","args":{"a":{"$int64":1},"$b":2}})"),
            R"({"id":2,"result":{"$map":[["a",1],["$b",2]]}})");
  EXPECT_EQ(run(R"({"id":3,"channel":"t/b","message":{"$map":[["$custom",129]]}})"),
            R"({"id":3,"reply":{"$map":[["$custom",129]]}})");
  // Keys with a "$" elsewhere, and the empty key, keep the plain form.
  EXPECT_EQ(run(R"({"id":4,"channel":"t/m","method":"echo","args":{"a$":1,"":2}})"),
            R"({"id":4,"result":{"a$":1,"":2}})");
}

TEST_F(DriverFixture, ServeEndsAfterPendingRepliesAtEndOfInput) {
  std::istringstream in(
      "{\"id\":1,\"channel\":\"t/m\",\"method\":\"echo\",\"args\":1}\n"
      "{\"id\":2,\"channel\":\"t/m\",\"method\":\"echo\",\"args\":2}\n");
  bool finished = false;
  driver->serve(in, [&] { finished = true; });
  // Every reply out, the end of input seen and nothing left to run: the
  // driver ends at once, without waiting on the clock.
  ASSERT_TRUE(RunMainLoopUntil([&] { return finished; }));
  EXPECT_EQ(PlatformClock::pendingCount(), 0u);
  ASSERT_EQ(rec.lines.size(), 2u);
  EXPECT_EQ(rec.lines[1], R"({"id":2,"result":2})");

  // A reply still owed keeps it serving until the reply is out; work still
  // queued when it is (an event on its way) holds it for a quiet moment.
  auto second = FlutterJSONDriver::create(engine, rec.writer());
  std::istringstream later(R"({"id":3,"channel":"t/m","method":"later"})" "\n");
  bool secondFinished = false;
  second->serve(later, [&] { secondFinished = true; });
  ASSERT_TRUE(RunMainLoopUntil([&] { return PlatformClock::pendingCount() > 0; }));
  EXPECT_FALSE(secondFinished);
  NSRunLoop::mainRunLoop().perform([] {});
  echo->held(Value(3));
  NSRunLoop::mainRunLoop().runUntilIdle();
  EXPECT_EQ(rec.lines.back(), R"({"id":3,"result":3})");
  EXPECT_FALSE(secondFinished);
  serveToTheEnd(secondFinished);
}

TEST_F(DriverFixture, NothingASenderOrPluginThrowsEndsTheDriver) {
  // A custom value the standard codec cannot write, in a call, a listen and a cancel.
  EXPECT_EQ(run(R"({"id":1,"channel":"t/m","method":"echo","args":{"k":[{"$custom":200}]}})"),
            R"({"id":1,"badRequest":"cannot be sent on the channel: Unsupported value: )"
            R"(<FlutterDriverCustomValue>"})");
  EXPECT_NE(run(R"({"id":2,"channel":"t/e","listen":{"$custom":129,"value":1}})").find("badRequest"),
            std::string::npos);
  EXPECT_NE(run(R"({"id":3,"channel":"t/e","cancel":{"$custom":129}})").find("badRequest"),
            std::string::npos);
  // A plugin that throws while handling the call.
  EXPECT_EQ(run(R"({"id":4,"channel":"t/m","method":"throw"})"),
            R"({"id":4,"badRequest":"failed: plugin fault"})");
  EXPECT_EQ(driver->pending(), 0);
  EXPECT_EQ(run(R"({"id":5,"channel":"t/m","method":"echo","args":1})"), R"({"id":5,"result":1})");
}

TEST_F(DriverFixture, EveryWaitingRequestCountsAndIsAnsweredOnce) {
  std::optional<FlutterMessageReply> held;
  FlutterBasicMessageChannel::messageChannelWithName("t/hold",
                                                     engine->registrarForPlugin("Hold")->messenger())
      ->setMessageHandler([&](const Value&, FlutterMessageReply reply) { held = std::move(reply); });
  EXPECT_EQ(run(R"({"id":1,"channel":"t/m","method":"later"})"), "");
  EXPECT_EQ(run(R"({"id":2,"channel":"t/hold","message":"m"})"), "");
  EXPECT_EQ(driver->pending(), 2) << "a call and a message both wait";
  ASSERT_TRUE(held.has_value());
  (*held)(Value("r"));
  NSRunLoop::mainRunLoop().runUntilIdle();
  EXPECT_EQ(rec.lines.back(), R"({"id":2,"reply":"r"})");
  EXPECT_EQ(driver->pending(), 1);
  echo->held(Value(int32_t{3}));
  NSRunLoop::mainRunLoop().runUntilIdle();
  EXPECT_EQ(rec.lines.back(), R"({"id":1,"result":3})");
  EXPECT_EQ(driver->pending(), 0);

  // A plugin that answers and then throws: the answer stands, alone.
  const size_t before = rec.lines.size();
  EXPECT_EQ(run(R"({"id":3,"channel":"t/m","method":"replyThenThrow"})"), R"({"id":3,"result":1})");
  EXPECT_EQ(rec.lines.size(), before + 1);
  EXPECT_EQ(driver->pending(), 0);
}

TEST_F(DriverFixture, IdsComeBackExactlyAsTheyCame) {
  for (const std::string id : {"123456789012345678901234567890", "-0.0", "1.50", "1e400",
                               "{\"a\" : [1, 2]}", "\"\\u00e9\""}) {
    EXPECT_EQ(run(R"({"id":)" + id + R"(,"channel":"t/m","method":"echo","args":2})"),
              R"({"id":)" + id + R"(,"result":2})");
  }
  EXPECT_EQ(run(R"({"id":1,"id":99999999999999999999,"channel":"t/none","method":"x"})"),
            R"({"id":99999999999999999999,"missingPlugin":true})");
  EXPECT_EQ(run(R"({"channel":"t/m","method":"echo","args":3})"), R"({"id":null,"result":3})");
}

TEST_F(DriverFixture, TextThatIsNotUnicodeIsRefusedAndNeverWritten) {
  for (const char* bad : {"\"\xff\"", "\"\xc3\"", "\"\xe0\x80\xaf\"", "\"\xed\xa0\x80\"",
                          "\"\xf4\x90\x80\x80\"", R"("\ud800")", R"("\udc00x")",
                          R"("\ud800\u0041")", R"("\ud83d\ud83d")"}) {
    std::string out = run(std::string(R"({"id":7,"channel":"t/m","method":"echo","args":)") + bad + "}");
    EXPECT_EQ(out.rfind(R"({"id":null,"badRequest":"not JSON)", 0), 0u) << bad << " gave " << out;
  }
  EXPECT_EQ(run(R"({"id":8,"channel":"t/m","method":"echo","args":"\ud83d\ude00\u00e9"})"),
            "{\"id\":8,\"result\":\"\xf0\x9f\x98\x80\xc3\xa9\"}");
  // A plugin answering bytes that are not UTF-8: the line stays valid.
  EXPECT_EQ(run(R"({"id":9,"channel":"t/m","method":"rawBytes"})"),
            "{\"id\":9,\"result\":\"a\xef\xbf\xbd\xef\xbf\xbd(b\"}");
}

TEST_F(DriverFixture, LinesBeyondTheLimitAreRefusedUnread) {
  std::string huge = R"({"id":1,"channel":"t/m","method":"echo","args":")";
  huge += std::string(FlutterJSONDriver::kMaxLineBytes - huge.size() - 2, 'x') + "\"}";
  ASSERT_EQ(huge.size(), FlutterJSONDriver::kMaxLineBytes);
  EXPECT_EQ(run(huge).rfind(R"({"id":1,"result":"xxx)", 0), 0u);
  EXPECT_EQ(run(huge + " "), R"({"id":null,"badRequest":"line longer than 16777216 bytes"})");

  std::istringstream in(huge + "  \n" + R"({"id":2,"channel":"t/m","method":"echo","args":2})" + "\n");
  bool finished = false;
  driver->serve(in, [&] { finished = true; });
  ASSERT_TRUE(RunMainLoopUntil([&] { return finished; }));
  ASSERT_EQ(rec.lines.size(), 4u);
  EXPECT_EQ(rec.lines[2], R"({"id":null,"badRequest":"line longer than 16777216 bytes"})");
  EXPECT_EQ(rec.lines[3], R"({"id":2,"result":2})");
}

TEST_F(DriverFixture, ADriverGoneWithWorkPendingIsLeftAlone) {
  auto other = FlutterJSONDriver::create(engine, rec.writer());
  std::istringstream in(R"({"id":1,"channel":"t/m","method":"echo","args":1})"
                        "\n"
                        R"({"id":2,"channel":"t/m","method":"later"})"
                        "\n");
  bool finished = false;
  other->serve(in, [&] { finished = true; });
  // One reply out, one owed, input ended: the drain limit is on the clock.
  ASSERT_TRUE(
      RunMainLoopUntil([&] { return rec.lines.size() == 1 && PlatformClock::pendingCount() > 0; }));
  other.reset();
  // The plugin answers, and the timers fire, after the driver is gone.
  echo->held(Value(2));
  advance(60);
  EXPECT_FALSE(finished);
  EXPECT_EQ(rec.lines.size(), 1u);
}

using DriverJSON = PlatformTest;

TEST_F(DriverJSON, PlainValuesAreSharedNotCopied) {
  auto json = NSJSONSerialization::JSONObjectWithData(R"({"a":[1,2,{"b":"c"}],"t":[{"$int64":1}]})");
  ASSERT_TRUE(json);
  auto value = FlutterDriverJSON::toValue(*json, nullptr);
  ASSERT_TRUE(value);
  // Untagged parts are the parsed values themselves; only the tagged path is new.
  EXPECT_EQ(&value->find("a")->asList(), &json->find("a")->asList());
  EXPECT_NE(&value->asMap(), &json->asMap());
  EXPECT_EQ(value->find("t")->at(0)->type(), Value::Type::Int64);
  auto plain = NSJSONSerialization::JSONObjectWithData(R"([[1],{"x":2}])");
  EXPECT_EQ(&FlutterDriverJSON::toValue(*plain, nullptr)->asList(), &plain->asList());
}

using JSONSerialization = PlatformTest;

TEST_F(JSONSerialization, RepeatedKeysKeepTheLastValueInFirstPlace) {
  std::string text = "{";
  for (int i = 0; i < 40; ++i) text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
  text += R"("k3":"again","k30":"again","k39":null})";
  auto v = NSJSONSerialization::JSONObjectWithData(text);
  ASSERT_TRUE(v);
  ASSERT_EQ(v->size(), 40u);
  EXPECT_EQ(v->asMap()[3].second, Value("again"));
  EXPECT_EQ(v->asMap()[30].second, Value("again"));
  EXPECT_TRUE(v->asMap()[39].second.isNull());
  EXPECT_EQ(v->asMap()[31].first, Value("k31"));
}

TEST_F(JSONSerialization, ParsesAndWritesStrictJSON) {
  std::string err;
  auto v = NSJSONSerialization::JSONObjectWithData(
      R"( {"a":[1,-2,3.5e2,"\u00e9\ud83d\ude00\n"],"b":{"c":false},"n":null} )", &err);
  ASSERT_TRUE(v) << err;
  EXPECT_EQ(*v->find("a")->at(0), Value(int32_t{1}));
  EXPECT_EQ(v->find("a")->at(2)->type(), Value::Type::Double);
  EXPECT_EQ(v->find("a")->at(3)->asString(), "\xc3\xa9\xf0\x9f\x98\x80\n");
  auto text = NSJSONSerialization::dataWithJSONObject(*v);
  ASSERT_TRUE(text);
  EXPECT_EQ(*NSJSONSerialization::JSONObjectWithData(*text), *v);

  for (const char* bad : {"", "[1,]", "{\"a\" 1}", "\"abc", "01x", "[1] 2", "{\"a\":tru}",
                          "\"\\x\"", "\"\t\""}) {
    EXPECT_FALSE(NSJSONSerialization::JSONObjectWithData(bad)) << bad;
  }
  EXPECT_FALSE(NSJSONSerialization::JSONObjectWithData(std::string(10000, '[')));
  EXPECT_FALSE(NSJSONSerialization::dataWithJSONObject(Value::bytes({1})));
  EXPECT_FALSE(NSJSONSerialization::dataWithJSONObject(Value(std::nan(""))));
}

}  // namespace

}  // namespace json_driver_test
