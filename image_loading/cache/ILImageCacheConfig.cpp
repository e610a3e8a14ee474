#include "image_loading/cache/ILImageCacheConfig.h"

#include "image_loading/cache/ILDiskCache.h"
#include "image_loading/cache/ILMemoryCache.h"

ILImageCacheConfig::ILImageCacheConfig()
    : memoryCacheClass([](const std::shared_ptr<ILImageCacheConfig>& config) {
        return std::shared_ptr<ILMemoryCacheProtocol>(ILMemoryCache::create(config));
      }),
      diskCacheClass([](const std::string& path,
                        const std::shared_ptr<ILImageCacheConfig>& config) {
        return std::shared_ptr<ILDiskCacheProtocol>(std::make_shared<ILDiskCache>(path, config));
      }) {}

std::shared_ptr<ILImageCacheConfig> ILImageCacheConfig::defaultCacheConfig() {
  static const auto shared = std::make_shared<ILImageCacheConfig>();
  return shared;
}

std::shared_ptr<ILImageCacheConfig> ILImageCacheConfig::copy() const {
  auto c = std::make_shared<ILImageCacheConfig>();
  c->shouldDisableiCloud = shouldDisableiCloud;
  c->shouldCacheImagesInMemory = shouldCacheImagesInMemory;
  c->shouldUseWeakMemoryCache = shouldUseWeakMemoryCache;
  c->shouldRemoveExpiredDataWhenEnterBackground = shouldRemoveExpiredDataWhenEnterBackground;
  c->shouldRemoveExpiredDataWhenTerminate = shouldRemoveExpiredDataWhenTerminate;
  c->diskCacheReadingOptions = diskCacheReadingOptions;
  c->diskCacheWritingOptions = diskCacheWritingOptions;
  c->maxDiskAge = maxDiskAge;
  c->maxDiskSize = maxDiskSize;
  c->diskCacheExpireType = diskCacheExpireType;
  c->fileManager = fileManager;
  c->memoryCacheClass = memoryCacheClass;
  c->diskCacheClass = diskCacheClass;
  c->setMaxMemoryCost(maxMemoryCost());
  c->setMaxMemoryCount(maxMemoryCount());
  return c;
}
