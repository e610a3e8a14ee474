#pragma once

// Key-value observing: an object exposes named properties through
// valueForKey() and announces each change with willChangeValueForKey() /
// didChangeValueForKey(); observers registered for that key hear about it
// synchronously, on the thread that made the change, as on the platform.
//
// Key paths are single keys of the observed object. The change is a map with
// "kind" (1, a setting), "new" when asked for and "old" when asked for.
// An observer removed while a change is being delivered hears nothing more.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "NSObject.h"
#include "ValueFwd.h"

enum NSKeyValueObservingOptions : unsigned {
  NSKeyValueObservingOptionNew = 0x01,
  NSKeyValueObservingOptionOld = 0x02,
  // The observer hears once at registration, with the current value.
  NSKeyValueObservingOptionInitial = 0x04,
  // The observer also hears before each change ("notificationIsPrior").
  NSKeyValueObservingOptionPrior = 0x08,
};

inline constexpr int64_t NSKeyValueChangeSetting = 1;
extern const char* const NSKeyValueChangeKindKey;
extern const char* const NSKeyValueChangeNewKey;
extern const char* const NSKeyValueChangeOldKey;
extern const char* const NSKeyValueChangeNotificationIsPriorKey;

// The observing side (the platform's observeValueForKeyPath:ofObject:change:context:).
class NSKeyValueObserver {
 public:
  virtual ~NSKeyValueObserver() = default;
  virtual void observeValueForKeyPath(const std::string& keyPath, NSObject* object,
                                      const Value& change, void* context) = 0;
};

using NSKeyValueObservationBlock = std::function<void(NSObject* object, const Value& change)>;

// The block form's registration; it ends on invalidate() or when released.
class NSKeyValueObservation {
 public:
  virtual ~NSKeyValueObservation() = default;
  virtual void invalidate() = 0;
};

class ObservablePropertyBase;

class NSKeyValueObservable : public NSObject {
 public:
  NSKeyValueObservable();
  // A copy is a new object: it shares neither observers nor properties.
  NSKeyValueObservable(const NSKeyValueObservable& other);
  NSKeyValueObservable& operator=(const NSKeyValueObservable&) { return *this; }
  ~NSKeyValueObservable() override;

  // The value of a property by key: the object's observable properties
  // answer for their keys; null for keys the object does not expose.
  // Overrides that expose further keys fall back to this one.
  virtual Value valueForKey(const std::string& key) const;

  // The observer is not retained: it must remove itself before it goes away,
  // as on the platform. `context` comes back with every call.
  void addObserver(NSKeyValueObserver* observer, const std::string& keyPath, unsigned options,
                   void* context);
  // Removing a registration that does not exist does nothing.
  void removeObserver(NSKeyValueObserver* observer, const std::string& keyPath);
  void removeObserver(NSKeyValueObserver* observer, const std::string& keyPath, void* context);

  std::shared_ptr<NSKeyValueObservation> observe(const std::string& keyPath, unsigned options,
                                                 NSKeyValueObservationBlock block);

  void willChangeValueForKey(const std::string& key);
  void didChangeValueForKey(const std::string& key);
  bool hasObserversForKey(const std::string& key) const;

 protected:
  // will/did around `mutate`, for setters of observable properties.
  void changeValueForKey(const std::string& key, const std::function<void()>& mutate);
  // Runs after the observers of a change heard about it.
  virtual void didNotifyChangeForKey(const std::string& key) { (void)key; }

  // A built-in observer: an owner that follows some of the object's keys
  // from the inside (an operation's queue) without a registration of its
  // own. It hears each change of those keys through notifyBuiltInObserver(),
  // placed among the registered observers as a registration made at
  // registrationRank() would be: after the earlier ones, before the later.
  // 0 when nothing built in follows `key`.
  virtual uint64_t builtInObserverRank(const std::string& key) const {
    (void)key;
    return 0;
  }
  virtual void notifyBuiltInObserver(const std::string& key) { (void)key; }
  // The rank of a registration made now.
  uint64_t registrationRank() const;

 private:
  friend class ObservablePropertyBase;
  struct Registry;
  // Observers are rare: the registry is made on the first registration, so
  // an object nobody observes pays one pointer and no allocation.
  Registry* registry() const;
  Registry* existingRegistry() const;

  mutable std::atomic<Registry*> registryRaw_{nullptr};
  mutable std::shared_ptr<Registry> registry_;
  ObservablePropertyBase* properties_ = nullptr;  // intrusive list, newest first
};
