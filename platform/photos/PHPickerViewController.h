#pragma once

// The photo picker: photos and videos of the photo library, several at a
// time. The choice comes from the system picker provider, starting in the
// photo library folder; each picked item becomes a result whose item provider
// loads a temporary copy of the file's bytes (a link is followed). An item
// that is not a regular file becomes a result with nothing to load, so the
// delegate hears of it as of any item that fails to load; a selection whose
// copies would not fit the disk fails. Like the platform's, the picker leaves
// dismissing to its delegate. The compatible representation mode hands over
// the files as they are (no transcoding).

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/NSItemProvider.h"
#include "platform/uikit/UISystemPickerViewController.h"

// The kinds of item the picker offers, as type identifiers.
class PHPickerFilter {
 public:
  static PHPickerFilter imagesFilter();
  static PHPickerFilter videosFilter();
  static PHPickerFilter livePhotosFilter();
  static PHPickerFilter anyFilterMatchingSubfilters(const std::vector<PHPickerFilter>& filters);
  const std::vector<std::string>& types() const { return types_; }

 private:
  std::vector<std::string> types_;
};

enum class PHPickerConfigurationAssetRepresentationMode : int64_t {
  Automatic = 0,
  Current = 1,
  Compatible = 2,
};

struct PHPickerConfiguration {
  std::optional<PHPickerFilter> filter;  // none: every image and video
  int64_t selectionLimit = 1;            // 0: no limit
  PHPickerConfigurationAssetRepresentationMode preferredAssetRepresentationMode =
      PHPickerConfigurationAssetRepresentationMode::Automatic;
};

struct PHPickerResult {
  std::shared_ptr<NSItemProvider> itemProvider;
  std::optional<std::string> assetIdentifier;
};

class PHPickerViewController;

class PHPickerViewControllerDelegate {
 public:
  virtual ~PHPickerViewControllerDelegate() = default;
  // No results when the user cancelled.
  virtual void pickerDidFinishPicking(PHPickerViewController& picker,
                                      const std::vector<PHPickerResult>& results) = 0;
};

class PHPickerViewController : public UISystemPickerViewController {
 public:
  explicit PHPickerViewController(PHPickerConfiguration configuration);

  const PHPickerConfiguration& configuration() const { return configuration_; }
  std::shared_ptr<PHPickerViewControllerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(const std::shared_ptr<PHPickerViewControllerDelegate>& d) { delegate_ = d; }

  UISystemPickerRequest pickerRequest() const override;
  std::string className() const override { return "PHPickerViewController"; }

  // The result for a picked file: its provider holds the file's own type and
  // "public.image" or "public.movie" when it is one; nullopt when the file is
  // neither. A link stands for the file it names.
  static PHPickerResult resultForFile(const std::string& path);

 protected:
  void pickerDidAnswer(UISystemPickerAnswer answer) override;

 private:
  // A result of the kind `path` claims to be whose provider loads nothing.
  static PHPickerResult unloadableResult(const std::string& path, const std::string& refusal);

  PHPickerConfiguration configuration_;
  std::weak_ptr<PHPickerViewControllerDelegate> delegate_;
};
