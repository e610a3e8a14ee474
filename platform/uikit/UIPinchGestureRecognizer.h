#pragma once

// Two fingers: begins once their distance changed by a few points and
// reports the scale relative to the distance they came down at.

#include "UIGestureRecognizer.h"

class UIPinchGestureRecognizer : public UIGestureRecognizer {
 public:
  static constexpr double kHysteresis = 8;

  double scale() const { return scale_; }
  // Later changes are measured relative to this scale.
  void setScale(double scale);
  // Scale per second.
  double velocity() const { return velocity_; }

  void touchesBegan(const UITouchSet& touches, UIEvent* event) override;
  void touchesMoved(const UITouchSet& touches, UIEvent* event) override;
  void touchesEnded(const UITouchSet& touches, UIEvent* event) override;

 protected:
  void reset() override;

 private:
  double spread() const;

  double scale_ = 1;
  double velocity_ = 0;
  double startSpread_ = 0;
  double lastTime_ = 0;
};
