#include "UIScrollView.h"

#include <algorithm>
#include <cmath>

#include "UIPanGestureRecognizer.h"
#include "UIPinchGestureRecognizer.h"
#include "UIViewController.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/WeakSelf.h"

using State = UIGestureRecognizerState;

namespace {

constexpr double kFrameInterval = 1.0 / 60;
// Motion closer than this to its end has arrived.
constexpr double kRestDistance = 0.5;

// How far content follows a finger pulling it `overshoot` past an edge of a
// view `extent` long.
double rubberBand(double overshoot, double extent) {
  if (extent <= 0) return 0;
  return (1.0 - 1.0 / (overshoot * 0.55 / extent + 1.0)) * extent;
}

double easeOut(double t) { return 1 - std::pow(1 - t, 3); }

// The stiffness of the bounce at an edge: content past an edge returns on a
// critically damped spring of this angular frequency (per second), starting
// slowly, so what a release leaves past the edge is still there for a frame.
constexpr double kBounceFrequency = 12;
// Speeds (points per second) below which a spring has come to rest.
constexpr double kRestSpeed = 5;
// A release faster than this (points per second) turns the page whatever
// share of it was dragged; slower ones need half a page.
constexpr double kPagingFlickSpeed = 300;

}  // namespace

// One axis of a deceleration: an exponential decay towards its target,
// switching to the edge's spring where it runs past an edge (or starting
// there when released past one).
struct UIScrollView::AxisMotion {
  enum class Phase { Rest, Decay, Spring } phase = Phase::Rest;
  double start = 0;  // clock time the phase started
  double from = 0, to = 0, rate = 0;  // Decay
  double lo = 0, hi = 0;
  bool bounces = false;  // Decay: runs into the spring at lo or hi
  double edge = 0, x0 = 0, v0 = 0;  // Spring: displacement and velocity at start

  void startSpring(double time, double at, double displacement, double velocity) {
    phase = Phase::Spring;
    start = time;
    edge = at;
    x0 = displacement;
    v0 = velocity;
  }

  // The position at `now`; Rest once arrived.
  double positionAt(double now) {
    if (phase == Phase::Decay) {
      double span = to - from;
      double p = from + span * (1 - std::pow(rate, (now - start) * 1000));
      if (bounces && (p < lo || p > hi)) {
        double at = p < lo ? lo : hi;
        // When the decay crossed the edge, and how fast it was going.
        double share = span != 0 ? std::clamp((at - from) / span, 0.0, 1.0 - 1e-12) : 0;
        double crossMs = std::log(1 - share) / std::log(rate);
        double speed = span * -std::log(rate) * std::pow(rate, crossMs) * 1000;
        startSpring(start + crossMs / 1000, at, 0, speed);
        return positionAt(now);
      }
      if (std::abs(to - p) < kRestDistance) {
        phase = Phase::Rest;
        return to;
      }
      return p;
    }
    if (phase == Phase::Spring) {
      double t = now - start;
      double w = kBounceFrequency;
      double b = v0 + w * x0;
      double decay = std::exp(-w * t);
      double x = (x0 + b * t) * decay;
      double v = (b - w * (x0 + b * t)) * decay;
      if (std::abs(x) < kRestDistance && std::abs(v) < kRestSpeed * 10) {
        phase = Phase::Rest;
        return edge;
      }
      return edge + x;
    }
    return to;
  }
};

// The scroll view's pan: a finger coming down stops a moving scroll view,
// whether or not it then drags.
class UIScrollView::Pan : public UIPanGestureRecognizer {
 public:
  void touchesBegan(const UITouchSet& touches, UIEvent* event) override {
    auto owner = scrollView();
    if (owner && touches.size() == this->touches().size()) owner->fingerDown();
    UIPanGestureRecognizer::touchesBegan(touches, event);
  }
  void touchesEnded(const UITouchSet& touches, UIEvent* event) override {
    UIPanGestureRecognizer::touchesEnded(touches, event);
    if (auto owner = scrollView()) owner->fingerUp();
  }
  void touchesCancelled(const UITouchSet& touches, UIEvent* event) override {
    UIPanGestureRecognizer::touchesCancelled(touches, event);
    if (auto owner = scrollView()) owner->fingerUp();
  }

