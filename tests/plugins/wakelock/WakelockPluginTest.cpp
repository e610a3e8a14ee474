#include <gtest/gtest.h>

#include "plugins/wakelock/internal/UIApplicationIdleTimerLock.h"
#include "plugins/wakelock/WakelockPlugin.h"
#include "support/TestEnvironment.h"
#include "support/engine/TestPeer.h"

// Readable failures.
void PrintTo(const Value& value, std::ostream* os) { *os << value.description(); }

namespace wakelock_plugin_test {

namespace {

const std::string kToggle = "dev.flutter.pigeon.wakelock_platform_interface.WakelockApi.toggle";
const std::string kIsEnabled =
    "dev.flutter.pigeon.wakelock_platform_interface.WakelockApi.isEnabled";
const Value kVoid = Value::list({Value()});

Value toggleMessage(std::optional<bool> enable) {
  return Value(std::shared_ptr<NSObject>(WAKELOCKToggleMessage::makeWithEnable(enable)));
}

class Wakelock : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    WakelockPlugin::registerWithRegistrar(peer_.registrar("WakelockPlugin"));
  }
  void TearDown() override {
    // The application object outlives the test: leave it unlocked and idle.
    lock_idleTimerlockEnable(*app_, false);
    lock_setIdleTimerDisabled(*app_, false);
    PlatformTest::TearDown();
  }
  Value send(const std::string& channel, const Value& message) {
    auto reply = peer_.message(channel, message, WAKELOCKGetMessagesCodec());
    EXPECT_TRUE(reply.has_value()) << channel;
    return reply.value_or(Value("no reply"));
  }
  Value toggle(std::optional<bool> enable) {
    return send(kToggle, Value::list({toggleMessage(enable)}));
  }
  // What "isEnabled" reports, through the codec.
  std::optional<bool> reported() {
    Value reply = send(kIsEnabled, Value());
    EXPECT_EQ(reply.size(), 1u);
    auto message = reply.at(0) ? reply.at(0)->objectAs<WAKELOCKIsEnabledMessage>() : nullptr;
    EXPECT_TRUE(message);
    return message ? message->enabled() : std::nullopt;
  }

  TestPeer peer_;
  std::shared_ptr<UIApplication> app_ = UIApplication::sharedApplication();
};

TEST_F(Wakelock, ToggleOnHoldsAgainstOtherComponents) {
  EXPECT_EQ(reported(), std::optional<bool>(false));
  EXPECT_EQ(toggle(true), kVoid);
  EXPECT_TRUE(app_->isIdleTimerDisabled());
  EXPECT_TRUE(lock_idleTimerlockEnable(*app_));

  app_->setIdleTimerDisabled(false);  // someone else
  EXPECT_TRUE(app_->isIdleTimerDisabled());
  EXPECT_EQ(reported(), std::optional<bool>(true));

  EXPECT_EQ(toggle(true), kVoid);
  EXPECT_TRUE(lock_idleTimerlockEnable(*app_));
  EXPECT_TRUE(app_->isIdleTimerDisabled());

  EXPECT_EQ(toggle(false), kVoid);
  EXPECT_FALSE(app_->isIdleTimerDisabled());
  EXPECT_FALSE(lock_idleTimerlockEnable(*app_));
  app_->setIdleTimerDisabled(true);  // unlocked: others may change it again
  EXPECT_EQ(reported(), std::optional<bool>(true));
}

TEST_F(Wakelock, ToggleOffAndAbsentValuesSwitchTheIdleTimerBackOn) {
  app_->setIdleTimerDisabled(true);  // another component, wakelock never on
  EXPECT_EQ(reported(), std::optional<bool>(true));
  EXPECT_EQ(toggle(false), kVoid);
  EXPECT_FALSE(app_->isIdleTimerDisabled());

  toggle(true);
  EXPECT_EQ(send(kToggle, Value::list({Value()})), kVoid);  // null message
  EXPECT_FALSE(app_->isIdleTimerDisabled());
  toggle(true);
  EXPECT_EQ(toggle(std::nullopt), kVoid);  // message without a value
  EXPECT_FALSE(app_->isIdleTimerDisabled());
  EXPECT_FALSE(lock_idleTimerlockEnable(*app_));
}

