#pragma once

// Facts about the running process and the machine, read from Linux where
// Linux has them. The power mode, the system version and the platform flags
// have no Linux source: they keep the platform's defaults and are settable.

#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "NSObject.h"

struct NSOperatingSystemVersion {
  int64_t majorVersion = 0;
  int64_t minorVersion = 0;
  int64_t patchVersion = 0;
};

extern const char* const NSProcessInfoPowerStateDidChangeNotification;

// A fresh random (version 4) UUID in upper-case hexadecimal, as the platform
// writes UUIDs.
std::string NSRandomUUIDString();

class NSProcessInfo : public NSObject {
 public:
  static NSProcessInfo& processInfo();

  // Total RAM in bytes (sysconf, else /proc/meminfo).
  uint64_t physicalMemory() const;
  // Seconds since boot on the monotonic clock (suspend time excluded).
  double systemUptime() const;
  int64_t processorCount() const;
  int64_t activeProcessorCount() const;
  std::map<std::string, std::string> environment() const;
  std::string processName() const;
  int processIdentifier() const;
  // A new string on every call, unique across hosts and processes.
  std::string globallyUniqueString() const;

  bool isLowPowerModeEnabled() const;
  // Posts NSProcessInfoPowerStateDidChangeNotification when the value changes.
  void setLowPowerModeEnabled(bool enabled);

  // QX_SYSTEM_VERSION ("13.7", "14.0.1") at start, 17.0.0 without it (or
  // when it is not one to three whole numbers joined by dots), unless set.
  NSOperatingSystemVersion operatingSystemVersion() const;
  void setOperatingSystemVersion(NSOperatingSystemVersion version);
  bool isOperatingSystemAtLeastVersion(NSOperatingSystemVersion version) const;

  bool isiOSAppOnMac() const;
  void setiOSAppOnMac(bool value);
  bool isiOSAppOnVision() const;
  void setiOSAppOnVision(bool value);

 private:
  NSProcessInfo() = default;
  static NSOperatingSystemVersion versionFromEnvironment();

  mutable std::mutex mutex_;  // guards the flags and version below
  bool lowPowerMode_ = false;
  NSOperatingSystemVersion version_ = versionFromEnvironment();
  bool onMac_ = false;
  bool onVision_ = false;
};
