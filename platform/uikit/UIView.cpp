#include "platform/uikit/UIView.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <typeinfo>

#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/quartzcore/CALayerRenderTimeDrawing.h"
#include "platform/uikit/NSLayoutConstraint.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIViewAnimation.h"
#include "platform/uikit/UIViewController.h"
#include "platform/uikit/UIWindow.h"

namespace {

// The layer's delegate: owned by the view, so it goes when the view goes.
class ViewLayerDelegate final : public CALayerDelegate, public CALayerRenderTimeDrawing {
 public:
  explicit ViewLayerDelegate(UIView* view) : view_(view) {}
  bool displayLayer(CALayer& layer) override { return view_->displayLayer(layer); }
  void drawLayerInContext(CALayer& layer, const CGContextRef& context) override {
    view_->drawLayerInContext(layer, context);
  }
  CALayerRenderTimeDrawing* renderTimeDrawing() override { return this; }
  // Labels draw their text straight into the picture being rendered: their
  // text changes often, and a backing store as large as the label costs more
  // to clear and composite than its glyphs cost to draw.
  bool drawsWhenRendered(CALayer&) override { return kind() != Kind::Other; }
  // A label clips its own text where the ink crosses its bounds and undoes
  // what it changes; a subclass may draw anything, so it is clipped.
  bool drawsWithinBounds(CALayer&) override { return kind() == Kind::PlainLabel; }
  void layoutSublayersOfLayer(CALayer& layer) override { view_->layoutSublayersOfLayer(layer); }

 private:
  enum class Kind : uint8_t { Unknown, PlainLabel, Label, Other };
  // Settled at the first frame: the view is still being built when this is.
  Kind kind() {
    if (kind_ == Kind::Unknown) {
      kind_ = typeid(*view_) == typeid(UILabel)          ? Kind::PlainLabel
              : dynamic_cast<UILabel*>(view_) != nullptr ? Kind::Label
                                                         : Kind::Other;
    }
    return kind_;
  }

  UIView* view_;
  Kind kind_ = Kind::Unknown;
};

// Views waiting for the layout pass at the end of this run-loop turn. Main
// thread only.
struct LayoutPass {
  std::vector<std::weak_ptr<UIView>> views;
  bool posted = false;
};

LayoutPass& layoutPass() {
  static LayoutPass pass;
  return pass;
}

void runLayoutPass() {
  auto views = std::move(layoutPass().views);
  layoutPass().views.clear();
  layoutPass().posted = false;
  for (auto& weak : views) {
    auto view = weak.lock();
    if (!view) continue;
    if (auto window = view->window()) window->layoutIfNeeded();
  }
}

const char* gravityFor(UIViewContentMode mode) {
  switch (mode) {
    case UIViewContentModeScaleAspectFit: return kCAGravityResizeAspect;
    case UIViewContentModeScaleAspectFill: return kCAGravityResizeAspectFill;
    case UIViewContentModeCenter: return kCAGravityCenter;
    case UIViewContentModeTop: return kCAGravityTop;
    case UIViewContentModeBottom: return kCAGravityBottom;
    case UIViewContentModeLeft: return kCAGravityLeft;
    case UIViewContentModeRight: return kCAGravityRight;
    case UIViewContentModeTopLeft: return kCAGravityTopLeft;
    case UIViewContentModeTopRight: return kCAGravityTopRight;
    case UIViewContentModeBottomLeft: return kCAGravityBottomLeft;
    case UIViewContentModeBottomRight: return kCAGravityBottomRight;
    default: return kCAGravityResize;
  }
}

// One axis of autoresizing: the flexible parts share the change in
// proportion to their sizes (equally when all are zero).
void resizeAxis(double& origin, double& length, double oldSuper, double newSuper, bool flexLow,
                bool flexLength, bool flexHigh) {
  double delta = newSuper - oldSuper;
  if (delta == 0 || !(flexLow || flexLength || flexHigh)) return;
  double low = origin, high = oldSuper - origin - length;
  double parts[3] = {flexLow ? std::max(0.0, low) : 0, flexLength ? std::max(0.0, length) : 0,
                     flexHigh ? std::max(0.0, high) : 0};
  double total = parts[0] + parts[1] + parts[2];
  int count = int(flexLow) + int(flexLength) + int(flexHigh);
  auto share = [&](int i, bool flex) {
    if (!flex) return 0.0;
    return total > 0 ? delta * parts[i] / total : delta / count;
  };
  origin += share(0, flexLow);
  length = std::max(0.0, length + share(1, flexLength));
}

}  // namespace

