#pragma once
// The observer hub of the picker's data layer: a set of weakly held
// observers to which a named callback with one or two arguments is
// delivered, always on the main thread (at once when sent from it, else
// through the main queue). A callback is a selector name; an observer
// responds to it when it implements the protocol method the name stands for
// (protocol methods default to "not implemented").

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/ValueFwd.h"

class AKImageBaseManager : public NSObject {
 public:
  AKImageBaseManager() = default;

  // Adding the same object twice keeps one entry; freed observers drop out.
  void add(const std::shared_ptr<NSObject>& observer);
  void remove(const std::shared_ptr<NSObject>& observer);
  void notify(const std::string& selector, const Value& object);
  virtual void notify(const std::string& selector, const Value& object, const Value& objectTwo);

  size_t observerCount() const;

  // How a selector reaches an observer: false when the observer does not
  // respond to it. The protocols of this module register their callbacks.
  using Invoker = std::function<bool(NSObject& observer, const Value& one, const Value& two)>;
  static void registerSelector(const std::string& selector, Invoker invoker);

  std::string className() const override { return "AKImageBaseManager"; }

 private:
  std::vector<std::shared_ptr<NSObject>> liveObservers() const;
  static void deliver(const std::vector<std::shared_ptr<NSObject>>& observers,
                      const std::string& selector, const Value& one, const Value& two);

  mutable Mutex mutex_;
  std::vector<std::weak_ptr<NSObject>> observers_ GUARDED_BY(mutex_);
};
using AKImageBaseManagerPtr = std::shared_ptr<AKImageBaseManager>;
