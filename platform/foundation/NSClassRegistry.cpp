#include "NSClassRegistry.h"

#include <map>
#include <mutex>

namespace {

std::mutex& registryMutex() {
  static std::mutex m;  // guards registry()
  return m;
}

std::map<std::string, NSClassFactory>& registry() {
  static auto* r = new std::map<std::string, NSClassFactory>();
  return *r;
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
    if (it == registry().end()) return nullptr;
    factory = it->second;
  }
  return factory ? factory() : nullptr;
}

std::vector<std::string> registeredNames() {
  std::lock_guard<std::mutex> lock(registryMutex());
  std::vector<std::string> names;
  for (const auto& [name, f] : registry()) names.push_back(name);
  return names;
}

}  // namespace NSClassRegistry
