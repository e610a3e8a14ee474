#include "NSClassRegistry.h"

#include <map>

#include "OSLog.h"
#include "platform/foundation/Mutex.h"

namespace {

Mutex& registryMutex() {
  static Mutex m;  // guards registry() and failures()
  return m;
}

std::map<std::string, NSClassFactory>& registry() REQUIRES(registryMutex()) {
  static auto* r = new std::map<std::string, NSClassFactory>();
  return *r;
}

NSClassLookupFailures& failures() REQUIRES(registryMutex()) {
  static auto* f = new NSClassLookupFailures();
  return *f;
}

void recordFailureLocked(const std::string& name) REQUIRES(registryMutex()) {
  ++failures().count;
  failures().lastName = name;
}

}  // namespace

namespace NSClassRegistry {

void registerClass(const std::string& name, NSClassFactory factory) {
  MutexLock lock(registryMutex());
  registry()[name] = std::move(factory);
}

bool hasClass(const std::string& name) {
  MutexLock lock(registryMutex());
  return registry().count(name) != 0;
}

std::shared_ptr<NSObject> createInstance(const std::string& name) {
  NSClassFactory factory;
  {
    MutexLock lock(registryMutex());
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
    MutexLock lock(registryMutex());
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
  MutexLock lock(registryMutex());
  return failures();
}

std::vector<std::string> registeredNames() {
  MutexLock lock(registryMutex());
  std::vector<std::string> names;
  for (const auto& [name, f] : registry()) names.push_back(name);
  return names;
}

}  // namespace NSClassRegistry
