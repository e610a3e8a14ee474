#include <gtest/gtest.h>

#include <string>

#include "platform/foundation/NSProcessInfo.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/uikit/UIDevice.h"
#include "plugins/battery/TQBatteryPlugin.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/engine/TestPeer.h"
#include "support/ui/ScriptedBattery.h"
#include "support/ScriptedSystemInfo.h"

namespace tq_battery_plugin_test {

namespace {

const std::string kChannel = "dev.tarnquell.plugins/battery";
const std::string kStream = "dev.tarnquell.plugins/charging";

class TQBatteryPluginTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    device()->setBatteryMonitoringEnabled(false);
    battery = ScriptedBattery::installOn(device());
    TQBatteryPlugin::registerWithRegistrar(peer.registrar("TQBatteryPlugin"));
  }
  void TearDown() override {
    device()->setBatteryMonitoringEnabled(false);
    device()->setBatteryProvider(nullptr);
    NSRunLoop::mainRunLoop().runUntilIdle();
    PlatformTest::TearDown();
  }
  static std::shared_ptr<UIDevice> device() { return UIDevice::currentDevice(); }
  std::shared_ptr<ScriptedBattery> battery;
  size_t eventCount() {
    NSRunLoop::mainRunLoop().runUntilIdle();
    return peer.events(kStream).size();
  }

  TestPeer peer;
};

TEST_F(TQBatteryPluginTest, LevelAndStateReplies) {
  auto level = peer.call(kChannel, "getBatteryLevel");
  ASSERT_TRUE(IsError(level, "UNAVAILABLE"));
  EXPECT_EQ(level.message, "Battery info unavailable");
  EXPECT_TRUE(level.details.isNull());
  auto state = peer.call(kChannel, "getBatteryState");
  ASSERT_TRUE(IsSuccess(state));
  EXPECT_EQ(state.result, Value("unknown"));
  EXPECT_TRUE(device()->isBatteryMonitoringEnabled()) << "a request turns monitoring on";

  struct Case {
    UIDeviceBatteryState state;
    float level;
    int percent;
    const char* name;
  } cases[] = {
      {UIDeviceBatteryState::Unplugged, 0.5f, 50, "discharging"},
      {UIDeviceBatteryState::Charging, 0.999f, 99, "charging"},
      {UIDeviceBatteryState::Charging, 0.07f, 7, "charging"},
      {UIDeviceBatteryState::Full, 1.0f, 100, "full"},
  };
  for (const auto& c : cases) {
    battery->set(c.state, c.level);
    level = peer.call(kChannel, "getBatteryLevel", Value("ignored argument"));
    ASSERT_TRUE(IsSuccess(level)) << c.name;
    EXPECT_EQ(level.result, Value(c.percent)) << c.level;
    state = peer.call(kChannel, "getBatteryState", Value::map({{"any", Value(1)}}));
    ASSERT_TRUE(IsSuccess(state));
    EXPECT_EQ(state.result, Value(c.name));
  }

  // A state the platform has no name for.
  battery->set(static_cast<UIDeviceBatteryState>(7), 0.3f);
  state = peer.call(kChannel, "getBatteryState");
  ASSERT_TRUE(IsError(state, "UNAVAILABLE"));
  EXPECT_EQ(state.message, "Charging status unavailable");
  EXPECT_EQ(peer.call(kChannel, "getBatteryLevel").result, Value(30));
}

TEST_F(TQBatteryPluginTest, SaveModeAndUnknownMethods) {
  EXPECT_EQ(peer.call(kChannel, "isInBatterySaveMode").result, Value(false));
  ScriptedSystemInfo::install()->setLowPowerModeEnabled(true);
  EXPECT_EQ(peer.call(kChannel, "isInBatterySaveMode").result, Value(true));
  EXPECT_TRUE(IsNotImplemented(peer.call(kChannel, "getBatteryLevel ")));
  EXPECT_TRUE(IsNotImplemented(peer.call(kChannel, "getbatterylevel")));
  EXPECT_TRUE(IsNotImplemented(peer.call(kChannel, "")));
}

TEST_F(TQBatteryPluginTest, StreamSendsOneEventAtListenThenChanges) {
  battery->set(UIDeviceBatteryState::Unplugged, 0.4f);
  ASSERT_TRUE(IsSuccess(peer.listen(kStream)));
  ASSERT_EQ(eventCount(), 1u);
  EXPECT_EQ(peer.events(kStream)[0].value, Value("discharging"));

  battery->set(UIDeviceBatteryState::Unplugged, 0.3f);
  EXPECT_EQ(eventCount(), 1u) << "a level change is not a state change";
  battery->set(UIDeviceBatteryState::Charging, 0.3f);
  ASSERT_EQ(eventCount(), 2u);
  EXPECT_EQ(peer.events(kStream)[1].value, Value("charging"));

  battery->set(static_cast<UIDeviceBatteryState>(9), 0.3f);
  ASSERT_EQ(eventCount(), 3u);
  EXPECT_EQ(peer.events(kStream)[2].kind, FlutterStreamEvent::Kind::Error);
  EXPECT_EQ(peer.events(kStream)[2].code, "UNAVAILABLE");
  EXPECT_EQ(peer.events(kStream)[2].message, "Charging status unavailable");

  ASSERT_TRUE(IsSuccess(peer.cancel(kStream)));
  EXPECT_FALSE(device()->isBatteryMonitoringEnabled());
  battery->set(UIDeviceBatteryState::Full, 1.0f);
  EXPECT_EQ(eventCount(), 3u) << "nothing after cancel";

  // A request turns monitoring back on without reviving the stream.
  EXPECT_EQ(peer.call(kChannel, "getBatteryState").result, Value("full"));
  EXPECT_TRUE(device()->isBatteryMonitoringEnabled());
  battery->set(UIDeviceBatteryState::Unplugged, 0.9f);
  EXPECT_EQ(eventCount(), 3u);

  // Listening again starts over with one event.
  ASSERT_TRUE(IsSuccess(peer.listen(kStream)));
  ASSERT_EQ(eventCount(), 4u);
  EXPECT_EQ(peer.events(kStream)[3].value, Value("discharging"));
}

TEST_F(TQBatteryPluginTest, StreamFollowsThePowerSupplyThroughPolling) {
  TempFolder supply;
  supply.writeFile("BAT1/type", std::string("Battery\n"));
  supply.writeFile("BAT1/capacity", std::string("64\n"));
  supply.writeFile("BAT1/status", std::string("Discharging\n"));
  device()->setBatteryProvider(std::make_shared<UIPowerSupplyBattery>(supply.path()));

  EXPECT_EQ(peer.call(kChannel, "getBatteryLevel").result, Value(64));
  ASSERT_TRUE(IsSuccess(peer.listen(kStream)));
  ASSERT_EQ(eventCount(), 1u);

  supply.writeFile("BAT1/status", std::string("Charging\n"));
  EXPECT_EQ(eventCount(), 1u) << "not before the next poll";
  PlatformClock::advance(UIDevice::kBatteryPollInterval);
  ASSERT_EQ(eventCount(), 2u);
  EXPECT_EQ(peer.events(kStream)[1].value, Value("charging"));

  ASSERT_TRUE(IsSuccess(peer.cancel(kStream)));
  supply.writeFile("BAT1/status", std::string("Full\n"));
  PlatformClock::advance(UIDevice::kBatteryPollInterval * 2);
  EXPECT_EQ(eventCount(), 2u);
}

}  // namespace

}  // namespace tq_battery_plugin_test
