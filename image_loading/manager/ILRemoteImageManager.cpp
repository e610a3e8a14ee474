#include "image_loading/manager/ILRemoteImageManager.h"

#include <utility>

#include "image_loading/cache/ILCallbackQueue.h"
#include "image_loading/cache/ILImageCache.h"
#include "image_loading/coders/UIImageMetadata.h"
#include "image_loading/coders/ILImageCoderOptions.h"
#include "image_loading/downloader/ILRemoteImageDownloader.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/SingletonResets.h"
#include "platform/foundation/Value.h"
#include "platform/uikit/UIImage.h"

// What every step of one load needs.
struct ILRemoteImageManager::Load {
  ILRemoteImageCombinedOperationPtr operation;
  NSURLPtr url;
  ILRemoteImageOptions options;
  ILRemoteImageContext context;
  ILRemoteImageProgressBlock progress;
  Completion completed;
};

namespace {

Mutex gDefaultsLock;  // guards gDefaultImageCache and gDefaultImageLoader
ILImageCacheProtocolPtr gDefaultImageCache GUARDED_BY(gDefaultsLock);
ILImageLoaderPtr gDefaultImageLoader GUARDED_BY(gDefaultsLock);

// The class-wide defaults, which go back to none between tests.
Mutex& defaultsLock() RETURN_CAPABILITY(gDefaultsLock) {
  static std::once_flag registered;
  std::call_once(registered, [] {
    SingletonResets::add([] {
      MutexLock lock(gDefaultsLock);
      gDefaultImageCache = nullptr;
      gDefaultImageLoader = nullptr;
    });
  });
  return gDefaultsLock;
}

ILImageCacheKind contextCacheType(const ILRemoteImageContext& context, const char* key,
                                  ILImageCacheKind fallback) {
  const Value* v = ILContextValue(context, key);
  return v && v->isNumber() ? v->asInt64() : fallback;
}

dispatch_queue_t transformQueue() { return dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_HIGH, 0); }

NSErrorPtr managerCancelledError(const char* when) {
  return ILRemoteImageError(ILRemoteImageErrorCancelled,
                            std::string("Operation cancelled by user during ") + when);
}

// The context's transformer: none when the key is set to null.
ILImageTransformerPtr contextTransformer(const ILRemoteImageContext& context) {
  return ILContextObject<ILImageTransformer>(context, ILRemoteImageContextImageTransformer);
}

}  // namespace

// MARK: Combined operation

void ILRemoteImageCombinedOperation::cancel() {
  ILRemoteImageOperationPtr cacheOperation;
  ILRemoteImageOperationPtr loaderOperation;
  {
    MutexLock lock(lock_);
    if (cancelled_) return;
    cancelled_ = true;
    cacheOperation = std::move(cacheOperation_);
    loaderOperation = std::move(loaderOperation_);
    cacheOperation_ = nullptr;
    loaderOperation_ = nullptr;
  }
  if (cacheOperation) cacheOperation->cancel();
  if (loaderOperation) loaderOperation->cancel();
  if (auto manager = manager_.lock()) {
    manager->safelyRemoveOperationFromRunning(
        std::static_pointer_cast<ILRemoteImageCombinedOperation>(shared_from_this()));
  }
}

bool ILRemoteImageCombinedOperation::isCancelled() const {
  MutexLock lock(lock_);
  return cancelled_;
}

ILRemoteImageOperationPtr ILRemoteImageCombinedOperation::cacheOperation() const {
  MutexLock lock(lock_);
  return cacheOperation_;
}

ILRemoteImageOperationPtr ILRemoteImageCombinedOperation::loaderOperation() const {
  MutexLock lock(lock_);
  return loaderOperation_;
}

void ILRemoteImageCombinedOperation::setCacheOperation(ILRemoteImageOperationPtr operation) {
  setPart(false, std::move(operation));
}

void ILRemoteImageCombinedOperation::setLoaderOperation(ILRemoteImageOperationPtr operation) {
  setPart(true, std::move(operation));
}

