#pragma once

// Headless views, each backed by a CALayer that holds its geometry and
// appearance: the view tree (owned subviews, weak superview), frame, bounds,
// centre and transform kept consistent through the layer, conversion between
// views through their transforms, hit-testing, autoresizing, the layout pass
// (once per run-loop turn for views in a window), drawing through drawRect
// into the layer's backing image, and rendering to pixels.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/coregraphics/CGGeometry.h"
#include "platform/foundation/ObservableProperty.h"
#include "platform/foundation/OnceCallback.h"
#include "platform/quartzcore/CALayer.h"
#include "platform/uikit/UIColor.h"
#include "platform/uikit/UIGeometry.h"
#include "platform/uikit/UIResponder.h"
#include "platform/uikit/UITraitCollection.h"
#include "platform/uikit/UIViewAnimation.h"
#include "platform/foundation/ThreadChecks.h"

class UIWindow;
class UIViewController;
class UIImage;
class NSLayoutConstraint;
class NSLayoutXAxisAnchor;
class NSLayoutYAxisAnchor;
class NSLayoutDimension;
class UILayoutGuide;
class UIGestureRecognizer;

// Raw values as on the platform.
enum UIViewContentMode : int64_t {
  UIViewContentModeScaleToFill = 0,
  UIViewContentModeScaleAspectFit = 1,
  UIViewContentModeScaleAspectFill = 2,
  UIViewContentModeRedraw = 3,
  UIViewContentModeCenter = 4,
  UIViewContentModeTop = 5,
  UIViewContentModeBottom = 6,
  UIViewContentModeLeft = 7,
  UIViewContentModeRight = 8,
  UIViewContentModeTopLeft = 9,
  UIViewContentModeTopRight = 10,
  UIViewContentModeBottomLeft = 11,
  UIViewContentModeBottomRight = 12,
};

enum UIViewAutoresizing : uint64_t {
  UIViewAutoresizingNone = 0,
  UIViewAutoresizingFlexibleLeftMargin = 1 << 0,
  UIViewAutoresizingFlexibleWidth = 1 << 1,
  UIViewAutoresizingFlexibleRightMargin = 1 << 2,
  UIViewAutoresizingFlexibleTopMargin = 1 << 3,
  UIViewAutoresizingFlexibleHeight = 1 << 4,
  UIViewAutoresizingFlexibleBottomMargin = 1 << 5,
};

// The size a view has no intrinsic value for.
inline constexpr double UIViewNoIntrinsicMetric = -1;

class UIView : public UIResponder, public CALayerDelegate {
 public:
  UIView();
  explicit UIView(const CGRect& frame);
  ~UIView() override;
  static std::shared_ptr<UIView> viewWithFrame(const CGRect& frame) {
    return std::make_shared<UIView>(frame);
  }

  const std::shared_ptr<CALayer>& layer() const { return layer_; }

  // Geometry (all kept in the layer). The frame is the bounding box of the
  // transformed bounds; setting it under a transform sizes the bounds so
  // that their transformed box is the frame, and centres it there.
  CGRect frame() const { return layer_->frame(); }
  void setFrame(const CGRect& frame);
  CGRect bounds() const { return layer_->bounds(); }
  void setBounds(const CGRect& bounds);
  CGPoint center() const { return layer_->position(); }
  void setCenter(const CGPoint& center);
  CGAffineTransform transform() const { return layer_->affineTransform(); }
  void setTransform(const CGAffineTransform& transform);

  // Appearance.
  bool isHidden() const { return hidden_.get(); }
  virtual void setHidden(bool hidden);
  double alpha() const { return alpha_.get(); }
  virtual void setAlpha(double alpha);
  UIColorPtr backgroundColor() const { return backgroundColor_; }
  void setBackgroundColor(UIColorPtr color);
  bool clipsToBounds() const { return layer_->masksToBounds(); }
  void setClipsToBounds(bool clips);
  UIViewContentMode contentMode() const { return contentMode_; }
  void setContentMode(UIViewContentMode mode);
  // The nearest tint set on this view or an ancestor; the system blue when none.
  UIColorPtr tintColor() const;
  void setTintColor(UIColorPtr color);
  // Called on this view and its descendants when the tint they inherit changes.
  virtual void tintColorDidChange() {}
  bool isUserInteractionEnabled() const { return userInteractionEnabled_; }
  void setUserInteractionEnabled(bool enabled);
  int64_t tag() const { return tag_; }
  void setTag(int64_t tag);
  // Itself or the first descendant, depth first, with the tag.
  std::shared_ptr<UIView> viewWithTag(int64_t tag);
  // Pixels per point of the view's drawing.
  double contentScaleFactor() const { return layer_->contentsScale(); }
  void setContentScaleFactor(double scale);

