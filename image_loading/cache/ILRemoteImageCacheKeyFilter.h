#pragma once

// The cache key of a URL, when the absolute string will not do (a URL with a
// changing token in its query, say).

#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/NSObject.h"
#include "platform/foundation/NSURL.h"

class ILRemoteImageCacheKeyFilterProtocol : public NSObject {
 public:
  virtual std::string cacheKeyForURL(const NSURLPtr& url) = 0;
};
using ILRemoteImageCacheKeyFilterPtr = std::shared_ptr<ILRemoteImageCacheKeyFilterProtocol>;

class ILRemoteImageCacheKeyFilter : public ILRemoteImageCacheKeyFilterProtocol {
 public:
  using Block = std::function<std::string(const NSURLPtr&)>;

  explicit ILRemoteImageCacheKeyFilter(Block block) : block_(std::move(block)) {}
  static std::shared_ptr<ILRemoteImageCacheKeyFilter> cacheKeyFilterWithBlock(Block block);

  const Block& block() const { return block_; }
  // "" without a block.
  std::string cacheKeyForURL(const NSURLPtr& url) override;

 private:
  Block block_;
};
