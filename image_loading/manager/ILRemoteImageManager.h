#pragma once

// Runs one image load from start to end: resolves options and context,
// checks the failed URLs, asks the image cache (the transformed key first,
// then the original key), asks the image loader when the cache cannot serve,
// transforms the result, stores the original and the final image, and calls
// the caller back on the callback queue. One combined operation stands for
// each load, so that one cancel stops the cache query and the download.
//
// Context values are Value maps with string keys; objects (caches, loaders,
// transformers, callback queues) are NSObject values. A key present with a
// null value stands for the platform's null object: "imageTransformer" set
// to null turns the manager's transformer off for that load.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <unordered_set>
#include <utility>

#include "image_loading/cache/ILImageCacheProtocol.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/OnceCallback.h"
#include "image_loading/cache/ILImageLoadersManager.h"
#include "image_loading/downloader/ILRemoteImageDefine.h"
#include "image_loading/cache/ILRemoteImageCacheKeyFilter.h"
#include "image_loading/manager/ILRemoteImageCacheSerializer.h"
#include "image_loading/manager/ILRemoteImageOptionsProcessor.h"
#include "image_loading/transformers/ILImageTransformer.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/ThreadChecks.h"

class ILRemoteImageManager;
class ILCallbackQueue;

// Called for every stage of a load: progressive stages and the cached image
// of a refresh come with finished == false or ahead of the final call; the
// last call has finished == true. Copyable, as it runs more than once.
using ILRemoteImageCompletionBlock =
    std::function<void(UIImagePtr image, NSDataPtr data, NSErrorPtr error,
                       ILImageCacheKind cacheType, bool finished, NSURLPtr imageURL)>;
using ILRemoteImageProgressBlock = ILImageLoaderProgressBlock;

// Both methods are optional: nullopt stands for "not implemented".
class ILRemoteImageManagerDelegate {
 public:
  virtual ~ILRemoteImageManagerDelegate() = default;
  virtual std::optional<bool> imageManagerShouldDownloadImageForURL(ILRemoteImageManager&,
                                                                    const NSURLPtr&) {
    return std::nullopt;
  }
  virtual std::optional<bool> imageManagerShouldBlockFailedURL(ILRemoteImageManager&,
                                                               const NSURLPtr&,
                                                               const NSErrorPtr&) {
    return std::nullopt;
  }
};

// One load: the cache query and the loader request behind one cancel.
class ILRemoteImageCombinedOperation : public NSObject, public ILRemoteImageOperation {
 public:
  // Once only: stops the query and the request, and leaves the manager's
  // running operations. The completion gets the cancellation error.
  void cancel() override;
  bool isCancelled() const;
  ILRemoteImageOperationPtr cacheOperation() const;
  ILRemoteImageOperationPtr loaderOperation() const;
  std::shared_ptr<ILRemoteImageManager> manager() const { return manager_.lock(); }

 private:
  friend class ILRemoteImageManager;
  // A part set after the load was cancelled is cancelled at once; one set
  // after the load ended is dropped.
  void setCacheOperation(ILRemoteImageOperationPtr operation);
  void setLoaderOperation(ILRemoteImageOperationPtr operation);
  void setPart(bool isLoader, ILRemoteImageOperationPtr operation);
  // The load has given its last answer: its parts are let go, so that
  // nothing they hold (completion blocks) keeps the load alive.
  void end();

  mutable Mutex lock_;
  bool cancelled_ GUARDED_BY(lock_) = false;
  bool ended_ GUARDED_BY(lock_) = false;
  ILRemoteImageOperationPtr cacheOperation_ GUARDED_BY(lock_);
  ILRemoteImageOperationPtr loaderOperation_ GUARDED_BY(lock_);
  std::weak_ptr<ILRemoteImageManager> manager_;
};
using ILRemoteImageCombinedOperationPtr = std::shared_ptr<ILRemoteImageCombinedOperation>;

