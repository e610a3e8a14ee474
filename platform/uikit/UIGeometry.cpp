#include "platform/uikit/UIGeometry.h"

#include "platform/foundation/Value.h"

CGRect UIEdgeInsetsInsetRect(const CGRect& rect, const UIEdgeInsets& insets) {
  CGRect r = CGRectStandardize(rect);
  return CGRectMake(r.origin.x + insets.left, r.origin.y + insets.top,
                    r.size.width - insets.left - insets.right,
                    r.size.height - insets.top - insets.bottom);
}

UIEdgeInsets UIEdgeInsetsAdd(const UIEdgeInsets& a, const UIEdgeInsets& b) {
  return {a.top + b.top, a.left + b.left, a.bottom + b.bottom, a.right + b.right};
}

void KVOStore(Value& out, const CGPoint& p) { out = Value::map({{"x", p.x}, {"y", p.y}}); }

void KVOStore(Value& out, const CGSize& s) {
  out = Value::map({{"width", s.width}, {"height", s.height}});
}

void KVOStore(Value& out, const UIEdgeInsets& i) {
  out = Value::map({{"top", i.top}, {"left", i.left}, {"bottom", i.bottom}, {"right", i.right}});
}
