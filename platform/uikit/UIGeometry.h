#pragma once

// Insets and the key-value form of geometry values, for the observable
// geometry of views (scroll offsets, content sizes, preferred sizes).

#include "platform/coregraphics/CGGeometry.h"
#include "platform/foundation/ValueFwd.h"

struct UIEdgeInsets {
  double top = 0;
  double left = 0;
  double bottom = 0;
  double right = 0;
  bool operator==(const UIEdgeInsets&) const = default;
};

inline constexpr UIEdgeInsets UIEdgeInsetsZero{};
inline UIEdgeInsets UIEdgeInsetsMake(double top, double left, double bottom, double right) {
  return {top, left, bottom, right};
}
CGRect UIEdgeInsetsInsetRect(const CGRect& rect, const UIEdgeInsets& insets);
UIEdgeInsets UIEdgeInsetsAdd(const UIEdgeInsets& a, const UIEdgeInsets& b);

// Observers receive points as {x, y}, sizes as {width, height} and insets as
// {top, left, bottom, right}.
void KVOStore(Value& out, const CGPoint& p);
void KVOStore(Value& out, const CGSize& s);
void KVOStore(Value& out, const UIEdgeInsets& i);
