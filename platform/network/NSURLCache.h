#pragma once

// Responses kept for later loads of the same URL, in memory only. A session
// reads it according to the request's cache policy (serving fresh entries,
// revalidating stale ones with their validators) and offers each cacheable
// response to its delegate before storing it.

#include <cstdint>
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
  // The response and when it was stored, in one look-up: a store between
  // two look-ups would pair one entry's response with another's time.
  NSCachedURLResponsePtr cachedResponseForRequest(const NSURLRequestPtr& request, double& storedAt);

  // What storeCachedResponse does, from the parts a transfer already holds:
  // nothing is made that the store would take apart again. The body is
  // held, not copied.
  void storeResponse(const NSHTTPURLResponse* response, const NSDataPtr& body,
                     NSURLCacheStoragePolicy storagePolicy, const NSURLRequestPtr& request);

  ~NSURLCache();
  NSURLCache(const NSURLCache&) = delete;
  NSURLCache& operator=(const NSURLCache&) = delete;

 private:
  // The entries in recency order, most recent first, around the sentinel.
  struct Links {
    Links* prev = this;
    Links* next = this;
  };
  // A stored response is one block: this, then its text (the key, the
  // response's URL when it is not the key, and the header fields as
  // length-prefixed name and value pairs in the fields' order), with the
  // body held by reference. Storing makes one allocation and evicting frees
  // one (and lets go of the body), where separate response, field, URL and
  // entry objects would each be freed cold long after they were made;
  // response objects are made again only when the entry is read.
  struct Entry : Links {
    size_t hash = 0;
    uint64_t cost = 0;
    double storedAt = 0;
    int64_t status = 0;
    NSDataPtr body;
    size_t keyLength = 0;
    size_t urlLength = 0;
    size_t fieldsLength = 0;
    size_t fieldCount = 0;
    NSURLCacheStoragePolicy storagePolicy = NSURLCacheStoragePolicy::Allowed;
    enum class Url : uint8_t { None, Key, Own } url = Url::None;
    bool hasResponse = false;

    const char* text() const { return reinterpret_cast<const char*>(this + 1); }
    std::string_view key() const { return {text(), keyLength}; }
    std::string_view ownUrl() const { return {text() + keyLength, urlLength}; }
    const char* fields() const { return text() + keyLength + urlLength; }
  };
  struct EntryFree {
    void operator()(Entry* entry) const;
  };
  using EntryPtr = std::unique_ptr<Entry, EntryFree>;
  // What was taken out under the lock, freed when this goes, after the
  // lock is released.
  class Dropped {
   public:
    Dropped() = default;
    Dropped(const Dropped&) = delete;
    Dropped& operator=(const Dropped&) = delete;
    ~Dropped();
    void add(Entry* entry);

   private:
    Links* first_ = nullptr;
  };
  // The index: open addressing over a power-of-two table, each slot holding
  // its entry's hash, so that a look-up for an absent key (most of a
  // session's) touches one slot, and an eviction finds its slot by the
  // entry itself without comparing keys. At most half full.
  struct Slot {
    size_t hash = 0;
    Entry* at = nullptr;
  };
  static std::string_view keyFor(const NSURLRequestPtr& request);
  static EntryPtr makeEntry(std::string_view key, size_t hash, const NSHTTPURLResponse* response,
                            const NSDataPtr& body, NSURLCacheStoragePolicy storagePolicy);
  static NSCachedURLResponsePtr rebuild(const Entry& entry, const NSURLRequestPtr& request);
  // All require mutex_. What they remove goes to `dropped`.
  void evictToFit(uint64_t capacity, Dropped& dropped) REQUIRES(mutex_);
  void eraseLocked(std::string_view key, size_t hash, Dropped& dropped) REQUIRES(mutex_);
  void eraseEntry(Entry* entry, Dropped& dropped) REQUIRES(mutex_);
  void detach(Entry* entry) REQUIRES(mutex_);
  void linkFirst(Entry* entry) REQUIRES(mutex_);
  // The slot of `key`, or the table's size when it is absent.
  size_t findSlot(std::string_view key, size_t hash) const REQUIRES(mutex_);
  void insertSlot(Entry* entry) REQUIRES(mutex_);
  void clearSlot(size_t slot) REQUIRES(mutex_);

  const uint64_t diskCapacity_;
  mutable Mutex mutex_;
  uint64_t memoryCapacity_ GUARDED_BY(mutex_);
  uint64_t usage_ GUARDED_BY(mutex_) = 0;
  Links order_ GUARDED_BY(mutex_);
  std::vector<Slot> slots_ GUARDED_BY(mutex_);
  size_t indexed_ GUARDED_BY(mutex_) = 0;
};
