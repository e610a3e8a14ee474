// Quarter turns, the angle, reset, the resettable test and the display
// states of the crop canvas.

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "crop/internal/CRCropGeometry.h"
#include "crop/internal/CRCropOverlayView.h"
#include "crop/internal/CRCropScrollView.h"
#include "crop/CRCropView.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UIVisualEffectView.h"

namespace {

constexpr double kRotationEps = CRCropView::kEpsilon;
constexpr double kTurnDuration = 0.45;
constexpr double kResetDelay = 0.01;

CGAffineTransform rotationForAngle(int64_t angle) {
  return angle == 0 ? CGAffineTransformIdentity
                    : CGAffineTransformMakeRotation(double(angle) * M_PI / 180.0);
}

}  // namespace

void CRCropView::captureStateForImageRotation() {
  cropBoxLastEditedSize_ = cropBoxFrame_.size;
  cropBoxLastEditedZoomScale_ = scrollView_->zoomScale();
  cropBoxLastEditedMinZoomScale_ = scrollView_->minimumZoomScale();
}

void CRCropView::checkForCanReset() {
  CGPoint o = scrollView_->contentOffset();
  bool atFirstLayout = angle_ == 0 &&
                       scrollView_->zoomScale() <= scrollView_->minimumZoomScale() + kRotationEps &&
                       CRFloor(cropBoxFrame_.size.width) == CRFloor(originalCropBoxSize_.width) &&
                       CRFloor(cropBoxFrame_.size.height) == CRFloor(originalCropBoxSize_.height) &&
                       CRFloor(o.x) == CRFloor(originalContentOffset_.x) &&
                       CRFloor(o.y) == CRFloor(originalContentOffset_.y);
  setCanBeReset(!atFirstLayout);
}

void CRCropView::setCanBeReset(bool canReset) {
  if (canReset == canBeReset_) return;
  canBeReset_ = canReset;
  auto d = delegate();
  if (!d) return;
  if (canReset) {
    d->cropViewDidBecomeResettable(*this);
  } else {
    d->cropViewDidBecomeNonResettable(*this);
  }
}

void CRCropView::setAngle(int64_t angle) {
  int64_t a = angle % 90 == 0 ? angle : 0;
  if (!initialSetupPerformed_) {
    restoreAngle_ = a;
    return;
  }
  // Quarter turns reach -270...270: a full turn or more means the same
  // orientation as its remainder.
  a %= 360;
  bool clockwise = a >= 0;
  for (int turns = 0; turns < 4 && std::llabs(angle_) != std::llabs(a); ++turns) {
    rotateImageNinetyDegreesAnimated(false, clockwise);
  }
}

void CRCropView::rotateImageNinetyDegreesAnimated(bool animated, bool clockwise) {
  if (rotateAnimationInProgress_) return;
  if (resetTimer_) {
    cancelResetTimer();
    setEditing(false, true, false);
    cropBoxLastEditedAngle_ = angle_;
    captureStateForImageRotation();
  }
  turnImage(animated, clockwise);
}

