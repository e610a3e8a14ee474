#pragma once

// Where the installed application lives: the folder of its main bundle and
// its data container (Documents, Library, tmp). The default reads them as the
// host is deployed; tests install locations of their own (a temporary folder)
// with setCurrent() and get the default back with setCurrent(nullptr).

#include <memory>
#include <optional>
#include <string>

class NSApplicationLocations {
 public:
  virtual ~NSApplicationLocations() = default;

  virtual std::string mainBundlePath() = 0;
  virtual std::string containerRoot() = 0;

  // Safe from any thread.
  static std::shared_ptr<NSApplicationLocations> current();
  // nullptr restores the deployed locations.
  static void setCurrent(std::shared_ptr<NSApplicationLocations> locations);
};

// The main bundle is env QX_MAIN_BUNDLE, else "Runner.app" beside the
// executable; the container is env QX_APP_HOME when it can be one, else
// $XDG_DATA_HOME/quorlinex, else ~/.local/share/quorlinex.
class NSDeployedLocations : public NSApplicationLocations {
 public:
  std::string mainBundlePath() override;
  std::string containerRoot() override;
  // "Runner.app" beside the executable.
  static std::string defaultMainBundlePath();
  // The container when QX_APP_HOME is unset or unusable.
  static std::string defaultContainerRoot();
  // Why `path` cannot be the container ("is not an absolute path", ...);
  // nullopt when it can: an absolute UTF-8 path to a folder this process
  // may write in, or to where one can be made (the nearest thing on its way
  // is such a folder). Writability is judged for the effective user.
  static std::optional<std::string> containerRootProblem(const std::string& path);
};
