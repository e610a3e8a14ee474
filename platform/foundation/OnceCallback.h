#pragma once

// Move-only callables. `UniqueFunction` is a type-erased callable that may own
// move-only state (C++20 has no move_only_function). `OnceCallback` is a
// completion that is consumed by its call: calling it a second time is a bug
// in the caller, a fatal stop in checked builds and a logged error in release.
// An empty callback (a nil block) does nothing when called, so callers need no
// check before calling; `explicit operator bool` tells whether one was given.

#include <atomic>
#include <memory>
#include <type_traits>
#include <utility>

template <typename Sig>
class UniqueFunction;

template <typename R, typename... Args>
class UniqueFunction<R(Args...)> {
 public:
  UniqueFunction() = default;
  UniqueFunction(std::nullptr_t) {}
  template <typename F, typename = std::enable_if_t<
                            !std::is_same_v<std::decay_t<F>, UniqueFunction> &&
                            std::is_invocable_r_v<R, std::decay_t<F>&, Args...>>>
  UniqueFunction(F&& f) {
    // An empty std::function or a null pointer stays empty. A function named
    // directly is tested through a pointer variable: testing its address
    // itself draws -Waddress.
    using D = std::decay_t<F>;
    if constexpr (std::is_pointer_v<D> || std::is_member_pointer_v<D>) {
      D pointer = f;
      if (pointer == nullptr) return;
    } else if constexpr (std::is_constructible_v<bool, const D&>) {
      if (!static_cast<bool>(f)) return;
    }
    impl_ = std::make_unique<Model<std::decay_t<F>>>(std::forward<F>(f));
  }
  UniqueFunction(UniqueFunction&&) noexcept = default;
  UniqueFunction& operator=(UniqueFunction&&) noexcept = default;
  UniqueFunction& operator=(std::nullptr_t) {
    impl_.reset();
    return *this;
  }

  R operator()(Args... args) const { return impl_->call(std::forward<Args>(args)...); }
  explicit operator bool() const { return static_cast<bool>(impl_); }

 private:
  struct Concept {
    virtual ~Concept() = default;
    virtual R call(Args... args) = 0;
  };
  template <typename F>
  struct Model final : Concept {
    explicit Model(F f) : fn(std::move(f)) {}
    R call(Args... args) override { return fn(std::forward<Args>(args)...); }
    F fn;
  };
  std::unique_ptr<Concept> impl_;
};

// Reports a second call of a once-only callback (see above): the one policy
// for every completion that must run once. `what` names the callback.
void ReportOnceCallbackReuse(const char* what = "A once-only callback");

template <typename Sig>
class OnceCallback;

template <typename... Args>
class OnceCallback<void(Args...)> {
 public:
  OnceCallback() = default;
  OnceCallback(std::nullptr_t) {}
  template <typename F, typename = std::enable_if_t<
                            !std::is_same_v<std::decay_t<F>, OnceCallback> &&
                            std::is_invocable_v<std::decay_t<F>&, Args...>>>
  OnceCallback(F&& f) : fn_(std::forward<F>(f)) {}
  OnceCallback(OnceCallback&& other) noexcept
      : fn_(std::move(other.fn_)), consumed_(other.consumed_) {
    other.fn_ = nullptr;
  }
  OnceCallback& operator=(OnceCallback&& other) noexcept {
    fn_ = std::move(other.fn_);
    consumed_ = other.consumed_;
    other.fn_ = nullptr;
    return *this;
  }

  // Runs the callback and consumes it. The callable is moved out first, so a
  // call that re-enters through the same callback is seen as a second call
  // and what it captured dies when the call returns.
  void operator()(Args... args) {
    if (consumed_) {
      ReportOnceCallbackReuse();
      return;
    }
    if (!fn_) return;
    consumed_ = true;
    UniqueFunction<void(Args...)> fn = std::move(fn_);
    fn_ = nullptr;
    fn(std::forward<Args>(args)...);
  }

  explicit operator bool() const { return static_cast<bool>(fn_); }
  bool isConsumed() const { return consumed_; }

 private:
  UniqueFunction<void(Args...)> fn_;
  bool consumed_ = false;
};

using OnceClosure = OnceCallback<void()>;

// A once-only callback split between racing paths (an answer and its
// timeout, a cancel and a finish): every copy may try to run it, exactly one
// does, and the others learn they lost. Whichever copy goes last lets the
// callback go unrun when none ran it, as a dropped once-only callback does.
// A call that loses is not a reuse: losing is what a racing path expects.
template <typename Sig>
class SharedOnceCallback;

template <typename... Args>
class SharedOnceCallback<void(Args...)> {
 public:
  using Callback = OnceCallback<void(Args...)>;

  SharedOnceCallback() = default;
  explicit SharedOnceCallback(Callback callback)
      : state_(std::make_shared<State>(std::move(callback))) {}

  // Runs the callback unless a copy already claimed it. True when this call
  // won the race (an empty callback is won and does nothing).
  bool tryRun(Args... args) const {
    Callback callback;
    if (!claim(&callback)) return false;
    callback(std::forward<Args>(args)...);
    return true;
  }
  // The same for a path that need not know whether it won.
  void operator()(Args... args) const { tryRun(std::forward<Args>(args)...); }

  // Claims the callback without running it, for a winner that hands it on
  // (to another queue). False, and `out` left alone, for a loser.
  bool claim(Callback* out) const {
    if (!state_ || state_->claimed.exchange(true, std::memory_order_acq_rel)) return false;
    *out = std::move(state_->callback);
    return true;
  }

  // True once a copy has claimed the callback. Racing paths use the answer
  // of operator() or claim(); this is for a path that only gives up early.
  bool isClaimed() const { return !state_ || state_->claimed.load(std::memory_order_acquire); }
  // Whether a callback (not a nil block) was given.
  explicit operator bool() const { return state_ && state_->given; }

 private:
  struct State {
    explicit State(Callback c) : callback(std::move(c)), given(static_cast<bool>(callback)) {}
    std::atomic<bool> claimed{false};
    Callback callback;  // taken only by the copy that sets `claimed`
    const bool given;
  };
  std::shared_ptr<State> state_;
};

template <typename... Args>
SharedOnceCallback<void(Args...)> SplitOnceCallback(OnceCallback<void(Args...)> callback) {
  return SharedOnceCallback<void(Args...)>(std::move(callback));
}