class ILRemoteImageManager : public NSObject {
 public:
  // The process-wide manager over the default cache and loader.
  static std::shared_ptr<ILRemoteImageManager> sharedManager();
  // The class-wide default cache and loader (or the shared image cache and
  // the shared downloader when none is set).
  static std::shared_ptr<ILRemoteImageManager> create();
  static std::shared_ptr<ILRemoteImageManager> create(ILImageCacheProtocolPtr cache,
                                                      ILImageLoaderPtr loader);

  static ILImageCacheProtocolPtr defaultImageCache();
  static void setDefaultImageCache(ILImageCacheProtocolPtr cache);
  static ILImageLoaderPtr defaultImageLoader();
  static void setDefaultImageLoader(ILImageLoaderPtr loader);

  const ILImageCacheProtocolPtr& imageCache() const { return imageCache_; }
  const ILImageLoaderPtr& imageLoader() const { return imageLoader_; }

  // Manager-wide defaults, each overridden by the load's context.
  ILImageTransformerPtr transformer() const {
    MutexLock lock(settingsLock_);
    return transformer_;
  }
  void setTransformer(ILImageTransformerPtr value) {
    MutexLock lock(settingsLock_);
    transformer_ = std::move(value);
  }
  ILRemoteImageCacheKeyFilterPtr cacheKeyFilter() const {
    MutexLock lock(settingsLock_);
    return cacheKeyFilter_;
  }
  void setCacheKeyFilter(ILRemoteImageCacheKeyFilterPtr value) {
    MutexLock lock(settingsLock_);
    cacheKeyFilter_ = std::move(value);
  }
  ILRemoteImageCacheSerializerPtr cacheSerializer() const {
    MutexLock lock(settingsLock_);
    return cacheSerializer_;
  }
  void setCacheSerializer(ILRemoteImageCacheSerializerPtr value) {
    MutexLock lock(settingsLock_);
    cacheSerializer_ = std::move(value);
  }
  ILRemoteImageOptionsProcessorPtr optionsProcessor() const {
    MutexLock lock(settingsLock_);
    return optionsProcessor_;
  }
  void setOptionsProcessor(ILRemoteImageOptionsProcessorPtr value) {
    MutexLock lock(settingsLock_);
    optionsProcessor_ = std::move(value);
  }
  std::shared_ptr<ILRemoteImageManagerDelegate> delegate() const;
  void setDelegate(const std::shared_ptr<ILRemoteImageManagerDelegate>& delegate);

  // The completion is required. The operation comes back even for a load
  // that failed at once.
  ILRemoteImageCombinedOperationPtr loadImageWithURL(const NSURLPtr& url,
                                                     ILRemoteImageOptions options,
                                                     ILRemoteImageProgressBlock progress,
                                                     ILRemoteImageCompletionBlock completed);
  ILRemoteImageCombinedOperationPtr loadImageWithURL(const NSURLPtr& url,
                                                     ILRemoteImageOptions options,
                                                     const ILRemoteImageContext& context,
                                                     ILRemoteImageProgressBlock progress,
                                                     ILRemoteImageCompletionBlock completed);
  // A URL string; one that is not a URL counts as none.
  ILRemoteImageCombinedOperationPtr loadImageWithURL(const std::string& urlString,
                                                     ILRemoteImageOptions options,
                                                     const ILRemoteImageContext& context,
                                                     ILRemoteImageProgressBlock progress,
                                                     ILRemoteImageCompletionBlock completed);

  void cancelAll();
  bool isRunning() const;
  size_t runningOperationCount() const;
  void removeFailedURL(const NSURLPtr& url);
  void removeAllFailedURLs();
  bool isFailedURL(const NSURLPtr& url) const;

  // "" for no URL.
  std::string cacheKeyForURL(const NSURLPtr& url) const;
  // With the thumbnail size and the transformer of the context applied.
  std::string cacheKeyForURL(const NSURLPtr& url, const ILRemoteImageContext& context) const;
  std::string originalCacheKeyForURL(const NSURLPtr& url,
                                     const ILRemoteImageContext& context) const;

