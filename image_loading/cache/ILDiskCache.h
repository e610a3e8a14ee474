#pragma once

// One file per key in one folder, named by the MD5 of the key plus the key's
// extension, with an optional blob per file kept in an extended attribute.
// It knows nothing of images. Not thread-safe: the owning image cache calls
// it only from its serial I/O queue.
//
// Writes go to a short hidden temporary name in the same folder and are then
// renamed, so a crash never leaves a half-written file under a cache name.
//
// Extended data lives in the file's "user.com.quillfern.ILDiskCache"
// attribute. A blob larger than the file system takes in one attribute is
// refused with the system's error (E2BIG or ENOSPC), which setExtendedData()
// hands back, rather than being dropped silently or stored elsewhere where
// expiry and removal would have to follow it.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "image_loading/cache/ILImageCacheConfig.h"
#include "platform/foundation/NSData.h"
#include "platform/foundation/NSError.h"

// The attribute that holds a file's extended data.
extern const char* const ILDiskCacheExtendedAttributeName;

// The file name of a key: 32 lowercase hex digits of MD5(key), then "." and
// the key's extension when it is not empty and keeps the name within 255
// bytes. The extension loses NUL and ":".
std::string ILDiskCacheFileNameForKey(const std::string& key);

// The interface the image cache talks to, so a configuration can supply
// another disk cache.
class ILDiskCacheProtocol {
 public:
  virtual ~ILDiskCacheProtocol() = default;
  virtual bool containsDataForKey(const std::string& key) = 0;
  virtual NSDataPtr dataForKey(const std::string& key) = 0;
  virtual bool setData(const NSDataPtr& data, const std::string& key,
                       NSErrorPtr* error = nullptr) = 0;
  virtual NSDataPtr extendedDataForKey(const std::string& key) = 0;
  // nullptr data removes the extended data.
  virtual bool setExtendedData(const NSDataPtr& data, const std::string& key,
                               NSErrorPtr* error = nullptr) = 0;
  // Stores the data with its extended data (nullptr: none), so that the
  // file never shows under its cache name without it, nor keeps another
  // file's. False, with the error, when the data was not stored. Extended
  // data the file system refuses (too large for one attribute) leaves the
  // data stored without it and fills `extendedError`. A disk cache that
  // cannot do both in one step gets the two calls.
  virtual bool setDataWithExtendedData(const NSDataPtr& data, const NSDataPtr& extendedData,
                                       const std::string& key, NSErrorPtr* error = nullptr,
                                       NSErrorPtr* extendedError = nullptr) {
    if (!setData(data, key, error)) return false;
    if (extendedData) setExtendedData(extendedData, key, extendedError);
    return true;
  }
  virtual void removeDataForKey(const std::string& key) = 0;
  virtual void removeAllData() = 0;
  virtual void removeExpiredData() = 0;
  virtual std::string cachePathForKey(const std::string& key) = 0;
  virtual uint64_t totalSize() = 0;
  virtual uint64_t totalCount() = 0;
};

class ILDiskCache : public ILDiskCacheProtocol {
 public:
  ILDiskCache(std::string cachePath, ILImageCacheConfigPtr config);

  const ILImageCacheConfigPtr& config() const { return config_; }
  const std::string& diskCachePath() const { return diskCachePath_; }

  bool containsDataForKey(const std::string& key) override;
  // Falls back to the legacy name without extension; a hit becomes the most
  // recently used file for expiry by access date.
  NSDataPtr dataForKey(const std::string& key) override;
  bool setData(const NSDataPtr& data, const std::string& key,
               NSErrorPtr* error = nullptr) override;
  NSDataPtr extendedDataForKey(const std::string& key) override;
  bool setExtendedData(const NSDataPtr& data, const std::string& key,
                       NSErrorPtr* error = nullptr) override;
  // The attribute is put on the temporary file, which the rename then brings
  // in with the data.
  bool setDataWithExtendedData(const NSDataPtr& data, const NSDataPtr& extendedData,
                               const std::string& key, NSErrorPtr* error = nullptr,
                               NSErrorPtr* extendedError = nullptr) override;
  void removeDataForKey(const std::string& key) override;
  void removeAllData() override;
  // Removes files past maxDiskAge by the configured date, then, over
  // maxDiskSize, the oldest files until less than half of it remains.
  void removeExpiredData() override;
  std::string cachePathForKey(const std::string& key) override;
  static std::string cachePathForKey(const std::string& key, const std::string& folder);
  uint64_t totalSize() override;
  uint64_t totalCount() override;

  // Moves an old cache folder to `dstPath`, or merges its files into an
  // existing one (clashing names keep the destination's file).
  void moveCacheDirectory(const std::string& srcPath, const std::string& dstPath);

 private:
  bool write(const NSDataPtr& data, const NSDataPtr& extendedData, const std::string& key,
             NSErrorPtr* error, NSErrorPtr* extendedError);
  void createFolder();
  // Temporaries of writes that never finished (a process killed midway):
  // untouched for a minute, nobody is writing them any more.
  void removeStaleTemporaries();
  std::string legacyPath(const std::string& path) const;

  ILImageCacheConfigPtr config_;
  std::string diskCachePath_;
  std::shared_ptr<NSFileManager> fileManager_;
};
