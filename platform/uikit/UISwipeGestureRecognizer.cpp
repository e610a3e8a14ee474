#include "internal/UISwipeGestureRecognizer.h"

#include <cmath>

#include "UITouch.h"

using State = UIGestureRecognizerState;

void UISwipeGestureRecognizer::touchesBegan(const UITouchSet& touches, UIEvent*) {
  if (this->touches().size() > static_cast<size_t>(touchesRequired_)) {
    setState(State::Failed);
    return;
  }
  start_ = locationInView(nullptr);
  startTime_ = (*touches.begin())->timestamp();
}

void UISwipeGestureRecognizer::touchesMoved(const UITouchSet& touches, UIEvent*) {
  if (state() != State::Possible) return;
  if ((*touches.begin())->timestamp() - startTime_ > kMaximumDuration) {
    setState(State::Failed);
    return;
  }
  CGPoint p = locationInView(nullptr);
  double dx = p.x - start_.x;
  double dy = p.y - start_.y;
  struct Axis {
    uint64_t bit;
    double along;
    double across;
  };
  const Axis axes[] = {{UISwipeGestureRecognizerDirectionRight, dx, dy},
                       {UISwipeGestureRecognizerDirectionLeft, -dx, dy},
                       {UISwipeGestureRecognizerDirectionDown, dy, dx},
                       {UISwipeGestureRecognizerDirectionUp, -dy, dx}};
  bool onCourse = false;
  for (const Axis& a : axes) {
    if (!(direction_ & a.bit)) continue;
    if (a.along < -10 || std::fabs(a.across) > std::max(a.along, 0.0) * kMaximumDrift + 10) {
      continue;
    }
    onCourse = true;
    if (a.along >= kMinimumDistance &&
        this->touches().size() == static_cast<size_t>(touchesRequired_)) {
      setState(State::Recognized);
      return;
    }
  }
  if (!onCourse) setState(State::Failed);
}

void UISwipeGestureRecognizer::touchesEnded(const UITouchSet&, UIEvent*) {
  if (state() == State::Possible) setState(State::Failed);
}
