#include "image_loading/cache/ILMemoryCache.h"

#include "image_loading/coders/UIImageMetadata.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIImage.h"

namespace {

// Tells our config observations apart from any other the object may have.
int kConfigContext;

constexpr const char kMaxMemoryCost[] = "maxMemoryCost";
constexpr const char kMaxMemoryCount[] = "maxMemoryCount";

}  // namespace

std::shared_ptr<ILMemoryCache> ILMemoryCache::create(ILImageCacheConfigPtr config) {
  auto cache = std::make_shared<ILMemoryCache>(std::move(config));
  cache->memoryWarningToken_ = NSNotificationCenter::defaultCenter().addObserverForName(
      UIApplicationDidReceiveMemoryWarningNotification, nullptr,
      WeakBind(WeakFromThis(cache.get()),
               [](ILMemoryCache& self, const NSNotification&) { self.didReceiveMemoryWarning(); }));
  return cache;
}

ILMemoryCache::ILMemoryCache(ILImageCacheConfigPtr config)
    : config_(config ? std::move(config) : std::make_shared<ILImageCacheConfig>()) {
  costLimit_ = config_->maxMemoryCost();
  countLimit_ = config_->maxMemoryCount();
  config_->addObserver(this, kMaxMemoryCost, 0, &kConfigContext);
  config_->addObserver(this, kMaxMemoryCount, 0, &kConfigContext);
}

ILMemoryCache::~ILMemoryCache() {
  config_->removeObserver(this, kMaxMemoryCost, &kConfigContext);
  config_->removeObserver(this, kMaxMemoryCount, &kConfigContext);
  if (memoryWarningToken_) NSNotificationCenter::defaultCenter().removeObserver(memoryWarningToken_);
}

void ILMemoryCache::observeValueForKeyPath(const std::string& keyPath, NSObject*,
                                           const Value&, void* context) {
  if (context != &kConfigContext) return;
  MutexLock lock(mutex_);
  if (keyPath == kMaxMemoryCost) costLimit_ = config_->maxMemoryCost();
  if (keyPath == kMaxMemoryCount) countLimit_ = config_->maxMemoryCount();
  evictLocked();
}

void ILMemoryCache::setObject(const std::shared_ptr<NSObject>& object, const std::string& key,
                              uint64_t cost) {
  if (!object) {
    removeObjectForKey(key);
    return;
  }
  {
    MutexLock lock(mutex_);
    storeLocked(object, key, cost);
  }
  if (!config_->shouldUseWeakMemoryCache) return;
  MutexLock lock(weakCacheLock_);
  weakCache_[key] = object;
  // Entries whose objects are gone would pile up under ever-new keys.
  if (weakCache_.size() >= weakPruneAt_) {
    std::erase_if(weakCache_, [](const auto& item) { return item.second.expired(); });
    weakPruneAt_ = std::max<size_t>(64, weakCache_.size() * 2);
  }
}

void ILMemoryCache::storeLocked(const std::shared_ptr<NSObject>& object, const std::string& key,
                                uint64_t cost) {
  removeLocked(key);
  recency_.push_back(key);
  entries_.emplace(key, Entry{object, cost, std::prev(recency_.end())});
  totalCost_ += cost;
  evictLocked();
}

void ILMemoryCache::removeLocked(const std::string& key) {
  auto it = entries_.find(key);
  if (it == entries_.end()) return;
  totalCost_ -= it->second.cost;
  recency_.erase(it->second.recency);
  entries_.erase(it);
}

void ILMemoryCache::evictLocked() {
  while (!recency_.empty() && ((costLimit_ > 0 && totalCost_ > costLimit_) ||
                               (countLimit_ > 0 && entries_.size() > countLimit_))) {
    removeLocked(recency_.front());
  }
}

std::shared_ptr<NSObject> ILMemoryCache::objectForKey(const std::string& key) {
  {
    MutexLock lock(mutex_);
    auto it = entries_.find(key);
    if (it != entries_.end()) {
      recency_.splice(recency_.end(), recency_, it->second.recency);
      return it->second.object;
    }
  }
  if (!config_->shouldUseWeakMemoryCache) return nullptr;
  std::shared_ptr<NSObject> object;
  {
    MutexLock lock(weakCacheLock_);
    auto it = weakCache_.find(key);
    if (it == weakCache_.end()) return nullptr;
    object = it->second.lock();
    if (!object) {
      weakCache_.erase(it);
      return nullptr;
    }
  }
  const auto* image = dynamic_cast<const UIImage*>(object.get());
  const uint64_t cost = image ? il_memoryCost(*image) : 0;
  MutexLock lock(mutex_);
  storeLocked(object, key, cost);
  return object;
}

void ILMemoryCache::removeObjectForKey(const std::string& key) {
  {
    MutexLock lock(mutex_);
    removeLocked(key);
  }
  if (!config_->shouldUseWeakMemoryCache) return;
  MutexLock lock(weakCacheLock_);
  weakCache_.erase(key);
}

void ILMemoryCache::removeAllStrong() {
  MutexLock lock(mutex_);
  entries_.clear();
  recency_.clear();
  totalCost_ = 0;
}

void ILMemoryCache::removeAllObjects() {
  removeAllStrong();
  if (!config_->shouldUseWeakMemoryCache) return;
  MutexLock lock(weakCacheLock_);
  weakCache_.clear();
}

void ILMemoryCache::didReceiveMemoryWarning() { removeAllStrong(); }

uint64_t ILMemoryCache::totalCostLimit() const {
  MutexLock lock(mutex_);
  return costLimit_;
}

uint64_t ILMemoryCache::countLimit() const {
  MutexLock lock(mutex_);
  return countLimit_;
}

uint64_t ILMemoryCache::totalCost() const {
  MutexLock lock(mutex_);
  return totalCost_;
}

size_t ILMemoryCache::count() const {
  MutexLock lock(mutex_);
  return entries_.size();
}
