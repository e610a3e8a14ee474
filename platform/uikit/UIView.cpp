#include "UIView.h"

#include <algorithm>

#include "UIViewController.h"
#include "UIWindow.h"

UIView::UIView(const CGRect& frame) { setFrame(frame); }

void UIView::setFrame(const CGRect& frame) {
  CGRect f = CGRectStandardize(frame);
  bool resized = f.size.width != frame_.size.width || f.size.height != frame_.size.height;
  frame_ = f;
  bounds_.size = f.size;
  if (resized) setNeedsLayout();
}

void UIView::setBounds(const CGRect& bounds) {
  CGPoint c = center();
  bool resized = bounds.size.width != bounds_.size.width || bounds.size.height != bounds_.size.height;
  bounds_ = bounds;
  frame_ = CGRectMake(c.x - bounds.size.width / 2, c.y - bounds.size.height / 2, bounds.size.width,
                      bounds.size.height);
  if (resized) setNeedsLayout();
}

CGPoint UIView::center() const { return CGPointMake(CGRectGetMidX(frame_), CGRectGetMidY(frame_)); }

void UIView::setCenter(const CGPoint& c) {
  frame_.origin = CGPointMake(c.x - frame_.size.width / 2, c.y - frame_.size.height / 2);
}

void UIView::addSubview(const std::shared_ptr<UIView>& view) {
  insertSubviewAtIndex(view, subviews_.size());
}

void UIView::insertSubviewAtIndex(const std::shared_ptr<UIView>& view, size_t index) {
  if (!view || view.get() == this || isDescendantOfView(view.get())) return;
  if (view->superview().get() == this) {
    std::erase(subviews_, view);
  } else {
    view->removeFromSuperview();
  }
  index = std::min(index, subviews_.size());
  subviews_.insert(subviews_.begin() + static_cast<std::ptrdiff_t>(index), view);
  view->superview_ = std::static_pointer_cast<UIView>(shared_from_this());
  view->didMoveToSuperview();
  view->notifyMovedToWindow();
  setNeedsLayout();
}

void UIView::removeFromSuperview() {
  auto parent = superview_.lock();
  if (!parent) return;
  auto self = std::static_pointer_cast<UIView>(shared_from_this());
  std::erase(parent->subviews_, self);
  superview_.reset();
  parent->setNeedsLayout();
  didMoveToSuperview();
  notifyMovedToWindow();
}

void UIView::notifyMovedToWindow() {
  didMoveToWindow();
  for (auto& v : subviews_) v->notifyMovedToWindow();
}

bool UIView::isDescendantOfView(const UIView* view) const {
  for (const UIView* v = this; v; v = v->superview_.lock().get()) {
    if (v == view) return true;
  }
  return false;
}

std::shared_ptr<UIWindow> UIView::window() const {
  auto parent = superview_.lock();
  return parent ? parent->window() : nullptr;
}

CGPoint UIView::originInRoot(const UIView** root) const {
  // A point p of a view's bounds space lies at p - bounds.origin + frame.origin
  // in its superview's bounds space; the root's bounds space is the reference.
  CGPoint offset = CGPointZero;
  const UIView* v = this;
  std::shared_ptr<UIView> keep;
  while (auto parent = v->superview_.lock()) {
    offset.x += v->frame_.origin.x - v->bounds_.origin.x;
    offset.y += v->frame_.origin.y - v->bounds_.origin.y;
    keep = parent;
    v = keep.get();
  }
  *root = v;
  return offset;
}

CGPoint UIView::convertPointToView(const CGPoint& point, const UIView* view) const {
  const UIView* rootA = nullptr;
  CGPoint a = originInRoot(&rootA);
  CGPoint inRoot = CGPointMake(point.x + a.x, point.y + a.y);
  if (!view) return inRoot;
  const UIView* rootB = nullptr;
  CGPoint b = view->originInRoot(&rootB);
  return CGPointMake(inRoot.x - b.x, inRoot.y - b.y);
}

CGRect UIView::convertRectToView(const CGRect& rect, const UIView* view) const {
  CGRect r = CGRectStandardize(rect);
  CGPoint o = convertPointToView(r.origin, view);
  return CGRect{o, r.size};
}

CGRect UIView::convertRectFromView(const CGRect& rect, const UIView* view) const {
  if (!view) {
    const UIView* root = nullptr;
    CGPoint a = originInRoot(&root);
    CGRect r = CGRectStandardize(rect);
    return CGRectMake(r.origin.x - a.x, r.origin.y - a.y, r.size.width, r.size.height);
  }
  return view->convertRectToView(rect, this);
}

bool UIView::pointInside(const CGPoint& point) const { return CGRectContainsPoint(bounds_, point); }

std::shared_ptr<UIView> UIView::hitTest(const CGPoint& point) {
  if (hidden_ || !userInteractionEnabled_ || alpha_ < 0.01 || !pointInside(point)) return nullptr;
  for (auto it = subviews_.rbegin(); it != subviews_.rend(); ++it) {
    const auto& sub = *it;
    CGPoint p = CGPointMake(point.x - bounds_.origin.x - sub->frame_.origin.x + sub->bounds_.origin.x,
                            point.y - bounds_.origin.y - sub->frame_.origin.y + sub->bounds_.origin.y);
    if (auto hit = sub->hitTest(p)) return hit;
  }
  return std::static_pointer_cast<UIView>(shared_from_this());
}

void UIView::layoutIfNeeded() {
  if (needsLayout_) {
    needsLayout_ = false;
    layoutSubviews();
  }
  for (auto& v : std::vector<std::shared_ptr<UIView>>(subviews_)) v->layoutIfNeeded();
}

std::shared_ptr<UIResponder> UIView::nextResponder() const {
  if (auto controller = owningViewController()) return controller;
  return superview();
}
