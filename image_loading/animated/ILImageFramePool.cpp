#include "image_loading/animated/ILImageFramePool.h"

#include <vector>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/SingletonResets.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/uikit/UIApplication.h"

namespace {

// Providers are compared as objects (isEqual) when they are objects, so two
// wrappers of one image with the same transformer share a pool.
bool sameProvider(const ILAnimatedImageProviderPtr& a, const ILAnimatedImageProviderPtr& b) {
  if (a == b) return true;
  auto* objectA = dynamic_cast<const NSObject*>(a.get());
  auto* objectB = dynamic_cast<const NSObject*>(b.get());
  return objectA && objectB && objectA->isEqual(*objectB);
}

struct Registry {
  Mutex lock;
  // Strong provider keys, weak pool values.
  std::vector<std::pair<ILAnimatedImageProviderPtr, std::weak_ptr<ILImageFramePool>>> pools
      GUARDED_BY(lock);
};

Registry& registry() {
  static Registry* r = [] {
    auto* created = new Registry;
    SingletonResets::add([created] {
      MutexLock lock(created->lock);
      created->pools.clear();
    });
    return created;
  }();
  return *r;
}

}  // namespace

ILImageFramePool::ILImageFramePool() : fetchQueue_(std::make_shared<NSOperationQueue>()) {
  fetchQueue_->setMaxConcurrentOperationCount(1);
  fetchQueue_->setName("com.quillfern.ILImageFramePool.fetchQueue");
}

ILImageFramePool::~ILImageFramePool() {
  NSNotificationCenter::defaultCenter().removeObserver(this);
}

std::shared_ptr<ILImageFramePool> ILImageFramePool::registerProvider(
    const ILAnimatedImageProviderPtr& provider) {
  if (!provider) return nullptr;
  Registry& r = registry();
  MutexLock lock(r.lock);
  for (auto& [key, weakPool] : r.pools) {
    if (!sameProvider(key, provider)) continue;
    if (auto pool = weakPool.lock()) {
      ++pool->registerCount_;
      return pool;
    }
  }
  std::erase_if(r.pools, [&](const auto& entry) { return sameProvider(entry.first, provider); });
  auto pool = std::make_shared<ILImageFramePool>();
  pool->provider_ = provider;
  pool->registerCount_ = 1;
  NSNotificationCenter::defaultCenter().addObserver(
      pool.get(), UIApplicationDidReceiveMemoryWarningNotification, nullptr,
      WeakBind(std::weak_ptr<ILImageFramePool>(pool),
               [](ILImageFramePool& p, const NSNotification&) { p.removeAllFrames(); }));
  r.pools.emplace_back(provider, pool);
  return pool;
}

void ILImageFramePool::unregisterProvider(const ILAnimatedImageProviderPtr& provider) {
  if (!provider) return;
  Registry& r = registry();
  MutexLock lock(r.lock);
  for (auto it = r.pools.begin(); it != r.pools.end(); ++it) {
    if (!sameProvider(it->first, provider)) continue;
    auto pool = it->second.lock();
    if (!pool || pool->registerCount_ <= 1) {
      if (pool) pool->registerCount_ = 0;
      r.pools.erase(it);
    } else {
      --pool->registerCount_;
    }
    return;
  }
}

void ILImageFramePool::prefetchFrameAtIndex(uint64_t index) {
  {
    MutexLock lock(lock_);
    if (frameBuffer_.size() > maxBufferCount_) {
      // Unsigned neighbours: index 0 evicts the key of the largest value.
      frameBuffer_.erase(index - 1);
      frameBuffer_.erase(index + 1);
    }
  }
  if (fetchQueue_->operationCount() > 0) return;  // one decode at a time; this one is dropped
  fetchQueue_->addOperationWithBlock(
      WeakBind(std::weak_ptr<ILImageFramePool>(SharedFromThis(this)), [index](ILImageFramePool& pool) {
        ILAnimatedImageProviderPtr provider = pool.provider();
        if (!provider) return;
        pool.setFrame(provider->animatedImageFrameAtIndex(index), index);
      }));
}

uint64_t ILImageFramePool::maxBufferCount() const {
  MutexLock lock(lock_);
  return maxBufferCount_;
}

void ILImageFramePool::setMaxBufferCount(uint64_t count) {
  MutexLock lock(lock_);
  maxBufferCount_ = count;
}

void ILImageFramePool::setMaxConcurrentCount(int64_t count) {
  fetchQueue_->setMaxConcurrentOperationCount(count);
}

uint64_t ILImageFramePool::registerCount() const {
  MutexLock lock(registry().lock);
  return registerCount_;
}

size_t ILImageFramePool::currentFrameCount() const {
  MutexLock lock(lock_);
  return frameBuffer_.size();
}

UIImagePtr ILImageFramePool::frameAtIndex(uint64_t index) const {
  MutexLock lock(lock_);
  auto it = frameBuffer_.find(index);
  return it == frameBuffer_.end() ? nullptr : it->second;
}

void ILImageFramePool::setFrame(const UIImagePtr& frame, uint64_t index) {
  MutexLock lock(lock_);
  if (frame) {
    frameBuffer_[index] = frame;
  } else {
    frameBuffer_.erase(index);
  }
}

void ILImageFramePool::removeFrameAtIndex(uint64_t index) {
  MutexLock lock(lock_);
  frameBuffer_.erase(index);
}

void ILImageFramePool::removeAllFrames() {
  MutexLock lock(lock_);
  frameBuffer_.clear();
}
