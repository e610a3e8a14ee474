#include "UIPresentationController.h"

#include <algorithm>

#include "UIAlertController.h"
#include "UIColor.h"
#include "UIDevice.h"
#include "UIView.h"
#include "UIViewController.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/WeakSelf.h"

namespace {
bool compactEnvironment() {
  return UIDevice::currentDevice()->userInterfaceIdiom() != UIUserInterfaceIdiomPad;
}
// How far a popover's arrow reaches out of it.
constexpr double kArrowLength = 13;
// A popover's size when the controller prefers none.
constexpr CGSize kDefaultPopoverSize{320, 480};
}  // namespace

UIPresentationController::UIPresentationController(
    const std::shared_ptr<UIViewController>& presented,
    const std::shared_ptr<UIViewController>& presenting)
    : presented_(presented), presenting_(presenting) {}

std::shared_ptr<UIView> UIPresentationController::presentedView() const {
  auto vc = presentedViewController();
  return vc && vc->isViewLoaded() ? vc->view() : nullptr;
}

UIModalPresentationStyle UIPresentationController::adaptivePresentationStyle() const {
  auto vc = presentedViewController();
  auto requested = vc ? vc->modalPresentationStyle() : UIModalPresentationStyle::FullScreen;
  if (requested == UIModalPresentationStyle::Automatic) return UIModalPresentationStyle::PageSheet;
  if (requested == UIModalPresentationStyle::FormSheet) return UIModalPresentationStyle::PageSheet;
  return requested;
}

UIModalPresentationStyle UIPresentationController::presentationStyle() const {
  auto vc = presentedViewController();
  auto requested = vc ? vc->modalPresentationStyle() : UIModalPresentationStyle::FullScreen;
  if (requested == UIModalPresentationStyle::Automatic) requested = UIModalPresentationStyle::PageSheet;
  if (!compactEnvironment()) return requested;
  auto self = const_cast<UIPresentationController*>(this);
  if (auto d = delegate()) {
    if (auto chosen = d->adaptivePresentationStyleForPresentationController(*self)) {
      return *chosen == UIModalPresentationStyle::None ? requested : *chosen;
    }
  }
  return adaptivePresentationStyle();
}

bool UIPresentationController::shouldRemovePresentersView() const {
  auto style = presentationStyle();
  return style == UIModalPresentationStyle::FullScreen ||
         style == UIModalPresentationStyle::CurrentContext;
}

CGRect UIPresentationController::frameOfPresentedViewInContainerView() const {
  CGRect bounds = container_ ? container_->bounds() : CGRectZero;
  switch (presentationStyle()) {
    case UIModalPresentationStyle::PageSheet:
    case UIModalPresentationStyle::FormSheet: {
      if (compactEnvironment()) {
        // A card that leaves the top of the presenter showing.
        double top = container_->safeAreaInsets().top + 10;
        return CGRectMake(0, top, bounds.size.width, bounds.size.height - top);
      }
      CGSize size = presentationStyle() == UIModalPresentationStyle::FormSheet
                        ? CGSizeMake(540, 620)
                        : CGSizeMake(704, bounds.size.height - 40);
      size.width = std::min(size.width, bounds.size.width);
      size.height = std::min(size.height, bounds.size.height);
      return CGRectMake((bounds.size.width - size.width) / 2,
                        (bounds.size.height - size.height) / 2, size.width, size.height);
    }
    default:
      if (auto alert = std::dynamic_pointer_cast<UIAlertController>(presentedViewController());
          alert && container_ && presentationStyle() == UIModalPresentationStyle::OverFullScreen) {
        return alert->frameInContainer(bounds, container_->safeAreaInsets());
      }
      return bounds;
  }
}

void UIPresentationController::prepareContainer() {
  if (!container_ || !std::dynamic_pointer_cast<UIAlertController>(presentedViewController()) ||
      presentationStyle() != UIModalPresentationStyle::OverFullScreen) {
    return;
  }
  auto dim = std::make_shared<UIView>(container_->bounds());
  dim->setBackgroundColor(UIColor::colorWithWhite(0, 0.4));
  dim->setAutoresizingMask(UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight);
  container_->insertSubviewAtIndex(dim, 0);
}

bool UIPresentationController::dismissByUser() {
  QX_DCHECK_MAIN_THREAD();
  auto presenting = presentingViewController();
  if (!presenting || presentationStyle() == UIModalPresentationStyle::FullScreen) return false;
  auto d = delegate();
  if (d && !d->presentationControllerShouldDismiss(*this)) {
    d->presentationControllerDidAttemptToDismiss(*this);
    return false;
  }
  if (d) d->presentationControllerWillDismiss(*this);
  presenting->dismissViewControllerAnimated(
      true, WeakBind(WeakFromThis(this), [](UIPresentationController& pc) {
        if (auto delegate = pc.delegate()) delegate->presentationControllerDidDismiss(pc);
      }));
  return true;
}

UIModalPresentationStyle UIPopoverPresentationController::adaptivePresentationStyle() const {
  // Action sheets slide up over the presenter; other popovers fill the screen.
  if (std::dynamic_pointer_cast<UIAlertController>(presentedViewController())) {
    return UIModalPresentationStyle::OverFullScreen;
  }
  return UIModalPresentationStyle::FullScreen;
}

CGRect UIPopoverPresentationController::frameOfPresentedViewInContainerView() const {
  auto container = containerView();
  if (!container) return CGRectZero;
  if (presentationStyle() != UIModalPresentationStyle::Popover) {
    return UIPresentationController::frameOfPresentedViewInContainerView();
  }
  CGRect bounds = container->bounds();
  auto source = sourceView();
  CGRect anchor = source ? source->convertRectToView(sourceRect_, container.get())
                         : CGRectMake(CGRectGetMidX(bounds), CGRectGetMidY(bounds), 0, 0);
  auto vc = presentedViewController();
  CGSize size = vc ? vc->preferredContentSize() : CGSizeZero;
  if (size.width <= 0 || size.height <= 0) size = kDefaultPopoverSize;
  size.width = std::min(size.width, bounds.size.width);
  size.height = std::min(size.height, bounds.size.height);
  struct Side {
    uint64_t arrow;
    CGRect frame;
  };
  auto centredX = [&](double y) {
    double x = std::clamp(CGRectGetMidX(anchor) - size.width / 2, 0.0,
                          bounds.size.width - size.width);
    return CGRectMake(x, y, size.width, size.height);
  };
  auto centredY = [&](double x) {
    double y = std::clamp(CGRectGetMidY(anchor) - size.height / 2, 0.0,
                          bounds.size.height - size.height);
    return CGRectMake(x, y, size.width, size.height);
  };
  const Side sides[] = {
      {UIPopoverArrowDirectionUp, centredX(CGRectGetMaxY(anchor) + kArrowLength)},
      {UIPopoverArrowDirectionDown, centredX(CGRectGetMinY(anchor) - kArrowLength - size.height)},
      {UIPopoverArrowDirectionLeft, centredY(CGRectGetMaxX(anchor) + kArrowLength)},
      {UIPopoverArrowDirectionRight, centredY(CGRectGetMinX(anchor) - kArrowLength - size.width)},
  };
  const Side* fallback = nullptr;
  for (const Side& s : sides) {
    if (!(arrows_ & s.arrow)) continue;
    if (!fallback) fallback = &s;
    if (CGRectContainsRect(bounds, s.frame)) {
      arrowDirection_ = s.arrow;
      return s.frame;
    }
  }
  if (!fallback) fallback = &sides[0];
  arrowDirection_ = fallback->arrow;
  return CGRectIntersection(fallback->frame, bounds);
}
