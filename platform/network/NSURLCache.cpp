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

// The arena's chunks, from its share of the capacity.
constexpr size_t kMinChunk = 16 * 1024;
constexpr size_t kMaxChunk = 256 * 1024;

size_t chunkBytesFor(size_t limit) { return std::clamp<size_t>(limit / 16, kMinChunk, kMaxChunk); }

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
    : diskCapacity_(diskCapacity), memoryCapacity_(memoryCapacity) {
  MutexLock lock(mutex_);
  arena_.setLimit(memoryCapacity);
}

NSURLCache::Arena::~Arena() { reset(); }

void NSURLCache::Arena::setLimit(size_t capacity) {
  // Blocks also hold the key and the field lengths, which the cost leaves
  // out: a quarter more than the capacity holds a full cache.
  limit_ = capacity + capacity / 4;
  if (chunks_.empty()) chunkBytes_ = chunkBytesFor(limit_);
}

std::pair<void*, uint16_t> NSURLCache::Arena::allocate(size_t bytes) {
  const size_t sizeClass = (bytes + kGrain - 1) / kGrain;
  if (sizeClass >= kClasses) return {::operator new(bytes), kHeapBlock};
  if (Free* block = free_[sizeClass]) {
    free_[sizeClass] = block->next;
    return {block, static_cast<uint16_t>(sizeClass)};
  }
  const size_t rounded = sizeClass * kGrain;
  if (static_cast<size_t>(end_ - bump_) < rounded) {
    // One chunk even for a cache smaller than it.
    if (made_ > 0 && made_ + chunkBytes_ > limit_) return {::operator new(bytes), kHeapBlock};
    // What is left of the old chunk goes to waste; it is less than a block.
    chunks_.push_back(::operator new(chunkBytes_, std::align_val_t(kGrain)));
    bump_ = static_cast<char*>(chunks_.back());
    end_ = bump_ + chunkBytes_;
    made_ += chunkBytes_;
  }
  void* block = bump_;
  bump_ += rounded;
  return {block, static_cast<uint16_t>(sizeClass)};
}

void NSURLCache::Arena::release(void* block, uint16_t sizeClass) {
  if (sizeClass == kHeapBlock) {
    ::operator delete(block);
    return;
  }
  Free* free = static_cast<Free*>(block);
  free->next = free_[sizeClass];
  free_[sizeClass] = free;
}

void NSURLCache::Arena::reset() {
  for (void* chunk : chunks_) ::operator delete(chunk, std::align_val_t(kGrain));
  chunks_.clear();
  std::fill(std::begin(free_), std::end(free_), nullptr);
  bump_ = end_ = nullptr;
  made_ = 0;
  chunkBytes_ = chunkBytesFor(limit_);
}

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

NSURLCache::Dropped::~Dropped() {
  while (first_) {
    Entry* entry = static_cast<Entry*>(first_);
    first_ = entry->next;
    entry->~Entry();
    ::operator delete(entry);
  }
}

void NSURLCache::Dropped::add(Entry* entry) {
  entry->next = first_;
  first_ = entry;
}

void NSURLCache::Dropped::add(NSDataPtr&& body) {
  if (bodyCount_ < std::size(bodies_)) {
    bodies_[bodyCount_++] = std::move(body);
  } else {
    body.reset();
  }
}

void NSURLCache::freeEntry(Entry* entry, Dropped& dropped) {
  if (entry->sizeClass == kHeapBlock) {
    dropped.add(entry);
    return;
  }
  if (entry->body) dropped.add(std::move(entry->body));
  const uint16_t sizeClass = entry->sizeClass;
  entry->~Entry();
  arena_.release(entry, sizeClass);
}

std::string_view NSURLCache::keyFor(const NSURLRequestPtr& request) {
  return request && request->URL() ? std::string_view(request->URL()->absoluteString())
                                   : std::string_view();
}

NSURLCache::Layout NSURLCache::layoutFor(std::string_view key, const NSHTTPURLResponse* response,
                                         const NSDataPtr& body) {
  Layout layout;
  layout.bodyLength = body ? body->length() : 0;
  layout.cost = layout.bodyLength + kEntryOverhead;
  if (response) {
    if (response->URL()) {
      layout.ownUrl = response->URL()->absoluteString();
      layout.url = layout.ownUrl == key ? Entry::Url::Key : Entry::Url::Own;
      if (layout.url == Entry::Url::Key) layout.ownUrl = {};
    }
    for (const auto& [name, value] : response->allHeaderFields()) {
      layout.fieldsLength += 2 * sizeof(size_t) + name.size() + value.size();
      layout.cost += name.size() + value.size();
    }
  }
  layout.bodyInBlock = layout.bodyLength <= kBodyCopyLimit;
  layout.bytes = sizeof(Entry) + key.size() + layout.ownUrl.size() + layout.fieldsLength +
                 (layout.bodyInBlock ? layout.bodyLength : 0);
  return layout;
}

NSURLCache::Entry* NSURLCache::makeEntry(const Layout& layout, std::string_view key, size_t hash,
                                         const NSHTTPURLResponse* response, const NSDataPtr& body,
                                         NSURLCacheStoragePolicy storagePolicy) {
  auto [block, sizeClass] = arena_.allocate(layout.bytes);
  Entry* entry = new (block) Entry;
  entry->sizeClass = sizeClass;
  entry->hash = hash;
  entry->cost = layout.cost;
  entry->storedAt = PlatformClock::now();
  if (!layout.bodyInBlock) entry->body = body;
  entry->bodyLength = layout.bodyLength;
  entry->storagePolicy = storagePolicy;
  entry->url = layout.url;
  entry->keyLength = key.size();
  entry->urlLength = layout.ownUrl.size();
  entry->fieldsLength = layout.fieldsLength;
  char* out = reinterpret_cast<char*>(entry + 1);
  std::memcpy(out, key.data(), key.size());
  out += key.size();
  if (!layout.ownUrl.empty()) std::memcpy(out, layout.ownUrl.data(), layout.ownUrl.size());
  out += layout.ownUrl.size();
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
  if (layout.bodyInBlock && layout.bodyLength > 0)
    std::memcpy(out, body->bytes(), layout.bodyLength);
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
  NSDataPtr body =
      entry.body ? entry.body : NSData::dataWithBytes(entry.inlineBody(), entry.bodyLength);
  return std::make_shared<NSCachedURLResponse>(std::move(response), std::move(body),
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
  const Layout layout = layoutFor(key, response, body);
  Dropped dropped;
  MutexLock lock(mutex_);
  eraseLocked(key, hash, dropped);
  if (layout.cost > memoryCapacity_) return;
  // Evicted first, so that the new block can take an evicted one's place.
  evictToFit(memoryCapacity_ - layout.cost, dropped);
  Entry* entry = makeEntry(layout, key, hash, response, body, storagePolicy);
  usage_ += entry->cost;
  linkFirst(entry);
  insertSlot(entry);
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
  freeEntry(entry, dropped);
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
  freeEntry(entry, dropped);
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
    freeEntry(entry, dropped);
  }
  usage_ = 0;
  arena_.reset();
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
  arena_.setLimit(capacity);
}

uint64_t NSURLCache::currentMemoryUsage() const {
  MutexLock lock(mutex_);
  return usage_;
}

void NSURLCache::evictToFit(uint64_t capacity, Dropped& dropped) {
  while (usage_ > capacity && order_.prev != &order_)
    eraseEntry(static_cast<Entry*>(order_.prev), dropped);
}
