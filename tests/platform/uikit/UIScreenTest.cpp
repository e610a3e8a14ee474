#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <string>
#include <vector>

#include "platform/foundation/NSNotification.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/uikit/UIScreen.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"

namespace ui_screen_test {

namespace {

namespace fs = std::filesystem;

// Records the screens named by brightness notifications.
class BrightnessNotifications {
 public:
  BrightnessNotifications() {
    NSNotificationCenter::defaultCenter().addObserver(
        this, UIScreenBrightnessDidChangeNotification, nullptr,
        [this](const NSNotification& n) { senders.push_back(n.object); });
  }
  ~BrightnessNotifications() { NSNotificationCenter::defaultCenter().removeObserver(this); }
  std::vector<std::shared_ptr<NSObject>> senders;
};

// A backlight class folder with one device, as sysfs lays it out.
class FakeBacklight {
 public:
  FakeBacklight(int64_t brightness, int64_t max) : root_(folder_.path()) {
    fs::create_directories(device());
    write("brightness", brightness);
    write("max_brightness", max);
  }
  ~FakeBacklight() {
    std::error_code ec;
    fs::permissions(device() / "brightness", fs::perms::owner_all, ec);
  }
  const fs::path& root() const { return root_; }
  fs::path device() const { return root_ / "intel_backlight"; }
  void write(const std::string& file, int64_t value) {
    std::ofstream(device() / file) << value << "\n";
  }
  int64_t read(const std::string& file) const {
    int64_t v = -1;
    std::ifstream(device() / file) >> v;
    return v;
  }

 private:
  TempFolder folder_;
  fs::path root_;
};

using UIScreenTest = PlatformTest;

TEST_F(UIScreenTest, InMemoryBrightnessClampsAndPostsWithTheScreen) {
  auto screen = std::make_shared<UIScreen>();
  BrightnessNotifications posted;
  EXPECT_DOUBLE_EQ(screen->brightness(), 0.5);
  screen->setBrightness(0.25);
  EXPECT_DOUBLE_EQ(screen->brightness(), 0.25);
  screen->setBrightness(1.7);
  EXPECT_DOUBLE_EQ(screen->brightness(), 1.0);
  screen->setBrightness(-3);
  EXPECT_DOUBLE_EQ(screen->brightness(), 0.0);
  screen->setBrightness(std::numeric_limits<double>::quiet_NaN());
  EXPECT_DOUBLE_EQ(screen->brightness(), 0.0);
  ASSERT_EQ(posted.senders.size(), 3u);
  for (auto& sender : posted.senders) EXPECT_EQ(sender.get(), screen.get());
}

TEST_F(UIScreenTest, BacklightIsReadAndWrittenInItsOwnUnits) {
  FakeBacklight backlight(120, 480);
  auto screen = std::make_shared<UIScreen>();
  auto device = UIBacklightBrightness::open(backlight.root().string());
  ASSERT_TRUE(device);
  screen->setBrightnessProvider(device);
  EXPECT_DOUBLE_EQ(screen->brightness(), 0.25);
  // Changes made outside the application show on the next read.
  backlight.write("brightness", 360);
  EXPECT_DOUBLE_EQ(screen->brightness(), 0.75);
  BrightnessNotifications posted;
  screen->setBrightness(0.5);
  EXPECT_EQ(backlight.read("brightness"), 240);
  EXPECT_EQ(posted.senders.size(), 1u);
  screen->setBrightnessProvider(std::make_shared<UIMemoryBrightness>(0.4));
  EXPECT_DOUBLE_EQ(screen->brightness(), 0.4);
  EXPECT_EQ(backlight.read("brightness"), 240);
}

TEST_F(UIScreenTest, FolderWithoutUsableDeviceHasNoBacklight) {
  FakeBacklight broken(10, 0);  // a zero maximum cannot scale anything
  EXPECT_EQ(UIBacklightBrightness::open(broken.root().string()), nullptr);
  EXPECT_EQ(UIBacklightBrightness::open("/nonexistent/backlight"), nullptr);
  // Without one the screen keeps an in-memory value, clamped on entry.
  UIScreen screen;
  EXPECT_DOUBLE_EQ(screen.brightness(), 0.5);
  EXPECT_DOUBLE_EQ(UIMemoryBrightness(1.7).brightness(), 1.0);
  EXPECT_DOUBLE_EQ(UIMemoryBrightness(std::nan("")).brightness(), 0.5);
}

TEST_F(UIScreenTest, ReadOnlyBacklightIgnoresSets) {
  if (::geteuid() == 0) GTEST_SKIP() << "root may write any file";
  FakeBacklight backlight(50, 100);
  fs::permissions(backlight.device() / "brightness", fs::perms::owner_read);
  auto screen = std::make_shared<UIScreen>();
  auto device = UIBacklightBrightness::open(backlight.root().string());
  ASSERT_TRUE(device);
  EXPECT_FALSE(device->isWritable());
  screen->setBrightnessProvider(device);
  BrightnessNotifications posted;
  screen->setBrightness(0.9);
  EXPECT_DOUBLE_EQ(screen->brightness(), 0.5);
  EXPECT_TRUE(posted.senders.empty());
}

}  // namespace

}  // namespace ui_screen_test
