#pragma once

// An on/off switch: a tap that lifts on it flips it and sends value-changed;
// a parent's tap recognizer does not take the tap from it.

#include "platform/uikit/UIColor.h"
#include "platform/uikit/UIControl.h"
#include "platform/foundation/ThreadChecks.h"

class UISwitch : public UIControl {
 public:
  static constexpr CGSize kSize{51, 31};

  UISwitch() : UISwitch(CGRectZero) {}
  explicit UISwitch(const CGRect& frame);

  bool isOn() const { return on_; }
  // Sends no event, as on the platform.
  void setOn(bool on, bool animated = false);
  UIColorPtr onTintColor() const { return onTint_; }
  void setOnTintColor(UIColorPtr c) {
    QX_DCHECK_MAIN_THREAD();
    onTint_ = std::move(c);
  }
  CGSize sizeThatFits(CGSize) const override { return kSize; }

  void endTrackingWithTouch(UITouch* touch, UIEvent* event) override;
  bool gestureRecognizerShouldBegin(UIGestureRecognizer& recognizer) override;

 private:
  bool on_ = false;
  UIColorPtr onTint_;
};

