#pragma once

// A typed property that key-value observers can watch. It belongs to an
// NSKeyValueObservable owner, answers valueForKey() for its key, and set()
// announces will/did change for that key around the assignment, so
// observers hear of every setting synchronously on the setting thread, as
// with the platform's automatic notifications. The owner stays small: the
// observer registry is made only when someone observes.
//
//   class Scroller : public NSKeyValueObservable {
//     ObservableProperty<CGPoint> contentOffset_{this, "contentOffset"};
//   };
//
// A property's value reaches observers as a Value through KVOValue(const T&),
// found by argument-dependent lookup next to T (overloads for the basic types
// are below; enums convert to their integer).

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

#include "KeyValueObserving.h"
#include "Value.h"

inline Value KVOValue(bool v) { return Value(v); }
inline Value KVOValue(int32_t v) { return Value(v); }
inline Value KVOValue(int64_t v) { return Value(v); }
inline Value KVOValue(double v) { return Value(v); }
inline Value KVOValue(const std::string& v) { return Value(v); }
inline Value KVOValue(const Value& v) { return v; }

class ObservablePropertyBase {
 public:
  ObservablePropertyBase(const ObservablePropertyBase&) = delete;
  ObservablePropertyBase& operator=(const ObservablePropertyBase&) = delete;

  const char* key() const { return key_; }
  virtual Value kvoValue() const = 0;

 protected:
  // `key` must outlive the owner (a string literal).
  ObservablePropertyBase(NSKeyValueObservable* owner, const char* key)
      : owner_(owner), key_(key), next_(owner->properties_) {
    owner->properties_ = this;
  }
  ~ObservablePropertyBase() = default;

  void willChange() { owner_->willChangeValueForKey(key_); }
  void didChange() { owner_->didChangeValueForKey(key_); }

 private:
  friend class NSKeyValueObservable;
  NSKeyValueObservable* owner_;
  const char* key_;
  ObservablePropertyBase* next_;
};

template <typename T>
class ObservableProperty final : public ObservablePropertyBase {
 public:
  ObservableProperty(NSKeyValueObservable* owner, const char* key, T initial = T())
      : ObservablePropertyBase(owner, key), value_(std::move(initial)) {}

  const T& get() const { return value_; }
  operator const T&() const { return value_; }

  // Every setting is announced, equal values too, as the platform's setters do.
  void set(T value) {
    willChange();
    value_ = std::move(value);
    didChange();
  }
  Value kvoValue() const override {
    if constexpr (std::is_enum_v<T>) {
      return Value(static_cast<int64_t>(value_));
    } else {
      return KVOValue(value_);
    }
  }

 private:
  T value_;
};
