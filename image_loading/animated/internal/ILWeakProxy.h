#pragma once

// Stands in for an object without keeping it alive, so that display links
// and timers, which hold what they call strongly, do not keep their owners.
// While the target lives every message reaches it; once it has gone a
// message does nothing and answers nil, false or 0, and the questions about
// identity (equality, hash, class, description) answer nil or false too.

#include <memory>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/foundation/NSObject.h"

class ILWeakProxy : public NSObject {
 public:
  static std::shared_ptr<ILWeakProxy> proxyWithTarget(const std::shared_ptr<NSObject>& target);
  explicit ILWeakProxy(std::weak_ptr<NSObject> target) : target_(std::move(target)) {}

  // The object messages are forwarded to; nullptr once it has gone.
  std::shared_ptr<NSObject> target() const { return target_.lock(); }

  // Sends `message` to the target when it is a live T, answering its result;
  // otherwise answers the zero value of the result type.
  template <typename T, typename Message>
  auto send(Message&& message) const -> std::invoke_result_t<Message, T&> {
    using Result = std::invoke_result_t<Message, T&>;
    auto strong = std::dynamic_pointer_cast<T>(target_.lock());
    if constexpr (std::is_void_v<Result>) {
      if (strong) message(*strong);
    } else {
      return strong ? message(*strong) : Result{};
    }
  }
  // Whether the target is a live T (respondsToSelector:, isKindOfClass:).
  template <typename T>
  bool targetIsKindOf() const {
    return std::dynamic_pointer_cast<T>(target_.lock()) != nullptr;
  }

  bool isProxy() const { return true; }
  bool isEqual(const NSObject& other) const override;
  size_t hash() const override;
  std::string description() const override;
  // The target's class name; empty once it has gone.
  std::string className() const override;

 private:
  std::weak_ptr<NSObject> target_;
};
