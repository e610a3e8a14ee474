#include "KeyValueObserving.h"

#include "ObservableProperty.h"
#include "Value.h"
#include "platform/foundation/Mutex.h"

#include <algorithm>
#include <atomic>
#include <thread>
#include <utility>
#include <vector>

const char* const NSKeyValueChangeKindKey = "kind";
const char* const NSKeyValueChangeNewKey = "new";
const char* const NSKeyValueChangeOldKey = "old";
const char* const NSKeyValueChangeNotificationIsPriorKey = "notificationIsPrior";

namespace {

struct Registration {
  uint64_t id;
  NSKeyValueObserver* observer;  // null for the block form
  std::shared_ptr<NSKeyValueObservationBlock> block;
  std::string keyPath;
  unsigned options;
  void* context;
  std::shared_ptr<std::atomic<bool>> live;
};

Value changeFor(const Registration& r, const Value* oldValue, const Value* newValue, bool prior) {
  ValueMap change;
  change.emplace_back(Value(NSKeyValueChangeKindKey), Value(NSKeyValueChangeSetting));
  if (prior) change.emplace_back(Value(NSKeyValueChangeNotificationIsPriorKey), Value(true));
  if (newValue && (r.options & NSKeyValueObservingOptionNew)) {
    change.emplace_back(Value(NSKeyValueChangeNewKey), *newValue);
  }
  if (oldValue && (r.options & NSKeyValueObservingOptionOld)) {
    change.emplace_back(Value(NSKeyValueChangeOldKey), *oldValue);
  }
  return Value(std::move(change));
}

void deliver(const Registration& r, NSObject* object, const Value& change) {
  if (!r.live->load()) return;
  if (r.observer) {
    r.observer->observeValueForKeyPath(r.keyPath, object, change, r.context);
  } else if (r.block && *r.block) {
    (*r.block)(object, change);
  }
}

}  // namespace

struct NSKeyValueObservable::Registry {
  // Old values between will- and didChange, per key and thread, innermost last.
  struct Pending {
    std::string key;
    std::thread::id thread;
    Value old;
  };

  mutable Mutex mutex;
  std::vector<Registration> entries GUARDED_BY(mutex);  // in the order of registration
  uint64_t nextId GUARDED_BY(mutex) = 0;
  // Few at a time (one per change under way): a flat list reused from change
  // to change costs no allocation.
  std::vector<Pending> pending GUARDED_BY(mutex);

  void appendForKeyLocked(const std::string& key, std::vector<Registration>& out) const
      REQUIRES(mutex) {
    for (const Registration& r : entries) {
      if (r.keyPath == key) out.push_back(r);
    }
  }

  // The innermost pending old value of `key` on this thread.
  bool takePendingLocked(const std::string& key, Value& old) REQUIRES(mutex) {
    const std::thread::id me = std::this_thread::get_id();
    for (auto it = pending.rbegin(); it != pending.rend(); ++it) {
      if (it->thread != me || it->key != key) continue;
      old = std::move(it->old);
      pending.erase(std::next(it).base());
      return true;
    }
    return false;
  }

  // Removes the most recent matching registration, as the platform does.
  void removeLast(const std::function<bool(const Registration&)>& match) {
    MutexLock lock(mutex);
    for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
      if (!match(*it)) continue;
      it->live->store(false);
      entries.erase(std::next(it).base());
      return;
    }
  }
};

namespace {

class BlockObservation : public NSKeyValueObservation {
 public:
  explicit BlockObservation(std::function<void()> remove) : remove_(std::move(remove)) {}
  ~BlockObservation() override { invalidate(); }

  void invalidate() override {
    std::function<void()> remove;
    {
      MutexLock lock(mutex_);
      remove.swap(remove_);
    }
    if (remove) remove();
  }

 private:
  Mutex mutex_;  // guards remove_
  std::function<void()> remove_ GUARDED_BY(mutex_);
};

}  // namespace

NSKeyValueObservable::NSKeyValueObservable() = default;

NSKeyValueObservable::NSKeyValueObservable(const NSKeyValueObservable& other) : NSObject(other) {}

NSKeyValueObservable::~NSKeyValueObservable() {
  Registry* registry = existingRegistry();
  if (!registry) return;
  MutexLock lock(registry->mutex);
  for (Registration& r : registry->entries) r.live->store(false);
}

NSKeyValueObservable::Registry* NSKeyValueObservable::existingRegistry() const {
  return registryRaw_.load(std::memory_order_acquire);
}

NSKeyValueObservable::Registry* NSKeyValueObservable::registry() const {
  if (Registry* existing = existingRegistry()) return existing;
  static Mutex creation;  // guards the registry's creation
  MutexLock lock(creation);
  if (Registry* existing = existingRegistry()) return existing;
  registry_ = std::make_shared<Registry>();
  registryRaw_.store(registry_.get(), std::memory_order_release);
  return registry_.get();
}

Value NSKeyValueObservable::valueForKey(const std::string& key) const {
  for (const ObservablePropertyBase* p = properties_; p; p = p->next_) {
    if (key == p->key()) return p->kvoValue();
  }
  return Value();
}

