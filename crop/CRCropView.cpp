#include "crop/CRCropView.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "crop/internal/CRCropGeometry.h"
#include "crop/internal/CRCropOverlayView.h"
#include "crop/internal/CRCropScrollView.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/uikit/UIDevice.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UIPanGestureRecognizer.h"
#include "platform/uikit/UIVisualEffectView.h"

namespace {

constexpr double kEps = CRCropView::kEpsilon;
constexpr double kMinSize = CRCropView::kMinimumBoxSize;
constexpr double kCenteringDelay = 0.01;

bool sidewaysAngle(int64_t angle) {
  return angle == 90 || angle == 270 || angle == -90 || angle == -270;
}

}  // namespace

// --- Creation ---

std::shared_ptr<CRCropView> CRCropView::viewWithImage(std::shared_ptr<UIImage> image) {
  return viewWithCroppingStyle(CRCropViewCroppingStyleRectangular, std::move(image));
}

std::shared_ptr<CRCropView> CRCropView::viewWithCroppingStyle(CRCropViewCroppingStyle style,
                                                              std::shared_ptr<UIImage> image) {
  auto view = std::make_shared<CRCropView>(style, std::move(image));
  view->setup();
  return view;
}

CRCropView::CRCropView(CRCropViewCroppingStyle style, std::shared_ptr<UIImage> image)
    : UIView(image ? CGRect{CGPointZero, image->size()} : CGRectZero),
      image_(std::move(image)),
      croppingStyle_(style) {
  CRRequireCroppableImage(image_.get());
}

CRCropView::~CRCropView() {
  if (resetTimer_) resetTimer_->invalidate();
}

void CRCropView::setup() {
  bool circular = croppingStyle_ == CRCropViewCroppingStyleCircular;
  CGSize imageSize = image_->size();
  setAutoresizingMask(UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleHeight);
  setBackgroundColor(UIColor::colorWithWhite(0.12, 1.0));
  cropBoxResizeEnabled_ = !circular;
  aspectRatio_ = circular ? CGSizeMake(1, 1) : CGSizeZero;
  resetAspectRatioEnabled_ = !circular;
  dynamicBlurEffect_ = std::atof(UIDevice::currentDevice()->systemVersion().c_str()) >= 9.0;
  auto weakSelf = std::weak_ptr<CRCropView>(SharedFromThis(this));

  scrollView_ = std::make_shared<CRCropScrollView>(bounds());
  scrollView_->setAutoresizingMask(UIViewAutoresizingFlexibleWidth |
                                   UIViewAutoresizingFlexibleHeight);
  scrollView_->setAlwaysBounceHorizontal(true);
  scrollView_->setAlwaysBounceVertical(true);
  scrollView_->setShowsHorizontalScrollIndicator(false);
  scrollView_->setShowsVerticalScrollIndicator(false);
  scrollView_->setDelegate(std::shared_ptr<UIScrollViewDelegate>(SharedFromThis(this), this));
  scrollView_->setContentInsetAdjustmentBehavior(UIScrollViewContentInsetAdjustmentBehavior::Never);
  scrollView_->setTouchesBegan([weakSelf] {
    if (auto self = weakSelf.lock()) self->startEditing();
  });
  scrollView_->setTouchesEnded([weakSelf] {
    if (auto self = weakSelf.lock()) self->startResetTimer();
  });
  addSubview(scrollView_);

  backgroundImageView_ = std::make_shared<UIImageView>(image_);
  backgroundImageView_->setFrame(CGRect{CGPointZero, imageSize});
  backgroundImageView_->layer()->setMinificationFilter(kCAFilterTrilinear);
  backgroundContainer_ = std::make_shared<UIView>(backgroundImageView_->frame());
  backgroundContainer_->addSubview(backgroundImageView_);
  scrollView_->addSubview(backgroundContainer_);

  overlayView_ = std::make_shared<UIView>(bounds());
  overlayView_->setAutoresizingMask(UIViewAutoresizingFlexibleWidth |
                                    UIViewAutoresizingFlexibleHeight);
  overlayView_->setBackgroundColor(backgroundColor()->colorWithAlphaComponent(0.35));
  overlayView_->setHidden(false);
  overlayView_->setUserInteractionEnabled(false);
  addSubview(overlayView_);

  translucencyEffect_ = UIBlurEffect::effectWithStyle(UIBlurEffectStyleDark);
  translucencyView_ = std::make_shared<UIVisualEffectView>(translucencyEffect_);
  translucencyView_->setFrame(bounds());
  translucencyView_->setHidden(translucencyAlwaysHidden_);
  translucencyView_->setUserInteractionEnabled(false);
  translucencyView_->setAutoresizingMask(UIViewAutoresizingFlexibleWidth |
                                         UIViewAutoresizingFlexibleHeight);
  addSubview(translucencyView_);

  foregroundContainer_ = std::make_shared<UIView>(CGRectMake(0, 0, 200, 200));
  foregroundContainer_->setClipsToBounds(true);
  foregroundContainer_->setUserInteractionEnabled(false);
  addSubview(foregroundContainer_);
  foregroundImageView_ = std::make_shared<UIImageView>(image_);
  foregroundImageView_->setFrame(CGRect{CGPointZero, imageSize});
  foregroundImageView_->layer()->setMinificationFilter(kCAFilterTrilinear);
  foregroundContainer_->addSubview(foregroundImageView_);

  if (circular) return;
  gridOverlayView_ = CRCropOverlayView::overlayWithFrame(foregroundContainer_->frame());
  gridOverlayView_->setUserInteractionEnabled(false);
  gridOverlayView_->setGridHidden(true, false);
  addSubview(gridOverlayView_);

  gridPan_ = std::make_shared<UIPanGestureRecognizer>();
  gridPan_->addTarget(SharedFromThis(this), [weakSelf](UIGestureRecognizer& recognizer) {
    if (auto self = weakSelf.lock()) self->gridPanGestureRecognized(recognizer);
  });
  gridPan_->setDelegate(std::shared_ptr<UIGestureRecognizerDelegate>(SharedFromThis(this), this));
  scrollView_->panGestureRecognizer()->requireGestureRecognizerToFail(gridPan_);
  addGestureRecognizer(gridPan_);
}

