#include "platform/foundation/SharedLibraries.h"

#include <dlfcn.h>

bool SharedLibraries::open(const std::vector<std::string>& names, std::string& why) {
  for (const auto& name : names) {
    // Never closed: what a library hands out (codec state, decoded images)
    // may outlive any one user.
    void* handle = ::dlopen(name.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      const char* message = ::dlerror();
      why = message ? message : name + " cannot be opened";
      return false;
    }
    handles_.push_back(handle);
  }
  return true;
}

void* SharedLibraries::find(size_t index, const char* symbol) const {
  return index < handles_.size() ? ::dlsym(handles_[index], symbol) : nullptr;
}