UIView::UIView() : UIView(CALayer::layer(), CGRectZero) {}

UIView::UIView(const CGRect& frame) : UIView(CALayer::layer(), frame) {}

UIView::UIView(std::shared_ptr<CALayer> layer, const CGRect& frame)
    : layer_(layer ? std::move(layer) : CALayer::layer()),
      layerDelegate_(std::make_shared<ViewLayerDelegate>(this)) {
  layer_->setDelegate(layerDelegate_);
  layer_->setContentsScale(UIScreen::mainScreen()->scale());
  layer_->setFrame(frame);
}

UIView::~UIView() {
  for (auto& sub : subviews_) sub->superview_ = nullptr;
}

std::shared_ptr<UIView> UIView::superview() const {
  if (!superview_) return nullptr;
  return std::static_pointer_cast<UIView>(superview_->weak_from_this().lock());
}

// Geometry ----------------------------------------------------------------

void UIView::setAnimatable(const char* keyPath, const CAValue& value) {
  UIViewAnimationState::recordChange(*layer_, keyPath, value);
  layer_->setValueForKeyPath(keyPath, value);
}

void UIView::setFrame(const CGRect& frame) {
  QX_DCHECK_MAIN_THREAD();
  CGSize old = bounds().size;
  CGRect newBounds;
  CGPoint position;
  layer_->geometryForFrame(frame, newBounds, position);
  CGPoint oldPosition = layer_->position();
  setAnimatable("bounds", newBounds);
  setAnimatable("position", position);
  boundsSizeChanged(old);
  // A controller's view moving in its window (a presentation sliding it
  // into place) may meet a different safe area: lay it out again.
  if (position != oldPosition && bounds().size == old && !controller_.expired() && window()) {
    setNeedsLayout();
  }
}

void UIView::setBounds(const CGRect& bounds) {
  QX_DCHECK_MAIN_THREAD();
  CGSize old = this->bounds().size;
  setAnimatable("bounds", CGRectStandardize(bounds));
  boundsSizeChanged(old);
}

void UIView::setCenter(const CGPoint& center) {
  QX_DCHECK_MAIN_THREAD();
  setAnimatable("position", center);
}

void UIView::setTransform(const CGAffineTransform& transform) {
  QX_DCHECK_MAIN_THREAD();
  setAnimatable("transform", CATransform3DMakeAffineTransform(transform));
}

void UIView::boundsSizeChanged(CGSize oldSize) {
  if (bounds().size == oldSize) return;
  resizeSubviews(oldSize);
  setNeedsLayout();
  if (contentMode_ == UIViewContentModeRedraw) setNeedsDisplay();
}

void UIView::setAutoresizesSubviews(bool on) {
  QX_DCHECK_MAIN_THREAD();
  autoresizesSubviews_ = on;
}

void UIView::resizeSubviews(CGSize oldSize) {
  if (!autoresizesSubviews_) return;
  for (auto& sub : std::vector<UIViewPtr>(subviews_)) {
    sub->applyAutoresizing(oldSize, bounds().size);
  }
}

void UIView::applyAutoresizing(CGSize oldSuperSize, CGSize newSuperSize) {
  if (autoresizingMask_ == UIViewAutoresizingNone || !translatesMask_) return;
  CGRect f = frame();
  uint64_t m = autoresizingMask_;
  resizeAxis(f.origin.x, f.size.width, oldSuperSize.width, newSuperSize.width,
             m & UIViewAutoresizingFlexibleLeftMargin, m & UIViewAutoresizingFlexibleWidth,
             m & UIViewAutoresizingFlexibleRightMargin);
  resizeAxis(f.origin.y, f.size.height, oldSuperSize.height, newSuperSize.height,
             m & UIViewAutoresizingFlexibleTopMargin, m & UIViewAutoresizingFlexibleHeight,
             m & UIViewAutoresizingFlexibleBottomMargin);
  setFrame(f);
}

void UIView::setAutoresizingMask(uint64_t mask) {
  QX_DCHECK_MAIN_THREAD();
  autoresizingMask_ = mask;
}

// Appearance --------------------------------------------------------------

void UIView::setHidden(bool hidden) {
  QX_DCHECK_MAIN_THREAD();
  hidden_.set(hidden);
  layer_->setHidden(hidden);
}

