#pragma once

// The two-level image cache: decoded images in memory in front of encoded
// bytes on disk, with one serial I/O queue that owns every disk access.
// Asynchronous look-ups hand back a token that can cancel them; each look-up
// answers exactly once, whether it finishes or is cancelled.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "image_loading/cache/ILCallbackQueue.h"
#include "image_loading/cache/ILDiskCache.h"
#include "image_loading/cache/ILImageCacheConfig.h"
#include "image_loading/cache/ILImageCacheDefine.h"
#include "image_loading/cache/ILImageCacheProtocol.h"
#include "image_loading/cache/ILMemoryCache.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/OnceCallback.h"
#include "platform/foundation/ThreadChecks.h"

using ILImageCacheBoolCompletion = OnceCallback<void(bool)>;
using ILImageCacheDataCompletion = OnceCallback<void(NSDataPtr)>;
using ILImageCacheSizeCompletion = OnceCallback<void(uint64_t fileCount, uint64_t totalSize)>;

class ILImageCacheToken : public NSObject, public ILRemoteImageOperation {
 public:
  ILImageCacheToken(ILImageCacheQueryCompletion doneBlock, std::string key,
                    ILCallbackQueuePtr callbackQueue);

  bool isCancelled() const;
  const std::string& key() const { return key_; }
  // Answers (nil, nil, 0) once, on the callback queue; later calls do nothing.
  void cancel() override;

  // The cache's answer: runs the done block once unless cancelled first.
  void finish(UIImagePtr image, NSDataPtr data, ILImageCacheKind kind, bool checkCancelled);
  ILCallbackQueuePtr callbackQueue() const;

 private:
  mutable Mutex lock_;
  bool cancelled_ GUARDED_BY(lock_) = false;
  ILImageCacheQueryCompletion doneBlock_ GUARDED_BY(lock_);
  const std::string key_;
  const ILCallbackQueuePtr callbackQueue_;
};

using ILImageCacheTokenPtr = std::shared_ptr<ILImageCacheToken>;

class ILImageCache : public NSObject, public ILImageCacheProtocol {
 public:
  // Namespace "default" in the default directory with the default config.
  static std::shared_ptr<ILImageCache> sharedImageCache();
  // An empty directory means defaultDiskCacheDirectory(); a null config the
  // default one. The cache keeps a copy of the config.
  static std::shared_ptr<ILImageCache> create(const std::string& nameSpace,
                                              const std::string& directory = "",
                                              const ILImageCacheConfigPtr& config = nullptr);
  ~ILImageCache() override;

  static std::string defaultDiskCacheDirectory();
  static void setDefaultDiskCacheDirectory(const std::string& directory);
  static ILRemoteImageOptions imageOptionsFromCacheOptions(ILImageCacheLookupOptions options) {
    return ILImageOptionsFromCacheOptions(options);
  }

  const ILImageCacheConfigPtr& config() const { return config_; }
  const std::shared_ptr<ILMemoryCacheProtocol>& memoryCache() const { return memoryCache_; }
  const std::shared_ptr<ILDiskCacheProtocol>& diskCache() const { return diskCache_; }
  const std::string& diskCachePath() const { return diskCachePath_; }
  void setAdditionalCachePathBlock(std::function<std::string(const std::string&)> block);

  UIImagePtr imageFromMemoryCacheForKey(const std::string& key) const;

  // An empty key counts as nil.
  ILImageCacheTokenPtr queryCacheOperationForKey(const std::string& key,
                                                 ILImageCacheLookupOptions options,
                                                 const ILRemoteImageContext& context,
                                                 ILImageCacheKind cacheType,
                                                 ILImageCacheQueryCompletion done);
  ILRemoteImageOperationPtr queryImageForKey(const std::string& key, ILRemoteImageOptions options,
                                             const ILRemoteImageContext& context,
                                             ILImageCacheKind cacheType,
                                             ILImageCacheQueryCompletion done) override;

