#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/NSNotification.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIDevice.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UINavigationController.h"
#include "platform/uikit/UIPreviewAction.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIWindow.h"
#include "support/TestEnvironment.h"

namespace platform_surfaces_test {

namespace {

class PlatformSurfacesTest : public PlatformTest {};

TEST_F(PlatformSurfacesTest, TheApplicationKnowsItsWindowsAndOrientation) {
  auto app = UIApplication::sharedApplication();
  auto first = std::make_shared<UIWindow>(CGRectMake(0, 0, 390, 844));
  auto second = std::make_shared<UIWindow>(CGRectMake(0, 0, 390, 844));
  size_t before = app->windows().size();
  first->makeKeyAndVisible();
  second->setRootViewController(std::make_shared<UIViewController>());
  auto windows = app->windows();
  ASSERT_EQ(windows.size(), before + 2);
  EXPECT_EQ(windows[windows.size() - 2], first);
  EXPECT_EQ(windows.back(), second);
  EXPECT_EQ(app->keyWindow(), first);
  second->makeKeyAndVisible();
  EXPECT_EQ(app->keyWindow(), second);
  EXPECT_EQ(app->windows().size(), before + 2);  // each counted once
  windows.clear();
  second.reset();
  EXPECT_EQ(app->windows().size(), before + 1);  // gone with the window

  EXPECT_EQ(app->statusBarOrientation(), UIInterfaceOrientationPortrait);
  UIScreen::mainScreen()->setInterfaceOrientation(UIInterfaceOrientationLandscapeRight);
  EXPECT_EQ(app->statusBarOrientation(), UIInterfaceOrientationLandscapeRight);
  EXPECT_STREQ(UIApplicationOpenSettingsURLString, "app-settings:");
}

TEST_F(PlatformSurfacesTest, DeviceOrientationIsPostedWhileGenerated) {
  auto device = UIDevice::currentDevice();
  int posted = 0;
  auto token = NSNotificationCenter::defaultCenter().addObserverForName(
      UIDeviceOrientationDidChangeNotification, nullptr,
      [&](const NSNotification&) { ++posted; });
  EXPECT_EQ(device->orientation(), UIDeviceOrientationUnknown);
  device->setOrientation(UIDeviceOrientationLandscapeLeft);
  EXPECT_EQ(posted, 0);  // nobody asked for them
  device->beginGeneratingDeviceOrientationNotifications();
  device->beginGeneratingDeviceOrientationNotifications();
  EXPECT_EQ(device->orientation(), UIDeviceOrientationLandscapeLeft);
  device->setOrientation(UIDeviceOrientationPortrait);
  device->setOrientation(UIDeviceOrientationPortrait);  // no change, no post
  EXPECT_EQ(posted, 1);
  device->endGeneratingDeviceOrientationNotifications();
  EXPECT_TRUE(device->isGeneratingDeviceOrientationNotifications());
  device->setOrientation(UIDeviceOrientationFaceUp);
  EXPECT_EQ(posted, 2);
  device->endGeneratingDeviceOrientationNotifications();
  device->endGeneratingDeviceOrientationNotifications();  // one too many: harmless
  EXPECT_FALSE(device->isGeneratingDeviceOrientationNotifications());
  device->setOrientation(UIDeviceOrientationPortrait);
  EXPECT_EQ(posted, 2);
  EXPECT_EQ(device->orientation(), UIDeviceOrientationUnknown);
  NSNotificationCenter::defaultCenter().removeObserver(token);
}

TEST_F(PlatformSurfacesTest, TurningTheMainScreenTurnsTheDevice) {
  auto device = UIDevice::currentDevice();
  auto screen = UIScreen::mainScreen();
  std::vector<UIDeviceOrientation> heard;
  auto token = NSNotificationCenter::defaultCenter().addObserverForName(
      UIDeviceOrientationDidChangeNotification, nullptr,
      [&](const NSNotification& n) {
        EXPECT_EQ(n.object, device);
        heard.push_back(device->orientation());
      });
  // Nobody follows the device yet: it remembers, but tells no one.
  screen->setInterfaceOrientation(UIInterfaceOrientationLandscapeLeft);
  EXPECT_TRUE(heard.empty());
  EXPECT_EQ(device->orientation(), UIDeviceOrientationUnknown);
  device->beginGeneratingDeviceOrientationNotifications();
  EXPECT_EQ(device->orientation(), UIDeviceOrientationLandscapeRight);

  // The interface turns against the hand in landscape, with it otherwise.
  screen->setInterfaceOrientation(UIInterfaceOrientationLandscapeRight);
  screen->setInterfaceOrientation(UIInterfaceOrientationLandscapeRight);  // no turn, no news
  screen->setInterfaceOrientation(UIInterfaceOrientationPortraitUpsideDown);
  screen->setInterfaceOrientation(UIInterfaceOrientationUnknown);  // says nothing of the hand
  screen->setInterfaceOrientation(UIInterfaceOrientationPortrait);
  EXPECT_EQ(heard, (std::vector<UIDeviceOrientation>{UIDeviceOrientationLandscapeLeft,
                                                     UIDeviceOrientationPortraitUpsideDown,
                                                     UIDeviceOrientationPortrait}));

  // Another screen (an external display) is not the one in the hand.
  auto external = std::make_shared<UIScreen>();
  external->setInterfaceOrientation(UIInterfaceOrientationLandscapeLeft);
  EXPECT_EQ(external->bounds().size, CGSizeMake(844, 390));
  EXPECT_EQ(device->orientation(), UIDeviceOrientationPortrait);
  EXPECT_EQ(heard.size(), 3u);
  device->endGeneratingDeviceOrientationNotifications();
  NSNotificationCenter::defaultCenter().removeObserver(token);
}

TEST_F(PlatformSurfacesTest, ViewsCarryAccessibilityDetails) {
  auto plain = std::make_shared<UIView>();
  EXPECT_FALSE(plain->isAccessibilityElement());
  plain->setIsAccessibilityElement(true);
  plain->setAccessibilityIdentifier("AKPhotoCell");
  EXPECT_TRUE(plain->isAccessibilityElement());
  EXPECT_EQ(plain->accessibilityIdentifier(), "AKPhotoCell");

  auto label = std::make_shared<UILabel>();
  label->setText("Camera Roll");
  EXPECT_TRUE(label->isAccessibilityElement());
  EXPECT_EQ(label->accessibilityLabel(), "Camera Roll");
  label->setIsAccessibilityElement(false);
  EXPECT_FALSE(label->isAccessibilityElement());

  auto reset = UIButton::buttonWithType(UIButtonType::System);
  EXPECT_TRUE(reset->isAccessibilityElement());
  reset->setTitle("R", UIControlStateNormal);
  EXPECT_EQ(reset->accessibilityLabel(), "R");
  reset->setAccessibilityLabel("Reset");
  EXPECT_EQ(reset->accessibilityLabel(), "Reset");
  reset->setAccessibilityLabel(std::nullopt);
  EXPECT_EQ(reset->accessibilityLabel(), "R");
}

class Previewed : public UIViewController {
 public:
  std::vector<std::shared_ptr<UIPreviewActionItem>> previewActionItems() override {
    return {UIPreviewAction::actionWithTitle(
        "Save", UIPreviewActionStyle::Default,
        [this](UIPreviewAction& a, UIViewController& vc) {
          chosen = a.title() + (&vc == this ? " here" : " elsewhere");
        })};
  }
  std::string chosen;
};

TEST_F(PlatformSurfacesTest, PreviewActionsRunWithThePreviewedController) {
  EXPECT_TRUE(std::make_shared<UIViewController>()->previewActionItems().empty());
  auto previewed = std::make_shared<Previewed>();
  auto items = previewed->previewActionItems();
  ASSERT_EQ(items.size(), 1u);
  auto action = std::dynamic_pointer_cast<UIPreviewAction>(items[0]);
  ASSERT_NE(action, nullptr);
  EXPECT_EQ(action->style(), UIPreviewActionStyle::Default);
  action->perform(*previewed);
  EXPECT_EQ(previewed->chosen, "Save here");
}

TEST_F(PlatformSurfacesTest, ShowViewControllerPushesInANavigationStackElsePresents) {
  auto window = std::make_shared<UIWindow>(CGRectMake(0, 0, 390, 844));
  auto root = std::make_shared<UIViewController>();
  auto nav = std::make_shared<UINavigationController>(root);
  window->setRootViewController(nav);
  window->makeKeyAndVisible();
  auto next = std::make_shared<UIViewController>();
  root->showViewController(next, nullptr);
  EXPECT_EQ(nav->topViewController(), next);
  advance(UIViewController::kTransitionDuration);

  auto lone = std::make_shared<UIViewController>();
  window->setRootViewController(lone);
  auto shown = std::make_shared<UIViewController>();
  lone->showViewController(shown, nullptr);
  EXPECT_EQ(lone->presentedViewController(), shown);
  advance(UIViewController::kTransitionDuration);
  lone->dismissViewControllerAnimated(false);
  EXPECT_FALSE(lone->modalPresentationCapturesStatusBarAppearance());
  lone->setModalPresentationCapturesStatusBarAppearance(true);
  EXPECT_TRUE(lone->modalPresentationCapturesStatusBarAppearance());
}

}  // namespace

}  // namespace platform_surfaces_test
