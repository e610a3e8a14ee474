// The crop screen's own present and dismiss transition.

#include "crop/CRCropView.h"
#include "crop/CRCropViewController.h"
#include "crop/internal/CRCropViewControllerTransitioning.h"
#include "platform/uikit/UINavigationController.h"

// Inside a navigation controller, or asked to slide up, the platform's own
// transition runs.
bool CRCropViewController::usesZoomTransition() const {
  return !navigationController() &&
         modalTransitionStyle() != UIModalTransitionStyle::CoverVertical;
}

std::shared_ptr<UIViewControllerAnimatedTransitioning>
CRCropViewController::animationControllerForPresentedController(
    const std::shared_ptr<UIViewController>&, const std::shared_ptr<UIViewController>&,
    const std::shared_ptr<UIViewController>&) {
  if (!usesZoomTransition()) return nullptr;
  cropView()->setSimpleRenderMode(true);
  std::weak_ptr<CRCropViewController> weak = me();
  transitionController_->prepareForTransitionHandler = [weak] {
    auto self = weak.lock();
    if (!self) return;
    auto& transition = *self->transitionController_;
    const auto& cropView = self->cropView();
    transition.toFrame = cropView->convertRectToView(cropView->cropBoxFrame(), self->view().get());
    if (!CGRectIsEmpty(transition.fromFrame) || transition.fromView) {
      cropView->setCroppingViewsHidden(true);
    }
    if (auto handler = std::move(self->prepareForTransitionHandler_)) {
      self->prepareForTransitionHandler_ = nullptr;
      handler();
    }
  };
  transitionController_->isDismissing = false;
  return transitionController_;
}

std::shared_ptr<UIViewControllerAnimatedTransitioning>
CRCropViewController::animationControllerForDismissedController(
    const std::shared_ptr<UIViewController>&) {
  if (!usesZoomTransition()) return nullptr;
  std::weak_ptr<CRCropViewController> weak = me();
  transitionController_->prepareForTransitionHandler = [weak] {
    auto self = weak.lock();
    if (!self) return;
    auto& transition = *self->transitionController_;
    if (CGRectIsEmpty(transition.toFrame) && !transition.toView) {
      self->cropView()->setSimpleRenderMode(true);
    } else {
      self->cropView()->setCroppingViewsHidden(true);
    }
    if (self->prepareForTransitionHandler_) self->prepareForTransitionHandler_();
  };
  transitionController_->isDismissing = true;
  return transitionController_;
}

void CRCropViewController::presentAnimatedFromParentViewController(
    const std::shared_ptr<UIViewController>& parent, const std::shared_ptr<UIView>& fromView,
    CGRect fromFrame, Block setup, OnceClosure completion) {
  presentAnimatedFromParentViewController(parent, nullptr, fromView, fromFrame, 0, CGRectZero,
                                          std::move(setup), std::move(completion));
}

void CRCropViewController::presentAnimatedFromParentViewController(
    const std::shared_ptr<UIViewController>& parent, const std::shared_ptr<UIImage>& image,
    const std::shared_ptr<UIView>& fromView, CGRect fromFrame, int64_t angle, CGRect toImageFrame,
    Block setup, OnceClosure completion) {
  transitionController_->image = image ? image : image_;
  transitionController_->fromFrame = fromFrame;
  transitionController_->fromView = fromView;
  prepareForTransitionHandler_ = std::move(setup);
  if (this->angle() != 0 || !CGRectIsEmpty(toImageFrame)) {
    setAngle(angle);
    setImageCropFrame(toImageFrame);
  }
  std::shared_ptr<UIViewController> presented = parentViewController();
  if (!presented) presented = me();
  auto self = me();
  parent->presentViewController(presented, true,
                                [self, completion = std::move(completion), fromFrame]() mutable {
                                  completion();
                                  self->cropView()->setCroppingViewsHidden(false, true);
                                  if (!CGRectIsEmpty(fromFrame))
                                    self->cropView()->setGridOverlayHidden(false, true);
                                });
}

void CRCropViewController::dismissAnimatedFromParentViewController(
    const std::shared_ptr<UIViewController>& parent, const std::shared_ptr<UIView>& toView,
    CGRect toFrame, Block setup, OnceClosure completion) {
  dismissAnimatedFromParentViewController(parent, nullptr, toView, toFrame, std::move(setup),
                                          std::move(completion));
}

void CRCropViewController::dismissAnimatedFromParentViewController(
    const std::shared_ptr<UIViewController>& parent, const std::shared_ptr<UIImage>& croppedImage,
    const std::shared_ptr<UIView>& toView, CGRect toFrame, Block setup, OnceClosure completion) {
  const auto& canvas = cropView();
  if (croppedImage) {
    transitionController_->image = croppedImage;
    transitionController_->fromFrame =
        canvas->convertRectToView(canvas->cropBoxFrame(), view().get());
  } else {
    transitionController_->image = image_;
    transitionController_->fromFrame =
        canvas->convertRectToView(canvas->imageViewFrame(), view().get());
  }
  transitionController_->toView = toView;
  transitionController_->toFrame = toFrame;
  prepareForTransitionHandler_ = std::move(setup);
  parent->dismissViewControllerAnimated(true, std::move(completion));
}
