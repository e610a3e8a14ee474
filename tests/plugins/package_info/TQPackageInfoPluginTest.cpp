#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSFileManager.h"
#include "plugins/package_info/TQPackageInfoPlugin.h"
#include "support/ScriptedLocations.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/engine/TestPeer.h"

namespace tq_package_info_plugin_test {

namespace {

const std::string kChannel = "dev.tarnquell.plugins/package_info";

int64_t nowMillis() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

void setModificationTime(const std::string& path, int64_t seconds, long nanoseconds) {
  timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

class TQPackageInfoPluginTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    ScriptedLocations::installed().setContainerRoot(container.path());
    TQPackageInfoPlugin::registerWithRegistrar(peer.registrar("TQPackageInfoPlugin"));
  }
  void TearDown() override {
    ScriptedLocations::installed().setMainBundlePath("");
    ScriptedLocations::installed().setContainerRoot("");
    PlatformTest::TearDown();
  }
  // A bundle folder with the given info file, made the main bundle.
  std::string useBundle(const std::string& name, const std::string& infoJSON) {
    std::string path = bundles.makeFolder(name);
    bundles.writeFile(name + "/Info.json", infoJSON);
    ScriptedLocations::installed().setMainBundlePath(path);
    return path;
  }
  Value getAll() {
    auto o = peer.call(kChannel, "getAll");
    EXPECT_TRUE(IsSuccess(o));
    EXPECT_EQ(o.result.size(), 7u);
    return o.result;
  }

  TempFolder container;
  TempFolder bundles;
  TestPeer peer;
};

TEST_F(TQPackageInfoPluginTest, ReadsTheMainBundle) {
  std::string bundle = useBundle("Full.app", R"({
    "CFBundleDisplayName": "Quorlinex", "CFBundleName": "quorlinex",
    "CFBundleIdentifier": "dev.tarnquell.quorlinex",
    "CFBundleShortVersionString": "2.3.1", "CFBundleVersion": "45"})");
  setModificationTime(bundle, 1, 500000000);
  int64_t before = nowMillis();
  Value info = getAll();
  int64_t after = nowMillis();

  EXPECT_EQ(*info.find("appName"), Value("Quorlinex"));
  EXPECT_EQ(*info.find("packageName"), Value("dev.tarnquell.quorlinex"));
  EXPECT_EQ(*info.find("version"), Value("2.3.1"));
  EXPECT_EQ(*info.find("buildNumber"), Value("45"));
  EXPECT_EQ(*info.find("installerStore"), Value("com.apple"));
  EXPECT_EQ(*info.find("updateTime"), Value("1500"));

  // The documents folder is made on first use: installed just now.
  const Value* install = info.find("installTime");
  ASSERT_TRUE(install && install->isString());
  int64_t installed = std::stoll(install->asString());
  EXPECT_GE(installed, before - 1000);  // file systems keep coarser times
  EXPECT_LE(installed, after + 1);
  EXPECT_EQ(*getAll().find("installTime"), *install) << "the date stays put";
}

TEST_F(TQPackageInfoPluginTest, MissingValuesAreNull) {
  std::string bundle = useBundle("Name.app", R"({"CFBundleName": "quorlinex"})");
  setModificationTime(bundle, -3, 0);
  Value info = getAll();
  EXPECT_EQ(*info.find("appName"), Value("quorlinex"));
  EXPECT_TRUE(info.find("packageName")->isNull());
  EXPECT_TRUE(info.find("version")->isNull());
  EXPECT_TRUE(info.find("buildNumber")->isNull());
  EXPECT_EQ(*info.find("updateTime"), Value("-3000"));

  useBundle("Empty.app", "{}");
  EXPECT_TRUE(getAll().find("appName")->isNull());

  ScriptedLocations::installed().setMainBundlePath(bundles.path() + "/Missing.app");
  info = getAll();
  EXPECT_TRUE(info.find("appName")->isNull());
  EXPECT_TRUE(info.find("updateTime")->isNull());
  EXPECT_EQ(*info.find("installerStore"), Value("com.apple"));
  EXPECT_TRUE(info.find("installTime")->isString());

  // Documents cannot be made: no install date.
  ScriptedLocations::installed().setContainerRoot(bundles.writeFile("plain", std::string("x")));
  EXPECT_TRUE(getAll().find("installTime")->isNull());
}

using TQPackageInfoTimesTest = PlatformTest;

TEST_F(TQPackageInfoTimesTest, MillisecondsTruncateTowardZero) {
  auto millis = [](double seconds) {
    return TQPackageInfoPlugin::getTimeMillisStringFromDate(
        NSDate::dateWithTimeIntervalSince1970(seconds));
  };
  EXPECT_EQ(TQPackageInfoPlugin::getTimeMillisStringFromDate(nullptr), std::nullopt);
  EXPECT_EQ(millis(1.5), "1500");
  EXPECT_EQ(millis(0), "0");
  EXPECT_EQ(millis(1700000000.1239), "1700000000123");
  EXPECT_EQ(millis(-1.0005), "-1000");
  EXPECT_EQ(millis(-0.0009), "0");
  EXPECT_EQ(millis(1e300), std::to_string(std::numeric_limits<int64_t>::max()));
  EXPECT_EQ(millis(-1e300), std::to_string(std::numeric_limits<int64_t>::min()));
  EXPECT_EQ(millis(std::nan("")), std::nullopt);
}

TEST_F(TQPackageInfoTimesTest, InstallerStoreFromReceiptPath) {
  auto store = &TQPackageInfoPlugin::installerStoreForReceiptPath;
  EXPECT_EQ(store("/x/CoreSimulator/Devices/A/Runner.app/StoreKit/receipt"), "com.apple.simulator");
  EXPECT_EQ(store("/x/Runner.app/StoreKit/sandboxReceipt"), "com.apple.testflight");
  EXPECT_EQ(store("/x/CoreSimulator/Runner.app/StoreKit/sandboxReceipt"), "com.apple.simulator");
  EXPECT_EQ(store("/x/Runner.app/StoreKit/receipt"), "com.apple");
  EXPECT_EQ(store(std::nullopt), "com.apple");
}

TEST_F(TQPackageInfoPluginTest, OtherMethodsAreNotImplemented) {
  EXPECT_TRUE(IsNotImplemented(peer.call(kChannel, "getall")));
  EXPECT_TRUE(IsSuccess(peer.call(kChannel, "getAll", Value("unused"))));
}

}  // namespace

}  // namespace tq_package_info_plugin_test
