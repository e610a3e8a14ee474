#include "platform/photos/PHFileMediaProvider.h"

#include <cmath>

#include "platform/coregraphics/CGContext.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageIOProperties.h"

namespace {

constexpr double kDegradedFraction = 0.25;
constexpr const char* kGone = "The asset is no longer in the photo library.";

Value info(PHImageRequestID requestID, bool degraded, ValueMap extra = {}) {
  ValueMap map = {{Value(PHImageResultRequestIDKey), Value(requestID)},
                  {Value(PHImageResultIsInCloudKey), Value(false)},
                  {Value(PHImageResultIsDegradedKey), Value(degraded)}};
  for (auto& entry : extra) ValueMapSet(map, entry.first, entry.second);
  return Value(std::move(map));
}

Value cancelledInfo(PHImageRequestID requestID) {
  return Value(ValueMap{{Value(PHImageResultRequestIDKey), Value(requestID)},
                        {Value(PHImageCancelledKey), Value(true)}});
}

Value errorInfo(PHImageRequestID requestID, const std::string& why) {
  return info(requestID, false,
              {{Value(PHImageErrorKey),
                Value(std::static_pointer_cast<NSObject>(NSError::errorWithDescription(
                    PHPhotosErrorDomain, PHPhotosErrorInvalidResource, why)))}});
}

CGImageRef drawnAt(const CGImageRef& image, CGSize size) {
  size_t w = static_cast<size_t>(size.width), h = static_cast<size_t>(size.height);
  if (!image || (image->width() == w && image->height() == h)) return image;
  auto context = CGBitmapContextCreate(nullptr, w, h, 8, w * 4, CGColorSpaceCreateDeviceRGB(),
                                       CGImageGetAlphaInfo(image) == kCGImageAlphaNoneSkipLast
                                           ? kCGImageAlphaNoneSkipLast | kCGBitmapByteOrder32Big
                                           : kCGImageAlphaPremultipliedLast | kCGBitmapByteOrder32Big);
  CGContextSetInterpolationQuality(context, kCGInterpolationHigh);
  CGContextDrawImage(context, CGRectMake(0, 0, size.width, size.height), image);
  return CGBitmapContextCreateImage(context);
}

}  // namespace

PHFileMediaProvider::PHFileMediaProvider(size_t cacheLimit)
    : cacheLimit_(cacheLimit),
      queue_(dispatch_queue_create("PHFileMediaProvider", DispatchQueueAttr::Concurrent)) {}

UIImagePtr PHFileMediaProvider::renderImage(const PHAsset& asset, CGSize targetSize,
                                            PHImageContentMode contentMode, bool exact) {
  CGImageSourceRef source;
  return renderImage(asset, targetSize, contentMode, exact, source);
}

UIImagePtr PHFileMediaProvider::renderImage(const PHAsset& asset, CGSize targetSize,
                                            PHImageContentMode contentMode, bool exact,
                                            CGImageSourceRef& source) {
  CGSize upright{static_cast<double>(asset.pixelWidth()), static_cast<double>(asset.pixelHeight())};
  CGSize scaled = PHScaledImageSize(upright, targetSize, contentMode);
  CGImageRef image;
  if (asset.mediaType() == PHAssetMediaTypeVideo) {
    image = PHDecodeVideoFrame(asset.filePath());
    if (image) scaled = PHScaledImageSize(CGSizeMake(image->width(), image->height()), targetSize, contentMode);
    exact = true;
  } else {
    if (!source) source = CGImageSourceCreateWithURL(asset.filePath());
    if (!source) return nullptr;
    double longest = std::ceil(std::max(scaled.width, scaled.height));
    image = CGImageSourceCreateThumbnailAtIndex(
        source, 0,
        Value(ValueMap{{Value(kCGImageSourceCreateThumbnailFromImageAlways), Value(true)},
                       {Value(kCGImageSourceCreateThumbnailWithTransform), Value(true)},
                       {Value(kCGImageSourceShouldCache), Value(true)},
                       {Value(kCGImageSourceThumbnailMaxPixelSize), Value(longest)}}));
  }
  if (!image) return nullptr;
  if (exact) image = drawnAt(image, scaled);
  return UIImage::imageWithCGImage(image, 1, UIImageOrientationUp);
}

