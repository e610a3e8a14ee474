#include "image_loading/cache/internal/ILImageCachesManager.h"

#include <algorithm>

#include "image_loading/cache/ILImageCache.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/Value.h"
#include "platform/uikit/UIImage.h"

// ---- Operation ----

void ILImageCachesManagerOperation::beginWithTotalCount(uint64_t count) {
  MutexLock lock(lock_);
  executing_ = true;
  finished_ = false;
  pending_ = count;
}

void ILImageCachesManagerOperation::completeOne() {
  MutexLock lock(lock_);
  if (pending_ > 0) --pending_;
}

uint64_t ILImageCachesManagerOperation::pendingCount() const {
  MutexLock lock(lock_);
  return pending_;
}

void ILImageCachesManagerOperation::done() {
  MutexLock lock(lock_);
  finished_ = true;
  executing_ = false;
  pending_ = 0;
}

void ILImageCachesManagerOperation::cancel() {
  MutexLock lock(lock_);
  cancelled_ = true;
  pending_ = 0;
}

bool ILImageCachesManagerOperation::isCancelled() const {
  MutexLock lock(lock_);
  return cancelled_;
}

bool ILImageCachesManagerOperation::isFinished() const {
  MutexLock lock(lock_);
  return finished_;
}

bool ILImageCachesManagerOperation::isExecuting() const {
  MutexLock lock(lock_);
  return executing_;
}

bool ILImageCachesManagerOperation::isLive() const {
  MutexLock lock(lock_);
  return !cancelled_ && !finished_;
}

// ---- Manager ----

std::shared_ptr<ILImageCachesManager> ILImageCachesManager::sharedManager() {
  static const std::shared_ptr<ILImageCachesManager> shared = [] {
    auto manager = std::make_shared<ILImageCachesManager>();
    manager->addCache(ILImageCache::sharedImageCache());
    return manager;
  }();
  return shared;
}

std::vector<ILImageCacheProtocolPtr> ILImageCachesManager::caches() const {
  MutexLock lock(lock_);
  return imageCaches_;
}

void ILImageCachesManager::setCaches(std::vector<ILImageCacheProtocolPtr> caches) {
  std::erase(caches, nullptr);
  MutexLock lock(lock_);
  imageCaches_ = std::move(caches);
}

void ILImageCachesManager::addCache(const ILImageCacheProtocolPtr& cache) {
  if (!cache) return;
  MutexLock lock(lock_);
  imageCaches_.push_back(cache);
}

void ILImageCachesManager::removeCache(const ILImageCacheProtocolPtr& cache) {
  MutexLock lock(lock_);
  std::erase(imageCaches_, cache);
}

ILRemoteImageOperationPtr ILImageCachesManager::queryImageForKey(
    const std::string& key, ILRemoteImageOptions options, const ILRemoteImageContext& context,
    ILImageCacheKind cacheType, ILImageCacheQueryCompletion completion) {
  if (key.empty()) return nullptr;
  return dispatchQuery(
      queryOperationPolicy,
      [key, options, context, cacheType](ILImageCacheProtocol& cache,
                                         ILImageCacheQueryCompletion done) {
        return cache.queryImageForKey(key, options, context, cacheType, std::move(done));
      },
      std::move(completion));
}

void ILImageCachesManager::containsImageForKey(const std::string& key, ILImageCacheKind cacheType,
                                               ILImageCacheContainsCompletion completion) {
  if (key.empty()) return;
  // A contains answer is a query answer without image or data.
  dispatchQuery(
      containsOperationPolicy,
      [key, cacheType](ILImageCacheProtocol& cache, ILImageCacheQueryCompletion done) {
        cache.containsImageForKey(
            key, cacheType, [done = std::move(done)](ILImageCacheKind kind) mutable {
              // A found kind stands in for the image that stops the walk.
              done(kind != ILImageCacheKindNone ? std::make_shared<UIImage>() : nullptr, nullptr,
                   kind);
            });
        return ILRemoteImageOperationPtr();
      },
      [completion = std::move(completion)](UIImagePtr, NSDataPtr, ILImageCacheKind kind) mutable {
        completion(kind);
      });
}

ILRemoteImageOperationPtr ILImageCachesManager::dispatchQuery(
    ILImageCachesManagerPolicy policy, const QueryCall& call,
    ILImageCacheQueryCompletion completion) {
  auto caches = this->caches();
  if (caches.empty()) return nullptr;
  if (caches.size() == 1 || policy == ILImageCachesManagerPolicyHighestOnly) {
    return call(*caches.back(), std::move(completion));
  }
  if (policy == ILImageCachesManagerPolicyLowestOnly) {
    return call(*caches.front(), std::move(completion));
  }
  auto operation = std::make_shared<ILImageCachesManagerOperation>();
  operation->beginWithTotalCount(caches.size());
  if (policy == ILImageCachesManagerPolicySerial) {
    const size_t count = caches.size();
    serialQuery(std::move(caches), count, call, operation, std::move(completion));
    return operation;
  }
  // Concurrent: the first image wins; nothing when every member missed.
  auto shared = SplitOnceCallback(std::move(completion));
  auto answerLock = std::make_shared<Mutex>();
  for (auto it = caches.rbegin(); it != caches.rend(); ++it) {
    call(**it, [operation, shared, answerLock](UIImagePtr image, NSDataPtr data,
                                               ILImageCacheKind kind) {
      MutexLock lock(*answerLock);
      if (!operation->isLive()) return;
      operation->completeOne();
      if (image) {
        operation->done();
        shared(image, data, kind);
      } else if (operation->pendingCount() == 0) {
        operation->done();
        shared(nullptr, nullptr, ILImageCacheKindNone);
      }
    });
  }
  return operation;
}