 protected:
  // Another recognizer may have failed this one before the finger lifted.
  void reset() override {
    UIPanGestureRecognizer::reset();
    if (auto owner = scrollView()) owner->fingerUp();
  }

 private:
  std::shared_ptr<UIScrollView> scrollView() const {
    return std::dynamic_pointer_cast<UIScrollView>(view());
  }
};

// Holds a new touch back from the content for kContentTouchDelay, then lets
// it through by failing; it never recognizes, so it stops no one.
class UIScrollView::ContentTouchDelay : public UIGestureRecognizer {
 public:
  ContentTouchDelay() {
    setDelaysTouchesBegan(true);
    setCancelsTouchesInView(false);
  }
  void touchesBegan(const UITouchSet&, UIEvent*) override {
    if (state() != UIGestureRecognizerState::Possible) return;
    startTimer(kContentTouchDelay, [](UIGestureRecognizer& g) {
      static_cast<ContentTouchDelay&>(g).setState(UIGestureRecognizerState::Failed);
    });
  }
  void touchesEnded(const UITouchSet&, UIEvent*) override {
    if (state() == UIGestureRecognizerState::Possible) setState(UIGestureRecognizerState::Failed);
  }
};

struct UIScrollView::Motion {
  enum class Kind { Decelerate, Animate, Zoom } kind;
  double start = 0;
  CGPoint from;
  CGPoint to;
  AxisMotion x, y;          // Decelerate
  double duration = 0;      // Animate, Zoom
  double fromScale = 1;     // Zoom
  double toScale = 1;
  bool endsZoom = false;    // Zoom: tells the delegate the zoom ended
};

UIScrollView::UIScrollView() : UIScrollView(CGRectZero) {}

UIScrollView::UIScrollView(const CGRect& frame)
    : UIView(frame),
      pan_(std::make_shared<Pan>()),
      pinch_(std::make_shared<UIPinchGestureRecognizer>()),
      contentTouchDelay_(std::make_shared<ContentTouchDelay>()) {
  // Content scrolled out of the view is out of sight: it does not draw over
  // the bars and sheets around it.
  setClipsToBounds(true);
}

UIScrollView::~UIScrollView() {
  if (frameTimer_) frameTimer_->invalidate();
}

void UIScrollView::didMoveToSuperview() {
  UIView::didMoveToSuperview();
  attachRecognizers();
}

void UIScrollView::attachRecognizers() {
  if (recognizersAttached_) return;
  recognizersAttached_ = true;
  auto self = WeakFromThis(this);
  pan_->addTarget(shared_from_this(),
                  WeakBind(self, [](UIScrollView& sv, UIGestureRecognizer&) { sv.handlePan(); }));
  pinch_->addTarget(shared_from_this(),
                    WeakBind(self, [](UIScrollView& sv, UIGestureRecognizer&) { sv.handlePinch(); }));
  addGestureRecognizer(pan_);
  addGestureRecognizer(pinch_);
  addGestureRecognizer(contentTouchDelay_);
  contentTouchDelay_->setEnabled(delaysContentTouches_);
}

void UIScrollView::setDelaysContentTouches(bool on) {
  QX_DCHECK_MAIN_THREAD();
  delaysContentTouches_ = on;
  contentTouchDelay_->setEnabled(on);
}

UIPinchGestureRecognizer* UIScrollView::pinchGestureRecognizer() const {
  return maximumZoomScale_ > minimumZoomScale_ ? pinch_.get() : nullptr;
}

bool UIScrollView::gestureRecognizerShouldBegin(UIGestureRecognizer& recognizer) {
  if (&recognizer == pan_.get()) {
    // Only a drag this view can follow: along an axis it scrolls. Failing
    // leaves the touches to enclosing scroll views and other recognizers.
    if (!scrollEnabled_) return false;
    CGPoint t = pan_->translationInView(this);
    bool sideways = std::abs(t.x) > std::abs(t.y);
    if (!(sideways ? scrollsHorizontally() : scrollsVertically())) return false;
    // Content that cannot move the finger's way (at its edge, or merely
    // bouncing) leaves the drag to an enclosing scroll view that can take it.
    double delta = sideways ? -t.x : -t.y;
    return canScrollFurther(sideways, delta) || !enclosingScrollViewAlong(sideways);
  }
  if (&recognizer == pinch_.get()) {
    return maximumZoomScale_ > minimumZoomScale_ && zoomingView() != nullptr;
  }
  return UIView::gestureRecognizerShouldBegin(recognizer);
}