  ILRemoteImageOptionsResultPtr processedResultForURL(const NSURLPtr& url,
                                                      ILRemoteImageOptions options,
                                                      const ILRemoteImageContext& context) const;
  bool shouldBlockFailedURL(const NSURLPtr& url, const NSErrorPtr& error,
                            ILRemoteImageOptions options, const ILRemoteImageContext& context);
  void safelyRemoveOperationFromRunning(const ILRemoteImageCombinedOperationPtr& operation);

  std::string className() const override { return "ILRemoteImageManager"; }

  // Public for make_shared; use create().
  ILRemoteImageManager(ILImageCacheProtocolPtr cache, ILImageLoaderPtr loader);

 private:
  using Completion = std::shared_ptr<const ILRemoteImageCompletionBlock>;
  struct Load;
  using LoadPtr = std::shared_ptr<const Load>;

  void callCacheProcess(const LoadPtr& load);
  void callOriginalCacheProcess(const LoadPtr& load);
  void callDownloadProcess(const LoadPtr& load, UIImagePtr cachedImage, NSDataPtr cachedData,
                           ILImageCacheKind cacheType);
  void callTransformProcess(const LoadPtr& load, UIImagePtr image, NSDataPtr data,
                            ILImageCacheKind cacheType, bool finished);
  void callStoreOriginCacheProcess(const LoadPtr& load, UIImagePtr originalImage,
                                   UIImagePtr cacheImage, NSDataPtr originalData,
                                   NSDataPtr cacheData, ILImageCacheKind cacheType, bool finished);
  void callStoreCacheProcess(const LoadPtr& load, UIImagePtr image, NSDataPtr data,
                             ILImageCacheKind cacheType, bool finished);
  // Serializes when asked to, then stores, then continues.
  void serializeAndStore(const LoadPtr& load, const ILImageCacheProtocolPtr& cache,
                         UIImagePtr image, NSDataPtr data, const std::string& key,
                         ILImageCacheKind storeType, bool finished,
                         OnceCallback<void(NSDataPtr stored)> next);
  void storeImage(const LoadPtr& load, const ILImageCacheProtocolPtr& cache, const UIImagePtr& image,
                  const NSDataPtr& data, const std::string& key, ILImageCacheKind storeType,
                  bool finished, OnceClosure completion);
  void callCompletion(const LoadPtr& load, UIImagePtr image, NSDataPtr data, NSErrorPtr error,
                      ILImageCacheKind cacheType, bool finished) const;
  void callCompletionWithError(const LoadPtr& load, NSErrorPtr error) const;
  // A cache query that comes back after a cancel answers the cancel and
  // ends the load; true when it did.
  bool endIfCancelledDuringQuery(const LoadPtr& load);
  ILImageCacheProtocolPtr cacheForKeys(const ILRemoteImageContext& context,
                                       std::initializer_list<const char*> keys) const;

  const ILImageCacheProtocolPtr imageCache_;
  const ILImageLoaderPtr imageLoader_;

  mutable Mutex settingsLock_;
  ILImageTransformerPtr transformer_ GUARDED_BY(settingsLock_);
  ILRemoteImageCacheKeyFilterPtr cacheKeyFilter_ GUARDED_BY(settingsLock_);
  ILRemoteImageCacheSerializerPtr cacheSerializer_ GUARDED_BY(settingsLock_);
  ILRemoteImageOptionsProcessorPtr optionsProcessor_ GUARDED_BY(settingsLock_);
  std::weak_ptr<ILRemoteImageManagerDelegate> delegate_ GUARDED_BY(settingsLock_);

  mutable Mutex failedURLsLock_;
  std::set<std::string> failedURLs_ GUARDED_BY(failedURLsLock_);
  mutable Mutex runningOperationsLock_;
  std::unordered_set<ILRemoteImageCombinedOperationPtr> runningOperations_
      GUARDED_BY(runningOperationsLock_);
};
using ILRemoteImageManagerPtr = std::shared_ptr<ILRemoteImageManager>;
