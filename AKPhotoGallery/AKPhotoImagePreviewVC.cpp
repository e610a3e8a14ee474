#include "AKPhotoGallery/AKPhotoImagePreviewVC.h"

#include <cstdio>
#include <functional>

#include "AKPhotoGallery/AKPhotoGalleryItem.h"
#include "AKPhotoGallery/internal/AKPhotoGalleryResource.h"
#include "AKPhotoGallery/AKPhotoImageDecoding.h"
#include "AKPhotoGallery/internal/AKPhotoImageDownloader.h"
#include "AKPhotoGallery/internal/AKPhotoQRCodeResultVC.h"
#include "AKPhotoGallery/internal/AKPhotoWebVC.h"
#include "gif/AnimGifManager.h"
#include "gif/UIImageAnimGif.h"
#include "gif/UIImageViewAnimGif.h"
#include "image_loading/cache/ILImageCache.h"
#include "image_loading/coders/UIImageMultiFormat.h"
#include "image_loading/coders/ILImageFormat.h"
#include "platform/coreimage/CIDetector.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSData.h"
#include "platform/foundation/Value.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/photos/PHAsset.h"
#include "platform/photos/PHAssetCreationRequest.h"
#include "platform/photos/PHPhotoLibrary.h"
#include "platform/uikit/UIAlertController.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIColor.h"
#include "platform/uikit/UIFont.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UINavigationController.h"

namespace {

constexpr float kGifIntegrity = 0.8f;
constexpr double kButtonHeight = 25;
constexpr double kButtonMinimumWidth = 100;
constexpr double kButtonBottomMargin = 20;

dispatch_queue_t ioQueue() {
  static dispatch_queue_t queue = dispatch_queue_create("AKPhotoImagePreviewVC.ioQueue");
  return queue;
}

bool isGif(const NSDataPtr& data) { return data && il_imageFormatForImageData(data) == 2; }

std::string text(const char* key) { return AKPhotoGalleryResource::localizedStringWithKey(key); }

}  // namespace

std::string AKFormattedByteCount(uint64_t bytes) {
  static const char* const kUnits[] = {"B", "KB", "MB", "GB", "TB"};
  char buffer[64];
  if (bytes <= 1024) {
    std::snprintf(buffer, sizeof buffer, "%4.0f%s", static_cast<double>(bytes), kUnits[0]);
    return buffer;
  }
  double value = static_cast<double>(bytes);
  size_t unit = 0;
  // Beyond the largest unit the value keeps growing in terabytes.
  while (value > 1024 && unit < 4) {
    value /= 1024;
    ++unit;
  }
  std::snprintf(buffer, sizeof buffer, "%4.2f%s", value, kUnits[unit]);
  return buffer;
}

AKPhotoImageView::AKPhotoImageView(std::shared_ptr<UIImage> image,
                                   std::shared_ptr<UIImage> highlightedImage)
    : UIImageView(std::move(image)) {
  setHighlightedImage(std::move(highlightedImage));
  setContentMode(UIViewContentModeScaleAspectFit);
}

// ---------------------------------------------------------------------------
// The base image page.

std::shared_ptr<AKPhotoImageView> AKPhotoBaseImagePreviewVC::imageView() const {
  return std::dynamic_pointer_cast<AKPhotoImageView>(contentView());
}

std::shared_ptr<UIView> AKPhotoBaseImagePreviewVC::createContentView() {
  return std::make_shared<AKPhotoImageView>(nullptr, nullptr);
}

void AKPhotoBaseImagePreviewVC::updateContentView(const AKPhotoPreviewContent& content) {
  auto view = imageView();
  if (!view) return;
  if (auto data = std::dynamic_pointer_cast<NSData>(content)) {
    if (isGif(data)) {
      // A GIF image is frames and a schedule, with no single bitmap behind it.
      if (auto gif = AnimGif::imageWithGifData(data, kGifIntegrity)) {
        AnimGif::setGifImage(view, gif, AnimGifManager::defaultManager(), -1);
        return;
      }
    }
    AnimGif::clear(view);
    view->setImage(UIImage::imageWithData(data));
    return;
  }
  if (auto image = std::dynamic_pointer_cast<UIImage>(content)) {
    // Whatever GIF the view played before belongs to another item.
    AnimGif::clear(view);
    view->setImage(image);
  }
}

