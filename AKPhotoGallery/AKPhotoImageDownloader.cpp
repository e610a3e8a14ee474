#include "AKPhotoGallery/internal/AKPhotoImageDownloader.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "AKPhotoGallery/internal/AKPhotoGalleryResource.h"
#include "image_loading/downloader/ILRemoteImageDownloader.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/SingletonResets.h"
#include "platform/imageio/UTType.h"
#include "platform/photos/PHAsset.h"
#include "platform/photos/PHImageManager.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIScreen.h"

NSErrorPtr AKPhotoImageFetchError() {
  auto identifier = NSBundle::mainBundle()->bundleIdentifier();
  if (!identifier) FatalStop("The main bundle has no identifier.");
  return NSError::errorWithDomain(
      *identifier, -1,
      Value::map({{NSLocalizedDescriptionKey,
                   AKPhotoGalleryResource::localizedStringWithKey("preview.image.fetch.error")}}));
}

namespace {

Mutex gSharedMutex;  // guards gWebDownloader and gAssetDownloader
std::shared_ptr<AKPhotoImageWebDownloader> gWebDownloader GUARDED_BY(gSharedMutex);
std::shared_ptr<AKPhotoImageAssetDownloader> gAssetDownloader GUARDED_BY(gSharedMutex);

// Each test starts with downloaders made on first use; what a test left
// queued on the web downloader's own downloader is cancelled with it.
void registerSharedReset() {
  static std::once_flag once;
  std::call_once(once, [] {
    SingletonResets::add([] {
      std::shared_ptr<AKPhotoImageWebDownloader> web;
      {
        MutexLock lock(gSharedMutex);
        web = std::move(gWebDownloader);
        gAssetDownloader.reset();
      }
      if (web) web->downloader()->cancelAllDownloads();
    });
  });
}

std::optional<float> progressFraction(int64_t received, int64_t expected) {
  if (expected <= 0) return std::nullopt;
  float fraction = static_cast<float>(received) / static_cast<float>(expected);
  if (!std::isfinite(fraction)) return std::nullopt;
  return std::clamp(fraction, 0.0f, 1.0f);
}

}  // namespace

std::shared_ptr<AKPhotoImageWebDownloader> AKPhotoImageWebDownloader::shared() {
  registerSharedReset();
  MutexLock lock(gSharedMutex);
  if (!gWebDownloader) gWebDownloader = std::make_shared<AKPhotoImageWebDownloader>();
  return gWebDownloader;
}

AKPhotoImageWebDownloader::AKPhotoImageWebDownloader() {
  auto config = std::make_shared<ILRemoteImageDownloaderConfig>();
  config->executionOrder = ILDownloadLIFOExecutionOrder;
  downloader_ = ILRemoteImageDownloader::create(config);
}

void AKPhotoImageWebDownloader::downloadImage(const std::shared_ptr<NSObject>& identifier,
                                              Progress progress, Completion completion) {
  auto url = std::dynamic_pointer_cast<NSURL>(identifier);
  if (!url) return;
  ILRemoteImageDownloaderProgressBlock onProgress;
  if (progress) {
    onProgress = [progress](int64_t received, int64_t expected, const NSURLPtr&) {
      if (auto fraction = progressFraction(received, expected)) progress(*fraction);
    };
  }
  // Only the first answer counts: a download without the progressive option
  // answers once, and a stray later call must not answer the page again.
  auto once = SplitOnceCallback(std::move(completion));
  downloader_->downloadImageWithURL(
      url, ILDownloadHighPriority, onProgress,
      [once](UIImagePtr image, NSDataPtr data, NSErrorPtr error, bool finished) {
        if ((image || data) && finished) {
          once(std::move(image), std::move(data), std::move(error));
        } else {
          once(nullptr, nullptr, AKPhotoImageFetchError());
        }
      });
}

std::shared_ptr<AKPhotoImageAssetDownloader> AKPhotoImageAssetDownloader::shared() {
  registerSharedReset();
  MutexLock lock(gSharedMutex);
  if (!gAssetDownloader) gAssetDownloader = std::make_shared<AKPhotoImageAssetDownloader>();
  return gAssetDownloader;
}