// --- Offsets ---

void UIScrollView::setContentOffset(const CGPoint& offset) {
  QX_DCHECK_MAIN_THREAD();
  CGRect b = bounds();
  if (b.origin != offset) {
    b.origin = offset;
    setBounds(b);
    setNeedsLayout();
  }
  contentOffset_.set(offset);
  if (auto d = delegate()) d->scrollViewDidScroll(*this);
}

void UIScrollView::setContentOffset(const CGPoint& offset, bool animated) {
  QX_DCHECK_MAIN_THREAD();
  stopMotion();
  if (!animated || offset == contentOffset()) {
    setContentOffset(offset);
    return;
  }
  auto m = std::make_unique<Motion>();
  m->kind = Motion::Kind::Animate;
  m->from = contentOffset();
  m->to = offset;
  m->duration = kAnimationDuration;
  startMotion(std::move(m));
}

void UIScrollView::setContentSize(const CGSize& size) {
  QX_DCHECK_MAIN_THREAD();
  contentSize_.set(size);
  setNeedsLayout();
}

void UIScrollView::setContentInset(const UIEdgeInsets& inset) {
  QX_DCHECK_MAIN_THREAD();
  if (inset == contentInset_) return;
  contentInset_ = inset;
  if (auto d = delegate()) d->scrollViewDidChangeAdjustedContentInset(*this);
}

void UIScrollView::setContentInsetAdjustmentBehavior(
    UIScrollViewContentInsetAdjustmentBehavior b) {
  QX_DCHECK_MAIN_THREAD();
  insetBehavior_ = b;
}

void UIScrollView::layoutSublayersOfLayer(CALayer& layer) {
  followSafeArea();
  UIView::layoutSublayersOfLayer(layer);
}

void UIScrollView::followSafeArea() {
  UIEdgeInsets adjusted = adjustedContentInset();
  UIEdgeInsets added = UIEdgeInsetsMake(adjusted.top - contentInset_.top,
                                        adjusted.left - contentInset_.left,
                                        adjusted.bottom - contentInset_.bottom,
                                        adjusted.right - contentInset_.right);
  if (added == safeAreaAdded_) return;
  UIEdgeInsets old = safeAreaAdded_;
  safeAreaAdded_ = added;
  // Content resting at its top (left) edge stays there as the safe area
  // changes: a list starts with its first row below the notch or the bar.
  CGPoint offset = contentOffset();
  if (!dragging_ && !motion_) {
    if (offset.y == -(contentInset_.top + old.top)) offset.y = -adjusted.top;
    if (offset.x == -(contentInset_.left + old.left)) offset.x = -adjusted.left;
    if (offset != contentOffset()) setContentOffset(offset);
  }
  if (auto d = delegate()) d->scrollViewDidChangeAdjustedContentInset(*this);
}

bool UIScrollView::inNavigationController() const {
  for (auto v = std::static_pointer_cast<const UIView>(shared_from_this()); v; v = v->superview()) {
    if (auto vc = v->owningViewController()) return vc->navigationController() != nullptr;
  }
  return false;
}

UIEdgeInsets UIScrollView::adjustedContentInset() const {
  UIEdgeInsets safe = safeAreaInsets();
  UIEdgeInsets added;
  switch (insetBehavior_) {
    case UIScrollViewContentInsetAdjustmentBehavior::Never:
      break;
    case UIScrollViewContentInsetAdjustmentBehavior::Always:
      added = safe;
      break;
    case UIScrollViewContentInsetAdjustmentBehavior::Automatic:
    case UIScrollViewContentInsetAdjustmentBehavior::ScrollableAxes: {
      // Along the axes the content scrolls; automatic also always vertically
      // inside a navigation controller.
      CGSize size = bounds().size;
      CGSize content = contentSize();
      bool vertical = alwaysBounceVertical_ || content.height > size.height ||
                      (insetBehavior_ == UIScrollViewContentInsetAdjustmentBehavior::Automatic &&
                       inNavigationController());
      bool horizontal = alwaysBounceHorizontal_ || content.width > size.width;
      if (vertical) {
        added.top = safe.top;
        added.bottom = safe.bottom;
      }
      if (horizontal) {
        added.left = safe.left;
        added.right = safe.right;
      }
      break;
    }
  }
  return UIEdgeInsetsAdd(contentInset_, added);
}

