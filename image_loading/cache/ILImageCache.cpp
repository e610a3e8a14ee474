#include "image_loading/cache/ILImageCache.h"

#include <utility>

#include "image_loading/animated/ILAnimatedImage.h"
#include "image_loading/cache/ILExtendedObjectCoding.h"
#include "image_loading/coders/UIImageMetadata.h"
#include "image_loading/coders/internal/ILDefaultLog.h"
#include "image_loading/coders/ILImageCoder.h"
#include "image_loading/coders/ILImageCoderHelper.h"
#include "image_loading/coders/ILImageCodersManager.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/FilePath.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/Value.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIImage.h"

namespace {

constexpr const char kCacheFolderName[] = "com.quillfern.ILImageCache";

Mutex& defaultDirectoryLock() {
  static Mutex m;
  return m;
}
std::string& defaultDirectoryStorage() REQUIRES(defaultDirectoryLock()) {
  static std::string directory;
  return directory;
}

std::string userCacheDirectory() {
  auto urls = NSFileManager::defaultManager()->URLsForDirectory(NSSearchPathDirectory::Caches);
  return urls.empty() ? NSTemporaryDirectory() : urls.front()->path();
}

ILCallbackQueuePtr callbackQueueFromContext(const ILRemoteImageContext& context) {
  const Value* v = context.find(ILRemoteImageContextCallbackQueue);
  return v && v->isObject() ? v->objectAs<ILCallbackQueue>() : nullptr;
}

ILCallbackQueuePtr orMainQueue(ILCallbackQueuePtr queue) {
  return queue ? std::move(queue) : ILCallbackQueue::mainQueue();
}

ILImageFormatCode formatForStoring(const UIImage& image) {
  ILImageFormatCode format = il_imageFormat(image);
  if (format != ILImageFormatUndefined) return format;
  if (il_imageFrameCount(image) >= 2) return ILImageFormatPNG;
  return ILImageCoderHelper::CGImageContainsAlpha(image.CGImage()) ? ILImageFormatPNG
                                                                   : ILImageFormatJPEG;
}

NSDataPtr encodeForDisk(const UIImagePtr& image, const ILRemoteImageContext& context) {
  const ILImageFormatCode format = formatForStoring(*image);
  if (auto* source = dynamic_cast<const ILImageMetadataSource*>(image.get());
      source && dynamic_cast<const ILAnimatedImageProvider*>(image.get())) {
    return source->il_imageDataAsFormat(format, 1.0, false);
  }
  std::shared_ptr<ILImageCoder> coder;
  if (const Value* c = context.find(ILRemoteImageContextImageCoder); c && c->isObject()) {
    coder = std::dynamic_pointer_cast<ILImageCoder>(c->asObject());
  }
  if (!coder) coder = ILImageCodersManager::sharedManager();
  const Value* options = context.find(ILRemoteImageContextImageEncodeOptions);
  return coder->encodedDataWithImage(image, format, options ? *options : Value());
}

}  // namespace

// ---- Token ----

ILImageCacheToken::ILImageCacheToken(ILImageCacheQueryCompletion doneBlock, std::string key,
                                     ILCallbackQueuePtr callbackQueue)
    : doneBlock_(std::move(doneBlock)), key_(std::move(key)),
      callbackQueue_(std::move(callbackQueue)) {}

bool ILImageCacheToken::isCancelled() const {
  MutexLock lock(lock_);
  return cancelled_;
}

ILCallbackQueuePtr ILImageCacheToken::callbackQueue() const { return callbackQueue_; }

void ILImageCacheToken::cancel() {
  ILImageCacheQueryCompletion done;
  {
    MutexLock lock(lock_);
    if (cancelled_) return;
    cancelled_ = true;
    done = std::move(doneBlock_);
  }
  if (!done) return;
  orMainQueue(callbackQueue_)->async([done = std::move(done)]() mutable {
    done(nullptr, nullptr, ILImageCacheKindNone);
  });
}

void ILImageCacheToken::finish(UIImagePtr image, NSDataPtr data, ILImageCacheKind kind,
                               bool checkCancelled) {
  ILImageCacheQueryCompletion done;
  {
    MutexLock lock(lock_);
    if (checkCancelled && cancelled_) return;
    // Taking the block under the lock is what makes the answer and a racing
    // cancel exclusive.
    done = std::move(doneBlock_);
  }
  done(std::move(image), std::move(data), kind);
}

