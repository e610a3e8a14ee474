#include "NSClassRegistry.h"

#include <map>
#include <mutex>

#include "OSLog.h"

namespace {

std::mutex& registryMutex() {
  static std::mutex m;  // guards registry() and failures()
  return m;
}

std::map<std::string, NSClassFactory>& registry() {
  static auto* r = new std::map<std::string, NSClassFactory>();
  return *r;
}

NSClassLookupFailures& failures() {
  static auto* f = new NSClassLookupFailures();
  return *f;
}

// Called with registryMutex() held.
void recordFailureLocked(const std::string& name) {
  ++failures().count;
  failures().lastName = name;
}

}  // namespace

namespace NSClassRegistry {

void registerClass(const std::string& name, NSClassFactory factory) {
  std::lock_guard<std::mutex> lock(registryMutex());
  registry()[name] = std::move(factory);
}

bool hasClass(const std::string& name) {
  std::lock_guard<std::mutex> lock(registryMutex());
  return registry().count(name) != 0;
}

std::shared_ptr<NSObject> createInstance(const std::string& name) {
  NSClassFactory factory;
  {
    std::lock_guard<std::mutex> lock(registryMutex());
    auto it = registry().find(name);
    if (it == registry().end()) {
      recordFailureLocked(name);
    } else {
      factory = it->second;
    }
  }
  if (!factory) {
    NSLog("No class registered under " + name);
    return nullptr;
  }
  return factory();
}

bool requireClasses(const std::vector<std::string>& names) {
  std::string missing;
  {
    std::lock_guard<std::mutex> lock(registryMutex());
    for (const auto& name : names) {
      if (registry().count(name) != 0) continue;
      recordFailureLocked(name);
      missing = name;
      break;
    }
  }
  if (missing.empty()) return true;
  NSLog("No class registered under " + missing);
  return false;
}

NSClassLookupFailures lookupFailures() {
  std::lock_guard<std::mutex> lock(registryMutex());
  return failures();
}

std::vector<std::string> registeredNames() {
  std::lock_guard<std::mutex> lock(registryMutex());
  std::vector<std::string> names;
  for (const auto& [name, f] : registry()) names.push_back(name);
  return names;
}

}  // namespace NSClassRegistry