void ILRemoteImageCombinedOperation::setPart(bool isLoader, ILRemoteImageOperationPtr operation) {
  {
    MutexLock lock(lock_);
    if (ended_) return;
    if (!cancelled_) {
      (isLoader ? loaderOperation_ : cacheOperation_) = std::move(operation);
      return;
    }
  }
  if (operation) operation->cancel();
}

void ILRemoteImageCombinedOperation::end() {
  ILRemoteImageOperationPtr cacheOperation;
  ILRemoteImageOperationPtr loaderOperation;
  MutexLock lock(lock_);
  ended_ = true;
  // Released outside the lock, when the locals go.
  cacheOperation = std::move(cacheOperation_);
  loaderOperation = std::move(loaderOperation_);
  cacheOperation_ = nullptr;
  loaderOperation_ = nullptr;
}

// MARK: Manager

std::shared_ptr<ILRemoteImageManager> ILRemoteImageManager::sharedManager() {
  static const std::shared_ptr<ILRemoteImageManager> shared = [] {
    auto manager = create();
    SingletonResets::add([weak = std::weak_ptr<ILRemoteImageManager>(manager)] {
      auto self = weak.lock();
      if (!self) return;
      self->cancelAll();
      self->removeAllFailedURLs();
      self->setTransformer(nullptr);
      self->setCacheKeyFilter(nullptr);
      self->setCacheSerializer(nullptr);
      self->setOptionsProcessor(nullptr);
      self->setDelegate(nullptr);
    });
    return manager;
  }();
  return shared;
}

std::shared_ptr<ILRemoteImageManager> ILRemoteImageManager::create() {
  ILImageCacheProtocolPtr cache = defaultImageCache();
  if (!cache) cache = ILImageCache::sharedImageCache();
  ILImageLoaderPtr loader = defaultImageLoader();
  if (!loader) loader = ILRemoteImageDownloader::sharedDownloader();
  return create(std::move(cache), std::move(loader));
}

std::shared_ptr<ILRemoteImageManager> ILRemoteImageManager::create(ILImageCacheProtocolPtr cache,
                                                                   ILImageLoaderPtr loader) {
  return std::make_shared<ILRemoteImageManager>(std::move(cache), std::move(loader));
}

ILRemoteImageManager::ILRemoteImageManager(ILImageCacheProtocolPtr cache, ILImageLoaderPtr loader)
    : imageCache_(std::move(cache)), imageLoader_(std::move(loader)) {}

ILImageCacheProtocolPtr ILRemoteImageManager::defaultImageCache() {
  MutexLock lock(defaultsLock());
  return gDefaultImageCache;
}

void ILRemoteImageManager::setDefaultImageCache(ILImageCacheProtocolPtr cache) {
  MutexLock lock(defaultsLock());
  gDefaultImageCache = std::move(cache);
}

ILImageLoaderPtr ILRemoteImageManager::defaultImageLoader() {
  MutexLock lock(defaultsLock());
  return gDefaultImageLoader;
}

void ILRemoteImageManager::setDefaultImageLoader(ILImageLoaderPtr loader) {
  MutexLock lock(defaultsLock());
  gDefaultImageLoader = std::move(loader);
}

std::shared_ptr<ILRemoteImageManagerDelegate> ILRemoteImageManager::delegate() const {
  MutexLock lock(settingsLock_);
  return delegate_.lock();
}

void ILRemoteImageManager::setDelegate(const std::shared_ptr<ILRemoteImageManagerDelegate>& delegate) {
  MutexLock lock(settingsLock_);
  delegate_ = delegate;
}

// MARK: Keys and options

std::string ILRemoteImageManager::cacheKeyForURL(const NSURLPtr& url) const {
  if (!url) return "";
  if (auto filter = cacheKeyFilter()) return filter->cacheKeyForURL(url);
  return url->absoluteString();
}

std::string ILRemoteImageManager::originalCacheKeyForURL(const NSURLPtr& url,
                                                         const ILRemoteImageContext& context) const {
  if (!url) return "";
  auto filter = ILContextObject<ILRemoteImageCacheKeyFilterProtocol>(
      context, ILRemoteImageContextCacheKeyFilter);
  if (!filter) filter = cacheKeyFilter();
  return filter ? filter->cacheKeyForURL(url) : url->absoluteString();
}

