#include "image_loading/animated/internal/ILImageAssetManager.h"

#include <cmath>
#include <cstdio>

#include "image_loading/animated/internal/ILDeviceHelper.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/SingletonResets.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIImage.h"

namespace {

// "@2x" for 2, "@1.5x" for 1.5: the number as the platform prints it.
std::string marker(double scale) {
  char text[32];
  std::snprintf(text, sizeof text, "@%gx", scale);
  return text;
}

bool endsWith(const std::string& s, const std::string& suffix) {
  return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::shared_ptr<ILImageAssetManager>& sharedSlot() {
  static std::shared_ptr<ILImageAssetManager> slot;
  return slot;
}

}  // namespace

std::shared_ptr<ILImageAssetManager> ILImageAssetManager::create() {
  auto manager = std::make_shared<ILImageAssetManager>();
  NSNotificationCenter::defaultCenter().addObserver(
      manager.get(), UIApplicationDidReceiveMemoryWarningNotification, nullptr,
      WeakBind(std::weak_ptr<ILImageAssetManager>(manager),
               [](ILImageAssetManager& m, const NSNotification&) { m.didReceiveMemoryWarning(); }));
  return manager;
}

ILImageAssetManager::~ILImageAssetManager() {
  NSNotificationCenter::defaultCenter().removeObserver(this);
}

std::shared_ptr<ILImageAssetManager> ILImageAssetManager::sharedAssetManager() {
  static Mutex mutex;  // guards the shared manager
  static std::once_flag registered;
  std::call_once(registered, [] {
    SingletonResets::add([] {
      MutexLock lock(mutex);
      sharedSlot().reset();
    });
  });
  MutexLock lock(mutex);
  if (!sharedSlot()) sharedSlot() = create();
  return sharedSlot();
}

std::vector<double> ILImageAssetManager::scaleFactors() {
  const double screen = ILDeviceHelper::screenScale();
  if (screen <= 1) return {1, 2, 3};
  if (screen <= 2) return {2, 3, 1};
  return {3, 2, 1};
}

std::optional<std::string> ILImageAssetManager::getPathForName(const std::string& name,
                                                               const NSBundlePtr& bundle,
                                                               double& preferredScale) const {
  NSParameterAssert(bundle);
  if (name.empty() || name.back() == '/') return std::nullopt;
  const size_t slash = name.rfind('/');
  const size_t dot = name.rfind('.');
  const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash) &&
                            dot + 1 < name.size() && dot != (slash == std::string::npos ? 0 : slash + 1);
  const std::string extension = hasExtension ? name.substr(dot + 1) : "png";
  const std::string base = hasExtension ? name.substr(0, dot) : name;
  const double preferred = preferredScale;
  const std::vector<double> scales = scaleFactors();
  for (double scale : scales) {
    if (endsWith(base, marker(scale))) {
      if (auto path = bundle->pathForResource(base, extension)) {
        preferredScale = scale;
        return path;
      }
    }
  }
  if (preferred != 0) {
    if (auto path = bundle->pathForResource(base + marker(preferred), extension)) return path;
  }
  for (double scale : scales) {
    if (scale == preferred) continue;
    if (auto path = bundle->pathForResource(base + marker(scale), extension)) {
      preferredScale = scale;
      return path;
    }
  }
  return bundle->pathForResource(base, extension);
}

std::shared_ptr<UIImage> ILImageAssetManager::imageForName(const std::string& name) const {
  MutexLock lock(lock_);
  auto it = imageTable_.find(name);
  return it == imageTable_.end() ? nullptr : it->second;
}

void ILImageAssetManager::storeImage(const std::shared_ptr<UIImage>& image,
                                     const std::string& name) {
  NSParameterAssert(image);
  MutexLock lock(lock_);
  imageTable_[name] = image;
}

void ILImageAssetManager::didReceiveMemoryWarning() {
  MutexLock lock(lock_);
  imageTable_.clear();
}
