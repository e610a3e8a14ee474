#include "UIDevice.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSData.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/SingletonResets.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/foundation/NSTimer.h"
#include "platform/foundation/OSLog.h"

const char* const UIDeviceBatteryStateDidChangeNotification =
    "UIDeviceBatteryStateDidChangeNotification";
const char* const UIDeviceBatteryLevelDidChangeNotification =
    "UIDeviceBatteryLevelDidChangeNotification";

namespace {

std::optional<std::string> readLine(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::string line;
  if (!std::getline(in, line)) return std::nullopt;
  while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
  return line;
}

// The kernel's "Not charging" is a supply that is plugged in but holds its
// charge (a charge limit, or a full pack): plugged in, so not unplugged.
UIDeviceBatteryState stateForStatus(const std::string& status, float level) {
  if (status == "Charging") return UIDeviceBatteryState::Charging;
  if (status == "Discharging") return UIDeviceBatteryState::Unplugged;
  if (status == "Full") return UIDeviceBatteryState::Full;
  if (status == "Not charging") {
    return level >= 1.0f ? UIDeviceBatteryState::Full : UIDeviceBatteryState::Charging;
  }
  return UIDeviceBatteryState::Unknown;
}

bool isUUIDString(const std::string& s) {
  if (s.size() != 36) return false;
  for (size_t i = 0; i < s.size(); ++i) {
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? s[i] != '-' : !std::isxdigit(static_cast<unsigned char>(s[i]))) return false;
  }
  return true;
}

}  // namespace

UIDevice::UIDevice() : batteryProvider_(std::make_shared<UIPowerSupplyBattery>()) {}

UIDevice::~UIDevice() {
  if (pollTimer_) pollTimer_->invalidate();
}

std::shared_ptr<UIDevice> UIDevice::currentDevice() {
  static auto device = [] {
    auto made = std::make_shared<UIDevice>();
    SingletonResets::add([weak = std::weak_ptr<UIDevice>(made)] {
      auto d = weak.lock();
      if (!d) return;
      MutexLock lock(d->mutex_);
      d->reported_ = UIDeviceOrientationPortrait;
      d->orientationListeners_ = 0;
    });
    return made;
  }();
  return device;
}

std::string UIDevice::name() const {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return model();
  return host;
}

std::string UIDevice::systemName() const { return "iOS"; }

std::string UIDevice::systemVersion() const {
  auto v = NSProcessInfo::processInfo().operatingSystemVersion();
  std::string text = std::to_string(v.majorVersion) + "." + std::to_string(v.minorVersion);
  if (v.patchVersion != 0) text += "." + std::to_string(v.patchVersion);
  return text;
}

std::string UIDevice::model() const {
  return userInterfaceIdiom() == UIUserInterfaceIdiomPad ? "iPad" : "iPhone";
}

UIUserInterfaceIdiom UIDevice::userInterfaceIdiom() const {
  MutexLock lock(mutex_);
  return idiom_;
}

void UIDevice::setUserInterfaceIdiom(UIUserInterfaceIdiom idiom) {
  MutexLock lock(mutex_);
  idiom_ = idiom;
}

std::string UIDevice::localizedModel() const { return model(); }

std::string UIDevice::vendorIdentifierPath() {
  return NSFileManager::containerRoot() + "/Library/.identifierForVendor";
}

std::optional<std::string> UIDevice::identifierForVendor() const {
  std::string path = vendorIdentifierPath();
  MutexLock lock(mutex_);
  // Kept per file, so a container moved elsewhere is read afresh.
  if (vendorIdentifier_ && vendorIdentifierFile_ == path) return vendorIdentifier_;
  vendorIdentifier_.reset();
  vendorIdentifierFile_ = path;
  if (auto stored = readLine(path); stored && isUUIDString(*stored)) {
    vendorIdentifier_ = *stored;
    return vendorIdentifier_;
  }
  std::string fresh = NSRandomUUIDString();
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  std::string line = fresh + "\n";
  NSErrorPtr error;
  if (!WriteFileAtomically(path, line.data(), line.size(), &error)) {
    NSLog("UIDevice: cannot keep the vendor identifier: " + error->localizedDescription());
    return std::nullopt;
  }
  vendorIdentifier_ = fresh;
  return vendorIdentifier_;
}

bool UIDevice::isBatteryMonitoringEnabled() const {
  MutexLock lock(mutex_);
  return monitoring_;
}

