#pragma once

// How the gallery comes and goes: its presentation controller (also its
// transitioning delegate), the grow-from-thumbnail presentation, the
// shrink-into-thumbnail dismissal, and the pan that drags the page down to
// close the gallery.

#include <memory>
#include <optional>

#include "platform/uikit/UIGestureRecognizer.h"
#include "platform/uikit/UIPresentationController.h"
#include "platform/uikit/UIViewControllerTransitioning.h"

class AKPhotoGallery;
class UIImageView;
class UIView;

class AKPhotoGalleryInteractiveTransition : public UIPercentDrivenInteractiveTransition,
                                            public UIGestureRecognizerDelegate {
 public:
  // Adds a pan recognizer to the gallery's (loaded) view.
  explicit AKPhotoGalleryInteractiveTransition(const std::shared_ptr<AKPhotoGallery>& gallery);

  void handleGesture(UIGestureRecognizer& gesture);
  bool gestureRecognizerShouldBegin(UIGestureRecognizer& gesture) override;

  bool isInteracting() const { return isInteracting_; }
  double interactingPercent() const { return interactingPercent_; }
  const std::shared_ptr<UIView>& fromContentView() const { return fromContentView_; }

 private:
  void began(UIGestureRecognizer& gesture, CGPoint translation);
  void changed(UIGestureRecognizer& gesture, CGPoint translation);
  void ended(bool cancelled);

  std::shared_ptr<AKPhotoGallery> gallery_;
  std::shared_ptr<UIView> fromContentView_;
  std::optional<CGRect> fromRectInScreen_;
  std::optional<CGRect> fromRect_;
  std::shared_ptr<UIImageView> toImageView_;
  bool isInteracting_ = false;
  CGPoint beginPoint_{};
  CGPoint lastPoint_{};
  double interactingPercent_ = 0;
};

class AKPhotoGalleryTransitionController : public UIPresentationController,
                                           public UIViewControllerTransitioningDelegate {
 public:
  AKPhotoGalleryTransitionController(const std::shared_ptr<UIViewController>& presented,
                                     const std::shared_ptr<UIViewController>& presenting);

  const std::shared_ptr<AKPhotoGallery>& gallery() const { return gallery_; }
  void setGallery(std::shared_ptr<AKPhotoGallery> gallery) { gallery_ = std::move(gallery); }
  const std::shared_ptr<AKPhotoGalleryInteractiveTransition>& interactiveController() const {
    return interactive_;
  }
  void setInteractiveController(std::shared_ptr<AKPhotoGalleryInteractiveTransition> t) {
    interactive_ = std::move(t);
  }

  std::shared_ptr<UIViewControllerAnimatedTransitioning> animationControllerForPresentedController(
      const std::shared_ptr<UIViewController>& presented,
      const std::shared_ptr<UIViewController>& presenting,
      const std::shared_ptr<UIViewController>& source) override;
  std::shared_ptr<UIViewControllerAnimatedTransitioning> animationControllerForDismissedController(
      const std::shared_ptr<UIViewController>& dismissed) override;
  std::shared_ptr<UIViewControllerInteractiveTransitioning> interactionControllerForDismissal(
      UIViewControllerAnimatedTransitioning& animator) override;
  std::shared_ptr<UIViewControllerInteractiveTransitioning> interactionControllerForPresentation(
      UIViewControllerAnimatedTransitioning&) override {
    return nullptr;
  }
  std::shared_ptr<UIPresentationController> presentationControllerForPresentedViewController(
      const std::shared_ptr<UIViewController>& presented,
      const std::shared_ptr<UIViewController>& presenting,
      const std::shared_ptr<UIViewController>& source) override;

 private:
  std::shared_ptr<AKPhotoGallery> gallery_;
  std::shared_ptr<AKPhotoGalleryInteractiveTransition> interactive_;
};

class AKPhotoGalleryTransitionPresent : public NSObject, public UIViewControllerAnimatedTransitioning {
 public:
  static constexpr double kDuration = 0.25;
  std::shared_ptr<AKPhotoGallery> gallery;
  double transitionDuration(UIViewControllerContextTransitioning*) override { return kDuration; }
  void animateTransition(UIViewControllerContextTransitioning& context) override;
};

class AKPhotoGalleryTransitionDismiss : public NSObject, public UIViewControllerAnimatedTransitioning {
 public:
  static constexpr double kDuration = 0.25;
  std::shared_ptr<AKPhotoGallery> gallery;
  double transitionDuration(UIViewControllerContextTransitioning*) override { return kDuration; }
  void animateTransition(UIViewControllerContextTransitioning& context) override;
};
