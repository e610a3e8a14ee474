#include "NSNotificationCenter.h"

#include <algorithm>

#include "NSNotification.h"

namespace {

class Token : public NSNotificationObserverToken {};

}  // namespace

NSNotificationCenter& NSNotificationCenter::defaultCenter() {
  static auto* center = new NSNotificationCenter();
  return *center;
}

void NSNotificationCenter::addObserver(const void* observer, const std::string& name,
                                       const std::shared_ptr<NSObject>& object,
                                       NSNotificationBlock block) {
  if (!block) return;
  std::lock_guard<std::mutex> lock(mutex_);
  entries_.push_back(Entry{observer, name, object, object != nullptr,
                           std::make_shared<NSNotificationBlock>(std::move(block)),
                           std::make_shared<std::atomic<bool>>(true)});
}

NSObserverToken NSNotificationCenter::addObserverForName(const std::string& name,
                                                         const std::shared_ptr<NSObject>& object,
                                                         NSNotificationBlock block) {
  auto token = std::make_shared<Token>();
  addObserver(token.get(), name, object, std::move(block));
  return token;
}

void NSNotificationCenter::removeWhere(const std::function<bool(const Entry&)>& match) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(entries_, [&](const Entry& e) {
    if (!match(e)) return false;
    e.live->store(false);
    return true;
  });
}

void NSNotificationCenter::removeObserver(const void* observer) {
  removeWhere([&](const Entry& e) { return e.observer == observer; });
}

void NSNotificationCenter::removeObserver(const void* observer, const std::string& name) {
  removeWhere([&](const Entry& e) { return e.observer == observer && e.name == name; });
}

void NSNotificationCenter::removeObserver(const NSObserverToken& token) {
  if (token) removeObserver(token.get());
}

void NSNotificationCenter::postNotification(const NSNotification& notification) {
  std::vector<std::pair<std::shared_ptr<NSNotificationBlock>, std::shared_ptr<std::atomic<bool>>>>
      matched;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Entry& e : entries_) {
      if (!e.name.empty() && e.name != notification.name) continue;
      if (e.hasObject) {
        auto filter = e.object.lock();
        if (!filter || filter != notification.object) continue;
      }
      matched.emplace_back(e.block, e.live);
    }
  }
  // Called outside the lock: observers may add or remove observers. One
  // removed meanwhile (perhaps being destroyed) is not called any more.
  for (auto& [block, live] : matched) {
    if (live->load()) (*block)(notification);
  }
}

void NSNotificationCenter::postNotificationName(const std::string& name,
                                                const std::shared_ptr<NSObject>& object) {
  postNotificationName(name, object, Value());
}

void NSNotificationCenter::postNotificationName(const std::string& name,
                                                const std::shared_ptr<NSObject>& object,
                                                Value userInfo) {
  postNotification(NSNotification{name, object, std::move(userInfo)});
}
