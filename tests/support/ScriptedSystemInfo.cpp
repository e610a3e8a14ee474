#include "support/ScriptedSystemInfo.h"

std::shared_ptr<ScriptedSystemInfo> ScriptedSystemInfo::install() {
  auto& process = NSProcessInfo::processInfo();
  auto system = std::make_shared<ScriptedSystemInfo>();
  {
    std::lock_guard<std::mutex> lock(system->mutex_);
    system->version_ = process.operatingSystemVersion();
    system->lowPowerMode_ = process.isLowPowerModeEnabled();
    system->onMac_ = process.isiOSAppOnMac();
    system->onVision_ = process.isiOSAppOnVision();
  }
  process.setSystemInfoProvider(system);
  return system;
}

void ScriptedSystemInfo::setOperatingSystemVersion(NSOperatingSystemVersion version) {
  std::lock_guard<std::mutex> lock(mutex_);
  version_ = version;
}

void ScriptedSystemInfo::setLowPowerModeEnabled(bool enabled) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    lowPowerMode_ = enabled;
  }
  NSProcessInfo::processInfo().refreshPowerState();
}

void ScriptedSystemInfo::setiOSAppOnMac(bool value) {
  std::lock_guard<std::mutex> lock(mutex_);
  onMac_ = value;
}

void ScriptedSystemInfo::setiOSAppOnVision(bool value) {
  std::lock_guard<std::mutex> lock(mutex_);
  onVision_ = value;
}

NSOperatingSystemVersion ScriptedSystemInfo::operatingSystemVersion() {
  std::lock_guard<std::mutex> lock(mutex_);
  return version_;
}

bool ScriptedSystemInfo::isLowPowerModeEnabled() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lowPowerMode_;
}

bool ScriptedSystemInfo::isiOSAppOnMac() {
  std::lock_guard<std::mutex> lock(mutex_);
  return onMac_;
}

bool ScriptedSystemInfo::isiOSAppOnVision() {
  std::lock_guard<std::mutex> lock(mutex_);
  return onVision_;
}
