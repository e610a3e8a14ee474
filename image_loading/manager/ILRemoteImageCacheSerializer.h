#pragma once

// The bytes written to the disk cache for a loaded image, when the received
// bytes are not what should be kept (a re-encoded or stripped copy, say).

#include <functional>
#include <memory>

#include "platform/foundation/NSData.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/NSURL.h"

class UIImage;
using UIImagePtr = std::shared_ptr<UIImage>;

class ILRemoteImageCacheSerializerProtocol : public NSObject {
 public:
  virtual NSDataPtr cacheDataWithImage(const UIImagePtr& image, const NSDataPtr& originalData,
                                       const NSURLPtr& imageURL) = 0;
};
using ILRemoteImageCacheSerializerPtr = std::shared_ptr<ILRemoteImageCacheSerializerProtocol>;

class ILRemoteImageCacheSerializer : public ILRemoteImageCacheSerializerProtocol {
 public:
  using Block = std::function<NSDataPtr(const UIImagePtr&, const NSDataPtr&, const NSURLPtr&)>;

  explicit ILRemoteImageCacheSerializer(Block block) : block_(std::move(block)) {}
  static std::shared_ptr<ILRemoteImageCacheSerializer> cacheSerializerWithBlock(Block block);

  const Block& block() const { return block_; }
  NSDataPtr cacheDataWithImage(const UIImagePtr& image, const NSDataPtr& originalData,
                               const NSURLPtr& imageURL) override;

 private:
  Block block_;
};
