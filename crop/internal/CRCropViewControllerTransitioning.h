#pragma once

// The crop screen's present and dismiss animation: a picture of the image
// flies between a rectangle on the presenting screen and the crop box (or
// back) while the crop screen fades in or out.

#include <functional>
#include <memory>

#include "platform/foundation/NSObject.h"
#include "platform/uikit/UIViewControllerTransitioning.h"

class UIImage;
class UIView;

class CRCropViewControllerTransitioning : public NSObject,
                                          public UIViewControllerAnimatedTransitioning {
 public:
  static constexpr double kDuration = 0.45;
  static constexpr double kLandingFade = 0.25;

  bool isDismissing = false;
  std::shared_ptr<UIImage> image;
  std::shared_ptr<UIView> fromView;
  std::shared_ptr<UIView> toView;
  CGRect fromFrame = CGRectZero;
  CGRect toFrame = CGRectZero;
  std::function<void()> prepareForTransitionHandler;

  double transitionDuration(UIViewControllerContextTransitioning*) override { return kDuration; }
  void animateTransition(UIViewControllerContextTransitioning& context) override;
  void reset();
  std::string className() const override { return "CRCropViewControllerTransitioning"; }
};
