#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/foundation/NSNotification.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/uikit/UIDevice.h"
#include "support/ScriptedLocations.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/ScriptedSystemInfo.h"

namespace ui_device_test {

namespace {

// A power_supply class folder: a mains adapter and one battery, as sysfs
// lays them out.
class FakePowerSupply {
 public:
  FakePowerSupply() {
    folder_.writeFile("AC/type", std::string("Mains\n"));
    folder_.writeFile("AC/online", std::string("1\n"));
  }
  void setBattery(const std::string& capacity, const std::string& status) {
    folder_.writeFile("BAT0/type", std::string("Battery\n"));
    folder_.writeFile("BAT0/capacity", capacity + "\n");
    folder_.writeFile("BAT0/status", status + "\n");
  }
  const std::string& path() const { return folder_.path(); }

 private:
  TempFolder folder_;
};

class BatteryNotifications {
 public:
  BatteryNotifications() {
    auto& center = NSNotificationCenter::defaultCenter();
    center.addObserver(this, UIDeviceBatteryStateDidChangeNotification, nullptr,
                       [this](const NSNotification& n) {
                         states++;
                         senders.push_back(n.object);
                       });
    center.addObserver(this, UIDeviceBatteryLevelDidChangeNotification, nullptr,
                       [this](const NSNotification&) { levels++; });
  }
  ~BatteryNotifications() { NSNotificationCenter::defaultCenter().removeObserver(this); }
  int states = 0;
  int levels = 0;
  std::vector<std::shared_ptr<NSObject>> senders;
};

// XXXXXXXX-XXXX-4XXX-[89AB]XXX-XXXXXXXXXXXX in upper-case hexadecimal.
bool isVersion4UUID(const std::string& s) {
  if (s.size() != 36 || s[14] != '4' || std::string("89AB").find(s[19]) == std::string::npos) {
    return false;
  }
  for (size_t i = 0; i < s.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    bool hex = std::isdigit(static_cast<unsigned char>(s[i])) || (s[i] >= 'A' && s[i] <= 'F');
    if (dash ? s[i] != '-' : !hex) return false;
  }
  return true;
}

class UIDeviceTest : public PlatformTest {
 protected:
  void TearDown() override {
    device->setBatteryMonitoringEnabled(false);
    PlatformTest::TearDown();
  }
  std::shared_ptr<UIDevice> device = std::make_shared<UIDevice>();
};

TEST_F(UIDeviceTest, ReadsTheBatteryOfAPowerSupplyFolder) {
  FakePowerSupply supply;
  supply.setBattery("57", "Discharging");
  device->setBatteryProvider(std::make_shared<UIPowerSupplyBattery>(supply.path()));

  // Without monitoring the platform reports nothing.
  EXPECT_EQ(device->batteryState(), UIDeviceBatteryState::Unknown);
  EXPECT_EQ(device->batteryLevel(), -1.0f);

  device->setBatteryMonitoringEnabled(true);
  EXPECT_EQ(device->batteryState(), UIDeviceBatteryState::Unplugged);
  EXPECT_FLOAT_EQ(device->batteryLevel(), 0.57f);

  struct Case {
    const char* capacity;
    const char* status;
    UIDeviceBatteryState state;
  } cases[] = {
      {"80", "Charging", UIDeviceBatteryState::Charging},
      {"100", "Full", UIDeviceBatteryState::Full},
      {"100", "Not charging", UIDeviceBatteryState::Full},
      {"80", "Not charging", UIDeviceBatteryState::Charging},
      {"80", "Unknown", UIDeviceBatteryState::Unknown},
  };
  for (const auto& c : cases) {
    supply.setBattery(c.capacity, c.status);
    device->refreshBattery();
    EXPECT_EQ(device->batteryState(), c.state) << c.status << " at " << c.capacity;
  }

  supply.setBattery("garbage", "Charging");
  device->refreshBattery();
  EXPECT_EQ(device->batteryLevel(), -1.0f);
}

TEST_F(UIDeviceTest, AMachineWithoutBatteryReportsUnknown) {
  FakePowerSupply supply;  // mains only
  device->setBatteryProvider(std::make_shared<UIPowerSupplyBattery>(supply.path()));
  device->setBatteryMonitoringEnabled(true);
  EXPECT_EQ(device->batteryState(), UIDeviceBatteryState::Unknown);
  EXPECT_EQ(device->batteryLevel(), -1.0f);

  device->setBatteryProvider(std::make_shared<UIPowerSupplyBattery>(supply.path() + "/missing"));
  EXPECT_EQ(device->batteryState(), UIDeviceBatteryState::Unknown);
}

TEST_F(UIDeviceTest, PollingPostsChangesOnlyWhileMonitoring) {
  FakePowerSupply supply;
  supply.setBattery("50", "Discharging");
  device->setBatteryProvider(std::make_shared<UIPowerSupplyBattery>(supply.path()));
  BatteryNotifications seen;

  device->setBatteryMonitoringEnabled(true);
  EXPECT_EQ(seen.states, 0) << "turning monitoring on is not a change";

  supply.setBattery("50", "Charging");
  PlatformClock::advance(UIDevice::kBatteryPollInterval - 0.5);
  EXPECT_EQ(seen.states, 0) << "noticed before the poll";
  PlatformClock::advance(0.5);
  EXPECT_EQ(seen.states, 1);
  EXPECT_EQ(seen.levels, 0);
  ASSERT_EQ(seen.senders.size(), 1u);
  EXPECT_EQ(seen.senders[0].get(), device.get());
  EXPECT_EQ(device->batteryState(), UIDeviceBatteryState::Charging);

  supply.setBattery("51", "Charging");
  PlatformClock::advance(UIDevice::kBatteryPollInterval);
  EXPECT_EQ(seen.states, 1);
  EXPECT_EQ(seen.levels, 1);

  PlatformClock::advance(UIDevice::kBatteryPollInterval * 3);
  EXPECT_EQ(seen.states, 1) << "an unchanged battery posts nothing";
  EXPECT_EQ(seen.levels, 1);

  device->setBatteryMonitoringEnabled(false);
  supply.setBattery("20", "Discharging");
  PlatformClock::advance(UIDevice::kBatteryPollInterval * 3);
  EXPECT_EQ(seen.states, 1);
  EXPECT_EQ(seen.levels, 1);
}

TEST_F(UIDeviceTest, VendorIdentifierIsStableForTheInstallation) {
  TempFolder container;
  ScriptedLocations::installed().setContainerRoot(container.path());
  auto first = device->identifierForVendor();
  ASSERT_TRUE(first.has_value());
  EXPECT_TRUE(isVersion4UUID(*first)) << *first;

  // Another process (another device object) reads the stored value.
  auto again = std::make_shared<UIDevice>();
  EXPECT_EQ(again->identifierForVendor(), first);

  // A damaged file is replaced by a new identifier.
  container.writeFile("Library/.identifierForVendor", std::string("not a uuid\n"));
  auto third = std::make_shared<UIDevice>();
  auto replaced = third->identifierForVendor();
  ASSERT_TRUE(replaced.has_value());
  EXPECT_NE(replaced, first);

  // Nowhere to keep it: no identifier rather than one that changes every run.
  std::string blocker = container.writeFile("file", std::string("x"));
  auto nowhere = std::make_shared<UIDevice>();
  ScriptedLocations::installed().setContainerRoot(blocker + "/sub");
  EXPECT_FALSE(nowhere->identifierForVendor().has_value());
}

TEST_F(UIDeviceTest, NamesAndSystemVersion) {
  auto system = ScriptedSystemInfo::install();
  system->setOperatingSystemVersion({17, 0, 0});
  EXPECT_EQ(device->systemVersion(), "17.0");
  system->setOperatingSystemVersion({16, 4, 1});
  EXPECT_EQ(device->systemVersion(), "16.4.1");

  EXPECT_EQ(device->systemName(), "iOS");
  EXPECT_EQ(device->model(), "iPhone");
  device->setUserInterfaceIdiom(UIUserInterfaceIdiomPad);
  EXPECT_EQ(device->model(), "iPad");
  EXPECT_EQ(device->localizedModel(), "iPad");

  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  EXPECT_EQ(device->name(), host);
}

}  // namespace

}  // namespace ui_device_test
