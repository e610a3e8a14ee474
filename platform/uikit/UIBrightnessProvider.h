#pragma once

// What backs a screen's brightness: a backlight device of the machine, or an
// in-memory value where there is none (a headless machine, a test).

#include <cstdint>
#include <memory>
#include <string>

#include "platform/foundation/Mutex.h"

class UIBrightnessProvider {
 public:
  virtual ~UIBrightnessProvider() = default;
  // 0.0 (darkest) to 1.0 (brightest).
  virtual double brightness() = 0;
  // `value` is already within [0, 1]. Answers whether it was applied.
  virtual bool setBrightness(double value) = 0;
  virtual bool isWritable() = 0;
};

// A device of a backlight class folder such as /sys/class/backlight: read
// from its "brightness" and "max_brightness" files on every access, written
// back when "brightness" is writable.
class UIBacklightBrightness : public UIBrightnessProvider {
 public:
  // The first usable device, in name order, of `folder`; nullptr when it holds
  // none.
  static std::shared_ptr<UIBacklightBrightness> open(
      const std::string& folder = "/sys/class/backlight");

  UIBacklightBrightness(std::string brightnessPath, int64_t maxBrightness, bool writable);

  double brightness() override;
  bool setBrightness(double value) override;
  bool isWritable() override { return writable_; }

 private:
  const std::string brightnessPath_;
  const int64_t maxBrightness_;
  const bool writable_;
};

class UIMemoryBrightness : public UIBrightnessProvider {
 public:
  // A value that is not a number starts at 0.5.
  explicit UIMemoryBrightness(double value = 0.5);

  double brightness() override;
  bool setBrightness(double value) override;
  bool isWritable() override { return true; }

 private:
  Mutex mutex_;  // guards value_
  double value_ GUARDED_BY(mutex_);
};
