#include <gtest/gtest.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/mach/MachHost.h"
#include "support/ScriptedSystemInfo.h"
#include "platform/uikit/UIDevice.h"
#include "plugins/device_info/internal/DeviceIdentifiers.h"
#include "plugins/device_info/TQDeviceInfoPlugin.h"
#include "support/ScriptedLocations.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/engine/TestPeer.h"

namespace tq_device_info_plugin_test {

namespace {

const std::string kChannel = "dev.tarnquell.plugins/device_info";
constexpr int64_t kFreeToleranceBytes = 256ll << 20;

int64_t meminfoKiB(const std::string& key) {
  std::ifstream in("/proc/meminfo");
  std::string name, unit;
  int64_t kib = 0;
  while (in >> name >> kib) {
    std::getline(in, unit);
    if (name == key + ":") return kib;
  }
  return -1;
}

class TQDeviceInfoPluginTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    ScriptedLocations::installed().setContainerRoot(container.path());
    TQDeviceInfoPlugin::registerWithRegistrar(peer.registrar("TQDeviceInfoPlugin"));
  }
  void TearDown() override {
    ScriptedLocations::installed().setContainerRoot("");
    PlatformTest::TearDown();
  }
  Value info() {
    auto o = peer.call(kChannel, "getDeviceInfo");
    EXPECT_TRUE(IsSuccess(o));
    return o.result;
  }
  static int64_t integer(const Value& map, const char* key) {
    const Value* v = map.find(key);
    EXPECT_TRUE(v && v->isInteger()) << key;
    return v ? v->asInt64() : 0;
  }

  TempFolder container;
  TestPeer peer;
};

TEST_F(TQDeviceInfoPluginTest, ReplyDescribesThisMachine) {
  int64_t freeBefore = meminfoKiB("MemFree");
  Value map = info();
  int64_t freeAfter = meminfoKiB("MemFree");

  std::vector<std::string> keys;
  for (const auto& [key, value] : map.asMap()) keys.push_back(key.asString());
  EXPECT_EQ(keys, (std::vector<std::string>{"name", "systemName", "systemVersion", "model",
                                            "localizedModel", "modelName", "identifierForVendor",
                                            "freeDiskSize", "totalDiskSize", "isPhysicalDevice",
                                            "isiOSAppOnMac", "isiOSAppOnVision", "physicalRamSize",
                                            "availableRamSize", "utsname"}));

  utsname names{};
  ASSERT_EQ(::uname(&names), 0);
  const Value* uts = map.find("utsname");
  ASSERT_TRUE(uts && uts->isMap());
  EXPECT_EQ(uts->size(), 5u);
  EXPECT_EQ(*uts->find("sysname"), Value(names.sysname));
  EXPECT_EQ(*uts->find("nodename"), Value(names.nodename));
  EXPECT_EQ(*uts->find("release"), Value(names.release));
  EXPECT_EQ(*uts->find("version"), Value(names.version));
  EXPECT_EQ(*uts->find("machine"), Value(names.machine));
  EXPECT_EQ(*map.find("modelName"),
            Value(DeviceIdentifiers::userKnownDeviceModel(std::string(names.machine))));

  auto device = UIDevice::currentDevice();
  EXPECT_EQ(*map.find("name"), Value(device->name()));
  EXPECT_EQ(*map.find("systemName"), Value("iOS"));
  EXPECT_EQ(*map.find("systemVersion"), Value(device->systemVersion()));
  EXPECT_EQ(*map.find("model"), Value("iPhone"));
  EXPECT_EQ(*map.find("localizedModel"), Value("iPhone"));
  const Value* vendor = map.find("identifierForVendor");
  ASSERT_TRUE(vendor->isString());
  const std::string& uuid = vendor->asString();
  EXPECT_EQ(uuid.size(), 36u);
  EXPECT_TRUE(std::all_of(uuid.begin(), uuid.end(), [](char c) {
    return c == '-' || std::isdigit(static_cast<unsigned char>(c)) || (c >= 'A' && c <= 'F');
  })) << uuid;
  EXPECT_EQ(info().find("identifierForVendor")->asString(), vendor->asString());
  EXPECT_EQ(*map.find("isPhysicalDevice"), Value(true));
  EXPECT_EQ(*map.find("isiOSAppOnMac"), Value(false));
  EXPECT_EQ(*map.find("isiOSAppOnVision"), Value(false));

  // The file system of the home folder, as df reports it.
  struct statvfs fs {};
  ASSERT_EQ(::statvfs(NSHomeDirectory().c_str(), &fs), 0);
  EXPECT_EQ(integer(map, "totalDiskSize"), static_cast<int64_t>(fs.f_blocks * fs.f_frsize));
  EXPECT_NEAR(static_cast<double>(integer(map, "freeDiskSize")),
              static_cast<double>(fs.f_bavail * fs.f_frsize), kFreeToleranceBytes);

  EXPECT_NEAR(static_cast<double>(integer(map, "physicalRamSize")),
              static_cast<double>(meminfoKiB("MemTotal") >> 10), 1.0);
  int64_t available = integer(map, "availableRamSize");
  EXPECT_GE(available, (std::min(freeBefore, freeAfter) >> 10) - (kFreeToleranceBytes >> 20));
  EXPECT_LE(available, (std::max(freeBefore, freeAfter) >> 10) + (kFreeToleranceBytes >> 20));
}

