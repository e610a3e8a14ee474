#include "image_loading/cache/ILDiskCache.h"

#include <dirent.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <vector>

#include "image_loading/cache/internal/ILFileAttributeHelper.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/FileIO.h"
#include "platform/foundation/NSData.h"
#include "platform/foundation/FilePath.h"
#include "platform/foundation/NSDate.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/Value.h"

const char* const ILDiskCacheExtendedAttributeName = "com.quillfern.ILDiskCache";

namespace {

constexpr size_t kMaxFileNameBytes = 255;
constexpr size_t kDigestHexLength = 32;
constexpr const char kTempPrefix[] = ".il-tmp-";
// A temporary untouched this long belongs to a write that ended without
// finishing; a live write touches its file far more often.
constexpr double kStaleTemporarySeconds = 60;

bool isTemporary(const std::string& relative) {
  const size_t slash = relative.find_last_of('/');
  return relative.compare(slash == std::string::npos ? 0 : slash + 1, sizeof kTempPrefix - 1, kTempPrefix) == 0;
}

std::string md5Hex(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
  static const char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(length * 2);
  for (unsigned int i = 0; i < length; ++i) {
    hex.push_back(kHex[digest[i] >> 4]);
    hex.push_back(kHex[digest[i] & 0xf]);
  }
  return hex;
}

// After the last "." of the last path component, "" when there is none.
std::string plainPathExtension(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const size_t slash = path.find_last_of('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.find_last_of('.');
  if (dot == std::string::npos || dot == 0) return "";
  return name.substr(dot + 1);
}

std::string keyExtension(const std::string& key) {
  std::string ext;
  NSURLPtr url = key.size() <= NSURL::kMaxLength ? NSURL::URLWithString(key) : nullptr;
  ext = url ? url->pathExtension() : plainPathExtension(key);
  std::erase_if(ext, [](char c) { return c == '\0' || c == ':'; });
  return ext;
}

const char* dateKeyForExpireType(uint64_t type) {
  switch (type) {
    case 1: return NSFileModificationDate;
    case 2: return NSFileCreationDate;
    case 3: return NSURLAttributeModificationDateKey;
    default: return NSURLContentAccessDateKey;
  }
}

struct ExpiryEntry {
  std::string path;
  double date;
  uint64_t size;
};

bool isHidden(const std::string& relative) {
  const size_t slash = relative.find_last_of('/');
  return relative[slash == std::string::npos ? 0 : slash + 1] == '.';
}

}  // namespace

std::string ILDiskCacheFileNameForKey(const std::string& key) {
  std::string name = md5Hex(key);
  const std::string ext = keyExtension(key);
  if (!ext.empty() && kDigestHexLength + 1 + ext.size() <= kMaxFileNameBytes) {
    name += "." + ext;
  }
  return name;
}

ILDiskCache::ILDiskCache(std::string cachePath, ILImageCacheConfigPtr config)
    : config_(config ? std::move(config) : ILImageCacheConfig::defaultCacheConfig()),
      diskCachePath_(std::move(cachePath)),
      fileManager_(config_->fileManager ? config_->fileManager
                                        : std::make_shared<NSFileManager>()) {
  createFolder();
  removeStaleTemporaries();
}

void ILDiskCache::removeStaleTemporaries() {
  DIR* dir = ::opendir(diskCachePath_.c_str());
  if (!dir) return;
  std::vector<std::string> stale;
  const double cutOff = NSDate::date()->timeIntervalSince1970() - kStaleTemporarySeconds;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (!isTemporary(name)) continue;
    const std::string path = JoinPath(diskCachePath_, name);
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (double(st.st_mtim.tv_sec) + double(st.st_mtim.tv_nsec) / 1e9 <= cutOff) stale.push_back(path);
  }
  ::closedir(dir);
  for (const auto& path : stale) ::unlink(path.c_str());
}

void ILDiskCache::createFolder() {
  // Linux has no backup exclusion flag; shouldDisableiCloud has nothing to mark.
  fileManager_->createDirectoryAtPath(diskCachePath_, true);
}

