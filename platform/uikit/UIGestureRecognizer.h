#pragma once

// Gesture recognizers see a touch before the view it hit. A recognizer starts
// Possible and either fails or recognizes (discrete: Recognized; continuous:
// Began, Changed..., Ended or Cancelled). Recognizing first wins: the other
// recognizers sharing its touches fail (or are cancelled) unless one of the
// delegates lets them recognize simultaneously, and with cancelsTouchesInView
// the hit view's touches are cancelled. requireGestureRecognizerToFail holds
// a recognizer's recognition back until the other one has failed. After its
// touches are gone a recognizer that ended, failed or was cancelled is reset
// to Possible.

#include <functional>
#include <memory>
#include <vector>

#include "platform/uikit/UIResponder.h"
#include "platform/coregraphics/CGGeometry.h"
#include "platform/foundation/NSTimer.h"
#include "platform/foundation/ThreadChecks.h"

class UIView;
class UIWindow;
class UIGestureRecognizer;
enum class UITouchPhase;

enum class UIGestureRecognizerState {
  Possible = 0,
  Began = 1,
  Changed = 2,
  Ended = 3,
  Cancelled = 4,
  Failed = 5,
  Recognized = Ended,
};

class UIGestureRecognizerDelegate {
 public:
  virtual ~UIGestureRecognizerDelegate() = default;
  virtual bool gestureRecognizerShouldBegin(UIGestureRecognizer&) { return true; }
  virtual bool gestureRecognizerShouldReceiveTouch(UIGestureRecognizer&, const UITouch&) {
    return true;
  }
  virtual bool gestureRecognizerShouldRecognizeSimultaneouslyWithGestureRecognizer(
      UIGestureRecognizer&, UIGestureRecognizer&) {
    return false;
  }
  virtual bool gestureRecognizerShouldRequireFailureOfGestureRecognizer(UIGestureRecognizer&,
                                                                       UIGestureRecognizer&) {
    return false;
  }
  virtual bool gestureRecognizerShouldBeRequiredToFailByGestureRecognizer(UIGestureRecognizer&,
                                                                         UIGestureRecognizer&) {
    return false;
  }
};

class UIGestureRecognizer : public NSObject {
 public:
  using Action = std::function<void(UIGestureRecognizer& sender)>;

  UIGestureRecognizer() = default;
  ~UIGestureRecognizer() override;

  // The action runs while `target` lives; the target is not retained.
  void addTarget(const std::shared_ptr<NSObject>& target, Action action);
  // Removes the actions of `target` (all actions when nullptr).
  void removeTarget(const NSObject* target);

  UIGestureRecognizerState state() const { return state_; }
  std::shared_ptr<UIView> view() const { return view_.lock(); }
  bool isEnabled() const { return enabled_; }
  // Disabling a recognizer in the middle of a gesture cancels it.
  void setEnabled(bool enabled);
  std::shared_ptr<UIGestureRecognizerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(const std::shared_ptr<UIGestureRecognizerDelegate>& d) {
    QX_DCHECK_MAIN_THREAD();
    delegate_ = d;
  }

  bool cancelsTouchesInView() const { return cancelsTouchesInView_; }
  void setCancelsTouchesInView(bool v) {
    QX_DCHECK_MAIN_THREAD();
    cancelsTouchesInView_ = v;
  }
  bool delaysTouchesBegan() const { return delaysTouchesBegan_; }
  void setDelaysTouchesBegan(bool v) {
    QX_DCHECK_MAIN_THREAD();
    delaysTouchesBegan_ = v;
  }
  bool delaysTouchesEnded() const { return delaysTouchesEnded_; }
  void setDelaysTouchesEnded(bool v) {
    QX_DCHECK_MAIN_THREAD();
    delaysTouchesEnded_ = v;
  }

  // This recognizer does not recognize before `other` has failed, and fails
  // when `other` recognizes.
  void requireGestureRecognizerToFail(const std::shared_ptr<UIGestureRecognizer>& other);

  // The centroid of the current touches (of the last ones once they lifted).
  virtual CGPoint locationInView(const UIView* view) const;
  size_t numberOfTouches() const { return touches_.size(); }
  CGPoint locationOfTouch(size_t index, const UIView* view) const;

  // Subclasses read touches here; the window calls them first.
  virtual void touchesBegan(const UITouchSet& touches, UIEvent* event);
  virtual void touchesMoved(const UITouchSet& touches, UIEvent* event);
  virtual void touchesEnded(const UITouchSet& touches, UIEvent* event);
  virtual void touchesCancelled(const UITouchSet& touches, UIEvent* event);

 protected:
  // Back to Possible: subclasses clear their gesture state (and call this).
  virtual void reset();
  // Moves the state, arbitrating with the other recognizers and running the
  // actions as the platform does.
  void setState(UIGestureRecognizerState state);
  const std::vector<std::shared_ptr<UITouch>>& touches() const { return touches_; }
  // A one-shot timer on the main run loop that runs `fire` on this
  // recognizer while it lives; a new one replaces the old.
  void startTimer(double seconds, std::function<void(UIGestureRecognizer&)> fire);
  void stopTimer();

 private:
  friend class UIView;
  friend class UIWindow;
  friend class UITouch;

  bool acceptsTouch(const UITouch& touch);
  void attachTouch(const std::shared_ptr<UITouch>& touch);
  bool hasTouch(const UITouch& touch) const;
  // Undecided about a touch it saw: the touch's delayed phases wait for it.
  bool holdsTouchBack(const UITouch& touch) const;
  void deliver(UITouchPhase phase, const UITouchSet& touches, UIEvent* event);
  // Called by the window after each event: drops lifted touches and resets
  // a finished recognizer that has no touches left.
  void afterEvent();
  void resetIfIdle();
  bool isFinished() const;
  bool isInFlight() const;
  bool shouldBegin();
  bool recognizesSimultaneously(UIGestureRecognizer& other);
  bool mustWaitFor(UIGestureRecognizer& other);
  std::vector<std::shared_ptr<UIGestureRecognizer>> peers() const;
  void transition(UIGestureRecognizerState state);
  void resolveWaiting();
  void runActions();
  void cancelOrFailPeers();

  struct Target {
    std::weak_ptr<NSObject> target;
    const NSObject* identity;
    Action action;
  };
  std::vector<Target> targets_;
  UIGestureRecognizerState state_ = UIGestureRecognizerState::Possible;
  std::weak_ptr<UIView> view_;
  std::weak_ptr<UIGestureRecognizerDelegate> delegate_;
  bool enabled_ = true;
  bool cancelsTouchesInView_ = true;
  bool delaysTouchesBegan_ = false;
  bool delaysTouchesEnded_ = true;
  std::vector<std::shared_ptr<UITouch>> touches_;
  // Every touch of the current gesture, lifted ones too, until the reset.
  std::vector<std::shared_ptr<UITouch>> seen_;
  std::weak_ptr<UIWindow> window_;
  CGPoint lastLocationInWindow_;
  std::vector<std::weak_ptr<UIGestureRecognizer>> requiredToFail_;
  // Recognition held back until the recognizers it waits for have failed.
  bool waiting_ = false;
  UIGestureRecognizerState heldState_ = UIGestureRecognizerState::Possible;
  std::vector<std::weak_ptr<UIGestureRecognizer>> waiters_;
  NSTimerPtr timer_;
};
