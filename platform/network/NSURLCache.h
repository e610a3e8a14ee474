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
  // Bodies up to this are copied into the cache's own memory: the
  // transfer's buffer is then freed while still warm, and its memory serves
  // the next transfer. Larger ones are held, where a copy would cost more
  // than the cold memory it saves.
  static constexpr size_t kBodyCopyLimit = 4096;

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
  // nothing is made that the store would take apart again. A body larger
  // than kBodyCopyLimit is held, not copied.
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
  // response's URL when it is not the key, the header fields as
  // length-prefixed name and value pairs in the fields' order, and a small
  // body), with a larger body held by reference. Storing makes one
  // allocation and evicting frees one, where separate response, field, URL
  // and entry objects would each be freed cold long after they were made;
  // response objects are made again only when the entry is read.
  struct Entry : Links {
    size_t hash = 0;
    uint64_t cost = 0;
    double storedAt = 0;
    int64_t status = 0;
    // Null when the body is in the block.
    NSDataPtr body;
    size_t keyLength = 0;
    size_t urlLength = 0;
    size_t fieldsLength = 0;
    size_t fieldCount = 0;
    size_t bodyLength = 0;
    NSURLCacheStoragePolicy storagePolicy = NSURLCacheStoragePolicy::Allowed;
    enum class Url : uint8_t { None, Key, Own } url = Url::None;
    bool hasResponse = false;
    // The arena's size class of the block, or kHeapBlock.
    uint16_t sizeClass = 0;

    const char* text() const { return reinterpret_cast<const char*>(this + 1); }
    std::string_view key() const { return {text(), keyLength}; }
    std::string_view ownUrl() const { return {text() + keyLength, urlLength}; }
    const char* fields() const { return text() + keyLength + urlLength; }
    const char* inlineBody() const { return fields() + fieldsLength; }
  };
  // What a response takes as a block, worked out before the lock is taken.
  struct Layout {
    std::string_view ownUrl;
    Entry::Url url = Entry::Url::None;
    size_t fieldsLength = 0;
    size_t bodyLength = 0;
    bool bodyInBlock = false;
    uint64_t cost = 0;
    size_t bytes = 0;
  };
  static constexpr uint16_t kHeapBlock = UINT16_MAX;
  // Blocks come from chunks of the cache's own, and evicted ones go back to
  // free lists by size for the next stores: the transfers' allocations
  // never get cache memory that eviction left cold, and stores reuse the
  // cache's own. Blocks too large for a class, or made once the chunks
  // reach their limit (set by the capacity), come from the heap.
  class Arena {
   public:
    static constexpr size_t kGrain = 64;
    static constexpr size_t kClasses = 128;  // up to 8 KB
    Arena() = default;
    Arena(const Arena&) = delete;
    Arena& operator=(const Arena&) = delete;
    ~Arena();
    // The block and its class, kHeapBlock when it came from the heap.
    std::pair<void*, uint16_t> allocate(size_t bytes);
    void release(void* block, uint16_t sizeClass);
    // Chunks are made only while they total at most this.
    void setLimit(size_t bytes);
    // Every block is free: the chunks go back.
    void reset();

   private:
    struct Free {
      Free* next;
    };
    std::vector<void*> chunks_;
    Free* free_[kClasses] = {};
    char* bump_ = nullptr;
    char* end_ = nullptr;
    size_t chunkBytes_ = 0;
    size_t made_ = 0;
    size_t limit_ = 0;
  };
  // What was taken out under the lock, freed when this goes, after the
  // lock is released: heap blocks and the bodies that blocks held.
  class Dropped {
   public:
    Dropped() = default;
    Dropped(const Dropped&) = delete;
    Dropped& operator=(const Dropped&) = delete;
    ~Dropped();
    // A heap block, destroyed and freed later.
    void add(Entry* entry);
    // Let go of later when there is room; else now.
    void add(NSDataPtr&& body);

   private:
    Links* first_ = nullptr;
    NSDataPtr bodies_[4];
    size_t bodyCount_ = 0;
  };
  // Entry's end: its block back to where it came from, under the lock
  // when it came from the arena. Its body goes to `dropped`.
  void freeEntry(Entry* entry, Dropped& dropped) REQUIRES(mutex_);
  // The index: open addressing over a power-of-two table, each slot holding
  // its entry's hash, so that a look-up for an absent key (most of a
  // session's) touches one slot, and an eviction finds its slot by the
  // entry itself without comparing keys. At most half full.
  struct Slot {
    size_t hash = 0;
    Entry* at = nullptr;
  };
  static std::string_view keyFor(const NSURLRequestPtr& request);
  static Layout layoutFor(std::string_view key, const NSHTTPURLResponse* response,
                          const NSDataPtr& body);
  Entry* makeEntry(const Layout& layout, std::string_view key, size_t hash,
                   const NSHTTPURLResponse* response, const NSDataPtr& body,
                   NSURLCacheStoragePolicy storagePolicy) REQUIRES(mutex_);
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
  Arena arena_ GUARDED_BY(mutex_);
};