CGSize AKPhotoBaseImagePreviewVC::contentSize() {
  auto view = imageView();
  if (!view) return {0, 0};
  if (auto image = view->image()) return image->size();
  if (auto frame = AnimGif::currentImage(*view)) return frame->size();
  return {0, 0};
}

std::shared_ptr<UIImage> AKPhotoBaseImagePreviewVC::snapshotImage() {
  auto view = imageView();
  if (view && view->image()) return view->image();
  return item() ? item()->thumbnail() : nullptr;
}

void AKPhotoBaseImagePreviewVC::showError() {
  auto view = imageView();
  if (!view || (item() && item()->thumbnail())) return;
  AnimGif::clear(view);
  view->setImage(AKPhotoGalleryResource::downloadFailedImage());
  view->setContentMode(UIViewContentModeCenter);
}

void AKPhotoBaseImagePreviewVC::hidesError() {
  if (auto view = contentView()) view->setContentMode(UIViewContentModeScaleAspectFit);
}

std::vector<std::shared_ptr<UIAlertAction>> AKPhotoBaseImagePreviewVC::defaultLongPressActions() {
  std::vector<std::shared_ptr<UIAlertAction>> actions;
  auto weak = WeakFromThis(this);
  if (auto code = detectStringFromImage()) {
    actions.push_back(UIAlertAction::actionWithTitle(
        text("preview.image.extractQRCode.title"), UIAlertActionStyle::Default,
        [weak, code = *code](UIAlertAction&) {
          if (auto self = std::static_pointer_cast<AKPhotoBaseImagePreviewVC>(weak.lock())) {
            self->previewQRCode(code);
          }
        }));
  }
  actions.push_back(UIAlertAction::actionWithTitle(
      text("preview.image.longPress.saveImage.title"), UIAlertActionStyle::Default,
      [weak](UIAlertAction&) {
        if (auto self = std::static_pointer_cast<AKPhotoBaseImagePreviewVC>(weak.lock())) {
          self->saveImageToPhotoLibrary();
        }
      }));
  return actions;
}

std::vector<std::shared_ptr<UIPreviewActionItem>> AKPhotoBaseImagePreviewVC::defaultPreviewActions() {
  auto self = std::static_pointer_cast<AKPhotoBaseImagePreviewVC>(shared_from_this());
  return {UIPreviewAction::actionWithTitle(
      text("preview.3DTouch.saveImage.title"), UIPreviewActionStyle::Default,
      [self](UIPreviewAction&, UIViewController&) { self->saveImageToPhotoLibrary(); })};
}

std::optional<std::string> AKPhotoBaseImagePreviewVC::detectStringFromImage() {
  auto view = imageView();
  auto image = view ? view->image() : nullptr;
  if (!image || !image->CGImage()) return std::nullopt;
  auto picture = CIImage::imageWithCGImage(image->CGImage());
  if (!picture) return std::nullopt;
  auto detector = CIDetector::detectorOfType(CIDetectorTypeQRCode, nullptr,
                                             Value::map({{CIDetectorAccuracy, CIDetectorAccuracyHigh}}));
  if (!detector) return std::nullopt;
  auto features = detector->featuresInImage(picture);
  if (features.empty()) return std::nullopt;
  // Only the first code counts, whatever the others hold.
  auto code = std::dynamic_pointer_cast<CIQRCodeFeature>(features.front());
  if (!code) return std::nullopt;
  return code->messageString();
}

void AKPhotoBaseImagePreviewVC::previewQRCode(const std::string& code) {
  auto navigation = navigationController();
  if (!navigation) return;
  auto url = NSURL::URLWithString(code);
  if (url && url->scheme() && url->host() && !url->host()->empty()) {
    auto web = std::make_shared<AKPhotoWebVC>();
    web->setUrlString(code);
    navigation->pushViewController(web, true);
    return;
  }
  auto result = std::make_shared<AKPhotoQRCodeResultVC>();
  result->setResult(code);
  navigation->pushViewController(result, true);
}

void AKPhotoBaseImagePreviewVC::saveImageToPhotoLibrary() {
  auto view = imageView();
  if (!view) return;
  auto self = std::static_pointer_cast<AKPhotoBaseImagePreviewVC>(shared_from_this());
  // The page goes on to the main queue and nothing of it stays behind: the
  // last hold on a page closed meanwhile must be let go on the main thread.
  PHPhotoLibrary::requestAuthorization([self, view](PHAuthorizationStatus status) mutable {
    dispatch_async(dispatch_get_main_queue(), [self = std::move(self), view = std::move(view),
                                               status] {
      if (status == PHAuthorizationStatusRestricted || status == PHAuthorizationStatusDenied) {
        self->showTips(text("preview.image.saveImage.permission.error"));
      } else if (status == PHAuthorizationStatusAuthorized) {
        self->saveAuthorized(view);
      }
    });
  });
}

