#include "NSFileManager.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <utility>

#include "FileIO.h"
#include "FilePath.h"
#include "NSApplicationLocations.h"
#include "Value.h"

const char* const NSFileType = "NSFileType";
const char* const NSFileSize = "NSFileSize";
const char* const NSFileCreationDate = "NSFileCreationDate";
const char* const NSFileModificationDate = "NSFileModificationDate";
const char* const NSFilePosixPermissions = "NSFilePosixPermissions";
const char* const NSURLContentAccessDateKey = "NSURLContentAccessDateKey";
const char* const NSURLAttributeModificationDateKey = "NSURLAttributeModificationDateKey";
const char* const NSURLTotalFileAllocatedSizeKey = "NSURLTotalFileAllocatedSizeKey";
const char* const NSFileTypeRegular = "NSFileTypeRegular";
const char* const NSFileTypeDirectory = "NSFileTypeDirectory";
const char* const NSFileTypeSymbolicLink = "NSFileTypeSymbolicLink";
const char* const NSFileTypeUnknown = "NSFileTypeUnknown";
const char* const NSFileSystemSize = "NSFileSystemSize";
const char* const NSFileSystemFreeSize = "NSFileSystemFreeSize";

namespace {

bool fail(NSErrorPtr* error, int err, const std::string& call) {
  if (error) *error = NSError::posixError(err, call);
  return false;
}

double seconds(const statx_timestamp& t) {
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

timespec toTimespec(double secondsSince1970) {
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(secondsSince1970);
  double frac = secondsSince1970 - static_cast<double>(ts.tv_sec);
  if (frac < 0) {
    ts.tv_sec -= 1;
    frac += 1;
  }
  ts.tv_nsec = static_cast<long>(frac * 1e9);
  return ts;
}

const char* fileTypeName(uint16_t mode) {
  if (S_ISREG(mode)) return NSFileTypeRegular;
  if (S_ISDIR(mode)) return NSFileTypeDirectory;
  if (S_ISLNK(mode)) return NSFileTypeSymbolicLink;
  return NSFileTypeUnknown;
}

// Names in a folder without "." and "..", sorted; false with errno set on failure.
bool listFolder(const std::string& path, std::vector<std::string>& names) {
  DIR* dir = ::opendir(path.c_str());
  if (!dir) return false;
  names.clear();
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(std::move(name));
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return true;
}

bool removeTree(const std::string& path, NSErrorPtr* error) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return fail(error, errno, "lstat");
  if (!S_ISDIR(st.st_mode)) {
    return ::unlink(path.c_str()) == 0 || fail(error, errno, "unlink");
  }
  std::vector<std::string> names;
  if (!listFolder(path, names)) return fail(error, errno, "opendir");
  for (const auto& name : names) {
    if (!removeTree(JoinPath(path, name), error)) return false;
  }
  return ::rmdir(path.c_str()) == 0 || fail(error, errno, "rmdir");
}

// Copies the file, again when it changed during the copy (CopyOpenFile).
bool copyFileContents(FileIO& io, const std::string& source, const std::string& destination,
                      mode_t mode, NSErrorPtr* error) {
  int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return fail(error, errno, "open");
  const bool copied = CopyOpenFile(io, in, source, destination, mode, error);
  ::close(in);
  return copied;
}

bool copyTree(FileIO& io, const std::string& source, const std::string& destination,
              NSErrorPtr* error) {
  struct stat st;
  if (::lstat(source.c_str(), &st) != 0) return fail(error, errno, "lstat");
  if (S_ISLNK(st.st_mode)) {
    char target[PATH_MAX];
    ssize_t n = ::readlink(source.c_str(), target, sizeof target - 1);
    if (n < 0) return fail(error, errno, "readlink");
    target[n] = '\0';
    return ::symlink(target, destination.c_str()) == 0 || fail(error, errno, "symlink");
  }
  if (!S_ISDIR(st.st_mode)) return copyFileContents(io, source, destination, st.st_mode, error);
  if (::mkdir(destination.c_str(), (st.st_mode & 07777) | S_IRWXU) != 0) {
    return fail(error, errno, "mkdir");
  }
  std::vector<std::string> names;
  if (!listFolder(source, names)) return fail(error, errno, "opendir");
  for (const auto& name : names) {
    if (!copyTree(io, JoinPath(source, name), JoinPath(destination, name), error)) return false;
  }
  return true;
}

bool existsWithoutFollowing(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

void collectSubpaths(const std::string& root, const std::string& relative,
                     std::vector<std::string>& out) {
  std::vector<std::string> names;
  if (!listFolder(JoinPath(root, relative), names)) return;
  for (const auto& name : names) {
    std::string item = relative.empty() ? name : relative + "/" + name;
    out.push_back(item);
    struct stat st;
    if (::lstat(JoinPath(root, item).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      collectSubpaths(root, item, out);
    }
  }
}

std::string ensureContainerFolder(const std::string& relative) {
  std::string root = NSFileManager::containerRoot();
  std::string path = JoinPath(root, relative);
  // Asked for whenever a path in the container is built: a folder that is
  // there costs one stat, not a mkdir per component of its path.
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
    NSFileManager::defaultManager()->createDirectoryAtPath(path, true);
  }
  return path;
}

}  // namespace

NSFileManager::NSFileManager(std::shared_ptr<FileIO> io)
    : io_(io ? std::move(io) : FileIO::system()) {}

std::shared_ptr<NSFileManager> NSFileManager::defaultManager() {
  static auto* manager = new std::shared_ptr<NSFileManager>(std::make_shared<NSFileManager>());
  return *manager;
}

bool NSFileManager::fileExistsAtPath(const std::string& path) const {
  return fileExistsAtPath(path, nullptr);
}

bool NSFileManager::fileExistsAtPath(const std::string& path, bool* isDirectory) const {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return false;
  if (isDirectory) *isDirectory = S_ISDIR(st.st_mode);
  return true;
}

bool NSFileManager::createDirectoryAtPath(const std::string& path, bool withIntermediateDirectories,
                                          NSErrorPtr* error) const {
  if (path.empty()) return fail(error, ENOENT, "mkdir");
  if (!withIntermediateDirectories) {
    return ::mkdir(path.c_str(), 0755) == 0 || fail(error, errno, "mkdir");
  }
  // Most folders are made where their parent already is: one mkdir. Only a
  // missing parent makes each prefix in turn; one that exists must be a
  // folder.
  if (::mkdir(path.c_str(), 0755) == 0) return true;
  if (errno != ENOENT) {
    const int err = errno;
    bool isDirectory = false;
    if (err == EEXIST && fileExistsAtPath(path, &isDirectory) && isDirectory) return true;
    return fail(error, err == EEXIST ? ENOTDIR : err, "mkdir");
  }
  for (size_t end = path.find('/', 1);; end = path.find('/', end + 1)) {
    std::string prefix = path.substr(0, end);
    if (::mkdir(prefix.c_str(), 0755) != 0) {
      int err = errno;
      bool isDirectory = false;
      if (err != EEXIST || !fileExistsAtPath(prefix, &isDirectory) || !isDirectory) {
        return fail(error, err == EEXIST ? ENOTDIR : err, "mkdir");
      }
    }
    if (end == std::string::npos) return true;
  }
}

bool NSFileManager::createFileAtPath(const std::string& path, const Bytes& contents,
                                     NSErrorPtr* error) const {
  return createFileAtPath(path, path + ".tmp-XXXXXX", contents, error);
}

bool NSFileManager::createFileAtPath(const std::string& path, const std::string& tempTemplate,
                                     const Bytes& contents, NSErrorPtr* error) const {
  return WriteFileAtomically(*io_, path, tempTemplate, contents.data(), contents.size(), error);
}

bool NSFileManager::removeItemAtPath(const std::string& path, NSErrorPtr* error) const {
  return removeTree(path, error);
}

bool NSFileManager::copyItemAtPath(const std::string& source, const std::string& destination,
                                   NSErrorPtr* error) const {
  if (!existsWithoutFollowing(source)) return fail(error, ENOENT, "lstat");
  if (existsWithoutFollowing(destination)) return fail(error, EEXIST, "copy");
  if (copyTree(*io_, source, destination, error)) return true;
  removeTree(destination, nullptr);  // no half copy stays behind
  return false;
}

bool NSFileManager::moveItemAtPath(const std::string& source, const std::string& destination,
                                   NSErrorPtr* error) const {
  if (!existsWithoutFollowing(source)) return fail(error, ENOENT, "lstat");
  if (existsWithoutFollowing(destination)) return fail(error, EEXIST, "rename");
  if (::rename(source.c_str(), destination.c_str()) == 0) return true;
  if (errno != EXDEV) return fail(error, errno, "rename");
  // Another file system: copy, then remove the original.
  return copyItemAtPath(source, destination, error) && removeTree(source, error);
}

std::optional<std::vector<std::string>> NSFileManager::contentsOfDirectoryAtPath(
    const std::string& path, NSErrorPtr* error) const {
  std::vector<std::string> names;
  if (!listFolder(path, names)) {
    fail(error, errno, "opendir");
    return std::nullopt;
  }
  return names;
}

std::optional<std::vector<std::string>> NSFileManager::subpathsOfDirectoryAtPath(
    const std::string& path, NSErrorPtr* error) const {
  bool isDirectory = false;
  if (!fileExistsAtPath(path, &isDirectory) || !isDirectory) {
    fail(error, fileExistsAtPath(path) ? ENOTDIR : ENOENT, "opendir");
    return std::nullopt;
  }
  std::vector<std::string> out;
  collectSubpaths(path, "", out);
  return out;
}

std::optional<Value> NSFileManager::attributesOfItemAtPath(const std::string& path,
                                                           NSErrorPtr* error) const {
  struct statx st {};
  unsigned mask = STATX_BASIC_STATS | STATX_BTIME;
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, mask, &st) != 0) {
    fail(error, errno, "statx");
    return std::nullopt;
  }
  double created = (st.stx_mask & STATX_BTIME) ? seconds(st.stx_btime) : seconds(st.stx_ctime);
  ValueMap attributes;
  attributes.emplace_back(Value(NSFileType), Value(fileTypeName(st.stx_mode)));
  attributes.emplace_back(Value(NSFileSize), Value(static_cast<int64_t>(st.stx_size)));
  attributes.emplace_back(Value(NSFileCreationDate), Value(created));
  attributes.emplace_back(Value(NSFileModificationDate), Value(seconds(st.stx_mtime)));
  attributes.emplace_back(Value(NSFilePosixPermissions),
                          Value(static_cast<int64_t>(st.stx_mode & 07777)));
  attributes.emplace_back(Value(NSURLContentAccessDateKey), Value(seconds(st.stx_atime)));
  attributes.emplace_back(Value(NSURLAttributeModificationDateKey), Value(seconds(st.stx_ctime)));
  attributes.emplace_back(Value(NSURLTotalFileAllocatedSizeKey),
                          Value(static_cast<int64_t>(st.stx_blocks * 512)));
  return Value(std::move(attributes));
}