void UIView::setAlpha(double alpha) {
  QX_DCHECK_MAIN_THREAD();
  double a = std::isnan(alpha) ? 0.0 : std::clamp(alpha, 0.0, 1.0);
  alpha_.set(a);
  setAnimatable("opacity", a);
}

void UIView::setBackgroundColor(UIColorPtr color) {
  QX_DCHECK_MAIN_THREAD();
  backgroundColor_ = std::move(color);
  setAnimatable("backgroundColor", backgroundColor_ ? backgroundColor_->CGColor() : CGColorRef());
}

void UIView::setClipsToBounds(bool clips) {
  QX_DCHECK_MAIN_THREAD();
  layer_->setMasksToBounds(clips);
}

void UIView::setContentMode(UIViewContentMode mode) {
  QX_DCHECK_MAIN_THREAD();
  contentMode_ = mode;
  layer_->setContentsGravity(gravityFor(mode));
}

UIColorPtr UIView::tintColor() const {
  for (const UIView* v = this; v;) {
    if (v->tintColor_) return v->tintColor_;
    v = v->superview_;
  }
  return UIColor::systemBlueColor();
}

void UIView::setTintColor(UIColorPtr color) {
  QX_DCHECK_MAIN_THREAD();
  tintColor_ = std::move(color);
  notifyTintChange();
}

void UIView::notifyTintChange() {
  tintColorDidChange();
  for (auto& sub : std::vector<UIViewPtr>(subviews_)) {
    if (!sub->tintColor_) sub->notifyTintChange();
  }
}

void UIView::setUserInteractionEnabled(bool enabled) {
  QX_DCHECK_MAIN_THREAD();
  userInteractionEnabled_ = enabled;
}

void UIView::setTag(int64_t tag) {
  QX_DCHECK_MAIN_THREAD();
  tag_ = tag;
}

std::shared_ptr<UIView> UIView::viewWithTag(int64_t tag) {
  if (tag_ == tag) return SharedFromThis(this);
  for (auto& sub : subviews_) {
    if (auto found = sub->viewWithTag(tag)) return found;
  }
  return nullptr;
}

void UIView::setContentScaleFactor(double scale) {
  QX_DCHECK_MAIN_THREAD();
  layer_->setContentsScale(scale);
  setNeedsDisplay();
}

// Tree --------------------------------------------------------------------

void UIView::addSubview(const std::shared_ptr<UIView>& view) {
  insertSubviewAtIndex(view, subviews_.size());
}

void UIView::insertSubviewAtIndex(const std::shared_ptr<UIView>& given, size_t index) {
  QX_DCHECK_MAIN_THREAD();
  auto view = given;  // `given` may live in subviews_, which changes below
  if (!view || view.get() == this || isDescendantOfView(view.get())) return;
  if (view->superview().get() == this) {
    // Moving within this view: no lifecycle calls, as on the platform.
    auto it = std::find(subviews_.begin(), subviews_.end(), view);
    size_t old = size_t(it - subviews_.begin());
    subviews_.erase(it);
    if (index > old) --index;
    index = std::min(index, subviews_.size());
    subviews_.insert(subviews_.begin() + std::ptrdiff_t(index), view);
    insertLayerOf(*view, index);
    setNeedsLayout();
    return;
  }
  attachSubview(view, std::min(index, subviews_.size()));
}

void UIView::attachSubview(const std::shared_ptr<UIView>& view, size_t index) {
  // Empty while this view is still being constructed: subclasses build
  // their subviews in their constructors.
  auto self = std::static_pointer_cast<UIView>(weak_from_this().lock());
  auto oldWindow = view->window();
  auto newWindow = window();
  auto oldTint = view->tintColor();
  view->willMoveToSuperview(self);
  if (oldWindow != newWindow) view->notifyWillMoveToWindow(newWindow);
  if (auto old = view->superview()) {
    old->willRemoveSubview(view);
    std::erase(old->subviews_, view);
    view->superview_ = nullptr;
    view->deactivateConstraintsLeavingSubtree();
    old->setNeedsLayout();
  }
  subviews_.insert(subviews_.begin() + std::ptrdiff_t(index), view);
  view->superview_ = this;
  insertLayerOf(*view, index);
  view->didMoveToSuperview();
  if (oldWindow != newWindow) view->notifyDidMoveToWindow();
  didAddSubview(view);
  if (!view->tintColor_ && !view->tintColor()->isEqual(*oldTint)) view->notifyTintChange();
  view->setNeedsLayout();
  setNeedsLayout();
}

