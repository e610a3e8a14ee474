#include "UIGestureRecognizer.h"

#include <algorithm>

#include "UIEvent.h"
#include "UITouch.h"
#include "UIView.h"
#include "UIWindow.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/WeakSelf.h"

using State = UIGestureRecognizerState;

// --- UIView's side ---

void UIView::addGestureRecognizer(const std::shared_ptr<UIGestureRecognizer>& recognizer) {
  QX_DCHECK_MAIN_THREAD();
  if (!recognizer) return;
  if (auto old = recognizer->view()) {
    if (old.get() == this) return;
    old->removeGestureRecognizer(recognizer);
  }
  recognizer->view_ = std::static_pointer_cast<UIView>(shared_from_this());
  gestureRecognizers_.push_back(recognizer);
}

void UIView::removeGestureRecognizer(const std::shared_ptr<UIGestureRecognizer>& recognizer) {
  QX_DCHECK_MAIN_THREAD();
  auto it = std::find(gestureRecognizers_.begin(), gestureRecognizers_.end(), recognizer);
  if (it == gestureRecognizers_.end()) return;
  gestureRecognizers_.erase(it);
  recognizer->view_.reset();
}

bool UIView::gestureRecognizerShouldBegin(UIGestureRecognizer&) { return true; }

// --- Recognizer ---

UIGestureRecognizer::~UIGestureRecognizer() {
  if (timer_) timer_->invalidate();
}

void UIGestureRecognizer::addTarget(const std::shared_ptr<NSObject>& target, Action action) {
  QX_DCHECK_MAIN_THREAD();
  if (!target || !action) return;
  targets_.push_back({target, target.get(), std::move(action)});
}

void UIGestureRecognizer::removeTarget(const NSObject* target) {
  QX_DCHECK_MAIN_THREAD();
  std::erase_if(targets_, [&](const Target& t) { return !target || t.identity == target; });
}

void UIGestureRecognizer::setEnabled(bool enabled) {
  QX_DCHECK_MAIN_THREAD();
  if (enabled_ == enabled) return;
  enabled_ = enabled;
  if (enabled) return;
  if (state_ == State::Began || state_ == State::Changed) {
    transition(State::Cancelled);
  } else if (state_ == State::Possible && !seen_.empty()) {
    waiting_ = false;
    transition(State::Failed);
  }
}

void UIGestureRecognizer::requireGestureRecognizerToFail(
    const std::shared_ptr<UIGestureRecognizer>& other) {
  QX_DCHECK_MAIN_THREAD();
  if (other && other.get() != this) requiredToFail_.push_back(other);
}

CGPoint UIGestureRecognizer::locationInView(const UIView* view) const {
  if (touches_.empty()) return UIWindowPointToView(window_.lock(), lastLocationInWindow_, view);
  CGPoint sum = CGPointZero;
  for (auto& t : touches_) {
    CGPoint p = t->locationInView(view);
    sum.x += p.x;
    sum.y += p.y;
  }
  double n = static_cast<double>(touches_.size());
  return CGPointMake(sum.x / n, sum.y / n);
}

CGPoint UIGestureRecognizer::locationOfTouch(size_t index, const UIView* view) const {
  if (index >= touches_.size()) {
    FatalStop("-[UIGestureRecognizer locationOfTouch:inView:]: index (" + std::to_string(index) +
              ") beyond bounds (" + std::to_string(touches_.size()) + ").");
  }
  return touches_[index]->locationInView(view);
}

void UIGestureRecognizer::touchesBegan(const UITouchSet&, UIEvent*) {}
void UIGestureRecognizer::touchesMoved(const UITouchSet&, UIEvent*) {}
void UIGestureRecognizer::touchesEnded(const UITouchSet&, UIEvent*) {}

void UIGestureRecognizer::touchesCancelled(const UITouchSet&, UIEvent*) {
  if (state_ == State::Began || state_ == State::Changed) {
    setState(State::Cancelled);
  } else if (state_ == State::Possible) {
    setState(State::Failed);
  }
}

void UIGestureRecognizer::reset() { stopTimer(); }

