#include "platform/uikit/UIBrightnessProvider.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/OSLog.h"

namespace {

std::optional<int64_t> readInteger(const std::string& path) {
  std::ifstream in(path);
  int64_t value = 0;
  if (!(in >> value)) return std::nullopt;
  return value;
}

bool writeInteger(const std::string& path, int64_t value) {
  std::ofstream out(path, std::ios::trunc);
  out << value << '\n';
  out.flush();
  return static_cast<bool>(out);
}

}  // namespace

std::shared_ptr<UIBacklightBrightness> UIBacklightBrightness::open(const std::string& folder) {
  std::error_code ec;
  std::vector<std::filesystem::path> devices;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    devices.push_back(entry.path());
  }
  std::sort(devices.begin(), devices.end());
  for (const auto& device : devices) {
    std::string brightnessPath = (device / "brightness").string();
    auto max = readInteger((device / "max_brightness").string());
    if (!max || *max <= 0 || !readInteger(brightnessPath)) continue;
    bool writable = ::access(brightnessPath.c_str(), W_OK) == 0;
    return std::make_shared<UIBacklightBrightness>(brightnessPath, *max, writable);
  }
  return nullptr;
}

UIBacklightBrightness::UIBacklightBrightness(std::string brightnessPath, int64_t maxBrightness,
                                             bool writable)
    : brightnessPath_(std::move(brightnessPath)),
      maxBrightness_(maxBrightness),
      writable_(writable) {}

double UIBacklightBrightness::brightness() {
  // A device that stopped answering reads as its last known state: off.
  auto raw = readInteger(brightnessPath_).value_or(0);
  return std::clamp(static_cast<double>(raw) / static_cast<double>(maxBrightness_), 0.0, 1.0);
}

bool UIBacklightBrightness::setBrightness(double value) {
  if (!writable_) {
    static std::once_flag warned;
    std::call_once(warned, [] { NSLog("UIScreen: the backlight cannot be written"); });
    return false;
  }
  auto raw = std::llround(value * static_cast<double>(maxBrightness_));
  if (!writeInteger(brightnessPath_, raw)) {
    NSLog("UIScreen: could not write " + brightnessPath_);
    return false;
  }
  return true;
}

UIMemoryBrightness::UIMemoryBrightness(double value)
    : value_(std::isfinite(value) ? std::clamp(value, 0.0, 1.0) : 0.5) {}

double UIMemoryBrightness::brightness() {
  MutexLock lock(mutex_);
  return value_;
}

bool UIMemoryBrightness::setBrightness(double value) {
  MutexLock lock(mutex_);
  value_ = value;
  return true;
}
