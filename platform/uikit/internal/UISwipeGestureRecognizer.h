#pragma once

// Recognizes a quick straight slide in one of the permitted directions.

#include "platform/uikit/UIGestureRecognizer.h"
#include "platform/foundation/ThreadChecks.h"

enum UISwipeGestureRecognizerDirection : uint64_t {
  UISwipeGestureRecognizerDirectionRight = 1 << 0,
  UISwipeGestureRecognizerDirectionLeft = 1 << 1,
  UISwipeGestureRecognizerDirectionUp = 1 << 2,
  UISwipeGestureRecognizerDirectionDown = 1 << 3,
};

class UISwipeGestureRecognizer : public UIGestureRecognizer {
 public:
  // The slide must cover kMinimumDistance within kMaximumDuration and keep
  // its sideways drift within kMaximumDrift of its length.
  static constexpr double kMinimumDistance = 50;
  static constexpr double kMaximumDuration = 0.5;
  static constexpr double kMaximumDrift = 0.5;

  uint64_t direction() const { return direction_; }
  void setDirection(uint64_t d) {
    QX_DCHECK_MAIN_THREAD();
    direction_ = d;
  }
  int64_t numberOfTouchesRequired() const { return touchesRequired_; }
  void setNumberOfTouchesRequired(int64_t n) {
    QX_DCHECK_MAIN_THREAD();
    touchesRequired_ = n < 1 ? 1 : n;
  }

  void touchesBegan(const UITouchSet& touches, UIEvent* event) override;
  void touchesMoved(const UITouchSet& touches, UIEvent* event) override;
  void touchesEnded(const UITouchSet& touches, UIEvent* event) override;

 private:
  uint64_t direction_ = UISwipeGestureRecognizerDirectionRight;
  int64_t touchesRequired_ = 1;
  CGPoint start_;
  double startTime_ = 0;
};
