#include "platform/network/NWPathProvider.h"

#include <vector>

#include "platform/foundation/Mutex.h"

// Unregisters on destruction; holds the provider weakly so a watch may
// outlive it.
class NWScriptedPathProvider::Watch : public NWPathWatch {
 public:
  Watch(std::weak_ptr<NWScriptedPathProvider> provider, uint64_t id)
      : provider_(std::move(provider)), id_(id) {}
  ~Watch() override {
    if (auto p = provider_.lock()) p->unwatch(id_);
  }

 private:
  std::weak_ptr<NWScriptedPathProvider> provider_;
  uint64_t id_;
};

NWScriptedPathProvider::NWScriptedPathProvider(NWPath initial) : path_(std::move(initial)) {}

NWPath NWScriptedPathProvider::currentPath() {
  MutexLock lock(mutex_);
  return path_;
}

std::unique_ptr<NWPathWatch> NWScriptedPathProvider::watch(std::function<void()> changed) {
  MutexLock lock(mutex_);
  uint64_t id = nextId_++;
  watchers_[id] = std::make_shared<std::function<void()>>(std::move(changed));
  return std::make_unique<Watch>(weak_from_this(), id);
}

void NWScriptedPathProvider::unwatch(uint64_t id) {
  MutexLock lock(mutex_);
  watchers_.erase(id);
}

size_t NWScriptedPathProvider::watchCount() const {
  MutexLock lock(mutex_);
  return watchers_.size();
}

void NWScriptedPathProvider::setPath(NWPath path) {
  std::vector<std::shared_ptr<std::function<void()>>> toCall;
  {
    MutexLock lock(mutex_);
    path_ = std::move(path);
    for (auto& [id, fn] : watchers_) toCall.push_back(fn);
  }
  for (auto& fn : toCall) {
    if (*fn) (*fn)();
  }
}