CGPoint UIScrollView::minimumContentOffset() const {
  UIEdgeInsets in = adjustedContentInset();
  return CGPointMake(-in.left, -in.top);
}

CGPoint UIScrollView::maximumContentOffset() const {
  return maximumContentOffsetFor(contentSize());
}

CGPoint UIScrollView::maximumContentOffsetFor(const CGSize& content) const {
  UIEdgeInsets in = adjustedContentInset();
  CGSize size = bounds().size;
  CGPoint lo = minimumContentOffset();
  return CGPointMake(std::max(lo.x, content.width + in.right - size.width),
                     std::max(lo.y, content.height + in.bottom - size.height));
}

CGPoint UIScrollView::clamped(const CGPoint& offset) const {
  return clampedFor(offset, contentSize());
}

CGPoint UIScrollView::clampedFor(const CGPoint& offset, const CGSize& content) const {
  CGPoint lo = minimumContentOffset();
  CGPoint hi = maximumContentOffsetFor(content);
  return CGPointMake(std::clamp(offset.x, lo.x, hi.x), std::clamp(offset.y, lo.y, hi.y));
}

bool UIScrollView::scrollsHorizontally() const {
  return alwaysBounceHorizontal_ || maximumContentOffset().x > minimumContentOffset().x;
}

bool UIScrollView::scrollsVertically() const {
  return alwaysBounceVertical_ || maximumContentOffset().y > minimumContentOffset().y;
}

CGPoint UIScrollView::rubberBanded(const CGPoint& offset) const {
  CGPoint lo = minimumContentOffset();
  CGPoint hi = maximumContentOffset();
  CGSize size = bounds().size;
  auto axis = [&](double v, double min, double max, double extent) {
    if (!bounces_) return std::clamp(v, min, max);
    if (v < min) return min - rubberBand(min - v, extent);
    if (v > max) return max + rubberBand(v - max, extent);
    return v;
  };
  return CGPointMake(axis(offset.x, lo.x, hi.x, size.width),
                     axis(offset.y, lo.y, hi.y, size.height));
}

void UIScrollView::scrollRectToVisible(const CGRect& rect, bool animated) {
  QX_DCHECK_MAIN_THREAD();
  CGRect visible = bounds();
  CGPoint target = visible.origin;
  CGRect r = CGRectStandardize(rect);
  if (CGRectGetMaxX(r) > CGRectGetMaxX(visible)) target.x = CGRectGetMaxX(r) - visible.size.width;
  if (r.origin.x < target.x) target.x = r.origin.x;
  if (CGRectGetMaxY(r) > CGRectGetMaxY(visible)) target.y = CGRectGetMaxY(r) - visible.size.height;
  if (r.origin.y < target.y) target.y = r.origin.y;
  target = clamped(target);
  if (target != visible.origin) setContentOffset(target, animated);
}

// --- Dragging ---

void UIScrollView::fingerDown() {
  tracking_ = true;
  if (motion_ && motion_->kind == Motion::Kind::Decelerate) {
    // Caught in flight: the content stops where it is.
    stopMotion();
    decelerating_ = false;
  }
}

void UIScrollView::fingerUp() {
  tracking_ = false;
  // A finger that caught the content past an edge and lifted without
  // dragging lets the spring take it back.
  if (dragging_ || motion_) return;
  CGPoint here = contentOffset();
  if (clamped(here) == here) return;
  dragging_ = false;
  auto m = std::make_unique<Motion>();
  m->kind = Motion::Kind::Decelerate;
  double now = PlatformClock::now();
  CGPoint edge = clamped(here);
  if (edge.x != here.x) m->x.startSpring(now, edge.x, here.x - edge.x, 0);
  if (edge.y != here.y) m->y.startSpring(now, edge.y, here.y - edge.y, 0);
  decelerating_ = true;
  startMotion(std::move(m));
}