// --- Geometry ---

CGRect CRCropView::contentBounds() const {
  CGRect b = bounds();
  const UIEdgeInsets& i = cropRegionInsets_;
  double p = cropViewPadding_;
  return CGRectMake(p + i.left, p + i.top, b.size.width - (2 * p + i.left + i.right),
                    b.size.height - (2 * p + i.top + i.bottom));
}

CGSize CRCropView::imageSize() const {
  CGSize s = image_->size();
  return sidewaysAngle(angle_) ? CGSizeMake(s.height, s.width) : s;
}

bool CRCropView::hasAspectRatio() const {
  return aspectRatio_.width > kEps && aspectRatio_.height > kEps;
}

bool CRCropView::cropBoxAspectRatioIsPortrait() const {
  return cropBoxFrame_.size.width < cropBoxFrame_.size.height;
}

CGRect CRCropView::imageViewFrame() const {
  CGPoint o = scrollView_->contentOffset();
  return CGRect{CGPointMake(-o.x, -o.y), scrollView_->contentSize()};
}

void CRCropView::setCropBoxResizeEnabled(bool enabled) {
  cropBoxResizeEnabled_ = enabled;
  if (gridPan_) gridPan_->setEnabled(enabled);
}

void CRCropView::layoutInitialImage() {
  CGSize S = imageSize();
  scrollView_->setContentSize(S);
  CGRect B = contentBounds();
  double f = std::min(B.size.width / S.width, B.size.height / S.height);
  CGSize fitted = CGSizeMake(CRFloor(S.width * f), CRFloor(S.height * f));

  double zoom;
  CGSize box, scaled;
  if (!hasAspectRatio()) {
    zoom = f;
    box = fitted;
    scaled = fitted;
  } else {
    double r = aspectRatio_.width / aspectRatio_.height;
    box = CGSizeMake(B.size.height * r, B.size.height);
    double k = std::min(B.size.width / box.width, 1.0);
    box = CGSizeMake(box.width * k, box.height * k);
    zoom = std::max(box.width / S.width, box.height / S.height);
    scaled = CGSizeMake(CRFloor(S.width * zoom), CRFloor(S.height * zoom));
  }
  scrollView_->setMinimumZoomScale(zoom);
  scrollView_->setMaximumZoomScale(zoom * maximumZoomScale_);

  CGRect frame{CGPointMake(CRFloor(B.origin.x + CRFloor((B.size.width - box.width) * 0.5)),
                           CRFloor(B.origin.y + CRFloor((B.size.height - box.height) * 0.5))),
               box};
  setCropBoxFrame(frame);
  scrollView_->setZoomScale(scrollView_->minimumZoomScale());
  scrollView_->setContentSize(scaled);

  if (frame.size.width < scaled.width - kEps || frame.size.height < scaled.height - kEps) {
    CGPoint offset =
        CGPointMake(-CRFloor(CGRectGetMidX(B) - scaled.width * 0.5),
                    -CRFloor(CGRectGetMidY(B) - scaled.height * 0.5));
    scrollView_->setContentOffset(offset);
  }

  cropBoxLastEditedAngle_ = 0;
  captureStateForImageRotation();
  originalCropBoxSize_ = resetAspectRatioEnabled_ ? fitted : cropBoxFrame_.size;
  originalContentOffset_ = scrollView_->contentOffset();
  checkForCanReset();
  matchForegroundToBackground();
}

