#pragma once

// A view whose bounds origin is the scrolled content offset. Its own pan
// recognizer drags the content (rubber-banding past the edges when it
// bounces), a release decelerates on the platform clock with the platform's
// exponential decay (the offset after t ms is the target reached by
// 1 - rate^t of the way) and the delegate hears the calls in the platform's
// order. Its pinch recognizer zooms the delegate's zooming view: that view is
// scaled by its transform, sits at the content's origin and sets the content
// size; the offset is clamped into the content whenever the zoom changes.
//
// Nested scroll views share an axis: a drag this view cannot follow (it is
// at its edge that way, or has nothing to scroll) is left to the nearest
// enclosing scroll view along that axis, and the part of a drag that takes
// this view past an edge moves that enclosing view instead, which then
// decelerates, pages or bounces as if the finger had dragged it.

#include <memory>

#include "platform/uikit/UIGeometry.h"
#include "UIView.h"
#include "platform/foundation/NSTimer.h"
#include "platform/foundation/ObservableProperty.h"
#include "platform/foundation/ThreadChecks.h"

class UIScrollView;
class UIPanGestureRecognizer;
class UIPinchGestureRecognizer;

class UIScrollViewDelegate {
 public:
  virtual ~UIScrollViewDelegate() = default;
  virtual void scrollViewDidScroll(UIScrollView&) {}
  virtual void scrollViewWillBeginDragging(UIScrollView&) {}
  // Velocity in points per millisecond; the delegate may move the target.
  virtual void scrollViewWillEndDragging(UIScrollView&, CGPoint /*velocity*/,
                                         CGPoint* /*targetContentOffset*/) {}
  virtual void scrollViewDidEndDragging(UIScrollView&, bool /*willDecelerate*/) {}
  virtual void scrollViewWillBeginDecelerating(UIScrollView&) {}
  virtual void scrollViewDidEndDecelerating(UIScrollView&) {}
  virtual void scrollViewDidEndScrollingAnimation(UIScrollView&) {}
  virtual std::shared_ptr<UIView> viewForZoomingInScrollView(UIScrollView&) { return nullptr; }
  virtual void scrollViewWillBeginZooming(UIScrollView&, UIView* /*view*/) {}
  virtual void scrollViewDidZoom(UIScrollView&) {}
  virtual void scrollViewDidEndZooming(UIScrollView&, UIView* /*view*/, double /*scale*/) {}
  virtual void scrollViewDidChangeAdjustedContentInset(UIScrollView&) {}
};

enum class UIScrollViewContentInsetAdjustmentBehavior {
  Automatic = 0,
  ScrollableAxes = 1,
  Never = 2,
  Always = 3,
};

class UIScrollView : public UIView {
 public:
  // Deceleration rates: the share of velocity kept per millisecond.
  static constexpr double UIScrollViewDecelerationRateNormal = 0.998;
  static constexpr double UIScrollViewDecelerationRateFast = 0.99;
  // The duration of animated offset and zoom changes.
  static constexpr double kAnimationDuration = 0.3;

  UIScrollView();
  explicit UIScrollView(const CGRect& frame);
  ~UIScrollView() override;

  std::shared_ptr<UIScrollViewDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(const std::shared_ptr<UIScrollViewDelegate>& d) {
    QX_DCHECK_MAIN_THREAD();
    delegate_ = d;
  }

  CGPoint contentOffset() const { return bounds().origin; }
  // Sets the offset as given (no clamping) and tells the delegate.
  void setContentOffset(const CGPoint& offset);
  void setContentOffset(const CGPoint& offset, bool animated);
  CGSize contentSize() const { return contentSize_.get(); }
  void setContentSize(const CGSize& size);
  UIEdgeInsets contentInset() const { return contentInset_; }
  void setContentInset(const UIEdgeInsets& inset);
  // The content inset plus the safe area where the behaviour adds it.
  UIEdgeInsets adjustedContentInset() const;
  UIScrollViewContentInsetAdjustmentBehavior contentInsetAdjustmentBehavior() const {
    return insetBehavior_;
  }
  void setContentInsetAdjustmentBehavior(UIScrollViewContentInsetAdjustmentBehavior b);

