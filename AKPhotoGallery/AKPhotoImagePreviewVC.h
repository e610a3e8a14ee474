#pragma once

// The gallery's image pages. The base image page shows what was loaded (a
// decoded image, raw image data, or GIF data played through the GIF manager),
// the failure picture, and offers saving to the photo library. The image
// page decides where the content comes from: the item's own image, the image
// cache, a local file read on its I/O queue, the web downloader or the photo
// library, and offers to download the full-size original of remote images.

#include <memory>
#include <optional>
#include <string>

#include "AKPhotoGallery/AKPhotoBasePreviewVC.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSURL.h"
#include "platform/uikit/UIImageView.h"

class PHAsset;
class UIButton;

// The content view of image pages: an image view that fits its image.
class AKPhotoImageView : public UIImageView {
 public:
  AKPhotoImageView(std::shared_ptr<UIImage> image, std::shared_ptr<UIImage> highlightedImage);
  std::string className() const override { return "AKPhotoImageView"; }
};

class AKPhotoBaseImagePreviewVC : public AKPhotoBasePreviewVC {
 public:
  AKPhotoPreviewClass previewClass() const override {
    return "AKPhotoGallery.AKPhotoBaseImagePreviewVC";
  }

  std::shared_ptr<UIView> createContentView() override;
  void updateContentView(const AKPhotoPreviewContent& content) override;
  CGSize contentSize() override;
  std::shared_ptr<UIImage> snapshotImage() override;
  void showError() override;
  void hidesError() override;
  std::vector<std::shared_ptr<UIAlertAction>> defaultLongPressActions() override;
  std::vector<std::shared_ptr<UIPreviewActionItem>> defaultPreviewActions() override;

  // The text of the first QR code found in the shown image, if any.
  virtual std::optional<std::string> detectStringFromImage();
  // Opens the code's text: a web screen for an address with a scheme and a
  // host, the text screen otherwise, pushed onto the gallery.
  virtual void previewQRCode(const std::string& text);

  // Asks for access and saves the shown image: the GIF's own bytes, a local
  // file's bytes, or the decoded image; a toast tells how it went.
  void saveImageToPhotoLibrary();

  std::string className() const override { return "AKPhotoBaseImagePreviewVC"; }

 protected:
  std::shared_ptr<AKPhotoImageView> imageView() const;

 private:
  void saveAuthorized(const std::shared_ptr<AKPhotoImageView>& imageView);
  void showSaveResult(const NSErrorPtr& error);
};

class AKPhotoImagePreviewVC : public AKPhotoBaseImagePreviewVC {
 public:
  AKPhotoImagePreviewVC();

  AKPhotoPreviewClass previewClass() const override { return kAKPhotoImagePreviewClass; }

  void viewDidLoad() override;
  void photoPreviewWillAppear() override;
  void prepareForReuse() override;
  void updateContentView(const AKPhotoPreviewContent& content) override;
  void fetchContent(ProgressBlock progress, CompleteBlock complete) override;

  // The button's action: fetches the original and shows it once it came.
  void downloadOriginalImage();
  void updateDownloadOriginalTitle();
  void layoutDownloadOriginalButton();

  const NSURLPtr& downloadURL() const { return downloadURL_; }
  std::optional<size_t> reuseIdentifier() const {
    MutexLock lock(reuseMutex_);
    return reuseIdentifier_;
  }
  const std::shared_ptr<UIButton>& downloadOriginalImageButton() const { return button_; }

  std::string className() const override { return "AKPhotoImagePreviewVC"; }

 private:
  // Copyable: the cache query and the loaders' stages each hold it; the once-only
  // step is the CompleteBlock it wraps.
  using Completion = std::function<void(AKPhotoPreviewContent, NSErrorPtr)>;
  NSURLPtr originalURL() const;
  // True while the page still shows the source a request was made for.
  // Asked from the loaders' threads while the main thread reuses the page.
  bool stillShows(const std::optional<size_t>& reuseIdentifier) const {
    MutexLock lock(reuseMutex_);
    return reuseIdentifier_ == reuseIdentifier;
  }
  void setReuseIdentifier(std::optional<size_t> identifier) {
    MutexLock lock(reuseMutex_);
    reuseIdentifier_ = identifier;
  }
  void loadImage(const std::shared_ptr<NSObject>& identifier, std::function<void(float)> progress,
                 Completion completion);
  static void loadLocalImageFile(const NSURLPtr& url, Completion completion);
  static void fetchCachedOrDownload(const std::shared_ptr<NSObject>& identifier,
                                    std::function<void(float)> progress, Completion completion);

  std::shared_ptr<UIImage> image_;
  NSURLPtr downloadURL_;
  std::shared_ptr<PHAsset> asset_;
  mutable Mutex reuseMutex_;  // guards reuseIdentifier_ (written on the main thread only)
  std::optional<size_t> reuseIdentifier_ GUARDED_BY(reuseMutex_);
  std::shared_ptr<UIButton> button_;
};

// "500B" style sizes for the download button: four-wide whole bytes up to
// 1024, then two decimals of the largest unit that keeps the value at most
// 1024.
std::string AKFormattedByteCount(uint64_t bytes);