void CRCropView::performInitialSetup() {
  if (initialSetupPerformed_) return;
  initialSetupPerformed_ = true;
  layoutInitialImage();
  if (restoreAngle_ != 0) {
    int64_t a = restoreAngle_;
    restoreAngle_ = 0;
    setAngle(a);
    cropBoxLastEditedAngle_ = angle_;
  }
  if (!CGRectIsEmpty(restoreImageCropFrame_)) {
    CGRect r = restoreImageCropFrame_;
    restoreImageCropFrame_ = CGRectZero;
    setImageCropFrame(r);
  }
  captureStateForImageRotation();
  checkForCanReset();
}

void CRCropView::setCropBoxFrame(const CGRect& frame) {
  double x = frame.origin.x, y = frame.origin.y;
  double w = frame.size.width, h = frame.size.height;
  if (frame == cropBoxFrame_) return;
  if (std::isnan(w) || std::isnan(h) || w < kEps || h < kEps) return;

  CGRect B = contentBounds();
  double cx = CRCeil(B.origin.x), cy = CRCeil(B.origin.y);
  double nx = x < cx ? cx : CRFloor(x);
  double ny = y < cy ? cy : CRFloor(y);
  double nw = (x - cx < -kEps) ? w + (x - cx) : w;
  double nh = (y - cy < -kEps) ? h + (y - cy) : h;
  nw = std::min(nw, CGRectGetMaxX(B) - nx);
  nh = std::min(nh, CGRectGetMaxY(B) - ny);
  nw = std::max(CRFloor(nw), kMinSize);
  nh = std::max(CRFloor(nh), kMinSize);
  CGRect box = CGRectMake(nx, ny, nw, nh);
  cropBoxFrame_ = box;

  foregroundContainer_->setFrame(box);
  if (gridOverlayView_) gridOverlayView_->setFrame(box);
  if (croppingStyle_ == CRCropViewCroppingStyleCircular) {
    foregroundContainer_->layer()->setCornerRadius(box.size.width * 0.5);
  }

  CGRect bounds = this->bounds();
  scrollView_->setContentInset(UIEdgeInsetsMake(CGRectGetMinY(box), CGRectGetMinX(box),
                                                CGRectGetMaxY(bounds) - CGRectGetMaxY(box),
                                                CGRectGetMaxX(bounds) - CGRectGetMaxX(box)));

  CGSize C = backgroundContainer_->bounds().size;
  scrollView_->setMinimumZoomScale(std::max(box.size.height / C.height, box.size.width / C.width));
  CGSize content = scrollView_->contentSize();
  scrollView_->setContentSize(CGSizeMake(CRFloor(content.width), CRFloor(content.height)));
  scrollView_->setZoomScale(scrollView_->zoomScale());
  matchForegroundToBackground();
}

void CRCropView::matchForegroundToBackground() {
  if (disableForegroundMatching_) return;
  auto superview = backgroundContainer_->superview();
  CGRect frame = foregroundContainer_->convertRectFromView(backgroundContainer_->frame(),
                                                           superview.get());
  foregroundImageView_->setFrame(frame);
}

