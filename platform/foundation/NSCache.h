#pragma once

// A store of objects by key that evicts on its own when it holds more than
// its limits allow: a total cost (the sum of the costs given with the
// objects) and a count, 0 meaning no limit. The least recently stored or
// read entries go first; an object dearer than the whole cost limit is not
// kept at all; the delegate hears of each object evicted (not of
// objects removed or replaced by a caller). Safe from any thread; the
// delegate is called with no lock held.

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/ThreadChecks.h"

template <class Key, class Object>
class NSCache;

template <class Key, class Object>
class NSCacheDelegate {
 public:
  virtual ~NSCacheDelegate() = default;
  virtual void cacheWillEvictObject(NSCache<Key, Object>& cache,
                                    const std::shared_ptr<Object>& object) = 0;
};

template <class Key, class Object>
class NSCache {
 public:
  using Delegate = NSCacheDelegate<Key, Object>;

  NSCache() = default;
  virtual ~NSCache() = default;
  NSCache(const NSCache&) = delete;
  NSCache& operator=(const NSCache&) = delete;

  std::string name() const {
    MutexLock lock(mutex_);
    return name_;
  }
  void setName(std::string name) {
    MutexLock lock(mutex_);
    name_ = std::move(name);
  }
  std::shared_ptr<Delegate> delegate() const {
    MutexLock lock(mutex_);
    return delegate_.lock();
  }
  // Held weakly, as on the platform.
  void setDelegate(const std::shared_ptr<Delegate>& delegate) {
    MutexLock lock(mutex_);
    delegate_ = delegate;
  }

  uint64_t totalCostLimit() const {
    MutexLock lock(mutex_);
    return totalCostLimit_;
  }
  // A lower limit evicts at once.
  void setTotalCostLimit(uint64_t limit) {
    MutexLock lock(mutex_);
    totalCostLimit_ = limit;
    evictAndUnlock(lock);
  }
  uint64_t countLimit() const {
    MutexLock lock(mutex_);
    return countLimit_;
  }
  void setCountLimit(uint64_t limit) {
    MutexLock lock(mutex_);
    countLimit_ = limit;
    evictAndUnlock(lock);
  }

  std::shared_ptr<Object> objectForKey(const Key& key) {
    MutexLock lock(mutex_);
    auto it = entries_.find(key);
    if (it == entries_.end()) return nullptr;
    recency_.splice(recency_.end(), recency_, it->second.recency);
    return it->second.object;
  }
  // A null object removes the key, as the platform does.
  void setObject(const std::shared_ptr<Object>& object, const Key& key, uint64_t cost = 0) {
    if (!object) return removeObjectForKey(key);
    MutexLock lock(mutex_);
    std::shared_ptr<Object> replaced = removeLocked(key);
    if (totalCostLimit_ > 0 && cost > totalCostLimit_) {
      // It could never stay: it goes at once, and nothing else goes for it.
      std::shared_ptr<Delegate> delegate = delegate_.lock();
      lock.unlock();
      if (delegate) delegate->cacheWillEvictObject(*this, object);
      return;
    }
    recency_.push_back(key);
    entries_.emplace(key, Entry{object, cost, std::prev(recency_.end())});
    totalCost_ += cost;
    evictAndUnlock(lock);
  }
  void removeObjectForKey(const Key& key) {
    std::shared_ptr<Object> removed;  // released after the lock
    MutexLock lock(mutex_);
    removed = removeLocked(key);
  }
  void removeAllObjects() {
    std::unordered_map<Key, Entry> gone;
    MutexLock lock(mutex_);
    gone.swap(entries_);
    recency_.clear();
    totalCost_ = 0;
  }

  // What the cache holds now (not on the platform's interface; for
  // diagnostics and tests of subclasses).
  uint64_t totalCost() const {
    MutexLock lock(mutex_);
    return totalCost_;
  }
  size_t count() const {
    MutexLock lock(mutex_);
    return entries_.size();
  }

 private:
  struct Entry {
    std::shared_ptr<Object> object;
    uint64_t cost;
    typename std::list<Key>::iterator recency;
  };

  std::shared_ptr<Object> removeLocked(const Key& key) REQUIRES(mutex_) {
    auto it = entries_.find(key);
    if (it == entries_.end()) return nullptr;
    std::shared_ptr<Object> object = std::move(it->second.object);
    totalCost_ -= it->second.cost;
    recency_.erase(it->second.recency);
    entries_.erase(it);
    return object;
  }

  // Drops least recent entries while over a limit, then tells the delegate
  // with the lock released (it may call back into the cache).
  void evictAndUnlock(MutexLock& lock) REQUIRES(mutex_) {
    std::vector<std::shared_ptr<Object>> evicted;
    while (!recency_.empty() && ((totalCostLimit_ > 0 && totalCost_ > totalCostLimit_) ||
                                 (countLimit_ > 0 && entries_.size() > countLimit_))) {
      evicted.push_back(removeLocked(recency_.front()));
    }
    std::shared_ptr<Delegate> delegate = delegate_.lock();
    lock.runUnlocked([&] {
      auto gone = std::move(evicted);
      auto told = std::move(delegate);
      if (!told) return;
      for (const auto& object : gone) told->cacheWillEvictObject(*this, object);
    });
  }

  mutable Mutex mutex_;
  std::string name_ GUARDED_BY(mutex_);
  std::weak_ptr<Delegate> delegate_ GUARDED_BY(mutex_);
  std::unordered_map<Key, Entry> entries_ GUARDED_BY(mutex_);
  std::list<Key> recency_ GUARDED_BY(mutex_);  // least recent first
  uint64_t totalCost_ GUARDED_BY(mutex_) = 0;
  uint64_t totalCostLimit_ GUARDED_BY(mutex_) = 0;
  uint64_t countLimit_ GUARDED_BY(mutex_) = 0;
};