  bool isScrollEnabled() const { return scrollEnabled_; }
  void setScrollEnabled(bool on) {
    QX_DCHECK_MAIN_THREAD();
    scrollEnabled_ = on;
  }
  bool isPagingEnabled() const { return pagingEnabled_; }
  void setPagingEnabled(bool on) {
    QX_DCHECK_MAIN_THREAD();
    pagingEnabled_ = on;
  }
  bool bounces() const { return bounces_; }
  void setBounces(bool on) {
    QX_DCHECK_MAIN_THREAD();
    bounces_ = on;
  }
  bool alwaysBounceVertical() const { return alwaysBounceVertical_; }
  void setAlwaysBounceVertical(bool on) {
    QX_DCHECK_MAIN_THREAD();
    alwaysBounceVertical_ = on;
  }
  bool alwaysBounceHorizontal() const { return alwaysBounceHorizontal_; }
  void setAlwaysBounceHorizontal(bool on) {
    QX_DCHECK_MAIN_THREAD();
    alwaysBounceHorizontal_ = on;
  }
  bool bouncesZoom() const { return bouncesZoom_; }
  void setBouncesZoom(bool on) {
    QX_DCHECK_MAIN_THREAD();
    bouncesZoom_ = on;
  }
  double decelerationRate() const { return decelerationRate_; }
  void setDecelerationRate(double rate) {
    QX_DCHECK_MAIN_THREAD();
    decelerationRate_ = rate;
  }
  // Touches reach the content only after kContentTouchDelay unless a drag
  // starts first (then the content never sees them).
  static constexpr double kContentTouchDelay = 0.15;
  bool delaysContentTouches() const { return delaysContentTouches_; }
  void setDelaysContentTouches(bool on);
  bool showsVerticalScrollIndicator() const { return showsVertical_; }
  void setShowsVerticalScrollIndicator(bool on) {
    QX_DCHECK_MAIN_THREAD();
    showsVertical_ = on;
  }
  bool showsHorizontalScrollIndicator() const { return showsHorizontal_; }
  void setShowsHorizontalScrollIndicator(bool on) {
    QX_DCHECK_MAIN_THREAD();
    showsHorizontal_ = on;
  }

  // A finger is down on the content.
  bool isTracking() const { return tracking_; }
  bool isDragging() const { return dragging_; }
  bool isDecelerating() const { return decelerating_; }
  bool isZooming() const { return zooming_; }
  bool isZoomBouncing() const { return zoomBouncing_; }

  double zoomScale() const { return zoomScale_; }
  void setZoomScale(double scale, bool animated = false);
  double minimumZoomScale() const { return minimumZoomScale_; }
  void setMinimumZoomScale(double s);
  double maximumZoomScale() const { return maximumZoomScale_; }
  void setMaximumZoomScale(double s);
  // Zooms so that `rect` (in the zooming view's space) fills the bounds as far
  // as the limits allow, centred.
  void zoomToRect(const CGRect& rect, bool animated);

  // Scrolls the least needed to show `rect` (content space).
  void scrollRectToVisible(const CGRect& rect, bool animated);

  UIPanGestureRecognizer* panGestureRecognizer() const { return pan_.get(); }
  // Present only while zooming is possible (the maximum exceeds the minimum).
  UIPinchGestureRecognizer* pinchGestureRecognizer() const;

  bool gestureRecognizerShouldBegin(UIGestureRecognizer& recognizer) override;
  void layoutSublayersOfLayer(CALayer& layer) override;

  // The offsets the content can rest at: from -inset to content + inset - bounds.
  CGPoint minimumContentOffset() const;
  CGPoint maximumContentOffset() const;

 protected:
  void didMoveToSuperview() override;

 private:
  class Pan;
  class ContentTouchDelay;
  friend class Pan;
  struct AxisMotion;
  struct Motion;