bool NSFileManager::setAttributesOfItemAtPath(const Value& attributes, const std::string& path,
                                              NSErrorPtr* error) const {
  const Value* modified = attributes.find(NSFileModificationDate);
  const Value* accessed = attributes.find(NSURLContentAccessDateKey);
  if ((modified && modified->isNumber()) || (accessed && accessed->isNumber())) {
    timespec times[2];
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_nsec = UTIME_OMIT;
    if (accessed && accessed->isNumber()) times[0] = toTimespec(accessed->asDouble());
    if (modified && modified->isNumber()) times[1] = toTimespec(modified->asDouble());
    if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0) return fail(error, errno, "utimensat");
  }
  if (const Value* mode = attributes.find(NSFilePosixPermissions); mode && mode->isInteger()) {
    if (::chmod(path.c_str(), static_cast<mode_t>(mode->asInt64() & 07777)) != 0) {
      return fail(error, errno, "chmod");
    }
  }
  return true;
}

std::optional<Value> NSFileManager::attributesOfFileSystemForPath(const std::string& path,
                                                                  NSErrorPtr* error) const {
  struct statvfs fs {};
  if (::statvfs(path.c_str(), &fs) != 0) {
    fail(error, errno, "statvfs");
    return std::nullopt;
  }
  auto unit = static_cast<uint64_t>(fs.f_frsize);
  return Value::map({{NSFileSystemSize, Value(static_cast<int64_t>(fs.f_blocks * unit))},
                     {NSFileSystemFreeSize, Value(static_cast<int64_t>(fs.f_bavail * unit))}});
}

std::vector<NSURLPtr> NSFileManager::URLsForDirectory(NSSearchPathDirectory directory) const {
  const char* relative = "Library";
  switch (directory) {
    case NSSearchPathDirectory::Documents:
      relative = "Documents";
      break;
    case NSSearchPathDirectory::Caches:
      relative = "Library/Caches";
      break;
    case NSSearchPathDirectory::ApplicationSupport:
      relative = "Library/Application Support";
      break;
    case NSSearchPathDirectory::Library:
      break;
  }
  NSURLPtr url = NSURL::fileURLWithPath(ensureContainerFolder(relative), true);
  return url ? std::vector<NSURLPtr>{url} : std::vector<NSURLPtr>{};
}

std::string NSFileManager::containerRoot() {
  return NSApplicationLocations::current()->containerRoot();
}

std::string NSTemporaryDirectory() { return ensureContainerFolder("tmp") + "/"; }

std::string NSHomeDirectory() { return ensureContainerFolder(""); }