// `fire` is copyable because a timer's block is.
void UIGestureRecognizer::startTimer(double seconds,
                                     std::function<void(UIGestureRecognizer&)> fire) {
  stopTimer();
  timer_ = NSTimer::scheduledTimerWithTimeInterval(
      seconds, false,
      WeakBind(WeakFromThis(this), [fire = std::move(fire)](UIGestureRecognizer& self, NSTimer&) {
        self.timer_.reset();
        fire(self);
      }));
}

void UIGestureRecognizer::stopTimer() {
  if (!timer_) return;
  timer_->invalidate();
  timer_.reset();
}

bool UIGestureRecognizer::acceptsTouch(const UITouch& touch) {
  if (!enabled_ || waiting_) return false;
  if (state_ != State::Possible && state_ != State::Began && state_ != State::Changed) return false;
  auto d = delegate();
  return !d || d->gestureRecognizerShouldReceiveTouch(*this, touch);
}

void UIGestureRecognizer::attachTouch(const std::shared_ptr<UITouch>& touch) {
  touches_.push_back(touch);
  seen_.push_back(touch);
  window_ = touch->window();
}

bool UIGestureRecognizer::hasTouch(const UITouch& touch) const {
  return std::any_of(touches_.begin(), touches_.end(),
                     [&](const auto& t) { return t.get() == &touch; });
}

bool UIGestureRecognizer::holdsTouchBack(const UITouch& touch) const {
  return enabled_ && state_ == State::Possible &&
         std::any_of(seen_.begin(), seen_.end(), [&](const auto& t) { return t.get() == &touch; });
}

bool UIGestureRecognizer::isFinished() const {
  return state_ == State::Ended || state_ == State::Failed || state_ == State::Cancelled;
}

bool UIGestureRecognizer::isInFlight() const {
  return enabled_ && (state_ == State::Possible || state_ == State::Began ||
                      state_ == State::Changed);
}

void UIGestureRecognizer::deliver(UITouchPhase phase, const UITouchSet& touches,
                                  UIEvent* event) {
  if (!isInFlight()) return;
  switch (phase) {
    case UITouchPhase::Began:
      touchesBegan(touches, event);
      break;
    case UITouchPhase::Moved:
      touchesMoved(touches, event);
      break;
    case UITouchPhase::Ended:
      touchesEnded(touches, event);
      break;
    case UITouchPhase::Cancelled:
      touchesCancelled(touches, event);
      break;
    case UITouchPhase::Stationary:
      break;
  }
}

void UIGestureRecognizer::afterEvent() {
  if (!touches_.empty()) lastLocationInWindow_ = locationInView(nullptr);
  std::erase_if(touches_, [](const auto& t) {
    return t->phase() == UITouchPhase::Ended || t->phase() == UITouchPhase::Cancelled;
  });
  resetIfIdle();
}

void UIGestureRecognizer::resetIfIdle() {
  if (!isFinished() || !touches_.empty()) return;
  state_ = State::Possible;
  waiting_ = false;
  auto seen = std::move(seen_);
  seen_.clear();
  reset();
  for (auto& t : seen) t->releaseHeld();
}

std::vector<std::shared_ptr<UIGestureRecognizer>> UIGestureRecognizer::peers() const {
  std::vector<std::shared_ptr<UIGestureRecognizer>> out;
  for (auto& t : seen_) {
    for (auto& r : t->gestureRecognizers()) {
      if (r.get() != this && std::find(out.begin(), out.end(), r) == out.end()) out.push_back(r);
    }
  }
  return out;
}

bool UIGestureRecognizer::recognizesSimultaneously(UIGestureRecognizer& other) {
  auto mine = delegate();
  if (mine && mine->gestureRecognizerShouldRecognizeSimultaneouslyWithGestureRecognizer(*this,
                                                                                        other)) {
    return true;
  }
  auto theirs = other.delegate();
  return theirs &&
         theirs->gestureRecognizerShouldRecognizeSimultaneouslyWithGestureRecognizer(other, *this);
}

bool UIGestureRecognizer::mustWaitFor(UIGestureRecognizer& other) {
  for (auto& weak : requiredToFail_) {
    if (weak.lock().get() == &other) return true;
  }
  auto mine = delegate();
  if (mine && mine->gestureRecognizerShouldRequireFailureOfGestureRecognizer(*this, other)) {
    return true;
  }
  auto theirs = other.delegate();
  return theirs && theirs->gestureRecognizerShouldBeRequiredToFailByGestureRecognizer(other, *this);
}

