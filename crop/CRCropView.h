#pragma once

// The crop canvas: one image in a zoomable, pannable scroll view and, over
// it, a crop box that the user moves and resizes by its edges and corners.
// Outside the box the image is dimmed and blurred; inside, a second copy of
// the image shows it sharp through a window kept over the box. Lengths are in
// points of the canvas; whole-point roundings go through 32-bit floats, and
// comparisons use the 32-bit epsilon, so the numbers match the platform's.

#include <cstdint>
#include <memory>

#include "platform/foundation/NSTimer.h"
#include "platform/uikit/UIGestureRecognizer.h"
#include "platform/uikit/UIScrollView.h"
#include "platform/uikit/UIView.h"

class UIImage;
class UIImageView;
class UIPanGestureRecognizer;
class UIVisualEffectView;
class UIBlurEffect;
class CRCropScrollView;
class CRCropOverlayView;
class CRCropView;

enum CRCropViewCroppingStyle : int64_t {
  CRCropViewCroppingStyleRectangular = 0,
  CRCropViewCroppingStyleCircular = 1,
};

// Which part of the crop box a drag started on.
enum CRCropViewTappedEdge : int64_t {
  CRCropViewTappedEdgeNone = 0,
  CRCropViewTappedEdgeTopLeft = 1,
  CRCropViewTappedEdgeTop = 2,
  CRCropViewTappedEdgeTopRight = 3,
  CRCropViewTappedEdgeRight = 4,
  CRCropViewTappedEdgeBottomRight = 5,
  CRCropViewTappedEdgeBottom = 6,
  CRCropViewTappedEdgeBottomLeft = 7,
  CRCropViewTappedEdgeLeft = 8,
};

class CRCropViewDelegate {
 public:
  virtual ~CRCropViewDelegate() = default;
  // The crop now differs from the first layout.
  virtual void cropViewDidBecomeResettable(CRCropView&) {}
  // The crop is back at the first layout.
  virtual void cropViewDidBecomeNonResettable(CRCropView&) {}
};

