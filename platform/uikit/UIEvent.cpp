#include "UIEvent.h"

#include <algorithm>

#include "UIGestureRecognizer.h"
#include "UITouch.h"
#include "UIWindow.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/foundation/ThreadChecks.h"

CGPoint UIWindowPointToView(const std::shared_ptr<UIWindow>& window, const CGPoint& point,
                            const UIView* view) {
  if (!window || !view || view == window.get()) return point;
  return window->convertPointToView(point, view);
}

UITouch::UITouch(const std::shared_ptr<UIWindow>& window, const CGPoint& locationInWindow,
                 double timestamp, int64_t tapCount)
    : window_(window),
      location_(locationInWindow),
      previous_(locationInWindow),
      timestamp_(timestamp),
      tapCount_(tapCount) {}

CGPoint UITouch::locationInView(const UIView* view) const {
  return UIWindowPointToView(window(), location_, view);
}

CGPoint UITouch::previousLocationInView(const UIView* view) const {
  return UIWindowPointToView(window(), previous_, view);
}

std::vector<std::shared_ptr<UIGestureRecognizer>> UITouch::gestureRecognizers() const {
  std::vector<std::shared_ptr<UIGestureRecognizer>> out;
  for (auto& weak : recognizers_) {
    if (auto r = weak.lock()) out.push_back(std::move(r));
  }
  return out;
}

void UITouch::moveTo(const CGPoint& locationInWindow, double timestamp) {
  previous_ = location_;
  location_ = locationInWindow;
  timestamp_ = timestamp;
  phase_ = UITouchPhase::Moved;
}

void UITouch::stay(double timestamp) {
  previous_ = location_;
  timestamp_ = timestamp;
  phase_ = UITouchPhase::Stationary;
}

void UITouch::end(double timestamp) {
  previous_ = location_;
  timestamp_ = timestamp;
  phase_ = UITouchPhase::Ended;
}

void UITouch::cancel(double timestamp) {
  previous_ = location_;
  timestamp_ = timestamp;
  phase_ = UITouchPhase::Cancelled;
}

bool UITouch::isHeldBack(UITouchPhase phase) const {
  if (phase != UITouchPhase::Began && phase != UITouchPhase::Ended) return false;
  for (auto& r : gestureRecognizers()) {
    if (!r->holdsTouchBack(*this)) continue;
    if (phase == UITouchPhase::Began ? r->delaysTouchesBegan() : r->delaysTouchesEnded()) {
      return true;
    }
  }
  return false;
}

void UITouch::deliverToView(UITouchPhase phase, UIEvent* event) {
  if (cutOffFromView_) return;
  if (!heldForView_.empty() || isHeldBack(phase)) {
    heldForView_.push_back(phase);
    return;
  }
  sendToView(phase, event);
}

void UITouch::releaseHeld() {
  if (cutOffFromView_ || heldForView_.empty()) return;
  auto self = std::static_pointer_cast<UITouch>(shared_from_this());
  UIEvent event(PlatformClock::now(), {self});
  while (!heldForView_.empty() && !isHeldBack(heldForView_.front())) {
    UITouchPhase phase = heldForView_.front();
    heldForView_.erase(heldForView_.begin());
    sendToView(phase, &event);
  }
}

void UITouch::cutOffFromView() {
  if (cutOffFromView_) return;
  heldForView_.clear();
  if (viewBegan_ && !viewFinished_) {
    auto self = std::static_pointer_cast<UITouch>(shared_from_this());
    UIEvent event(PlatformClock::now(), {self});
    sendToView(UITouchPhase::Cancelled, &event);
  }
  cutOffFromView_ = true;
}

void UITouch::sendToView(UITouchPhase phase, UIEvent* event) {
  auto view = view_.lock();
  if (!view) return;
  UITouchSet touches{std::static_pointer_cast<UITouch>(shared_from_this())};
  switch (phase) {
    case UITouchPhase::Began:
      viewBegan_ = true;
      view->touchesBegan(touches, event);
      break;
    case UITouchPhase::Moved:
      view->touchesMoved(touches, event);
      break;
    case UITouchPhase::Stationary:
      break;
    case UITouchPhase::Ended:
      viewFinished_ = true;
      view->touchesEnded(touches, event);
      break;
    case UITouchPhase::Cancelled:
      viewFinished_ = true;
      view->touchesCancelled(touches, event);
      break;
  }
}

UIEvent::UIEvent(double timestamp, UITouchSet touches)
    : timestamp_(timestamp), touches_(std::move(touches)) {}

UITouchSet UIEvent::touchesForView(const UIView* view) const {
  UITouchSet out;
  for (auto& t : touches_) {
    if (t->view().get() == view) out.insert(t);
  }
  return out;
}

UITouchSet UIEvent::touchesForGestureRecognizer(const UIGestureRecognizer* recognizer) const {
  UITouchSet out;
  for (auto& t : touches_) {
    for (auto& r : t->gestureRecognizers()) {
      if (r.get() == recognizer) out.insert(t);
    }
  }
  return out;
}

namespace {

void addUnique(std::vector<std::shared_ptr<UIGestureRecognizer>>& list,
               const std::shared_ptr<UIGestureRecognizer>& r) {
  if (std::find(list.begin(), list.end(), r) == list.end()) list.push_back(r);
}

}  // namespace

void UIWindow::hitTestNewTouch(const std::shared_ptr<UITouch>& touch) {
  touch->hitTested_ = true;
  if (isTransitioning()) return;
  std::shared_ptr<UIView> hit = hitTest(touch->location_, nullptr);
  if (!hit) hit = std::static_pointer_cast<UIView>(shared_from_this());
  touch->view_ = hit;
  // The hit view's recognizers come first, then its ancestors'.
  for (auto v = hit; v; v = v->superview()) {
    for (auto& r : std::vector<std::shared_ptr<UIGestureRecognizer>>(v->gestureRecognizers())) {
      if (r->acceptsTouch(*touch)) {
        r->attachTouch(touch);
        touch->recognizers_.push_back(r);
      }
    }
  }
}

void UIWindow::sendEvent(UIEvent* event) {
  QX_DCHECK_MAIN_THREAD();
  if (!event) return;
  auto keepAlive = shared_from_this();
  std::vector<std::shared_ptr<UIGestureRecognizer>> involved;
  for (auto& touch : event->allTouches()) {
    if (!touch->hitTested_) hitTestNewTouch(touch);
    for (auto& r : touch->gestureRecognizers()) addUnique(involved, r);
  }
  static constexpr UITouchPhase kOrder[] = {UITouchPhase::Began, UITouchPhase::Moved,
                                            UITouchPhase::Ended, UITouchPhase::Cancelled};
  for (auto& r : involved) {
    for (UITouchPhase phase : kOrder) {
      UITouchSet touches;
      for (auto& t : event->allTouches()) {
        if (t->phase() == phase && r->hasTouch(*t)) touches.insert(t);
      }
      if (!touches.empty()) r->deliver(phase, touches, event);
    }
  }
  for (auto& touch : event->allTouches()) touch->deliverToView(touch->phase(), event);
  for (auto& r : involved) r->afterEvent();
}
