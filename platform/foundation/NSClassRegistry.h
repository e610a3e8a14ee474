#pragma once

// Run-time look-up of classes by module-qualified name ("module.Class"), as the
// platform runtime offers it. Each module registers its classes in an explicit
// register function that the host calls at start-up.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "NSObject.h"

using NSClassFactory = std::function<std::shared_ptr<NSObject>()>;

// The look-ups that found no class so far in this process: how many, and the
// name of the latest. Work that a request started (a touch that presents a
// screen, say) compares the count before and after, and answers the request
// with the missing name instead of going on without the class.
struct NSClassLookupFailures {
  uint64_t count = 0;
  std::string lastName;
};

namespace NSClassRegistry {
// Registering a name again replaces its factory.
void registerClass(const std::string& name, NSClassFactory factory);
bool hasClass(const std::string& name);
// A new instance of the named class, or nullptr when no such class exists
// (a failed look-up, logged and counted).
std::shared_ptr<NSObject> createInstance(const std::string& name);
// True when every name is registered. Otherwise the first missing one is a
// failed look-up, logged and counted, and the caller gives up what it was
// about to make from them.
bool requireClasses(const std::vector<std::string>& names);
NSClassLookupFailures lookupFailures();
std::vector<std::string> registeredNames();
}  // namespace NSClassRegistry

// NSClassFromString-style existence test.
inline bool NSClassExists(const std::string& name) { return NSClassRegistry::hasClass(name); }
