#pragma once

// A battery whose state and level tests set. Installed on a device, every
// change is read at once, as the next poll would, so a monitoring device posts
// what changed.

#include <memory>
#include <mutex>

#include "platform/uikit/UIBatteryProvider.h"

class UIDevice;

class ScriptedBattery : public UIBatteryProvider {
 public:
  // Makes a battery reading `state` and `level` and installs it on `device`.
  static std::shared_ptr<ScriptedBattery> installOn(
      const std::shared_ptr<UIDevice>& device,
      UIDeviceBatteryState state = UIDeviceBatteryState::Unknown, float level = -1.0f);

  void set(UIDeviceBatteryState state, float level);
  UIBatteryReading read() override;

 private:
  std::mutex mutex_;  // guards reading_ and device_
  UIBatteryReading reading_;
  std::weak_ptr<UIDevice> device_;
};