// ---- Cache ----

std::shared_ptr<ILImageCache> ILImageCache::sharedImageCache() {
  static const std::shared_ptr<ILImageCache> shared = create("default");
  return shared;
}

std::shared_ptr<ILImageCache> ILImageCache::create(const std::string& nameSpace,
                                                   const std::string& directory,
                                                   const ILImageCacheConfigPtr& config) {
  auto cache = std::make_shared<ILImageCache>(nameSpace, directory, config);
  cache->start();
  return cache;
}

ILImageCache::ILImageCache(const std::string& nameSpace, const std::string& directory,
                           const ILImageCacheConfigPtr& config) {
  NSAssert(!nameSpace.empty(), "Cache namespace should not be nil");
  config_ = (config ? config : ILImageCacheConfig::defaultCacheConfig())->copy();
  ioQueue_ = dispatch_queue_create("com.quillfern.ILImageCache.ioQueue");
  NSAssert(ioQueue_,
           "The IO queue should not be nil. Your configured `ioQueueAttributes` may be wrong");
  if (config_->memoryCacheClass) memoryCache_ = config_->memoryCacheClass(config_);
  NSAssert(memoryCache_, "Custom memory cache class must conform to `ILMemoryCache` protocol");
  diskCachePath_ =
      JoinPath(directory.empty() ? defaultDiskCacheDirectory() : directory, nameSpace);
  if (config_->diskCacheClass) diskCache_ = config_->diskCacheClass(diskCachePath_, config_);
  NSAssert(diskCache_, "Custom disk cache class must conform to `ILDiskCache` protocol");
}

void ILImageCache::start() {
  migrateDiskCacheDirectory();
  auto& center = NSNotificationCenter::defaultCenter();
  terminateToken_ = center.addObserverForName(
      UIApplicationWillTerminateNotification, nullptr,
      WeakBind(WeakFromThis(this),
               [](ILImageCache& self, const NSNotification&) { self.applicationWillTerminate(); }));
  backgroundToken_ = center.addObserverForName(
      UIApplicationDidEnterBackgroundNotification, nullptr,
      WeakBind(WeakFromThis(this), [](ILImageCache& self, const NSNotification&) {
        self.applicationDidEnterBackground();
      }));
}

ILImageCache::~ILImageCache() {
  auto& center = NSNotificationCenter::defaultCenter();
  if (terminateToken_) center.removeObserver(terminateToken_);
  if (backgroundToken_) center.removeObserver(backgroundToken_);
}

std::string ILImageCache::defaultDiskCacheDirectory() {
  MutexLock lock(defaultDirectoryLock());
  std::string& directory = defaultDirectoryStorage();
  if (directory.empty()) directory = JoinPath(userCacheDirectory(), kCacheFolderName);
  return directory;
}

void ILImageCache::setDefaultDiskCacheDirectory(const std::string& directory) {
  MutexLock lock(defaultDirectoryLock());
  defaultDirectoryStorage() = directory;
}

void ILImageCache::setAdditionalCachePathBlock(
    std::function<std::string(const std::string&)> block) {
  MutexLock lock(blockLock_);
  additionalCachePathBlock_ = std::move(block);
}

void ILImageCache::migrateDiskCacheDirectory() {
  auto disk = std::dynamic_pointer_cast<ILDiskCache>(diskCache_);
  if (!disk) return;
  static std::once_flag once;
  std::call_once(once, [&] {
    const std::string caches = userCacheDirectory();
    const std::string from =
        JoinPath(JoinPath(caches, "default"), "com.quillfern.ILRemoteImageCache.default");
    const std::string to = JoinPath(JoinPath(caches, kCacheFolderName), "default");
    dispatch_async(ioQueue_, [disk, from, to] { disk->moveCacheDirectory(from, to); });
  });
}

UIImagePtr ILImageCache::imageFromMemoryCacheForKey(const std::string& key) const {
  return std::dynamic_pointer_cast<UIImage>(memoryCache_->objectForKey(key));
}

