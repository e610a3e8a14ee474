#include "internal/UISwitch.h"

#include "UITouch.h"
#include "platform/foundation/ThreadChecks.h"

UISwitch::UISwitch(const CGRect& frame)
    : UIControl(CGRectMake(frame.origin.x, frame.origin.y, kSize.width, kSize.height)) {}

void UISwitch::setOn(bool on, bool) {
  QX_DCHECK_MAIN_THREAD();
  on_ = on;
}

void UISwitch::endTrackingWithTouch(UITouch* touch, UIEvent* event) {
  if (!touch || !CGRectContainsPoint(CGRectInset(bounds(), -kTouchSlop, -kTouchSlop),
                                     touch->locationInView(this))) {
    return;
  }
  on_ = !on_;
  sendActions(UIControlEventValueChanged, event);
}

bool UISwitch::gestureRecognizerShouldBegin(UIGestureRecognizer& recognizer) {
  if (UIControlOverridesTap(*this, recognizer)) return false;
  return UIControl::gestureRecognizerShouldBegin(recognizer);
}
