#include "platform/network/NSURLCache.h"

#include <algorithm>
#include <functional>
#include <iterator>

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

std::string_view NSURLCache::keyFor(const NSURLRequestPtr& request) {
  return request && request->URL() ? std::string_view(request->URL()->absoluteString())
                                   : std::string_view();
}

NSCachedURLResponsePtr NSURLCache::cachedResponseForRequest(const NSURLRequestPtr& request) {
  std::string_view key = keyFor(request);
  if (key.empty()) return nullptr;
  const size_t hash = std::hash<std::string_view>()(key);
  MutexLock lock(mutex_);
  size_t slot = findSlot(key, hash);
  if (slot == slots_.size()) return nullptr;
  Order::iterator entry = slots_[slot].at;
  order_.splice(order_.begin(), order_, entry);
  return entry->cached;
}

std::optional<double> NSURLCache::storedAtForRequest(const NSURLRequestPtr& request) {
  std::string_view key = keyFor(request);
  const size_t hash = std::hash<std::string_view>()(key);
  MutexLock lock(mutex_);
  size_t slot = findSlot(key, hash);
  if (slot == slots_.size()) return std::nullopt;
  return slots_[slot].at->storedAt;
}

void NSURLCache::storeCachedResponse(const NSCachedURLResponsePtr& cachedResponse, const NSURLRequestPtr& request) {
  std::string_view key = keyFor(request);
  if (!cachedResponse || key.empty() || cachedResponse->storagePolicy() == NSURLCacheStoragePolicy::NotAllowed) {
    return;
  }
  const size_t hash = std::hash<std::string_view>()(key);
  Order entry;
  entry.push_back(
      Entry{request->URL(), hash, cachedResponse, costOf(*cachedResponse), PlatformClock::now()});
  Order dropped;
  MutexLock lock(mutex_);
  eraseLocked(key, hash, dropped);
  if (entry.front().cost > memoryCapacity_) return;
  evictToFit(memoryCapacity_ - entry.front().cost, dropped);
  usage_ += entry.front().cost;
  order_.splice(order_.begin(), entry);
  insertSlot(order_.begin());
}

void NSURLCache::removeCachedResponseForRequest(const NSURLRequestPtr& request) {
  std::string_view key = keyFor(request);
  const size_t hash = std::hash<std::string_view>()(key);
  Order dropped;
  MutexLock lock(mutex_);
  eraseLocked(key, hash, dropped);
}

void NSURLCache::eraseLocked(std::string_view key, size_t hash, Order& dropped) {
  size_t slot = findSlot(key, hash);
  if (slot == slots_.size()) return;
  Order::iterator entry = slots_[slot].at;
  clearSlot(slot);
  usage_ -= entry->cost;
  dropped.splice(dropped.end(), order_, entry);
}

void NSURLCache::eraseEntry(Order::iterator entry, Order& dropped) {
  const size_t mask = slots_.size() - 1;
  for (size_t slot = entry->hash & mask;; slot = (slot + 1) & mask) {
    if (slots_[slot].used && slots_[slot].at == entry) {
      clearSlot(slot);
      break;
    }
  }
  usage_ -= entry->cost;
  dropped.splice(dropped.end(), order_, entry);
}

size_t NSURLCache::findSlot(std::string_view key, size_t hash) const {
  if (slots_.empty()) return 0;
  const size_t mask = slots_.size() - 1;
  for (size_t slot = hash & mask; slots_[slot].used; slot = (slot + 1) & mask) {
    if (slots_[slot].hash == hash && slots_[slot].at->url->absoluteString() == key) return slot;
  }
  return slots_.size();
}

void NSURLCache::insertSlot(Order::iterator entry) {
  if (2 * (indexed_ + 1) > slots_.size()) {
    std::vector<Slot> old(std::max<size_t>(16, 2 * slots_.size()));
    old.swap(slots_);
    indexed_ = 0;
    for (const Slot& slot : old) {
      if (slot.used) insertSlot(slot.at);
    }
  }
  const size_t mask = slots_.size() - 1;
  size_t slot = entry->hash & mask;
  while (slots_[slot].used) slot = (slot + 1) & mask;
  slots_[slot] = Slot{entry->hash, entry, true};
  ++indexed_;
}

void NSURLCache::clearSlot(size_t slot) {
  // Later slots of the same run move up into the gap when their home is at
  // or before it, so that no probe for them stops short at an empty slot.
  const size_t mask = slots_.size() - 1;
  size_t gap = slot;
  for (size_t next = (gap + 1) & mask; slots_[next].used; next = (next + 1) & mask) {
    const size_t home = slots_[next].hash & mask;
    // Distance walked from home to `next`, against that from home to the gap.
    if (((next - home) & mask) >= ((next - gap) & mask)) {
      slots_[gap] = slots_[next];
      gap = next;
    }
  }
  slots_[gap] = Slot{};
  --indexed_;
}

void NSURLCache::removeAllCachedResponses() {
  Order dropped;
  MutexLock lock(mutex_);
  slots_.clear();
  indexed_ = 0;
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
  while (usage_ > capacity && !order_.empty()) eraseEntry(std::prev(order_.end()), dropped);
}