UIImagePtr ILImageCache::memoryImageForQuery(const std::string& key,
                                             ILImageCacheLookupOptions options,
                                             const ILRemoteImageContext& context) const {
  UIImagePtr image = imageFromMemoryCacheForKey(key);
  if (!image) return nullptr;
  if (options & ILImageCacheDecodeFirstFrameOnly) {
    if (il_imageFrameCount(*image) < 2) return image;
    return image->CGImage() ? UIImage::imageWithCGImage(image->CGImage(), image->scale(),
                                                        image->imageOrientation())
                            : nullptr;
  }
  if (options & ILImageCacheMatchAnimatedImageClass) {
    const Value* c = context.find(ILRemoteImageContextAnimatedImageClass);
    auto imageClass = c && c->isObject() ? c->objectAs<ILAnimatedImageClass>() : nullptr;
    if (imageClass && !imageClass->isKindOfClass(*image)) return nullptr;
  }
  return image;
}

ILRemoteImageOperationPtr ILImageCache::queryImageForKey(const std::string& key,
                                                         ILRemoteImageOptions options,
                                                         const ILRemoteImageContext& context,
                                                         ILImageCacheKind cacheType,
                                                         ILImageCacheQueryCompletion done) {
  return queryCacheOperationForKey(key, ILImageCacheOptionsFromImageOptions(options), context,
                                   cacheType, std::move(done));
}

ILImageCacheTokenPtr ILImageCache::queryCacheOperationForKey(const std::string& key,
                                                             ILImageCacheLookupOptions options,
                                                             const ILRemoteImageContext& context,
                                                             ILImageCacheKind cacheType,
                                                             ILImageCacheQueryCompletion done) {
  if (key.empty() || cacheType == ILImageCacheKindNone) {
    done(nullptr, nullptr, ILImageCacheKindNone);
    return nullptr;
  }
  UIImagePtr image;
  if (cacheType != ILImageCacheKindDisk) image = memoryImageForQuery(key, options, context);
  if (cacheType == ILImageCacheKindMemory || (image && !(options & ILImageCacheQueryMemoryData))) {
    done(image, nullptr, ILImageCacheKindMemory);
    return nullptr;
  }
  auto token = std::make_shared<ILImageCacheToken>(std::move(done), key,
                                                   callbackQueueFromContext(context));
  const bool sync = image ? (options & ILImageCacheQueryMemoryDataSync) != 0
                          : (options & ILImageCacheQueryDiskDataSync) != 0;
  // The block keeps the cache alive until it answered: a caller that lets go
  // of the cache still gets its one answer.
  auto self = SharedFromThis(this);
  auto steps = [self, token, key, options, context, cacheType, sync, memoryImage = image](
                   UIImagePtr& outImage, NSDataPtr& outData) {
    if (token->isCancelled()) return;
    outData = self->diskImageDataBySearchingAllPathsForKey(key);
    if (token->isCancelled()) return;
    if (memoryImage) {
      outImage = memoryImage;
    } else if (!outData) {
      outImage = nullptr;
    } else if (!sync && cacheType != ILImageCacheKindDisk &&
               (outImage = self->imageFromMemoryCacheForKey(key))) {
      // Another load put it in memory meanwhile.
    } else {
      outImage = self->diskImageForKey(key, outData, options, context);
    }
  };
  if (sync) {
    UIImagePtr found;
    NSDataPtr data;
    dispatch_sync(ioQueue_, [&] { steps(found, data); });
    token->finish(found, data, ILImageCacheKindDisk, false);
    return token;
  }
  dispatch_async(ioQueue_, [steps, token]() mutable {
    UIImagePtr found;
    NSDataPtr data;
    steps(found, data);
    if (token->isCancelled()) return;
    orMainQueue(token->callbackQueue())->async([token, found, data] {
      token->finish(found, data, ILImageCacheKindDisk, true);
    });
  });
  return token;
}

NSDataPtr ILImageCache::diskImageDataBySearchingAllPathsForKey(const std::string& key) {
  if (NSDataPtr data = ioDisk().dataForKey(key)) return data;
  std::function<std::string(const std::string&)> block;
  {
    MutexLock lock(blockLock_);
    block = additionalCachePathBlock_;
  }
  if (!block) return nullptr;
  const std::string path = block(key);
  return path.empty() ? nullptr : NSData::dataWithContentsOfFile(path);
}