// --- Editing and the return to the centre ---

void CRCropView::startEditing() {
  cancelResetTimer();
  setEditing(true, false, true);
}

void CRCropView::startResetTimer() {
  if (resetTimer_) return;
  resetTimer_ = NSTimer::scheduledTimerWithTimeInterval(
      cropAdjustingDelay_, false,
      WeakBind(SharedFromThis(this), [](CRCropView& self, NSTimer&) { self.timerTriggered(); }));
}

void CRCropView::timerTriggered() {
  setEditing(false, true, true);
  cancelResetTimer();
}

void CRCropView::cancelResetTimer() {
  if (!resetTimer_) return;
  resetTimer_->invalidate();
  resetTimer_.reset();
}

void CRCropView::setEditing(bool editing, bool resetCropBox, bool animated) {
  if (editing == editing_) return;
  editing_ = editing;
  if (gridOverlayView_) gridOverlayView_->setGridHidden(!editing && !alwaysShowCroppingGrid_, animated);
  if (resetCropBox) {
    moveCroppedContentToCenterAnimated(animated);
    captureStateForImageRotation();
    cropBoxLastEditedAngle_ = angle_;
  }
  if (!animated) {
    toggleTranslucencyViewVisible(!editing);
    return;
  }
  double duration = editing ? 0.05 : 0.35;
  double delay = (editing || croppingStyle_ == CRCropViewCroppingStyleCircular) ? 0 : 0.35;
  auto self = SharedFromThis(this);
  UIView::animateKeyframesWithDuration(
      duration, delay, 0, [self, editing] { self->toggleTranslucencyViewVisible(!editing); },
      nullptr);
}

void CRCropView::moveCroppedContentToCenterAnimated(bool animated) {
  if (internalLayoutDisabled_) return;
  CGRect C = cropBoxFrame_;
  if (C.size.width < kEps || C.size.height < kEps) return;
  CGRect B = contentBounds();
  double k = std::min(B.size.width / C.size.width, B.size.height / C.size.height);
  // Rounded, not raised: raising the side that does not fill the region
  // makes the box a point longer than the content it frames, and an
  // untouched crop of the whole image would lose a row or column.
  CGSize size = CGSizeMake(CRRound(C.size.width * k), CRRound(C.size.height * k));
  CGRect box{CGPointMake(B.origin.x + CRCeil((B.size.width - size.width) * 0.5),
                         B.origin.y + CRCeil((B.size.height - size.height) * 0.5)),
             size};
  CGPoint offset = scrollView_->contentOffset();
  CGPoint t = CGPointMake((CGRectGetMidX(C) + offset.x) * k, (CGRectGetMidY(C) + offset.y) * k);
  CGPoint o = CGPointMake(t.x - CGRectGetMidX(B), t.y - CGRectGetMidY(B));
  o.x = std::max(o.x, -box.origin.x);
  o.y = std::max(o.y, -box.origin.y);
  if (!animated) {
    moveCroppedContent(box, o, k);
    return;
  }
  matchForegroundToBackground();
  auto weak = std::weak_ptr<CRCropView>(SharedFromThis(this));
  dispatch_after(dispatch_time_after(kCenteringDelay), dispatch_get_main_queue(),
                 [weak, box, o, k] {
                   auto self = weak.lock();
                   if (!self) return;
                   UIView::animateWithDuration(
                       0.5, 0, 1.0, 1.0, UIViewAnimationOptionBeginFromCurrentState,
                       [weak, box, o, k] {
                         if (auto s = weak.lock()) s->moveCroppedContent(box, o, k);
                       },
                       nullptr);
                 });
}

void CRCropView::moveCroppedContent(const CGRect& box, CGPoint offset, double k) {
  disableForegroundMatching_ = true;
  if (k < 1 - kEps || k > 1 + kEps) {
    scrollView_->setZoomScale(scrollView_->zoomScale() * k);
    scrollView_->setZoomScale(std::min(scrollView_->maximumZoomScale(), scrollView_->zoomScale()));
  }
  if (scrollView_->zoomScale() < scrollView_->maximumZoomScale() - kEps) {
    CGSize content = scrollView_->contentSize();
    offset.x = std::min(offset.x, content.width - CGRectGetMaxX(box));
    offset.y = std::min(offset.y, content.height - CGRectGetMaxY(box));
    scrollView_->setContentOffset(offset);
  }
  setCropBoxFrame(box);
  disableForegroundMatching_ = false;
  matchForegroundToBackground();
}

