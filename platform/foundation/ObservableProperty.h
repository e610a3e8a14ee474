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
// A property's value reaches observers as a Value stored by
// KVOStore(Value&, const T&), found by argument-dependent lookup next to T
// (overloads for the basic types are below; enums convert to their integer).
// The conversions are out of line and take the Value by reference, so that
// this header, which every view includes, needs only the name of Value.

#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

#include "KeyValueObserving.h"
#include "ValueFwd.h"

void KVOStore(Value& out, bool v);
void KVOStore(Value& out, int32_t v);
void KVOStore(Value& out, int64_t v);
void KVOStore(Value& out, double v);
void KVOStore(Value& out, const std::string& v);
void KVOStore(Value& out, const Value& v);

class ObservablePropertyBase {
 public:
  ObservablePropertyBase(const ObservablePropertyBase&) = delete;
  ObservablePropertyBase& operator=(const ObservablePropertyBase&) = delete;

  const char* key() const { return key_; }
  Value kvoValue() const;

 protected:
  // `key` must outlive the owner (a string literal).
  ObservablePropertyBase(NSKeyValueObservable* owner, const char* key)
      : owner_(owner), key_(key), next_(owner->properties_) {
    owner->properties_ = this;
  }
  ~ObservablePropertyBase() = default;

  void willChange() { owner_->willChangeValueForKey(key_); }
  void didChange() { owner_->didChangeValueForKey(key_); }
  virtual void storeKVOValue(Value& out) const = 0;

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

 private:
  void storeKVOValue(Value& out) const override {
    if constexpr (std::is_enum_v<T>) {
      KVOStore(out, static_cast<int64_t>(value_));
    } else {
      KVOStore(out, value_);
    }
  }

  T value_;
};
