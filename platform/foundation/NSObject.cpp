#include "NSObject.h"

#include <cxxabi.h>

#include <cstdio>
#include <cstdlib>
#include <typeinfo>
#include <unordered_map>

#include "Value.h"
#include "platform/foundation/Mutex.h"

struct NSObject::Associations {
  std::unordered_map<const void*, Value> values;
};

NSObject::NSObject() = default;
NSObject::NSObject(const NSObject&) : std::enable_shared_from_this<NSObject>() {}
NSObject::~NSObject() = default;

std::string NSObjectTypeName(const std::type_info& info) {
  int status = 0;
  char* demangled = abi::__cxa_demangle(info.name(), nullptr, nullptr, &status);
  std::string name = (status == 0 && demangled) ? demangled : info.name();
  std::free(demangled);
  auto pos = name.rfind("::");
  if (pos != std::string::npos) name = name.substr(pos + 2);
  return name;
}

std::string NSObject::className() const { return NSObjectTypeName(typeid(*this)); }

std::string NSObject::description() const {
  char buf[64];
  std::snprintf(buf, sizeof buf, ": %p>", static_cast<const void*>(this));
  return "<" + className() + buf;
}

void NSObject::setAssociatedObject(const void* key, Value value) {
  MutexLock lock(associatedMutex_);
  if (value.isNull()) {
    if (associated_) associated_->values.erase(key);
  } else {
    if (!associated_) associated_ = std::make_unique<Associations>();
    associated_->values[key] = std::move(value);
  }
}

Value NSObject::associatedObject(const void* key) const {
  MutexLock lock(associatedMutex_);
  if (!associated_) return Value();
  auto it = associated_->values.find(key);
  return it == associated_->values.end() ? Value() : it->second;
}

void NSObject::removeAssociatedObjects() {
  MutexLock lock(associatedMutex_);
  associated_.reset();
}