void AKPhotoBaseImagePreviewVC::saveAuthorized(const std::shared_ptr<AKPhotoImageView>& view) {
  NSDataPtr bytes;
  if (auto gif = AnimGif::gifImage(*view)) bytes = AnimGif::imageData(*gif);
  if (!bytes && item() && item()->imageURL() && item()->imageURL()->isFileURL()) {
    bytes = NSData::dataWithContentsOfFile(item()->imageURL()->path());
  }
  std::function<void()> changes;
  if (bytes) {
    changes = [bytes] {
      PHAssetCreationRequest::creationRequestForAsset()->addResourceWithType(PHAssetResourceTypePhoto,
                                                                            bytes);
    };
  } else if (auto image = view->image()) {
    changes = [image] { PHAssetChangeRequest::creationRequestForAssetFromImage(image); };
  } else {
    return;
  }
  auto self = std::static_pointer_cast<AKPhotoBaseImagePreviewVC>(shared_from_this());
  PHPhotoLibrary::sharedPhotoLibrary()->performChanges(
      std::move(changes), [self](bool, NSErrorPtr error) mutable {
        dispatch_async(dispatch_get_main_queue(),
                       [self = std::move(self), error] { self->showSaveResult(error); });
      });
}

void AKPhotoBaseImagePreviewVC::showSaveResult(const NSErrorPtr& error) {
  showTips(error ? error->localizedDescription() : text("preview.image.saveImage.result.success"));
}

// ---------------------------------------------------------------------------
// The image page.

AKPhotoImagePreviewVC::AKPhotoImagePreviewVC()
    : button_(UIButton::buttonWithType(UIButtonType::Custom)) {}

void AKPhotoImagePreviewVC::viewDidLoad() {
  AKPhotoBaseImagePreviewVC::viewDidLoad();
  button_->titleLabel()->setFont(UIFont::systemFontOfSize(12));
  button_->layer()->setBorderWidth(1);
  button_->layer()->setBorderColor(UIColor::colorWithRed(0.47, 0.45, 0.45, 1)->CGColor());
  button_->layer()->setCornerRadius(2);
  button_->setBackgroundColor(UIColor::colorWithWhite(0, 0.6));
  button_->setContentEdgeInsets(UIEdgeInsetsMake(0, 5, 0, 5));
  button_->addTarget(
      shared_from_this(),
      WeakBind(WeakFromThis(this), [](AKPhotoImagePreviewVC& self, auto&&...) {
        self.downloadOriginalImage();
      }),
      UIControlEventTouchUpInside);
  view()->addSubview(button_);
}

void AKPhotoImagePreviewVC::photoPreviewWillAppear() {
  const auto& current = item();
  if (current->image()) {
    image_ = current->image();
  } else if (current->imageURL()) {
    downloadURL_ = current->imageURL();
    setReuseIdentifier(downloadURL_->hash());
  } else if (current->asset()) {
    asset_ = current->asset();
    setReuseIdentifier(std::hash<std::string>()(asset_->localIdentifier()));
  }
}

void AKPhotoImagePreviewVC::prepareForReuse() {
  if (scrollView()) resetScale();
  if (indicatorView()) indicatorView()->stopIndicating();
  thumbnailView()->setHidden(true);
  // The page leaves the GIF manager: a reused page must never show or save
  // the previous item's animation.
  if (auto view = imageView()) {
    AnimGif::clear(view);
    view->setImage(nullptr);
  }
  setReuseIdentifier(std::nullopt);
  downloadURL_ = nullptr;
  image_ = nullptr;
  asset_ = nullptr;
  button_->setHidden(true);
}

NSURLPtr AKPhotoImagePreviewVC::originalURL() const {
  if (!item()) return nullptr;
  const Value* value =
      item()->extraInfo().find(AKPhotoGalleryItemConstant::extraInfoKeyRemoteImageOriginalURL());
  return value && value->isObject() ? value->objectAs<NSURL>() : nullptr;
}