void UIDevice::setBatteryMonitoringEnabled(bool enabled) {
  std::shared_ptr<NSTimer> stale;
  {
    MutexLock lock(mutex_);
    if (enabled == monitoring_) return;
    monitoring_ = enabled;
    stale = std::move(pollTimer_);
  }
  if (stale) stale->invalidate();
  if (!enabled) return;
  // Monitoring starts from the present reading; only later changes are news.
  UIBatteryReading reading = currentReading();
  std::weak_ptr<UIDevice> weak = std::static_pointer_cast<UIDevice>(shared_from_this());
  auto timer =
      NSTimer::scheduledTimerWithTimeInterval(kBatteryPollInterval, true, [weak](NSTimer&) {
        if (auto self = weak.lock()) self->refreshBattery();
      });
  MutexLock lock(mutex_);
  battery_ = reading;
  pollTimer_ = std::move(timer);
}

float UIDevice::batteryLevel() const {
  MutexLock lock(mutex_);
  return monitoring_ ? battery_.level : -1.0f;
}

UIDeviceBatteryState UIDevice::batteryState() const {
  MutexLock lock(mutex_);
  return monitoring_ ? battery_.state : UIDeviceBatteryState::Unknown;
}

void UIDevice::setBatteryProvider(std::shared_ptr<UIBatteryProvider> provider) {
  if (!provider) provider = std::make_shared<UIPowerSupplyBattery>();
  {
    MutexLock lock(mutex_);
    batteryProvider_ = std::move(provider);
  }
  refreshBattery();
}

void UIDevice::refreshBattery() { applyReading(currentReading()); }

UIBatteryReading UIDevice::currentReading() {
  std::shared_ptr<UIBatteryProvider> provider;
  {
    MutexLock lock(mutex_);
    provider = batteryProvider_;
  }
  return provider->read();
}

void UIDevice::applyReading(const UIBatteryReading& reading) {
  bool stateChanged = false;
  bool levelChanged = false;
  {
    MutexLock lock(mutex_);
    stateChanged = reading.state != battery_.state;
    levelChanged = reading.level != battery_.level;
    battery_ = reading;
    if (!monitoring_) return;
  }
  auto self = shared_from_this();
  auto& center = NSNotificationCenter::defaultCenter();
  if (stateChanged) center.postNotificationName(UIDeviceBatteryStateDidChangeNotification, self);
  if (levelChanged) center.postNotificationName(UIDeviceBatteryLevelDidChangeNotification, self);
}

UIPowerSupplyBattery::UIPowerSupplyBattery(std::string folder) : folder_(std::move(folder)) {}

UIBatteryReading UIPowerSupplyBattery::read() {
  std::error_code ec;
  std::vector<std::filesystem::path> supplies;
  for (const auto& entry : std::filesystem::directory_iterator(folder_, ec)) {
    supplies.push_back(entry.path());
  }
  std::sort(supplies.begin(), supplies.end());
  for (const auto& supply : supplies) {
    if (readLine(supply / "type") != "Battery") continue;
    UIBatteryReading reading;
    auto capacity = readLine(supply / "capacity");
    if (capacity && !capacity->empty()) {
      char* end = nullptr;
      long percent = std::strtol(capacity->c_str(), &end, 10);
      if (*end == '\0') reading.level = static_cast<float>(std::clamp(percent, 0L, 100L)) / 100.0f;
    }
    reading.state = stateForStatus(readLine(supply / "status").value_or(""), reading.level);
    return reading;
  }
  return UIBatteryReading{};
}

const char* const UIDeviceOrientationDidChangeNotification =
    "UIDeviceOrientationDidChangeNotification";

UIDeviceOrientation UIDevice::orientation() const {
  MutexLock lock(mutex_);
  return orientationListeners_ > 0 ? reported_ : UIDeviceOrientationUnknown;
}

void UIDevice::setOrientation(UIDeviceOrientation orientation) {
  QX_DCHECK_MAIN_THREAD();
  bool post;
  {
    MutexLock lock(mutex_);
    post = orientationListeners_ > 0 && orientation != reported_;
    reported_ = orientation;
  }
  if (post) {
    NSNotificationCenter::defaultCenter().postNotificationName(
        UIDeviceOrientationDidChangeNotification, shared_from_this());
  }
}

void UIDevice::beginGeneratingDeviceOrientationNotifications() {
  MutexLock lock(mutex_);
  ++orientationListeners_;
}

void UIDevice::endGeneratingDeviceOrientationNotifications() {
  MutexLock lock(mutex_);
  if (orientationListeners_ > 0) --orientationListeners_;
}

bool UIDevice::isGeneratingDeviceOrientationNotifications() const {
  MutexLock lock(mutex_);
  return orientationListeners_ > 0;
}