  // The tree.
  // Empty while the superview is still being constructed.
  std::shared_ptr<UIView> superview() const;
  const std::vector<std::shared_ptr<UIView>>& subviews() const { return subviews_; }
  void addSubview(const std::shared_ptr<UIView>& view);
  // An index past the end appends.
  void insertSubviewAtIndex(const std::shared_ptr<UIView>& view, size_t index);
  void insertSubviewAboveSubview(const std::shared_ptr<UIView>& view, const UIView* sibling);
  void insertSubviewBelowSubview(const std::shared_ptr<UIView>& view, const UIView* sibling);
  void bringSubviewToFront(const UIView* view);
  void sendSubviewToBack(const UIView* view);
  // Also deactivates the constraints that tie this view or its subviews to
  // views outside them, as moving the view to another superview does.
  void removeFromSuperview();
  bool isDescendantOfView(const UIView* view) const;
  // The window at the root of this view's tree, or nullptr.
  virtual std::shared_ptr<UIWindow> window() const;

  virtual void willMoveToSuperview(const std::shared_ptr<UIView>&) {}
  virtual void didMoveToSuperview() {}
  // Only when the window the view is in changes.
  virtual void willMoveToWindow(const std::shared_ptr<UIWindow>&) {}
  virtual void didMoveToWindow() {}
  virtual void didAddSubview(const std::shared_ptr<UIView>&) {}
  virtual void willRemoveSubview(const std::shared_ptr<UIView>&) {}

  // Conversion between views of one tree, through every transform on the
  // way; nullptr means the window (the root when the view has none).
  CGPoint convertPointToView(const CGPoint& point, const UIView* view) const;
  CGPoint convertPointFromView(const CGPoint& point, const UIView* view) const;
  CGRect convertRectToView(const CGRect& rect, const UIView* view) const;
  CGRect convertRectFromView(const CGRect& rect, const UIView* view) const;

  // The deepest visible, interactive view containing the point (in this
  // view's bounds space). As on the platform, a point outside a view's
  // bounds reaches none of its subviews, whether it clips or not.
  virtual std::shared_ptr<UIView> hitTest(const CGPoint& point, UIEvent* event);
  virtual bool pointInside(const CGPoint& point, UIEvent* event) const;

  // Autoresizing: applied to the subviews when this view's size changes.
  uint64_t autoresizingMask() const { return autoresizingMask_; }
  void setAutoresizingMask(uint64_t mask);
  bool autoresizesSubviews() const { return autoresizesSubviews_; }
  void setAutoresizesSubviews(bool on);

  // The layout pass: a view marked as needing layout is laid out once at the
  // end of the current run-loop turn when it is in a window, or at the next
  // layoutIfNeeded. Laying out solves the constraints of the subviews, then
  // calls layoutSubviews.
  void setNeedsLayout();
  bool needsLayout() const { return layer_->needsLayout(); }
  void layoutIfNeeded();
  virtual void layoutSubviews() {}

  // Sizing.
  virtual CGSize sizeThatFits(CGSize size) const;
  void sizeToFit();
  // The size the content wants; UIViewNoIntrinsicMetric where it has none.
  virtual CGSize intrinsicContentSize() const;
  void invalidateIntrinsicContentSize();

  // Safe area: how far the window's unsafe edges, and the extra insets of
  // the controllers whose views hold this one (their bars), reach into it.
  UIEdgeInsets safeAreaInsets() const;
  // The bounds less the safe area insets.
  const std::shared_ptr<UILayoutGuide>& safeAreaLayoutGuide();
  // Called in the layout pass when the safe area insets differ from the
  // last pass's.
  virtual void safeAreaInsetsDidChange() {}

  UITraitCollection traitCollection() const;
  virtual void traitCollectionDidChange(const UITraitCollection&) {}

