#include "NWPathMonitor.h"

#include "internal/NWLinuxPathProvider.h"
#include "platform/foundation/Mutex.h"

namespace {

Mutex gProviderMutex;  // guards gProvider
std::shared_ptr<NWPathProvider> gProvider GUARDED_BY(gProviderMutex);

}  // namespace

// Shared with the change callback, which holds it weakly so that a monitor
// dropped without cancel() still goes away.
struct NWPathMonitor::State {
  std::shared_ptr<NWPathProvider> provider;
  Mutex mutex;
  UpdateHandler handler GUARDED_BY(mutex);
  dispatch_queue_t queue GUARDED_BY(mutex);
  NWPath path GUARDED_BY(mutex);
  bool started GUARDED_BY(mutex) = false;
  bool cancelled GUARDED_BY(mutex) = false;
  bool evaluationPending GUARDED_BY(mutex) = false;
  std::unique_ptr<NWPathWatch> watch GUARDED_BY(mutex);
};

NWPathMonitor::NWPathMonitor() : NWPathMonitor(defaultPathProvider()) {}

NWPathMonitor::NWPathMonitor(std::shared_ptr<NWPathProvider> provider)
    : state_(std::make_shared<State>()) {
  state_->provider = std::move(provider);
}

NWPathMonitor::~NWPathMonitor() { cancel(); }

void NWPathMonitor::setDefaultPathProvider(std::shared_ptr<NWPathProvider> provider) {
  MutexLock lock(gProviderMutex);
  gProvider = std::move(provider);
}

std::shared_ptr<NWPathProvider> NWPathMonitor::defaultPathProvider() {
  MutexLock lock(gProviderMutex);
  if (!gProvider) gProvider = std::make_shared<NWLinuxPathProvider>();
  return gProvider;
}

void NWPathMonitor::setPathUpdateHandler(UpdateHandler handler) {
  MutexLock lock(state_->mutex);
  state_->handler = std::move(handler);
}

dispatch_queue_t NWPathMonitor::queue() const {
  MutexLock lock(state_->mutex);
  return state_->queue;
}

NWPath NWPathMonitor::currentPath() const {
  {
    MutexLock lock(state_->mutex);
    if (state_->started) return state_->path;
  }
  return state_->provider->currentPath();
}

void NWPathMonitor::start(dispatch_queue_t queue) {
  if (!queue) return;
  // The baseline is in place before the first change can be compared with it.
  NWPath initial = state_->provider->currentPath();
  {
    MutexLock lock(state_->mutex);
    if (state_->started || state_->cancelled) return;
    state_->started = true;
    state_->queue = queue;
    state_->path = std::move(initial);
  }
  std::weak_ptr<State> weak = state_;
  // Runs on the provider's thread, which only notes the change and hands the
  // reading of the path to the monitor's queue; a burst becomes one reading.
  auto watch = state_->provider->watch([weak, queue] {
    if (auto s = weak.lock()) {
      MutexLock lock(s->mutex);
      if (s->evaluationPending || s->cancelled) return;
      s->evaluationPending = true;
    } else {
      return;
    }
    dispatch_async(queue, [weak] {
      if (auto s = weak.lock()) evaluate(s);
    });
  });
  MutexLock lock(state_->mutex);
  if (state_->cancelled) return;
  state_->watch = std::move(watch);
}

void NWPathMonitor::evaluate(const std::shared_ptr<State>& state) {
  {
    MutexLock lock(state->mutex);
    state->evaluationPending = false;
    if (state->cancelled) return;
  }
  NWPath path = state->provider->currentPath();
  UpdateHandler handler;
  {
    MutexLock lock(state->mutex);
    if (state->cancelled || path == state->path) return;
    state->path = path;
    handler = state->handler;
  }
  if (handler) handler(path);
}

void NWPathMonitor::cancel() {
  std::unique_ptr<NWPathWatch> watch;
  {
    MutexLock lock(state_->mutex);
    state_->cancelled = true;
    watch = std::move(state_->watch);
    state_->handler = nullptr;
  }
  // Stops the provider's thread outside the lock: its callback takes it.
}
