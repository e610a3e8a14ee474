#pragma once

// The settings of one image cache: what goes to memory, the limits of the
// memory and disk caches, and how the disk cache reads, writes and expires.
// A cache keeps its own copy(); the memory cache follows later changes of
// maxMemoryCost and maxMemoryCount on the copy it holds (observable keys
// "maxMemoryCost" and "maxMemoryCount").

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/foundation/KeyValueObserving.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/ObservableProperty.h"

class ILImageCacheConfig;
class ILMemoryCacheProtocol;
class ILDiskCacheProtocol;

// The classes of the two cache parts, as a configuration names them: each
// makes an instance the way the class's initialiser would. An empty one, or
// one that makes nothing, is a class that does not conform, and the image
// cache stops at its creation.
using ILMemoryCacheClass = std::function<std::shared_ptr<ILMemoryCacheProtocol>(
    const std::shared_ptr<ILImageCacheConfig>& config)>;
using ILDiskCacheClass = std::function<std::shared_ptr<ILDiskCacheProtocol>(
    const std::string& cachePath, const std::shared_ptr<ILImageCacheConfig>& config)>;

// Which file date the disk cache's expiry compares.
enum class ILImageCacheConfigExpireType : uint64_t {
  AccessDate = 0,
  ModificationDate = 1,
  CreationDate = 2,
  ChangeDate = 3,
};

class ILImageCacheConfig : public NSKeyValueObservable {
 public:
  ILImageCacheConfig();
  static std::shared_ptr<ILImageCacheConfig> defaultCacheConfig();
  std::shared_ptr<ILImageCacheConfig> copy() const;

  bool shouldDisableiCloud = true;
  bool shouldCacheImagesInMemory = true;
  bool shouldUseWeakMemoryCache = false;
  bool shouldRemoveExpiredDataWhenEnterBackground = true;
  bool shouldRemoveExpiredDataWhenTerminate = true;
  uint64_t diskCacheReadingOptions = 0;
  // Bit 1 (atomic) is the default; writes are atomic whatever it says, since
  // a crash must never leave a half-written file under a cache name.
  uint64_t diskCacheWritingOptions = 1;
  double maxDiskAge = 60 * 60 * 24 * 7;  // negative: no age limit
  uint64_t maxDiskSize = 0;              // 0: no limit
  uint64_t diskCacheExpireType = 0;
  std::shared_ptr<NSFileManager> fileManager;  // nullptr: a new one per disk cache
  ILMemoryCacheClass memoryCacheClass;  // ILMemoryCache by default
  ILDiskCacheClass diskCacheClass;      // ILDiskCache by default

  uint64_t maxMemoryCost() const { return static_cast<uint64_t>(maxMemoryCost_.get()); }
  void setMaxMemoryCost(uint64_t v) { maxMemoryCost_.set(static_cast<int64_t>(v)); }
  uint64_t maxMemoryCount() const { return static_cast<uint64_t>(maxMemoryCount_.get()); }
  void setMaxMemoryCount(uint64_t v) { maxMemoryCount_.set(static_cast<int64_t>(v)); }

 private:
  ObservableProperty<int64_t> maxMemoryCost_{this, "maxMemoryCost", 0};
  ObservableProperty<int64_t> maxMemoryCount_{this, "maxMemoryCount", 0};
};

using ILImageCacheConfigPtr = std::shared_ptr<ILImageCacheConfig>;