void NSKeyValueObservable::addObserver(NSKeyValueObserver* observer, const std::string& keyPath,
                                       unsigned options, void* context) {
  if (!observer) return;
  Registration r{
      0, observer, nullptr, keyPath, options, context, std::make_shared<std::atomic<bool>>(true)};
  Registry* reg = registry();
  {
    MutexLock lock(reg->mutex);
    r.id = ++reg->nextId;
    reg->entries.push_back(r);
  }
  if (options & NSKeyValueObservingOptionInitial) {
    Value now = valueForKey(keyPath);
    deliver(r, this, changeFor(r, nullptr, &now, false));
  }
}

void NSKeyValueObservable::removeObserver(NSKeyValueObserver* observer,
                                          const std::string& keyPath) {
  if (Registry* reg = existingRegistry()) {
    reg->removeLast(
        [&](const Registration& r) { return r.observer == observer && r.keyPath == keyPath; });
  }
}

void NSKeyValueObservable::removeObserver(NSKeyValueObserver* observer, const std::string& keyPath,
                                          void* context) {
  if (Registry* reg = existingRegistry()) {
    reg->removeLast([&](const Registration& r) {
      return r.observer == observer && r.keyPath == keyPath && r.context == context;
    });
  }
}

std::shared_ptr<NSKeyValueObservation> NSKeyValueObservable::observe(
    const std::string& keyPath, unsigned options, NSKeyValueObservationBlock block) {
  Registration r{0,
                 nullptr,
                 std::make_shared<NSKeyValueObservationBlock>(std::move(block)),
                 keyPath,
                 options,
                 nullptr,
                 std::make_shared<std::atomic<bool>>(true)};
  Registry* reg = registry();
  {
    MutexLock lock(reg->mutex);
    r.id = ++reg->nextId;
    reg->entries.push_back(r);
  }
  std::weak_ptr<Registry> weak = registry_;
  auto observation = std::make_shared<BlockObservation>([weak, id = r.id] {
    if (auto registry = weak.lock()) {
      registry->removeLast([id](const Registration& e) { return e.id == id; });
    }
  });
  if (options & NSKeyValueObservingOptionInitial) {
    Value now = valueForKey(keyPath);
    deliver(r, this, changeFor(r, nullptr, &now, false));
  }
  return observation;
}

bool NSKeyValueObservable::hasObserversForKey(const std::string& key) const {
  if (builtInObserverRank(key) != 0) return true;
  Registry* reg = existingRegistry();
  if (!reg) return false;
  MutexLock lock(reg->mutex);
  return std::any_of(reg->entries.begin(), reg->entries.end(),
                     [&](const Registration& r) { return r.keyPath == key; });
}

uint64_t NSKeyValueObservable::registrationRank() const {
  Registry* reg = existingRegistry();
  if (!reg) return 1;  // ids start at 1
  MutexLock lock(reg->mutex);
  return reg->nextId + 1;
}

void NSKeyValueObservable::willChangeValueForKey(const std::string& key) {
  Registry* reg = existingRegistry();
  if (!reg) return;  // nobody has ever observed this object
  std::vector<Registration> prior;
  bool wantsOld = false;
  {
    MutexLock lock(reg->mutex);
    for (const Registration& r : reg->entries) {
      if (r.keyPath != key) continue;
      if (r.options & NSKeyValueObservingOptionPrior) prior.push_back(r);
      if (r.options & (NSKeyValueObservingOptionOld | NSKeyValueObservingOptionPrior)) {
        wantsOld = true;
      }
    }
    // Without anyone asking for the old value, it is recorded as null at once.
    if (!wantsOld) reg->pending.push_back({key, std::this_thread::get_id(), Value()});
  }
  if (!wantsOld) return;
  Value old = valueForKey(key);
  {
    MutexLock lock(reg->mutex);
    reg->pending.push_back({key, std::this_thread::get_id(), old});
  }
  for (const Registration& r : prior) deliver(r, this, changeFor(r, &old, nullptr, true));
}

void NSKeyValueObservable::didChangeValueForKey(const std::string& key) {
  const uint64_t builtInRank = builtInObserverRank(key);
  Registry* reg = existingRegistry();
  if (!reg) {
    if (builtInRank != 0) notifyBuiltInObserver(key);
    didNotifyChangeForKey(key);
    return;
  }
  Value old;
  bool hadWill = false;
  std::vector<Registration> observers;
  {
    MutexLock lock(reg->mutex);
    hadWill = reg->takePendingLocked(key, old);
    reg->appendForKeyLocked(key, observers);
  }
  bool wantsNew = std::any_of(observers.begin(), observers.end(), [](const Registration& r) {
    return r.options & NSKeyValueObservingOptionNew;
  });
  Value now = wantsNew ? valueForKey(key) : Value();
  bool builtInHeard = builtInRank == 0;
  for (const Registration& r : observers) {
    if (!builtInHeard && r.id >= builtInRank) {
      builtInHeard = true;
      notifyBuiltInObserver(key);
    }
    deliver(r, this, changeFor(r, hadWill ? &old : nullptr, &now, false));
  }
  if (!builtInHeard) notifyBuiltInObserver(key);
  didNotifyChangeForKey(key);
}

void NSKeyValueObservable::changeValueForKey(const std::string& key,
                                             const std::function<void()>& mutate) {
  willChangeValueForKey(key);
  if (mutate) mutate();
  didChangeValueForKey(key);
}
