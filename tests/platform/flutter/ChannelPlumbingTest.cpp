// What the three kinds of channel share, seen from the messenger: how a
// handler is installed and removed, where it may run, and how an incoming
// call that does not decode is answered.

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <thread>

#include "platform/flutter/FlutterChannels.h"
#include "platform/foundation/BuildFlags.h"
#include "platform/foundation/Value.h"
#include "support/TestEnvironment.h"

namespace channel_plumbing_test {

namespace {

// A messenger that keeps what channels install and send, and delivers
// messages to a handler as the engine would.
class CapturingMessenger : public FlutterBinaryMessenger {
 public:
  void sendOnChannel(const std::string& channel, FlutterBinaryMessage message,
                     FlutterBinaryReply) override {
    sent.emplace_back(channel, std::move(message));
  }
  void setMessageHandlerOnChannel(const std::string& channel,
                                  FlutterBinaryMessageHandler handler) override {
    if (handler) {
      handlers[channel] = std::move(handler);
    } else {
      handlers.erase(channel);
    }
  }
  // The handler's reply (nullptr: the empty one), or nullopt when it did not
  // answer.
  std::optional<FlutterBinaryMessage> deliver(const std::string& channel,
                                              FlutterBinaryMessage message) {
    std::optional<FlutterBinaryMessage> got;
    handlers.at(channel)(std::move(message),
                         FlutterBinaryReply([&got](FlutterBinaryMessage r) { got = std::move(r); }));
    return got;
  }

