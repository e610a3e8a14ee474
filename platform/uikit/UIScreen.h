#pragma once

// The device's screen: brightness, scale, bounds and frame rate. Brightness is
// backed by a UIBrightnessProvider: the machine's backlight (sysfs) when there
// is one, otherwise an in-memory value; the other metrics are those of a
// phone-sized headless display unless configured.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/coregraphics/CGGeometry.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSObject.h"
#include "platform/uikit/UIBrightnessProvider.h"
#include "platform/uikit/UIDevice.h"
#include "platform/uikit/UIGeometry.h"

extern const char* const UIScreenBrightnessDidChangeNotification;

// Raw values as on the platform.
enum UIInterfaceOrientation : int64_t {
  UIInterfaceOrientationUnknown = 0,
  UIInterfaceOrientationPortrait = 1,
  UIInterfaceOrientationPortraitUpsideDown = 2,
  UIInterfaceOrientationLandscapeRight = 3,
  UIInterfaceOrientationLandscapeLeft = 4,
};

inline bool UIInterfaceOrientationIsLandscape(UIInterfaceOrientation o) {
  return o == UIInterfaceOrientationLandscapeLeft || o == UIInterfaceOrientationLandscapeRight;
}

// A device the headless display stands for: its screen in portrait points,
// scale, the safe area of each orientation and the interface idiom.
struct UIScreenProfile {
  CGSize portraitSize;
  double scale = 1;
  UIEdgeInsets portraitSafeArea;
  UIEdgeInsets landscapeSafeArea;
  UIUserInterfaceIdiom idiom = UIUserInterfaceIdiomPhone;

  // 375 x 667 at 2x, a status bar of 20 points.
  static UIScreenProfile phone();
  // 390 x 844 at 3x with the sensor housing and the home indicator.
  static UIScreenProfile phoneWithNotch();
  // 1024 x 1366 at 2x.
  static UIScreenProfile pad();
};

// The display the headless screen stands for.
class UIDisplayProvider {
 public:
  virtual ~UIDisplayProvider() = default;
  virtual UIScreenProfile profile() = 0;
};

// A display of one fixed profile.
class UIHeadlessDisplay : public UIDisplayProvider {
 public:
  explicit UIHeadlessDisplay(UIScreenProfile profile = UIScreenProfile::phoneWithNotch())
      : profile_(profile) {}
  UIScreenProfile profile() override { return profile_; }

 private:
  const UIScreenProfile profile_;
};

class UIScreen : public NSObject {
 public:
  // In-memory brightness 0.5, the notched phone's profile, 60 frames per second.
  UIScreen();

  // Created on first use, backed by the first device of /sys/class/backlight
  // when there is one.
  static std::shared_ptr<UIScreen> mainScreen();

  // 0.0 (darkest) to 1.0 (brightest).
  double brightness() const;
  // Clamped to [0, 1], as the platform does; a value that is not a number is
  // ignored. Posts UIScreenBrightnessDidChangeNotification with this screen
  // as its object once the value is applied. On a backlight that cannot be
  // written, nothing changes and nothing is posted.
  void setBrightness(double brightness);
  double scale() const;
  CGRect bounds() const;
  int64_t maximumFramesPerSecond() const;

  // The safe area of the current orientation, in screen points.
  UIEdgeInsets safeAreaInsets() const;
  UIInterfaceOrientation interfaceOrientation() const;

  // Headless configuration, without platform counterpart.
  // Shows `display` from now on (nullptr: the notched phone): takes its
  // profile's size, scale and safe areas, in portrait, and sets the device's
  // idiom. The test environment restores the notched phone between tests.
  void setDisplayProvider(std::shared_ptr<UIDisplayProvider> display);
  // Turns the screen: landscape swaps the bounds' sides and uses the
  // landscape safe area. The main screen also reports the device held that
  // way (UIDevice::setOrientation: interface landscape right is the device
  // held landscape left, and the other way round).
  void setInterfaceOrientation(UIInterfaceOrientation orientation);
  void setScale(double scale);
  void setBounds(const CGRect& bounds);
  void setMaximumFramesPerSecond(int64_t framesPerSecond);
  // nullptr backs brightness by an in-memory value of 0.5.
  void setBrightnessProvider(std::shared_ptr<UIBrightnessProvider> provider);
  std::shared_ptr<UIBrightnessProvider> brightnessProvider() const;

 private:
  mutable Mutex mutex_;  // guards everything below
  std::shared_ptr<UIBrightnessProvider> brightness_ GUARDED_BY(mutex_) =
      std::make_shared<UIMemoryBrightness>();
  double scale_ GUARDED_BY(mutex_) = 3.0;
  CGRect bounds_ GUARDED_BY(mutex_) = CGRectMake(0, 0, 390, 844);
  UIScreenProfile profile_ GUARDED_BY(mutex_) = UIScreenProfile::phoneWithNotch();
  UIInterfaceOrientation orientation_ GUARDED_BY(mutex_) = UIInterfaceOrientationPortrait;
  int64_t maximumFramesPerSecond_ GUARDED_BY(mutex_) = 60;
};
