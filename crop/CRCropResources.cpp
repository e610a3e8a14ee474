#include "crop/internal/CRCropResources.h"

#include "crop/internal/CRCropToolbar.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/NSBundle.h"

namespace {

constexpr const char* kBundleName = "CRCropViewController_CRCropViewController";
constexpr const char* kTable = "CRCropViewControllerLocalizable";

NSBundlePtr resourceBundle() {
  NSBundlePtr classBundle = NSBundle::bundleForClass(typeid(CRCropToolbar));
  // Found as any resource of the class's bundle is (in its language folders
  // too); without one the class's bundle holds the texts itself.
  NSURLPtr url = classBundle->URLForResource(kBundleName, "bundle");
  if (!url) return classBundle;
  NSBundlePtr bundle =
      NSBundle::resourceBundleNamed(kBundleName, {url->URLByDeletingLastPathComponent()->path()});
  if (!bundle) {
    FatalStop(std::string("BundleAccessor: unable to find bundle named ") + kBundleName);
  }
  return bundle;
}

}  // namespace

std::string CRCropLocalizedString(const std::string& key) {
  return resourceBundle()->localizedStringForKey(key, "", kTable);
}
