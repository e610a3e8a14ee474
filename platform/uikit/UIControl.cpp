#include "UIControl.h"

#include <algorithm>

#include "UITapGestureRecognizer.h"
#include "UITouch.h"
#include "platform/foundation/ThreadChecks.h"

void UIControl::addTarget(const std::shared_ptr<NSObject>& target, Action action,
                          uint64_t events) {
  QX_DCHECK_MAIN_THREAD();
  if (!target || !action || events == 0) return;
  targets_.push_back({target, target.get(), std::move(action), events});
}

void UIControl::removeTarget(const NSObject* target, uint64_t events) {
  QX_DCHECK_MAIN_THREAD();
  for (auto& t : targets_) {
    if (!target || t.identity == target) t.events &= ~events;
  }
  std::erase_if(targets_, [](const Target& t) { return t.events == 0; });
}

std::vector<std::shared_ptr<NSObject>> UIControl::allTargets() const {
  std::vector<std::shared_ptr<NSObject>> out;
  for (auto& t : targets_) {
    auto alive = t.target.lock();
    if (alive && std::find(out.begin(), out.end(), alive) == out.end()) out.push_back(alive);
  }
  return out;
}

uint64_t UIControl::allControlEvents() const {
  uint64_t events = 0;
  for (auto& t : targets_) events |= t.events;
  return events;
}

void UIControl::sendActions(uint64_t events, UIEvent* event) {
  auto keepAlive = shared_from_this();
  auto targets = targets_;
  for (auto& t : targets) {
    if (!(t.events & events)) continue;
    if (auto alive = t.target.lock()) t.action(*this, event);
  }
}

void UIControl::sendActionsForControlEvents(uint64_t events) {
  QX_DCHECK_MAIN_THREAD();
  sendActions(events, nullptr);
}

void UIControl::setEnabled(bool enabled) {
  QX_DCHECK_MAIN_THREAD();
  if (enabled_ == enabled) return;
  enabled_ = enabled;
  if (!enabled && tracking_) cancelTrackingWithEvent(nullptr);
  if (!enabled) {
    tracking_ = false;
    touch_.reset();
    highlighted_ = false;
  }
  stateDidChange();
}

void UIControl::setSelected(bool selected) {
  QX_DCHECK_MAIN_THREAD();
  if (selected_ == selected) return;
  selected_ = selected;
  stateDidChange();
}

void UIControl::setHighlighted(bool highlighted) {
  QX_DCHECK_MAIN_THREAD();
  if (highlighted_ == highlighted) return;
  highlighted_ = highlighted;
  stateDidChange();
}

uint64_t UIControl::state() const {
  uint64_t s = UIControlStateNormal;
  if (highlighted_) s |= UIControlStateHighlighted;
  if (!enabled_) s |= UIControlStateDisabled;
  if (selected_) s |= UIControlStateSelected;
  return s;
}

bool UIControl::beginTrackingWithTouch(UITouch&, UIEvent*) { return true; }
bool UIControl::continueTrackingWithTouch(UITouch&, UIEvent*) { return true; }
void UIControl::endTrackingWithTouch(UITouch*, UIEvent*) {}
void UIControl::cancelTrackingWithEvent(UIEvent*) {}

bool UIControl::insideWithSlop(const UITouch& touch) const {
  return CGRectContainsPoint(CGRectInset(bounds(), -kTouchSlop, -kTouchSlop),
                             touch.locationInView(this));
}

void UIControl::touchesBegan(const UITouchSet& touches, UIEvent* event) {
  if (!enabled_ || touch_) {
    if (!enabled_) UIView::touchesBegan(touches, event);
    return;
  }
  touch_ = *touches.begin();
  touchInside_ = true;
  tracking_ = beginTrackingWithTouch(*touch_, event);
  setHighlighted(true);
  uint64_t events = UIControlEventTouchDown;
  if (touch_->tapCount() > 1) events |= UIControlEventTouchDownRepeat;
  sendActions(events, event);
}

void UIControl::touchesMoved(const UITouchSet& touches, UIEvent* event) {
  if (!touch_ || !touches.count(touch_)) {
    if (!enabled_) UIView::touchesMoved(touches, event);
    return;
  }
  bool wasInside = touchInside_;
  touchInside_ = insideWithSlop(*touch_);
  if (tracking_) tracking_ = continueTrackingWithTouch(*touch_, event);
  setHighlighted(touchInside_);
  uint64_t events = touchInside_ ? UIControlEventTouchDragInside : UIControlEventTouchDragOutside;
  if (wasInside != touchInside_) {
    events |= touchInside_ ? UIControlEventTouchDragEnter : UIControlEventTouchDragExit;
  }
  sendActions(events, event);
}

void UIControl::touchesEnded(const UITouchSet& touches, UIEvent* event) {
  if (!touch_ || !touches.count(touch_)) {
    if (!enabled_) UIView::touchesEnded(touches, event);
    return;
  }
  auto touch = std::move(touch_);
  touch_.reset();
  touchInside_ = insideWithSlop(*touch);
  setHighlighted(false);
  if (tracking_) endTrackingWithTouch(touch.get(), event);
  tracking_ = false;
  uint64_t events = touchInside_ ? UIControlEventTouchUpInside : UIControlEventTouchUpOutside;
  sendActions(events, event);
  touchInside_ = false;
}

void UIControl::touchesCancelled(const UITouchSet& touches, UIEvent* event) {
  if (!touch_ || !touches.count(touch_)) {
    if (!enabled_) UIView::touchesCancelled(touches, event);
    return;
  }
  touch_.reset();
  setHighlighted(false);
  if (tracking_) cancelTrackingWithEvent(event);
  tracking_ = false;
  touchInside_ = false;
  sendActions(UIControlEventTouchCancel, event);
}

bool UIControlOverridesTap(const UIControl& control, UIGestureRecognizer& recognizer) {
  auto* tap = dynamic_cast<UITapGestureRecognizer*>(&recognizer);
  return tap && tap->numberOfTapsRequired() == 1 && tap->numberOfTouchesRequired() == 1 &&
         tap->view().get() != &control;
}
