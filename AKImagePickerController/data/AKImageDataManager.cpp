#include "AKImagePickerController/data/AKImageDataManager.h"

#include <limits>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/SingletonResets.h"
#include "platform/foundation/Value.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/photos/PHPhotoLibrary.h"

namespace {

constexpr size_t kCancelledLimit = 100;

bool boolFor(const Value& info, const char* key) {
  const Value* v = info.find(key);
  return v && (v->isBool() || v->isNumber()) && v->asBool();
}

Mutex gSharedMutex;
AKImageDataManagerPtr gShared GUARDED_BY(gSharedMutex);

}  // namespace

struct AKImageDataManager::Chain {
  enum class Kind { Image, Data, Video } kind;
  int32_t requestID = 0;
  AKAssetPtr asset;
  CGSize size{0, 0};
  PHImageContentMode contentMode = PHImageContentModeAspectFit;
  PHImageRequestOptionsPtr imageOptions;
  PHVideoRequestOptionsPtr videoOptions;
  AKImageCompletion image;
  AKDataCompletion data;
  AKVideoCompletion video;
  // Bumped by each platform request of the chain: a retry made while the
  // first request call had not returned yet tracks itself.
  std::atomic<int> attempt{0};

  bool networkAllowed() const {
    return kind == Kind::Video ? videoOptions->networkAccessAllowed : imageOptions->networkAccessAllowed;
  }
  // Answers the caller; data and video callers hear once.
  void answer(const UIImagePtr& img, const NSDataPtr& bytes, const AVAssetPtr& av, const Value& info) {
    switch (kind) {
      case Kind::Image:
        if (image) image(img, info);
        break;
      case Kind::Data:
        data(bytes, info);
        break;
      case Kind::Video:
        video(av, info);
        break;
    }
  }
};

AKImageDataManagerPtr getImageDataManager() {
  static std::once_flag once;
  std::call_once(once, [] {
    SingletonResets::add([] {
      MutexLock lock(gSharedMutex);
      gShared.reset();
    });
  });
  MutexLock lock(gSharedMutex);
  if (!gShared) gShared = std::make_shared<AKImageDataManager>();
  return gShared;
}

AKImageDataManager::AKImageDataManager() : manager_(std::make_shared<PHCachingImageManager>()) {}

void AKImageDataManager::checkPhotoPermission(OnceCallback<void(bool)> handler) {
  if (PHPhotoLibrary::authorizationStatus() == PHAuthorizationStatusAuthorized) return handler(true);
  if (PHPhotoLibrary::authorizationStatus() != PHAuthorizationStatusNotDetermined) return handler(false);
  PHPhotoLibrary::requestAuthorization(
      [handler = std::move(handler)](PHAuthorizationStatus) mutable {
        dispatch_async(dispatch_get_main_queue(), [handler = std::move(handler)]() mutable {
          handler(PHPhotoLibrary::authorizationStatus() == PHAuthorizationStatusAuthorized);
        });
      });
}

PHImageRequestOptionsPtr AKImageDataManager::imageRequestOptions() {
  MutexLock lock(lock_);
  if (!imageRequestOptions_) {
    imageRequestOptions_ = std::make_shared<PHImageRequestOptions>();
    imageRequestOptions_->networkAccessAllowed = true;
  }
  return imageRequestOptions_;
}

PHVideoRequestOptionsPtr AKImageDataManager::videoRequestOptions() {
  MutexLock lock(lock_);
  if (!videoRequestOptions_) {
    videoRequestOptions_ = std::make_shared<PHVideoRequestOptions>();
    videoRequestOptions_->deliveryMode = PHVideoRequestOptionsDeliveryModeMediumQualityFormat;
    videoRequestOptions_->networkAccessAllowed = true;
  }
  return videoRequestOptions_;
}

int32_t AKImageDataManager::nextRequestID() {
  MutexLock lock(lock_);
  // Past the largest identifier the count starts again at 1 (0 means none).
  seed_ = seed_ == std::numeric_limits<int32_t>::max() ? 1 : seed_ + 1;
  return seed_;
}

int32_t AKImageDataManager::issue(const std::shared_ptr<Chain>& chain) {
  chain->requestID = nextRequestID();
  if (!chain->asset || !chain->asset->originalAsset()) {
    chain->answer(nullptr, nullptr, nullptr, Value());
    return chain->requestID;
  }
  start(chain);
  return chain->requestID;
}