void ILImageCachesManager::serialQuery(std::vector<ILImageCacheProtocolPtr> caches,
                                       size_t remaining, QueryCall call,
                                       std::shared_ptr<ILImageCachesManagerOperation> operation,
                                       ILImageCacheQueryCompletion completion) {
  if (remaining == 0) {
    operation->done();
    completion(nullptr, nullptr, ILImageCacheKindNone);
    return;
  }
  auto member = caches[remaining - 1];
  auto weak = std::weak_ptr<ILImageCachesManager>(
      std::static_pointer_cast<ILImageCachesManager>(shared_from_this()));
  call(*member, [weak, caches = std::move(caches), remaining, call, operation,
                 completion = std::move(completion)](UIImagePtr image, NSDataPtr data,
                                                     ILImageCacheKind kind) mutable {
    auto self = weak.lock();
    if (!self || !operation->isLive()) return;
    operation->completeOne();
    if (image) {
      operation->done();
      completion(image, data, kind);
      return;
    }
    self->serialQuery(std::move(caches), remaining - 1, std::move(call), operation,
                      std::move(completion));
  });
}

void ILImageCachesManager::storeImage(const UIImagePtr& image, const NSDataPtr& imageData,
                                      const std::string& key, ILRemoteImageOptions options,
                                      const ILRemoteImageContext& context,
                                      ILImageCacheKind cacheType,
                                      ILImageCacheCompletion completion) {
  if (key.empty()) return;
  dispatchVoid(
      storeOperationPolicy,
      [=](ILImageCacheProtocol& cache, ILImageCacheCompletion done) {
        cache.storeImage(image, imageData, key, options, context, cacheType, std::move(done));
      },
      std::move(completion));
}

void ILImageCachesManager::removeImageForKey(const std::string& key, ILImageCacheKind cacheType,
                                             ILImageCacheCompletion completion) {
  if (key.empty()) return;
  dispatchVoid(
      removeOperationPolicy,
      [=](ILImageCacheProtocol& cache, ILImageCacheCompletion done) {
        cache.removeImageForKey(key, cacheType, std::move(done));
      },
      std::move(completion));
}

void ILImageCachesManager::clearWithCacheType(ILImageCacheKind cacheType,
                                              ILImageCacheCompletion completion) {
  dispatchVoid(
      clearOperationPolicy,
      [=](ILImageCacheProtocol& cache, ILImageCacheCompletion done) {
        cache.clearWithCacheType(cacheType, std::move(done));
      },
      std::move(completion));
}

void ILImageCachesManager::dispatchVoid(ILImageCachesManagerPolicy policy, const VoidCall& call,
                                        ILImageCacheCompletion completion) {
  auto caches = this->caches();
  if (caches.empty()) return;
  if (caches.size() == 1 || policy == ILImageCachesManagerPolicyHighestOnly) {
    return call(*caches.back(), std::move(completion));
  }
  if (policy == ILImageCachesManagerPolicyLowestOnly) {
    return call(*caches.front(), std::move(completion));
  }
  if (policy == ILImageCachesManagerPolicySerial) {
    const size_t count = caches.size();
    serialVoid(std::move(caches), count, call, std::move(completion));
    return;
  }
  auto shared = SplitOnceCallback(std::move(completion));
  auto operation = std::make_shared<ILImageCachesManagerOperation>();
  operation->beginWithTotalCount(caches.size());
  auto answerLock = std::make_shared<Mutex>();
  for (auto it = caches.rbegin(); it != caches.rend(); ++it) {
    call(**it, [operation, shared, answerLock] {
      MutexLock lock(*answerLock);
      if (!operation->isLive()) return;
      operation->completeOne();
      if (operation->pendingCount() > 0) return;
      operation->done();
      shared();
    });
  }
}

void ILImageCachesManager::serialVoid(std::vector<ILImageCacheProtocolPtr> caches, size_t remaining,
                                      VoidCall call, ILImageCacheCompletion completion) {
  if (remaining == 0) {
    completion();
    return;
  }
  auto member = caches[remaining - 1];
  auto weak = std::weak_ptr<ILImageCachesManager>(
      std::static_pointer_cast<ILImageCachesManager>(shared_from_this()));
  call(*member, [weak, caches = std::move(caches), remaining, call,
                 completion = std::move(completion)]() mutable {
    if (auto self = weak.lock()) {
      self->serialVoid(std::move(caches), remaining - 1, std::move(call), std::move(completion));
    }
  });
}
