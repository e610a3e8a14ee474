#pragma once

// Where UIDevice reads the battery from: the machine's power supplies by
// default, or a battery that tests script.

#include <cstdint>
#include <string>

// Raw values as the platform defines them; other raw values can occur and have
// no name.
enum class UIDeviceBatteryState : int64_t { Unknown = 0, Unplugged = 1, Charging = 2, Full = 3 };

struct UIBatteryReading {
  UIDeviceBatteryState state = UIDeviceBatteryState::Unknown;
  float level = -1.0f;  // 0.0 to 1.0, -1 when unknown
};

class UIBatteryProvider {
 public:
  virtual ~UIBatteryProvider() = default;
  // Called on the main thread at every poll; cheap enough to read files.
  virtual UIBatteryReading read() = 0;
};

// The first supply of type "Battery" in a power_supply class folder (entries
// in name order, each with "type", "capacity" and "status" files). A folder
// without one reads as no battery: unknown state, level -1.
class UIPowerSupplyBattery : public UIBatteryProvider {
 public:
  explicit UIPowerSupplyBattery(std::string folder = "/sys/class/power_supply");
  UIBatteryReading read() override;

 private:
  const std::string folder_;
};
