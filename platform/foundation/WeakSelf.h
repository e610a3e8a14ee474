#pragma once

// Blocks handed to queues, timers, gestures and notifications must not keep
// their owner alive, nor run after it is gone. `WeakBind(owner, f)` returns a
// callable that locks a weak pointer to the owner on each call and runs
// `f(owner, args...)` only while the owner lives (doing nothing otherwise).
//
//   queue->async(WeakBind(self(), [](MyView& view) { view.reload(); }));
//
// `WeakFromThis(this)` is the typed weak pointer of an object that derives,
// possibly through a base class, from std::enable_shared_from_this.

#include <memory>
#include <type_traits>
#include <utility>

template <typename T>
std::weak_ptr<T> WeakFromThis(T* self) {
  auto shared = self->shared_from_this();
  return std::static_pointer_cast<T>(shared);
}

template <typename T>
std::shared_ptr<T> SharedFromThis(T* self) {
  return std::static_pointer_cast<T>(self->shared_from_this());
}

template <typename T, typename F>
auto WeakBind(std::weak_ptr<T> owner, F f) {
  return [owner = std::move(owner), f = std::move(f)](auto&&... args) mutable {
    if (std::shared_ptr<T> strong = owner.lock()) {
      f(*strong, std::forward<decltype(args)>(args)...);
    }
  };
}

template <typename T, typename F>
auto WeakBind(const std::shared_ptr<T>& owner, F f) {
  return WeakBind(std::weak_ptr<T>(owner), std::move(f));
}

template <typename T, typename F, typename = std::enable_if_t<std::is_class_v<T>>>
auto WeakBind(T* owner, F f) {
  return WeakBind(WeakFromThis(owner), std::move(f));
}