void CRCropView::turnImage(bool animated, bool clockwise) {
  int64_t angle = angle_ + (clockwise ? 90 : -90);
  if (angle <= -360 || angle >= 360) angle = 0;
  angle_ = angle;
  CGAffineTransform T = rotationForAngle(angle);

  CGRect B = contentBounds();
  CGRect C = cropBoxFrame_;
  CGPoint offset = scrollView_->contentOffset();
  double k = std::min(B.size.width / C.size.height, B.size.height / C.size.width);
  CGPoint m = CGPointMake(CGRectGetMidX(C) + offset.x, CGRectGetMidY(C) + offset.y);

  CGSize size;
  int64_t last = std::llabs(cropBoxLastEditedAngle_);
  if (std::llabs(angle) == last || -std::llabs(angle) == (last - 180) % 360) {
    size = cropBoxLastEditedSize_;
    scrollView_->setMinimumZoomScale(cropBoxLastEditedMinZoomScale_);
    scrollView_->setZoomScale(cropBoxLastEditedZoomScale_);
  } else {
    size = CGSizeMake(CRFloor(C.size.height * k), CRFloor(C.size.width * k));
    scrollView_->setMinimumZoomScale(scrollView_->minimumZoomScale() * k);
    scrollView_->setZoomScale(scrollView_->zoomScale() * k);
  }
  CGRect box{CGPointMake(CRFloor(CGRectGetMidX(B) - size.width * 0.5),
                         CRFloor(CGRectGetMidY(B) - size.height * 0.5)),
             size};

  std::shared_ptr<UIView> snapshot;
  if (animated) {
    snapshot = foregroundContainer_->snapshotViewAfterScreenUpdates(false);
    rotateAnimationInProgress_ = true;
  }

  backgroundImageView_->setTransform(T);
  CGSize former = backgroundContainer_->frame().size;
  backgroundContainer_->setFrame(CGRectMake(0, 0, former.height, former.width));
  CGRect imageFrame = backgroundImageView_->frame();
  backgroundImageView_->setFrame(CGRect{CGPointZero, imageFrame.size});
  foregroundContainer_->setTransform(CGAffineTransformIdentity);
  foregroundImageView_->setTransform(T);
  scrollView_->setContentSize(backgroundContainer_->frame().size);

  setCropBoxFrame(box);
  moveCroppedContentToCenterAnimated(false);

  CGRect turned = cropBoxFrame_;
  CGSize content = scrollView_->contentSize();
  UIEdgeInsets inset = scrollView_->contentInset();
  CGPoint t = clockwise ? CGPointMake(content.width - k * m.y, k * m.x)
                        : CGPointMake(k * m.y, content.height - k * m.x);
  CGPoint next = CGPointMake(CRFloor(t.x - CGRectGetMidX(turned)),
                             CRFloor(t.y - CGRectGetMidY(turned)));
  next.x = std::min(std::max(next.x, -inset.left),
                    content.width - (turned.size.width - inset.right));
  next.y = std::min(std::max(next.y, -inset.top),
                    content.height - (turned.size.height - inset.bottom));
  if (next == scrollView_->contentOffset() && k == 1) matchForegroundToBackground();
  scrollView_->setContentOffset(next);

  if (animated) {
    snapshot->setCenter(CGPointMake(CGRectGetMidX(B), CGRectGetMidY(B)));
    addSubview(snapshot);
    backgroundContainer_->setHidden(true);
    foregroundContainer_->setHidden(true);
    translucencyView_->setHidden(true);
    if (gridOverlayView_) gridOverlayView_->setHidden(true);
    CGAffineTransform spin = CGAffineTransformMakeRotation(clockwise ? M_PI_2 : -M_PI_2);
    spin = CGAffineTransformScale(spin, k, k);
    auto self = SharedFromThis(this);
    UIView::animateWithDuration(
        kTurnDuration, 0, 1.0, 0.8, UIViewAnimationOptionBeginFromCurrentState,
        [snapshot, spin] { snapshot->setTransform(spin); },
        [self, snapshot](bool) { self->finishTurnAnimation(snapshot); });
  }
  checkForCanReset();
}

void CRCropView::finishTurnAnimation(const std::shared_ptr<UIView>& snapshot) {
  backgroundContainer_->setHidden(false);
  foregroundContainer_->setHidden(false);
  if (gridOverlayView_) gridOverlayView_->setHidden(false);
  translucencyView_->setHidden(translucencyAlwaysHidden_);
  backgroundContainer_->setAlpha(0);
  if (gridOverlayView_) gridOverlayView_->setAlpha(0);
  translucencyView_->setAlpha(1);
  auto self = SharedFromThis(this);
  UIView::animateWithDuration(
      kTurnDuration,
      [self, snapshot] {
        snapshot->setAlpha(0);
        self->backgroundContainer_->setAlpha(1);
        if (self->gridOverlayView_) self->gridOverlayView_->setAlpha(1);
      },
      [self, snapshot](bool) {
        self->rotateAnimationInProgress_ = false;
        snapshot->removeFromSuperview();
        if (self->aspectRatioLockEnabled_ && !self->aspectRatioLockDimensionSwapEnabled_) {
          self->setAspectRatio(self->aspectRatio_, true);
        }
      });
}

