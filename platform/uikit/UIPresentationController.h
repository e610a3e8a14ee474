#pragma once

// What manages a presented controller on screen: its container view, the
// presented view's frame, whether the presenter's view goes away, and the
// adaptation of styles to a compact (phone) environment. Popovers hang from a
// source view and rectangle with an arrow; on the phone idiom they adapt to a
// full-screen presentation unless the delegate keeps them.

#include <memory>
#include <optional>

#include "platform/coregraphics/CGGeometry.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/ThreadChecks.h"

class UIView;
class UIViewController;
class UIColor;
class UIBarButtonItem;
class UIPresentationController;

enum class UIModalPresentationStyle {
  FullScreen = 0,
  PageSheet = 1,
  FormSheet = 2,
  CurrentContext = 3,
  Custom = 4,
  OverFullScreen = 5,
  OverCurrentContext = 6,
  Popover = 7,
  None = -1,
  Automatic = -2,
};

enum class UIModalTransitionStyle { CoverVertical = 0, FlipHorizontal = 1, CrossDissolve = 2,
                                    PartialCurl = 3 };

enum UIPopoverArrowDirection : uint64_t {
  UIPopoverArrowDirectionUp = 1 << 0,
  UIPopoverArrowDirectionDown = 1 << 1,
  UIPopoverArrowDirectionLeft = 1 << 2,
  UIPopoverArrowDirectionRight = 1 << 3,
  UIPopoverArrowDirectionAny = 15,
  UIPopoverArrowDirectionUnknown = ~0ull,
};

class UIAdaptivePresentationControllerDelegate {
 public:
  virtual ~UIAdaptivePresentationControllerDelegate() = default;
  // The style to use in a compact environment; "not implemented" keeps the
  // platform's choice, None keeps the requested style.
  virtual std::optional<UIModalPresentationStyle> adaptivePresentationStyleForPresentationController(
      UIPresentationController&) {
    return std::nullopt;
  }
  virtual bool presentationControllerShouldDismiss(UIPresentationController&) { return true; }
  virtual void presentationControllerWillDismiss(UIPresentationController&) {}
  virtual void presentationControllerDidDismiss(UIPresentationController&) {}
  virtual void presentationControllerDidAttemptToDismiss(UIPresentationController&) {}
};

class UIPresentationController : public NSObject {
 public:
  UIPresentationController(const std::shared_ptr<UIViewController>& presented,
                           const std::shared_ptr<UIViewController>& presenting);

  std::shared_ptr<UIViewController> presentedViewController() const { return presented_.lock(); }
  std::shared_ptr<UIViewController> presentingViewController() const {
    return presenting_.lock();
  }
  std::shared_ptr<UIView> containerView() const { return container_; }
  std::shared_ptr<UIView> presentedView() const;
  std::shared_ptr<UIAdaptivePresentationControllerDelegate> delegate() const {
    return delegate_.lock();
  }
  void setDelegate(const std::shared_ptr<UIAdaptivePresentationControllerDelegate>& d) {
    delegate_ = d;
  }

  // The style in effect once adapted to the environment.
  UIModalPresentationStyle presentationStyle() const;
  // The style a compact environment uses for the requested one.
  virtual UIModalPresentationStyle adaptivePresentationStyle() const;
  virtual CGRect frameOfPresentedViewInContainerView() const;
  // Full-screen presentations take the presenter's view off screen.
  virtual bool shouldRemovePresentersView() const;
  virtual void presentationTransitionWillBegin() {}
  virtual void presentationTransitionDidEnd(bool /*completed*/) {}
  virtual void dismissalTransitionWillBegin() {}
  virtual void dismissalTransitionDidEnd(bool /*completed*/) {}

  // A person swiping the sheet down: asks the delegate, and dismisses with
  // its will/did calls when allowed. False when nothing was dismissed.
  bool dismissByUser();

 private:
  friend class UIViewController;
  // Sets up the new container before the presented view goes in: an alert
  // dims the screen behind it.
  void prepareContainer();

  std::weak_ptr<UIViewController> presented_;
  std::weak_ptr<UIViewController> presenting_;
  std::weak_ptr<UIAdaptivePresentationControllerDelegate> delegate_;
  std::shared_ptr<UIView> container_;
};

class UIPopoverPresentationController : public UIPresentationController {
 public:
  using UIPresentationController::UIPresentationController;

  std::shared_ptr<UIView> sourceView() const { return sourceView_.lock(); }
  void setSourceView(const std::shared_ptr<UIView>& v) {
    QX_DCHECK_MAIN_THREAD();
    sourceView_ = v;
  }
  CGRect sourceRect() const { return sourceRect_; }
  void setSourceRect(const CGRect& r) {
    QX_DCHECK_MAIN_THREAD();
    sourceRect_ = r;
  }
  std::shared_ptr<UIBarButtonItem> barButtonItem() const { return barButtonItem_.lock(); }
  void setBarButtonItem(const std::shared_ptr<UIBarButtonItem>& item) {
    QX_DCHECK_MAIN_THREAD();
    barButtonItem_ = item;
  }
  uint64_t permittedArrowDirections() const { return arrows_; }
  void setPermittedArrowDirections(uint64_t a) {
    QX_DCHECK_MAIN_THREAD();
    arrows_ = a;
  }
  std::shared_ptr<UIColor> backgroundColor() const { return backgroundColor_; }
  void setBackgroundColor(std::shared_ptr<UIColor> c) {
    QX_DCHECK_MAIN_THREAD();
    backgroundColor_ = std::move(c);
  }
  // Where the arrow points once laid out; Unknown before.
  uint64_t arrowDirection() const { return arrowDirection_; }

  UIModalPresentationStyle adaptivePresentationStyle() const override;
  // The presented controller's preferred size beside the source rectangle,
  // on the first permitted side with room (down, up, right, left).
  CGRect frameOfPresentedViewInContainerView() const override;
  bool shouldRemovePresentersView() const override { return false; }

 private:
  std::weak_ptr<UIView> sourceView_;
  CGRect sourceRect_ = CGRectZero;
  std::weak_ptr<UIBarButtonItem> barButtonItem_;
  uint64_t arrows_ = UIPopoverArrowDirectionAny;
  std::shared_ptr<UIColor> backgroundColor_;
  mutable uint64_t arrowDirection_ = UIPopoverArrowDirectionUnknown;
};
