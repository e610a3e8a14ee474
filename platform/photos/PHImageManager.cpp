#include "platform/photos/PHImageManager.h"

#include <atomic>
#include <cmath>
#include <mutex>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/SingletonResets.h"
#include "platform/photos/PHFileMediaProvider.h"

namespace {

std::atomic<PHImageRequestID> gNextRequestID{0};
Mutex gProviderMutex;
std::shared_ptr<PHMediaProvider> gProvider GUARDED_BY(gProviderMutex);

void registerReset() {
  static std::once_flag once;
  std::call_once(once, [] {
    SingletonResets::add([] {
      MutexLock lock(gProviderMutex);
      gProvider.reset();
    });
  });
}

PHImageRequestID nextRequestID() { return ++gNextRequestID; }

PHImageRequestOptionsPtr orDefault(const PHImageRequestOptionsPtr& options) {
  return options ? options : std::make_shared<PHImageRequestOptions>();
}

}  // namespace

std::shared_ptr<PHImageManager> PHImageManager::defaultManager() {
  static auto manager = std::make_shared<PHImageManager>();
  return manager;
}

void PHImageManager::setDefaultMediaProvider(std::shared_ptr<PHMediaProvider> provider) {
  registerReset();
  MutexLock lock(gProviderMutex);
  gProvider = std::move(provider);
}

std::shared_ptr<PHMediaProvider> PHImageManager::defaultMediaProvider() {
  registerReset();
  MutexLock lock(gProviderMutex);
  if (!gProvider) gProvider = std::make_shared<PHFileMediaProvider>();
  return gProvider;
}

PHImageRequestID PHImageManager::requestImageForAsset(const PHAssetPtr& asset, CGSize targetSize,
                                                      PHImageContentMode contentMode,
                                                      const PHImageRequestOptionsPtr& options,
                                                      PHImageResultHandler resultHandler) {
  PHImageRequest request{nextRequestID(), asset, targetSize, contentMode, orDefault(options)};
  provider()->requestImage(request, std::move(resultHandler));
  return request.requestID;
}

PHImageRequestID PHImageManager::requestImageDataForAsset(const PHAssetPtr& asset,
                                                          const PHImageRequestOptionsPtr& options,
                                                          PHImageDataResultHandler resultHandler) {
  PHImageRequest request{nextRequestID(), asset, PHImageManagerMaximumSize,
                         PHImageContentModeDefault, orDefault(options)};
  provider()->requestImageData(request, std::move(resultHandler));
  return request.requestID;
}

PHImageRequestID PHImageManager::requestAVAssetForVideo(const PHAssetPtr& asset,
                                                        const PHVideoRequestOptionsPtr& options,
                                                        PHVideoResultHandler resultHandler) {
  PHVideoRequest request{nextRequestID(), asset,
                         options ? options : std::make_shared<PHVideoRequestOptions>()};
  provider()->requestAVAsset(request, std::move(resultHandler));
  return request.requestID;
}

void PHImageManager::cancelImageRequest(PHImageRequestID requestID) {
  provider()->cancelRequest(requestID);
}

void PHCachingImageManager::startCachingImagesForAssets(const std::vector<PHAssetPtr>& assets,
                                                        CGSize targetSize,
                                                        PHImageContentMode contentMode,
                                                        const PHImageRequestOptionsPtr& options) {
  provider()->startCaching(assets, targetSize, contentMode, orDefault(options));
}

void PHCachingImageManager::stopCachingImagesForAssets(const std::vector<PHAssetPtr>& assets,
                                                       CGSize targetSize,
                                                       PHImageContentMode contentMode,
                                                       const PHImageRequestOptionsPtr& options) {
  provider()->stopCaching(assets, targetSize, contentMode, orDefault(options));
}

void PHCachingImageManager::stopCachingImagesForAllAssets() { provider()->stopCachingAll(); }

CGSize PHScaledImageSize(CGSize imageSize, CGSize targetSize, PHImageContentMode contentMode) {
  if (imageSize.width <= 0 || imageSize.height <= 0) return {0, 0};
  if (targetSize.width <= 0 || targetSize.height <= 0) return imageSize;
  double sx = targetSize.width / imageSize.width, sy = targetSize.height / imageSize.height;
  double scale = contentMode == PHImageContentModeAspectFill ? std::max(sx, sy) : std::min(sx, sy);
  if (scale >= 1) return imageSize;
  return {std::max(1.0, std::round(imageSize.width * scale)),
          std::max(1.0, std::round(imageSize.height * scale))};
}
