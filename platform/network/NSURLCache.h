#pragma once

// Responses kept for later loads of the same URL, in memory only. A session
// reads it according to the request's cache policy (serving fresh entries,
// revalidating stale ones with their validators) and offers each cacheable
// response to its delegate before storing it.

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

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
    NSCachedURLResponsePtr cached;
    uint64_t cost = 0;
    double storedAt = 0;
  };
  static std::string keyFor(const NSURLRequestPtr& request);
  // Both require mutex_.
  void evictToFit(uint64_t capacity);
  void eraseLocked(const std::string& key);

  const uint64_t diskCapacity_;
  mutable std::mutex mutex_;  // guards everything below
  uint64_t memoryCapacity_;
  uint64_t usage_ = 0;
  // Most recently used first.
  std::list<std::string> order_;
  std::map<std::string, std::pair<Entry, std::list<std::string>::iterator>> entries_;
};
