#include "NSApplicationLocations.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "FilePath.h"
#include "SingletonResets.h"
#include "UTF8.h"
#include "platform/foundation/Mutex.h"

namespace {

std::string executableFolder() {
  std::string exe = ExecutablePath();
  if (exe.empty()) return ".";
  size_t slash = exe.find_last_of('/');
  return slash == std::string::npos || slash == 0 ? "/" : exe.substr(0, slash);
}

std::string homeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (passwd* pw = ::getpwuid(::getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return "/tmp";
}

struct Installed {
  Mutex mutex;  // guards `locations`
  std::shared_ptr<NSApplicationLocations> locations GUARDED_BY(mutex);
};

Installed& installed() {
  static auto* made = [] {
    auto* i = new Installed();
    SingletonResets::add([i] {
      MutexLock lock(i->mutex);
      i->locations = nullptr;
    });
    return i;
  }();
  return *made;
}

// Whether the host, as the user it runs as, may make and remove entries in
// the folder `path`. The effective ids are the ones its writes are checked
// against; access(2) would ask for the real ones instead.
bool writableFolder(const std::string& path) {
  return ::faccessat(AT_FDCWD, path.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

}  // namespace

std::shared_ptr<NSApplicationLocations> NSApplicationLocations::current() {
  Installed& i = installed();
  MutexLock lock(i.mutex);
  if (!i.locations) i.locations = std::make_shared<NSDeployedLocations>();
  return i.locations;
}

void NSApplicationLocations::setCurrent(std::shared_ptr<NSApplicationLocations> locations) {
  Installed& i = installed();
  MutexLock lock(i.mutex);
  i.locations = std::move(locations);
}

std::string NSDeployedLocations::mainBundlePath() {
  if (const char* env = std::getenv("QX_MAIN_BUNDLE"); env && *env) return env;
  return defaultMainBundlePath();
}

std::string NSDeployedLocations::defaultMainBundlePath() {
  return executableFolder() + "/Runner.app";
}

std::string NSDeployedLocations::containerRoot() {
  // Decided on every call, as the environment is read: every user of the
  // container (preferences, documents, caches, tmp) lands in the same one.
  if (const char* home = std::getenv("QX_APP_HOME"); home && *home && !containerRootProblem(home)) {
    return home;
  }
  return defaultContainerRoot();
}

std::string NSDeployedLocations::defaultContainerRoot() {
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data) {
    return JoinPath(data, "quorlinex");
  }
  return JoinPath(homeFolder(), ".local/share/quorlinex");
}

std::optional<std::string> NSDeployedLocations::containerRootProblem(const std::string& path) {
  // A relative container would follow the working folder of each start.
  if (path.empty() || path.front() != '/') return "is not an absolute path";
  // Every path the host hands back names a file in the container, and no
  // reply can name a path that is not UTF-8.
  if (ValidUTF8(path) != path) return "is not valid UTF-8";
  std::string at = path;
  while (at.size() > 1 && at.back() == '/') at.pop_back();
  // Up to the nearest thing on the way that exists; "/" always does.
  for (bool own = true;; own = false) {
    struct stat st {};
    if (::lstat(at.c_str(), &st) == 0) {
      // A link counts as what it names; one to nothing is no folder.
      const bool folder = ::stat(at.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
      if (own) {
        if (!folder) return "is not a folder";
        if (!writableFolder(at)) return "is not writable";
        return std::nullopt;
      }
      if (!folder) return "cannot be made: " + at + " is not a folder";
      if (!writableFolder(at)) return "cannot be made: " + at + " is not writable";
      return std::nullopt;
    }
    if (errno != ENOENT && errno != ENOTDIR) {
      return std::string("cannot be read: ") + std::strerror(errno);
    }
    const size_t slash = at.find_last_of('/');
    at = slash == 0 ? "/" : at.substr(0, slash);
  }
}
