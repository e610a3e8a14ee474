#include "platform/uikit/UIActivityItemProvider.h"

std::optional<UIActivityType> UIActivityItemProvider::activityType() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return activityType_;
}

Value UIActivityItemProvider::activityViewControllerItemForActivityType(
    UIActivityViewController& controller, const std::optional<UIActivityType>& activityType) {
  bool run;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    run = !ran_;
    ran_ = true;
    activityType_ = activityType;
  }
  if (run) {
    Value made = item();
    std::lock_guard<std::mutex> lock(mutex_);
    result_ = std::move(made);
  }
  return itemForActivityType(controller, activityType);
}

Value UIActivityItemProvider::itemForActivityType(UIActivityViewController&,
                                                  const std::optional<UIActivityType>&) {
  std::lock_guard<std::mutex> lock(mutex_);
  return result_;
}