void AKPhotoImagePreviewVC::fetchContent(ProgressBlock progress, CompleteBlock complete) {
  if (image_) {
    complete(image_, nullptr);
    return;
  }
  const auto identifier = reuseIdentifier();
  auto weak = WeakFromThis(this);
  auto guarded = [weak, identifier] {
    auto self = weak.lock();
    return self ? self->stillShows(identifier) : !identifier.has_value();
  };
  std::function<void(float)> onProgress = [guarded, progress](float value) {
    if (!guarded() || !progress) return;
    dispatch_async(dispatch_get_main_queue(), [progress, value] { progress(value); });
  };
  auto once = SplitOnceCallback(std::move(complete));
  Completion onComplete = [guarded, once](AKPhotoPreviewContent content, NSErrorPtr error) {
    if (!guarded()) return;
    dispatch_async(dispatch_get_main_queue(), [once, content, error] { once(content, error); });
  };
  if (downloadURL_) {
    if (auto original = originalURL()) {
      // Guarded like every answer: a page reused meanwhile (for a library
      // asset, which never sets the address) must not take this item's
      // original as its own.
      ILImageCache::sharedImageCache()->queryCacheOperationForKey(
          original->absoluteString(), ILImageCacheScaleDownLargeImages, nullptr,
          ILImageCacheKindAll,
          [weak, identifier, original, onProgress, onComplete](UIImagePtr image, NSDataPtr data,
                                                               ILImageCacheKind) {
            auto self = std::static_pointer_cast<AKPhotoImagePreviewVC>(weak.lock());
            if (!self || !self->stillShows(identifier)) return;
            if (image || data) self->downloadURL_ = original;
            if (self->downloadURL_) self->loadImage(self->downloadURL_, onProgress, onComplete);
          });
      return;
    }
    loadImage(downloadURL_, onProgress, onComplete);
    return;
  }
  if (asset_) loadImage(asset_, onProgress, onComplete);
}

void AKPhotoImagePreviewVC::loadImage(const std::shared_ptr<NSObject>& identifier,
                                      std::function<void(float)> progress, Completion completion) {
  if (auto url = std::dynamic_pointer_cast<NSURL>(identifier); url && url->isFileURL()) {
    dispatch_async(ioQueue(), [url, completion] { loadLocalImageFile(url, completion); });
    return;
  }
  fetchCachedOrDownload(identifier, std::move(progress), std::move(completion));
}

void AKPhotoImagePreviewVC::loadLocalImageFile(const NSURLPtr& url, Completion completion) {
  auto cache = ILImageCache::sharedImageCache();
  const std::string key = url->absoluteString();
  if (auto cached = cache->imageFromMemoryCacheForKey(key)) {
    completion(cached, nullptr);
    return;
  }
  NSErrorPtr error;
  auto data = NSData::dataWithContentsOfFile(url->path(), &error);
  if (!data) {
    completion(nullptr, error);
    return;
  }
  if (isGif(data)) {
    // The memory cache keeps images only: the GIF is read again next time.
    cache->storeImage(nullptr, data, key, 0, nullptr, ILImageCacheKindMemory);
    completion(data, nullptr);
    return;
  }
  auto image = il_imageWithData(data);
  if (!image) {
    completion(nullptr, AKPhotoImageFetchError());
    return;
  }
  image = decodedImage(image);
  if (!image) {
    completion(nullptr, AKPhotoImageFetchError());
    return;
  }
  cache->storeImage(image, nullptr, key, 0, nullptr, ILImageCacheKindMemory);
  completion(image, nullptr);
}