void UIScrollView::handlePan() {
  State state = pan_->state();
  if (state == State::Began) {
    stopMotion();
    decelerating_ = false;
    dragStart_ = contentOffset();
    dragging_ = true;
    handOffTo_[0] = scrollsHorizontally() ? enclosingScrollViewAlong(true) : nullptr;
    handOffTo_[1] = scrollsVertically() ? enclosingScrollViewAlong(false) : nullptr;
    if (auto d = delegate()) d->scrollViewWillBeginDragging(*this);
  }
  if (state == State::Began || state == State::Changed) {
    CGPoint t = pan_->translationInView(this);
    CGPoint proposed = dragStart_;
    if (scrollsHorizontally()) proposed.x -= t.x;
    if (scrollsVertically()) proposed.y -= t.y;
    setContentOffset(rubberBanded(handOnOverflow(proposed)));
  } else if (state == State::Ended) {
    CGPoint v = pan_->velocityInView(this);
    endDrag(finishHandOff(
        CGPointMake(scrollsHorizontally() ? -v.x : 0, scrollsVertically() ? -v.y : 0)));
  } else if (state == State::Cancelled) {
    endDrag(finishHandOff(CGPointZero));
  }
}

// --- Nested scroll views ---

std::shared_ptr<UIScrollView> UIScrollView::enclosingScrollViewAlong(bool horizontal) const {
  for (auto v = superview(); v; v = v->superview()) {
    auto s = std::dynamic_pointer_cast<UIScrollView>(v);
    if (!s || !s->isScrollEnabled()) continue;
    if (horizontal ? s->scrollsHorizontally() : s->scrollsVertically()) return s;
  }
  return nullptr;
}

bool UIScrollView::canScrollFurther(bool horizontal, double delta) const {
  // Offsets within this of an edge are at it: zooming computes them.
  constexpr double kAtEdge = 1e-6;
  double at = horizontal ? contentOffset().x : contentOffset().y;
  double lo = horizontal ? minimumContentOffset().x : minimumContentOffset().y;
  double hi = horizontal ? maximumContentOffset().x : maximumContentOffset().y;
  if (delta > 0) return at < hi - kAtEdge;
  if (delta < 0) return at > lo + kAtEdge;
  return hi - lo > kAtEdge;
}

CGPoint UIScrollView::handOnOverflow(const CGPoint& proposed) {
  CGPoint lo = minimumContentOffset(), hi = maximumContentOffset();
  CGPoint kept = proposed;
  for (bool horizontal : {true, false}) {
    auto outer = handOffTo_[horizontal ? 0 : 1].lock();
    if (!outer) continue;
    double& axis = horizontal ? kept.x : kept.y;
    double within = std::clamp(axis, horizontal ? lo.x : lo.y, horizontal ? hi.x : hi.y);
    outer->followHandedDrag(horizontal, axis - within);
    axis = within;
  }
  return kept;
}

CGPoint UIScrollView::finishHandOff(CGPoint velocity) {
  CGPoint handed = CGPointZero;
  std::vector<std::shared_ptr<UIScrollView>> outers;
  for (bool horizontal : {true, false}) {
    auto outer = handOffTo_[horizontal ? 0 : 1].lock();
    handOffTo_[horizontal ? 0 : 1].reset();
    if (!outer || !outer->followingHandedDrag_) continue;
    // The view that was moving when the finger lifted carries the flick.
    double& mine = horizontal ? velocity.x : velocity.y;
    if ((horizontal ? outer->handedOverflow_.x : outer->handedOverflow_.y) != 0) {
      (horizontal ? handed.x : handed.y) = mine;
      mine = 0;
    }
    if (std::find(outers.begin(), outers.end(), outer) == outers.end()) outers.push_back(outer);
  }
  for (auto& outer : outers) outer->endHandedDrag(handed);
  return velocity;
}

void UIScrollView::followHandedDrag(bool horizontal, double overflow) {
  if (!followingHandedDrag_) {
    if (overflow == 0) return;
    // The drag reaches this view: it begins dragging where it stands.
    stopMotion();
    decelerating_ = false;
    dragStart_ = contentOffset();
    handedOverflow_ = CGPointZero;
    dragging_ = true;
    followingHandedDrag_ = true;
    if (auto d = delegate()) d->scrollViewWillBeginDragging(*this);
  }
  (horizontal ? handedOverflow_.x : handedOverflow_.y) = overflow;
  CGPoint proposed = dragStart_;
  if (scrollsHorizontally()) proposed.x += handedOverflow_.x;
  if (scrollsVertically()) proposed.y += handedOverflow_.y;
  setContentOffset(rubberBanded(proposed));
}

