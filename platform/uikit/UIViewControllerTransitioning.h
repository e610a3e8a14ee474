#pragma once

// Custom transitions between view controllers: a transitioning delegate
// hands out an animator (and optionally an interaction controller) for a
// presentation or dismissal; the animator gets a live context with the
// container view, the controllers and views on both sides and their frames,
// and reports the end through completeTransition. The context is what the
// presenting controller uses to finish the presentation: relationships,
// appearance callbacks and completions follow that call.

#include <functional>
#include <memory>
#include <string>

#include "platform/coregraphics/CGGeometry.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/OnceCallback.h"
#include "platform/foundation/ThreadChecks.h"

class CALayer;
class UIView;
class UIViewController;
class UIPresentationController;
class UIViewControllerContextTransitioning;

inline constexpr const char* UITransitionContextFromViewControllerKey =
    "UITransitionContextFromViewControllerKey";
inline constexpr const char* UITransitionContextToViewControllerKey =
    "UITransitionContextToViewControllerKey";
inline constexpr const char* UITransitionContextFromViewKey = "UITransitionContextFromViewKey";
inline constexpr const char* UITransitionContextToViewKey = "UITransitionContextToViewKey";

class UIViewControllerAnimatedTransitioning {
 public:
  virtual ~UIViewControllerAnimatedTransitioning() = default;
  virtual double transitionDuration(UIViewControllerContextTransitioning* context) = 0;
  virtual void animateTransition(UIViewControllerContextTransitioning& context) = 0;
  virtual void animationEnded(bool /*transitionCompleted*/) {}
};

class UIViewControllerInteractiveTransitioning {
 public:
  virtual ~UIViewControllerInteractiveTransitioning() = default;
  virtual void startInteractiveTransition(UIViewControllerContextTransitioning& context) = 0;
  virtual bool wantsInteractiveStart() const { return true; }
};

class UIViewControllerTransitioningDelegate {
 public:
  virtual ~UIViewControllerTransitioningDelegate() = default;
  virtual std::shared_ptr<UIViewControllerAnimatedTransitioning>
  animationControllerForPresentedController(const std::shared_ptr<UIViewController>& /*presented*/,
                                            const std::shared_ptr<UIViewController>& /*presenting*/,
                                            const std::shared_ptr<UIViewController>& /*source*/) {
    return nullptr;
  }
  virtual std::shared_ptr<UIViewControllerAnimatedTransitioning>
  animationControllerForDismissedController(const std::shared_ptr<UIViewController>&) {
    return nullptr;
  }
  virtual std::shared_ptr<UIViewControllerInteractiveTransitioning>
  interactionControllerForPresentation(UIViewControllerAnimatedTransitioning&) {
    return nullptr;
  }
  virtual std::shared_ptr<UIViewControllerInteractiveTransitioning>
  interactionControllerForDismissal(UIViewControllerAnimatedTransitioning&) {
    return nullptr;
  }
  // Asked for custom presentations only.
  virtual std::shared_ptr<UIPresentationController>
  presentationControllerForPresentedViewController(
      const std::shared_ptr<UIViewController>& /*presented*/,
      const std::shared_ptr<UIViewController>& /*presenting*/,
      const std::shared_ptr<UIViewController>& /*source*/) {
    return nullptr;
  }
};

class UIViewControllerContextTransitioning : public NSObject {
 public:
  using Finish = UniqueFunction<void(bool completed)>;

  UIViewControllerContextTransitioning(std::shared_ptr<UIView> container,
                                       std::shared_ptr<UIViewController> from,
                                       std::shared_ptr<UIViewController> to,
                                       std::shared_ptr<UIView> fromView,
                                       std::shared_ptr<UIView> toView, bool animated,
                                       Finish finish);

  const std::shared_ptr<UIView>& containerView() const { return container_; }
  std::shared_ptr<UIViewController> viewControllerForKey(const std::string& key) const;
  // nullptr when the transition leaves that view where it is.
  std::shared_ptr<UIView> viewForKey(const std::string& key) const;
  CGRect initialFrameForViewController(const UIViewController* vc) const;
  CGRect finalFrameForViewController(const UIViewController* vc) const;
  void setFrames(const UIViewController* vc, const CGRect& initial, const CGRect& final);
  bool isAnimated() const { return animated_; }
  bool isInteractive() const { return interactive_; }
  void setInteractive(bool on) {
    QX_DCHECK_MAIN_THREAD();
    interactive_ = on;
  }
  bool transitionWasCancelled() const { return cancelled_; }
  double percentComplete() const { return percent_; }