void AKPhotoImagePreviewVC::fetchCachedOrDownload(const std::shared_ptr<NSObject>& identifier,
                                                  std::function<void(float)> progress,
                                                  Completion completion) {
  std::string key;
  std::shared_ptr<AKPhotoImageDownloader> downloader;
  if (auto url = std::dynamic_pointer_cast<NSURL>(identifier)) {
    key = url->absoluteString();
    downloader = AKPhotoImageWebDownloader::shared();
  } else if (auto asset = std::dynamic_pointer_cast<PHAsset>(identifier)) {
    key = asset->localIdentifier();
    downloader = AKPhotoImageAssetDownloader::shared();
  } else {
    return;
  }
  // A library photo is already on the device: a disk copy of it would only
  // cost its encoding (a HEIC photo comes back as a HEIC image, and encoding
  // HEIC takes seconds and hundreds of megabytes), so it stays in memory
  // only, as a local file does. Remote pictures keep their bytes on disk.
  const ILImageCacheKind storeIn =
      std::dynamic_pointer_cast<PHAsset>(identifier) ? ILImageCacheKindMemory : ILImageCacheKindAll;
  ILImageCache::sharedImageCache()->queryCacheOperationForKey(
      key, ILImageCacheQueryMemoryData | ILImageCacheScaleDownLargeImages, nullptr,
      ILImageCacheKindAll,
      [identifier, key, downloader, progress, completion, storeIn](
          UIImagePtr image, NSDataPtr data, ILImageCacheKind) {
        if (image || data) {
          if (isGif(data) || !image) {
            completion(data, nullptr);
          } else {
            completion(image, nullptr);
          }
          return;
        }
        downloader->downloadImage(
            identifier, progress,
            [key, completion, storeIn](std::shared_ptr<UIImage> image, NSDataPtr data,
                                       NSErrorPtr error) {
              if (error && !image && !data) {
                completion(nullptr, error);
                return;
              }
              if (error) {
                completion(nullptr, error);
                return;
              }
              ILImageCache::sharedImageCache()->storeImage(image, data, key, 0, nullptr, storeIn);
              if (data) {
                completion(data, nullptr);
              } else {
                completion(image, nullptr);
              }
            });
      });
}

void AKPhotoImagePreviewVC::updateContentView(const AKPhotoPreviewContent& content) {
  AKPhotoBaseImagePreviewVC::updateContentView(content);
  auto original = originalURL();
  if (!original || (downloadURL_ && downloadURL_->isEqual(*original))) {
    button_->setHidden(true);
    return;
  }
  const auto identifier = reuseIdentifier();
  auto weak = WeakFromThis(this);
  ILImageCache::sharedImageCache()->queryCacheOperationForKey(
      original->absoluteString(), 0, nullptr, ILImageCacheKindAll,
      [weak, identifier](UIImagePtr image, NSDataPtr data, ILImageCacheKind) {
        auto self = weak.lock();
        if (!self || !self->stillShows(identifier)) return;
        if (image || data) {
          self->button_->setHidden(true);
          return;
        }
        self->updateDownloadOriginalTitle();
        self->button_->setEnabled(true);
        self->button_->setHidden(false);
      });
}

void AKPhotoImagePreviewVC::updateDownloadOriginalTitle() {
  std::string title = text("preview.image.download.original.title");
  const Value* size =
      item() ? item()->extraInfo().find(AKPhotoGalleryItemConstant::extraInfoKeyRemoteImageOriginalSize())
             : nullptr;
  if (size && size->isInteger() && size->asInt64() >= 0) {
    title += "(" + AKFormattedByteCount(static_cast<uint64_t>(size->asInt64())) + ")";
  }
  button_->setTitle(title, UIControlStateNormal);
  layoutDownloadOriginalButton();
}

void AKPhotoImagePreviewVC::layoutDownloadOriginalButton() {
  button_->sizeToFit();
  const double width = std::max(button_->frame().size.width, kButtonMinimumWidth);
  const CGSize size = view()->bounds().size;
  button_->setFrame({{(size.width - width) / 2, size.height - kButtonHeight - kButtonBottomMargin},
                     {width, kButtonHeight}});
}

void AKPhotoImagePreviewVC::downloadOriginalImage() {
  auto original = originalURL();
  if (!original) return;
  button_->setEnabled(false);
  const auto identifier = reuseIdentifier();
  auto weak = WeakFromThis(this);
  fetchCachedOrDownload(
      original,
      [weak, identifier](float value) {
        auto self = weak.lock();
        if (!self || !self->stillShows(identifier)) return;
        dispatch_async(dispatch_get_main_queue(), [weak, value] {
          auto page = weak.lock();
          if (!page || !(value > 0)) return;
          char title[32];
          std::snprintf(title, sizeof title, "%.0f%%", static_cast<double>(value) * 100);
          page->button_->setTitle(std::string(title), UIControlStateNormal);
          page->layoutDownloadOriginalButton();
        });
      },
      [weak, identifier](AKPhotoPreviewContent, NSErrorPtr error) {
        auto self = weak.lock();
        if (!self || !self->stillShows(identifier)) return;
        if (!error) {
          self->setNeedsUpdateContent();
          self->button_->setHidden(true);
        } else {
          self->button_->setEnabled(true);
          self->updateDownloadOriginalTitle();
        }
      });
}
