#include "AKImagePickerController/data/AKImagePickerControllerModule.h"

#include <mutex>

#include "AKImagePickerController/data/AKImageAssetExporter.h"
#include "AKImagePickerController/data/AKImageGroupDataManager.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSClassRegistry.h"
#include "platform/foundation/SingletonResets.h"

namespace {

// Marks the code bundle of this module.
class BundleFinder {};

constexpr const char* kBundleName = "AKImagePickerController_AKImagePickerController";

Mutex gMutex;
NSBundlePtr gBundle GUARDED_BY(gMutex);

NSBundlePtr findBundle() {
  if (auto bundle = NSBundle::moduleResourceBundle(kBundleName, typeid(BundleFinder)))
    return bundle;
  FatalStop(std::string("unable to find bundle named ") + kBundleName);
}

}  // namespace

NSBundlePtr AKImagePickerControllerModuleBundle() {
  static std::once_flag once;
  std::call_once(once, [] {
    SingletonResets::add([] {
      MutexLock lock(gMutex);
      gBundle.reset();
    });
  });
  MutexLock lock(gMutex);
  if (!gBundle) gBundle = findBundle();
  return gBundle;
}

void registerAKImagePickerControllerClasses() {
  NSClassRegistry::registerClass("AKImagePickerController.AKImageBaseManager",
                                 [] { return std::make_shared<AKImageBaseManager>(); });
  NSClassRegistry::registerClass("AKImagePickerController.AKImageGroupDataManagerConfiguration",
                                 [] { return std::make_shared<AKImageGroupDataManagerConfiguration>(); });
  NSClassRegistry::registerClass("AKImagePickerController.AKImageAssetExporterConfiguration",
                                 [] { return std::make_shared<AKImageAssetExporterConfiguration>(); });
}
