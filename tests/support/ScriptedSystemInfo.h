#pragma once

// A system that tests describe: its version, power mode and platform flags.
// Installed on the process information, it starts as the running system
// answers; a change of the power mode is read at once, so the process posts
// it as it would a real change. The test environment puts the running
// system's back between tests.

#include <memory>
#include <mutex>

#include "platform/foundation/NSProcessInfo.h"

class ScriptedSystemInfo : public NSSystemInfoProvider {
 public:
  static std::shared_ptr<ScriptedSystemInfo> install();

  void setOperatingSystemVersion(NSOperatingSystemVersion version);
  void setLowPowerModeEnabled(bool enabled);
  void setiOSAppOnMac(bool value);
  void setiOSAppOnVision(bool value);

  NSOperatingSystemVersion operatingSystemVersion() override;
  bool isLowPowerModeEnabled() override;
  bool isiOSAppOnMac() override;
  bool isiOSAppOnVision() override;

 private:
  std::mutex mutex_;  // guards the fields below
  NSOperatingSystemVersion version_;
  bool lowPowerMode_ = false;
  bool onMac_ = false;
  bool onVision_ = false;
};
