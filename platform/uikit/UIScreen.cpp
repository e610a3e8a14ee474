#include "UIScreen.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/OSLog.h"
#include "platform/foundation/SingletonResets.h"

const char* const UIScreenBrightnessDidChangeNotification =
    "UIScreenBrightnessDidChangeNotification";

namespace {

const char* const kSystemBacklightFolder = "/sys/class/backlight";

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

UIScreen::UIScreen() = default;

std::shared_ptr<UIScreen> UIScreen::mainScreen() {
  static auto screen = [] {
    auto s = std::make_shared<UIScreen>();
    s->useBacklightFolder(kSystemBacklightFolder);
    SingletonResets::add([s] { s->useProfile(UIScreenProfile::phoneWithNotch()); });
    return s;
  }();
  return screen;
}

std::optional<UIScreen::Backlight> UIScreen::findBacklight(const std::string& folder) {
  std::error_code ec;
  std::vector<std::filesystem::path> devices;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ec)) {
    devices.push_back(entry.path());
  }
  std::sort(devices.begin(), devices.end());
  for (const auto& device : devices) {
    Backlight b;
    b.brightnessPath = (device / "brightness").string();
    auto max = readInteger((device / "max_brightness").string());
    if (!max || *max <= 0 || !readInteger(b.brightnessPath)) continue;
    b.maxBrightness = *max;
    b.writable = ::access(b.brightnessPath.c_str(), W_OK) == 0;
    return b;
  }
  return std::nullopt;
}

bool UIScreen::useBacklightFolder(const std::string& folder) {
  auto found = findBacklight(folder);
  if (!found) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  backlight_ = std::move(found);
  return true;
}

void UIScreen::useInMemoryBrightness(double value) {
  std::lock_guard<std::mutex> lock(mutex_);
  backlight_.reset();
  memoryBrightness_ = std::isfinite(value) ? std::clamp(value, 0.0, 1.0) : 0.5;
}

bool UIScreen::isBacklightBacked() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return backlight_.has_value();
}

bool UIScreen::isBrightnessWritable() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return !backlight_ || backlight_->writable;
}

double UIScreen::brightness() const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!backlight_) return memoryBrightness_;
  // A device that stopped answering reads as its last known state: off.
  auto raw = readInteger(backlight_->brightnessPath).value_or(0);
  return std::clamp(static_cast<double>(raw) / static_cast<double>(backlight_->maxBrightness), 0.0,
                    1.0);
}

void UIScreen::setBrightness(double brightness) {
  if (std::isnan(brightness)) return;
  if (!storeBrightness(std::clamp(brightness, 0.0, 1.0))) return;
  NSNotificationCenter::defaultCenter().postNotificationName(
      UIScreenBrightnessDidChangeNotification, shared_from_this());
}

bool UIScreen::storeBrightness(double clamped) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!backlight_) {
    memoryBrightness_ = clamped;
    return true;
  }
  if (!backlight_->writable) {
    static std::once_flag warned;
    std::call_once(warned, [] { NSLog("UIScreen: the backlight cannot be written"); });
    return false;
  }
  auto raw = std::llround(clamped * static_cast<double>(backlight_->maxBrightness));
  if (!writeInteger(backlight_->brightnessPath, raw)) {
    NSLog("UIScreen: could not write " + backlight_->brightnessPath);
    return false;
  }
  return true;
}

double UIScreen::scale() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return scale_;
}

CGRect UIScreen::bounds() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return bounds_;
}

int64_t UIScreen::maximumFramesPerSecond() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return maximumFramesPerSecond_;
}

void UIScreen::setScale(double scale) {
  std::lock_guard<std::mutex> lock(mutex_);
  scale_ = scale;
}

void UIScreen::setBounds(const CGRect& bounds) {
  std::lock_guard<std::mutex> lock(mutex_);
  bounds_ = bounds;
}

void UIScreen::setMaximumFramesPerSecond(int64_t framesPerSecond) {
  std::lock_guard<std::mutex> lock(mutex_);
  maximumFramesPerSecond_ = framesPerSecond;
}

UIScreenProfile UIScreenProfile::phone() {
  return {CGSizeMake(375, 667), 2, UIEdgeInsetsMake(20, 0, 0, 0), UIEdgeInsetsZero,
          UIUserInterfaceIdiomPhone};
}

UIScreenProfile UIScreenProfile::phoneWithNotch() {
  return {CGSizeMake(390, 844), 3, UIEdgeInsetsMake(47, 0, 34, 0),
          UIEdgeInsetsMake(0, 47, 21, 47), UIUserInterfaceIdiomPhone};
}

UIScreenProfile UIScreenProfile::pad() {
  return {CGSizeMake(1024, 1366), 2, UIEdgeInsetsMake(24, 0, 20, 0),
          UIEdgeInsetsMake(24, 0, 20, 0), UIUserInterfaceIdiomPad};
}

void UIScreen::useProfile(const UIScreenProfile& profile) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    profile_ = profile;
    scale_ = profile.scale;
    orientation_ = UIInterfaceOrientationPortrait;
    bounds_ = CGRect{CGPointZero, profile.portraitSize};
  }
  UIDevice::currentDevice()->setUserInterfaceIdiom(profile.idiom);
}

void UIScreen::setInterfaceOrientation(UIInterfaceOrientation orientation) {
  std::lock_guard<std::mutex> lock(mutex_);
  orientation_ = orientation;
  CGSize p = profile_.portraitSize;
  bounds_ = UIInterfaceOrientationIsLandscape(orientation)
                ? CGRectMake(0, 0, p.height, p.width)
                : CGRectMake(0, 0, p.width, p.height);
}

UIInterfaceOrientation UIScreen::interfaceOrientation() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return orientation_;
}

UIEdgeInsets UIScreen::safeAreaInsets() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return UIInterfaceOrientationIsLandscape(orientation_) ? profile_.landscapeSafeArea
                                                         : profile_.portraitSafeArea;
}
