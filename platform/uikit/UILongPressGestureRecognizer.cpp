#include "UILongPressGestureRecognizer.h"

#include <cmath>

using State = UIGestureRecognizerState;

void UILongPressGestureRecognizer::touchesBegan(const UITouchSet&, UIEvent*) {
  if (state() != State::Possible) return;
  size_t down = touches().size();
  if (down > static_cast<size_t>(touchesRequired_)) {
    setState(State::Failed);
    return;
  }
  if (down < static_cast<size_t>(touchesRequired_)) return;
  start_ = locationInView(nullptr);
  startTimer(minimumPressDuration_, [](UIGestureRecognizer& g) {
    static_cast<UILongPressGestureRecognizer&>(g).pressed();
  });
}

void UILongPressGestureRecognizer::pressed() {
  if (state() == State::Possible) setState(State::Began);
}

void UILongPressGestureRecognizer::touchesMoved(const UITouchSet&, UIEvent*) {
  if (state() == State::Possible) {
    CGPoint p = locationInView(nullptr);
    if (std::hypot(p.x - start_.x, p.y - start_.y) > allowableMovement_) setState(State::Failed);
  } else if (state() == State::Began || state() == State::Changed) {
    setState(State::Changed);
  }
}

void UILongPressGestureRecognizer::touchesEnded(const UITouchSet&, UIEvent*) {
  if (state() == State::Possible) {
    setState(State::Failed);
  } else if (state() == State::Began || state() == State::Changed) {
    setState(State::Ended);
  }
}
