#include "support/ui/ScriptedBattery.h"

#include "platform/uikit/UIDevice.h"

std::shared_ptr<ScriptedBattery> ScriptedBattery::installOn(const std::shared_ptr<UIDevice>& device,
                                                            UIDeviceBatteryState state,
                                                            float level) {
  auto battery = std::make_shared<ScriptedBattery>();
  {
    std::lock_guard<std::mutex> lock(battery->mutex_);
    battery->reading_ = UIBatteryReading{state, level};
    battery->device_ = device;
  }
  device->setBatteryProvider(battery);
  return battery;
}

void ScriptedBattery::set(UIDeviceBatteryState state, float level) {
  std::shared_ptr<UIDevice> device;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reading_ = UIBatteryReading{state, level};
    device = device_.lock();
  }
  if (device) device->refreshBattery();
}

UIBatteryReading ScriptedBattery::read() {
  std::lock_guard<std::mutex> lock(mutex_);
  return reading_;
}
