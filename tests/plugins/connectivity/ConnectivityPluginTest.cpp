#include <gtest/gtest.h>

#include "platform/foundation/NSProcessInfo.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/network/NWPathMonitor.h"
#include "platform/uikit/UIApplication.h"
#include "plugins/connectivity/ConnectivityPlugin.h"
#include "plugins/connectivity/internal/PathMonitorConnectivityProvider.h"
#include "support/TestEnvironment.h"
#include "support/engine/TestPeer.h"
#include "support/ui/ScriptedApplicationState.h"
#include "support/ScriptedSystemInfo.h"

namespace connectivity_plugin_test {

namespace {

const std::string kChannel = "dev.tarnquell.plugins/connectivity";
const std::string kStream = "dev.tarnquell.plugins/connectivity_status";

NWInterface wifi{"wlan0", NWInterfaceType::wifi, 3};
NWInterface cellular{"wwan0", NWInterfaceType::cellular, 4};
NWInterface wired{"eth0", NWInterfaceType::wiredEthernet, 2};
NWInterface tunnel{"tun0", NWInterfaceType::other, 5};

NWPath satisfied(std::vector<NWInterface> interfaces, bool ultraConstrained = false) {
  return NWPath(NWPathStatus::satisfied, std::move(interfaces), ultraConstrained);
}

Value names(std::initializer_list<const char*> list) {
  ValueList values;
  for (const char* n : list) values.emplace_back(n);
  return Value(std::move(values));
}

class ConnectivityPluginTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    NWPathMonitor::setDefaultPathProvider(paths);
    provider = PathMonitorConnectivityProvider::create();
    ConnectivityPlugin::registerWithRegistrar(peer.registrar("ConnectivityPlugin"), provider);
  }
  void TearDown() override {
    NWPathMonitor::setDefaultPathProvider(nullptr);
    PlatformTest::TearDown();
  }
  // Lets the provider's queue and then the main queue finish what they hold.
  void settle() {
    dispatch_sync(provider->queue(), [] {});
    NSRunLoop::mainRunLoop().runUntilIdle();
  }
  Value check() {
    auto o = peer.call(kChannel, "check");
    EXPECT_TRUE(IsSuccess(o));
    return o.result;
  }
  std::vector<Value> eventValues() {
    settle();
    std::vector<Value> values;
    for (const auto& e : peer.events(kStream)) values.push_back(e.value);
    return values;
  }

  std::shared_ptr<NWScriptedPathProvider> paths =
      std::make_shared<NWScriptedPathProvider>(satisfied({wired}));
  std::shared_ptr<PathMonitorConnectivityProvider> provider;
  TestPeer peer;
};

TEST_F(ConnectivityPluginTest, CheckListsTypesInOrder) {
  struct Case {
    NWPath path;
    Value expected;
  } cases[] = {
      {satisfied({wired}), names({"ethernet"})},
      {satisfied({cellular, wifi}), names({"wifi", "mobile"})},
      {satisfied({wired, cellular, wifi}), names({"wifi", "mobile", "ethernet"})},
      {satisfied({tunnel, wired, wired}), names({"ethernet", "other"})},
      {NWPath(NWPathStatus::unsatisfied, {wifi}), names({"none"})},
      {NWPath(NWPathStatus::requiresConnection, {wifi}), names({"none"})},
      {satisfied({{"lo", NWInterfaceType::loopback, 1}}), names({"none"})},
      {satisfied({}), names({"none"})},
  };
  for (const auto& c : cases) {
    paths->setPath(c.path);
    settle();
    EXPECT_EQ(check(), c.expected) << c.path.description();
  }
  EXPECT_EQ(peer.call(kChannel, "check", Value("unused")).result, names({"none"}));
  EXPECT_TRUE(IsNotImplemented(peer.call(kChannel, "checkConnectivity")));
}

TEST_F(ConnectivityPluginTest, SatelliteOnlyFromSystem26) {
  paths->setPath(satisfied({wifi}, true));
  settle();
  auto system = ScriptedSystemInfo::install();
  system->setOperatingSystemVersion({25, 9, 9});
  EXPECT_EQ(check(), names({"wifi"}));
  system->setOperatingSystemVersion({26, 0, 0});
  EXPECT_EQ(check(), names({"wifi", "satellite"}));
  paths->setPath(satisfied({}, true));
  settle();
  EXPECT_EQ(check(), names({"satellite"}));
}

TEST_F(ConnectivityPluginTest, StreamSendsOneEventAtListenThenEachChange) {
  ASSERT_TRUE(IsSuccess(peer.listen(kStream)));
  EXPECT_EQ(eventValues(), std::vector<Value>{names({"ethernet"})});

  // The monitor reports the path as it finds it when it looks, so each change
  // is let through before the next.
  paths->setPath(satisfied({wifi}));
  settle();
  paths->setPath(satisfied({wifi}));  // no change
  settle();
  paths->setPath(NWPath());
  EXPECT_EQ(eventValues(),
            (std::vector<Value>{names({"ethernet"}), names({"wifi"}), names({"none"})}));
}

TEST_F(ConnectivityPluginTest, BackgroundChangesAreDropped) {
  ASSERT_TRUE(IsSuccess(peer.listen(kStream)));
  ASSERT_EQ(eventValues().size(), 1u);

  auto system = ScriptedApplicationState::install();
  system->set(UIApplicationState::Background);
  paths->setPath(satisfied({wifi}));
  EXPECT_EQ(eventValues().size(), 1u);
  system->set(UIApplicationState::Active);
  EXPECT_EQ(eventValues().size(), 1u) << "returning to the foreground brings nothing back";

  paths->setPath(satisfied({cellular}));
  auto values = eventValues();
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[1], names({"mobile"}));
}

TEST_F(ConnectivityPluginTest, CancelStopsMonitoringAndCheckRestartsIt) {
  EXPECT_EQ(paths->watchCount(), 1u) << "monitoring from registration on";
  ASSERT_TRUE(IsSuccess(peer.listen(kStream)));
  ASSERT_TRUE(IsSuccess(peer.cancel(kStream)));
  EXPECT_EQ(paths->watchCount(), 0u);

  paths->setPath(satisfied({wifi}));
  EXPECT_EQ(check(), names({"wifi"})) << "answered from a fresh monitor";
  EXPECT_EQ(paths->watchCount(), 1u);
  paths->setPath(satisfied({cellular}));
  EXPECT_EQ(eventValues().size(), 1u) << "no listener, no events";

  ASSERT_TRUE(IsSuccess(peer.listen(kStream)));
  auto values = eventValues();
  ASSERT_EQ(values.size(), 2u);
  EXPECT_EQ(values[1], names({"mobile"}));
  EXPECT_EQ(paths->watchCount(), 1u);
}

using ConnectivityPluginDetachTest = PlatformTest;

TEST_F(ConnectivityPluginDetachTest, EngineGoingAwayStopsMonitoring) {
  auto paths = std::make_shared<NWScriptedPathProvider>(satisfied({wifi}));
  NWPathMonitor::setDefaultPathProvider(paths);
  {
    TestPeer peer;
    ConnectivityPlugin::registerWithRegistrar(peer.registrar("ConnectivityPlugin"));
    EXPECT_EQ(peer.call(kChannel, "check").result, names({"wifi"}));
    ASSERT_TRUE(IsSuccess(peer.listen(kStream)));
    EXPECT_EQ(paths->watchCount(), 1u);
  }
  EXPECT_EQ(paths->watchCount(), 0u);
  NWPathMonitor::setDefaultPathProvider(nullptr);
}

}  // namespace

}  // namespace connectivity_plugin_test
