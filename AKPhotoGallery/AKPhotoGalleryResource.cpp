#include "AKPhotoGallery/internal/AKPhotoGalleryResource.h"

#include <mutex>

#include "platform/foundation/Fatal.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/SingletonResets.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/uikit/UIImage.h"

namespace {

// Marks the code bundle of this module.
class BundleFinder {};

constexpr const char* kBundleName = "AKPhotoGallery_AKPhotoGallery";
constexpr const char* kTable = "AKPhotoGallery";

Mutex gMutex;
NSBundlePtr gBundle GUARDED_BY(gMutex);
AKPhotoGalleryResource::LocalizationBlock gLocalize GUARDED_BY(gMutex);

NSBundlePtr findBundle() {
  if (auto bundle = NSBundle::moduleResourceBundle(kBundleName, typeid(BundleFinder)))
    return bundle;
  FatalStop(std::string("unable to find bundle named ") + kBundleName);
}

void registerReset() {
  static std::once_flag once;
  std::call_once(once, [] {
    SingletonResets::add([] {
      MutexLock lock(gMutex);
      gBundle.reset();
      gLocalize = nullptr;
    });
  });
}

}  // namespace

NSBundlePtr AKPhotoGalleryResource::resourceBundle() {
  registerReset();
  MutexLock lock(gMutex);
  if (!gBundle) gBundle = findBundle();
  return gBundle;
}

AKPhotoGalleryResource::LocalizationBlock AKPhotoGalleryResource::customLocalizationBlock() {
  MutexLock lock(gMutex);
  return gLocalize;
}

void AKPhotoGalleryResource::setCustomLocalizationBlock(LocalizationBlock block) {
  registerReset();
  MutexLock lock(gMutex);
  gLocalize = std::move(block);
}

std::string AKPhotoGalleryResource::localizedStringWithKey(const std::string& key,
                                                           const std::optional<std::string>& value) {
  if (auto custom = customLocalizationBlock()) {
    if (auto text = custom(key)) return *text;
  }
  return resourceBundle()->localizedStringForKey(key, value.value_or(""), kTable);
}

std::shared_ptr<UIImage> AKPhotoGalleryResource::imageNamed(const std::string& name) {
  auto image = UIImage::imageNamed(name, resourceBundle(), std::nullopt);
  return image ? image : std::make_shared<UIImage>();
}

std::shared_ptr<UIImage> AKPhotoGalleryResource::downloadFailedImage() {
  return imageNamed("ImageFailed");
}
std::shared_ptr<UIImage> AKPhotoGalleryResource::closeVideoImage() { return imageNamed("VideoClose"); }
std::shared_ptr<UIImage> AKPhotoGalleryResource::videoPlayImage() { return imageNamed("VideoPlay"); }
std::shared_ptr<UIImage> AKPhotoGalleryResource::videoToolbarPlayImage() {
  return imageNamed("ToolbarPlay");
}
std::shared_ptr<UIImage> AKPhotoGalleryResource::videoToolbarPauseImage() {
  return imageNamed("ToolbarPause");
}
std::shared_ptr<UIImage> AKPhotoGalleryResource::videoTimeSliderImage() {
  return imageNamed("VideoTimeSlider");
}

std::shared_ptr<UIImage> AKPhotoGalleryResource::videoPlayControlBackgroundImage() {
  auto image = imageNamed("VideoPlayControlBackground");
  CGSize size = image->size();
  double v = size.height / 2, h = size.width / 2;
  return image->resizableImageWithCapInsets(UIEdgeInsets{v, h, v, h});
}