  void storeImage(const UIImagePtr& image, const NSDataPtr& imageData, const std::string& key,
                  ILRemoteImageOptions options, const ILRemoteImageContext& context,
                  ILImageCacheKind cacheType, ILImageCacheCompletion completion = nullptr) override;
  void storeImageToMemory(const UIImagePtr& image, const std::string& key);
  void storeImageDataToDisk(const NSDataPtr& data, const std::string& key);

  // Synchronous on the I/O queue; never call these from the I/O queue itself.
  NSDataPtr diskImageDataForKey(const std::string& key);
  bool diskImageDataExistsWithKey(const std::string& key);
  UIImagePtr imageFromDiskCacheForKey(const std::string& key, ILImageCacheLookupOptions options = 0,
                                      const ILRemoteImageContext& context = NullValue());
  UIImagePtr imageFromCacheForKey(const std::string& key, ILImageCacheLookupOptions options = 0,
                                  const ILRemoteImageContext& context = NullValue());
  void diskImageExistsWithKey(const std::string& key, ILImageCacheBoolCompletion completion);
  void diskImageDataQueryForKey(const std::string& key, ILImageCacheDataCompletion completion);
  // Decodes bytes of the disk cache and restores the extended object.
  UIImagePtr diskImageForKey(const std::string& key, const NSDataPtr& data,
                             ILImageCacheLookupOptions options,
                             const ILRemoteImageContext& context);
  std::string cachePathForKey(const std::string& key) const;

  void removeImageForKey(const std::string& key, bool fromMemory, bool fromDisk,
                         ILImageCacheCompletion completion = nullptr);
  void removeImageForKey(const std::string& key, ILImageCacheKind cacheType,
                         ILImageCacheCompletion completion = nullptr) override;
  void removeImageFromMemoryForKey(const std::string& key);
  void removeImageFromDiskForKey(const std::string& key);
  void containsImageForKey(const std::string& key, ILImageCacheKind cacheType,
                           ILImageCacheContainsCompletion completion) override;

  void clearMemory();
  void clearDiskOnCompletion(ILImageCacheCompletion completion = nullptr);
  void clearWithCacheType(ILImageCacheKind cacheType,
                          ILImageCacheCompletion completion = nullptr) override;
  void deleteOldFilesWithCompletionBlock(ILImageCacheCompletion completion = nullptr);
  uint64_t totalDiskSize();
  uint64_t totalDiskCount();
  void calculateSizeWithCompletionBlock(ILImageCacheSizeCompletion completion);

  // Public for make_shared; use create().
  ILImageCache(const std::string& nameSpace, const std::string& directory,
               const ILImageCacheConfigPtr& config);

 private:
  void start();
  void migrateDiskCacheDirectory();
  // Caller on the I/O queue.
  NSDataPtr diskImageDataBySearchingAllPathsForKey(const std::string& key);
  ILDiskCacheProtocol& ioDisk() const;
  UIImagePtr memoryImageForQuery(const std::string& key, ILImageCacheLookupOptions options,
                                 const ILRemoteImageContext& context) const;
  void writeToDisk(const NSDataPtr& data, const UIImagePtr& image, const std::string& key,
                   ILCallbackQueuePtr callbackQueue, ILImageCacheCompletion completion);
  void applicationWillTerminate();
  void applicationDidEnterBackground();

  ILImageCacheConfigPtr config_;
  dispatch_queue_t ioQueue_;
  std::shared_ptr<ILMemoryCacheProtocol> memoryCache_;
  std::shared_ptr<ILDiskCacheProtocol> diskCache_;
  // The disk cache is used on the I/O queue only (through ioDisk()).
  SequenceChecker ioSequence_;
  std::string diskCachePath_;
  Mutex blockLock_;
  std::function<std::string(const std::string&)> additionalCachePathBlock_ GUARDED_BY(blockLock_);
  NSObserverToken terminateToken_;
  NSObserverToken backgroundToken_;
};

using ILImageCachePtr = std::shared_ptr<ILImageCache>;