int32_t AKImageDataManager::fetchImage(const AKAssetPtr& asset, CGSize size,
                                       const PHImageRequestOptionsPtr& options,
                                       PHImageContentMode contentMode, AKImageCompletion completion) {
  auto chain = std::make_shared<Chain>();
  chain->kind = Chain::Kind::Image;
  chain->asset = asset;
  chain->size = size;
  chain->contentMode = contentMode;
  chain->imageOptions = options ? options : imageRequestOptions();
  chain->image = std::move(completion);
  return issue(chain);
}

int32_t AKImageDataManager::fetchImageData(const AKAssetPtr& asset,
                                           const PHImageRequestOptionsPtr& options,
                                           AKDataCompletion completion) {
  auto chain = std::make_shared<Chain>();
  chain->kind = Chain::Kind::Data;
  chain->asset = asset;
  chain->imageOptions = options ? options : imageRequestOptions();
  chain->data = std::move(completion);
  return issue(chain);
}

int32_t AKImageDataManager::fetchAVAsset(const AKAssetPtr& asset,
                                         const PHVideoRequestOptionsPtr& options,
                                         AKVideoCompletion completion) {
  auto chain = std::make_shared<Chain>();
  chain->kind = Chain::Kind::Video;
  chain->asset = asset;
  chain->videoOptions = options ? options : videoRequestOptions();
  chain->video = std::move(completion);
  return issue(chain);
}

// Shared by the three kinds: the bookkeeping, then the cloud retry or the
// caller's completion.
bool AKImageDataManager::retriedInCloud(const std::shared_ptr<Chain>& chain, bool hasResult,
                                        const Value& info) {
  finishRequest(chain->requestID, info);
  if (info.isNull() || boolFor(info, PHImageCancelledKey)) return false;
  if (!(info.find(PHImageResultIsInCloudKey) && !hasResult && boolFor(info, PHImageResultIsInCloudKey) &&
        !chain->networkAllowed())) {
    return false;
  }
  bool cancelled;
  {
    MutexLock lock(books_);
    cancelled = cancelledRequestIDs_.erase(chain->requestID) > 0;
  }
  if (cancelled) {
    chain->answer(nullptr, nullptr, nullptr,
                  Value(ValueMap{{Value(PHImageCancelledKey), Value(int64_t{1})}}));
    return true;
  }
  if (!chain->asset->originalAsset()) {
    chain->answer(nullptr, nullptr, nullptr, Value());
    return true;
  }
  if (chain->kind == Chain::Kind::Video) {
    chain->videoOptions = chain->videoOptions->copy();
    chain->videoOptions->networkAccessAllowed = true;
  } else {
    chain->imageOptions = chain->imageOptions->copy();
    chain->imageOptions->networkAccessAllowed = true;
  }
  start(chain);
  return true;
}

void AKImageDataManager::start(const std::shared_ptr<Chain>& chain) {
  {
    MutexLock lock(lock_);
    untracked_.insert(chain->requestID);
  }
  int attempt = ++chain->attempt;
  auto self = shared_from_this();
  const PHAssetPtr& asset = chain->asset->originalAsset();
  PHImageRequestID platformID = PHInvalidImageRequestID;
  switch (chain->kind) {
    case Chain::Kind::Image:
      platformID = manager_->requestImageForAsset(
          asset, chain->size, chain->contentMode, chain->imageOptions,
          [self, chain](const UIImagePtr& image, const Value& info) {
            if (!self->retriedInCloud(chain, image != nullptr, info)) chain->answer(image, nullptr, nullptr, info);
          });
      break;
    case Chain::Kind::Data:
      platformID = manager_->requestImageDataForAsset(
          asset, chain->imageOptions,
          [self, chain](const NSDataPtr& data, const std::string&, UIImageOrientation, const Value& info) {
            if (!self->retriedInCloud(chain, data != nullptr, info)) chain->answer(nullptr, data, nullptr, info);
          });
      break;
    case Chain::Kind::Video:
      platformID = manager_->requestAVAssetForVideo(
          asset, chain->videoOptions, [self, chain](const AVAssetPtr& av, const Value& info) {
            if (!self->retriedInCloud(chain, av != nullptr, info)) chain->answer(nullptr, nullptr, av, info);
          });
      break;
  }
  if (chain->attempt == attempt) trackRequest(chain->requestID, platformID);
}

