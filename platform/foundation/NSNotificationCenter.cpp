#include "NSNotificationCenter.h"

#include <algorithm>

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
                           std::make_shared<NSNotificationBlock>(std::move(block))});
}

NSObserverToken NSNotificationCenter::addObserverForName(const std::string& name,
                                                         const std::shared_ptr<NSObject>& object,
                                                         NSNotificationBlock block) {
  auto token = std::make_shared<Token>();
  addObserver(token.get(), name, object, std::move(block));
  return token;
}

void NSNotificationCenter::removeObserver(const void* observer) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(entries_, [&](const Entry& e) { return e.observer == observer; });
}

void NSNotificationCenter::removeObserver(const void* observer, const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::erase_if(entries_,
                [&](const Entry& e) { return e.observer == observer && e.name == name; });
}

void NSNotificationCenter::removeObserver(const NSObserverToken& token) {
  if (token) removeObserver(token.get());
}

void NSNotificationCenter::postNotification(const NSNotification& notification) {
  std::vector<std::shared_ptr<NSNotificationBlock>> matched;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Entry& e : entries_) {
      if (!e.name.empty() && e.name != notification.name) continue;
      if (e.hasObject) {
        auto filter = e.object.lock();
        if (!filter || filter != notification.object) continue;
      }
      matched.push_back(e.block);
    }
  }
  // Called outside the lock: observers may add or remove observers.
  for (auto& block : matched) (*block)(notification);
}

void NSNotificationCenter::postNotificationName(const std::string& name,
                                                const std::shared_ptr<NSObject>& object,
                                                Value userInfo) {
  postNotification(NSNotification{name, object, std::move(userInfo)});
}
