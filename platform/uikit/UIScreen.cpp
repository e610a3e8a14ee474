#include "UIScreen.h"

#include <algorithm>
#include <cmath>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/SingletonResets.h"

const char* const UIScreenBrightnessDidChangeNotification =
    "UIScreenBrightnessDidChangeNotification";

UIScreen::UIScreen() = default;

std::shared_ptr<UIScreen> UIScreen::mainScreen() {
  static auto screen = [] {
    auto s = std::make_shared<UIScreen>();
    if (auto backlight = UIBacklightBrightness::open()) s->setBrightnessProvider(backlight);
    SingletonResets::add([s] { s->setDisplayProvider(nullptr); });
    return s;
  }();
  return screen;
}

void UIScreen::setBrightnessProvider(std::shared_ptr<UIBrightnessProvider> provider) {
  if (!provider) provider = std::make_shared<UIMemoryBrightness>();
  MutexLock lock(mutex_);
  brightness_ = std::move(provider);
}

std::shared_ptr<UIBrightnessProvider> UIScreen::brightnessProvider() const {
  MutexLock lock(mutex_);
  return brightness_;
}

double UIScreen::brightness() const { return brightnessProvider()->brightness(); }

void UIScreen::setBrightness(double brightness) {
  if (std::isnan(brightness)) return;
  if (!brightnessProvider()->setBrightness(std::clamp(brightness, 0.0, 1.0))) return;
  NSNotificationCenter::defaultCenter().postNotificationName(
      UIScreenBrightnessDidChangeNotification, shared_from_this());
}

double UIScreen::scale() const {
  MutexLock lock(mutex_);
  return scale_;
}

CGRect UIScreen::bounds() const {
  MutexLock lock(mutex_);
  return bounds_;
}

int64_t UIScreen::maximumFramesPerSecond() const {
  MutexLock lock(mutex_);
  return maximumFramesPerSecond_;
}

void UIScreen::setScale(double scale) {
  MutexLock lock(mutex_);
  scale_ = scale;
}

void UIScreen::setBounds(const CGRect& bounds) {
  MutexLock lock(mutex_);
  bounds_ = bounds;
}

void UIScreen::setMaximumFramesPerSecond(int64_t framesPerSecond) {
  MutexLock lock(mutex_);
  maximumFramesPerSecond_ = framesPerSecond;
}

UIScreenProfile UIScreenProfile::phone() {
  return {CGSizeMake(375, 667), 2, UIEdgeInsetsMake(20, 0, 0, 0), UIEdgeInsetsZero,
          UIUserInterfaceIdiomPhone};
}

UIScreenProfile UIScreenProfile::phoneWithNotch() {
  return {CGSizeMake(390, 844), 3, UIEdgeInsetsMake(47, 0, 34, 0),
          UIEdgeInsetsMake(0, 47, 21, 47), UIUserInterfaceIdiomPhone};
}

UIScreenProfile UIScreenProfile::pad() {
  return {CGSizeMake(1024, 1366), 2, UIEdgeInsetsMake(24, 0, 20, 0),
          UIEdgeInsetsMake(24, 0, 20, 0), UIUserInterfaceIdiomPad};
}

void UIScreen::setDisplayProvider(std::shared_ptr<UIDisplayProvider> display) {
  if (!display) display = std::make_shared<UIHeadlessDisplay>();
  const UIScreenProfile profile = display->profile();
  {
    MutexLock lock(mutex_);
    profile_ = profile;
    scale_ = profile.scale;
    orientation_ = UIInterfaceOrientationPortrait;
    bounds_ = CGRect{CGPointZero, profile.portraitSize};
  }
  UIDevice::currentDevice()->setUserInterfaceIdiom(profile.idiom);
}

namespace {

// The interface turns against the device: held landscape left, the device
// shows its interface landscape right.
UIDeviceOrientation deviceOrientationShowing(UIInterfaceOrientation interface) {
  switch (interface) {
    case UIInterfaceOrientationPortrait: return UIDeviceOrientationPortrait;
    case UIInterfaceOrientationPortraitUpsideDown: return UIDeviceOrientationPortraitUpsideDown;
    case UIInterfaceOrientationLandscapeRight: return UIDeviceOrientationLandscapeLeft;
    case UIInterfaceOrientationLandscapeLeft: return UIDeviceOrientationLandscapeRight;
    default: return UIDeviceOrientationUnknown;
  }
}

}  // namespace

void UIScreen::setInterfaceOrientation(UIInterfaceOrientation orientation) {
  {
    MutexLock lock(mutex_);
    orientation_ = orientation;
    CGSize p = profile_.portraitSize;
    bounds_ = UIInterfaceOrientationIsLandscape(orientation)
                  ? CGRectMake(0, 0, p.height, p.width)
                  : CGRectMake(0, 0, p.width, p.height);
  }
  // The headless display turning is the device turning: whoever follows the
  // device (its orientation and notification) hears of it, as a real turn
  // of the hand would tell them. Only the main screen is held in the hand.
  const UIDeviceOrientation held = deviceOrientationShowing(orientation);
  if (held != UIDeviceOrientationUnknown && this == mainScreen().get()) {
    UIDevice::currentDevice()->setOrientation(held);
  }
}

UIInterfaceOrientation UIScreen::interfaceOrientation() const {
  MutexLock lock(mutex_);
  return orientation_;
}

UIEdgeInsets UIScreen::safeAreaInsets() const {
  MutexLock lock(mutex_);
  return UIInterfaceOrientationIsLandscape(orientation_) ? profile_.landscapeSafeArea
                                                         : profile_.portraitSafeArea;
}
