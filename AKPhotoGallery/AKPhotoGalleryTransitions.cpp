#include "AKPhotoGallery/internal/AKPhotoGalleryTransitions.h"

#include <cmath>

#include "AKPhotoGallery/AKPhotoContentAnimationView.h"
#include "AKPhotoGallery/AKPhotoGallery.h"
#include "platform/avfoundation/AVUtilities.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/uikit/UIColor.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UIPanGestureRecognizer.h"
#include "platform/uikit/UISlider.h"

namespace {

constexpr double kDismissDistance = 200;
constexpr double kMinimumScale = 0.5;
constexpr double kStrokeToDismiss = 10;
constexpr double kBackgroundStep = 0.1;
constexpr double kSpringBack = 0.3;

CGRect inWindow(const UIView& view) {
  auto superview = view.superview();
  return superview ? superview->convertRectToView(view.frame(), nullptr) : view.frame();
}

void copyLook(UIView& to, const UIView& from) {
  to.setContentMode(from.contentMode());
  to.setClipsToBounds(from.clipsToBounds());
  to.layer()->setCornerRadius(from.layer()->cornerRadius());
}

}  // namespace

// ---------------------------------------------------------------------------

AKPhotoGalleryInteractiveTransition::AKPhotoGalleryInteractiveTransition(
    const std::shared_ptr<AKPhotoGallery>& gallery)
    : gallery_(gallery) {
  auto pan = std::make_shared<UIPanGestureRecognizer>();
  pan->addTarget(gallery, [this](UIGestureRecognizer& g) { handleGesture(g); });
  pan->setDelegate(std::shared_ptr<UIGestureRecognizerDelegate>(
      gallery, static_cast<UIGestureRecognizerDelegate*>(this)));
  gallery->view()->addGestureRecognizer(pan);
}

bool AKPhotoGalleryInteractiveTransition::gestureRecognizerShouldBegin(UIGestureRecognizer& gesture) {
  auto view = gesture.view();
  if (!view) return true;
  auto hit = view->hitTest(gesture.locationInView(view.get()), nullptr);
  return !std::dynamic_pointer_cast<UISlider>(hit);
}

void AKPhotoGalleryInteractiveTransition::handleGesture(UIGestureRecognizer& gesture) {
  auto* pan = dynamic_cast<UIPanGestureRecognizer*>(&gesture);
  if (!pan) return;
  auto view = gesture.view();
  auto superview = view ? view->superview() : nullptr;
  const CGPoint t = pan->translationInView(superview.get());
  switch (gesture.state()) {
    case UIGestureRecognizerState::Began:
      return began(gesture, t);
    case UIGestureRecognizerState::Changed:
      return changed(gesture, t);
    case UIGestureRecognizerState::Ended:
      return ended(false);
    case UIGestureRecognizerState::Cancelled:
      return ended(true);
    default:
      return;
  }
}

void AKPhotoGalleryInteractiveTransition::began(UIGestureRecognizer&, CGPoint t) {
  isInteracting_ = true;
  beginPoint_ = lastPoint_ = t;
  fromContentView_ = gallery_->currentContentView();
  fromRect_ = fromContentView_->frame();
  fromRectInScreen_ = fromContentView_->superview()
                          ? std::optional<CGRect>(inWindow(*fromContentView_))
                          : std::nullopt;
  const int64_t index = gallery_->currentIndex();
  auto item = gallery_->itemForIndex(index);
  toImageView_ = gallery_->finishedBlock() ? gallery_->finishedBlock()(index, item) : nullptr;
  if (toImageView_ && toImageView_->image()) toImageView_->setHidden(true);
}

void AKPhotoGalleryInteractiveTransition::changed(UIGestureRecognizer& gesture, CGPoint t) {
  const bool downNow = t.y - lastPoint_.y >= 0;
  const bool downStroke = lastPoint_.y - beginPoint_.y >= 0;
  if (downNow != downStroke) beginPoint_ = t;
  lastPoint_ = t;
  interactingPercent_ = std::min(std::fabs(static_cast<float>(t.y / kDismissDistance)), 1.0f);
  if (!fromContentView_) return;
  const double scale = std::max(t.y > 0 ? 1 - interactingPercent_ : 1.0, kMinimumScale);
  if (fromRectInScreen_) {
    const CGPoint l = gesture.locationInView(nullptr);
    const CGRect r = *fromRectInScreen_;
    CGRect frame{{l.x - scale * (l.x - t.x - r.origin.x), l.y - scale * (l.y - t.y - r.origin.y)},
                 {scale * r.size.width, scale * r.size.height}};
    if (auto superview = fromContentView_->superview()) {
      fromContentView_->setFrame(superview->convertRectFromView(frame, nullptr));
    }
  }
  if (t.y < 0) interactingPercent_ = -interactingPercent_;
  const double alpha = std::fabs(static_cast<float>(1 - interactingPercent_));
  auto gallery = gallery_;
  UIView::animateWithDuration(kBackgroundStep, [gallery, alpha] { gallery->updateContextBackground(alpha); });
}

