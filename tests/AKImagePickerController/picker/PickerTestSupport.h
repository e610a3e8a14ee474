#pragma once
// Fixtures of the picker's tests: the shipped main bundle (so the picker's
// texts and images are the real ones) over the platform test environment,
// and the same over a scratch photo library read through the library's own
// media provider (the files themselves).

#include <cstdlib>
#include <memory>
#include <string>

#include "support/ScriptedLocations.h"
#include "support/TestEnvironment.h"
#include "support/photos/PhotoLibraryFixture.h"

inline void UseShippedMainBundle() {
  const char* data = std::getenv("QX_TEST_DATA");
  ASSERT_NE(data, nullptr);
  ScriptedLocations::installed().setMainBundlePath(std::string(data) + "/../../resources/Runner.app");
}

class PickerUITest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    UseShippedMainBundle();
  }
  void TearDown() override {
    ScriptedLocations::installed().setMainBundlePath("");
    PlatformTest::TearDown();
  }
};

class PickerLibraryTest : public PhotoLibraryTest {
 protected:
  void SetUp() override {
    PhotoLibraryTest::SetUp();
    UseShippedMainBundle();
  }
  void TearDown() override {
    ScriptedLocations::installed().setMainBundlePath("");
    PhotoLibraryTest::TearDown();
  }
};
