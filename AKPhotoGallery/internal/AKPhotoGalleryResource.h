#pragma once

// The gallery's texts and button images, read from its own resource bundle
// "AKPhotoGallery_AKPhotoGallery.bundle". A process-wide callback may answer
// any text first; a text nobody knows reads as its key.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/NSBundle.h"

class UIImage;

class AKPhotoGalleryResource {
 public:
  using LocalizationBlock = std::function<std::optional<std::string>(const std::string& key)>;

  // Found on first use (main bundle's resources, then the bundle of this
  // module's code, then the main bundle's folder) and kept; none found stops
  // the process, as a broken build.
  static NSBundlePtr resourceBundle();

  static LocalizationBlock customLocalizationBlock();
  static void setCustomLocalizationBlock(LocalizationBlock block);

  static std::string localizedStringWithKey(const std::string& key,
                                            const std::optional<std::string>& value = std::nullopt);

  // Never null: a missing image is an empty one.
  static std::shared_ptr<UIImage> downloadFailedImage();
  static std::shared_ptr<UIImage> closeVideoImage();
  static std::shared_ptr<UIImage> videoPlayImage();
  static std::shared_ptr<UIImage> videoToolbarPlayImage();
  static std::shared_ptr<UIImage> videoToolbarPauseImage();
  static std::shared_ptr<UIImage> videoTimeSliderImage();
  // Resizable: only the centre stretches.
  static std::shared_ptr<UIImage> videoPlayControlBackgroundImage();

  static std::shared_ptr<UIImage> imageNamed(const std::string& name);
};