void AKPhotoGalleryInteractiveTransition::ended(bool cancelled) {
  isInteracting_ = false;
  if (lastPoint_.y - beginPoint_.y > kStrokeToDismiss && !cancelled) {
    gallery_->dismissGallery();
    finishInteractiveTransition();
    fromContentView_ = nullptr;
    interactingPercent_ = 0;
    toImageView_ = nullptr;
    return;
  }
  if (fromContentView_) {
    auto view = fromContentView_;
    auto rect = fromRect_.value_or(view->frame());
    auto gallery = gallery_;
    auto target = toImageView_;
    UIView::animateWithDuration(
        kSpringBack,
        [view, rect, gallery] {
          view->setFrame(rect);
          gallery->updateContextBackground(1);
        },
        [target](bool) {
          if (target && target->image()) target->setHidden(false);
        });
  }
  fromContentView_ = nullptr;
  toImageView_ = nullptr;
  interactingPercent_ = 0;
}

// ---------------------------------------------------------------------------

AKPhotoGalleryTransitionController::AKPhotoGalleryTransitionController(
    const std::shared_ptr<UIViewController>& presented,
    const std::shared_ptr<UIViewController>& presenting)
    : UIPresentationController(presented, presenting) {}

std::shared_ptr<UIViewControllerAnimatedTransitioning>
AKPhotoGalleryTransitionController::animationControllerForPresentedController(
    const std::shared_ptr<UIViewController>&, const std::shared_ptr<UIViewController>&,
    const std::shared_ptr<UIViewController>&) {
  auto animator = std::make_shared<AKPhotoGalleryTransitionPresent>();
  animator->gallery = gallery_;
  return animator;
}

std::shared_ptr<UIViewControllerAnimatedTransitioning>
AKPhotoGalleryTransitionController::animationControllerForDismissedController(
    const std::shared_ptr<UIViewController>&) {
  auto animator = std::make_shared<AKPhotoGalleryTransitionDismiss>();
  animator->gallery = gallery_;
  return animator;
}

std::shared_ptr<UIViewControllerInteractiveTransitioning>
AKPhotoGalleryTransitionController::interactionControllerForDismissal(
    UIViewControllerAnimatedTransitioning&) {
  if (interactive_ && interactive_->isInteracting()) return interactive_;
  return nullptr;
}

std::shared_ptr<UIPresentationController>
AKPhotoGalleryTransitionController::presentationControllerForPresentedViewController(
    const std::shared_ptr<UIViewController>&, const std::shared_ptr<UIViewController>&,
    const std::shared_ptr<UIViewController>&) {
  return std::static_pointer_cast<AKPhotoGalleryTransitionController>(shared_from_this());
}

// ---------------------------------------------------------------------------