void UIView::insertLayerOf(const UIView& view, size_t index) {
  // Layers of other kinds may sit among the subviews' layers: place the
  // view's layer right above its lower sibling's, or below the upper one's.
  if (index > 0) {
    layer_->insertSublayerAbove(view.layer_, subviews_[index - 1]->layer_.get());
  } else if (subviews_.size() > 1) {
    layer_->insertSublayerBelow(view.layer_, subviews_[1]->layer_.get());
  } else {
    layer_->addSublayer(view.layer_);
  }
}

void UIView::insertSubviewAboveSubview(const std::shared_ptr<UIView>& view, const UIView* sibling) {
  auto it = std::find_if(subviews_.begin(), subviews_.end(),
                         [sibling](const UIViewPtr& v) { return v.get() == sibling; });
  insertSubviewAtIndex(view, it == subviews_.end() ? subviews_.size()
                                                   : size_t(it - subviews_.begin()) + 1);
}

void UIView::insertSubviewBelowSubview(const std::shared_ptr<UIView>& view, const UIView* sibling) {
  auto it = std::find_if(subviews_.begin(), subviews_.end(),
                         [sibling](const UIViewPtr& v) { return v.get() == sibling; });
  insertSubviewAtIndex(view, it == subviews_.end() ? subviews_.size()
                                                   : size_t(it - subviews_.begin()));
}

void UIView::bringSubviewToFront(const UIView* view) {
  auto it = std::find_if(subviews_.begin(), subviews_.end(),
                         [view](const UIViewPtr& v) { return v.get() == view; });
  if (it != subviews_.end()) insertSubviewAtIndex(*it, subviews_.size());
}

void UIView::sendSubviewToBack(const UIView* view) {
  auto it = std::find_if(subviews_.begin(), subviews_.end(),
                         [view](const UIViewPtr& v) { return v.get() == view; });
  if (it != subviews_.end()) insertSubviewAtIndex(*it, 0);
}

void UIView::removeFromSuperview() {
  QX_DCHECK_MAIN_THREAD();
  // A plain pointer: the superview may still be under construction.
  UIView* parent = superview_;
  if (!parent) return;
  auto self = SharedFromThis(this);
  auto oldWindow = window();
  willMoveToSuperview(nullptr);
  if (oldWindow) notifyWillMoveToWindow(nullptr);
  parent->willRemoveSubview(self);
  std::erase(parent->subviews_, self);
  superview_ = nullptr;
  deactivateConstraintsLeavingSubtree();
  layer_->removeFromSuperlayer();
  parent->setNeedsLayout();
  didMoveToSuperview();
  if (oldWindow) notifyDidMoveToWindow();
}

void UIView::notifyWillMoveToWindow(const std::shared_ptr<UIWindow>& window) {
  willMoveToWindow(window);
  for (auto& sub : std::vector<UIViewPtr>(subviews_)) sub->notifyWillMoveToWindow(window);
}

void UIView::notifyDidMoveToWindow() {
  if (auto vc = owningViewController()) vc->viewMovedToWindow(window() != nullptr);
  didMoveToWindow();
  for (auto& sub : std::vector<UIViewPtr>(subviews_)) sub->notifyDidMoveToWindow();
}

bool UIView::isDescendantOfView(const UIView* view) const {
  for (const UIView* v = this; v;) {
    if (v == view) return true;
    v = v->superview_;
  }
  return false;
}

std::shared_ptr<UIWindow> UIView::window() const {
  return superview_ ? superview_->window() : nullptr;
}

// Conversion and hit-testing ---------------------------------------------

CGPoint UIView::convertPointToView(const CGPoint& point, const UIView* view) const {
  return layer_->convertPointToLayer(point, view ? view->layer_.get() : nullptr);
}

CGPoint UIView::convertPointFromView(const CGPoint& point, const UIView* view) const {
  return layer_->convertPointFromLayer(point, view ? view->layer_.get() : nullptr);
}

CGRect UIView::convertRectToView(const CGRect& rect, const UIView* view) const {
  return layer_->convertRectToLayer(rect, view ? view->layer_.get() : nullptr);
}

CGRect UIView::convertRectFromView(const CGRect& rect, const UIView* view) const {
  return layer_->convertRectFromLayer(rect, view ? view->layer_.get() : nullptr);
}

