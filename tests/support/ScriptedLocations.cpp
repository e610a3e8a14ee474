#include "support/ScriptedLocations.h"

#include <memory>

ScriptedLocations& ScriptedLocations::installed() {
  static auto* scripted =
      new std::shared_ptr<ScriptedLocations>(std::make_shared<ScriptedLocations>());
  if (NSApplicationLocations::current() != *scripted) {
    (*scripted)->setContainerRoot("");
    (*scripted)->setMainBundlePath("");
    NSApplicationLocations::setCurrent(*scripted);
  }
  return **scripted;
}

void ScriptedLocations::setContainerRoot(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  container_ = path;
}

void ScriptedLocations::setMainBundlePath(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  bundle_ = path;
}

std::string ScriptedLocations::mainBundlePath() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!bundle_.empty()) return bundle_;
  }
  return deployed_.mainBundlePath();
}

std::string ScriptedLocations::containerRoot() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!container_.empty()) return container_;
  }
  return deployed_.containerRoot();
}
