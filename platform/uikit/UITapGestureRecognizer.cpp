#include "UITapGestureRecognizer.h"

#include <cmath>

#include "UITouch.h"

namespace {
double distance(const CGPoint& a, const CGPoint& b) { return std::hypot(a.x - b.x, a.y - b.y); }
}  // namespace

void UITapGestureRecognizer::touchesBegan(const UITouchSet&, UIEvent*) {
  stopTimer();  // the next tap came in time
  size_t down = touches().size();
  if (down > static_cast<size_t>(touchesRequired_)) {
    setState(UIGestureRecognizerState::Failed);
    return;
  }
  if (fingersThisTap_ == 0) tapStart_ = locationInView(nullptr);
  fingersThisTap_ = std::max(fingersThisTap_, down);
}

void UITapGestureRecognizer::touchesMoved(const UITouchSet&, UIEvent*) {
  if (distance(locationInView(nullptr), tapStart_) > kAllowableMovement) {
    setState(UIGestureRecognizerState::Failed);
  }
}

void UITapGestureRecognizer::touchesEnded(const UITouchSet&, UIEvent*) {
  for (auto& t : touches()) {
    if (t->phase() != UITouchPhase::Ended) return;  // the tap is not over yet
  }
  if (fingersThisTap_ != static_cast<size_t>(touchesRequired_)) {
    setState(UIGestureRecognizerState::Failed);
    return;
  }
  fingersThisTap_ = 0;
  if (++tapsDone_ >= tapsRequired_) {
    setState(UIGestureRecognizerState::Recognized);
    return;
  }
  startTimer(kMaximumTapInterval,
             [](UIGestureRecognizer& g) { static_cast<UITapGestureRecognizer&>(g).setState(
                                              UIGestureRecognizerState::Failed); });
}

void UITapGestureRecognizer::reset() {
  UIGestureRecognizer::reset();
  tapsDone_ = 0;
  fingersThisTap_ = 0;
}
