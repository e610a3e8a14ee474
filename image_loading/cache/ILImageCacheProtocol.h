#pragma once

// What the image manager asks of a cache, so that several caches can stand
// behind one (ILImageCachesManager), and the handle of a running operation.

#include <cstdint>
#include <memory>
#include <string>

#include "image_loading/cache/ILImageCacheDefine.h"
#include "platform/foundation/OnceCallback.h"

using ILImageCacheKind = int64_t;
inline constexpr ILImageCacheKind ILImageCacheKindNone = 0;
inline constexpr ILImageCacheKind ILImageCacheKindDisk = 1;
inline constexpr ILImageCacheKind ILImageCacheKindMemory = 2;
inline constexpr ILImageCacheKind ILImageCacheKindAll = 3;

using ILImageCacheQueryCompletion = OnceCallback<void(UIImagePtr, NSDataPtr, ILImageCacheKind)>;
using ILImageCacheCompletion = OnceClosure;
using ILImageCacheContainsCompletion = OnceCallback<void(ILImageCacheKind)>;

class ILRemoteImageOperation {
 public:
  virtual ~ILRemoteImageOperation() = default;
  virtual void cancel() = 0;
};
using ILRemoteImageOperationPtr = std::shared_ptr<ILRemoteImageOperation>;

class ILImageCacheProtocol {
 public:
  virtual ~ILImageCacheProtocol() = default;
  // Load options (not lookup options); nullptr when the answer came at once.
  virtual ILRemoteImageOperationPtr queryImageForKey(const std::string& key,
                                                     ILRemoteImageOptions options,
                                                     const ILRemoteImageContext& context,
                                                     ILImageCacheKind cacheType,
                                                     ILImageCacheQueryCompletion completion) = 0;
  virtual void storeImage(const UIImagePtr& image, const NSDataPtr& imageData,
                          const std::string& key, ILRemoteImageOptions options,
                          const ILRemoteImageContext& context, ILImageCacheKind cacheType,
                          ILImageCacheCompletion completion) = 0;
  virtual void removeImageForKey(const std::string& key, ILImageCacheKind cacheType,
                                 ILImageCacheCompletion completion) = 0;
  virtual void containsImageForKey(const std::string& key, ILImageCacheKind cacheType,
                                   ILImageCacheContainsCompletion completion) = 0;
  virtual void clearWithCacheType(ILImageCacheKind cacheType,
                                  ILImageCacheCompletion completion) = 0;
};
using ILImageCacheProtocolPtr = std::shared_ptr<ILImageCacheProtocol>;