std::string ILRemoteImageManager::cacheKeyForURL(const NSURLPtr& url,
                                                 const ILRemoteImageContext& context) const {
  if (!url) return "";
  std::string key = originalCacheKeyForURL(url, context);
  if (const Value* size = ILContextValue(context, ILRemoteImageContextImageThumbnailPixelSize)) {
    const Value* preserve = ILContextValue(context, ILRemoteImageContextImagePreserveAspectRatio);
    key = ILThumbnailCacheKey(key, ILImageCoderSizeFromValue(size),
                              preserve ? preserve->asBool() : true);
  }
  ILImageTransformerPtr transformer;
  if (context.find(ILRemoteImageContextImageTransformer)) {
    transformer = contextTransformer(context);
  } else {
    transformer = this->transformer();
  }
  if (transformer) key = ILCacheKeyWithSuffix(key, transformer->transformerKey());
  return key;
}

ILRemoteImageOptionsResultPtr ILRemoteImageManager::processedResultForURL(
    const NSURLPtr& url, ILRemoteImageOptions options, const ILRemoteImageContext& context) const {
  ValueMap defaults;
  auto addDefault = [&](const char* key, std::shared_ptr<NSObject> object) {
    if (object && !context.find(key)) ValueMapSet(defaults, Value(key), Value(std::move(object)));
  };
  addDefault(ILRemoteImageContextImageTransformer, transformer());
  addDefault(ILRemoteImageContextCacheKeyFilter, cacheKeyFilter());
  addDefault(ILRemoteImageContextCacheSerializer, cacheSerializer());
  ILRemoteImageContext merged = context;
  if (!defaults.empty()) {
    // The caller's entries win.
    if (context.isMap()) {
      for (const auto& [key, value] : context.asMap()) ValueMapSet(defaults, key, value);
    }
    merged = Value(std::move(defaults));
  }
  if (auto processor = optionsProcessor()) {
    if (auto result = processor->processedResultForURL(url, options, merged)) return result;
  }
  return std::make_shared<ILRemoteImageOptionsResult>(options, std::move(merged));
}

// MARK: Failed and running

void ILRemoteImageManager::removeFailedURL(const NSURLPtr& url) {
  if (!url) return;
  MutexLock lock(failedURLsLock_);
  failedURLs_.erase(url->absoluteString());
}

void ILRemoteImageManager::removeAllFailedURLs() {
  MutexLock lock(failedURLsLock_);
  failedURLs_.clear();
}

bool ILRemoteImageManager::isFailedURL(const NSURLPtr& url) const {
  if (!url) return false;
  MutexLock lock(failedURLsLock_);
  return failedURLs_.count(url->absoluteString()) > 0;
}

void ILRemoteImageManager::cancelAll() {
  std::unordered_set<ILRemoteImageCombinedOperationPtr> snapshot;
  {
    MutexLock lock(runningOperationsLock_);
    snapshot = runningOperations_;
  }
  for (const auto& operation : snapshot) operation->cancel();
}

bool ILRemoteImageManager::isRunning() const { return runningOperationCount() > 0; }

size_t ILRemoteImageManager::runningOperationCount() const {
  MutexLock lock(runningOperationsLock_);
  return runningOperations_.size();
}

void ILRemoteImageManager::safelyRemoveOperationFromRunning(
    const ILRemoteImageCombinedOperationPtr& operation) {
  if (!operation) return;
  operation->end();
  MutexLock lock(runningOperationsLock_);
  runningOperations_.erase(operation);
}

bool ILRemoteImageManager::shouldBlockFailedURL(const NSURLPtr& url, const NSErrorPtr& error,
                                                ILRemoteImageOptions options,
                                                const ILRemoteImageContext& context) {
  if (auto delegate = this->delegate()) {
    if (auto answer = delegate->imageManagerShouldBlockFailedURL(*this, url, error)) return *answer;
  }
  auto loader = ILContextObject<ILImageLoader>(context, ILRemoteImageContextImageLoader);
  if (!loader) loader = imageLoader_;
  if (!loader) return false;
  if (auto answer = loader->shouldBlockFailedURL(url, error, options, context)) return *answer;
  return loader->shouldBlockFailedURL(url, error);
}