bool UIView::pointInside(const CGPoint& point, UIEvent*) const {
  return CGRectContainsPoint(bounds(), point);
}

std::shared_ptr<UIView> UIView::hitTest(const CGPoint& point, UIEvent* event) {
  if (isHidden() || !userInteractionEnabled_ || alpha() < 0.01 || !pointInside(point, event)) {
    return nullptr;
  }
  for (auto it = subviews_.rbegin(); it != subviews_.rend(); ++it) {
    const auto& sub = *it;
    CGPoint p = CGPointApplyAffineTransform(
        point, CGAffineTransformInvert(sub->layer_->affineToSuperlayer()));
    if (auto hit = sub->hitTest(p, event)) return hit;
  }
  return SharedFromThis(this);
}

// Layout ------------------------------------------------------------------

void UIView::setNeedsLayout() {
  QX_DCHECK_MAIN_THREAD();
  layer_->setNeedsLayout();
  auto weak = weak_from_this();
  if (weak.expired()) return;  // still being made; adding it to a tree marks it again
  auto& pass = layoutPass();
  pass.views.push_back(std::static_pointer_cast<UIView>(weak.lock()));
  if (!pass.posted) {
    pass.posted = true;
    NSRunLoop::mainRunLoop().perform([] { runLayoutPass(); });
  }
}

void UIView::layoutIfNeeded() {
  QX_DCHECK_MAIN_THREAD();
  layer_->layoutIfNeeded();
}

void UIView::layoutSublayersOfLayer(CALayer&) {
  noteSafeAreaChange();
  auto controller = owningViewController();
  if (controller) controller->viewWillLayoutSubviews();
  NSLayoutConstraint::solveSubviewsOf(*this);
  layoutSubviews();
  if (controller) controller->viewDidLayoutSubviews();
}

CGSize UIView::sizeThatFits(CGSize) const { return bounds().size; }

void UIView::sizeToFit() {
  QX_DCHECK_MAIN_THREAD();
  CGSize size = sizeThatFits(bounds().size);
  CGRect f = frame();
  setFrame(CGRect{f.origin, size});
}

CGSize UIView::intrinsicContentSize() const {
  return CGSizeMake(UIViewNoIntrinsicMetric, UIViewNoIntrinsicMetric);
}

void UIView::invalidateIntrinsicContentSize() {
  if (auto parent = superview()) parent->setNeedsLayout();
}

UIEdgeInsets UIView::safeAreaInsets() const {
  auto w = window();
  if (!w) return UIEdgeInsetsZero;
  UIEdgeInsets insets;
  if (w.get() == this) {
    insets = w->windowSafeAreaInsets();
  } else {
    // How far the superview's safe rect leaves this view's edges unsafe.
    auto parent = superview();
    CGRect safe = parent->safeRectInWindow(*w);
    CGRect r = convertRectToView(bounds(), w.get());
    auto clampTo = [](double v, double limit) {
      return std::clamp(v, 0.0, std::max(0.0, limit));
    };
    insets = UIEdgeInsetsMake(clampTo(safe.origin.y - r.origin.y, r.size.height),
                              clampTo(safe.origin.x - r.origin.x, r.size.width),
                              clampTo(CGRectGetMaxY(r) - CGRectGetMaxY(safe), r.size.height),
                              clampTo(CGRectGetMaxX(r) - CGRectGetMaxX(safe), r.size.width));
  }
  // A controller's extra insets (its own, and a container's bars) reach its
  // root view and, through it, everything inside.
  if (auto vc = owningViewController()) insets = UIEdgeInsetsAdd(insets, vc->totalExtraSafeArea());
  return insets;
}

CGRect UIView::safeRectInWindow(const UIWindow& w) const {
  CGRect r = convertRectToView(bounds(), &w);
  return UIEdgeInsetsInsetRect(r, safeAreaInsets());
}

void UIView::noteSafeAreaChange() {
  if (!window()) return;
  UIEdgeInsets now = safeAreaInsets();
  if (now == lastSafeArea_) return;
  lastSafeArea_ = now;
  // Everything inside measures its safe area from this view's.
  for (auto& sub : subviews_) sub->layer_->setNeedsLayout();
  safeAreaInsetsDidChange();
  if (auto vc = owningViewController()) vc->viewSafeAreaInsetsDidChange();
}

