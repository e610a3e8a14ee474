#pragma once

// Headless view model: real geometry (frame, bounds, centre, transform-free
// conversion between views), the view tree, visibility and the layout pass.
// Nothing is drawn on screen.

#include <memory>
#include <vector>

#include "platform/coregraphics/CGGeometry.h"
#include "UIResponder.h"

class UIWindow;
class UIViewController;
class UIGestureRecognizer;

class UIView : public UIResponder {
 public:
  UIView() = default;
  explicit UIView(const CGRect& frame);
  static std::shared_ptr<UIView> viewWithFrame(const CGRect& frame) {
    return std::make_shared<UIView>(frame);
  }

  CGRect frame() const { return frame_; }
  void setFrame(const CGRect& frame);
  // Bounds keep the frame's size; their origin is the scroll offset of the content.
  CGRect bounds() const { return bounds_; }
  void setBounds(const CGRect& bounds);
  CGPoint center() const;
  void setCenter(const CGPoint& center);

  bool isHidden() const { return hidden_; }
  void setHidden(bool hidden) { hidden_ = hidden; }
  double alpha() const { return alpha_; }
  void setAlpha(double alpha) { alpha_ = alpha; }
  bool isUserInteractionEnabled() const { return userInteractionEnabled_; }
  void setUserInteractionEnabled(bool enabled) { userInteractionEnabled_ = enabled; }
  int64_t tag() const { return tag_; }
  void setTag(int64_t tag) { tag_ = tag; }

  std::shared_ptr<UIView> superview() const { return superview_.lock(); }
  const std::vector<std::shared_ptr<UIView>>& subviews() const { return subviews_; }
  void addSubview(const std::shared_ptr<UIView>& view);
  void insertSubviewAtIndex(const std::shared_ptr<UIView>& view, size_t index);
  void removeFromSuperview();
  bool isDescendantOfView(const UIView* view) const;
  // The window at the root of this view's tree, or nullptr.
  virtual std::shared_ptr<UIWindow> window() const;

  // Converts between the coordinate spaces of two views of one tree (or to the
  // window's space when `view` is nullptr).
  CGPoint convertPointToView(const CGPoint& point, const UIView* view) const;
  CGRect convertRectToView(const CGRect& rect, const UIView* view) const;
  CGRect convertRectFromView(const CGRect& rect, const UIView* view) const;

  // Hit-testing: the deepest visible, interactive view containing the point.
  virtual std::shared_ptr<UIView> hitTest(const CGPoint& point);
  virtual bool pointInside(const CGPoint& point) const;

  // Layout pass.
  void setNeedsLayout() { needsLayout_ = true; }
  bool needsLayout() const { return needsLayout_; }
  void layoutIfNeeded();
  virtual void layoutSubviews() {}

  // The view controller whose root view this is, when any.
  std::shared_ptr<UIViewController> owningViewController() const { return controller_.lock(); }
  // The owning controller, else the superview.
  std::shared_ptr<UIResponder> nextResponder() const override;
  void setOwningViewController(const std::shared_ptr<UIViewController>& vc) { controller_ = vc; }

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

 protected:
  virtual void didMoveToSuperview() {}
  virtual void didMoveToWindow() {}

 private:
  // Origin of this view's bounds space in its root's bounds space.
  CGPoint originInRoot(const UIView** root) const;
  void notifyMovedToWindow();

  CGRect frame_ = CGRectZero;
  CGRect bounds_ = CGRectZero;
  bool hidden_ = false;
  double alpha_ = 1;
  bool userInteractionEnabled_ = true;
  int64_t tag_ = 0;
  bool needsLayout_ = true;
  std::weak_ptr<UIView> superview_;
  std::vector<std::shared_ptr<UIView>> subviews_;
  std::weak_ptr<UIViewController> controller_;
  std::vector<std::shared_ptr<UIGestureRecognizer>> gestureRecognizers_;
};
