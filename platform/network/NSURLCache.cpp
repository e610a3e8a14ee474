#include "platform/network/NSURLCache.h"

#include "platform/foundation/Mutex.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/foundation/SingletonResets.h"

namespace {

// Big enough that a handful of images fit, small as the platform's own
// in-memory default is meant to be.
constexpr uint64_t kSharedMemoryCapacity = 4 * 1024 * 1024;

Mutex sharedMutex;
NSURLCachePtr sharedCache GUARDED_BY(sharedMutex);

uint64_t costOf(const NSCachedURLResponse& cached) {
  // The headers count too, so empty bodies still take room.
  uint64_t cost = cached.data()->length() + 256;
  if (cached.response()) {
    for (const auto& [name, value] : cached.response()->allHeaderFields()) cost += name.size() + value.size();
  }
  return cost;
}

}  // namespace

NSCachedURLResponse::NSCachedURLResponse(NSHTTPURLResponsePtr response, NSDataPtr data,
                                         NSURLCacheStoragePolicy storagePolicy)
    : response_(std::move(response)),
      data_(data ? std::move(data) : NSData::dataWithBytes(Bytes{})),
      storagePolicy_(storagePolicy) {}

NSURLCache::NSURLCache(uint64_t memoryCapacity, uint64_t diskCapacity, std::string)
    : diskCapacity_(diskCapacity), memoryCapacity_(memoryCapacity) {}

NSURLCachePtr NSURLCache::sharedURLCache() {
  static bool resetRegistered = [] {
    SingletonResets::add([] {
      MutexLock lock(sharedMutex);
      sharedCache.reset();
    });
    return true;
  }();
  (void)resetRegistered;
  MutexLock lock(sharedMutex);
  if (!sharedCache) sharedCache = std::make_shared<NSURLCache>(kSharedMemoryCapacity);
  return sharedCache;
}

void NSURLCache::setSharedURLCache(NSURLCachePtr cache) {
  sharedURLCache();  // registers the reset
  MutexLock lock(sharedMutex);
  sharedCache = std::move(cache);
}

std::string NSURLCache::keyFor(const NSURLRequestPtr& request) {
  return request && request->URL() ? request->URL()->absoluteString() : "";
}

NSCachedURLResponsePtr NSURLCache::cachedResponseForRequest(const NSURLRequestPtr& request) {
  std::string key = keyFor(request);
  if (key.empty()) return nullptr;
  MutexLock lock(mutex_);
  auto it = entries_.find(key);
  if (it == entries_.end()) return nullptr;
  order_.splice(order_.begin(), order_, it->second);
  return it->second->cached;
}

std::optional<double> NSURLCache::storedAtForRequest(const NSURLRequestPtr& request) {
  std::string key = keyFor(request);
  MutexLock lock(mutex_);
  auto it = entries_.find(key);
  if (it == entries_.end()) return std::nullopt;
  return it->second->storedAt;
}

void NSURLCache::storeCachedResponse(const NSCachedURLResponsePtr& cachedResponse, const NSURLRequestPtr& request) {
  std::string key = keyFor(request);
  if (!cachedResponse || key.empty() || cachedResponse->storagePolicy() == NSURLCacheStoragePolicy::NotAllowed) {
    return;
  }
  Order entry;
  entry.push_back(
      Entry{std::move(key), cachedResponse, costOf(*cachedResponse), PlatformClock::now()});
  Order dropped;
  MutexLock lock(mutex_);
  eraseLocked(entry.front().key, dropped);
  if (entry.front().cost > memoryCapacity_) return;
  evictToFit(memoryCapacity_ - entry.front().cost, dropped);
  usage_ += entry.front().cost;
  order_.splice(order_.begin(), entry);
  entries_.emplace(order_.front().key, order_.begin());
}

void NSURLCache::removeCachedResponseForRequest(const NSURLRequestPtr& request) {
  std::string key = keyFor(request);
  Order dropped;
  MutexLock lock(mutex_);
  eraseLocked(key, dropped);
}

void NSURLCache::eraseLocked(std::string_view key, Order& dropped) {
  auto it = entries_.find(key);
  if (it == entries_.end()) return;
  Order::iterator entry = it->second;
  usage_ -= entry->cost;
  entries_.erase(it);
  dropped.splice(dropped.end(), order_, entry);
}

void NSURLCache::removeAllCachedResponses() {
  Order dropped;
  MutexLock lock(mutex_);
  entries_.clear();
  dropped.swap(order_);
  usage_ = 0;
}

uint64_t NSURLCache::memoryCapacity() const {
  MutexLock lock(mutex_);
  return memoryCapacity_;
}

void NSURLCache::setMemoryCapacity(uint64_t capacity) {
  Order dropped;
  MutexLock lock(mutex_);
  memoryCapacity_ = capacity;
  evictToFit(capacity, dropped);
}

uint64_t NSURLCache::currentMemoryUsage() const {
  MutexLock lock(mutex_);
  return usage_;
}

void NSURLCache::evictToFit(uint64_t capacity, Order& dropped) {
  while (usage_ > capacity && !order_.empty()) eraseLocked(order_.back().key, dropped);
}
