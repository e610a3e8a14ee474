#include "NSNotificationCenter.h"

#include <algorithm>
#include <atomic>

#include "NSNotification.h"
#include "Value.h"
#include "platform/foundation/Mutex.h"

namespace {

class Token : public NSNotificationObserverToken {};

}  // namespace

namespace {

// Most posts attach nothing: they share one null value rather than each
// allocating its own.
std::shared_ptr<const Value> heldUserInfo(Value userInfo) {
  static const auto* const kNothing =
      new std::shared_ptr<const Value>(std::make_shared<const Value>());
  return userInfo.isNull() ? *kNothing : std::make_shared<const Value>(std::move(userInfo));
}

}  // namespace

NSNotification::NSNotification(std::string name, std::shared_ptr<NSObject> object, Value userInfo)
    : name(std::move(name)),
      object(std::move(object)),
      userInfo_(heldUserInfo(std::move(userInfo))) {}

NSNotificationCenter& NSNotificationCenter::defaultCenter() {
  static auto* center = new NSNotificationCenter();
  return *center;
}

struct NSNotificationCenter::Entry {
  uint64_t sequence;
  const void* observer;
  std::string name;
  const NSObject* objectKey;  // only an index key: the filter is `object`
  std::weak_ptr<NSObject> object;
  std::shared_ptr<NSNotificationBlock> block;
  Bucket::iterator position;  // in byName_[name][objectKey]
  // Cleared on removal, so that a post already under way skips the entry.
  std::atomic<bool> live{true};
};

void NSNotificationCenter::addObserver(const void* observer, const std::string& name,
                                       const std::shared_ptr<NSObject>& object,
                                       NSNotificationBlock block) {
  if (!block) return;
  auto entry = std::make_shared<Entry>();
  entry->observer = observer;
  entry->name = name;
  entry->objectKey = object.get();
  entry->object = object;
  entry->block = std::make_shared<NSNotificationBlock>(std::move(block));
  insert(std::move(entry));
}

NSObserverToken NSNotificationCenter::addObserverForName(const std::string& name,
                                                         const std::shared_ptr<NSObject>& object,
                                                         NSNotificationBlock block) {
  auto token = std::make_shared<Token>();
  addObserver(token.get(), name, object, std::move(block));
  return token;
}

void NSNotificationCenter::insert(EntryPtr entry) {
  MutexLock lock(mutex_);
  entry->sequence = nextSequence_++;
  Bucket& bucket = byName_[entry->name][entry->objectKey];
  entry->position = bucket.insert(bucket.end(), entry);
  byObserver_[entry->observer].push_back(std::move(entry));
}

void NSNotificationCenter::erase(const EntryPtr& entry) {
  entry->live.store(false);
  auto names = byName_.find(entry->name);
  auto bucket = names->second.find(entry->objectKey);
  bucket->second.erase(entry->position);
  // Senders come and go (one per download): drop their empty slots.
  if (bucket->second.empty()) names->second.erase(bucket);
  if (names->second.empty()) byName_.erase(names);
}

void NSNotificationCenter::removeWhere(const void* observer, const std::string* name) {
  // Blocks die after the lock is released: their captures may remove observers.
  std::vector<EntryPtr> removed;
  MutexLock lock(mutex_);
  auto found = byObserver_.find(observer);
  if (found == byObserver_.end()) return;
  std::erase_if(found->second, [&](const EntryPtr& entry) REQUIRES(mutex_) {
    if (name && entry->name != *name) return false;
    erase(entry);
    removed.push_back(entry);
    return true;
  });
  if (found->second.empty()) byObserver_.erase(found);
}

void NSNotificationCenter::removeObserver(const void* observer) { removeWhere(observer, nullptr); }

void NSNotificationCenter::removeObserver(const void* observer, const std::string& name) {
  removeWhere(observer, &name);
}

void NSNotificationCenter::removeObserver(const NSObserverToken& token) {
  if (token) removeObserver(token.get());
}

void NSNotificationCenter::collect(const std::string& name, const NSObject* object,
                                   std::vector<EntryPtr>& matched) {
  auto names = byName_.find(name);
  if (names == byName_.end()) return;
  if (auto any = names->second.find(nullptr); any != names->second.end()) {
    matched.insert(matched.end(), any->second.begin(), any->second.end());
  }
  if (!object) return;
  auto filtered = names->second.find(object);
  if (filtered == names->second.end()) return;
  for (const EntryPtr& entry : filtered->second) {
    // The same address may now belong to another object than the filter's.
    if (entry->object.lock().get() == object) matched.push_back(entry);
  }
}

void NSNotificationCenter::postNotification(const NSNotification& notification) {
  std::vector<EntryPtr> matched;
  {
    MutexLock lock(mutex_);
    const NSObject* object = notification.object.get();
    collect(notification.name, object, matched);
    if (!notification.name.empty()) collect(std::string(), object, matched);
  }
  // Up to four runs, each in registration order: deliver in that order overall.
  std::sort(matched.begin(), matched.end(),
            [](const EntryPtr& a, const EntryPtr& b) { return a->sequence < b->sequence; });
  // Called outside the lock: observers may add or remove observers. One
  // removed meanwhile (perhaps being destroyed) is not called any more.
  for (const EntryPtr& entry : matched) {
    if (entry->live.load()) (*entry->block)(notification);
  }
}

void NSNotificationCenter::postNotificationName(std::string name,
                                                const std::shared_ptr<NSObject>& object) {
  postNotificationName(std::move(name), object, Value());
}

void NSNotificationCenter::postNotificationName(std::string name,
                                                const std::shared_ptr<NSObject>& object,
                                                Value userInfo) {
  postNotification(NSNotification(std::move(name), object, std::move(userInfo)));
}
