#pragma once

// A finger on the screen. The event source (a test driver, an input backend)
// makes a touch where it lands, moves it and lifts it, and hands each change
// to the window in a UIEvent; the window hit-tests a new touch once and the
// touch keeps that view for its whole life. Locations are kept in the
// window's space and converted on request.

#include <memory>
#include <vector>

#include "platform/coregraphics/CGGeometry.h"
#include "platform/foundation/NSObject.h"

class UIView;
class UIWindow;
class UIGestureRecognizer;
class UIEvent;

enum class UITouchPhase { Began = 0, Moved = 1, Stationary = 2, Ended = 3, Cancelled = 4 };

// A point of the window's space in `view`'s space (the window's own when
// `view` is nullptr or the window is gone).
CGPoint UIWindowPointToView(const std::shared_ptr<UIWindow>& window, const CGPoint& point,
                            const UIView* view);

class UITouch : public NSObject {
 public:
  UITouch(const std::shared_ptr<UIWindow>& window, const CGPoint& locationInWindow,
          double timestamp, int64_t tapCount = 1);

  UITouchPhase phase() const { return phase_; }
  double timestamp() const { return timestamp_; }
  int64_t tapCount() const { return tapCount_; }
  std::shared_ptr<UIView> view() const { return view_.lock(); }
  std::shared_ptr<UIWindow> window() const { return window_.lock(); }
  // nullptr means the window's space.
  CGPoint locationInView(const UIView* view) const;
  CGPoint previousLocationInView(const UIView* view) const;
  // The recognizers this touch was handed to when it began.
  std::vector<std::shared_ptr<UIGestureRecognizer>> gestureRecognizers() const;

  // Changes made by the event source before it sends the event.
  void moveTo(const CGPoint& locationInWindow, double timestamp);
  void stay(double timestamp);
  void end(double timestamp);
  void cancel(double timestamp);

 private:
  friend class UIWindow;
  friend class UIGestureRecognizer;
  // The hit view gets each phase unless a recognizer that saw the touch is
  // still undecided and delays that phase; held phases follow in order once
  // nothing holds them back, and none follow once the touch is cut off.
  void deliverToView(UITouchPhase phase, UIEvent* event);
  void releaseHeld();
  // A recognizer took the touch: the view hears touchesCancelled if it had
  // seen the touch begin, and nothing more.
  void cutOffFromView();
  bool isHeldBack(UITouchPhase phase) const;
  void sendToView(UITouchPhase phase, UIEvent* event);

  std::weak_ptr<UIWindow> window_;
  std::weak_ptr<UIView> view_;
  CGPoint location_;
  CGPoint previous_;
  double timestamp_;
  int64_t tapCount_;
  UITouchPhase phase_ = UITouchPhase::Began;
  std::vector<std::weak_ptr<UIGestureRecognizer>> recognizers_;

  // Delivery to the hit view, which recognizers may hold back or cut off.
  std::vector<UITouchPhase> heldForView_;
  bool viewBegan_ = false;
  bool viewFinished_ = false;
  bool cutOffFromView_ = false;
  bool hitTested_ = false;
};
