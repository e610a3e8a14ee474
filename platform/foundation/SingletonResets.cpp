#include "SingletonResets.h"

#include <vector>

#include "platform/foundation/Mutex.h"

namespace {

struct Registry {
  Mutex mutex;
  std::vector<std::function<void()>> resets GUARDED_BY(mutex);
};

Registry& registry() {
  static Registry* r = new Registry();  // lives past static destruction
  return *r;
}

}  // namespace

namespace SingletonResets {

void add(std::function<void()> reset) {
  MutexLock lock(registry().mutex);
  registry().resets.push_back(std::move(reset));
}

void runAll() {
  std::vector<std::function<void()>> resets;
  {
    MutexLock lock(registry().mutex);
    resets = registry().resets;
  }
  for (auto& reset : resets) reset();
}

}  // namespace SingletonResets
