#pragma once
// A home-made popover: the content controller's view sits in a rounded panel
// hanging below a source view, with a small arrow pointing up at the source
// view's centre, over a dimmed backdrop that closes it when tapped. The
// controller's view goes straight into the key window and the controller
// becomes a child of the window's root view controller. The panel follows
// the content's preferred content size while it is open. While it opens and
// while it closes, the window takes no new touches, as for the platform's own
// presentations.

#include <memory>

#include "platform/foundation/KeyValueObserving.h"
#include "platform/uikit/UIColor.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UIViewController.h"

class UIWindow;

class AKPopoverViewController : public UIViewController {
 public:
  class AKPopoverView : public UIView {
   public:
    static constexpr double kArrowWidth = 20;
    static constexpr double kArrowHeight = 10;

    explicit AKPopoverView(UIColorPtr arrowColor);

    const std::shared_ptr<UIView>& contentView() const { return contentView_; }
    void setContentView(std::shared_ptr<UIView> view) { contentView_ = std::move(view); }
    double arrowWidth() const { return kArrowWidth; }
    double arrowHeight() const { return kArrowHeight; }
    const UIColorPtr& arrowColor() const { return arrowColor_; }
    CGPoint arrowOffset() const { return arrowOffset_; }
    void setArrowOffset(const CGPoint& offset);
    const std::shared_ptr<UIImageView>& arrowImageView() const { return arrowImageView_; }

    void layoutSubviews() override;
    std::string className() const override { return "AKPopoverView"; }

   private:
    UIImagePtr arrowImage() const;

    std::shared_ptr<UIView> contentView_;
    UIColorPtr arrowColor_;
    CGPoint arrowOffset_ = CGPointZero;
    std::shared_ptr<UIImageView> arrowImageView_;
  };

  AKPopoverViewController();
  ~AKPopoverViewController() override;

  // Shows `content` hanging from `fromView` in the key window.
  static void popoverViewController(const std::shared_ptr<UIViewController>& content,
                                    const std::shared_ptr<UIView>& fromView,
                                    const UIColorPtr& arrowColor);
  // Closes every popover that is a child of the key window's root view
  // controller.
  static void dismissPopoverViewController();

  // Closes this popover (the backdrop's action).
  void dismiss();

  const UIColorPtr& arrowColor() const { return arrowColor_; }
  void setArrowColor(UIColorPtr color) { arrowColor_ = std::move(color); }
  const std::shared_ptr<UIViewController>& contentViewController() const { return content_; }
  void setContentViewController(std::shared_ptr<UIViewController> vc) { content_ = std::move(vc); }
  const std::shared_ptr<UIView>& fromView() const { return fromView_; }
  void setFromView(std::shared_ptr<UIView> view) { fromView_ = std::move(view); }
  const std::shared_ptr<AKPopoverView>& popoverView() const { return popoverView_; }
  const std::shared_ptr<NSKeyValueObservation>& preferredContentSizeObserver() const {
    return observer_;
  }

  void showInView(const std::shared_ptr<UIWindow>& window);
  // Where the panel goes for the content's current preferred size.
  CGRect calculatePopoverViewFrame() const;

  void loadView() override;
  void viewDidLoad() override;
  void viewWillTransitionToSize(const CGSize& size,
                                UIViewControllerTransitionCoordinator& coordinator) override;
  std::string className() const override { return "AKPopoverViewController"; }

 private:
  void animateDismissal();
  void animatePanelToCalculatedFrame();
  // Notes the panel's way in or out, `animation` seconds long, as a
  // transition in the window.
  void noteMoving(double animation);

  UIColorPtr arrowColor_;
  std::shared_ptr<UIViewController> content_;
  std::shared_ptr<UIView> fromView_;
  std::shared_ptr<AKPopoverView> popoverView_;
  std::shared_ptr<NSKeyValueObservation> observer_;
  std::weak_ptr<UIViewControllerContextTransitioning> moving_;
};
