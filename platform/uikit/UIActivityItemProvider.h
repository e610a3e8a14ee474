#pragma once

// A share-sheet item whose data is made only when an activity asks for it:
// the sheet shows the placeholder until then, and the first request runs
// `item()` once (the provider's work) before answering with its result.

#include <optional>

#include "UIActivityItemSource.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/Value.h"

class UIActivityItemProvider : public NSObject, public UIActivityItemSource {
 public:
  explicit UIActivityItemProvider(Value placeholderItem)
      : placeholderItem_(std::move(placeholderItem)) {}

  const Value& placeholderItem() const { return placeholderItem_; }
  // The activity being prepared for, while `item()` runs.
  std::optional<UIActivityType> activityType() const;

  // The work: makes the item. Runs once, on the first request.
  virtual Value item() = 0;

  Value activityViewControllerPlaceholderItem(UIActivityViewController&) override {
    return placeholderItem_;
  }
  // Runs the work once, then answers through itemForActivityType().
  Value activityViewControllerItemForActivityType(
      UIActivityViewController& controller,
      const std::optional<UIActivityType>& activityType) final;

 protected:
  // What an activity receives once the work ran: by default its result.
  virtual Value itemForActivityType(UIActivityViewController& controller,
                                    const std::optional<UIActivityType>& activityType);

 private:
  Value placeholderItem_;
  mutable Mutex mutex_;  // guards activityType_, ran_ and result_
  std::optional<UIActivityType> activityType_ GUARDED_BY(mutex_);
  bool ran_ GUARDED_BY(mutex_) = false;
  Value result_ GUARDED_BY(mutex_);
};
