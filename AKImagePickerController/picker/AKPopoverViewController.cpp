#include "AKImagePickerController/picker/internal/AKPopoverViewController.h"

#include <algorithm>

#include "platform/foundation/NSTimer.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIBezierPath.h"
#include "platform/uikit/UIControl.h"
#include "platform/uikit/UIDevice.h"
#include "platform/uikit/UIGraphicsImageRenderer.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIWindow.h"

namespace {

constexpr double kResizeDuration = 0.2;
constexpr double kShowDuration = 0.6;
constexpr double kDismissDuration = 0.2;
// Room kept free below the panel.
constexpr double kBottomMargin = 40;

std::shared_ptr<UIViewController> KeyRootViewController() {
  auto window = UIApplication::sharedApplication()->keyWindow();
  return window ? window->rootViewController() : nullptr;
}

}  // namespace

// --- AKPopoverView ---

AKPopoverViewController::AKPopoverView::AKPopoverView(UIColorPtr arrowColor)
    : arrowColor_(arrowColor ? std::move(arrowColor) : UIColor::systemGray6Color()) {
  arrowImageView_ = std::make_shared<UIImageView>(arrowImage());
  addSubview(arrowImageView_);
}

UIImagePtr AKPopoverViewController::AKPopoverView::arrowImage() const {
  auto format = UIGraphicsImageRendererFormat::defaultFormat();
  format->setScale(UIScreen::mainScreen()->scale());
  format->setOpaque(false);
  UIGraphicsImageRenderer renderer(CGSizeMake(kArrowWidth, kArrowHeight), format);
  auto color = arrowColor_;
  return renderer.imageWithActions([color](UIGraphicsImageRendererContext&) {
    UIColor::clearColor()->setFill();
    UIBezierPath::bezierPathWithRect(CGRectMake(0, 0, kArrowWidth, kArrowHeight))->fill();
    auto triangle = UIBezierPath::bezierPath();
    triangle->moveToPoint(CGPointMake(kArrowWidth / 2, 0));
    triangle->addLineToPoint(CGPointMake(kArrowWidth, kArrowHeight));
    triangle->addLineToPoint(CGPointMake(0, kArrowHeight));
    triangle->closePath();
    color->setFill();
    triangle->fill();
  });
}

void AKPopoverViewController::AKPopoverView::setArrowOffset(const CGPoint& offset) {
  arrowOffset_ = offset;
  setNeedsLayout();
}

void AKPopoverViewController::AKPopoverView::layoutSubviews() {
  UIView::layoutSubviews();
  CGSize size = bounds().size;
  arrowImageView_->setFrame(CGRectMake((size.width - kArrowWidth) / 2 + arrowOffset_.x,
                                       arrowOffset_.y, kArrowWidth, kArrowHeight));
  if (contentView_) {
    contentView_->setFrame(CGRectMake(0, kArrowHeight, size.width, size.height - kArrowHeight));
  }
}

// --- AKPopoverViewController ---

AKPopoverViewController::AKPopoverViewController() : arrowColor_(UIColor::systemGray6Color()) {}

AKPopoverViewController::~AKPopoverViewController() {
  if (observer_) observer_->invalidate();
}

void AKPopoverViewController::popoverViewController(const std::shared_ptr<UIViewController>& content,
                                                    const std::shared_ptr<UIView>& fromView,
                                                    const UIColorPtr& arrowColor) {
  auto window = UIApplication::sharedApplication()->keyWindow();
  auto root = window ? window->rootViewController() : nullptr;
  // Nothing to hang the popover in: the screen shows nothing rather than a
  // panel no one can reach or close.
  if (!window || !root || !content || !fromView) return;
  auto popover = std::make_shared<AKPopoverViewController>();
  popover->setArrowColor(arrowColor);
  popover->setContentViewController(content);
  popover->setFromView(fromView);
  popover->showInView(window);
  root->addChildViewController(popover);
  popover->didMoveToParentViewController(root);
}

void AKPopoverViewController::dismissPopoverViewController() {
  auto root = KeyRootViewController();
  if (!root) return;
  // A copy: each dismissal later removes its controller from the list.
  auto children = root->childViewControllers();
  for (auto& child : children) {
    if (auto popover = std::dynamic_pointer_cast<AKPopoverViewController>(child)) popover->dismiss();
  }
}

void AKPopoverViewController::dismiss() {
  if (observer_) observer_->invalidate();
  animateDismissal();
}

void AKPopoverViewController::loadView() {
  // The backdrop: a control filling the screen that closes the popover.
  auto backdrop = std::make_shared<UIControl>(UIScreen::mainScreen()->bounds());
  backdrop->setAutoresizingMask(UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight);
  backdrop->setBackgroundColor(UIColor::clearColor());
  backdrop->addTarget(self(), WeakBind(std::weak_ptr<AKPopoverViewController>(
                                          std::static_pointer_cast<AKPopoverViewController>(self())),
                                      [](AKPopoverViewController& vc, UIControl&, UIEvent*) {
                                        vc.dismiss();
                                      }),
                      UIControlEventTouchUpInside);
  setView(backdrop);
}

void AKPopoverViewController::viewDidLoad() {
  UIViewController::viewDidLoad();
  view()->setBackgroundColor(UIColor::colorWithWhite(0, 0.6));
  popoverView_ = std::make_shared<AKPopoverView>(arrowColor_);
  view()->addSubview(popoverView_);
}