UIImagePtr ILImageCache::diskImageForKey(const std::string& key, const NSDataPtr& data,
                                         ILImageCacheLookupOptions options,
                                         const ILRemoteImageContext& context) {
  if (!data) return nullptr;
  UIImagePtr image =
      ILImageCacheDecodeImageData(data, key, ILImageOptionsFromCacheOptions(options), context);
  if (!image) return nullptr;
  // Called on the I/O queue by queries, elsewhere by the synchronous reads.
  NSDataPtr extended;
  if (dispatch_current_queue() == ioQueue_) {
    extended = ioDisk().extendedDataForKey(key);
  } else {
    dispatch_sync(ioQueue_, [&] { extended = ioDisk().extendedDataForKey(key); });
  }
  if (extended) {
    NSErrorPtr error;
    if (auto object = ILExtendedObjectCoding::unarchive(extended->vector(), &error)) {
      il_setExtendedObject(*image, std::move(object));
    } else {
      os_log_with_type(ILDefaultLog(), OSLogType::Error,
                       "NSKeyedUnarchiver unarchive failed with error: " +
                           error->localizedDescription());
    }
  }
  return image;
}

void ILImageCache::storeImage(const UIImagePtr& image, const NSDataPtr& imageData,
                              const std::string& key, ILRemoteImageOptions,
                              const ILRemoteImageContext& context, ILImageCacheKind cacheType,
                              ILImageCacheCompletion completion) {
  if ((!image && !imageData) || key.empty()) {
    completion();
    return;
  }
  if ((cacheType == ILImageCacheKindMemory || cacheType == ILImageCacheKindAll) && image &&
      config_->shouldCacheImagesInMemory) {
    memoryCache_->setObject(image, key, il_memoryCost(*image));
  }
  if (cacheType != ILImageCacheKindDisk && cacheType != ILImageCacheKindAll) {
    completion();
    return;
  }
  NSDataPtr data = imageData;
  // A thumbnail's given data is the full-size source, not what the key names.
  if (image && il_isThumbnail(*image) && key.find("-Thumbnail(") != std::string::npos) {
    data = nullptr;
  } else if (!data && image) {
    if (auto* animated = dynamic_cast<const ILAnimatedImageProvider*>(image.get())) {
      data = animated->animatedImageData();
    }
  }
  ILCallbackQueuePtr callbackQueue = callbackQueueFromContext(context);
  auto self = SharedFromThis(this);
  if (image && !data) {
    dispatch_async(
        dispatch_get_global_queue(DISPATCH_QUEUE_PRIORITY_HIGH, 0),
        [self, image, key, context, callbackQueue, completion = std::move(completion)]() mutable {
          NSDataPtr encoded = encodeForDisk(image, context);
          dispatch_async(self->ioQueue_, [self, encoded, image, key, callbackQueue,
                                          completion = std::move(completion)]() mutable {
            self->writeToDisk(encoded, image, key, callbackQueue, std::move(completion));
          });
        });
    return;
  }
  dispatch_async(ioQueue_, [self, data, image, key, callbackQueue,
                            completion = std::move(completion)]() mutable {
    self->writeToDisk(data, image, key, callbackQueue, std::move(completion));
  });
}

void ILImageCache::writeToDisk(const NSDataPtr& data, const UIImagePtr& image,
                               const std::string& key, ILCallbackQueuePtr callbackQueue,
                               ILImageCacheCompletion completion) {
  if (data) {
    // Archived first, so that the data and its extended data reach the disk
    // together: a write cut short never leaves one without the other.
    NSDataPtr extendedData;
    if (std::shared_ptr<NSObject> extended = image ? il_extendedObject(*image) : nullptr) {
      NSErrorPtr error;
      std::optional<Bytes> archived = ILExtendedObjectCoding::archive(*extended, &error);
      if (!archived) {
        os_log_with_type(ILDefaultLog(), OSLogType::Error,
                         "NSKeyedArchiver archive failed with error: " +
                             error->localizedDescription());
      } else {
        extendedData = NSData::dataWithBytes(std::move(*archived));
      }
    }
    NSErrorPtr writeError, extendedError;
    const bool stored = extendedData
                            ? ioDisk().setDataWithExtendedData(data, extendedData, key, &writeError, &extendedError)
                            : ioDisk().setData(data, key, &writeError);
    if (!stored) {
      // A full disk or a vanished folder: said, not hidden; the old file stays.
      os_log_with_type(ILDefaultLog(), OSLogType::Error,
                       "Image data not stored for " + key + ": " +
                           (writeError ? writeError->localizedDescription() : "unknown error"));
    } else if (extendedError) {
      // Too large for an attribute: said, not hidden.
      os_log_with_type(ILDefaultLog(), OSLogType::Error,
                       "Extended data not stored for " + key + ": " +
                           extendedError->localizedDescription());
    }
  }
  if (!completion) return;
  orMainQueue(std::move(callbackQueue))->async(std::move(completion));
}

