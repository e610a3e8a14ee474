#pragma once

// The memory part of the image cache: a cost- and count-limited store that
// evicts least recently used entries first, plus an optional weak map of the
// same entries. An image the store evicted (or a memory warning dropped) is
// found again through the weak map for as long as something else still holds
// it, and re-enters the store with its memory cost. Limits follow later
// changes of the configuration's maxMemoryCost and maxMemoryCount. Safe from
// any thread.

#include <cstdint>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>

#include "image_loading/cache/ILImageCacheConfig.h"
#include "platform/foundation/KeyValueObserving.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/ThreadChecks.h"

class NSObject;

// The interface the image cache talks to, so a configuration can supply
// another memory cache.
class ILMemoryCacheProtocol {
 public:
  virtual ~ILMemoryCacheProtocol() = default;
  virtual void setObject(const std::shared_ptr<NSObject>& object, const std::string& key,
                         uint64_t cost = 0) = 0;
  virtual std::shared_ptr<NSObject> objectForKey(const std::string& key) = 0;
  virtual void removeObjectForKey(const std::string& key) = 0;
  virtual void removeAllObjects() = 0;
};

class ILMemoryCache : public ILMemoryCacheProtocol,
                      public NSKeyValueObserver,
                      public std::enable_shared_from_this<ILMemoryCache> {
 public:
  // Registers for memory warnings once shared; use create().
  static std::shared_ptr<ILMemoryCache> create(ILImageCacheConfigPtr config = nullptr);
  explicit ILMemoryCache(ILImageCacheConfigPtr config);
  ~ILMemoryCache() override;
  ILMemoryCache(const ILMemoryCache&) = delete;
  ILMemoryCache& operator=(const ILMemoryCache&) = delete;

  const ILImageCacheConfigPtr& config() const { return config_; }

  void setObject(const std::shared_ptr<NSObject>& object, const std::string& key,
                 uint64_t cost = 0) override;
  std::shared_ptr<NSObject> objectForKey(const std::string& key) override;
  void removeObjectForKey(const std::string& key) override;
  void removeAllObjects() override;
  // Empties the strong store only; the weak map keeps what others still hold.
  void didReceiveMemoryWarning();

  uint64_t totalCostLimit() const;
  uint64_t countLimit() const;
  uint64_t totalCost() const;
  size_t count() const;

  void observeValueForKeyPath(const std::string& keyPath, NSObject* object,
                              const Value& change, void* context) override;

 private:
  struct Entry {
    std::shared_ptr<NSObject> object;
    uint64_t cost;
    std::list<std::string>::iterator recency;
  };

  void storeLocked(const std::shared_ptr<NSObject>& object, const std::string& key,
                   uint64_t cost) REQUIRES(mutex_);
  void removeLocked(const std::string& key) REQUIRES(mutex_);
  void evictLocked() REQUIRES(mutex_);
  void removeAllStrong();

  ILImageCacheConfigPtr config_;
  NSObserverToken memoryWarningToken_;

  mutable Mutex mutex_;
  std::unordered_map<std::string, Entry> entries_ GUARDED_BY(mutex_);
  std::list<std::string> recency_ GUARDED_BY(mutex_);  // least recent first
  uint64_t totalCost_ GUARDED_BY(mutex_) = 0;
  uint64_t costLimit_ GUARDED_BY(mutex_) = 0;
  uint64_t countLimit_ GUARDED_BY(mutex_) = 0;

  Mutex weakCacheLock_;
  std::unordered_map<std::string, std::weak_ptr<NSObject>> weakCache_ GUARDED_BY(weakCacheLock_);
  size_t weakPruneAt_ GUARDED_BY(weakCacheLock_) = 64;
};