void UIScrollView::endHandedDrag(CGPoint velocity) {
  if (!followingHandedDrag_) return;
  followingHandedDrag_ = false;
  handedOverflow_ = CGPointZero;
  endDrag(
      CGPointMake(scrollsHorizontally() ? velocity.x : 0, scrollsVertically() ? velocity.y : 0));
}

CGPoint UIScrollView::pagedTarget(const CGPoint& velocity) const {
  CGSize page = bounds().size;
  CGPoint here = contentOffset();
  // A flick turns to the next page its way; otherwise the page showing the
  // most wins, and half a page turns it whichever way the drag went.
  auto axis = [](double offset, double from, double v, double pageSize, double min, double max) {
    if (pageSize <= 0) return offset;
    double index = offset / pageSize;
    double target = v > kPagingFlickSpeed    ? std::ceil(index)
                    : v < -kPagingFlickSpeed ? std::floor(index)
                    : offset >= from         ? std::floor(index + 0.5)
                                             : std::ceil(index - 0.5);
    return std::clamp(target * pageSize, min, max);
  };
  CGPoint lo = minimumContentOffset();
  CGPoint hi = maximumContentOffset();
  return CGPointMake(axis(here.x, dragStart_.x, velocity.x, page.width, lo.x, hi.x),
                     axis(here.y, dragStart_.y, velocity.y, page.height, lo.y, hi.y));
}

void UIScrollView::endDrag(CGPoint velocity) {
  // The delegate hears points per millisecond, as on the platform.
  CGPoint perMs = CGPointMake(velocity.x / 1000, velocity.y / 1000);
  CGPoint here = contentOffset();
  CGPoint free = here;  // where the decay alone would stop
  CGPoint target;
  if (pagingEnabled_) {
    target = free = pagedTarget(velocity);
  } else {
    double reach = decelerationRate_ / (1 - decelerationRate_);
    free = CGPointMake(here.x + perMs.x * reach, here.y + perMs.y * reach);
    target = clamped(free);
  }
  CGPoint proposed = target;
  // The release callbacks see the offset the finger left, overscroll included.
  if (auto d = delegate()) d->scrollViewWillEndDragging(*this, perMs, &target);
  dragging_ = false;
  auto m = std::make_unique<Motion>();
  m->kind = Motion::Kind::Decelerate;
  m->from = here;
  m->to = target;
  double now = PlatformClock::now();
  CGPoint lo = minimumContentOffset(), hi = maximumContentOffset();
  bool moved = target != proposed;
  double rate = pagingEnabled_ ? UIScrollViewDecelerationRateFast : decelerationRate_;
  auto plan = [&](AxisMotion& a, double at, double v, double to, double freeTo, double min,
                  double max) {
    a.lo = min;
    a.hi = max;
    if (!moved && (at < min || at > max)) {
      // Released past an edge: the spring takes it back.
      double edge = at < min ? min : max;
      a.startSpring(now, edge, at - edge, v);
      return;
    }
    double end = moved ? to : (bounces_ && !pagingEnabled_ ? freeTo : to);
    if (std::abs(end - at) < kRestDistance) {
      a.phase = AxisMotion::Phase::Rest;
      a.to = to;
      return;
    }
    a.phase = AxisMotion::Phase::Decay;
    a.start = now;
    a.from = at;
    a.to = end;
    a.rate = rate;
    a.bounces = !moved && bounces_ && !pagingEnabled_;
  };
  plan(m->x, here.x, velocity.x, target.x, free.x, lo.x, hi.x);
  plan(m->y, here.y, velocity.y, target.y, free.y, lo.y, hi.y);
  bool decelerate = m->x.phase != AxisMotion::Phase::Rest ||
                    m->y.phase != AxisMotion::Phase::Rest;
  if (auto d = delegate()) d->scrollViewDidEndDragging(*this, decelerate);
  if (!decelerate) {
    if (target != here) setContentOffset(target);
    return;
  }
  decelerating_ = true;
  if (auto d = delegate()) d->scrollViewWillBeginDecelerating(*this);
  startMotion(std::move(m));
}

// --- Motion on the clock ---