// The images being made, by asset identifier, and the calls waiting for each.
struct AKPhotoImageAssetDownloader::Loads {
  struct Waiting {
    std::vector<Progress> progress;
    std::vector<Completion> completions;
  };
  Mutex mutex;  // guards waiting
  std::map<std::string, Waiting> waiting GUARDED_BY(mutex);

  // False when a load for `key` is under way already: the call waits for it.
  bool add(const std::string& key, Progress progress, Completion completion) {
    MutexLock lock(mutex);
    auto [load, first] = waiting.try_emplace(key);
    if (progress) load->second.progress.push_back(std::move(progress));
    load->second.completions.push_back(std::move(completion));
    return first;
  }
  void report(const std::string& key, float value) {
    std::vector<Progress> progress;
    {
      MutexLock lock(mutex);
      if (auto load = waiting.find(key); load != waiting.end()) progress = load->second.progress;
    }
    for (const Progress& p : progress) p(value);
  }
  // Answers every call waiting for `key`, once: a later delivery finds none.
  void answer(const std::string& key, const UIImagePtr& image) {
    Waiting done;
    {
      MutexLock lock(mutex);
      auto load = waiting.find(key);
      if (load == waiting.end()) return;
      done = std::move(load->second);
      waiting.erase(load);
    }
    for (Completion& completion : done.completions) {
      if (image) {
        completion(image, nullptr, nullptr);
      } else {
        completion(nullptr, nullptr, AKPhotoImageFetchError());
      }
    }
  }
};

AKPhotoImageAssetDownloader::AKPhotoImageAssetDownloader() : loads_(std::make_shared<Loads>()) {}

void AKPhotoImageAssetDownloader::downloadImage(const std::shared_ptr<NSObject>& identifier,
                                                Progress progress, Completion completion) {
  auto asset = std::dynamic_pointer_cast<PHAsset>(identifier);
  if (!asset) return;
  auto options = std::make_shared<PHImageRequestOptions>();
  options->resizeMode = PHImageRequestOptionsResizeModeExact;
  options->deliveryMode = PHImageRequestOptionsDeliveryModeHighQualityFormat;
  options->networkAccessAllowed = true;
  auto manager = PHImageManager::defaultManager();
  if (asset->uniformTypeIdentifier() != kUTTypeGIF) {
    requestImage(manager, asset, options, std::move(progress), std::move(completion));
    return;
  }
  if (progress) {
    options->progressHandler = [progress](double value, const NSErrorPtr&, bool*, const Value&) {
      if (value > 0) progress(static_cast<float>(value));
    };
  }
  manager->requestImageDataForAsset(
      asset, options,
      [completion = std::move(completion)](const NSDataPtr& data, const std::string&,
                                           UIImageOrientation, const Value&) mutable {
        if (data) {
          completion(nullptr, data, nullptr);
        } else {
          completion(nullptr, nullptr, AKPhotoImageFetchError());
        }
      });
}

void AKPhotoImageAssetDownloader::requestImage(const std::shared_ptr<PHImageManager>& manager,
                                               const PHAssetPtr& asset,
                                               const PHImageRequestOptionsPtr& options,
                                               Progress progress, Completion completion) {
  const std::string key = asset->localIdentifier();
  if (!loads_->add(key, std::move(progress), std::move(completion))) return;
  options->progressHandler = [loads = loads_, key](double value, const NSErrorPtr&, bool*,
                                                   const Value&) {
    if (value > 0) loads->report(key, static_cast<float>(value));
  };
  auto screen = UIScreen::mainScreen();
  CGSize target{screen->bounds().size.width * screen->scale(),
                screen->bounds().size.height * screen->scale()};
  // High-quality delivery answers once; should a provider deliver again, the
  // calls have already been answered.
  manager->requestImageForAsset(asset, target, PHImageContentModeAspectFit, options,
                                [loads = loads_, key](const UIImagePtr& image, const Value&) {
                                  loads->answer(key, image);
                                });
}
