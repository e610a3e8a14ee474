#include "NSProcessInfo.h"

#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <tuple>

#include "NSNotificationCenter.h"
#include "SingletonResets.h"
#include "platform/foundation/Mutex.h"

extern char** environ;

const char* const NSProcessInfoPowerStateDidChangeNotification =
    "NSProcessInfoPowerStateDidChangeNotification";

namespace {

uint64_t memTotalFromProcMeminfo() {
  std::ifstream in("/proc/meminfo");
  std::string key;
  uint64_t kib = 0;
  std::string unit;
  while (in >> key >> kib >> unit) {
    if (key == "MemTotal:") return kib * 1024;
  }
  return 0;
}

}  // namespace

std::string NSRandomUUIDString() {
  std::random_device device;
  uint8_t b[16];
  for (auto& byte : b) byte = static_cast<uint8_t>(device());
  b[6] = static_cast<uint8_t>((b[6] & 0x0f) | 0x40);  // version 4
  b[8] = static_cast<uint8_t>((b[8] & 0x3f) | 0x80);  // RFC 4122 variant
  char out[37];
  std::snprintf(out, sizeof out,
                "%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", b[0], b[1],
                b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14],
                b[15]);
  return out;
}

namespace {

NSOperatingSystemVersion versionFromEnvironment() {
  const char* text = std::getenv("QX_SYSTEM_VERSION");
  if (!text || !*text) return kNSHostDefaultSystemVersion;
  return NSOperatingSystemVersionFromString(text).value_or(kNSHostDefaultSystemVersion);
}

}  // namespace

std::optional<NSOperatingSystemVersion> NSOperatingSystemVersionFromString(const std::string& s) {
  int64_t parts[3] = {0, 0, 0};
  int count = 0;
  size_t i = 0;
  for (;;) {
    const size_t start = i;
    int64_t n = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9' && i - start < 6) n = n * 10 + (s[i++] - '0');
    if (i == start || (i < s.size() && s[i] >= '0' && s[i] <= '9')) return std::nullopt;
    parts[count++] = n;
    if (i == s.size()) break;
    if (s[i] != '.' || count == 3) return std::nullopt;
    ++i;
  }
  return NSOperatingSystemVersion{parts[0], parts[1], parts[2]};
}

NSHostSystemInfo::NSHostSystemInfo() : version_(versionFromEnvironment()) {}

NSProcessInfo::NSProcessInfo() : provider_(std::make_shared<NSHostSystemInfo>()) {}

NSProcessInfo& NSProcessInfo::processInfo() {
  // Shared so that it can name itself as the sender of its notifications.
  static auto* info = [] {
    auto* shared = new std::shared_ptr<NSProcessInfo>(new NSProcessInfo());
    std::weak_ptr<NSProcessInfo> weak = *shared;
    // Quietly: the power mode of the default is off, and nobody should hear
    // of a change between tests.
    SingletonResets::add([weak] {
      auto self = weak.lock();
      if (!self) return;
      auto fresh = std::make_shared<NSHostSystemInfo>();
      MutexLock lock(self->mutex_);
      self->lowPowerMode_ = fresh->isLowPowerModeEnabled();
      self->provider_ = std::move(fresh);
    });
    return shared;
  }();
  return **info;
}

uint64_t NSProcessInfo::physicalMemory() const {
  long pages = ::sysconf(_SC_PHYS_PAGES);
  long pageSize = ::sysconf(_SC_PAGESIZE);
  if (pages > 0 && pageSize > 0) {
    return static_cast<uint64_t>(pages) * static_cast<uint64_t>(pageSize);
  }
  return memTotalFromProcMeminfo();
}

double NSProcessInfo::systemUptime() const {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

int64_t NSProcessInfo::processorCount() const {
  long n = ::sysconf(_SC_NPROCESSORS_CONF);
  return n > 0 ? n : 1;
}

int64_t NSProcessInfo::activeProcessorCount() const {
  long n = ::sysconf(_SC_NPROCESSORS_ONLN);
  return n > 0 ? n : 1;
}

std::map<std::string, std::string> NSProcessInfo::environment() const {
  std::map<std::string, std::string> env;
  for (char** entry = environ; entry && *entry; ++entry) {
    const char* eq = std::strchr(*entry, '=');
    if (!eq) continue;
    env.emplace(std::string(*entry, static_cast<size_t>(eq - *entry)), std::string(eq + 1));
  }
  return env;
}

std::string NSProcessInfo::processName() const { return program_invocation_short_name; }

int NSProcessInfo::processIdentifier() const { return static_cast<int>(::getpid()); }

std::string NSProcessInfo::globallyUniqueString() const {
  static std::atomic<uint64_t> counter{0};
  char tail[48];
  std::snprintf(tail, sizeof tail, "-%d-%016llX", processIdentifier(),
                static_cast<unsigned long long>(++counter));
  return NSRandomUUIDString() + tail;
}

std::shared_ptr<NSSystemInfoProvider> NSProcessInfo::provider() const {
  MutexLock lock(mutex_);
  return provider_;
}

void NSProcessInfo::setSystemInfoProvider(std::shared_ptr<NSSystemInfoProvider> provider) {
  if (!provider) provider = std::make_shared<NSHostSystemInfo>();
  {
    MutexLock lock(mutex_);
    provider_ = std::move(provider);
  }
  refreshPowerState();
}

void NSProcessInfo::refreshPowerState() {
  const bool enabled = provider()->isLowPowerModeEnabled();
  {
    MutexLock lock(mutex_);
    if (lowPowerMode_ == enabled) return;
    lowPowerMode_ = enabled;
  }
  NSNotificationCenter::defaultCenter().postNotificationName(
      NSProcessInfoPowerStateDidChangeNotification, shared_from_this());
}

bool NSProcessInfo::isLowPowerModeEnabled() const {
  MutexLock lock(mutex_);
  return lowPowerMode_;
}

NSOperatingSystemVersion NSProcessInfo::operatingSystemVersion() const {
  return provider()->operatingSystemVersion();
}

bool NSProcessInfo::isOperatingSystemAtLeastVersion(NSOperatingSystemVersion version) const {
  NSOperatingSystemVersion v = operatingSystemVersion();
  return std::tie(v.majorVersion, v.minorVersion, v.patchVersion) >=
         std::tie(version.majorVersion, version.minorVersion, version.patchVersion);
}

bool NSProcessInfo::isiOSAppOnMac() const { return provider()->isiOSAppOnMac(); }

bool NSProcessInfo::isiOSAppOnVision() const { return provider()->isiOSAppOnVision(); }
