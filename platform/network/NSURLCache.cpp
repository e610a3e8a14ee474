#include "platform/network/NSURLCache.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <new>
#include <tuple>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/foundation/SingletonResets.h"

namespace {

// Big enough that a handful of images fit, small as the platform's own
// in-memory default is meant to be.
constexpr uint64_t kSharedMemoryCapacity = 4 * 1024 * 1024;

Mutex sharedMutex;
NSURLCachePtr sharedCache GUARDED_BY(sharedMutex);

// The headers count too, so empty bodies still take room.
constexpr uint64_t kEntryOverhead = 256;

void putLength(char*& out, size_t length) {
  std::memcpy(out, &length, sizeof length);
  out += sizeof length;
}

size_t takeLength(const char*& in) {
  size_t length;
  std::memcpy(&length, in, sizeof length);
  in += sizeof length;
  return length;
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

NSURLCache::~NSURLCache() { removeAllCachedResponses(); }

void NSURLCache::EntryFree::operator()(Entry* entry) const {
  entry->~Entry();
  ::operator delete(entry);
}

NSURLCache::Dropped::~Dropped() {
  while (first_) {
    Entry* entry = static_cast<Entry*>(first_);
    first_ = entry->next;
    EntryFree()(entry);
  }
}

void NSURLCache::Dropped::add(Entry* entry) {
  entry->next = first_;
  first_ = entry;
}

std::string_view NSURLCache::keyFor(const NSURLRequestPtr& request) {
  return request && request->URL() ? std::string_view(request->URL()->absoluteString())
                                   : std::string_view();
}

NSURLCache::EntryPtr NSURLCache::makeEntry(std::string_view key, size_t hash,
                                           const NSHTTPURLResponse* response, const NSDataPtr& body,
                                           NSURLCacheStoragePolicy storagePolicy) {
  Entry::Url url = Entry::Url::None;
  std::string_view ownUrl;
  size_t fieldsLength = 0;
  uint64_t cost = (body ? body->length() : 0) + kEntryOverhead;
  if (response) {
    if (response->URL()) {
      ownUrl = response->URL()->absoluteString();
      url = ownUrl == key ? Entry::Url::Key : Entry::Url::Own;
      if (url == Entry::Url::Key) ownUrl = {};
    }
    for (const auto& [name, value] : response->allHeaderFields()) {
      fieldsLength += 2 * sizeof(size_t) + name.size() + value.size();
      cost += name.size() + value.size();
    }
  }
  void* block = ::operator new(sizeof(Entry) + key.size() + ownUrl.size() + fieldsLength);
  EntryPtr entry(new (block) Entry);
  entry->hash = hash;
  entry->cost = cost;
  entry->storedAt = PlatformClock::now();
  entry->body = body ? body : NSData::dataWithBytes(Bytes{});
  entry->storagePolicy = storagePolicy;
  entry->url = url;
  entry->keyLength = key.size();
  entry->urlLength = ownUrl.size();
  entry->fieldsLength = fieldsLength;
  char* out = reinterpret_cast<char*>(entry.get() + 1);
  std::memcpy(out, key.data(), key.size());
  out += key.size();
  if (!ownUrl.empty()) std::memcpy(out, ownUrl.data(), ownUrl.size());
  out += ownUrl.size();
  entry->hasResponse = response != nullptr;
  if (response) {
    entry->status = response->statusCode();
    entry->fieldCount = response->allHeaderFields().size();
    for (const auto& [name, value] : response->allHeaderFields()) {
      putLength(out, name.size());
      putLength(out, value.size());
      std::memcpy(out, name.data(), name.size());
      out += name.size();
      std::memcpy(out, value.data(), value.size());
      out += value.size();
    }
  }
  return entry;
}

NSCachedURLResponsePtr NSURLCache::rebuild(const Entry& entry, const NSURLRequestPtr& request) {
  NSHTTPURLResponsePtr response;
  if (entry.hasResponse) {
    NSHTTPHeaderFields fields;
    const char* in = entry.fields();
    for (size_t i = 0; i < entry.fieldCount; ++i) {
      size_t nameLength = takeLength(in);
      size_t valueLength = takeLength(in);
      // Stored in the map's own order: each goes in at the end.
      fields.emplace_hint(fields.end(), std::piecewise_construct,
                          std::forward_as_tuple(in, nameLength),
                          std::forward_as_tuple(in + nameLength, valueLength));
      in += nameLength + valueLength;
    }
    // Read by an equal key, the request's URL is the response's.
    NSURLPtr url = entry.url == Entry::Url::Key ? request->URL()
                   : entry.url == Entry::Url::Own
                       ? NSURL::URLWithString(std::string(entry.ownUrl()))
                       : nullptr;
    response = std::make_shared<NSHTTPURLResponse>(std::move(url), entry.status, std::move(fields));
  }
  return std::make_shared<NSCachedURLResponse>(std::move(response), entry.body,
                                               entry.storagePolicy);
}

NSCachedURLResponsePtr NSURLCache::cachedResponseForRequest(const NSURLRequestPtr& request) {
  double storedAt;
  return cachedResponseForRequest(request, storedAt);
}

NSCachedURLResponsePtr NSURLCache::cachedResponseForRequest(const NSURLRequestPtr& request,
                                                            double& storedAt) {
  std::string_view key = keyFor(request);
  if (key.empty()) return nullptr;
  const size_t hash = std::hash<std::string_view>()(key);
  MutexLock lock(mutex_);
  size_t slot = findSlot(key, hash);
  if (slot == slots_.size()) return nullptr;
  Entry* entry = slots_[slot].at;
  detach(entry);
  linkFirst(entry);
  storedAt = entry->storedAt;
  // Under the lock: a store on another thread may free the entry once it
  // is released.
  return rebuild(*entry, request);
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
  if (!cachedResponse) return;
  storeResponse(cachedResponse->response().get(), cachedResponse->data(),
                cachedResponse->storagePolicy(), request);
}

void NSURLCache::storeResponse(const NSHTTPURLResponse* response, const NSDataPtr& body,
                               NSURLCacheStoragePolicy storagePolicy,
                               const NSURLRequestPtr& request) {
  std::string_view key = keyFor(request);
  if (key.empty() || storagePolicy == NSURLCacheStoragePolicy::NotAllowed) return;
  const size_t hash = std::hash<std::string_view>()(key);
  EntryPtr entry = makeEntry(key, hash, response, body, storagePolicy);
  Dropped dropped;
  MutexLock lock(mutex_);
  eraseLocked(key, hash, dropped);
  if (entry->cost > memoryCapacity_) return;
  evictToFit(memoryCapacity_ - entry->cost, dropped);
  usage_ += entry->cost;
  Entry* kept = entry.release();
  linkFirst(kept);
  insertSlot(kept);
}

void NSURLCache::removeCachedResponseForRequest(const NSURLRequestPtr& request) {
  std::string_view key = keyFor(request);
  const size_t hash = std::hash<std::string_view>()(key);
  Dropped dropped;
  MutexLock lock(mutex_);
  eraseLocked(key, hash, dropped);
}

void NSURLCache::detach(Entry* entry) {
  entry->prev->next = entry->next;
  entry->next->prev = entry->prev;
}

void NSURLCache::linkFirst(Entry* entry) {
  entry->prev = &order_;
  entry->next = order_.next;
  order_.next->prev = entry;
  order_.next = entry;
}

void NSURLCache::eraseLocked(std::string_view key, size_t hash, Dropped& dropped) {
  size_t slot = findSlot(key, hash);
  if (slot == slots_.size()) return;
  Entry* entry = slots_[slot].at;
  clearSlot(slot);
  usage_ -= entry->cost;
  detach(entry);
  dropped.add(entry);
}

void NSURLCache::eraseEntry(Entry* entry, Dropped& dropped) {
  const size_t mask = slots_.size() - 1;
  for (size_t slot = entry->hash & mask;; slot = (slot + 1) & mask) {
    if (slots_[slot].at == entry) {
      clearSlot(slot);
      break;
    }
  }
  usage_ -= entry->cost;
  detach(entry);
  dropped.add(entry);
}

size_t NSURLCache::findSlot(std::string_view key, size_t hash) const {
  if (slots_.empty()) return 0;
  const size_t mask = slots_.size() - 1;
  for (size_t slot = hash & mask; slots_[slot].at; slot = (slot + 1) & mask) {
    if (slots_[slot].hash == hash && slots_[slot].at->key() == key) return slot;
  }
  return slots_.size();
}

void NSURLCache::insertSlot(Entry* entry) {
  if (2 * (indexed_ + 1) > slots_.size()) {
    std::vector<Slot> old(std::max<size_t>(16, 2 * slots_.size()));
    old.swap(slots_);
    indexed_ = 0;
    for (const Slot& slot : old) {
      if (slot.at) insertSlot(slot.at);
    }
  }
  const size_t mask = slots_.size() - 1;
  size_t slot = entry->hash & mask;
  while (slots_[slot].at) slot = (slot + 1) & mask;
  slots_[slot] = Slot{entry->hash, entry};
  ++indexed_;
}

void NSURLCache::clearSlot(size_t slot) {
  // Later slots of the same run move up into the gap when their home is at
  // or before it, so that no probe for them stops short at an empty slot.
  const size_t mask = slots_.size() - 1;
  size_t gap = slot;
  for (size_t next = (gap + 1) & mask; slots_[next].at; next = (next + 1) & mask) {
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
  Dropped dropped;
  MutexLock lock(mutex_);
  slots_.clear();
  indexed_ = 0;
  while (order_.next != &order_) {
    Entry* entry = static_cast<Entry*>(order_.next);
    detach(entry);
    dropped.add(entry);
  }
  usage_ = 0;
}

uint64_t NSURLCache::memoryCapacity() const {
  MutexLock lock(mutex_);
  return memoryCapacity_;
}

void NSURLCache::setMemoryCapacity(uint64_t capacity) {
  Dropped dropped;
  MutexLock lock(mutex_);
  memoryCapacity_ = capacity;
  evictToFit(capacity, dropped);
}

uint64_t NSURLCache::currentMemoryUsage() const {
  MutexLock lock(mutex_);
  return usage_;
}

void NSURLCache::evictToFit(uint64_t capacity, Dropped& dropped) {
  while (usage_ > capacity && order_.prev != &order_)
    eraseEntry(static_cast<Entry*>(order_.prev), dropped);
}
