#include "platform/uikit/UIActivityItemProvider.h"

#include "platform/foundation/Mutex.h"

std::optional<UIActivityType> UIActivityItemProvider::activityType() const {
  MutexLock lock(mutex_);
  return activityType_;
}

Value UIActivityItemProvider::activityViewControllerItemForActivityType(
    UIActivityViewController& controller, const std::optional<UIActivityType>& activityType) {
  bool run;
  {
    MutexLock lock(mutex_);
    run = !ran_;
    ran_ = true;
    activityType_ = activityType;
  }
  if (run) {
    Value made = item();
    MutexLock lock(mutex_);
    result_ = std::move(made);
  }
  return itemForActivityType(controller, activityType);
}

Value UIActivityItemProvider::itemForActivityType(UIActivityViewController&,
                                                  const std::optional<UIActivityType>&) {
  MutexLock lock(mutex_);
  return result_;
}
