#pragma once
// What the tests of the picker's screens share: the shipped resource bundle
// as the main bundle's, a phone screen, and a key window with a root view
// controller.

#include <cstdlib>
#include <memory>

#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIViewController.h"
#include "platform/uikit/UIWindow.h"
#include "support/ScriptedLocations.h"
#include "support/TestEnvironment.h"
#include "support/ui/ScriptedDisplay.h"

class ScreensTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    const char* data = std::getenv("QX_TEST_DATA");
    ASSERT_NE(data, nullptr);
    ScriptedLocations::installed().setMainBundlePath(std::string(data) +
                                                     "/../../resources/Runner.app");
    UseScreenProfile(UIScreenProfile::phone());
  }
  void TearDown() override {
    ScriptedLocations::installed().setMainBundlePath("");
    PlatformTest::TearDown();
  }
  // A 375 x 667 key window showing `root`.
  std::shared_ptr<UIWindow> makeWindow(const std::shared_ptr<UIViewController>& root) {
    auto window = std::make_shared<UIWindow>(CGRectMake(0, 0, 375, 667));
    if (root) window->setRootViewController(root);
    window->makeKeyAndVisible();
    return window;
  }
};
