#pragma once

// The single-item photo and movie picker of the photo library. The choice
// comes from the system picker provider, starting in the photo library
// folder; the picker hands over a copy of the item in the temporary
// directory, as the platform does: a movie under the media URL, an image
// under the image URL (a HEIF image turned into JPEG with the compatible
// export preset). Like the platform's, it leaves dismissing to its delegate.
// Only a regular file is handed over, copied off the main thread, and only
// when the copy fits the disk.
// Movies are handed over as they are: the video export preset and quality are
// kept, not applied (the movie export here never re-encodes).
//
// The camera is available when the device has one: QX_CAMERA_SOURCE or
// QX_FRONT_CAMERA_SOURCE names a source (see
// platform/avfoundation/AVCaptureHardware.h). The picker itself only picks
// from the library; the camera screen takes photos.

#include <memory>
#include <string>
#include <vector>

#include "UISystemPickerViewController.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/ValueFwd.h"

enum class UIImagePickerControllerSourceType : int64_t { PhotoLibrary = 0, Camera = 1, SavedPhotosAlbum = 2 };
enum class UIImagePickerControllerQualityType : int64_t { High = 0, Medium = 1, Low = 2 };
enum class UIImagePickerControllerImageURLExportPreset : int64_t { Compatible = 0, Current = 1 };

// Keys of the info map; values are NSURL objects and type identifier strings.
extern const char* const UIImagePickerControllerMediaType;
extern const char* const UIImagePickerControllerMediaURL;
extern const char* const UIImagePickerControllerImageURL;

class UIImagePickerController;

class UIImagePickerControllerDelegate {
 public:
  virtual ~UIImagePickerControllerDelegate() = default;
  virtual void imagePickerControllerDidFinishPickingMediaWithInfo(UIImagePickerController&,
                                                                  const Value& /*info*/) {}
  virtual void imagePickerControllerDidCancel(UIImagePickerController&) {}
};

class UIImagePickerController : public UISystemPickerViewController {
 public:
  UIImagePickerController();

  // The library always; the camera when a camera source is set.
  static bool isSourceTypeAvailable(UIImagePickerControllerSourceType type);

  std::shared_ptr<UIImagePickerControllerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(const std::shared_ptr<UIImagePickerControllerDelegate>& d) { delegate_ = d; }
  UIImagePickerControllerSourceType sourceType() const { return sourceType_; }
  void setSourceType(UIImagePickerControllerSourceType type) { sourceType_ = type; }
  // ["public.image"] unless set.
  const std::vector<std::string>& mediaTypes() const { return mediaTypes_; }
  void setMediaTypes(std::vector<std::string> types) { mediaTypes_ = std::move(types); }
  UIImagePickerControllerQualityType videoQuality() const { return videoQuality_; }
  void setVideoQuality(UIImagePickerControllerQualityType q) { videoQuality_ = q; }
  const std::string& videoExportPreset() const { return videoExportPreset_; }
  void setVideoExportPreset(std::string preset) { videoExportPreset_ = std::move(preset); }
  UIImagePickerControllerImageURLExportPreset imageExportPreset() const { return imagePreset_; }
  void setImageExportPreset(UIImagePickerControllerImageURLExportPreset p) { imagePreset_ = p; }

  UISystemPickerRequest pickerRequest() const override;
  std::string className() const override { return "UIImagePickerController"; }

 protected:
  void pickerDidAnswer(UISystemPickerAnswer answer) override;

 private:
  // The picked item's type among the media types, "" when it is none of them.
  std::string mediaTypeOf(const std::string& path) const;

  std::weak_ptr<UIImagePickerControllerDelegate> delegate_;
  UIImagePickerControllerSourceType sourceType_ = UIImagePickerControllerSourceType::PhotoLibrary;
  std::vector<std::string> mediaTypes_{"public.image"};
  UIImagePickerControllerQualityType videoQuality_ = UIImagePickerControllerQualityType::Medium;
  std::string videoExportPreset_;
  UIImagePickerControllerImageURLExportPreset imagePreset_ =
      UIImagePickerControllerImageURLExportPreset::Compatible;
};
