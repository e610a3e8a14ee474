#pragma once

// Facts about the running process and the machine, read from Linux where
// Linux has them. The power mode, the system version and the platform flags
// have no Linux source: they come from an NSSystemInfoProvider, by default
// the platform's defaults (the version from the environment).

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "NSObject.h"
#include "platform/foundation/Mutex.h"

struct NSOperatingSystemVersion {
  int64_t majorVersion = 0;
  int64_t minorVersion = 0;
  int64_t patchVersion = 0;
};

extern const char* const NSProcessInfoPowerStateDidChangeNotification;

// The version the host reports without QX_SYSTEM_VERSION.
inline constexpr NSOperatingSystemVersion kNSHostDefaultSystemVersion{17, 0, 0};
// "13.7", "14.0.1": one to three whole numbers of at most six digits joined
// by dots; nullopt for any other text.
std::optional<NSOperatingSystemVersion> NSOperatingSystemVersionFromString(const std::string& text);

// A fresh random (version 4) UUID in upper-case hexadecimal, as the platform
// writes UUIDs.
std::string NSRandomUUIDString();

// What the process is told about the system it runs on.
class NSSystemInfoProvider {
 public:
  virtual ~NSSystemInfoProvider() = default;
  // Called from any thread.
  virtual NSOperatingSystemVersion operatingSystemVersion() = 0;
  virtual bool isLowPowerModeEnabled() = 0;
  virtual bool isiOSAppOnMac() = 0;
  virtual bool isiOSAppOnVision() = 0;
};

// QX_SYSTEM_VERSION ("13.7", "14.0.1") as read when made, 17.0.0 without it
// (or when it is not one to three whole numbers joined by dots); no low power
// mode, neither on a Mac nor on a headset.
class NSHostSystemInfo : public NSSystemInfoProvider {
 public:
  NSHostSystemInfo();
  NSOperatingSystemVersion operatingSystemVersion() override { return version_; }
  bool isLowPowerModeEnabled() override { return false; }
  bool isiOSAppOnMac() override { return false; }
  bool isiOSAppOnVision() override { return false; }

 private:
  const NSOperatingSystemVersion version_;
};

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

  // The power mode as last read from the provider.
  bool isLowPowerModeEnabled() const;
  NSOperatingSystemVersion operatingSystemVersion() const;
  bool isOperatingSystemAtLeastVersion(NSOperatingSystemVersion version) const;
  bool isiOSAppOnMac() const;
  bool isiOSAppOnVision() const;

  // Reads the system from `provider` from now on (nullptr: NSHostSystemInfo)
  // and re-reads the power mode. The test environment restores the default
  // between tests.
  void setSystemInfoProvider(std::shared_ptr<NSSystemInfoProvider> provider);
  // Re-reads the power mode now; posts
  // NSProcessInfoPowerStateDidChangeNotification when it changed.
  void refreshPowerState();

 private:
  NSProcessInfo();
  std::shared_ptr<NSSystemInfoProvider> provider() const;

  mutable Mutex mutex_;  // guards provider_ and lowPowerMode_
  std::shared_ptr<NSSystemInfoProvider> provider_ GUARDED_BY(mutex_);
  bool lowPowerMode_ GUARDED_BY(mutex_) = false;
};
