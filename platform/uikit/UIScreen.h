#pragma once

// The device's screen: brightness, scale, bounds and frame rate. Brightness is
// backed by the machine's backlight (sysfs) when there is one, otherwise by an
// in-memory value that tests script; the other metrics are those of a phone-
// sized headless display unless configured.

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/coregraphics/CGGeometry.h"
#include "platform/foundation/NSObject.h"

extern const char* const UIScreenBrightnessDidChangeNotification;

class UIScreen : public NSObject {
 public:
  // In-memory brightness 0.5, 390 x 844 points at scale 3, 60 frames per second.
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

  // Headless configuration, without platform counterpart.
  void setScale(double scale);
  void setBounds(const CGRect& bounds);
  void setMaximumFramesPerSecond(int64_t framesPerSecond);
  // Backs brightness by the first device, in name order, of a backlight class
  // folder such as /sys/class/backlight: read from its "brightness" and
  // "max_brightness" files on every access, written back when "brightness"
  // is writable. Answers false, and keeps the current backing, when the
  // folder holds no readable device.
  bool useBacklightFolder(const std::string& folder);
  // Backs brightness by an in-memory value, the scriptable screen of tests.
  void useInMemoryBrightness(double value = 0.5);
  bool isBacklightBacked() const;
  bool isBrightnessWritable() const;

 private:
  struct Backlight {
    std::string brightnessPath;
    int64_t maxBrightness = 0;
    bool writable = false;
  };
  static std::optional<Backlight> findBacklight(const std::string& folder);
  // Returns whether the value was applied.
  bool storeBrightness(double clamped);

  mutable std::mutex mutex_;
  std::optional<Backlight> backlight_;
  double memoryBrightness_ = 0.5;
  double scale_ = 3.0;
  CGRect bounds_ = CGRectMake(0, 0, 390, 844);
  int64_t maximumFramesPerSecond_ = 60;
};
