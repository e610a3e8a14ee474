#include "UIPanGestureRecognizer.h"

#include <cmath>

#include "UITouch.h"
#include "UIView.h"
#include "UIWindow.h"
#include "platform/foundation/ThreadChecks.h"

using State = UIGestureRecognizerState;

namespace {
CGPoint toView(const UIView* view, const CGPoint& windowPoint, const UIGestureRecognizer& g) {
  auto w = g.view() ? g.view()->window() : nullptr;
  return UIWindowPointToView(w, windowPoint, view);
}
}  // namespace

CGPoint UIPanGestureRecognizer::centroidOf(bool includeLifted) const {
  CGPoint sum = CGPointZero;
  size_t n = 0;
  for (auto& t : touches()) {
    bool lifted = t->phase() == UITouchPhase::Ended || t->phase() == UITouchPhase::Cancelled;
    if (lifted && !includeLifted) continue;
    CGPoint p = t->locationInView(nullptr);
    sum.x += p.x;
    sum.y += p.y;
    ++n;
  }
  if (n == 0) return centroid_;
  return CGPointMake(sum.x / static_cast<double>(n), sum.y / static_cast<double>(n));
}

void UIPanGestureRecognizer::rebaseTo(const CGPoint& centroid) {
  // A finger coming or going moves the centroid, not the gesture.
  base_.x += centroid.x - centroid_.x;
  base_.y += centroid.y - centroid_.y;
  centroid_ = centroid;
}

void UIPanGestureRecognizer::sample(double time, const CGPoint& p) {
  samples_.emplace_back(time, p);
  while (samples_.size() > 2 && time - samples_.front().first > kVelocityWindow) {
    samples_.pop_front();
  }
}

CGPoint UIPanGestureRecognizer::translationInView(const UIView* view) const {
  CGPoint a = toView(view, base_, *this);
  CGPoint b = toView(view, centroid_, *this);
  return CGPointMake(b.x - a.x, b.y - a.y);
}

void UIPanGestureRecognizer::setTranslation(const CGPoint& translation, const UIView*) {
  QX_DCHECK_MAIN_THREAD();
  base_ = CGPointMake(centroid_.x - translation.x, centroid_.y - translation.y);
}

CGPoint UIPanGestureRecognizer::velocityInView(const UIView*) const {
  if (samples_.size() < 2) return CGPointZero;
  const auto& first = samples_.front();
  const auto& last = samples_.back();
  double dt = last.first - first.first;
  if (dt <= 0) return CGPointZero;
  return CGPointMake((last.second.x - first.second.x) / dt, (last.second.y - first.second.y) / dt);
}

void UIPanGestureRecognizer::touchesBegan(const UITouchSet& touches, UIEvent*) {
  if (this->touches().size() > maxTouches_) {
    if (state() == State::Possible) setState(State::Failed);
    return;
  }
  CGPoint c = centroidOf(false);
  if (!tracking_) {
    tracking_ = true;
    base_ = c;
    centroid_ = c;
  } else {
    rebaseTo(c);
  }
  sample((*touches.begin())->timestamp(), c);
}

void UIPanGestureRecognizer::touchesMoved(const UITouchSet& touches, UIEvent*) {
  centroid_ = centroidOf(false);
  sample((*touches.begin())->timestamp(), centroid_);
  if (state() == State::Possible) {
    double moved = std::hypot(centroid_.x - base_.x, centroid_.y - base_.y);
    if (moved >= kHysteresis && this->touches().size() >= minTouches_) setState(State::Began);
  } else if (state() == State::Began || state() == State::Changed) {
    setState(State::Changed);
  }
}

void UIPanGestureRecognizer::touchesEnded(const UITouchSet& touches, UIEvent*) {
  double time = (*touches.begin())->timestamp();
  bool anyLeft = false;
  for (auto& t : this->touches()) {
    if (t->phase() != UITouchPhase::Ended && t->phase() != UITouchPhase::Cancelled) anyLeft = true;
  }
  if (anyLeft) {
    rebaseTo(centroidOf(false));
    return;
  }
  // A finger that rested before lifting lifts with little velocity.
  sample(time, centroid_);
  if (state() == State::Began || state() == State::Changed) {
    setState(State::Ended);
  } else if (state() == State::Possible) {
    setState(State::Failed);
  }
}

void UIPanGestureRecognizer::reset() {
  UIGestureRecognizer::reset();
  tracking_ = false;
  samples_.clear();
  base_ = centroid_ = CGPointZero;
}

void UIScreenEdgePanGestureRecognizer::touchesBegan(const UITouchSet& touches, UIEvent* event) {
  if (state() == State::Possible && this->touches().size() == touches.size()) {
    auto t = *touches.begin();
    auto w = t->window();
    CGPoint p = t->locationInView(nullptr);
    CGRect b = w ? w->bounds() : CGRectZero;
    bool near = ((edges_ & UIRectEdgeLeft) && p.x - CGRectGetMinX(b) <= kEdgeMargin) ||
                ((edges_ & UIRectEdgeRight) && CGRectGetMaxX(b) - p.x <= kEdgeMargin) ||
                ((edges_ & UIRectEdgeTop) && p.y - CGRectGetMinY(b) <= kEdgeMargin) ||
                ((edges_ & UIRectEdgeBottom) && CGRectGetMaxY(b) - p.y <= kEdgeMargin);
    if (!near) {
      setState(State::Failed);
      return;
    }
  }
  UIPanGestureRecognizer::touchesBegan(touches, event);
}