  void updateInteractiveTransition(double percentComplete);
  void finishInteractiveTransition();
  void cancelInteractiveTransition();
  // Ends the transition (a second call is a caller bug and does nothing).
  void completeTransition(bool didComplete);
  bool isCompleted() const { return completed_; }

 private:
  struct Frames {
    const UIViewController* vc;
    CGRect initial;
    CGRect final;
  };
  std::shared_ptr<UIView> container_;
  std::shared_ptr<UIViewController> from_;
  std::shared_ptr<UIViewController> to_;
  std::shared_ptr<UIView> fromView_;
  std::shared_ptr<UIView> toView_;
  Frames fromFrames_{};
  Frames toFrames_{};
  bool animated_;
  bool interactive_ = false;
  bool cancelled_ = false;
  bool completed_ = false;
  double percent_ = 0;
  Finish finish_;
  // Set by a percent-driven interaction: gives the container its clock back.
  friend class UIPercentDrivenInteractiveTransition;
  std::function<void()> interactionEnded_;
};

// Drives an animator's transition from a gesture: the gesture reports how far
// it got, then finishes or cancels; the animator's own completion tells the
// context whether the transition was cancelled.
//
// The animator's animations run in the container view, whose layer clock is
// held still while the gesture drives: the views show the transition at the
// reported percentage of its duration. Finishing lets the clock run on from
// there at completionSpeed; cancelling runs it backwards to the start at
// that speed, where the animations end and the animator's completion runs.
// The container gets its own clock back when the transition completes.
class UIPercentDrivenInteractiveTransition : public NSObject,
                                             public UIViewControllerInteractiveTransitioning {
 public:
  explicit UIPercentDrivenInteractiveTransition(
      std::shared_ptr<UIViewControllerAnimatedTransitioning> animator = nullptr)
      : animator_(std::move(animator)) {}

  void setAnimator(std::shared_ptr<UIViewControllerAnimatedTransitioning> a) {
    animator_ = std::move(a);
  }
  double percentComplete() const { return percent_; }
  double duration() const;
  double completionSpeed() const { return completionSpeed_; }
  void setCompletionSpeed(double s) {
    QX_DCHECK_MAIN_THREAD();
    completionSpeed_ = s;
  }
  bool wantsInteractiveStart() const override { return wantsInteractiveStart_; }
  void setWantsInteractiveStart(bool on) {
    QX_DCHECK_MAIN_THREAD();
    wantsInteractiveStart_ = on;
  }

  void startInteractiveTransition(UIViewControllerContextTransitioning& context) override;
  void updateInteractiveTransition(double percentComplete);
  void finishInteractiveTransition();
  void cancelInteractiveTransition();

 private:
  // Lets the held clock run from where it stands, forwards or backwards.
  void release(double direction);

  std::shared_ptr<UIViewControllerAnimatedTransitioning> animator_;
  std::weak_ptr<NSObject> context_;
  std::weak_ptr<CALayer> heldLayer_;
  bool released_ = false;
  double percent_ = 0;
  double completionSpeed_ = 1;
  bool wantsInteractiveStart_ = true;
};

// What a size change (rotation) hands to viewWillTransitionToSize: blocks to
// run along with the change and when it is done.
class UIViewControllerTransitionCoordinator : public NSObject {
 public:
  using Block = std::function<void(UIViewControllerTransitionCoordinator&)>;
  explicit UIViewControllerTransitionCoordinator(double duration) : duration_(duration) {}
  double transitionDuration() const { return duration_; }
  bool isAnimated() const { return duration_ > 0; }
  bool animateAlongsideTransition(Block animation, Block completion);
  // Runs the alongside blocks, then (after the duration) the completions.
  void run();
  void finish();

 private:
  double duration_;
  std::vector<Block> alongside_;
  std::vector<Block> completions_;
};