CGRect AKPopoverViewController::calculatePopoverViewFrame() const {
  auto rootView = const_cast<AKPopoverViewController*>(this)->view();
  CGSize viewSize = rootView->bounds().size;
  CGPoint origin = CGPointZero;
  double sourceHeight = 0;
  if (fromView_) {
    origin = fromView_->convertPointToView(CGPointZero, nullptr);
    sourceHeight = fromView_->bounds().size.height;
  }
  CGSize preferred = content_ ? content_->preferredContentSize() : CGSizeZero;
  double width = preferred.width;
  if (width == UIViewNoIntrinsicMetric) {
    bool pad = UIDevice::currentDevice()->userInterfaceIdiom() == UIUserInterfaceIdiomPad;
    width = pad ? viewSize.width * 0.6 : viewSize.width;
  }
  double y = origin.y + sourceHeight;
  double height = std::min(preferred.height + AKPopoverView::kArrowHeight,
                           viewSize.height - y - kBottomMargin);
  double x = (viewSize.width - width) / 2;
  return CGRectMake(x, y, width, height);
}

void AKPopoverViewController::showInView(const std::shared_ptr<UIWindow>& window) {
  auto backdrop = view();
  if (window) window->addSubview(backdrop);

  if (content_) {
    auto contentView = content_->view();
    contentView->layer()->setCornerRadius(5);
    contentView->setClipsToBounds(true);
    contentView->setAutoresizingMask(UIViewAutoresizingFlexibleWidth |
                                     UIViewAutoresizingFlexibleHeight);
    popoverView_->setContentView(contentView);
    popoverView_->addSubview(contentView);
  }
  popoverView_->setFrame(calculatePopoverViewFrame());

  // The panel is centred in the view: shift the arrow from the panel's
  // centre to below the source view's centre.
  if (fromView_) {
    CGPoint origin = fromView_->convertPointToView(CGPointZero, nullptr);
    double shift = origin.x + (fromView_->bounds().size.width - backdrop->bounds().size.width) * 0.5;
    popoverView_->setArrowOffset(CGPointMake(shift, 0));
  }

  if (content_) {
    auto weak = std::weak_ptr<AKPopoverViewController>(
        std::static_pointer_cast<AKPopoverViewController>(self()));
    observer_ = content_->observe("preferredContentSize", NSKeyValueObservingOptionNew,
                                  [weak](NSObject*, const Value&) {
                                    if (auto vc = weak.lock()) vc->animatePanelToCalculatedFrame();
                                  });
  }

  double height = popoverView_->frame().size.height;
  CGAffineTransform start =
      CGAffineTransformScale(CGAffineTransformTranslate(popoverView_->transform(), 0, -height / 2),
                             0.1, 0.1);
  popoverView_->setTransform(start);
  auto panel = popoverView_;
  noteMoving(kShowDuration);
  UIView::animateWithDuration(
      kShowDuration, 0, 0.7, 1.3, UIViewAnimationOptionAllowUserInteraction,
      [panel, backdrop] {
        panel->setTransform(CGAffineTransformIdentity);
        backdrop->setBackgroundColor(UIColor::colorWithWhite(0, 0.4));
      },
      nullptr);
}

void AKPopoverViewController::animatePanelToCalculatedFrame() {
  if (!popoverView_) return;
  auto panel = popoverView_;
  CGRect frame = calculatePopoverViewFrame();
  UIView::animateWithDuration(kResizeDuration, [panel, frame] { panel->setFrame(frame); });
}

void AKPopoverViewController::animateDismissal() {
  if (!popoverView_) return;
  auto panel = popoverView_;
  auto backdrop = view();
  double height = panel->frame().size.height;
  auto strong = std::static_pointer_cast<AKPopoverViewController>(self());
  noteMoving(kDismissDuration);
  UIView::animateWithDuration(
      kDismissDuration,
      [panel, backdrop, height] {
        panel->setTransform(CGAffineTransformScale(
            CGAffineTransformTranslate(panel->transform(), 0, -height / 2), 0.01, 0.01));
        backdrop->setBackgroundColor(UIColor::clearColor());
      },
      // Held until the animation ends: the parent may already have let go.
      [strong](bool) {
        strong->view()->removeFromSuperview();
        strong->removeFromParentViewController();
      });
}

void AKPopoverViewController::noteMoving(double animation) {
  // Closing while still opening: the way out is what holds the window now.
  if (auto opening = moving_.lock(); opening && !opening->isCompleted()) {
    opening->completeTransition(true);
  }
  auto backdrop = view();
  auto context = std::make_shared<UIViewControllerContextTransitioning>(
      backdrop, nullptr, nullptr, nullptr, nullptr, true, [](bool) {});
  noteTransitionInWindow(*context);
  moving_ = context;
  // A tap on an album row closes the list in 0.2 s, before the later taps of
  // a quick triple tap: held at least as long as the platform's own
  // transitions, those taps reach neither the closing list nor the grid it
  // uncovers. The timer keeps the context: the popover itself is let go as
  // its panel leaves, before the hold ends.
  NSTimer::scheduledTimerWithTimeInterval(std::max(animation, kTransitionDuration), false,
                                          [context](NSTimer&) {
                                            if (!context->isCompleted()) {
                                              context->completeTransition(true);
                                            }
                                          });
}

void AKPopoverViewController::viewWillTransitionToSize(
    const CGSize& size, UIViewControllerTransitionCoordinator& coordinator) {
  UIViewController::viewWillTransitionToSize(size, coordinator);
  auto weak = std::weak_ptr<AKPopoverViewController>(
      std::static_pointer_cast<AKPopoverViewController>(self()));
  coordinator.animateAlongsideTransition(nullptr, [weak](UIViewControllerTransitionCoordinator&) {
    if (auto vc = weak.lock()) vc->animatePanelToCalculatedFrame();
  });
}