TEST_F(TQDeviceInfoPluginTest, FailuresAndLargeFigures) {
  TempFolder folder;
  MachHostSetMemoryProvider(std::make_shared<MachMeminfoFile>(
      folder.writeFile("meminfo", std::string("MemFree: 8388608 kB\n"))));
  EXPECT_EQ(integer(info(), "availableRamSize"), 8192) << "8 GiB free does not wrap";
  MachHostSetMemoryProvider(std::make_shared<MachMeminfoFile>(folder.path() + "/missing"));
  EXPECT_EQ(integer(info(), "availableRamSize"), -1);

  // A home below a plain file can be neither made nor measured.
  std::string plain = folder.writeFile("plain", std::string("x"));
  ScriptedLocations::installed().setContainerRoot(plain + "/home");
  Value map = info();
  EXPECT_EQ(integer(map, "freeDiskSize"), -1);
  EXPECT_EQ(integer(map, "totalDiskSize"), -1);
  EXPECT_TRUE(map.find("identifierForVendor")->isNull());
}

TEST_F(TQDeviceInfoPluginTest, PlatformFlagsFollowTheSystemVersion) {
  auto system = ScriptedSystemInfo::install();
  system->setiOSAppOnMac(true);
  system->setiOSAppOnVision(true);
  struct Case {
    NSOperatingSystemVersion version;
    bool mac;
    bool vision;
  } cases[] = {
      {{13, 7, 0}, false, false},
      {{14, 0, 0}, true, false},
      {{26, 0, 0}, true, false},
      {{26, 1, 0}, true, true},
  };
  for (const auto& c : cases) {
    system->setOperatingSystemVersion(c.version);
    Value map = info();
    EXPECT_EQ(*map.find("isiOSAppOnMac"), Value(c.mac)) << c.version.majorVersion;
    EXPECT_EQ(*map.find("isiOSAppOnVision"), Value(c.vision)) << c.version.majorVersion;
  }
}

TEST_F(TQDeviceInfoPluginTest, OtherMethodsAreNotImplemented) {
  EXPECT_TRUE(IsNotImplemented(peer.call(kChannel, "getDeviceinfo")));
  EXPECT_TRUE(IsNotImplemented(peer.call(kChannel, "getAll")));
  // Arguments are not read, whatever they hold.
  EXPECT_TRUE(IsSuccess(peer.call(kChannel, "getDeviceInfo", Value::list({Value(1.5)}))));
}

using DeviceIdentifiersTest = PlatformTest;

TEST_F(DeviceIdentifiersTest, ExactMatchesOnly) {
  struct Case {
    std::optional<std::string> identifier;
    const char* name;
  } cases[] = {
      {"iPhone14,7", "iPhone 14"},
      {"iPad8,4", "iPad Pro 11-Inch"},
      {"iPad16,8", "iPad Air 11-inch (M4)"},
      {"iPad16,3", "iPad Pro 11-Inch (M4)"},
      {"iPhone6,2", "iPhone 5s"},
      {"iPhone18,5", "iPhone 17e"},
      {"iPad2,7", "iPad Mini"},
      {"iPad17,4", "iPad Pro 13-Inch (M5)"},
      {"iPhone99,1", "Unknown device"},
      {"iphone14,7", "Unknown device"},
      {"iPhone14,", "Unknown device"},
      {"iPhone14,7 ", "Unknown device"},
      {"x86_64", "Unknown device"},
      {"", "Unknown device"},
      {std::nullopt, "Unknown device"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(DeviceIdentifiers::userKnownDeviceModel(c.identifier), c.name)
        << c.identifier.value_or("(none)");
  }
}

}  // namespace

}  // namespace tq_device_info_plugin_test
