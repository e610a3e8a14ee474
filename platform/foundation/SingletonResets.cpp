#include "SingletonResets.h"

#include <mutex>
#include <vector>

namespace {

struct Registry {
  std::mutex mutex;
  std::vector<std::function<void()>> resets;  // guarded by mutex
};

Registry& registry() {
  static Registry* r = new Registry();  // lives past static destruction
  return *r;
}

}  // namespace

namespace SingletonResets {

void add(std::function<void()> reset) {
  std::lock_guard<std::mutex> lock(registry().mutex);
  registry().resets.push_back(std::move(reset));
}

void runAll() {
  std::vector<std::function<void()>> resets;
  {
    std::lock_guard<std::mutex> lock(registry().mutex);
    resets = registry().resets;
  }
  for (auto& reset : resets) reset();
}

}  // namespace SingletonResets
