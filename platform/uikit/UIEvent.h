#pragma once

// One change of the touches on the screen, as the window delivers it.

#include <memory>

#include "platform/uikit/UIResponder.h"

class UIView;
class UIGestureRecognizer;

enum class UIEventType { Touches = 0, Motion = 1, RemoteControl = 2, Presses = 3 };

class UIEvent : public NSObject {
 public:
  UIEvent(double timestamp, UITouchSet touches);

  UIEventType type() const { return UIEventType::Touches; }
  double timestamp() const { return timestamp_; }
  const UITouchSet& allTouches() const { return touches_; }
  UITouchSet touchesForView(const UIView* view) const;
  UITouchSet touchesForGestureRecognizer(const UIGestureRecognizer* recognizer) const;

 private:
  double timestamp_;
  UITouchSet touches_;
};
