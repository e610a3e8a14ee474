#pragma once

// The responder chain's base: views and view controllers receive touches
// through these methods, and a responder that does not handle a touch passes
// it to its next responder (a view's controller or superview, a controller's
// view's superview). Responders are observable: their properties can be
// watched through key-value observing.

#include <memory>
#include <set>

#include "platform/foundation/KeyValueObserving.h"

class UITouch;
class UIEvent;

using UITouchSet = std::set<std::shared_ptr<UITouch>>;

class UIResponder : public NSKeyValueObservable {
 public:
  virtual std::shared_ptr<UIResponder> nextResponder() const { return nullptr; }

  // The default implementations forward to the next responder.
  virtual void touchesBegan(const UITouchSet& touches, UIEvent* event);
  virtual void touchesMoved(const UITouchSet& touches, UIEvent* event);
  virtual void touchesEnded(const UITouchSet& touches, UIEvent* event);
  virtual void touchesCancelled(const UITouchSet& touches, UIEvent* event);
};
