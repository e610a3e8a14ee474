#include "crop/internal/CRCropResources.h"

#include "crop/internal/CRCropToolbar.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/NSBundle.h"

namespace {

constexpr const char* kBundleName = "CRCropViewController_CRCropViewController";
constexpr const char* kTable = "CRCropViewControllerLocalizable";

NSBundlePtr resourceBundle() {
  NSBundlePtr classBundle = NSBundle::bundleForClass(typeid(CRCropToolbar));
  NSURLPtr url = classBundle->URLForResource(kBundleName, "bundle");
  if (!url) return classBundle;
  NSBundlePtr bundle = NSBundle::bundleWithURL(url);
  if (!bundle) {
    FatalStop(std::string("BundleAccessor: unable to find bundle named ") + kBundleName);
  }
  return bundle;
}

}  // namespace

std::string CRCropLocalizedString(const std::string& key) {
  return resourceBundle()->localizedStringForKey(key, "", kTable);
}
