#pragma once

// Recognizes when the required number of fingers lift the required number of
// times, each tap close in time to the last and without sliding away.

#include "UIGestureRecognizer.h"
#include "platform/foundation/ThreadChecks.h"

class UITapGestureRecognizer : public UIGestureRecognizer {
 public:
  // How far a finger may slide and still tap, and how long the next tap of a
  // multiple tap may take to come down.
  static constexpr double kAllowableMovement = 10;
  static constexpr double kMaximumTapInterval = 0.35;

  int64_t numberOfTapsRequired() const { return tapsRequired_; }
  void setNumberOfTapsRequired(int64_t n) {
    QX_DCHECK_MAIN_THREAD();
    tapsRequired_ = n < 1 ? 1 : n;
  }
  int64_t numberOfTouchesRequired() const { return touchesRequired_; }
  void setNumberOfTouchesRequired(int64_t n) {
    QX_DCHECK_MAIN_THREAD();
    touchesRequired_ = n < 1 ? 1 : n;
  }

  void touchesBegan(const UITouchSet& touches, UIEvent* event) override;
  void touchesMoved(const UITouchSet& touches, UIEvent* event) override;
  void touchesEnded(const UITouchSet& touches, UIEvent* event) override;

 protected:
  void reset() override;

 private:
  int64_t tapsRequired_ = 1;
  int64_t touchesRequired_ = 1;
  int64_t tapsDone_ = 0;
  size_t fingersThisTap_ = 0;
  CGPoint tapStart_;
};
