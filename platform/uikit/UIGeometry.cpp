#include "UIGeometry.h"

CGRect UIEdgeInsetsInsetRect(const CGRect& rect, const UIEdgeInsets& insets) {
  CGRect r = CGRectStandardize(rect);
  return CGRectMake(r.origin.x + insets.left, r.origin.y + insets.top,
                    r.size.width - insets.left - insets.right,
                    r.size.height - insets.top - insets.bottom);
}

UIEdgeInsets UIEdgeInsetsAdd(const UIEdgeInsets& a, const UIEdgeInsets& b) {
  return {a.top + b.top, a.left + b.left, a.bottom + b.bottom, a.right + b.right};
}

Value KVOValue(const CGPoint& p) { return Value::map({{"x", p.x}, {"y", p.y}}); }

Value KVOValue(const CGSize& s) {
  return Value::map({{"width", s.width}, {"height", s.height}});
}

Value KVOValue(const UIEdgeInsets& i) {
  return Value::map({{"top", i.top}, {"left", i.left}, {"bottom", i.bottom}, {"right", i.right}});
}
