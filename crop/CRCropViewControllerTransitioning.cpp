#include "crop/internal/CRCropViewControllerTransitioning.h"

#include "crop/CRCropViewController.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/uikit/UIImageView.h"

void CRCropViewControllerTransitioning::reset() {
  image.reset();
  toView.reset();
  fromView.reset();
  fromFrame = CGRectZero;
  toFrame = CGRectZero;
  prepareForTransitionHandler = nullptr;
}

void CRCropViewControllerTransitioning::animateTransition(
    UIViewControllerContextTransitioning& context) {
  auto ctx = SharedFromThis(&context);
  auto from = context.viewControllerForKey(UITransitionContextFromViewControllerKey);
  auto to = context.viewControllerForKey(UITransitionContextToViewControllerKey);
  auto crop = isDismissing ? from : to;
  auto previous = isDismissing ? to : from;
  const auto& container = context.containerView();

  crop->view()->setFrame(container->bounds());
  if (isDismissing) {
    previous->view()->setFrame(container->bounds());
    container->insertSubviewBelowSubview(previous->view(), crop->view().get());
  } else {
    container->addSubview(crop->view());
    crop->viewDidLayoutSubviews();
  }
  if (prepareForTransitionHandler) prepareForTransitionHandler();

  if (!isDismissing && fromView) {
    fromFrame = fromView->superview()->convertRectToView(fromView->frame(), container.get());
  } else if (isDismissing && toView) {
    toFrame = toView->superview()->convertRectToView(toView->frame(), container.get());
  }

  std::shared_ptr<UIImageView> picture;
  CGRect edge = isDismissing ? toFrame : fromFrame;
  if (!CGRectIsEmpty(edge)) {
    picture = std::make_shared<UIImageView>(image);
    picture->setFrame(fromFrame);
    container->addSubview(picture);
  }
  crop->view()->setAlpha(isDismissing ? 1 : 0);

  auto self = SharedFromThis(this);
  double duration = transitionDuration(&context);
  if (picture) {
    UIView::animateWithDuration(
        duration, 0, 1.0, 0.7, 0, [self, picture] { picture->setFrame(self->toFrame); },
        [picture](bool) {
          UIView::animateWithDuration(
              kLandingFade, [picture] { picture->setAlpha(0); },
              [picture](bool) { picture->removeFromSuperview(); });
        });
  }
  bool dismissing = isDismissing;
  auto cropView = crop->view();
  UIView::animateWithDuration(
      duration, [cropView, dismissing] { cropView->setAlpha(dismissing ? 0 : 1); },
      [self, ctx](bool) {
        self->reset();
        ctx->completeTransition(!ctx->transitionWasCancelled());
      });
}