class CRCropView : public UIView,
                   public UIScrollViewDelegate,
                   public UIGestureRecognizerDelegate {
 public:
  // 32-bit float epsilon, 2^-23.
  static constexpr double kEpsilon = 1.1920928955078125e-07;
  // The smallest side of the crop box.
  static constexpr double kMinimumBoxSize = 42;

  // The canvas with its view tree and defaults. A missing image, or one of
  // zero width or height, is a caller's error and stops the process.
  static std::shared_ptr<CRCropView> viewWithImage(std::shared_ptr<UIImage> image);
  static std::shared_ptr<CRCropView> viewWithCroppingStyle(CRCropViewCroppingStyle style,
                                                           std::shared_ptr<UIImage> image);
  CRCropView(CRCropViewCroppingStyle style, std::shared_ptr<UIImage> image);
  ~CRCropView() override;

  // --- Layout ---
  // The first layout, once: the owner gives the frame and region insets first.
  void performInitialSetup();
  // Scales and centres the box in the content region, carrying the content.
  void moveCroppedContentToCenterAnimated(bool animated);
  // Before and after the canvas's own size changes (device rotation).
  void prepareforRotation();
  void performRelayoutForRotation();
  // Realigns the sharp copy of the image with the dimmed one.
  void matchForegroundToBackground();

  // --- Settings and state ---
  const std::shared_ptr<UIImage>& image() const { return image_; }
  CRCropViewCroppingStyle croppingStyle() const { return croppingStyle_; }
  std::shared_ptr<CRCropViewDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(const std::shared_ptr<CRCropViewDelegate>& d) { delegate_ = d; }
  bool cropBoxResizeEnabled() const { return cropBoxResizeEnabled_; }
  void setCropBoxResizeEnabled(bool enabled);
  bool canBeReset() const { return canBeReset_; }
  void setCanBeReset(bool canReset);
  CGRect cropBoxFrame() const { return cropBoxFrame_; }
  // Clamps to the content region and the minimum size, then applies.
  void setCropBoxFrame(const CGRect& frame);
  // The whole zoomed image in canvas coordinates.
  CGRect imageViewFrame() const;
  UIEdgeInsets cropRegionInsets() const { return cropRegionInsets_; }
  void setCropRegionInsets(const UIEdgeInsets& insets) { cropRegionInsets_ = insets; }
  bool simpleRenderMode() const { return simpleRenderMode_; }
  void setSimpleRenderMode(bool on) { setSimpleRenderMode(on, false); }
  void setSimpleRenderMode(bool on, bool animated);
  bool internalLayoutDisabled() const { return internalLayoutDisabled_; }
  void setInternalLayoutDisabled(bool disabled) { internalLayoutDisabled_ = disabled; }
  CGSize aspectRatio() const { return aspectRatio_; }
  void setAspectRatio(CGSize ratio) { setAspectRatio(ratio, false); }
  void setAspectRatio(CGSize ratio, bool animated);
  bool aspectRatioLockEnabled() const { return aspectRatioLockEnabled_; }
  void setAspectRatioLockEnabled(bool on) { aspectRatioLockEnabled_ = on; }
  bool aspectRatioLockDimensionSwapEnabled() const { return aspectRatioLockDimensionSwapEnabled_; }
  void setAspectRatioLockDimensionSwapEnabled(bool on) { aspectRatioLockDimensionSwapEnabled_ = on; }
  bool resetAspectRatioEnabled() const { return resetAspectRatioEnabled_; }
  void setResetAspectRatioEnabled(bool on) { resetAspectRatioEnabled_ = on; }
  bool cropBoxAspectRatioIsPortrait() const;
  int64_t angle() const { return angle_; }
  // Multiples of 90 only (others count as 0), applied by quarter turns.
  void setAngle(int64_t angle);
  bool croppingViewsHidden() const { return croppingViewsHidden_; }
  void setCroppingViewsHidden(bool hidden) { setCroppingViewsHidden(hidden, false); }
  void setCroppingViewsHidden(bool hidden, bool animated);
  void setBackgroundImageViewHidden(bool hidden, bool animated);
  bool gridOverlayHidden() const { return gridOverlayHidden_; }
  void setGridOverlayHidden(bool hidden) { setGridOverlayHidden(hidden, false); }
  void setGridOverlayHidden(bool hidden, bool animated);
  double cropViewPadding() const { return cropViewPadding_; }
  void setCropViewPadding(double p) { cropViewPadding_ = p; }
  double cropAdjustingDelay() const { return cropAdjustingDelay_; }
  void setCropAdjustingDelay(double d) { cropAdjustingDelay_ = d; }
  double minimumAspectRatio() const { return minimumAspectRatio_; }
  void setMinimumAspectRatio(double r) { minimumAspectRatio_ = r; }
  double maximumZoomScale() const { return maximumZoomScale_; }
  void setMaximumZoomScale(double s) { maximumZoomScale_ = s; }
  bool alwaysShowCroppingGrid() const { return alwaysShowCroppingGrid_; }
  void setAlwaysShowCroppingGrid(bool on);
  bool translucencyAlwaysHidden() const { return translucencyAlwaysHidden_; }
  void setTranslucencyAlwaysHidden(bool on);

  // --- Crop rectangle in the space of the image turned by the angle ---
  CGRect imageCropFrame() const;
  // Before the first layout it is kept for it; afterwards applied at once.
  void setImageCropFrame(const CGRect& frame);
  void updateToImageCropFrame(const CGRect& frame);

  // The region the box may use, and the image's size turned by the angle.
  CGRect contentBounds() const;
  CGSize imageSize() const;
  bool hasAspectRatio() const;

  // --- Rotation and reset ---
  void rotateImageNinetyDegreesAnimated(bool animated) {
    rotateImageNinetyDegreesAnimated(animated, false);
  }
  void rotateImageNinetyDegreesAnimated(bool animated, bool clockwise);
  void resetLayoutToDefaultAnimated(bool animated);
  void captureStateForImageRotation();
  void checkForCanReset();
  void toggleTranslucencyViewVisible(bool visible);

  // --- Editing ---
  void startEditing();
  bool isEditing() const { return editing_; }
  void setEditing(bool editing) { setEditing(editing, false, false); }
  void setEditing(bool editing, bool resetCropBox, bool animated);
  void startResetTimer();
  void timerTriggered();
  void cancelResetTimer();

  // --- Dragging the box ---
  void gridPanGestureRecognized(UIGestureRecognizer& recognizer);
  void longPressGestureRecognized(UIGestureRecognizer& recognizer);
  CRCropViewTappedEdge cropEdgeForPoint(const CGPoint& point) const;
  void updateCropBoxFrameWithGesturePoint(CGPoint point);
  bool gestureRecognizerShouldBegin(UIGestureRecognizer& recognizer) override;
  bool gestureRecognizerShouldReceiveTouch(UIGestureRecognizer& recognizer,
                                           const UITouch& touch) override;

  // --- UIScrollViewDelegate ---
  std::shared_ptr<UIView> viewForZoomingInScrollView(UIScrollView&) override;
  void scrollViewDidScroll(UIScrollView&) override;
  void scrollViewWillBeginDragging(UIScrollView&) override;
  void scrollViewWillBeginZooming(UIScrollView&, UIView*) override;
  void scrollViewDidEndDecelerating(UIScrollView&) override;
  void scrollViewDidEndZooming(UIScrollView&, UIView*, double) override;
  void scrollViewDidZoom(UIScrollView&) override;
  void scrollViewDidEndDragging(UIScrollView&, bool willDecelerate) override;

  // The parts of the canvas, for its owner (transitions) and its tests.
  const std::shared_ptr<CRCropScrollView>& scrollView() const { return scrollView_; }
  const std::shared_ptr<UIView>& backgroundContainerView() const { return backgroundContainer_; }
  const std::shared_ptr<UIImageView>& backgroundImageView() const { return backgroundImageView_; }
  const std::shared_ptr<UIView>& foregroundContainerView() const { return foregroundContainer_; }
  const std::shared_ptr<UIImageView>& foregroundImageView() const { return foregroundImageView_; }
  const std::shared_ptr<UIView>& overlayView() const { return overlayView_; }
  const std::shared_ptr<UIVisualEffectView>& translucencyView() const { return translucencyView_; }
  const std::shared_ptr<CRCropOverlayView>& gridOverlayView() const { return gridOverlayView_; }
  const std::shared_ptr<UIPanGestureRecognizer>& gridPanGestureRecognizer() const {
    return gridPan_;
  }
  CRCropViewTappedEdge tappedEdge() const { return tappedEdge_; }
  bool rotateAnimationInProgress() const { return rotateAnimationInProgress_; }
  bool resetTimerPending() const { return resetTimer_ != nullptr; }
  CGSize cropBoxLastEditedSize() const { return cropBoxLastEditedSize_; }
  int64_t cropBoxLastEditedAngle() const { return cropBoxLastEditedAngle_; }
  double cropBoxLastEditedZoomScale() const { return cropBoxLastEditedZoomScale_; }
  double cropBoxLastEditedMinZoomScale() const { return cropBoxLastEditedMinZoomScale_; }
  CGSize originalCropBoxSize() const { return originalCropBoxSize_; }
  CGPoint originalContentOffset() const { return originalContentOffset_; }

  std::string className() const override { return "CRCropView"; }

 private:
  void setup();
  void layoutInitialImage();
  void moveCroppedContent(const CGRect& box, CGPoint offset, double scale);
  void applyAspectRatio(CGSize ratio);
  void turnImage(bool animated, bool clockwise);
  void finishTurnAnimation(const std::shared_ptr<UIView>& snapshot);

  std::shared_ptr<UIImage> image_;
  CRCropViewCroppingStyle croppingStyle_;
  std::weak_ptr<CRCropViewDelegate> delegate_;
  bool cropBoxResizeEnabled_ = true;
  bool canBeReset_ = false;
  CGRect cropBoxFrame_ = CGRectZero;
  UIEdgeInsets cropRegionInsets_;
  bool simpleRenderMode_ = false;
  bool internalLayoutDisabled_ = false;
  CGSize aspectRatio_ = CGSizeZero;
  bool aspectRatioLockEnabled_ = false;
  bool aspectRatioLockDimensionSwapEnabled_ = false;
  bool resetAspectRatioEnabled_ = true;
  int64_t angle_ = 0;
  bool croppingViewsHidden_ = false;
  bool gridOverlayHidden_ = false;
  double cropViewPadding_ = 14.0;
  double cropAdjustingDelay_ = 0.8;
  double minimumAspectRatio_ = 0;
  double maximumZoomScale_ = 15.0;
  bool alwaysShowCroppingGrid_ = false;
  bool translucencyAlwaysHidden_ = false;

  std::shared_ptr<UIImageView> backgroundImageView_;
  std::shared_ptr<UIView> backgroundContainer_;
  std::shared_ptr<UIView> foregroundContainer_;
  std::shared_ptr<UIImageView> foregroundImageView_;
  std::shared_ptr<CRCropScrollView> scrollView_;
  std::shared_ptr<UIView> overlayView_;
  std::shared_ptr<UIVisualEffectView> translucencyView_;
  std::shared_ptr<UIBlurEffect> translucencyEffect_;
  std::shared_ptr<CRCropOverlayView> gridOverlayView_;
  std::shared_ptr<UIPanGestureRecognizer> gridPan_;
  CRCropViewTappedEdge tappedEdge_ = CRCropViewTappedEdgeNone;
  CGRect cropOriginFrame_ = CGRectZero;
  CGPoint panOriginPoint_ = CGPointZero;
  NSTimerPtr resetTimer_;
  bool editing_ = false;
  bool disableForegroundMatching_ = false;
  CGPoint rotationContentOffset_ = CGPointZero;
  CGSize rotationContentSize_ = CGSizeZero;
  CGRect rotationBoundFrame_ = CGRectZero;
  CGSize cropBoxLastEditedSize_ = CGSizeZero;
  int64_t cropBoxLastEditedAngle_ = 0;
  double cropBoxLastEditedZoomScale_ = 0;
  double cropBoxLastEditedMinZoomScale_ = 0;
  bool rotateAnimationInProgress_ = false;
  CGSize originalCropBoxSize_ = CGSizeZero;
  CGPoint originalContentOffset_ = CGPointZero;
  bool dynamicBlurEffect_ = true;
  int64_t restoreAngle_ = 0;
  CGRect restoreImageCropFrame_ = CGRectZero;
  bool initialSetupPerformed_ = false;
};