UITraitCollection UIView::traitCollection() const {
  UITraitCollection traits;
  auto screen = UIScreen::mainScreen();
  traits.displayScale = screen->scale();
  traits.userInterfaceIdiom = UIDevice::currentDevice()->userInterfaceIdiom();
  CGSize size = window() ? window()->bounds().size : screen->bounds().size;
  if (traits.userInterfaceIdiom == UIUserInterfaceIdiomPad) {
    traits.horizontalSizeClass = UIUserInterfaceSizeClassRegular;
    traits.verticalSizeClass = UIUserInterfaceSizeClassRegular;
  } else {
    traits.horizontalSizeClass = UIUserInterfaceSizeClassCompact;
    traits.verticalSizeClass = size.width > size.height ? UIUserInterfaceSizeClassCompact
                                                        : UIUserInterfaceSizeClassRegular;
  }
  return traits;
}

// Drawing -----------------------------------------------------------------

void UIView::setNeedsDisplay() {
  QX_DCHECK_MAIN_THREAD();
  layer_->setNeedsDisplay();
}

void UIView::drawLayerInContext(CALayer&, const CGContextRef& context) {
  UIGraphicsPushContext(context);
  drawRect(bounds());
  UIGraphicsPopContext();
}

bool UIView::drawViewHierarchyInRect(const CGRect& rect, bool) {
  QX_DCHECK_MAIN_THREAD();
  auto context = UIGraphicsGetCurrentContext();
  if (!context) return false;
  layoutIfNeeded();
  CGRect b = bounds();
  if (b.size.width <= 0 || b.size.height <= 0) return true;
  CGContextSaveGState(context);
  CGContextTranslateCTM(context, rect.origin.x, rect.origin.y);
  CGContextScaleCTM(context, rect.size.width / b.size.width, rect.size.height / b.size.height);
  // renderInContext draws the layer at its frame: undo its own placement.
  CGContextConcatCTM(context, CGAffineTransformInvert(layer_->affineToSuperlayer()));
  layer_->renderInContext(context);
  CGContextRestoreGState(context);
  return true;
}

std::shared_ptr<UIView> UIView::snapshotViewAfterScreenUpdates(bool afterUpdates) {
  QX_DCHECK_MAIN_THREAD();
  CGRect b = bounds();
  auto snapshot = std::make_shared<UIView>(CGRectMake(0, 0, b.size.width, b.size.height));
  double scale = contentScaleFactor();
  auto context = UIGraphicsCreateImageContext(b.size, false, scale);
  if (context) {
    UIGraphicsPushContext(context);
    drawViewHierarchyInRect(CGRectMake(0, 0, b.size.width, b.size.height), afterUpdates);
    UIGraphicsPopContext();
    snapshot->layer_->setContents(CGBitmapContextCreateImage(context));
    snapshot->layer_->setContentsScale(scale);
  }
  return snapshot;
}

std::shared_ptr<UIResponder> UIView::nextResponder() const {
  if (auto controller = owningViewController()) return controller;
  return superview();
}

// Accessibility ----------------------------------------------------------

void UIView::setAccessibilityIdentifier(std::string id) {
  QX_DCHECK_MAIN_THREAD();
  accessibilityIdentifier_ = std::move(id);
}

std::string UIView::accessibilityLabel() const { return accessibilityLabel_.value_or(""); }

void UIView::setAccessibilityLabel(std::optional<std::string> label) {
  QX_DCHECK_MAIN_THREAD();
  accessibilityLabel_ = std::move(label);
}

void UIView::setAccessibilityHint(std::string hint) {
  QX_DCHECK_MAIN_THREAD();
  accessibilityHint_ = std::move(hint);
}

bool UIView::isAccessibilityElement() const { return accessibilityElement_.value_or(false); }

void UIView::setIsAccessibilityElement(bool on) {
  QX_DCHECK_MAIN_THREAD();
  accessibilityElement_ = on;
}

void UIView::setAccessibilityElementsHidden(bool on) {
  QX_DCHECK_MAIN_THREAD();
  accessibilityElementsHidden_ = on;
}

void UIView::setAccessibilityViewIsModal(bool on) {
  QX_DCHECK_MAIN_THREAD();
  accessibilityViewIsModal_ = on;
}

void UIView::setAccessibilityIgnoresInvertColors(bool on) {
  QX_DCHECK_MAIN_THREAD();
  ignoresInvertColors_ = on;
}