void ILImageCache::storeImageToMemory(const UIImagePtr& image, const std::string& key) {
  if (!image || key.empty()) return;
  memoryCache_->setObject(image, key, il_memoryCost(*image));
}

void ILImageCache::storeImageDataToDisk(const NSDataPtr& data, const std::string& key) {
  if (!data || key.empty()) return;
  dispatch_sync(ioQueue_, [&] { ioDisk().setData(data, key); });
}

NSDataPtr ILImageCache::diskImageDataForKey(const std::string& key) {
  if (key.empty()) return nullptr;
  NSDataPtr data;
  dispatch_sync(ioQueue_, [&] { data = diskImageDataBySearchingAllPathsForKey(key); });
  return data;
}

bool ILImageCache::diskImageDataExistsWithKey(const std::string& key) {
  if (key.empty()) return false;
  bool exists = false;
  dispatch_sync(ioQueue_, [&] { exists = ioDisk().containsDataForKey(key); });
  return exists;
}

UIImagePtr ILImageCache::imageFromDiskCacheForKey(const std::string& key,
                                                  ILImageCacheLookupOptions options,
                                                  const ILRemoteImageContext& context) {
  return diskImageForKey(key, diskImageDataForKey(key), options, context);
}

UIImagePtr ILImageCache::imageFromCacheForKey(const std::string& key,
                                              ILImageCacheLookupOptions options,
                                              const ILRemoteImageContext& context) {
  if (UIImagePtr image = memoryImageForQuery(key, options, context)) return image;
  return imageFromDiskCacheForKey(key, options, context);
}

void ILImageCache::diskImageExistsWithKey(const std::string& key,
                                          ILImageCacheBoolCompletion completion) {
  auto self = SharedFromThis(this);
  dispatch_async(ioQueue_, [self, key, completion = std::move(completion)]() mutable {
    const bool exists = !key.empty() && self->ioDisk().containsDataForKey(key);
    dispatch_async(dispatch_get_main_queue(),
                   [completion = std::move(completion), exists]() mutable { completion(exists); });
  });
}

void ILImageCache::diskImageDataQueryForKey(const std::string& key,
                                            ILImageCacheDataCompletion completion) {
  auto self = SharedFromThis(this);
  dispatch_async(ioQueue_, [self, key, completion = std::move(completion)]() mutable {
    NSDataPtr data = key.empty() ? nullptr : self->diskImageDataBySearchingAllPathsForKey(key);
    dispatch_async(dispatch_get_main_queue(),
                   [completion = std::move(completion), data]() mutable { completion(data); });
  });
}

std::string ILImageCache::cachePathForKey(const std::string& key) const {
  return key.empty() ? std::string() : diskCache_->cachePathForKey(key);
}

void ILImageCache::removeImageForKey(const std::string& key, bool fromMemory, bool fromDisk,
                                     ILImageCacheCompletion completion) {
  if (key.empty()) return;
  if (fromMemory && config_->shouldCacheImagesInMemory) memoryCache_->removeObjectForKey(key);
  if (!fromDisk) {
    completion();
    return;
  }
  auto self = SharedFromThis(this);
  dispatch_async(ioQueue_, [self, key, completion = std::move(completion)]() mutable {
    self->ioDisk().removeDataForKey(key);
    dispatch_async(dispatch_get_main_queue(), std::move(completion));
  });
}

void ILImageCache::removeImageForKey(const std::string& key, ILImageCacheKind cacheType,
                                     ILImageCacheCompletion completion) {
  switch (cacheType) {
    case ILImageCacheKindDisk:
      return removeImageForKey(key, false, true, std::move(completion));
    case ILImageCacheKindMemory:
      return removeImageForKey(key, true, false, std::move(completion));
    case ILImageCacheKindAll:
      return removeImageForKey(key, true, true, std::move(completion));
    default:
      completion();
  }
}

