#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "platform/flutter/FlutterChannels.h"
#include "platform/flutter/FlutterEngine.h"
#include "platform/foundation/BuildFlags.h"
#include "support/TestEnvironment.h"
#include "support/engine/TestPeer.h"

namespace channel_test {

namespace {

class Echo : public FlutterPlugin {
 public:
  void handleMethodCall(const FlutterMethodCall& call, FlutterResult result) override {
    if (call.method == "echo") {
      result(call.arguments);
    } else if (call.method == "fail") {
      result(FlutterError::errorWithCode("BAD", "it failed", Value(int32_t{7})));
    } else if (call.method == "unencodable") {
      auto object = Value(std::make_shared<NSObject>());
      if (call.arguments == Value("asError")) {
        result(FlutterError::errorWithCode("E", "m", object));
      } else {
        result(object);
      }
    } else if (call.method == "later") {
      pending = std::move(result);
    } else {
      result(FlutterMethodNotImplemented);
    }
  }
  FlutterResult pending;
};

class Counter : public FlutterStreamHandler {
 public:
  FlutterErrorPtr onListenWithArguments(const Value& args, FlutterEventSink sink) override {
    ++listens;
    if (args == Value("refuse")) return FlutterError::errorWithCode("NO", "refused");
    this->sink = sink;
    sink(Value(int32_t{1}));
    return nullptr;
  }
  FlutterErrorPtr onCancelWithArguments(const Value&) override {
    ++cancels;
    return nullptr;
  }
  FlutterEventSink sink;
  int listens = 0;
  int cancels = 0;
};

using Channels = PlatformTest;

TEST_F(Channels, MethodCallsReplyThroughTheCodec) {
  TestPeer peer;
  auto registrar = peer.registrar("Echo");
  auto echo = std::make_shared<Echo>();
  registrar->addMethodCallDelegate(
      echo, FlutterMethodChannel::methodChannelWithName("t/echo", registrar->messenger()));

  Value args = Value::map({{"a", Value::float64List({1, 2})}, {"b", Value("x")}});
  auto o = peer.call("t/echo", "echo", args);
  ASSERT_TRUE(IsSuccess(o));
  EXPECT_EQ(o.result, args);

  o = peer.call("t/echo", "fail");
  ASSERT_TRUE(IsError(o, "BAD"));
  EXPECT_EQ(o.message, std::optional<std::string>("it failed"));
  EXPECT_EQ(o.details, Value(int32_t{7}));

  // Values the codec cannot write become an error reply, as result or as details.
  EXPECT_TRUE(IsError(peer.call("t/echo", "unencodable"), "unencodable_reply"));
  EXPECT_TRUE(IsError(peer.call("t/echo", "unencodable", Value("asError")), "unencodable_reply"));

  EXPECT_TRUE(IsNotImplemented(peer.call("t/echo", "echo ")));
  EXPECT_EQ(peer.call("t/none", "echo").kind, FlutterMethodOutcome::Kind::MissingPlugin);
  // A plugin that handles no calls of its own answers each "not implemented".
  class Silent : public FlutterPlugin {};
  registrar->addMethodCallDelegate(
      std::make_shared<Silent>(),
      FlutterMethodChannel::methodChannelWithName("t/silent", registrar->messenger()));
  EXPECT_TRUE(IsNotImplemented(peer.call("t/silent", "anything")));

  // A malformed call is answered with an error, not dropped or crashed on.
  auto raw = peer.raw("t/echo", Bytes{7, 9, 'x'});
  ASSERT_TRUE(raw.has_value());
  ASSERT_FALSE(raw->empty());
  EXPECT_EQ((*raw)[0], 1);
}

TEST_F(Channels, ReplyFromTheMainQueueLater) {
  TestPeer peer;
  auto registrar = peer.registrar("Echo");
  auto echo = std::make_shared<Echo>();
  registrar->addMethodCallDelegate(
      echo, FlutterMethodChannel::methodChannelWithName("t/echo", registrar->messenger()));
  std::optional<FlutterMethodOutcome> got;
  FlutterDartSide dart(peer.engine());
  dart.invokeMethod("t/echo", "later", Value(), [&](const FlutterMethodOutcome& o) { got = o; });
  EXPECT_FALSE(got.has_value());
  ASSERT_TRUE(echo->pending);
  echo->pending(Value("done"));
  EXPECT_FALSE(echo->pending) << "an answered result is consumed";
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->result, Value("done"));
}

// A field of /proc/self/status in bytes (VmRSS, VmHWM); -1 when unread.
long StatusBytes(const std::string& field) {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1)) * 1024;
  }
  return -1;
}