  // Auto Layout.
  bool translatesAutoresizingMaskIntoConstraints() const { return translatesMask_; }
  void setTranslatesAutoresizingMaskIntoConstraints(bool on);
  NSLayoutXAxisAnchor& leftAnchor();
  NSLayoutXAxisAnchor& rightAnchor();
  NSLayoutXAxisAnchor& leadingAnchor();
  NSLayoutXAxisAnchor& trailingAnchor();
  NSLayoutXAxisAnchor& centerXAnchor();
  NSLayoutYAxisAnchor& topAnchor();
  NSLayoutYAxisAnchor& bottomAnchor();
  NSLayoutYAxisAnchor& centerYAnchor();
  NSLayoutDimension& widthAnchor();
  NSLayoutDimension& heightAnchor();
  // The active constraints naming this view.
  const std::vector<std::shared_ptr<NSLayoutConstraint>>& constraints() const {
    return constraints_;
  }

  // Drawing: drawRect paints the layer's backing image in bounds space while
  // it is the current UIKit context. setNeedsDisplay redraws it before the
  // view is next rendered.
  virtual void drawRect(const CGRect&) {}
  void setNeedsDisplay();
  // Renders this view's tree, as it shows now, scaled into rect of the
  // current UIKit context; false when there is none.
  bool drawViewHierarchyInRect(const CGRect& rect, bool afterScreenUpdates);
  // A view showing a picture of this one as it shows now.
  std::shared_ptr<UIView> snapshotViewAfterScreenUpdates(bool afterUpdates);

  // Animation blocks. Inside `animations` view properties change at once and
  // their layers animate from what they showed; `completion` runs on the main
  // run loop once all those animations stopped (finished false when one was
  // removed early), or on the next turn when there were none. A zero duration
  // without delay changes the values without animating.
  static void animateWithDuration(double duration, double delay, uint64_t options,
                                  const std::function<void()>& animations,
                                  OnceCallback<void(bool)> completion);
  static void animateWithDuration(double duration, const std::function<void()>& animations,
                                  OnceCallback<void(bool)> completion = nullptr);
  // The spring variant (usingSpringWithDamping:initialSpringVelocity:).
  static void animateWithDuration(double duration, double delay, double dampingRatio,
                                  double velocity, uint64_t options,
                                  const std::function<void()>& animations,
                                  OnceCallback<void(bool)> completion);
  static void animateKeyframesWithDuration(double duration, double delay, uint64_t options,
                                           const std::function<void()>& animations,
                                           OnceCallback<void(bool)> completion);
  // Fractions of the enclosing keyframes block.
  static void addKeyframeWithRelativeStartTime(double start, double duration,
                                               const std::function<void()>& animations);
  // Records a transition (kCATransition key) on the view's layer; changes in
  // `animations` are not animated unless AllowAnimatedContent is given.
  static void transitionWithView(const std::shared_ptr<UIView>& view, double duration,
                                 uint64_t options, const std::function<void()>& animations,
                                 OnceCallback<void(bool)> completion);
  static void performWithoutAnimation(const std::function<void()>& actions);
  static bool areAnimationsEnabled();
  static void setAnimationsEnabled(bool enabled);
  // The duration of the animation block being run; 0 outside one.
  static double inheritedAnimationDuration();

  // Accessibility: how assistive technologies find and read the view.
  const std::string& accessibilityIdentifier() const { return accessibilityIdentifier_; }
  void setAccessibilityIdentifier(std::string id);
  // Set, else what the view shows (a label's text, a button's title).
  virtual std::string accessibilityLabel() const;
  void setAccessibilityLabel(std::optional<std::string> label);
  const std::string& accessibilityHint() const { return accessibilityHint_; }
  void setAccessibilityHint(std::string hint);
  // Set, else whether the kind of view is one (labels and controls are).
  virtual bool isAccessibilityElement() const;
  void setIsAccessibilityElement(bool on);
  bool accessibilityElementsHidden() const { return accessibilityElementsHidden_; }
  void setAccessibilityElementsHidden(bool on);
  bool accessibilityViewIsModal() const { return accessibilityViewIsModal_; }
  void setAccessibilityViewIsModal(bool on);
  bool accessibilityIgnoresInvertColors() const { return ignoresInvertColors_; }
  void setAccessibilityIgnoresInvertColors(bool on);

  // The view controller whose root view this is, when any.
  std::shared_ptr<UIViewController> owningViewController() const { return controller_.lock(); }
  // The owning controller, else the superview.
  std::shared_ptr<UIResponder> nextResponder() const override;
  void setOwningViewController(const std::shared_ptr<UIViewController>& vc) {
    QX_DCHECK_MAIN_THREAD();
    controller_ = vc;
  }