void ILImageCache::removeImageFromMemoryForKey(const std::string& key) {
  if (!key.empty()) memoryCache_->removeObjectForKey(key);
}

void ILImageCache::removeImageFromDiskForKey(const std::string& key) {
  if (key.empty()) return;
  dispatch_sync(ioQueue_, [&] { ioDisk().removeDataForKey(key); });
}

void ILImageCache::containsImageForKey(const std::string& key, ILImageCacheKind cacheType,
                                       ILImageCacheContainsCompletion completion) {
  auto diskCheck = [this, key](ILImageCacheContainsCompletion done) {
    diskImageExistsWithKey(key, [done = std::move(done)](bool exists) mutable {
      done(exists ? ILImageCacheKindDisk : ILImageCacheKindNone);
    });
  };
  switch (cacheType) {
    case ILImageCacheKindDisk:
      return diskCheck(std::move(completion));
    case ILImageCacheKindMemory:
      return completion(imageFromMemoryCacheForKey(key) ? ILImageCacheKindMemory
                                                        : ILImageCacheKindNone);
    case ILImageCacheKindAll:
      if (imageFromMemoryCacheForKey(key)) return completion(ILImageCacheKindMemory);
      return diskCheck(std::move(completion));
    default:
      completion(ILImageCacheKindNone);
  }
}

void ILImageCache::clearMemory() { memoryCache_->removeAllObjects(); }

void ILImageCache::clearDiskOnCompletion(ILImageCacheCompletion completion) {
  auto self = SharedFromThis(this);
  dispatch_async(ioQueue_, [self, completion = std::move(completion)]() mutable {
    self->ioDisk().removeAllData();
    dispatch_async(dispatch_get_main_queue(), std::move(completion));
  });
}

void ILImageCache::clearWithCacheType(ILImageCacheKind cacheType,
                                      ILImageCacheCompletion completion) {
  switch (cacheType) {
    case ILImageCacheKindDisk:
      return clearDiskOnCompletion(std::move(completion));
    case ILImageCacheKindMemory:
      clearMemory();
      return completion();
    case ILImageCacheKindAll:
      clearMemory();
      return clearDiskOnCompletion(std::move(completion));
    default:
      completion();
  }
}

void ILImageCache::deleteOldFilesWithCompletionBlock(ILImageCacheCompletion completion) {
  auto self = SharedFromThis(this);
  dispatch_async(ioQueue_, [self, completion = std::move(completion)]() mutable {
    self->ioDisk().removeExpiredData();
    dispatch_async(dispatch_get_main_queue(), std::move(completion));
  });
}

uint64_t ILImageCache::totalDiskSize() {
  uint64_t size = 0;
  dispatch_sync(ioQueue_, [&] { size = ioDisk().totalSize(); });
  return size;
}

uint64_t ILImageCache::totalDiskCount() {
  uint64_t count = 0;
  dispatch_sync(ioQueue_, [&] { count = ioDisk().totalCount(); });
  return count;
}

void ILImageCache::calculateSizeWithCompletionBlock(ILImageCacheSizeCompletion completion) {
  auto self = SharedFromThis(this);
  dispatch_async(ioQueue_, [self, completion = std::move(completion)]() mutable {
    const uint64_t count = self->ioDisk().totalCount();
    const uint64_t size = self->ioDisk().totalSize();
    dispatch_async(dispatch_get_main_queue(), [completion = std::move(completion), count,
                                               size]() mutable { completion(count, size); });
  });
}

void ILImageCache::applicationWillTerminate() {
  if (!config_->shouldRemoveExpiredDataWhenTerminate) return;
  dispatch_sync(ioQueue_, [this] { ioDisk().removeExpiredData(); });
}

void ILImageCache::applicationDidEnterBackground() {
  if (!config_->shouldRemoveExpiredDataWhenEnterBackground) return;
  deleteOldFilesWithCompletionBlock();
}

ILDiskCacheProtocol& ILImageCache::ioDisk() const {
  QX_DCHECK_SEQUENCE(ioSequence_);
  return *diskCache_;
}