// MARK: Load

ILRemoteImageCombinedOperationPtr ILRemoteImageManager::loadImageWithURL(
    const NSURLPtr& url, ILRemoteImageOptions options, ILRemoteImageProgressBlock progress,
    ILRemoteImageCompletionBlock completed) {
  return loadImageWithURL(url, options, Value(), std::move(progress), std::move(completed));
}

ILRemoteImageCombinedOperationPtr ILRemoteImageManager::loadImageWithURL(
    const std::string& urlString, ILRemoteImageOptions options, const ILRemoteImageContext& context,
    ILRemoteImageProgressBlock progress, ILRemoteImageCompletionBlock completed) {
  return loadImageWithURL(NSURL::URLWithString(urlString), options, context, std::move(progress),
                          std::move(completed));
}

ILRemoteImageCombinedOperationPtr ILRemoteImageManager::loadImageWithURL(
    const NSURLPtr& url, ILRemoteImageOptions options, const ILRemoteImageContext& context,
    ILRemoteImageProgressBlock progress, ILRemoteImageCompletionBlock completed) {
  NSAssert(static_cast<bool>(completed),
           "If you mean to prefetch the image, use -[ILRemoteImagePrefetcher prefetchURLs] instead");
  auto operation = std::make_shared<ILRemoteImageCombinedOperation>();
  operation->manager_ = std::static_pointer_cast<ILRemoteImageManager>(shared_from_this());
  const bool isFailedUrl = isFailedURL(url);
  ILRemoteImageOptionsResultPtr result = processedResultForURL(url, options, context);
  auto load = std::make_shared<Load>(Load{operation, url, result->options(), result->context(),
                                          std::move(progress),
                                          std::make_shared<const ILRemoteImageCompletionBlock>(
                                              std::move(completed))});
  if (!url || url->absoluteString().empty() ||
      (isFailedUrl && !(load->options & ILLoadRetryFailed))) {
    callCompletionWithError(
        load, isFailedUrl ? ILRemoteImageError(ILRemoteImageErrorBlackListed, "Image url is blacklisted")
                          : ILRemoteImageError(ILRemoteImageErrorInvalidURL, "Image url is nil"));
    return operation;
  }
  {
    MutexLock lock(runningOperationsLock_);
    runningOperations_.insert(operation);
  }
  callCacheProcess(load);
  return operation;
}

ILImageCacheProtocolPtr ILRemoteImageManager::cacheForKeys(
    const ILRemoteImageContext& context, std::initializer_list<const char*> keys) const {
  for (const char* key : keys) {
    if (auto cache = ILContextObject<ILImageCacheProtocol>(context, key)) return cache;
  }
  return imageCache_;
}

bool ILRemoteImageManager::endIfCancelledDuringQuery(const LoadPtr& load) {
  if (!load->operation->isCancelled()) return false;
  callCompletionWithError(load, managerCancelledError("querying the cache"));
  safelyRemoveOperationFromRunning(load->operation);
  return true;
}

void ILRemoteImageManager::callCacheProcess(const LoadPtr& load) {
  if (load->options & ILLoadFromLoaderOnly) {
    callDownloadProcess(load, nullptr, nullptr, ILImageCacheKindNone);
    return;
  }
  ILImageCacheProtocolPtr cache = cacheForKeys(load->context, {ILRemoteImageContextImageCache});
  const ILImageCacheKind queryType =
      contextCacheType(load->context, ILRemoteImageContextQueryCacheType, ILImageCacheKindAll);
  const std::string key = cacheKeyForURL(load->url, load->context);
  auto self = std::static_pointer_cast<ILRemoteImageManager>(shared_from_this());
  ILRemoteImageOperationPtr query = cache->queryImageForKey(
      key, load->options, load->context, queryType,
      [self, load, cache, key](UIImagePtr image, NSDataPtr data, ILImageCacheKind kind) {
        if (self->endIfCancelledDuringQuery(load)) return;
        if (!image && self->originalCacheKeyForURL(load->url, load->context) != key) {
          self->callOriginalCacheProcess(load);
          return;
        }
        if (image && kind == ILImageCacheKindDisk) {
          cache->storeImage(image, nullptr, key, load->options, load->context,
                            ILImageCacheKindMemory, nullptr);
        }
        self->callDownloadProcess(load, image, data, kind);
      });
  load->operation->setCacheOperation(std::move(query));
}