TEST_F(Wakelock, CodecBytesAndMalformedRequests) {
  auto codec = WAKELOCKGetMessagesCodec();
  EXPECT_EQ(codec->encode(toggleMessage(true)), (Bytes{0x81, 0x0C, 0x01, 0x01}));
  EXPECT_EQ(codec->encode(Value(std::shared_ptr<NSObject>(
                WAKELOCKIsEnabledMessage::makeWithEnabled(std::nullopt)))),
            (Bytes{0x82, 0x0C, 0x01, 0x00}));
  auto decoded = codec->decode(Bytes{0x82, 0x0C, 0x01, 0x02}).objectAs<WAKELOCKIsEnabledMessage>();
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->enabled(), std::optional<bool>(false));

  auto isInvalid = [](const Value& reply) {
    return reply.size() == 3 && *reply.at(0) == Value(PigeonInvalidRequestCode);
  };
  EXPECT_TRUE(isInvalid(send(kToggle, Value())));
  EXPECT_TRUE(isInvalid(send(kToggle, Value::list({}))));
  EXPECT_TRUE(isInvalid(send(kToggle, Value::list({true}))));
  // Type 129 whose payload is a string rather than [enable].
  auto reply = peer_.raw(kToggle, Bytes{0x0C, 0x01, 0x81, 0x07, 0x02, 'o', 'n'});
  ASSERT_TRUE(reply && !reply->empty());
  EXPECT_TRUE(isInvalid(codec->decode(*reply)));
  EXPECT_FALSE(app_->isIdleTimerDisabled());

  // A message of the other type, and one nested in a malformed payload, are
  // named by their class: the message is the same on every run.
  auto isEnabled = [] {
    return Value(std::shared_ptr<NSObject>(WAKELOCKIsEnabledMessage::makeWithEnabled(true)));
  };
  Value wrongType = send(kToggle, Value::list({isEnabled()}));
  ASSERT_TRUE(isInvalid(wrongType));
  EXPECT_EQ(*wrongType.at(1),
            Value("Argument 0 of " + kToggle + " is of another type: <WAKELOCKIsEnabledMessage>"));
  EXPECT_EQ(send(kToggle, Value::list({isEnabled()})), wrongType);
  // Type 129 whose payload holds a type 130 message: [<130 [true]>].
  reply = peer_.raw(kToggle, Bytes{0x0C, 0x01, 0x81, 0x0C, 0x01, 0x82, 0x0C, 0x01, 0x01});
  ASSERT_TRUE(reply && !reply->empty());
  Value nested = codec->decode(*reply);
  ASSERT_TRUE(isInvalid(nested));
  EXPECT_NE(nested.at(1)->asString().find("got [<WAKELOCKIsEnabledMessage>]"), std::string::npos)
      << nested.at(1)->asString();
}

class FailingApi : public WAKELOCKWakelockApi {
 public:
  void toggleMsg(const std::shared_ptr<WAKELOCKToggleMessage>&, FlutterErrorPtr* error) override {
    *error = FlutterError::errorWithCode("denied", std::nullopt);
  }
  std::shared_ptr<WAKELOCKIsEnabledMessage> isEnabledWithError(FlutterErrorPtr*) override {
    return WAKELOCKIsEnabledMessage::makeWithEnabled(true);
  }
};

TEST_F(Wakelock, SetUpWithSuffixErrorsAndNoApi) {
  auto messenger = peer_.registrar("Other")->messenger();
  SetUpWAKELOCKWakelockApiWithSuffix(messenger, std::make_shared<FailingApi>(), "x");
  EXPECT_EQ(send(kToggle + ".x", Value::list({toggleMessage(true)})),
            Value::list({"denied", Value(), Value()}));
  EXPECT_TRUE(peer_.engine()->hasHandler(kIsEnabled + ".x"));

  SetUpWAKELOCKWakelockApi(messenger, nullptr);
  EXPECT_FALSE(peer_.engine()->hasHandler(kToggle));
  EXPECT_FALSE(peer_.engine()->hasHandler(kIsEnabled));
  EXPECT_TRUE(peer_.engine()->hasHandler(kToggle + ".x"));
}

}  // namespace

}  // namespace wakelock_plugin_test