  std::map<std::string, FlutterBinaryMessageHandler> handlers;
  std::vector<std::pair<std::string, FlutterBinaryMessage>> sent;
};

FlutterEnvelope Envelope(const FlutterBinaryMessage& reply) {
  return FlutterStandardMethodCodec::sharedInstance()->decodeEnvelope(reply->data(), reply->size());
}

FlutterBinaryMessage Call(const std::string& method, const Value& arguments = Value()) {
  return FlutterMakeMessage(
      FlutterStandardMethodCodec::sharedInstance()->encodeMethodCall({method, arguments}));
}

// Keeps its sink even when it refuses, as a careless handler might.
class KeepingStream : public FlutterStreamHandler {
 public:
  FlutterErrorPtr onListenWithArguments(const Value& args, FlutterEventSink events) override {
    sink = events;
    return args == Value("refuse") ? FlutterError::errorWithCode("NO", "refused") : nullptr;
  }
  FlutterErrorPtr onCancelWithArguments(const Value&) override {
    ++cancels;
    return FlutterError::errorWithCode("CANCEL", "cancel failed");
  }
  FlutterEventSink sink;
  int cancels = 0;
};

using ChannelPlumbingTest = PlatformTest;

TEST_F(ChannelPlumbingTest, MalformedCallsAreAnsweredAndEmptyHandlersRemove) {
  auto messenger = std::make_shared<CapturingMessenger>();
  auto methods = FlutterMethodChannel::methodChannelWithName("t/m", messenger);
  auto events = FlutterEventChannel::eventChannelWithName("t/e", messenger);
  int calls = 0;
  methods->setMethodCallHandler([&](const FlutterMethodCall&, FlutterResult result) {
    ++calls;
    result(Value());
  });
  events->setStreamHandler(std::make_shared<KeepingStream>());

  // Neither a missing nor an undecodable call reaches a handler: both
  // channels answer with the malformed-message error.
  for (const char* channel : {"t/m", "t/e"}) {
    for (FlutterBinaryMessage bad : {FlutterBinaryMessage(), FlutterMakeMessage(Bytes{7, 9, 'x'})}) {
      auto reply = messenger->deliver(channel, bad);
      ASSERT_TRUE(reply.has_value()) << channel;
      ASSERT_TRUE(*reply) << channel;
      const FlutterEnvelope env = Envelope(*reply);
      EXPECT_TRUE(env.isError) << channel;
      EXPECT_EQ(env.code, "malformed_message") << channel;
    }
  }
  EXPECT_EQ(calls, 0);
  auto good = messenger->deliver("t/m", Call("x"));
  ASSERT_TRUE(good && *good);
  EXPECT_FALSE(Envelope(*good).isError);
  EXPECT_EQ(calls, 1);

  // An event channel knows only listen and cancel: anything else gets the
  // empty reply.
  auto other = messenger->deliver("t/e", Call("pause"));
  ASSERT_TRUE(other.has_value());
  EXPECT_EQ(*other, nullptr);

  methods->setMethodCallHandler(nullptr);
  events->setStreamHandler(nullptr);
  EXPECT_TRUE(messenger->handlers.empty());
}

TEST_F(ChannelPlumbingTest, ARefusedListenLeavesItsSinkQuietAndACancelErrorIsPassedOn) {
  auto messenger = std::make_shared<CapturingMessenger>();
  auto events = FlutterEventChannel::eventChannelWithName("t/e", messenger);
  auto stream = std::make_shared<KeepingStream>();
  events->setStreamHandler(stream);

  auto refused = messenger->deliver("t/e", Call("listen", Value("refuse")));
  ASSERT_TRUE(refused && *refused);
  EXPECT_EQ(Envelope(*refused).code, "NO");
  stream->sink(Value(int32_t{1}));
  EXPECT_TRUE(messenger->sent.empty()) << "a refused listen sends nothing";
  auto noStream = messenger->deliver("t/e", Call("cancel"));
  ASSERT_TRUE(noStream && *noStream);
  EXPECT_EQ(Envelope(*noStream).code, "error");
  EXPECT_EQ(stream->cancels, 0);

  auto listened = messenger->deliver("t/e", Call("listen"));
  ASSERT_TRUE(listened && *listened);
  EXPECT_FALSE(Envelope(*listened).isError);
  stream->sink(Value(int32_t{2}));
  ASSERT_EQ(messenger->sent.size(), 1u);
  EXPECT_EQ(messenger->sent[0].first, "t/e");
  EXPECT_EQ(Envelope(messenger->sent[0].second).result, Value(int32_t{2}));

  // The handler's cancel error goes back to the caller; the stream is over
  // all the same.
  auto cancelled = messenger->deliver("t/e", Call("cancel"));
  ASSERT_TRUE(cancelled && *cancelled);
  EXPECT_EQ(Envelope(*cancelled).code, "CANCEL");
  stream->sink(Value(int32_t{3}));
  EXPECT_EQ(messenger->sent.size(), 1u);
}

#if QX_CHECKED
using ChannelPlumbingDeathTest = PlatformTest;

TEST_F(ChannelPlumbingDeathTest, EveryKindOfHandlerStopsOffTheMainThread) {
  auto messenger = std::make_shared<CapturingMessenger>();
  auto methods = FlutterMethodChannel::methodChannelWithName("t/m", messenger);
  methods->setMethodCallHandler([](const FlutterMethodCall&, FlutterResult result) { result(Value()); });
  FlutterEventChannel::eventChannelWithName("t/e", messenger)
      ->setStreamHandler(std::make_shared<KeepingStream>());
  FlutterBasicMessageChannel::messageChannelWithName("t/b", messenger)
      ->setMessageHandler([](const Value& v, FlutterMessageReply reply) { reply(v); });
  const std::pair<const char*, const char*> kinds[] = {
      {"t/m", "method channel handler"},
      {"t/e", "event channel handler"},
      {"t/b", "message channel handler"}};
  for (const auto& [channel, what] : kinds) {
    EXPECT_DEATH(
        {
          std::thread t([&, channel = channel] { messenger->deliver(channel, Call("x")); });
          t.join();
        },
        std::string(what) + " must be called on the main thread");
  }
}
#endif

}  // namespace

}  // namespace channel_plumbing_test