// --- Crop rectangle ---

CGRect CRCropView::imageCropFrame() const {
  CGSize S = imageSize();
  CGSize Z = scrollView_->contentSize();
  CGRect C = cropBoxFrame_;
  CGPoint o = scrollView_->contentOffset();
  UIEdgeInsets i = scrollView_->contentInset();
  double sx = S.width / Z.width, sy = S.height / Z.height, s = std::min(sx, sy);
  double width = std::min(S.width, CRCeil(C.size.width * s));
  double height = CRFloor(C.size.width) == CRFloor(C.size.height) ? width
                                                                   : CRCeil(C.size.height * s);
  height = std::min(S.height, height);
  double x = std::max(0.0, CRFloor(sx * (i.left + CRFloor(o.x))));
  double y = std::max(0.0, CRFloor(sy * (i.top + CRFloor(o.y))));
  return CGRectMake(x, y, width, height);
}

void CRCropView::setImageCropFrame(const CGRect& frame) {
  if (!initialSetupPerformed_) {
    restoreImageCropFrame_ = frame;
    return;
  }
  updateToImageCropFrame(frame);
}

void CRCropView::updateToImageCropFrame(const CGRect& frame) {
  if (frame.size.width < kEps || frame.size.height < kEps) return;
  double z = scrollView_->minimumZoomScale();
  CGRect r = CGRectMake(frame.origin.x * z, frame.origin.y * z, frame.size.width * z,
                        frame.size.height * z);
  CGRect B = contentBounds();
  double k = std::min(B.size.width / r.size.width, B.size.height / r.size.height);
  scrollView_->setZoomScale(z * k);
  CGSize content = scrollView_->contentSize();
  scrollView_->setContentSize(CGSizeMake(CRFloor(content.width), CRFloor(content.height)));
  CGSize size = CGSizeMake(CRFloor(r.size.width * k), CRFloor(r.size.height * k));
  setCropBoxFrame(CGRect{CGPointMake(CRFloor(CGRectGetMidX(B) - size.width * 0.5),
                                     CRFloor(CGRectGetMidY(B) - size.height * 0.5)),
                         size});
  UIEdgeInsets i = scrollView_->contentInset();
  scrollView_->setContentOffset(CGPointMake(CRCeil(r.origin.x * k - i.left),
                                            CRCeil(r.origin.y * k - i.top)));
}

// --- Aspect ratio ---

void CRCropView::setAspectRatio(CGSize ratio, bool animated) {
  aspectRatio_ = ratio;
  if (!initialSetupPerformed_) return;
  if (!animated) {
    applyAspectRatio(ratio);
    return;
  }
  auto self = SharedFromThis(this);
  UIView::animateWithDuration(0.5, 0, 1.0, 0.7, UIViewAnimationOptionBeginFromCurrentState,
                              [self, ratio] { self->applyAspectRatio(ratio); }, nullptr);
}

void CRCropView::applyAspectRatio(CGSize ratio) {
  bool zoomOut = false;
  if (ratio.width < kEps && ratio.height < kEps) {
    ratio = imageSize();
    zoomOut = true;
  }
  CGRect B = contentBounds();
  double x = cropBoxFrame_.origin.x, y = cropBoxFrame_.origin.y;
  double w = cropBoxFrame_.size.width, h = cropBoxFrame_.size.height;
  CGPoint o = scrollView_->contentOffset();

  bool keepHeight;
  if (int64_t(ratio.width) == 1 && int64_t(ratio.height) == 1) {
    CGSize own = image_->size();
    keepHeight = own.width > own.height;
  } else {
    keepHeight = ratio.width < ratio.height;
  }
  if (keepHeight) {
    double W = CRFloor(ratio.width / ratio.height * h);
    double d = w - W;
    if (d < kEps) x = B.origin.x;
    o.x += d * 0.5;
    if (W > B.size.width) {
      double nh = h * (B.size.width / W);
      o.y += (h - nh) * 0.5;
      h = nh;
      W = B.size.width;
      zoomOut = true;
    }
    w = W;
  } else {
    double H = CRFloor(ratio.height / ratio.width * w);
    double d = h - H;
    if (d < kEps) y = B.origin.y;
    o.y += d * 0.5;
    if (H > B.size.height) {
      double nw = w * (B.size.height / H);
      o.x += (w - nw) * 0.5;
      w = nw;
      H = B.size.height;
      zoomOut = true;
    }
    h = H;
  }
  cropBoxLastEditedSize_ = CGSizeMake(w, h);
  cropBoxLastEditedAngle_ = angle_;

  scrollView_->setContentOffset(o);
  setCropBoxFrame(CGRectMake(x, y, w, h));
  if (zoomOut) scrollView_->setZoomScale(scrollView_->minimumZoomScale());
  moveCroppedContentToCenterAnimated(false);
  checkForCanReset();
}

