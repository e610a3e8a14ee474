#include "AKImagePickerController/data/AKImageBaseManager.h"

#include <map>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/Value.h"

namespace {

Mutex& selectorsMutex() {
  static Mutex m;
  return m;
}

std::map<std::string, AKImageBaseManager::Invoker>& selectors() REQUIRES(selectorsMutex()) {
  static std::map<std::string, AKImageBaseManager::Invoker> table;
  return table;
}

AKImageBaseManager::Invoker invokerFor(const std::string& selector) {
  MutexLock lock(selectorsMutex());
  auto it = selectors().find(selector);
  return it == selectors().end() ? nullptr : it->second;
}

}  // namespace

void AKImageBaseManager::registerSelector(const std::string& selector, Invoker invoker) {
  MutexLock lock(selectorsMutex());
  selectors()[selector] = std::move(invoker);
}

void AKImageBaseManager::add(const std::shared_ptr<NSObject>& observer) {
  if (!observer) return;
  MutexLock lock(mutex_);
  std::erase_if(observers_, [](auto& weak) { return weak.expired(); });
  for (auto& weak : observers_) {
    if (weak.lock() == observer) return;
  }
  observers_.push_back(observer);
}

void AKImageBaseManager::remove(const std::shared_ptr<NSObject>& observer) {
  MutexLock lock(mutex_);
  std::erase_if(observers_, [&](auto& weak) {
    auto strong = weak.lock();
    return !strong || strong == observer;
  });
}

std::vector<std::shared_ptr<NSObject>> AKImageBaseManager::liveObservers() const {
  std::vector<std::shared_ptr<NSObject>> live;
  MutexLock lock(mutex_);
  for (auto& weak : observers_) {
    if (auto strong = weak.lock()) live.push_back(std::move(strong));
  }
  return live;
}

size_t AKImageBaseManager::observerCount() const { return liveObservers().size(); }

void AKImageBaseManager::notify(const std::string& selector, const Value& object) {
  notify(selector, object, Value());
}

void AKImageBaseManager::deliver(const std::vector<std::shared_ptr<NSObject>>& observers,
                                 const std::string& selector, const Value& one, const Value& two) {
  Invoker invoker = invokerFor(selector);
  if (!invoker) return;
  for (auto& observer : observers) invoker(*observer, one, two);
}

void AKImageBaseManager::notify(const std::string& selector, const Value& object,
                                const Value& objectTwo) {
  if (liveObservers().empty()) return;
  // The hub is held until delivery; the snapshot of observers is taken then,
  // so one added meanwhile is reached and one freed meanwhile is not.
  auto self = std::static_pointer_cast<AKImageBaseManager>(shared_from_this());
  dispatch_main_now_or_async([self, selector, object, objectTwo] {
    deliver(self->liveObservers(), selector, object, objectTwo);
  });
}