void ILRemoteImageManager::callOriginalCacheProcess(const LoadPtr& load) {
  ILImageCacheProtocolPtr cache = cacheForKeys(
      load->context, {ILRemoteImageContextOriginalImageCache, ILRemoteImageContextImageCache});
  const ILImageCacheKind queryType = contextCacheType(
      load->context, ILRemoteImageContextOriginalQueryCacheType, ILImageCacheKindDisk);
  if (queryType == ILImageCacheKindNone) {
    callDownloadProcess(load, nullptr, nullptr, ILImageCacheKindNone);
    return;
  }
  const std::string key = originalCacheKeyForURL(load->url, load->context);
  auto self = std::static_pointer_cast<ILRemoteImageManager>(shared_from_this());
  ILRemoteImageOperationPtr query = cache->queryImageForKey(
      key, load->options, load->context, queryType,
      [self, load, cache, key](UIImagePtr image, NSDataPtr data, ILImageCacheKind kind) {
        if (self->endIfCancelledDuringQuery(load)) return;
        if (!image) {
          self->callDownloadProcess(load, nullptr, nullptr, ILImageCacheKindNone);
          return;
        }
        if (kind == ILImageCacheKindDisk) {
          cache->storeImage(image, nullptr, key, load->options, load->context,
                            ILImageCacheKindMemory, nullptr);
        }
        // The original is transformed here; a refresh is not attempted.
        self->callTransformProcess(load, image, data, kind, true);
        self->safelyRemoveOperationFromRunning(load->operation);
      });
  load->operation->setCacheOperation(std::move(query));
}

void ILRemoteImageManager::callDownloadProcess(const LoadPtr& load, UIImagePtr cachedImage,
                                               NSDataPtr cachedData, ILImageCacheKind cacheType) {
  load->operation->setCacheOperation(nullptr);
  auto loader = ILContextObject<ILImageLoader>(load->context, ILRemoteImageContextImageLoader);
  if (!loader) loader = imageLoader_;
  const ILRemoteImageOptions options = load->options;
  bool shouldDownload = !(options & ILLoadFromCacheOnly) &&
                        (!cachedImage || (options & ILLoadRefreshCached)) && loader;
  if (shouldDownload) {
    if (auto delegate = this->delegate()) {
      if (auto answer = delegate->imageManagerShouldDownloadImageForURL(*this, load->url)) {
        shouldDownload = *answer;
      }
    }
  }
  if (shouldDownload) {
    const std::optional<bool> detailed =
        loader->canRequestImageForURL(load->url, options, load->context);
    shouldDownload = detailed ? *detailed : loader->canRequestImageForURL(load->url);
  }
  if (!shouldDownload) {
    callCompletion(load, cachedImage, cachedData, nullptr,
                   cachedImage ? cacheType : ILImageCacheKindNone, true);
    safelyRemoveOperationFromRunning(load->operation);
    return;
  }
  ILRemoteImageContext context = load->context;
  const bool refreshing = cachedImage && (options & ILLoadRefreshCached);
  if (refreshing) {
    // The cached image shows at once; the download may replace it.
    callCompletion(load, cachedImage, cachedData, nullptr, cacheType, true);
    context = ILContextSetting(context, ILRemoteImageContextLoaderCachedImage,
                               Value(std::static_pointer_cast<NSObject>(cachedImage)));
  }
  auto self = std::static_pointer_cast<ILRemoteImageManager>(shared_from_this());
  auto loadForLoader = std::make_shared<const Load>(
      Load{load->operation, load->url, options, context, load->progress, load->completed});
  ILRemoteImageOperationPtr request = loader->requestImageWithURL(
      load->url, options, context, load->progress,
      [self, load = loadForLoader, refreshing](UIImagePtr image, NSDataPtr data, NSErrorPtr error,
                                               bool finished) {
        if (load->operation->isCancelled()) {
          // Stages that were under way when the load was cancelled end in
          // the one cancellation answer of the final call.
          if (finished)
            self->callCompletionWithError(load, managerCancelledError("sending the request"));
        } else if (refreshing && ILIsRemoteImageError(error, ILRemoteImageErrorCacheNotModified)) {
          // The cached image delivered first is still current.
        } else if (ILIsRemoteImageError(error, ILRemoteImageErrorCancelled)) {
          self->callCompletionWithError(load, error);
        } else if (error) {
          self->callCompletionWithError(load, error);
          if (self->shouldBlockFailedURL(load->url, error, load->options, load->context)) {
            MutexLock lock(self->failedURLsLock_);
            self->failedURLs_.insert(load->url->absoluteString());
          }
        } else {
          if (load->options & ILLoadRetryFailed) self->removeFailedURL(load->url);
          self->callTransformProcess(load, image, data, ILImageCacheKindNone, finished);
        }
        if (finished) self->safelyRemoveOperationFromRunning(load->operation);
      });
  load->operation->setLoaderOperation(std::move(request));
}