PHFileMediaProvider::CacheKey PHFileMediaProvider::keyFor(const PHAsset& asset, CGSize size,
                                                          PHImageContentMode mode) {
  return {asset.localIdentifier() + "@" + std::to_string(asset.record().mtimeNs),
          static_cast<int64_t>(size.width), static_cast<int64_t>(size.height), mode};
}

UIImagePtr PHFileMediaProvider::cached(const CacheKey& key) {
  MutexLock lock(mutex_);
  auto it = cache_.find(key);
  if (it == cache_.end()) return nullptr;
  lru_.splice(lru_.begin(), lru_, it->second);
  return it->second->second;
}

void PHFileMediaProvider::store(const CacheKey& key, UIImagePtr image) {
  if (!image) return;
  MutexLock lock(mutex_);
  if (auto it = cache_.find(key); it != cache_.end()) {
    lru_.erase(it->second);
    cache_.erase(it);
  }
  lru_.emplace_front(key, std::move(image));
  cache_[key] = lru_.begin();
  while (lru_.size() > cacheLimit_) {
    cache_.erase(lru_.back().first);
    lru_.pop_back();
  }
}

size_t PHFileMediaProvider::cachedImageCount() const {
  MutexLock lock(mutex_);
  return lru_.size();
}

bool PHFileMediaProvider::takeCancelled(PHImageRequestID requestID) {
  MutexLock lock(mutex_);
  return cancelled_.erase(requestID) > 0;
}

void PHFileMediaProvider::answerImage(const PHImageRequest& request,
                                      const PHImageResultHandler& handler) {
  if (takeCancelled(request.requestID)) return handler(nullptr, cancelledInfo(request.requestID));
  auto key = keyFor(*request.asset, request.targetSize, request.contentMode);
  if (UIImagePtr hit = cached(key)) return handler(hit, info(request.requestID, false));
  auto asset = PHAsset::current(request.asset);
  if (!asset) return handler(nullptr, errorInfo(request.requestID, kGone));
  auto& options = *request.options;
  CGImageSourceRef source;  // read once for both images
  bool exact = options.resizeMode == PHImageRequestOptionsResizeModeExact;
  if (options.deliveryMode == PHImageRequestOptionsDeliveryModeOpportunistic && !options.synchronous) {
    CGSize small = PHScaledImageSize(
        CGSizeMake(asset->pixelWidth(), asset->pixelHeight()),
        request.targetSize, request.contentMode);
    small = {std::max(1.0, std::round(small.width * kDegradedFraction)),
             std::max(1.0, std::round(small.height * kDegradedFraction))};
    if (UIImagePtr degraded = renderImage(*asset, small, request.contentMode, false, source)) {
      handler(degraded, info(request.requestID, true));
    }
    if (takeCancelled(request.requestID)) return handler(nullptr, cancelledInfo(request.requestID));
  }
  UIImagePtr image = renderImage(*asset, request.targetSize, request.contentMode,
                                 exact || options.deliveryMode == PHImageRequestOptionsDeliveryModeFastFormat,
                                 source);
  if (!image) return handler(nullptr, errorInfo(request.requestID, "The asset's file cannot be read."));
  handler(image, info(request.requestID, false));
}

void PHFileMediaProvider::requestImage(const PHImageRequest& request, PHImageResultHandler handler) {
  if (!request.asset) return handler(nullptr, errorInfo(request.requestID, "No asset."));
  if (request.options->synchronous) return answerImage(request, handler);
  auto self = shared_from_this();
  dispatch_async(queue_, [self, request, handler = std::move(handler)] {
    self->answerImage(request, handler);
  });
}

