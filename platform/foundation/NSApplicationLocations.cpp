#include "NSApplicationLocations.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "FilePath.h"
#include "SingletonResets.h"
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
  if (const char* home = std::getenv("QX_APP_HOME"); home && *home) return home;
  if (const char* data = std::getenv("XDG_DATA_HOME"); data && *data) {
    return JoinPath(data, "quorlinex");
  }
  return JoinPath(homeFolder(), ".local/share/quorlinex");
}
