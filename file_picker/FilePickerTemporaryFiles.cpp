#include "internal/FilePickerTemporaryFiles.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/foundation/ProcessTemporaryFolders.h"
#include "platform/foundation/SingletonResets.h"

namespace {

constexpr const char* kPrefix = "file_picker-";
constexpr const char* kOwner = ".owner";
constexpr const char* kLockName = ".file_picker.lock";

// This host's folder and the descriptor that holds its owner lock.
struct HostFolder {
  Mutex mutex;
  std::string temporaryDirectory GUARDED_BY(mutex);  // the one `path` lies in
  std::string path GUARDED_BY(mutex);
  int owner GUARDED_BY(mutex) = -1;
};

HostFolder& state() {
  static HostFolder* folder = [] {
    auto* f = new HostFolder();
    // Each test starts as a new host would: without a folder.
    SingletonResets::add([f] {
      MutexLock lock(f->mutex);
      if (f->owner >= 0) ::close(f->owner);
      f->owner = -1;
      f->path.clear();
      f->temporaryDirectory.clear();
    });
    return f;
  }();
  return *folder;
}

// Held while a host makes its folder or judges others': exclusive across the
// hosts of one temporary directory.
class TemporaryDirectoryLock {
 public:
  explicit TemporaryDirectoryLock(const std::string& temporaryDirectory) {
    fd_ = ::open((temporaryDirectory + kLockName).c_str(),
                 O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) return;
    int result;
    do {
      result = ::flock(fd_, LOCK_EX);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~TemporaryDirectoryLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  TemporaryDirectoryLock(const TemporaryDirectoryLock&) = delete;
  TemporaryDirectoryLock& operator=(const TemporaryDirectoryLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// Whether the owner lock that `owner` holds still guards the folder at
// `path` (nothing removed it or put another in its place).
bool stillOwned(const std::string& path, int owner) {
  struct stat held, there;
  return ::fstat(owner, &held) == 0 && held.st_nlink > 0 &&
         ::lstat((path + "/" + kOwner).c_str(), &there) == 0 && held.st_ino == there.st_ino &&
         held.st_dev == there.st_dev;
}

// Under the directory lock: a folder is made together with its owner file,
// so one without an owner file, or whose owner file nobody holds, belongs
// to a host that has ended.
bool ownerHasEnded(const std::string& folder) {
  struct stat st;
  if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  const int fd = ::open((folder + "/" + kOwner).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return errno == ENOENT;
  const bool ended = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  return ended;
}

// Under the directory lock.
bool removeEndedHosts(const std::string& temporaryDirectory, const std::string& own) {
  auto files = NSFileManager::defaultManager();
  auto names = files->contentsOfDirectoryAtPath(temporaryDirectory);
  if (!names) return true;
  for (const auto& name : *names) {
    const std::string folder = temporaryDirectory + name;
    if (!FilePickerTemporaryFiles::isHostFolderName(name) || folder == own) continue;
    if (ownerHasEnded(folder) && !files->removeItemAtPath(folder)) return false;
  }
  return true;
}

}  // namespace

bool FilePickerTemporaryFiles::isHostFolderName(const std::string& name) {
  const std::string prefix = kPrefix;
  if (name.rfind(prefix, 0) != 0) return false;
  size_t i = prefix.size();
  const size_t digits = i;
  while (i < name.size() && std::isdigit(static_cast<unsigned char>(name[i]))) ++i;
  if (i == digits || i >= name.size() || name[i] != '-') return false;
  ++i;
  if (name.size() - i != 8) return false;
  for (; i < name.size(); ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(name[i]))) return false;
  }
  return true;
}

std::optional<std::string> FilePickerTemporaryFiles::folder() {
  HostFolder& host = state();
  MutexLock lock(host.mutex);
  const std::string temporaryDirectory = NSTemporaryDirectory();
  if (host.owner >= 0 && host.temporaryDirectory == temporaryDirectory &&
      stillOwned(host.path, host.owner)) {
    return host.path;
  }
  if (host.owner >= 0) ::close(host.owner);
  host.owner = -1;
  host.path.clear();

  TemporaryDirectoryLock directoryLock(temporaryDirectory);
  if (!directoryLock.held()) return std::nullopt;
  std::string path;
  for (int attempt = 0; attempt < 8 && path.empty(); ++attempt) {
    const std::string candidate = temporaryDirectory + kPrefix + std::to_string(::getpid()) + "-" +
                                  NSRandomUUIDString().substr(0, 8);
    if (::mkdir(candidate.c_str(), 0700) == 0) {
      path = candidate;
    } else if (errno != EEXIST) {
      return std::nullopt;
    }
  }
  if (path.empty()) return std::nullopt;
  const int owner = ::open((path + "/" + kOwner).c_str(),
                           O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (owner < 0 || ::flock(owner, LOCK_EX | LOCK_NB) != 0) {
    if (owner >= 0) ::close(owner);
    NSFileManager::defaultManager()->removeItemAtPath(path);
    return std::nullopt;
  }
  host.temporaryDirectory = temporaryDirectory;
  host.path = path;
  host.owner = owner;
  return path;
}

std::optional<std::string> FilePickerTemporaryFiles::makeRequestFolder(const std::string& prefix) {
  auto own = folder();
  if (!own) return std::nullopt;
  const std::string path = *own + "/" + prefix + "-" + NSRandomUUIDString();
  if (::mkdir(path.c_str(), 0700) != 0) return std::nullopt;
  return path;
}

bool FilePickerTemporaryFiles::clear() {
  std::string own;
  {
    HostFolder& host = state();
    MutexLock lock(host.mutex);
    if (host.owner >= 0 && host.temporaryDirectory == NSTemporaryDirectory()) own = host.path;
  }
  auto files = NSFileManager::defaultManager();
  if (!own.empty()) {
    if (auto names = files->contentsOfDirectoryAtPath(own)) {
      for (const auto& name : *names) {
        if (name != kOwner && !files->removeItemAtPath(own + "/" + name)) return false;
      }
    }
  }
  return removeFoldersOfEndedHosts();
}

void FilePickerTemporaryFiles::removeOwnFolder() {
  HostFolder& host = state();
  MutexLock lock(host.mutex);
  if (host.owner < 0) return;
  // Only while the lock still guards it: a folder put in its place is not ours.
  if (stillOwned(host.path, host.owner)) NSFileManager::defaultManager()->removeItemAtPath(host.path);
  ::close(host.owner);
  host.owner = -1;
  host.path.clear();
  host.temporaryDirectory.clear();
}

bool FilePickerTemporaryFiles::removeFoldersOfEndedHosts() {
  std::string own;
  {
    HostFolder& host = state();
    MutexLock lock(host.mutex);
    own = host.path;
  }
  // The copies the system pickers were making for a host that was killed
  // meanwhile lie beside the hosts' folders, named after their process.
  const bool copiesRemoved = RemoveTemporaryFoldersOfEndedProcesses();
  const std::string temporaryDirectory = NSTemporaryDirectory();
  TemporaryDirectoryLock directoryLock(temporaryDirectory);
  if (!directoryLock.held()) return false;
  return removeEndedHosts(temporaryDirectory, own) && copiesRemoved;
}