// --- Size changes of the canvas ---

void CRCropView::prepareforRotation() {
  rotationContentOffset_ = scrollView_->contentOffset();
  rotationContentSize_ = scrollView_->contentSize();
  rotationBoundFrame_ = contentBounds();
}

void CRCropView::performRelayoutForRotation() {
  CGRect C = cropBoxFrame_;
  CGRect B = contentBounds();
  double k = std::min(B.size.width / C.size.width, B.size.height / C.size.height);
  scrollView_->setMinimumZoomScale(scrollView_->minimumZoomScale() * k);
  scrollView_->setZoomScale(k * scrollView_->zoomScale());

  CGSize size = CGSizeMake(CRFloor(C.size.width * k), CRFloor(C.size.height * k));
  setCropBoxFrame(CGRect{CGPointMake(CRFloor(B.origin.x + (B.size.width - size.width) * 0.5),
                                     CRFloor(B.origin.y + (B.size.height - size.height) * 0.5)),
                         size});
  captureStateForImageRotation();

  CGRect R = rotationBoundFrame_;
  CGPoint q = CGPointMake((CGRectGetMidX(R) + rotationContentOffset_.x) / rotationContentSize_.width,
                          (CGRectGetMidY(R) + rotationContentOffset_.y) / rotationContentSize_.height);
  CGSize content = scrollView_->contentSize();
  UIEdgeInsets inset = scrollView_->contentInset();
  CGRect bounds = this->bounds();
  CGPoint offset = CGPointMake(CRFloor(q.x * content.width - CGRectGetMidX(B)),
                               CRFloor(q.y * content.height - CGRectGetMidY(B)));
  offset.x = std::clamp(offset.x, -inset.left,
                        std::max(-inset.left, bounds.size.width - inset.right + content.width));
  offset.y = std::clamp(offset.y, -inset.top,
                        std::max(-inset.top, bounds.size.height - inset.bottom + content.height));
  scrollView_->setContentOffset(offset);
  matchForegroundToBackground();
}

// --- Scroll view delegate ---

std::shared_ptr<UIView> CRCropView::viewForZoomingInScrollView(UIScrollView&) {
  return backgroundContainer_;
}

void CRCropView::scrollViewDidScroll(UIScrollView&) { matchForegroundToBackground(); }

void CRCropView::scrollViewWillBeginDragging(UIScrollView&) {
  startEditing();
  setCanBeReset(true);
}

void CRCropView::scrollViewWillBeginZooming(UIScrollView&, UIView*) {
  startEditing();
  setCanBeReset(true);
}

void CRCropView::scrollViewDidEndDecelerating(UIScrollView&) {
  startResetTimer();
  checkForCanReset();
}

void CRCropView::scrollViewDidEndZooming(UIScrollView&, UIView*, double) {
  startResetTimer();
  checkForCanReset();
}

void CRCropView::scrollViewDidZoom(UIScrollView& scrollView) {
  if (scrollView.isTracking()) {
    cropBoxLastEditedZoomScale_ = scrollView.zoomScale();
    cropBoxLastEditedMinZoomScale_ = scrollView.minimumZoomScale();
  }
  matchForegroundToBackground();
}

void CRCropView::scrollViewDidEndDragging(UIScrollView&, bool willDecelerate) {
  if (!willDecelerate) startResetTimer();
}
