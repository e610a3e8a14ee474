#pragma once

// Run-time look-up of classes by module-qualified name ("module.Class"), as the
// platform runtime offers it. Each module registers its classes in an explicit
// register function that the host calls at start-up.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "NSObject.h"

using NSClassFactory = std::function<std::shared_ptr<NSObject>()>;

namespace NSClassRegistry {
// Registering a name again replaces its factory.
void registerClass(const std::string& name, NSClassFactory factory);
bool hasClass(const std::string& name);
// A new instance of the named class, or nullptr when no such class exists.
std::shared_ptr<NSObject> createInstance(const std::string& name);
std::vector<std::string> registeredNames();
}  // namespace NSClassRegistry

// NSClassFromString-style existence test.
inline bool NSClassExists(const std::string& name) { return NSClassRegistry::hasClass(name); }