void UIScrollView::startMotion(std::unique_ptr<Motion> motion) {
  stopMotion();
  motion->start = PlatformClock::now();
  motion_ = std::move(motion);
  frameTimer_ = NSTimer::scheduledTimerWithTimeInterval(
      kFrameInterval, true, WeakBind(WeakFromThis(this), [](UIScrollView& sv, NSTimer&) {
        sv.step();
      }));
}

void UIScrollView::stopMotion() {
  if (frameTimer_) frameTimer_->invalidate();
  frameTimer_.reset();
  motion_.reset();
}

void UIScrollView::step() {
  if (!motion_) return;
  Motion& m = *motion_;
  double now = PlatformClock::now();
  double elapsed = now - m.start;
  bool done;
  if (m.kind == Motion::Kind::Decelerate) {
    CGPoint p = CGPointMake(m.x.positionAt(now), m.y.positionAt(now));
    done = m.x.phase == AxisMotion::Phase::Rest && m.y.phase == AxisMotion::Phase::Rest;
    setContentOffset(p);
  } else {
    double t = m.duration > 0 ? std::min(1.0, elapsed / m.duration) : 1;
    double progress = easeOut(t);
    done = t >= 1 - 1e-9;  // the last frame may land a rounding error short
    if (done) progress = 1;
    CGPoint p = CGPointMake(m.from.x + (m.to.x - m.from.x) * progress,
                            m.from.y + (m.to.y - m.from.y) * progress);
    if (m.kind == Motion::Kind::Zoom) {
      double scale = m.fromScale + (m.toScale - m.fromScale) * progress;
      applyZoom(scale, CGPointZero);
      setContentOffset(p);
      if (auto d = delegate()) d->scrollViewDidZoom(*this);
    } else {
      setContentOffset(p);
    }
  }
  layoutIfNeeded();
  if (!done) return;
  Motion finished = *motion_;
  stopMotion();
  auto d = delegate();
  switch (finished.kind) {
    case Motion::Kind::Decelerate:
      decelerating_ = false;
      if (d) d->scrollViewDidEndDecelerating(*this);
      break;
    case Motion::Kind::Animate:
      if (d) d->scrollViewDidEndScrollingAnimation(*this);
      break;
    case Motion::Kind::Zoom:
      zoomBouncing_ = false;
      if (finished.endsZoom && d) {
        auto view = zoomingView();
        d->scrollViewDidEndZooming(*this, view.get(), zoomScale_);
      }
      if (d) d->scrollViewDidEndScrollingAnimation(*this);
      break;
  }
}

// --- Zooming ---

std::shared_ptr<UIView> UIScrollView::zoomingView() {
  auto d = delegate();
  return d ? d->viewForZoomingInScrollView(*this) : nullptr;
}

void UIScrollView::setMinimumZoomScale(double s) {
  QX_DCHECK_MAIN_THREAD();
  minimumZoomScale_ = s;
}

void UIScrollView::setMaximumZoomScale(double s) {
  QX_DCHECK_MAIN_THREAD();
  maximumZoomScale_ = s;
}

void UIScrollView::applyZoom(double scale, const CGPoint& anchor) {
  auto view = zoomingView();
  if (!view || scale <= 0) return;
  CGPoint offset = contentOffset();
  // The content point under the anchor stays under it.
  CGPoint content = CGPointMake((offset.x + anchor.x) / zoomScale_,
                                (offset.y + anchor.y) / zoomScale_);
  zoomScale_ = scale;
  view->setTransform(CGAffineTransformMakeScale(scale, scale));
  CGSize unscaled = view->bounds().size;
  CGSize scaled = CGSizeMake(unscaled.width * scale, unscaled.height * scale);
  view->setCenter(CGPointMake(scaled.width / 2, scaled.height / 2));
  contentSize_.set(scaled);
  CGRect b = bounds();
  b.origin = CGPointMake(content.x * scale - anchor.x, content.y * scale - anchor.y);
  setBounds(b);
  setNeedsLayout();
}

double UIScrollView::clampedScale(double scale) const {
  return std::clamp(scale, minimumZoomScale_, std::max(minimumZoomScale_, maximumZoomScale_));
}