  // CALayerDelegate.
  void drawLayerInContext(CALayer& layer, const CGContextRef& context) override;
  void layoutSublayersOfLayer(CALayer& layer) override;

  std::string className() const override { return "UIView"; }

  // --- Gesture recognizers (UIGestureRecognizer.cpp) ---
  // Touches that hit this view or a subview reach these recognizers first.
  void addGestureRecognizer(const std::shared_ptr<UIGestureRecognizer>& recognizer);
  void removeGestureRecognizer(const std::shared_ptr<UIGestureRecognizer>& recognizer);
  const std::vector<std::shared_ptr<UIGestureRecognizer>>& gestureRecognizers() const {
    return gestureRecognizers_;
  }
  // Asked of the views between a touch's hit view and a recognizer's view
  // before the recognizer recognizes: a view may keep a gesture from starting.
  virtual bool gestureRecognizerShouldBegin(UIGestureRecognizer& recognizer);

  // The label set explicitly, if any (what the driver's view tree reports).
  const std::optional<std::string>& accessibilityLabelSetting() const {
    return accessibilityLabel_;
  }

 protected:
  // What was set explicitly, for subclasses' own defaults.
  const std::optional<bool>& accessibilityElementSetting() const { return accessibilityElement_; }
  // For subclasses backed by a layer of their own kind.
  UIView(std::shared_ptr<CALayer> layer, const CGRect& frame);

 private:
  friend class NSLayoutConstraint;
  friend class UIViewAnimationState;
  void attachSubview(const std::shared_ptr<UIView>& view, size_t index);
  void insertLayerOf(const UIView& view, size_t index);
  void notifyWillMoveToWindow(const std::shared_ptr<UIWindow>& window);
  void notifyDidMoveToWindow();
  void notifyTintChange();
  void resizeSubviews(CGSize oldSize);
  void applyAutoresizing(CGSize oldSuperSize, CGSize newSuperSize);
  void boundsSizeChanged(CGSize oldSize);
  // The bounds less the safe area, in the window's space.
  CGRect safeRectInWindow(const UIWindow& window) const;
  // Tells this view and its controller when the safe area changed.
  void noteSafeAreaChange();
  // Sets a layer value, through a view animation when one is being recorded.
  void setAnimatable(const char* keyPath, const CAValue& value);
  void addConstraint(const std::shared_ptr<NSLayoutConstraint>& c);
  void removeConstraint(const NSLayoutConstraint* c);
  // Deactivates the constraints between this view's subtree and views
  // outside it: the ones its former ancestors held.
  void deactivateConstraintsLeavingSubtree();
  struct Anchors;
  Anchors& anchors();

  std::shared_ptr<CALayer> layer_;
  // The layer's delegate: lives as long as the view, points back at it.
  std::shared_ptr<CALayerDelegate> layerDelegate_;
  ObservableProperty<bool> hidden_{this, "hidden", false};
  ObservableProperty<double> alpha_{this, "alpha", 1.0};
  UIColorPtr backgroundColor_;
  UIColorPtr tintColor_;
  UIViewContentMode contentMode_ = UIViewContentModeScaleToFill;
  bool userInteractionEnabled_ = true;
  int64_t tag_ = 0;
  uint64_t autoresizingMask_ = UIViewAutoresizingNone;
  bool autoresizesSubviews_ = true;
  bool translatesMask_ = true;
  // A plain pointer, so that a view can adopt subviews while it is being
  // constructed (before any shared pointer to it exists); the superview
  // clears it in its destructor, so it never dangles. Main thread only.
  UIView* superview_ = nullptr;
  std::vector<std::shared_ptr<UIView>> subviews_;
  std::weak_ptr<UIViewController> controller_;
  std::vector<std::shared_ptr<NSLayoutConstraint>> constraints_;
  std::shared_ptr<Anchors> anchors_;  // made on first use
  std::shared_ptr<UILayoutGuide> safeAreaGuide_;
  UIEdgeInsets lastSafeArea_;
  std::vector<std::shared_ptr<UIGestureRecognizer>> gestureRecognizers_;
  std::string accessibilityIdentifier_;
  std::optional<std::string> accessibilityLabel_;
  std::string accessibilityHint_;
  std::optional<bool> accessibilityElement_;
  bool accessibilityElementsHidden_ = false;
  bool accessibilityViewIsModal_ = false;
  bool ignoresInvertColors_ = false;
};

using UIViewPtr = std::shared_ptr<UIView>;