std::string ILDiskCache::legacyPath(const std::string& path) const {
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path;
  return path.substr(0, dot);
}

std::string ILDiskCache::cachePathForKey(const std::string& key, const std::string& folder) {
  return JoinPath(folder, ILDiskCacheFileNameForKey(key));
}

std::string ILDiskCache::cachePathForKey(const std::string& key) {
  return cachePathForKey(key, diskCachePath_);
}

bool ILDiskCache::containsDataForKey(const std::string& key) {
  const std::string path = cachePathForKey(key);
  return fileManager_->fileExistsAtPath(path) ||
         fileManager_->fileExistsAtPath(legacyPath(path));
}

NSDataPtr ILDiskCache::dataForKey(const std::string& key) {
  std::string path = cachePathForKey(key);
  NSDataPtr data = NSData::dataWithContentsOfFile(path);
  if (!data) {
    path = legacyPath(path);
    data = NSData::dataWithContentsOfFile(path);
  }
  if (data) {
    fileManager_->setAttributesOfItemAtPath(
        Value::map({{NSURLContentAccessDateKey, Value(NSDate::date()->timeIntervalSince1970())}}), path);
  }
  return data;
}

bool ILDiskCache::setData(const NSDataPtr& data, const std::string& key, NSErrorPtr* error) {
  return write(data, nullptr, key, error, nullptr);
}

bool ILDiskCache::setDataWithExtendedData(const NSDataPtr& data, const NSDataPtr& extendedData,
                                          const std::string& key, NSErrorPtr* error,
                                          NSErrorPtr* extendedError) {
  return write(data, extendedData, key, error, extendedError);
}

bool ILDiskCache::write(const NSDataPtr& data, const NSDataPtr& extendedData, const std::string& key,
                        NSErrorPtr* error, NSErrorPtr* extendedError) {
  NSParameterAssert(data);
  // The folder may have been removed behind our back (a user clearing caches).
  if (!fileManager_->fileExistsAtPath(diskCachePath_)) createFolder();
  std::function<void(const std::string&)> attach;
  if (extendedData) {
    attach = [&extendedData, extendedError](const std::string& temporary) {
      ILFileAttributeHelper::setExtendedAttribute(ILDiskCacheExtendedAttributeName, extendedData->vector(),
                                                  temporary, false, true, extendedError);
    };
  }
  // The cache file's name may already use all 255 bytes, so the temporary
  // name is a short one of its own rather than the file name plus a suffix.
  return WriteFileAtomicallyPreparing(fileManager_->fileIO(), cachePathForKey(key),
                             JoinPath(diskCachePath_, std::string(kTempPrefix) + "XXXXXX"), data->bytes(),
                             data->length(), error, attach);
}

NSDataPtr ILDiskCache::extendedDataForKey(const std::string& key) {
  auto value = ILFileAttributeHelper::extendedAttribute(ILDiskCacheExtendedAttributeName,
                                                        cachePathForKey(key), false);
  return value ? NSData::dataWithBytes(std::move(*value)) : nullptr;
}

bool ILDiskCache::setExtendedData(const NSDataPtr& data, const std::string& key,
                                  NSErrorPtr* error) {
  const std::string path = cachePathForKey(key);
  if (!data) {
    NSErrorPtr removeError;
    if (ILFileAttributeHelper::removeExtendedAttribute(ILDiskCacheExtendedAttributeName, path,
                                                       false, &removeError)) {
      return true;
    }
    if (removeError && removeError->code() == ENODATA) return true;  // nothing to remove
    if (error) *error = removeError;
    return false;
  }
  return ILFileAttributeHelper::setExtendedAttribute(ILDiskCacheExtendedAttributeName,
                                                     data->vector(), path, false, true, error);
}

void ILDiskCache::removeDataForKey(const std::string& key) {
  fileManager_->removeItemAtPath(cachePathForKey(key));
}

void ILDiskCache::removeAllData() {
  fileManager_->removeItemAtPath(diskCachePath_);
  createFolder();
}

