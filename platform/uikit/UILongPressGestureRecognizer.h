#pragma once

// Begins once the fingers stayed down, without sliding far, for
// minimumPressDuration on the platform clock; changes as they move and ends
// when they lift.

#include "UIGestureRecognizer.h"
#include "platform/foundation/ThreadChecks.h"

class UILongPressGestureRecognizer : public UIGestureRecognizer {
 public:
  double minimumPressDuration() const { return minimumPressDuration_; }
  void setMinimumPressDuration(double d) {
    QX_DCHECK_MAIN_THREAD();
    minimumPressDuration_ = d < 0 ? 0 : d;
  }
  double allowableMovement() const { return allowableMovement_; }
  void setAllowableMovement(double m) {
    QX_DCHECK_MAIN_THREAD();
    allowableMovement_ = m;
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
  void pressed();

  double minimumPressDuration_ = 0.5;
  double allowableMovement_ = 10;
  int64_t touchesRequired_ = 1;
  CGPoint start_;
};