void AKPhotoGalleryTransitionPresent::animateTransition(UIViewControllerContextTransitioning& context) {
  auto container = context.containerView();
  auto to = context.viewControllerForKey(UITransitionContextToViewControllerKey);
  auto toView = context.viewForKey(UITransitionContextToViewKey);
  if (!toView && to) toView = to->view();
  const CGRect finalFrame = context.finalFrameForViewController(to.get());
  auto ctx = std::static_pointer_cast<UIViewControllerContextTransitioning>(context.shared_from_this());
  auto source = gallery ? gallery->presentingFromImageView() : nullptr;
  if (source && source->image() && source->superview()) {
    auto image = source->image();
    auto copy = AKPhotoContentAnimationView::withImage(image);
    copy->setFrame(inWindow(*source));
    copy->setContentMode(source->contentMode());
    copy->setBackgroundColor(source->backgroundColor());
    copy->setClipsToBounds(source->clipsToBounds());
    copy->layer()->setCornerRadius(source->layer()->cornerRadius());
    container->addSubview(copy);
    // The background darkens from clear (a container without a colour has
    // nothing to fade from).
    if (!container->backgroundColor()) container->setBackgroundColor(UIColor::clearColor());
    UIView::animateWithDuration(
        kDuration,
        [copy, image, finalFrame, toView, container] {
          copy->setFrame(AVMakeRectWithAspectRatioInsideRect(image->size(), finalFrame));
          copy->setContentMode(toView->contentMode());
          copy->setClipsToBounds(toView->clipsToBounds());
          copy->layer()->setCornerRadius(toView->layer()->cornerRadius());
          container->setBackgroundColor(UIColor::blackColor());
        },
        [ctx, copy, toView, container, finalFrame](bool) {
          const bool cancelled = ctx->transitionWasCancelled();
          if (!cancelled) {
            toView->setFrame(finalFrame);
            container->addSubview(toView);
            copy->removeFromSuperview();
            container->setBackgroundColor(UIColor::clearColor());
          }
          ctx->completeTransition(!cancelled);
        });
    return;
  }
  // A view that was never given a size would take no touch: it gets the
  // presentation's frame; one already sized keeps its own.
  if (toView->frame().size.width == 0 && toView->frame().size.height == 0) toView->setFrame(finalFrame);
  toView->setAlpha(0);
  container->addSubview(toView);
  UIView::animateWithDuration(kDuration, [toView] { toView->setAlpha(1); },
                              [ctx](bool) { ctx->completeTransition(!ctx->transitionWasCancelled()); });
}

void AKPhotoGalleryTransitionDismiss::animateTransition(UIViewControllerContextTransitioning& context) {
  auto container = context.containerView();
  auto ctx = std::static_pointer_cast<UIViewControllerContextTransitioning>(context.shared_from_this());
  auto page = gallery->currentContentVC();
  auto contentView = gallery->currentContentView();
  std::shared_ptr<AKPhotoContentAnimationView> copy;
  if (page->previewType() == AKPhotoPreviewType::photo) {
    copy = AKPhotoContentAnimationView::withImage(page->snapshotImage());
    copy->setFrame(inWindow(*contentView));
    copy->setContentMode(contentView->contentMode());
    copy->layer()->setCornerRadius(contentView->layer()->cornerRadius());
    copy->setClipsToBounds(contentView->clipsToBounds());
    contentView->setHidden(true);
  } else {
    // The playing video or the PDF view itself shrinks away.
    contentView->setAutoresizingMask(UIViewAutoresizingNone);
    const CGRect frame = inWindow(*contentView);
    copy = AKPhotoContentAnimationView::withView(contentView, CGSize{0, 0});
    copy->setFrame(frame);
    copyLook(*copy, *contentView);
  }
  container->addSubview(copy);
  gallery->setNavigationBarHidden(true, true);
  if (auto content = gallery->contentVC()) content->setFooterViewHidden(true, true, nullptr);

  const int64_t index = gallery->contentVC()->currentIndex();
  auto item = gallery->itemForIndex(index);
  auto target = gallery->finishedBlock() ? gallery->finishedBlock()(index, item) : nullptr;
  auto owner = gallery;
  if (target && target->image()) {
    copy->setClipsToBounds(target->clipsToBounds());
    target->setHidden(true);
    const CGRect targetFrame = inWindow(*target);
    UIView::animateWithDuration(
        kDuration,
        [copy, target, targetFrame, owner] {
          copy->setFrame(targetFrame);
          copy->setContentMode(target->contentMode());
          copy->setBackgroundColor(target->backgroundColor());
          copy->layer()->setCornerRadius(target->layer()->cornerRadius());
          copy->setClipsToBounds(target->clipsToBounds());
          owner->updateContextBackground(0);
        },
        [ctx, target, owner](bool) {
          target->setHidden(false);
          if (ctx->transitionWasCancelled()) owner->updateContextBackground(1);
          ctx->completeTransition(!ctx->transitionWasCancelled());
        });
    return;
  }
  UIView::animateWithDuration(
      kDuration,
      [container, copy, owner] {
        container->setAlpha(0);
        copy->setAlpha(0);
        owner->updateContextBackground(0);
      },
      [ctx](bool) { ctx->completeTransition(!ctx->transitionWasCancelled()); });
}
