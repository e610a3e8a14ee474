#pragma once
// Every text and image of the picker's screens, by key or name: a
// process-wide callback may answer first; what it leaves comes from the
// picker's resource bundle (string table "AKImagePickerController" and its
// images). Class-level state only; main thread.

#include <functional>
#include <memory>
#include <optional>
#include <string>

class UIImage;

class AKImagePickerControllerResource {
 public:
  using LocalizationBlock = std::function<std::optional<std::string>(const std::string& key)>;
  using ImageBlock = std::function<std::shared_ptr<UIImage>(const std::string& name)>;

  static LocalizationBlock customLocalizationBlock();
  static void setCustomLocalizationBlock(LocalizationBlock block);
  static ImageBlock customImageBlock();
  static void setCustomImageBlock(ImageBlock block);

  // The callback's answer (an empty text counts), else the table's text,
  // else `defaultValue`, else the key itself.
  static std::string localizedString(const std::string& key,
                                     const std::optional<std::string>& defaultValue = std::nullopt);

  // The callback's image as it is; else the bundle's (an empty image when
  // it has none), made resizable from the middle when `stretchable`, and
  // kept by name when `cacheable` (a later request of the name gets the
  // kept image whatever its flags). Never null.
  static std::shared_ptr<UIImage> image(const std::string& name, bool stretchable, bool cacheable);

  static std::shared_ptr<UIImage> checkedImage();           // template rendering
  static std::shared_ptr<UIImage> blueTickImage();
  static std::shared_ptr<UIImage> cameraImage();
  static std::shared_ptr<UIImage> videoCameraImage();
  static std::shared_ptr<UIImage> emptyAlbumImage();
  static std::shared_ptr<UIImage> galleryCheckedImage();
  static std::shared_ptr<UIImage> galleryUncheckedImage();
  static std::shared_ptr<UIImage> galleryBackArrowImage();  // never tinted

  // Cap insets of half the height and half the width: only the centre
  // stretches.
  static std::shared_ptr<UIImage> stretchedFromMiddle(const std::shared_ptr<UIImage>& image);

  // Fills a localised format's one object placeholder: the first "%@" or
  // "%1$@" becomes `object`; every other "%" stays as written, so a
  // translation can never reach a printf-style formatter.
  static std::string formatWithObject(const std::string& format, const std::string& object);
  // A count as the current locale writes it with the decimal style ("1,000").
  static std::string formattedCount(int64_t count);
};
