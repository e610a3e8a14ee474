#include "image_loading/cache/ILRemoteImageCacheKeyFilter.h"

#include <utility>

std::shared_ptr<ILRemoteImageCacheKeyFilter> ILRemoteImageCacheKeyFilter::cacheKeyFilterWithBlock(
    Block block) {
  return std::make_shared<ILRemoteImageCacheKeyFilter>(std::move(block));
}

std::string ILRemoteImageCacheKeyFilter::cacheKeyForURL(const NSURLPtr& url) {
  return block_ ? block_(url) : std::string();
}
