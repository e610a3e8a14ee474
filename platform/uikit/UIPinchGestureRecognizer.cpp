#include "UIPinchGestureRecognizer.h"

#include <cmath>

#include "UITouch.h"
#include "platform/foundation/ThreadChecks.h"

using State = UIGestureRecognizerState;

double UIPinchGestureRecognizer::spread() const {
  if (touches().size() < 2) return 0;
  CGPoint a = touches()[0]->locationInView(nullptr);
  CGPoint b = touches()[1]->locationInView(nullptr);
  return std::hypot(a.x - b.x, a.y - b.y);
}

void UIPinchGestureRecognizer::setScale(double scale) {
  QX_DCHECK_MAIN_THREAD();
  scale_ = scale;
  double d = spread();
  if (d > 0 && scale > 0) startSpread_ = d / scale;
}

void UIPinchGestureRecognizer::touchesBegan(const UITouchSet& touches, UIEvent*) {
  lastTime_ = (*touches.begin())->timestamp();
  if (startSpread_ == 0 && this->touches().size() >= 2) startSpread_ = spread() / scale_;
}

void UIPinchGestureRecognizer::touchesMoved(const UITouchSet& touches, UIEvent*) {
  double d = spread();
  if (startSpread_ <= 0 || d <= 0) return;
  double time = (*touches.begin())->timestamp();
  double scale = d / startSpread_;
  if (state() == State::Possible) {
    if (std::fabs(d - startSpread_ * scale_) < kHysteresis) return;
    velocity_ = 0;
    scale_ = scale;
    lastTime_ = time;
    setState(State::Began);
    return;
  }
  if (time > lastTime_) velocity_ = (scale - scale_) / (time - lastTime_);
  scale_ = scale;
  lastTime_ = time;
  if (state() == State::Began || state() == State::Changed) setState(State::Changed);
}

void UIPinchGestureRecognizer::touchesEnded(const UITouchSet&, UIEvent*) {
  if (state() == State::Began || state() == State::Changed) {
    setState(State::Ended);
  } else if (state() == State::Possible) {
    setState(State::Failed);
  }
}

void UIPinchGestureRecognizer::reset() {
  UIGestureRecognizer::reset();
  scale_ = 1;
  velocity_ = 0;
  startSpread_ = 0;
}