// MARK: Transform and store

void ILRemoteImageManager::callTransformProcess(const LoadPtr& load, UIImagePtr image,
                                                NSDataPtr data, ILImageCacheKind cacheType,
                                                bool finished) {
  ILImageTransformerPtr transformer = contextTransformer(load->context);
  const bool shouldTransform =
      image && transformer &&
      (!il_isAnimated(*image) || (load->options & ILLoadTransformAnimatedImage)) &&
      (!il_isVector(*image) || (load->options & ILLoadTransformVectorImage));
  // A thumbnail is not the original.
  const bool thumbnail = image && il_isThumbnail(*image);
  UIImagePtr originalImage = thumbnail ? nullptr : image;
  NSDataPtr originalData = thumbnail ? nullptr : data;
  if (!shouldTransform) {
    callStoreOriginCacheProcess(load, originalImage, image, originalData, data, cacheType, finished);
    return;
  }
  auto self = std::static_pointer_cast<ILRemoteImageManager>(shared_from_this());
  const std::string key = cacheKeyForURL(load->url, load->context);
  dispatch_async(transformQueue(), [self, load, transformer, key, image, data, originalImage,
                                    originalData, cacheType, finished] {
    UIImagePtr transformed = transformer->transformedImageWithImage(image, key);
    UIImagePtr cacheImage = image;
    NSDataPtr cacheData = data;
    if (transformed) {
      if (transformer->preserveImageMetadata().value_or(true)) {
        ILImageCopyAssociatedState(image, transformed);
      }
      il_setIsTransformed(*transformed, true);
      cacheImage = transformed;
      cacheData = nullptr;
    }
    self->callStoreOriginCacheProcess(load, originalImage, cacheImage, originalData, cacheData,
                                      cacheType, finished);
  });
}

void ILRemoteImageManager::callStoreOriginCacheProcess(const LoadPtr& load,
                                                       UIImagePtr originalImage,
                                                       UIImagePtr cacheImage,
                                                       NSDataPtr originalData, NSDataPtr cacheData,
                                                       ILImageCacheKind cacheType, bool finished) {
  ILImageCacheProtocolPtr cache = cacheForKeys(
      load->context, {ILRemoteImageContextOriginalImageCache, ILRemoteImageContextImageCache});
  ILImageCacheKind storeType = contextCacheType(
      load->context, ILRemoteImageContextOriginalStoreCacheType, ILImageCacheKindDisk);
  // What came from the disk is not written there again.
  if (cacheType == ILImageCacheKindDisk) {
    if (storeType == ILImageCacheKindAll) storeType = ILImageCacheKindMemory;
    if (storeType == ILImageCacheKindDisk) storeType = ILImageCacheKindNone;
  }
  auto self = std::static_pointer_cast<ILRemoteImageManager>(shared_from_this());
  serializeAndStore(load, cache, originalImage, originalData,
                    originalCacheKeyForURL(load->url, load->context), storeType, finished,
                    [self, load, cacheImage, cacheData, cacheType, finished](NSDataPtr) {
                      self->callStoreCacheProcess(load, cacheImage, cacheData, cacheType, finished);
                    });
}

