#include "UIViewControllerTransitioning.h"

#include <algorithm>

#include "UIView.h"
#include "UIViewController.h"
#include "platform/quartzcore/CALayer.h"
#include "platform/foundation/NSTimer.h"
#include "platform/foundation/OSLog.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/WeakSelf.h"

UIViewControllerContextTransitioning::UIViewControllerContextTransitioning(
    std::shared_ptr<UIView> container, std::shared_ptr<UIViewController> from,
    std::shared_ptr<UIViewController> to, std::shared_ptr<UIView> fromView,
    std::shared_ptr<UIView> toView, bool animated, Finish finish)
    : container_(std::move(container)),
      from_(std::move(from)),
      to_(std::move(to)),
      fromView_(std::move(fromView)),
      toView_(std::move(toView)),
      animated_(animated),
      finish_(std::move(finish)) {}

std::shared_ptr<UIViewController> UIViewControllerContextTransitioning::viewControllerForKey(
    const std::string& key) const {
  if (key == UITransitionContextFromViewControllerKey) return from_;
  if (key == UITransitionContextToViewControllerKey) return to_;
  return nullptr;
}

std::shared_ptr<UIView> UIViewControllerContextTransitioning::viewForKey(
    const std::string& key) const {
  if (key == UITransitionContextFromViewKey) return fromView_;
  if (key == UITransitionContextToViewKey) return toView_;
  return nullptr;
}

CGRect UIViewControllerContextTransitioning::initialFrameForViewController(
    const UIViewController* vc) const {
  if (vc && vc == fromFrames_.vc) return fromFrames_.initial;
  if (vc && vc == toFrames_.vc) return toFrames_.initial;
  return CGRectZero;
}

CGRect UIViewControllerContextTransitioning::finalFrameForViewController(
    const UIViewController* vc) const {
  if (vc && vc == fromFrames_.vc) return fromFrames_.final;
  if (vc && vc == toFrames_.vc) return toFrames_.final;
  return CGRectZero;
}

void UIViewControllerContextTransitioning::setFrames(const UIViewController* vc,
                                                     const CGRect& initial, const CGRect& final) {
  if (vc == from_.get()) fromFrames_ = {vc, initial, final};
  if (vc == to_.get()) toFrames_ = {vc, initial, final};
}

void UIViewControllerContextTransitioning::updateInteractiveTransition(double percent) {
  QX_DCHECK_MAIN_THREAD();
  percent_ = std::clamp(percent, 0.0, 1.0);
}

void UIViewControllerContextTransitioning::finishInteractiveTransition() {
  QX_DCHECK_MAIN_THREAD();
  cancelled_ = false;
  percent_ = 1;
}

void UIViewControllerContextTransitioning::cancelInteractiveTransition() {
  QX_DCHECK_MAIN_THREAD();
  cancelled_ = true;
}

void UIViewControllerContextTransitioning::completeTransition(bool didComplete) {
  QX_DCHECK_MAIN_THREAD();
  if (completed_) {
    NSLog("completeTransition: called again for a transition that already ended");
    return;
  }
  completed_ = true;
  auto keepAlive = shared_from_this();
  if (auto ended = std::move(interactionEnded_)) ended();
  auto finish = std::move(finish_);
  finish_ = nullptr;
  if (finish) finish(didComplete);
}

// --- Percent-driven interaction ---

double UIPercentDrivenInteractiveTransition::duration() const {
  auto context = std::static_pointer_cast<UIViewControllerContextTransitioning>(context_.lock());
  return animator_ && context ? animator_->transitionDuration(context.get()) : 0;
}

void UIPercentDrivenInteractiveTransition::startInteractiveTransition(
    UIViewControllerContextTransitioning& context) {
  QX_DCHECK_MAIN_THREAD();
  context_ = context.shared_from_this();
  percent_ = 0;
  released_ = false;
  heldLayer_.reset();
  if (auto container = context.containerView()) {
    // Held before the animator adds anything, so its animations begin at
    // the container's time 0 and stand at 0 % until the gesture moves.
    CALayerPtr layer = container->layer();
    layer->setSpeed(0);
    layer->setTimeOffset(0);
    layer->setBeginTime(0);
    heldLayer_ = layer;
    context.interactionEnded_ = [weak = std::weak_ptr<CALayer>(layer)] {
      if (auto held = weak.lock()) {
        held->setSpeed(1);
        held->setTimeOffset(0);
        held->setBeginTime(0);
      }
    };
  }
  if (animator_) animator_->animateTransition(context);
}

void UIPercentDrivenInteractiveTransition::updateInteractiveTransition(double percent) {
  QX_DCHECK_MAIN_THREAD();
  // Once let go, the transition runs on the clock; late reports change nothing.
  if (released_) return;
  percent_ = std::clamp(percent, 0.0, 1.0);
  if (auto c = context_.lock()) {
    static_cast<UIViewControllerContextTransitioning&>(*c).updateInteractiveTransition(percent_);
  }
  if (auto held = heldLayer_.lock()) held->setTimeOffset(percent_ * duration());
}

void UIPercentDrivenInteractiveTransition::finishInteractiveTransition() {
  QX_DCHECK_MAIN_THREAD();
  if (released_) return;
  if (auto c = context_.lock()) {
    static_cast<UIViewControllerContextTransitioning&>(*c).finishInteractiveTransition();
  }
  release(1);
  percent_ = 1;
}

void UIPercentDrivenInteractiveTransition::cancelInteractiveTransition() {
  QX_DCHECK_MAIN_THREAD();
  if (released_) return;
  if (auto c = context_.lock()) {
    static_cast<UIViewControllerContextTransitioning&>(*c).cancelInteractiveTransition();
  }
  release(-1);
}

void UIPercentDrivenInteractiveTransition::release(double direction) {
  released_ = true;
  auto held = heldLayer_.lock();
  if (!held) return;
  // The clock reads what it showed when let go, and from now on moves at the
  // completion speed (backwards for a cancel).
  const double shown = held->timeOffset();
  const double now = CACurrentMediaTime();
  auto parent = held->superlayer();
  const double parentNow = parent ? parent->convertTimeFromLayer(now, nullptr) : now;
  const double speed = completionSpeed_ > 0 ? completionSpeed_ : 1;
  held->setBeginTime(parentNow);
  held->setTimeOffset(shown);
  held->setSpeed(direction * speed);
}

// --- Size transitions ---

bool UIViewControllerTransitionCoordinator::animateAlongsideTransition(Block animation,
                                                                       Block completion) {
  QX_DCHECK_MAIN_THREAD();
  if (animation) alongside_.push_back(std::move(animation));
  if (completion) completions_.push_back(std::move(completion));
  return true;
}

void UIViewControllerTransitionCoordinator::run() {
  auto alongside = std::move(alongside_);
  for (auto& block : alongside) block(*this);
  if (duration_ <= 0) {
    finish();
    return;
  }
  auto self = std::static_pointer_cast<UIViewControllerTransitionCoordinator>(shared_from_this());
  // The timer owns the coordinator until the change is over.
  NSTimer::scheduledTimerWithTimeInterval(duration_, false,
                                          [self](NSTimer&) { self->finish(); });
}

void UIViewControllerTransitionCoordinator::finish() {
  auto completions = std::move(completions_);
  completions_.clear();
  for (auto& block : completions) block(*this);
}