CGPoint UIScrollView::restingOffsetForZoom(double scale, const CGPoint& anchor) {
  CGPoint offset = contentOffset();
  CGPoint content = CGPointMake((offset.x + anchor.x) / zoomScale_,
                                (offset.y + anchor.y) / zoomScale_);
  CGSize unscaled = zoomingView()->bounds().size;
  return clampedFor(CGPointMake(content.x * scale - anchor.x, content.y * scale - anchor.y),
                    CGSizeMake(unscaled.width * scale, unscaled.height * scale));
}

void UIScrollView::startZoomMotion(double scale, const CGPoint& offset) {
  auto m = std::make_unique<Motion>();
  m->kind = Motion::Kind::Zoom;
  m->from = contentOffset();
  m->to = offset;
  m->fromScale = zoomScale_;
  m->toScale = scale;
  m->duration = kAnimationDuration;
  m->endsZoom = true;
  startMotion(std::move(m));
}

void UIScrollView::setZoomScale(double scale, bool animated) {
  QX_DCHECK_MAIN_THREAD();
  double target = clampedScale(scale);
  auto view = zoomingView();
  if (!view) return;
  // The platform counts a zoom under way as already at its end, so asking
  // for the scale it is heading to changes nothing (a double tap zooms to a
  // rectangle and then asks for the scale it reaches).
  if (motion_ && motion_->kind == Motion::Kind::Zoom &&
      std::abs(motion_->toScale - target) <= 1e-9 * std::max(1.0, target)) {
    return;
  }
  CGSize size = bounds().size;
  CGPoint middle = CGPointMake(size.width / 2, size.height / 2);
  if (!animated) {
    stopMotion();
    applyZoom(target, middle);
    setContentOffset(clamped(contentOffset()));
    if (auto d = delegate()) d->scrollViewDidZoom(*this);
    return;
  }
  CGPoint to = restingOffsetForZoom(target, middle);
  if (auto d = delegate()) d->scrollViewWillBeginZooming(*this, view.get());
  startZoomMotion(target, to);
}

void UIScrollView::zoomToRect(const CGRect& rect, bool animated) {
  QX_DCHECK_MAIN_THREAD();
  auto view = zoomingView();
  CGRect r = CGRectStandardize(rect);
  if (!view || r.size.width <= 0 || r.size.height <= 0) return;
  CGSize size = bounds().size;
  double scale = clampedScale(std::min(size.width / r.size.width, size.height / r.size.height));
  CGSize unscaled = view->bounds().size;
  CGPoint to = clampedFor(CGPointMake(CGRectGetMidX(r) * scale - size.width / 2,
                                      CGRectGetMidY(r) * scale - size.height / 2),
                          CGSizeMake(unscaled.width * scale, unscaled.height * scale));
  if (!animated) {
    stopMotion();
    applyZoom(scale, CGPointZero);
    setContentOffset(to);
    if (auto d = delegate()) d->scrollViewDidZoom(*this);
    return;
  }
  if (auto d = delegate()) d->scrollViewWillBeginZooming(*this, view.get());
  startZoomMotion(scale, to);
}

void UIScrollView::handlePinch() {
  auto view = zoomingView();
  if (!view) return;
  State state = pinch_->state();
  CGPoint location = pinch_->locationInView(this);
  CGPoint offset = contentOffset();
  CGPoint anchor = CGPointMake(location.x - offset.x, location.y - offset.y);
  if (state == State::Began) {
    stopMotion();
    zooming_ = true;
    pinchStartScale_ = zoomScale_;
    if (auto d = delegate()) d->scrollViewWillBeginZooming(*this, view.get());
  }
  if (state == State::Began || state == State::Changed) {
    double wanted = pinchStartScale_ * pinch_->scale();
    double scale = clampedScale(wanted);
    // Past a limit the zoom follows the fingers at half the rate.
    if (bouncesZoom_ && wanted != scale) scale *= std::sqrt(wanted / scale);
    applyZoom(scale, anchor);
    setContentOffset(clamped(contentOffset()));
    if (auto d = delegate()) d->scrollViewDidZoom(*this);
    return;
  }
  if (state != State::Ended && state != State::Cancelled) return;
  zooming_ = false;
  double settled = clampedScale(zoomScale_);
  if (settled == zoomScale_) {
    if (auto d = delegate()) d->scrollViewDidEndZooming(*this, view.get(), zoomScale_);
    return;
  }
  zoomBouncing_ = true;
  startZoomMotion(settled, restingOffsetForZoom(settled, anchor));
}