// A large answer travels from the plugin to the Dart side resident about
// once: the plugin's payload goes as the message is written, the message
// as the Dart side reads it.
TEST_F(Channels, ALargeAnswerTravelsResidentOnce) {
#if defined(QX_SANITIZER_ALLOCATOR)
  GTEST_SKIP() << "the sanitizers' allocator holds freed memory back in quarantine";
#endif
  constexpr size_t kLarge = size_t{96} << 20;
  TestPeer peer;
  auto channel =
      FlutterMethodChannel::methodChannelWithName("t/large", peer.registrar("Large")->messenger());
  Bytes payload(kLarge, 7);
  channel->setMethodCallHandler([&](const FlutterMethodCall&, FlutterResult result) {
    result(Value::bytes(std::move(payload)));
  });
  FlutterDartSide dart(peer.engine());
  std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
  const long before = StatusBytes("VmRSS");
  if (before < 0 || StatusBytes("VmHWM") > before + long(kLarge / 8))
    GTEST_SKIP() << "no peak reset";
  size_t got = 0;
  int last = -1;
  dart.invokeMethod("t/large", "get", Value(), [&](const FlutterMethodOutcome& o) {
    got = o.result.size();
    last = o.result.asBytes().empty() ? -1 : o.result.asBytes().back();
  });
  const long peak = StatusBytes("VmHWM") - before;
  EXPECT_EQ(got, kLarge);
  EXPECT_EQ(last, 7);
  EXPECT_LT(peak, long(kLarge / 3));
}

#if QX_CHECKED
using ChannelsDeathTest = PlatformTest;

TEST_F(ChannelsDeathTest, SecondReplyIsReportedLoudly) {
  FlutterResult r([](FlutterReply) {});
  r(Value());
  EXPECT_DEATH(r(Value()), "FlutterResult .* was called a second time");
}
#endif

// A Counter serving the event channel "t/events" of `peer`.
std::shared_ptr<Counter> countingStream(TestPeer& peer) {
  auto handler = std::make_shared<Counter>();
  FlutterEventChannel::eventChannelWithName("t/events", peer.registrar("Counter")->messenger())
      ->setStreamHandler(handler);
  return handler;
}

TEST_F(Channels, EventStreamsListenEmitAndCancel) {
  TestPeer peer;
  auto handler = countingStream(peer);

  ASSERT_TRUE(IsSuccess(peer.listen("t/events")));
  ASSERT_EQ(peer.events("t/events").size(), 1u);
  EXPECT_EQ(peer.events("t/events")[0].value, Value(int32_t{1}));
  handler->sink(FlutterError::errorWithCode("E", "bad"));
  handler->sink(FlutterEndOfEventStream);
  ASSERT_EQ(peer.events("t/events").size(), 3u);
  EXPECT_EQ(peer.events("t/events")[1].kind, FlutterStreamEvent::Kind::Error);
  EXPECT_EQ(peer.events("t/events")[2].kind, FlutterStreamEvent::Kind::End);
  // An event the codec cannot write arrives as an error event instead.
  handler->sink(Value(std::make_shared<NSObject>()));
  ASSERT_EQ(peer.events("t/events").size(), 4u);
  EXPECT_EQ(peer.events("t/events")[3].code, "unencodable_event");

  ASSERT_TRUE(IsSuccess(peer.cancel("t/events")));
  EXPECT_EQ(handler->cancels, 1);
  handler->sink(Value(int32_t{9}));  // a sink of a cancelled stream is quiet
  EXPECT_EQ(peer.events("t/events").size(), 4u);
  EXPECT_TRUE(IsError(peer.cancel("t/events"), "error"));

  EXPECT_TRUE(IsError(peer.listen("t/events", Value("refuse")), "NO"));
  EXPECT_EQ(handler->listens, 2);
}

