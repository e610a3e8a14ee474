#pragma once

// Notifications by string name, delivered synchronously on the posting thread
// to the observers registered for that name (or for every name) whose object
// filter matches (no filter, or the same object).

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "NSObject.h"
#include "ValueFwd.h"
#include "platform/foundation/Mutex.h"

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
  // Without user info it carries a null value. The name is taken by value:
  // one made from a literal for the post moves into the notification.
  void postNotificationName(std::string name, const std::shared_ptr<NSObject>& object);
  void postNotificationName(std::string name, const std::shared_ptr<NSObject>& object,
                            Value userInfo);

 private:
  struct Entry;
  using EntryPtr = std::shared_ptr<Entry>;
  using Bucket = std::list<EntryPtr>;  // in registration order
  // Observers of one name (empty: of every name), keyed by the sender they
  // filter on (nullptr: any sender), so a post looks only at its matches.
  using NameIndex = std::unordered_map<const NSObject*, Bucket>;

  void insert(EntryPtr entry);
  void erase(const EntryPtr& entry) REQUIRES(mutex_);
  void collect(const std::string& name, const NSObject* object,
               std::vector<EntryPtr>& matched) REQUIRES(mutex_);
  void removeWhere(const void* observer, const std::string* name);

  Mutex mutex_;
  uint64_t nextSequence_ GUARDED_BY(mutex_) = 0;
  std::unordered_map<std::string, NameIndex> byName_ GUARDED_BY(mutex_);
  std::unordered_map<const void*, std::vector<EntryPtr>> byObserver_ GUARDED_BY(mutex_);
};
