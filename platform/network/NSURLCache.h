#pragma once

// Responses kept for later loads of the same URL, in memory only. A session
// reads it according to the request's cache policy (serving fresh entries,
// revalidating stale ones with their validators) and offers each cacheable
// response to its delegate before storing it.

#include <cstdint>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSData.h"
#include "platform/foundation/NSObject.h"
#include "platform/network/NSURLRequest.h"

enum class NSURLCacheStoragePolicy { Allowed = 0, AllowedInMemoryOnly = 1, NotAllowed = 2 };

class NSCachedURLResponse;
using NSCachedURLResponsePtr = std::shared_ptr<NSCachedURLResponse>;

class NSCachedURLResponse : public NSObject {
 public:
  NSCachedURLResponse(NSHTTPURLResponsePtr response, NSDataPtr data,
                      NSURLCacheStoragePolicy storagePolicy = NSURLCacheStoragePolicy::Allowed);

  const NSHTTPURLResponsePtr& response() const { return response_; }
  // Never null: an empty body is empty data.
  const NSDataPtr& data() const { return data_; }
  NSURLCacheStoragePolicy storagePolicy() const { return storagePolicy_; }

 private:
  NSHTTPURLResponsePtr response_;
  NSDataPtr data_;
  NSURLCacheStoragePolicy storagePolicy_;
};

class NSURLCache;
using NSURLCachePtr = std::shared_ptr<NSURLCache>;

class NSURLCache {
 public:
  // The disk arguments are accepted for the platform's signature; nothing is
  // written to disk.
  explicit NSURLCache(uint64_t memoryCapacity, uint64_t diskCapacity = 0, std::string diskPath = "");

  static NSURLCachePtr sharedURLCache();
  static void setSharedURLCache(NSURLCachePtr cache);

  // Keyed by the request's URL; null when nothing is stored for it.
  NSCachedURLResponsePtr cachedResponseForRequest(const NSURLRequestPtr& request);
  // Ignored for a NotAllowed policy or a response larger than the capacity;
  // the least recently used entries make room.
  void storeCachedResponse(const NSCachedURLResponsePtr& cachedResponse, const NSURLRequestPtr& request);
  void removeCachedResponseForRequest(const NSURLRequestPtr& request);
  void removeAllCachedResponses();

  uint64_t memoryCapacity() const;
  // Lowering it evicts at once.
  void setMemoryCapacity(uint64_t capacity);
  uint64_t currentMemoryUsage() const;
  uint64_t diskCapacity() const { return diskCapacity_; }
  uint64_t currentDiskUsage() const { return 0; }

  // When the session last stored the entry, on the platform clock; the
  // session ages entries from it. Nullopt when nothing is stored.
  std::optional<double> storedAtForRequest(const NSURLRequestPtr& request);

 private:
  struct Entry {
    // The key is this URL's string; the request's URL is held, not copied.
    NSURLPtr url;
    size_t hash = 0;
    NSCachedURLResponsePtr cached;
    uint64_t cost = 0;
    double storedAt = 0;
  };
  using Order = std::list<Entry>;
  // The index: open addressing over a power-of-two table, each slot holding
  // its entry's hash, so that a look-up for an absent key (most of a
  // session's) touches one slot, and an eviction finds its slot by the
  // entry itself without comparing keys. At most half full.
  struct Slot {
    size_t hash = 0;
    Order::iterator at;
    bool used = false;
  };
  static std::string_view keyFor(const NSURLRequestPtr& request);
  // All require mutex_. What they remove is moved to `dropped`, to be let
  // go once the lock is released.
  void evictToFit(uint64_t capacity, Order& dropped) REQUIRES(mutex_);
  void eraseLocked(std::string_view key, size_t hash, Order& dropped) REQUIRES(mutex_);
  void eraseEntry(Order::iterator entry, Order& dropped) REQUIRES(mutex_);
  // The slot of `key`, or the table's size when it is absent.
  size_t findSlot(std::string_view key, size_t hash) const REQUIRES(mutex_);
  void insertSlot(Order::iterator entry) REQUIRES(mutex_);
  void clearSlot(size_t slot) REQUIRES(mutex_);

  const uint64_t diskCapacity_;
  mutable Mutex mutex_;
  uint64_t memoryCapacity_ GUARDED_BY(mutex_);
  uint64_t usage_ GUARDED_BY(mutex_) = 0;
  // Most recently used first; a list never moves its entries, so the
  // index's iterators stay valid.
  Order order_ GUARDED_BY(mutex_);
  std::vector<Slot> slots_ GUARDED_BY(mutex_);
  size_t indexed_ GUARDED_BY(mutex_) = 0;
};