TEST_F(Channels, ASecondListenCancelsTheFirst) {
  TestPeer peer;
  auto handler = countingStream(peer);

  ASSERT_TRUE(IsSuccess(peer.listen("t/events")));
  FlutterEventSink first = handler->sink;
  ASSERT_TRUE(IsSuccess(peer.listen("t/events")));
  EXPECT_EQ(handler->listens, 2);
  EXPECT_EQ(handler->cancels, 1);
  ASSERT_EQ(peer.events("t/events").size(), 2u);  // one greeting per listen
  first(Value(int32_t{8}));                       // the replaced listen's sink is quiet
  handler->sink(Value(int32_t{9}));
  ASSERT_EQ(peer.events("t/events").size(), 3u);
  EXPECT_EQ(peer.events("t/events")[2].value, Value(int32_t{9}));

  // One cancel ends the second listen; nothing is left to cancel after it.
  ASSERT_TRUE(IsSuccess(peer.cancel("t/events")));
  EXPECT_EQ(handler->cancels, 2);
  EXPECT_TRUE(IsError(peer.cancel("t/events"), "error"));
  // A listen that was refused has nothing to cancel when the next one comes.
  EXPECT_TRUE(IsError(peer.listen("t/events", Value("refuse")), "NO"));
  ASSERT_TRUE(IsSuccess(peer.listen("t/events")));
  EXPECT_EQ(handler->cancels, 2);
  EXPECT_EQ(handler->listens, 4);
}

TEST_F(Channels, BasicMessageChannelsAndHandlerRemoval) {
  TestPeer peer;
  auto messenger = peer.registrar("Basic")->messenger();
  auto channel = FlutterBasicMessageChannel::messageChannelWithName("t/basic", messenger);
  channel->setMessageHandler([](const Value& message, FlutterMessageReply reply) {
    reply(Value::list({message}));
  });
  auto reply = peer.message("t/basic", Value("hi"));
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(*reply, Value::list({Value("hi")}));

  // Undecodable bytes get the empty reply instead of reaching the handler.
  auto raw = peer.raw("t/basic", Bytes{200});
  ASSERT_TRUE(raw.has_value());
  EXPECT_TRUE(raw->empty());

  channel->setMessageHandler(nullptr);
  EXPECT_FALSE(peer.engine()->hasHandler("t/basic"));
  EXPECT_FALSE(peer.message("t/basic", Value("hi")).has_value());
}

TEST_F(Channels, RegistrarsAreOnePerKeyAndDetachOnDestroy) {
  class Detaching : public FlutterPlugin {
   public:
    void detachFromEngineForRegistrar(const FlutterPluginRegistrarPtr&) override { ++detached; }
    int detached = 0;
  };
  auto engine = FlutterEngine::create();
  auto a = engine->registrarForPlugin("A");
  EXPECT_EQ(a, engine->registrarForPlugin("A"));
  EXPECT_NE(a, engine->registrarForPlugin("B"));
  a->publish(Value("published"));
  EXPECT_EQ(engine->valuePublishedByPlugin("A"), Value("published"));
  EXPECT_TRUE(engine->hasPlugin("B"));
  EXPECT_FALSE(engine->hasPlugin("C"));

  auto plugin = std::make_shared<Detaching>();
  a->addMethodCallDelegate(plugin, FlutterMethodChannel::methodChannelWithName("t/a", a->messenger()));
  EXPECT_TRUE(engine->hasHandler("t/a"));
  engine->destroyContext();
  EXPECT_EQ(plugin->detached, 1);
  EXPECT_FALSE(engine->hasHandler("t/a"));
}

}  // namespace

}  // namespace channel_test
