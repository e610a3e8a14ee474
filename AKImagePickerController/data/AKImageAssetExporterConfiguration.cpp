#include "AKImagePickerController/data/AKImageAssetExporterConfiguration.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/avfoundation/AVAssetExportSession.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/SingletonResets.h"
#include "platform/uikit/UIApplication.h"

const char* const AKImageAssetExporterDomain = "AKImageAssetExporterDomain";
const char* const AKImageAssetExportResultRequestIDKey = "AKImageExportResultRequestIDKey";
const char* const AKImageAssetExportResultCancelledKey = "AKImageExportCancelledKey";

NSErrorPtr AKImageAssetExporterMakeError(AKImageAssetExporterError code, const std::string& description) {
  return NSError::errorWithDescription(AKImageAssetExporterDomain, static_cast<int64_t>(code), description);
}

NSErrorPtr AKImageAssetExporterCancelledError() {
  return AKImageAssetExporterMakeError(AKImageAssetExporterError::cancelled, "The operation was cancelled.");
}

AKImageAssetExporterConfiguration::AKImageAssetExporterConfiguration()
    : videoExportPreset(AVAssetExportPresetHighestQuality),
      avOutputFileType(AVFileTypeQuickTimeMovie),
      exportDirectory(NSURL::fileURLWithPath(NSTemporaryDirectory(), true)
                          ->URLByAppendingPathComponent("AKImageAssetExporter", true)) {}

namespace {

std::string configurationParentOf(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  const size_t slash = path.rfind('/', end - 1);
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string nameOf(const std::string& path) {
  size_t end = path.size();
  while (end > 1 && path[end - 1] == '/') --end;
  const size_t slash = path.rfind('/', end - 1);
  return path.substr(slash == std::string::npos ? 0 : slash + 1, end - (slash == std::string::npos ? 0 : slash + 1));
}

std::string markerPrefix(const std::string& directory) { return "." + nameOf(directory) + ".owner-"; }

// Whether a process other than this one holds a marker of `directory`;
// markers nobody holds are removed on the way.
bool otherOwnerAlive(const std::string& directory, const std::string& ownMarker) {
  const std::string parent = configurationParentOf(directory), prefix = markerPrefix(directory);
  DIR* dir = ::opendir(parent.c_str());
  if (!dir) return false;
  std::vector<std::string> markers;
  while (const dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.rfind(prefix, 0) == 0) markers.push_back(parent + "/" + name);
  }
  ::closedir(dir);
  bool alive = false;
  for (const std::string& marker : markers) {
    if (marker == ownMarker) continue;
    const int fd = ::open(marker.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) continue;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      ::unlink(marker.c_str());  // its owner is gone
    } else {
      alive = true;
    }
    ::close(fd);
  }
  return alive;
}

// Held while a process claims a directory, or judges and removes what is in
// it: exclusive across the processes that share the directory's parent, so
// none removes a directory between another's look at the markers and its
// first export there.
class DirectoryClaimLock {
 public:
  explicit DirectoryClaimLock(const std::string& directory) {
    fd_ = ::open((configurationParentOf(directory) + "/." + nameOf(directory) + ".lock").c_str(),
                 O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) return;
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        ::close(fd_);
        fd_ = -1;
        return;
      }
    }
  }
  ~DirectoryClaimLock() {
    if (fd_ >= 0) ::close(fd_);
  }
  DirectoryClaimLock(const DirectoryClaimLock&) = delete;
  DirectoryClaimLock& operator=(const DirectoryClaimLock&) = delete;
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

void releaseMarkers(std::vector<std::pair<std::string, int>>& markers) {
  for (auto& [marker, fd] : markers) {
    ::unlink(marker.c_str());
    ::close(fd);
  }
  markers.clear();
}

}  // namespace

AKImageAssetDiskPurger::AKImageAssetDiskPurger() {
  // Only shared() makes one, and never destroys it: `this` outlives the observer.
  NSNotificationCenter::defaultCenter().addObserver(
      this, UIApplicationWillTerminateNotification, nullptr,
      [this](const NSNotification&) { removeFiles(); });
}

AKImageAssetDiskPurger& AKImageAssetDiskPurger::shared() {
  static AKImageAssetDiskPurger* purger = [] {
    auto* p = new AKImageAssetDiskPurger();
    // Between tests the set starts empty again, as in a new process.
    SingletonResets::add([p] {
      MutexLock lock(p->mutex_);
      p->directories_.clear();
      releaseMarkers(p->markers_);
    });
    return p;
  }();
  return *purger;
}

void AKImageAssetDiskPurger::add(const NSURLPtr& directory) {
  if (!directory) return;
  MutexLock lock(mutex_);
  for (auto& known : directories_) {
    if (known->isEqual(*directory)) return;
  }
  directories_.push_back(directory);
  const std::string path = directory->path();
  // Claimed before looking, so that two processes starting together see
  // each other rather than each emptying the other's directory.
  const std::string parent = configurationParentOf(path);
  NSFileManager::defaultManager()->createDirectoryAtPath(parent, true);
  DirectoryClaimLock claim(path);
  const std::string marker = parent + "/" + markerPrefix(path) + std::to_string(::getpid());
  const int fd = ::open(marker.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd >= 0) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
      markers_.emplace_back(marker, fd);
    } else {
      ::close(fd);
    }
  }
  // Nothing of this process is there yet: what is there is stale, left by a
  // run that ended without terminating cleanly, unless another process that
  // still runs is writing it. Without the claim lock nothing can be judged.
  if (claim.held() && !otherOwnerAlive(path, marker)) {
    NSFileManager::defaultManager()->removeItemAtPath(path);
  }
}

void AKImageAssetDiskPurger::clear() {
  MutexLock lock(mutex_);
  for (auto& directory : directories_) {
    std::string own;
    const std::string path = directory->path();
    for (auto& [marker, fd] : markers_) {
      if (marker.rfind(configurationParentOf(path) + "/" + markerPrefix(path), 0) == 0)
        own = marker;
    }
    DirectoryClaimLock claim(path);
    if (claim.held() && !otherOwnerAlive(path, own))
      NSFileManager::defaultManager()->removeItemAtPath(path);
  }
  releaseMarkers(markers_);
}

std::vector<NSURLPtr> AKImageAssetDiskPurger::directories() const {
  MutexLock lock(mutex_);
  return directories_;
}