void ILRemoteImageManager::callStoreCacheProcess(const LoadPtr& load, UIImagePtr image,
                                                 NSDataPtr data, ILImageCacheKind cacheType,
                                                 bool finished) {
  ILImageCacheProtocolPtr cache = cacheForKeys(load->context, {ILRemoteImageContextImageCache});
  const ILImageCacheKind storeType =
      contextCacheType(load->context, ILRemoteImageContextStoreCacheType, ILImageCacheKindAll);
  auto self = std::static_pointer_cast<ILRemoteImageManager>(shared_from_this());
  serializeAndStore(load, cache, image, data, cacheKeyForURL(load->url, load->context), storeType,
                    finished, [self, load, image, data, cacheType, finished](NSDataPtr) {
                      self->callCompletion(load, image, data, nullptr, cacheType, finished);
                    });
}

void ILRemoteImageManager::serializeAndStore(const LoadPtr& load,
                                             const ILImageCacheProtocolPtr& cache, UIImagePtr image,
                                             NSDataPtr data, const std::string& key,
                                             ILImageCacheKind storeType, bool finished,
                                             OnceCallback<void(NSDataPtr stored)> next) {
  auto serializer = ILContextObject<ILRemoteImageCacheSerializerProtocol>(
      load->context, ILRemoteImageContextCacheSerializer);
  const bool toDisk = storeType == ILImageCacheKindDisk || storeType == ILImageCacheKindAll;
  auto self = std::static_pointer_cast<ILRemoteImageManager>(shared_from_this());
  if (finished && serializer && toDisk) {
    dispatch_async(transformQueue(), [self, load, cache, serializer, image, data, key, storeType,
                                      finished, next = std::move(next)]() mutable {
      NSDataPtr stored = serializer->cacheDataWithImage(image, data, load->url);
      self->storeImage(load, cache, image, stored, key, storeType, finished,
                       [next = std::move(next), stored]() mutable { next(stored); });
    });
    return;
  }
  storeImage(load, cache, image, data, key, storeType, finished,
             [next = std::move(next), data]() mutable { next(data); });
}

void ILRemoteImageManager::storeImage(const LoadPtr& load, const ILImageCacheProtocolPtr& cache,
                                      const UIImagePtr& image, const NSDataPtr& data,
                                      const std::string& key, ILImageCacheKind storeType,
                                      bool finished, OnceClosure completion) {
  // Progressive stages are shown, never stored.
  if (!finished || storeType == ILImageCacheKindNone || (!image && !data)) {
    completion();
    return;
  }
  if (load->options & ILLoadWaitStoreCache) {
    cache->storeImage(image, data, key, load->options, load->context, storeType,
                      std::move(completion));
  } else {
    cache->storeImage(image, data, key, load->options, load->context, storeType, nullptr);
    completion();
  }
}

// MARK: Completion

void ILRemoteImageManager::callCompletion(const LoadPtr& load, UIImagePtr image, NSDataPtr data,
                                          NSErrorPtr error, ILImageCacheKind cacheType,
                                          bool finished) const {
  if (!load->completed || !*load->completed) return;
  ILCallbackQueuePtr queue =
      ILContextObject<ILCallbackQueue>(load->context, ILRemoteImageContextCallbackQueue);
  if (!queue) queue = ILCallbackQueue::mainQueue();
  queue->async([completed = load->completed, url = load->url, image = std::move(image),
                data = std::move(data), error = std::move(error), cacheType, finished] {
    (*completed)(image, data, error, cacheType, finished, url);
  });
}

void ILRemoteImageManager::callCompletionWithError(const LoadPtr& load, NSErrorPtr error) const {
  callCompletion(load, nullptr, nullptr, std::move(error), ILImageCacheKindNone, true);
}