bool UIGestureRecognizer::shouldBegin() {
  if (auto d = delegate(); d && !d->gestureRecognizerShouldBegin(*this)) return false;
  auto own = view();
  for (auto& t : seen_) {
    for (auto v = t->view(); v; v = v->superview()) {
      if (!v->gestureRecognizerShouldBegin(*this)) return false;
      if (v == own) break;
    }
  }
  return true;
}

void UIGestureRecognizer::setState(State state) {
  QX_DCHECK_MAIN_THREAD();
  if (waiting_) {
    if (state == State::Failed || state == State::Cancelled) {
      waiting_ = false;
      transition(State::Failed);
    } else if (state == State::Ended) {
      heldState_ = State::Ended;
    }
    return;
  }
  if (state == state_ && state != State::Changed) return;
  if (state_ != State::Possible || (state != State::Began && state != State::Ended)) {
    transition(state);
    return;
  }
  if (!shouldBegin()) {
    transition(State::Failed);
    return;
  }
  for (auto& p : peers()) {
    bool running = p->state_ == State::Began || p->state_ == State::Changed;
    if (running && !recognizesSimultaneously(*p)) {
      transition(State::Failed);
      return;
    }
  }
  heldState_ = state;
  waiting_ = true;
  resolveWaiting();
}

void UIGestureRecognizer::resolveWaiting() {
  if (!waiting_) return;
  std::vector<std::shared_ptr<UIGestureRecognizer>> required;
  for (auto& weak : requiredToFail_) {
    if (auto r = weak.lock()) required.push_back(r);
  }
  for (auto& p : peers()) {
    if (std::find(required.begin(), required.end(), p) == required.end() && mustWaitFor(*p)) {
      required.push_back(p);
    }
  }
  bool undecided = false;
  for (auto& r : required) {
    State s = r->state_;
    if (s == State::Began || s == State::Changed || s == State::Ended) {
      waiting_ = false;
      transition(State::Failed);
      return;
    }
    // A recognizer that saw none of these touches has nothing to decide.
    if (s == State::Possible && (!r->seen_.empty() || r->waiting_)) {
      undecided = true;
      r->waiters_.push_back(WeakFromThis(this));
    }
  }
  if (undecided) return;
  waiting_ = false;
  transition(heldState_);
}

void UIGestureRecognizer::cancelOrFailPeers() {
  for (auto& p : peers()) {
    if (recognizesSimultaneously(*p)) continue;
    if (p->state_ == State::Possible) {
      p->waiting_ = false;
      p->transition(State::Failed);
    } else if (p->state_ == State::Began || p->state_ == State::Changed) {
      p->transition(State::Cancelled);
    }
  }
}

void UIGestureRecognizer::runActions() {
  auto targets = targets_;
  for (auto& t : targets) {
    if (auto alive = t.target.lock()) t.action(*this);
  }
}

void UIGestureRecognizer::transition(State state) {
  auto keepAlive = shared_from_this();
  State old = state_;
  state_ = state;
  if (old == State::Possible && (state == State::Began || state == State::Ended)) {
    // Cut the view off first: peers failing now must not release to it the
    // touches they were holding back.
    if (cancelsTouchesInView_) {
      for (auto& t : seen_) t->cutOffFromView();
    }
    cancelOrFailPeers();
  }
  bool wasRunning = old == State::Began || old == State::Changed;
  if (state == State::Began || state == State::Changed || state == State::Ended ||
      (state == State::Cancelled && wasRunning)) {
    runActions();
  }
  if (isFinished()) {
    stopTimer();
    auto waiters = std::move(waiters_);
    waiters_.clear();
    for (auto& weak : waiters) {
      if (auto w = weak.lock()) w->resolveWaiting();
    }
  }
  if (old == State::Possible && state != State::Possible) {
    for (auto& t : std::vector<std::shared_ptr<UITouch>>(seen_)) t->releaseHeld();
  }
  resetIfIdle();
}