void CRCropView::resetLayoutToDefaultAnimated(bool animated) {
  if (hasAspectRatio() && resetAspectRatioEnabled_) aspectRatio_ = CGSizeZero;
  if (animated && angle_ == 0) {
    if (resetTimer_) {
      cancelResetTimer();
      setEditing(false, false, false);
    }
    setSimpleRenderMode(true, false);
    auto weak = std::weak_ptr<CRCropView>(SharedFromThis(this));
    dispatch_after(dispatch_time_after(kResetDelay), dispatch_get_main_queue(), [weak] {
      auto self = weak.lock();
      if (!self) return;
      UIView::animateWithDuration(
          0.5, 0, 1.0, 1.0, UIViewAnimationOptionBeginFromCurrentState,
          [self] { self->layoutInitialImage(); },
          [self](bool) { self->setSimpleRenderMode(false, true); });
    });
    return;
  }
  angle_ = 0;
  CGRect imageRect{CGPointZero, image_->size()};
  scrollView_->setZoomScale(1.0);
  backgroundImageView_->setTransform(CGAffineTransformIdentity);
  backgroundContainer_->setTransform(CGAffineTransformIdentity);
  backgroundImageView_->setFrame(imageRect);
  backgroundContainer_->setFrame(imageRect);
  foregroundImageView_->setTransform(CGAffineTransformIdentity);
  foregroundImageView_->setFrame(imageRect);
  layoutInitialImage();
  checkForCanReset();
}

// --- Display states ---

void CRCropView::toggleTranslucencyViewVisible(bool visible) {
  if (dynamicBlurEffect_) {
    translucencyView_->setEffect(visible ? translucencyEffect_ : nullptr);
  } else {
    translucencyView_->setAlpha(visible ? 1 : 0);
  }
}

void CRCropView::setCroppingViewsHidden(bool hidden, bool animated) {
  if (hidden == croppingViewsHidden_) return;
  croppingViewsHidden_ = hidden;
  double alpha = hidden ? 0 : 1;
  if (!animated) {
    backgroundImageView_->setAlpha(alpha);
    foregroundContainer_->setAlpha(alpha);
    if (gridOverlayView_) gridOverlayView_->setAlpha(alpha);
    toggleTranslucencyViewVisible(!hidden);
    return;
  }
  foregroundContainer_->setAlpha(alpha);
  backgroundImageView_->setAlpha(alpha);
  auto self = SharedFromThis(this);
  UIView::animateWithDuration(0.4, [self, hidden, alpha] {
    self->toggleTranslucencyViewVisible(!hidden);
    if (self->gridOverlayView_) self->gridOverlayView_->setAlpha(alpha);
  });
}

void CRCropView::setBackgroundImageViewHidden(bool hidden, bool animated) {
  if (!animated) {
    backgroundImageView_->setHidden(hidden);
    return;
  }
  double before = hidden ? 1 : 0, after = hidden ? 0 : 1;
  backgroundImageView_->setHidden(false);
  backgroundImageView_->setAlpha(before);
  auto view = backgroundImageView_;
  UIView::animateWithDuration(
      0.5, [view, after] { view->setAlpha(after); },
      [view, hidden](bool) {
        if (hidden) view->setHidden(true);
      });
}

void CRCropView::setGridOverlayHidden(bool hidden, bool animated) {
  gridOverlayHidden_ = hidden;
  if (!gridOverlayView_) return;
  double after = hidden ? 0 : 1;
  if (!animated) {
    gridOverlayView_->setAlpha(after);
    return;
  }
  gridOverlayView_->setAlpha(hidden ? 1 : 0);
  auto grid = gridOverlayView_;
  UIView::animateWithDuration(0.4, [grid, after] { grid->setAlpha(after); });
}

void CRCropView::setSimpleRenderMode(bool on, bool animated) {
  if (on == simpleRenderMode_) return;
  simpleRenderMode_ = on;
  setEditing(false);
  if (!animated) {
    toggleTranslucencyViewVisible(!on);
    return;
  }
  auto self = SharedFromThis(this);
  UIView::animateWithDuration(0.25, [self, on] { self->toggleTranslucencyViewVisible(!on); });
}

void CRCropView::setAlwaysShowCroppingGrid(bool on) {
  if (on == alwaysShowCroppingGrid_) return;
  alwaysShowCroppingGrid_ = on;
  if (gridOverlayView_) gridOverlayView_->setGridHidden(!on, true);
}

void CRCropView::setTranslucencyAlwaysHidden(bool on) {
  if (on == translucencyAlwaysHidden_) return;
  translucencyAlwaysHidden_ = on;
  translucencyView_->setHidden(on);
}