void ILDiskCache::removeExpiredData() {
  removeStaleTemporaries();
  const char* dateKey = dateKeyForExpireType(config_->diskCacheExpireType);
  const bool hasCutOff = config_->maxDiskAge >= 0;
  const double cutOff = NSDate::date()->timeIntervalSince1970() - config_->maxDiskAge;

  auto items = fileManager_->subpathsOfDirectoryAtPath(diskCachePath_);
  if (!items) return;
  std::vector<std::string> expired;
  std::vector<ExpiryEntry> kept;
  uint64_t currentSize = 0;
  for (const auto& relative : *items) {
    if (isHidden(relative)) continue;
    const std::string path = JoinPath(diskCachePath_, relative);
    auto attributes = fileManager_->attributesOfItemAtPath(path);
    if (!attributes) continue;
    const Value* type = attributes->find(NSFileType);
    if (type && type->asString() == NSFileTypeDirectory) continue;
    const Value* date = attributes->find(dateKey);
    const Value* size = attributes->find(NSURLTotalFileAllocatedSizeKey);
    if (!date || !size) continue;
    if (hasCutOff && date->asDouble() <= cutOff) {
      expired.push_back(path);
      continue;
    }
    const auto bytes = static_cast<uint64_t>(size->asInt64());
    currentSize += bytes;
    kept.push_back({path, date->asDouble(), bytes});
  }
  for (const auto& path : expired) fileManager_->removeItemAtPath(path);

  const uint64_t limit = config_->maxDiskSize;
  if (limit == 0 || currentSize <= limit) return;
  const uint64_t target = limit / 2;
  std::stable_sort(kept.begin(), kept.end(),
                   [](const ExpiryEntry& a, const ExpiryEntry& b) { return a.date < b.date; });
  for (const auto& entry : kept) {
    if (!fileManager_->removeItemAtPath(entry.path)) continue;
    currentSize -= entry.size;
    if (currentSize < target) break;
  }
}

uint64_t ILDiskCache::totalSize() {
  uint64_t total = 0;
  auto items = fileManager_->subpathsOfDirectoryAtPath(diskCachePath_);
  if (!items) return 0;
  for (const auto& relative : *items) {
    if (isTemporary(relative)) continue;  // not cached data (yet)
    struct stat st;
    if (::lstat(JoinPath(diskCachePath_, relative).c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      total += static_cast<uint64_t>(st.st_size);
    }
  }
  return total;
}

uint64_t ILDiskCache::totalCount() {
  auto items = fileManager_->subpathsOfDirectoryAtPath(diskCachePath_);
  if (!items) return 0;
  return static_cast<uint64_t>(
      std::count_if(items->begin(), items->end(), [](const std::string& relative) { return !isTemporary(relative); }));
}

void ILDiskCache::moveCacheDirectory(const std::string& srcPath, const std::string& dstPath) {
  if (srcPath == dstPath) return;
  bool isDirectory = false;
  if (!fileManager_->fileExistsAtPath(srcPath, &isDirectory) || !isDirectory) return;
  bool dstIsDirectory = false;
  const bool dstExists = fileManager_->fileExistsAtPath(dstPath, &dstIsDirectory);
  if (!dstExists || !dstIsDirectory) {
    if (dstExists) fileManager_->removeItemAtPath(dstPath);
    const size_t slash = dstPath.find_last_of('/');
    if (slash != std::string::npos && slash > 0) {
      fileManager_->createDirectoryAtPath(dstPath.substr(0, slash), true);
    }
    fileManager_->moveItemAtPath(srcPath, dstPath);
    return;
  }
  // Only the top-level items move: a sub-folder moves with everything in it.
  if (auto items = fileManager_->contentsOfDirectoryAtPath(srcPath)) {
    for (const auto& name : *items) {
      fileManager_->moveItemAtPath(JoinPath(srcPath, name), JoinPath(dstPath, name));
    }
  }
  fileManager_->removeItemAtPath(srcPath);
}
