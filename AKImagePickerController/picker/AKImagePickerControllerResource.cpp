#include "AKImagePickerController/picker/internal/AKImagePickerControllerResource.h"

#include <mutex>

#include "AKImagePickerController/data/AKImagePickerControllerModule.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSCache.h"
#include "platform/foundation/NSLocale.h"
#include "platform/foundation/NSNumberFormatter.h"
#include "platform/foundation/SingletonResets.h"
#include "platform/uikit/UIImage.h"

namespace {

constexpr const char* kTable = "AKImagePickerController";

Mutex gMutex;
AKImagePickerControllerResource::LocalizationBlock gLocalize GUARDED_BY(gMutex);
AKImagePickerControllerResource::ImageBlock gImage GUARDED_BY(gMutex);
std::shared_ptr<NSCache<std::string, UIImage>> gCache GUARDED_BY(gMutex);

void registerReset() {
  static std::once_flag once;
  std::call_once(once, [] {
    SingletonResets::add([] {
      MutexLock lock(gMutex);
      gLocalize = nullptr;
      gImage = nullptr;
      gCache.reset();
    });
  });
}

std::shared_ptr<NSCache<std::string, UIImage>> imageCache() {
  registerReset();
  MutexLock lock(gMutex);
  if (!gCache) gCache = std::make_shared<NSCache<std::string, UIImage>>();
  return gCache;
}

}  // namespace

AKImagePickerControllerResource::LocalizationBlock AKImagePickerControllerResource::customLocalizationBlock() {
  MutexLock lock(gMutex);
  return gLocalize;
}

void AKImagePickerControllerResource::setCustomLocalizationBlock(LocalizationBlock block) {
  registerReset();
  MutexLock lock(gMutex);
  gLocalize = std::move(block);
}

AKImagePickerControllerResource::ImageBlock AKImagePickerControllerResource::customImageBlock() {
  MutexLock lock(gMutex);
  return gImage;
}

void AKImagePickerControllerResource::setCustomImageBlock(ImageBlock block) {
  registerReset();
  MutexLock lock(gMutex);
  gImage = std::move(block);
}

std::string AKImagePickerControllerResource::localizedString(const std::string& key,
                                                             const std::optional<std::string>& defaultValue) {
  if (auto custom = customLocalizationBlock()) {
    if (auto text = custom(key)) return *text;
  }
  return AKImagePickerControllerModuleBundle()->localizedStringForKey(key, defaultValue.value_or(""), kTable);
}

std::shared_ptr<UIImage> AKImagePickerControllerResource::image(const std::string& name, bool stretchable,
                                                                bool cacheable) {
  if (auto custom = customImageBlock()) {
    if (auto image = custom(name)) return image;
  }
  auto cache = imageCache();
  if (cacheable) {
    if (auto hit = cache->objectForKey(name)) return hit;
  }
  auto image = UIImage::imageNamed(name, AKImagePickerControllerModuleBundle(), std::nullopt);
  if (!image) image = std::make_shared<UIImage>();
  if (stretchable) image = stretchedFromMiddle(image);
  if (cacheable) cache->setObject(image, name);
  return image;
}

std::shared_ptr<UIImage> AKImagePickerControllerResource::stretchedFromMiddle(const std::shared_ptr<UIImage>& image) {
  CGSize size = image->size();
  double v = size.height / 2, h = size.width / 2;
  return image->resizableImageWithCapInsets(UIEdgeInsets{v, h, v, h});
}

std::shared_ptr<UIImage> AKImagePickerControllerResource::checkedImage() {
  return image("checked_background", true, true)->imageWithRenderingMode(UIImageRenderingModeAlwaysTemplate);
}
std::shared_ptr<UIImage> AKImagePickerControllerResource::blueTickImage() { return image("tick_blue", false, false); }
std::shared_ptr<UIImage> AKImagePickerControllerResource::cameraImage() { return image("camera", false, false); }
std::shared_ptr<UIImage> AKImagePickerControllerResource::videoCameraImage() {
  return image("video_camera", false, true);
}
std::shared_ptr<UIImage> AKImagePickerControllerResource::emptyAlbumImage() {
  return image("empty_album", true, false);
}
std::shared_ptr<UIImage> AKImagePickerControllerResource::galleryCheckedImage() {
  return image("photoGallery_checked_image", true, true);
}
std::shared_ptr<UIImage> AKImagePickerControllerResource::galleryUncheckedImage() {
  return image("photoGallery_unchecked_image", true, true);
}
std::shared_ptr<UIImage> AKImagePickerControllerResource::galleryBackArrowImage() {
  return image("photoGallery_back_arrow", false, false)->imageWithRenderingMode(UIImageRenderingModeAlwaysOriginal);
}

std::string AKImagePickerControllerResource::formatWithObject(const std::string& format, const std::string& object) {
  size_t plain = format.find("%@");
  size_t positional = format.find("%1$@");
  size_t at = std::min(plain, positional);
  if (at == std::string::npos) return format;
  size_t length = at == plain ? 2 : 4;
  return format.substr(0, at) + object + format.substr(at + length);
}

std::string AKImagePickerControllerResource::formattedCount(int64_t count) {
  NSNumberFormatter formatter;
  formatter.setNumberStyle(NSNumberFormatterDecimalStyle);
  formatter.setLocale(NSLocale::localeWithLocaleIdentifier(NSLocale::currentLocale()->localeIdentifier()));
  return formatter.stringFromNumber(Value(count)).value_or(std::to_string(count));
}
