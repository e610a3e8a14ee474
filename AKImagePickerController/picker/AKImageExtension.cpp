#include "AKImagePickerController/picker/internal/AKImageExtension.h"


#include "AKImagePickerController/picker/AKImagePickerController.h"
#include "AKImagePickerController/picker/AKImagePickerControllerPickerModule.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/OSLog.h"
#include "platform/foundation/SingletonResets.h"

namespace {

constexpr const char* kNoneName = "AKImagePickerController.AKImageExtensionNone";

// The default classes, looked up by name in this order.
constexpr const char* kDefaultNames[] = {
    "AKImagePickerController.AKImageExtensionGallery",
    "AKImagePickerController.AKImageExtensionCamera",
    "AKImagePickerController.AKImageExtensionInlineCamera",
    "AKImagePickerController.AKImageExtensionPhotoCropper",
};

struct Registries {
  Mutex mutex;
  std::map<std::string, AKImageExtensionClass> runtime GUARDED_BY(mutex);
  std::map<AKImageExtensionType, AKImageExtensionClass> user GUARDED_BY(mutex);
  std::map<AKImageExtensionType, AKImageExtensionClass> defaults GUARDED_BY(mutex);
  bool defaultsRegistered GUARDED_BY(mutex) = false;
};

Registries& registries() {
  static Registries* made = [] {
    auto* r = new Registries;
    SingletonResets::add([r] {
      MutexLock lock(r->mutex);
      r->user.clear();
      r->defaults.clear();
      r->defaultsRegistered = false;
    });
    return r;
  }();
  return *made;
}

std::optional<AKImageExtensionClass> entry(const std::map<AKImageExtensionType, AKImageExtensionClass>& map,
                                           AKImageExtensionType type) {
  auto it = map.find(type);
  if (it == map.end()) return std::nullopt;
  return it->second;
}

const char* caseName(AKImageExtensionType type) {
  switch (type) {
    case AKImageExtensionType::gallery: return "gallery";
    case AKImageExtensionType::camera: return "camera";
    case AKImageExtensionType::inlineCamera: return "inlineCamera";
    case AKImageExtensionType::photoEditor: return "photoEditor";
  }
  return "unknown";
}

const OSLogRef& extensionLog() {
  static const OSLogRef log = os_log_create("AKImagePickerController", "extensions");
  return log;
}

}  // namespace

std::optional<AKImageExtensionType> AKImageExtensionTypeFromRawValue(int64_t raw) {
  if (raw < 0 || raw > 3) return std::nullopt;
  return static_cast<AKImageExtensionType>(raw);
}

void AKImageBaseExtension::perform(const AKImageExtensionInfo&) { FatalStop("This method must be overridden."); }
void AKImageBaseExtension::finish() { FatalStop("This method must be overridden."); }

bool AKImageExtensionClass::isNone() const { return name == kNoneName; }

AKImageExtensionClass AKImageExtensionClass::none() {
  return of<AKImageExtensionNone>(kNoneName, std::nullopt);
}

void AKImageExtensionClass::registerRuntimeClass(AKImageExtensionClass cls) {
  auto& r = registries();
  MutexLock lock(r.mutex);
  r.runtime[cls.name] = std::move(cls);
}

std::optional<AKImageExtensionClass> AKImageExtensionClass::named(const std::string& name) {
  auto& r = registries();
  MutexLock lock(r.mutex);
  auto it = r.runtime.find(name);
  if (it == r.runtime.end()) return std::nullopt;
  return it->second;
}

void AKImageExtensionClass::registerAsDefaultExtension() const {
  if (extensionType) AKImageExtensionController::registerDefaultExtensionWithExtensionClass(*this, *extensionType);
}

AKImageExtensionController::AKImageExtensionController(const std::shared_ptr<AKImagePickerController>& picker)
    : imagePickerController_(picker) {}

void AKImageExtensionController::registerExtensionWithExtensionClass(const AKImageExtensionClass& cls,
                                                                     AKImageExtensionType type) {
  auto& r = registries();
  MutexLock lock(r.mutex);
  r.user[type] = cls;
}

void AKImageExtensionController::unregisterExtensionFor(AKImageExtensionType type) {
  auto& r = registries();
  MutexLock lock(r.mutex);
  r.user.erase(type);
}

void AKImageExtensionController::registerDefaultExtensionWithExtensionClass(const AKImageExtensionClass& cls,
                                                                            AKImageExtensionType type) {
  auto& r = registries();
  MutexLock lock(r.mutex);
  r.defaults[type] = cls;
}

void AKImageExtensionController::registerDefaultExtensions() {
  // The module's own classes are known to the runtime before they are looked up.
  registerAKImagePickerControllerPickerClasses();
  auto& r = registries();
  {
    MutexLock lock(r.mutex);
    if (r.defaultsRegistered) return;
    r.defaultsRegistered = true;
  }
  for (const char* name : kDefaultNames) {
    if (auto cls = AKImageExtensionClass::named(name)) cls->registerAsDefaultExtension();
  }
}

AKImageBaseExtensionPtr AKImageExtensionController::cachedExtension(AKImageExtensionType type) const {
  auto it = cache_.find(type);
  return it == cache_.end() ? nullptr : it->second;
}

void AKImageExtensionController::performWithExtensionType(AKImageExtensionType type,
                                                          const AKImageExtensionInfo& info) {
  registerDefaultExtensions();
  std::optional<AKImageExtensionClass> cls;
  {
    auto& r = registries();
    MutexLock lock(r.mutex);
    cls = entry(r.user, type);
    if (!cls) cls = entry(r.defaults, type);
  }
  if (!cls || cls->isNone() || !cls->make) {
    os_log_with_type(extensionLog(), OSLogType::Debug,
                     std::string("No AKImageExtension found: AKImageExtensionType.") + caseName(type));
    return;
  }
  if (auto cached = cachedExtension(type)) {
    cached->perform(info);
    return;
  }
  // A new context needs the picker; a controller that outlived it has
  // nothing left to run the extension for.
  auto picker = imagePickerController_.lock();
  if (!picker) return;
  std::shared_ptr<UIViewController> grid;
  auto top = picker->topViewController();
  if (std::dynamic_pointer_cast<AKAssetGroupDetailInterface>(top)) grid = top;
  auto extension = cls->make(std::make_shared<AKImageExtensionContext>(picker, grid));
  if (!extension) return;
  cache_[type] = extension;
  extension->perform(info);
}

void AKImageExtensionController::finishWithExtensionType(AKImageExtensionType type) {
  if (auto cached = cachedExtension(type)) cached->finish();
}

bool AKImageExtensionController::isExtensionTypeAvailable(AKImageExtensionType type) const {
  if (blacklist_.count(type)) return false;
  auto& r = registries();
  MutexLock lock(r.mutex);
  if (auto user = entry(r.user, type)) return !user->isNone();
  if (auto fallback = entry(r.defaults, type)) return !fallback->isNone();
  return false;
}
