#include "image_loading/manager/ILRemoteImageCacheSerializer.h"

#include <utility>

std::shared_ptr<ILRemoteImageCacheSerializer>
ILRemoteImageCacheSerializer::cacheSerializerWithBlock(Block block) {
  return std::make_shared<ILRemoteImageCacheSerializer>(std::move(block));
}

NSDataPtr ILRemoteImageCacheSerializer::cacheDataWithImage(const UIImagePtr& image,
                                                           const NSDataPtr& originalData,
                                                           const NSURLPtr& imageURL) {
  return block_ ? block_(image, originalData, imageURL) : nullptr;
}