void PHFileMediaProvider::requestImageData(const PHImageRequest& request,
                                           PHImageDataResultHandler handler) {
  auto self = shared_from_this();
  auto work = [self, request, h = std::move(handler)]() mutable {
    if (self->takeCancelled(request.requestID)) {
      return h(nullptr, "", UIImageOrientationUp, cancelledInfo(request.requestID));
    }
    if (!request.asset || request.asset->mediaType() != PHAssetMediaTypeImage) {
      return h(nullptr, "", UIImageOrientationUp, errorInfo(request.requestID, "The asset is no photo."));
    }
    auto asset = PHAsset::current(request.asset);
    if (!asset) return h(nullptr, "", UIImageOrientationUp, errorInfo(request.requestID, kGone));
    NSErrorPtr error;
    auto data = NSData::dataWithContentsOfFile(asset->filePath(), &error);
    if (!data) {
      return h(nullptr, "", UIImageOrientationUp,
               info(request.requestID, false,
                    {{Value(PHImageErrorKey), Value(std::static_pointer_cast<NSObject>(error))}}));
    }
    h(data, asset->uniformTypeIdentifier(), UIImageOrientationFromEXIF(asset->orientation()),
      info(request.requestID, false,
           {{Value(PHImageFileURLKey),
             Value(std::static_pointer_cast<NSObject>(NSURL::fileURLWithPath(asset->filePath(), false)))}}));
  };
  if (request.options->synchronous) return work();
  dispatch_async(queue_, std::move(work));
}

void PHFileMediaProvider::requestAVAsset(const PHVideoRequest& request, PHVideoResultHandler handler) {
  auto self = shared_from_this();
  dispatch_async(queue_, [self, request, handler = std::move(handler)]() mutable {
    if (self->takeCancelled(request.requestID))
      return handler(nullptr, cancelledInfo(request.requestID));
    if (!request.asset || request.asset->mediaType() != PHAssetMediaTypeVideo) {
      return handler(nullptr, errorInfo(request.requestID, "The asset is no video."));
    }
    auto current = PHAsset::current(request.asset);
    if (!current) return handler(nullptr, errorInfo(request.requestID, kGone));
    auto asset = AVURLAsset::URLAssetWithURL(NSURL::fileURLWithPath(current->filePath(), false));
    handler(asset, info(request.requestID, false));
  });
}

void PHFileMediaProvider::cancelRequest(PHImageRequestID requestID) {
  MutexLock lock(mutex_);
  cancelled_.insert(requestID);
  // Cancels of requests that had already been answered are never taken;
  // identifiers only grow, so the oldest are the ones to forget.
  while (cancelled_.size() > 1024) cancelled_.erase(cancelled_.begin());
}

void PHFileMediaProvider::startCaching(const std::vector<PHAssetPtr>& assets, CGSize targetSize,
                                       PHImageContentMode contentMode,
                                       const PHImageRequestOptionsPtr& options) {
  bool exact = options && options->resizeMode == PHImageRequestOptionsResizeModeExact;
  auto weak = weak_from_this();
  for (auto& asset : assets) {
    if (!asset) continue;
    auto work = [weak, asset, targetSize, contentMode, exact] {
      auto self = weak.lock();
      if (!self) return;
      auto key = keyFor(*asset, targetSize, contentMode);
      if (self->cached(key)) return;
      if (auto now = PHAsset::current(asset)) self->store(key, renderImage(*now, targetSize, contentMode, exact));
    };
    // Synchronous options make the caller wait until the images are cached.
    if (options && options->synchronous) {
      work();
    } else {
      dispatch_async(queue_, work);
    }
  }
}

void PHFileMediaProvider::stopCaching(const std::vector<PHAssetPtr>& assets, CGSize targetSize,
                                      PHImageContentMode contentMode, const PHImageRequestOptionsPtr&) {
  MutexLock lock(mutex_);
  for (auto& asset : assets) {
    if (!asset) continue;
    auto it = cache_.find(keyFor(*asset, targetSize, contentMode));
    if (it == cache_.end()) continue;
    lru_.erase(it->second);
    cache_.erase(it);
  }
}

void PHFileMediaProvider::stopCachingAll() {
  MutexLock lock(mutex_);
  cache_.clear();
  lru_.clear();
}
