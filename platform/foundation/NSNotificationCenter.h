#pragma once

// Notifications by string name, delivered synchronously on the posting thread
// to the observers registered for that name (or for every name) whose object
// filter matches (no filter, or the same object).

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "NSObject.h"
#include "ValueFwd.h"

// The notification itself is in NSNotification.h: an observer that reads it
// includes that.
struct NSNotification;

using NSNotificationBlock = std::function<void(const NSNotification&)>;

// Returned by block-based registration; removing it stops the delivery.
class NSNotificationObserverToken {
 public:
  virtual ~NSNotificationObserverToken() = default;
};
using NSObserverToken = std::shared_ptr<NSNotificationObserverToken>;

class NSNotificationCenter {
 public:
  static NSNotificationCenter& defaultCenter();

  // Observer-based registration: `observer` is an identity (usually `this`),
  // used only to remove all of its registrations at once. An empty name
  // observes every notification; a null object observes every sender.
  void addObserver(const void* observer, const std::string& name,
                   const std::shared_ptr<NSObject>& object, NSNotificationBlock block);
  // Token-based registration, as the block form of the platform.
  NSObserverToken addObserverForName(const std::string& name,
                                     const std::shared_ptr<NSObject>& object,
                                     NSNotificationBlock block);

  void removeObserver(const void* observer);
  void removeObserver(const void* observer, const std::string& name);
  void removeObserver(const NSObserverToken& token);

  void postNotification(const NSNotification& notification);
  // Without user info it carries a null value.
  void postNotificationName(const std::string& name, const std::shared_ptr<NSObject>& object);
  void postNotificationName(const std::string& name, const std::shared_ptr<NSObject>& object,
                            Value userInfo);

 private:
  struct Entry {
    const void* observer;
    std::string name;
    std::weak_ptr<NSObject> object;
    bool hasObject;
    std::shared_ptr<NSNotificationBlock> block;
    // Cleared on removal, so that a post already under way skips the entry.
    std::shared_ptr<std::atomic<bool>> live;
  };
  void removeWhere(const std::function<bool(const Entry&)>& match);
  std::mutex mutex_;
  std::vector<Entry> entries_;
};