void AKImageDataManager::trackRequest(int32_t requestID, PHImageRequestID platformRequestID) {
  auto self = shared_from_this();
  dispatch_main_now_or_async([self, requestID, platformRequestID] {
    bool cancel = false;
    {
      MutexLock lock(self->lock_);
      self->untracked_.erase(requestID);
    }
    {
      MutexLock lock(self->books_);
      if (platformRequestID == PHInvalidImageRequestID) {
        self->requestIDs_.erase(requestID);
      } else {
        // A request both cancelled and finished before its tracking is over:
        // neither mark may stay behind.
        bool finished = self->finishedRequestIDs_.erase(requestID) > 0;
        if (self->cancelledRequestIDs_.erase(requestID)) {
          cancel = !finished;
        } else if (!finished) {
          self->requestIDs_[requestID] = platformRequestID;
        }
      }
    }
    if (cancel) self->manager_->cancelImageRequest(platformRequestID);
  });
}

void AKImageDataManager::finishRequest(int32_t requestID, const Value& info) {
  if (info.isNull()) return;
  auto self = shared_from_this();
  if (boolFor(info, PHImageCancelledKey)) {
    dispatch_main_now_or_async([self, requestID] {
      MutexLock lock(self->books_);
      self->requestIDs_.erase(requestID);
      self->cancelledRequestIDs_.erase(requestID);
    });
    return;
  }
  const Value* degraded = info.find(PHImageResultIsDegradedKey);
  if (!degraded || !(degraded->isBool() || degraded->isNumber()) || degraded->asBool()) return;
  dispatch_main_now_or_async([self, requestID] {
    bool untracked;
    {
      MutexLock lock(self->lock_);
      untracked = self->untracked_.count(requestID) > 0;
    }
    MutexLock lock(self->books_);
    if (self->requestIDs_.erase(requestID)) return;
    if (untracked) {
      // The answer beat the tracking, which will find and clear this mark.
      self->finishedRequestIDs_.insert(requestID);
    } else {
      // Tracked and already cancelled: the request is over.
      self->cancelledRequestIDs_.erase(requestID);
    }
  });
}

void AKImageDataManager::cancelRequest(int32_t requestID) { cancelRequests({requestID}); }

void AKImageDataManager::cancelRequests(const std::vector<int32_t>& requestIDs) {
  auto self = shared_from_this();
  dispatch_main_now_or_async([self, requestIDs] {
    std::vector<PHImageRequestID> toCancel;
    {
      MutexLock lock(self->books_);
      while (self->cancelledRequestIDs_.size() > kCancelledLimit) {
        self->cancelledRequestIDs_.erase(self->cancelledRequestIDs_.begin());
      }
      for (int32_t id : requestIDs) {
        auto it = self->requestIDs_.find(id);
        if (it != self->requestIDs_.end()) {
          toCancel.push_back(it->second);
          self->cancelledRequestIDs_.insert(id);
          self->requestIDs_.erase(it);
          continue;
        }
        // Issued but not tracked yet: remembered, so the tracking cancels it.
        MutexLock issued(self->lock_);
        if (self->untracked_.count(id)) self->cancelledRequestIDs_.insert(id);
      }
    }
    for (auto platformID : toCancel) self->manager_->cancelImageRequest(platformID);
  });
}

void AKImageDataManager::startCachingAssets(const std::vector<PHAssetPtr>& assets, CGSize targetSize,
                                            PHImageContentMode contentMode,
                                            const PHImageRequestOptionsPtr& options) {
  manager_->startCachingImagesForAssets(assets, targetSize, contentMode, options);
}

void AKImageDataManager::stopCachingAssets(const std::vector<PHAssetPtr>& assets, CGSize targetSize,
                                           PHImageContentMode contentMode,
                                           const PHImageRequestOptionsPtr& options) {
  manager_->stopCachingImagesForAssets(assets, targetSize, contentMode, options);
}

void AKImageDataManager::stopCachingForAllAssets() { manager_->stopCachingImagesForAllAssets(); }

size_t AKImageDataManager::trackedRequestCount() const {
  MutexLock lock(books_);
  return requestIDs_.size();
}

bool AKImageDataManager::isTracked(int32_t requestID) const {
  MutexLock lock(books_);
  return requestIDs_.count(requestID) > 0;
}

size_t AKImageDataManager::cancelledRequestCount() const {
  MutexLock lock(books_);
  return cancelledRequestIDs_.size();
}

size_t AKImageDataManager::finishedRequestCount() const {
  MutexLock lock(books_);
  return finishedRequestIDs_.size();
}
