#pragma once

// Application locations that tests choose: the main bundle and the container
// point into the test's own folders. A path left empty is the deployed one.
// The test environment's reset puts the deployed locations back.
//
//   ScriptedLocations::installed().setContainerRoot(folder.path());

#include <mutex>
#include <string>

#include "platform/foundation/NSApplicationLocations.h"

class ScriptedLocations : public NSApplicationLocations {
 public:
  // The scripted locations, made current (with both paths empty) when they
  // are not.
  static ScriptedLocations& installed();

  void setContainerRoot(const std::string& path);
  void setMainBundlePath(const std::string& path);

  std::string mainBundlePath() override;
  std::string containerRoot() override;

 private:
  std::mutex mutex_;  // guards the two paths
  std::string container_;
  std::string bundle_;
  NSDeployedLocations deployed_;
};