  void attachRecognizers();
  // Moves content resting at its top or left edge along with a change of
  // the safe area the inset behaviour adds.
  void followSafeArea();
  void fingerDown();
  void fingerUp();
  void handlePan();
  void endDrag(CGPoint velocity);
  // The nearest enclosing scroll view that scrolls along the axis.
  std::shared_ptr<UIScrollView> enclosingScrollViewAlong(bool horizontal) const;
  // Whether the offset can still change by `delta` along the axis without
  // passing an edge.
  bool canScrollFurther(bool horizontal, double delta) const;
  // Keeps the part of `proposed` within the edges and hands what lies past
  // them to the enclosing scroll views found when the drag began.
  CGPoint handOnOverflow(const CGPoint& proposed);
  // Ends the enclosing views' share of the drag; returns the release
  // velocity left for this view.
  CGPoint finishHandOff(CGPoint velocity);
  // The enclosing side: the drag handed on from a scroll view inside.
  void followHandedDrag(bool horizontal, double overflow);
  void endHandedDrag(CGPoint velocity);
  void handlePinch();
  CGPoint clamped(const CGPoint& offset) const;
  bool inNavigationController() const;
  CGPoint clampedFor(const CGPoint& offset, const CGSize& content) const;
  CGPoint maximumContentOffsetFor(const CGSize& content) const;
  double clampedScale(double scale) const;
  // Where the offset comes to rest when zooming to `scale` around `anchor`.
  CGPoint restingOffsetForZoom(double scale, const CGPoint& anchor);
  void startZoomMotion(double scale, const CGPoint& offset);
  CGPoint rubberBanded(const CGPoint& offset) const;
  bool scrollsHorizontally() const;
  bool scrollsVertically() const;
  CGPoint pagedTarget(const CGPoint& velocity) const;
  std::shared_ptr<UIView> zoomingView();
  // Applies a scale to the zooming view keeping `anchor` (a point of the
  // bounds, relative to the visible origin) over the same content point.
  void applyZoom(double scale, const CGPoint& anchor);
  void startMotion(std::unique_ptr<Motion> motion);
  void stopMotion();
  void step();

  std::weak_ptr<UIScrollViewDelegate> delegate_;
  ObservableProperty<CGPoint> contentOffset_{this, "contentOffset"};
  ObservableProperty<CGSize> contentSize_{this, "contentSize"};
  UIEdgeInsets contentInset_;
  UIEdgeInsets safeAreaAdded_;
  UIScrollViewContentInsetAdjustmentBehavior insetBehavior_ =
      UIScrollViewContentInsetAdjustmentBehavior::Automatic;
  bool scrollEnabled_ = true;
  bool pagingEnabled_ = false;
  bool bounces_ = true;
  bool alwaysBounceVertical_ = false;
  bool alwaysBounceHorizontal_ = false;
  bool bouncesZoom_ = true;
  double decelerationRate_ = UIScrollViewDecelerationRateNormal;
  bool delaysContentTouches_ = true;
  bool showsVertical_ = true;
  bool showsHorizontal_ = true;
  bool tracking_ = false;
  bool dragging_ = false;
  bool decelerating_ = false;
  bool zooming_ = false;
  bool zoomBouncing_ = false;
  double zoomScale_ = 1;
  double minimumZoomScale_ = 1;
  double maximumZoomScale_ = 1;
  CGPoint dragStart_;
  // While dragging: the enclosing views that take what passes the edges
  // (horizontal, vertical).
  std::weak_ptr<UIScrollView> handOffTo_[2];
  // While a drag handed on from inside moves this view: how far past its
  // edges the inner view was pulled, per axis.
  bool followingHandedDrag_ = false;
  CGPoint handedOverflow_;
  double pinchStartScale_ = 1;
  CGPoint pinchContentPoint_;
  std::shared_ptr<UIPanGestureRecognizer> pan_;
  std::shared_ptr<UIPinchGestureRecognizer> pinch_;
  std::shared_ptr<UIGestureRecognizer> contentTouchDelay_;
  bool recognizersAttached_ = false;
  std::unique_ptr<Motion> motion_;
  NSTimerPtr frameTimer_;
};
