#include "crop/CRCropViewController.h"

#include <algorithm>
#include <cmath>

#include "crop/internal/CRCropGeometry.h"
#include "crop/internal/CRCropResources.h"
#include "crop/internal/CRCropSharing.h"
#include "crop/internal/CRCropToolbar.h"
#include "crop/internal/CRCropViewControllerTransitioning.h"
#include "crop/UIImageCropRotate.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/uikit/UIActivityViewController.h"
#include "platform/uikit/UIAlertController.h"
#include "platform/uikit/UIDevice.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UINavigationController.h"

namespace {

using Op = CRCropViewControllerDelegate::Operation;
constexpr double kThickness = CRCropViewController::kToolbarThickness;
constexpr double kFloatEpsilon = 1.1920928955078125e-07;

void layOutTree(CALayer& layer) {
  layer.removeAllAnimations();
  for (const auto& sub : layer.sublayers()) layOutTree(*sub);
}

}  // namespace

// --- Creation ---

std::shared_ptr<CRCropViewController> CRCropViewController::controllerWithImage(
    std::shared_ptr<UIImage> image) {
  return controllerWithCroppingStyle(CRCropViewCroppingStyleRectangular, std::move(image));
}

std::shared_ptr<CRCropViewController> CRCropViewController::controllerWithCroppingStyle(
    CRCropViewCroppingStyle style, std::shared_ptr<UIImage> image) {
  return std::make_shared<CRCropViewController>(style, std::move(image));
}

CRCropViewController::CRCropViewController(CRCropViewCroppingStyle style,
                                           std::shared_ptr<UIImage> image)
    : image_(std::move(image)), croppingStyle_(style) {
  CRRequireCroppableImage(image_.get());
  setModalTransitionStyle(UIModalTransitionStyle::CrossDissolve);
  setModalPresentationStyle(UIModalPresentationStyle::FullScreen);
  transitionController_ = std::make_shared<CRCropViewControllerTransitioning>();
}

CRCropViewController::~CRCropViewController() = default;

const std::shared_ptr<CRCropView>& CRCropViewController::cropView() {
  if (!cropView_) {
    cropView_ = CRCropView::viewWithCroppingStyle(croppingStyle_, image_);
    cropView_->setDelegate(std::shared_ptr<CRCropViewDelegate>(me(), this));
    cropView_->setAutoresizingMask(UIViewAutoresizingFlexibleWidth |
                                   UIViewAutoresizingFlexibleHeight);
    view()->addSubview(cropView_);
  }
  return cropView_;
}

const std::shared_ptr<CRCropToolbar>& CRCropViewController::toolbar() {
  if (!toolbar_) {
    toolbar_ = CRCropToolbar::toolbarWithFrame(CGRectZero);
    view()->addSubview(toolbar_);
  }
  return toolbar_;
}

bool CRCropViewController::delegateResponds(Op op) const {
  auto d = delegate();
  return d && d->respondsTo(op);
}

// --- Loading and layout ---

void CRCropViewController::viewDidLoad() {
  UIViewController::viewDidLoad();
  setTransitioningDelegate(std::shared_ptr<UIViewControllerTransitioningDelegate>(me(), this));
  view()->setBackgroundColor(cropView()->backgroundColor());
  bool vertical = verticalLayout();
  cropView()->setFrame(frameForCropViewWithVerticalLayout(vertical));
  toolbar()->setFrame(frameForToolbarWithVerticalLayout(vertical));
  if (croppingStyle_ == CRCropViewCroppingStyleCircular) toolbar()->setClampButtonHidden(true);
  installToolbarCallbacks();
}

void CRCropViewController::installToolbarCallbacks() {
  std::weak_ptr<CRCropViewController> weak = me();
  auto bind = [weak](void (CRCropViewController::*action)()) {
    return [weak, action] {
      if (auto self = weak.lock()) ((*self).*action)();
    };
  };
  toolbar_->doneButtonTapped = bind(&CRCropViewController::doneButtonTapped);
  toolbar_->cancelButtonTapped = bind(&CRCropViewController::cancelButtonTapped);
  toolbar_->resetButtonTapped = bind(&CRCropViewController::resetCropViewLayout);
  toolbar_->clampButtonTapped = bind(&CRCropViewController::showAspectRatioDialog);
  toolbar_->rotateCounterclockwiseButtonTapped =
      bind(&CRCropViewController::rotateCropViewCounterclockwise);
  toolbar_->rotateClockwiseButtonTapped = bind(&CRCropViewController::rotateCropViewClockwise);
}

bool CRCropViewController::verticalLayout() {
  CGSize size = view()->bounds().size;
  return size.width < size.height;
}

bool CRCropViewController::statusBarHidden() const {
  if (auto nav = navigationController()) return nav->prefersStatusBarHidden();
  return true;
}

double CRCropViewController::statusBarHeight() {
  UIEdgeInsets safe = view()->safeAreaInsets();
  bool notchedPhone = UIDevice::currentDevice()->userInterfaceIdiom() == UIUserInterfaceIdiomPhone &&
                      safe.bottom > kFloatEpsilon;
  return (notchedPhone || !statusBarHidden()) ? safe.top : 0;
}

UIEdgeInsets CRCropViewController::statusBarSafeInsets() {
  UIEdgeInsets insets = view()->safeAreaInsets();
  insets.top = statusBarHeight();
  return insets;
}

bool CRCropViewController::overrideStatusBar() const {
  if (navigationController()) return false;
  auto presenting = presentingViewController();
  return !(presenting && presenting->prefersStatusBarHidden());
}

bool CRCropViewController::prefersStatusBarHidden() const {
  if (!overrideStatusBar()) return statusBarHidden();
  if (inTransition_) return false;
  return isViewLoaded() && const_cast<CRCropViewController*>(this)->view()->superview() != nullptr;
}

UIStatusBarStyle CRCropViewController::preferredStatusBarStyle() const {
  return navigationController() ? UIStatusBarStyle::LightContent : UIStatusBarStyle::DarkContent;
}

CGRect CRCropViewController::frameForToolbarWithVerticalLayout(bool vertical) {
  UIEdgeInsets insets = statusBarSafeInsets();
  CGRect bounds = view()->bounds();
  if (!vertical) return CGRectMake(insets.left, 0, kThickness, view()->frame().size.height);
  if (toolbarPosition == CRCropViewControllerToolbarPositionTop) {
    return CGRectMake(0, insets.top, bounds.size.width, kThickness);
  }
  return CGRectMake(0, bounds.size.height - (insets.bottom + kThickness), bounds.size.width,
                    kThickness);
}

CGRect CRCropViewController::frameForCropViewWithVerticalLayout(bool vertical) {
  UIEdgeInsets insets = statusBarSafeInsets();
  auto parent = parentViewController();
  CGRect bounds = parent ? parent->view()->bounds() : view()->bounds();
  if (!vertical) {
    double x = insets.left + kThickness;
    return CGRectMake(x, 0, bounds.size.width - x, bounds.size.height);
  }
  if (toolbarPosition == CRCropViewControllerToolbarPositionTop) {
    double y = insets.top + kThickness;
    return CGRectMake(0, y, bounds.size.width, bounds.size.height - y);
  }
  return CGRectMake(0, 0, bounds.size.width, bounds.size.height - (insets.bottom + kThickness));
}

CGRect CRCropViewController::frameForTitleLabelWithSize(CGSize size, bool vertical) {
  UIEdgeInsets safe = view()->safeAreaInsets();
  double width = view()->bounds().size.width;
  double margin = 0;
  if (!vertical) {
    margin = safe.left + kTitleMargin;
    width -= margin;
  }
  double x = std::ceil(static_cast<float>((width - size.width) * 0.5)) + margin;
  return CGRectMake(x, safe.top + kTitleMargin, size.width, size.height);
}

void CRCropViewController::adjustCropViewInsets() {
  UIEdgeInsets insets = statusBarSafeInsets();
  if (titleLabel_ && !titleLabel_->text().empty()) {
    CGRect frame = titleLabel_->frame();
    frame.size = titleLabel_->sizeThatFits(cropView()->frame().size);
    titleLabel_->setFrame(frame);
    cropView()->setCropRegionInsets(UIEdgeInsetsMake(
        statusBarHeight() + kTitleMargin + frame.size.height, 0, insets.bottom, 0));
    return;
  }
  if (verticalLayout() && toolbarPosition == CRCropViewControllerToolbarPositionBottom) {
    cropView()->setCropRegionInsets(UIEdgeInsetsMake(insets.top, 0, 0, 0));
  } else {
    cropView()->setCropRegionInsets(UIEdgeInsetsMake(0, 0, insets.bottom, 0));
  }
}

void CRCropViewController::adjustToolbarInsets() {
  UIEdgeInsets safe = view()->safeAreaInsets();
  UIEdgeInsets outsets;
  if (verticalLayout()) {
    if (toolbarPosition == CRCropViewControllerToolbarPositionTop) outsets.top = safe.top;
    else outsets.bottom = safe.bottom;
  } else {
    outsets.left = safe.left;
  }
  toolbar()->setBackgroundViewOutsets(outsets);
  toolbar()->setStatusBarHeightInset(statusBarHeight());
  toolbar()->setNeedsLayout();
}

void CRCropViewController::viewSafeAreaInsetsDidChange() {
  adjustCropViewInsets();
  adjustToolbarInsets();
}

void CRCropViewController::viewDidLayoutSubviews() {
  UIViewController::viewDidLayoutSubviews();
  bool vertical = verticalLayout();
  cropView()->setFrame(frameForCropViewWithVerticalLayout(vertical));
  adjustCropViewInsets();
  cropView()->moveCroppedContentToCenterAnimated(false);
  if (!firstTime_) {
    cropView()->performInitialSetup();
    firstTime_ = true;
  }
  if (!title().empty() && titleLabel_) {
    titleLabel_->setFrame(frameForTitleLabelWithSize(titleLabel_->frame().size, vertical));
    cropView()->moveCroppedContentToCenterAnimated(false);
  }
  UIView::performWithoutAnimation([this, vertical] {
    toolbar()->setFrame(frameForToolbarWithVerticalLayout(vertical));
    adjustToolbarInsets();
    toolbar()->layoutIfNeeded();
  });
}

void CRCropViewController::setTitle(std::string title) {
  UIViewController::setTitle(title);
  if (title.empty()) {
    if (titleLabel_) titleLabel_->removeFromSuperview();
    cropView()->setCropRegionInsets(UIEdgeInsetsZero);
    titleLabel_.reset();
    return;
  }
  if (!titleLabel_) {
    titleLabel_ = std::make_shared<UILabel>(CGRectZero);
    // The headline text style: 17 points, semibold.
    titleLabel_->setFont(UIFont::systemFontOfSize(17, UIFontWeightSemibold));
    titleLabel_->setBackgroundColor(UIColor::clearColor());
    titleLabel_->setTextColor(UIColor::whiteColor());
    titleLabel_->setNumberOfLines(1);
    titleLabel_->setClipsToBounds(true);
    titleLabel_->setTextAlignment(NSTextAlignmentCenter);
    view()->insertSubviewAboveSubview(titleLabel_, cropView().get());
  }
  titleLabel_->setText(title);
  titleLabel_->sizeToFit();
  titleLabel_->setFrame(frameForTitleLabelWithSize(titleLabel_->frame().size, verticalLayout()));
}

// --- Appearing ---

void CRCropViewController::viewWillAppear(bool animated) {
  UIViewController::viewWillAppear(animated);
  if (animated) {
    inTransition_ = true;
    setNeedsStatusBarAppearanceUpdate();
  }
  if (auto nav = navigationController()) {
    if (hidesNavigationBar) {
      navigationBarHidden_ = nav->isNavigationBarHidden();
      toolbarHidden_ = nav->isToolbarHidden();
      nav->setNavigationBarHidden(true, animated);
      nav->setToolbarHidden(true, animated);
    }
    setModalTransitionStyle(UIModalTransitionStyle::CoverVertical);
  } else {
    cropView()->setBackgroundImageViewHidden(true, false);
    if (titleLabel_) titleLabel_->setAlpha(animated ? 0 : 1);
  }
  if (aspectRatioPreset_ != CRCropViewControllerAspectRatioPresetOriginal) {
    setAspectRatioPreset(aspectRatioPreset_, false);
  }
}

void CRCropViewController::viewDidAppear(bool animated) {
  UIViewController::viewDidAppear(animated);
  inTransition_ = false;
  cropView()->setSimpleRenderMode(false);
  auto self = me();
  auto update = [self] {
    self->setNeedsStatusBarAppearanceUpdate();
    if (self->titleLabel_) self->titleLabel_->setAlpha(1);
  };
  if (animated) UIView::animateWithDuration(0.3, update);
  else update();
  if (cropView()->gridOverlayHidden()) cropView()->setGridOverlayHidden(false, animated);
  if (!navigationController()) cropView()->setBackgroundImageViewHidden(false, animated);
}

void CRCropViewController::viewWillDisappear(bool animated) {
  UIViewController::viewWillDisappear(animated);
  inTransition_ = true;
  auto self = me();
  UIView::animateWithDuration(0.5, [self] { self->setNeedsStatusBarAppearanceUpdate(); });
  if (auto nav = navigationController(); nav && hidesNavigationBar) {
    nav->setNavigationBarHidden(navigationBarHidden_, animated);
    nav->setToolbarHidden(toolbarHidden_, animated);
  }
}

void CRCropViewController::viewDidDisappear(bool animated) {
  UIViewController::viewDidDisappear(animated);
  inTransition_ = false;
  setNeedsStatusBarAppearanceUpdate();
}

// --- Size changes ---

void CRCropViewController::viewWillTransitionToSize(
    const CGSize& size, UIViewControllerTransitionCoordinator& coordinator) {
  UIViewController::viewWillTransitionToSize(size, coordinator);
  if (size == view()->bounds().size) return;
  bool landscape = view()->bounds().size.width < size.width;
  double duration = coordinator.transitionDuration();
  rotationWillBegin(landscape, duration);
  std::weak_ptr<CRCropViewController> weak = me();
  coordinator.animateAlongsideTransition(
      [weak, landscape, duration](UIViewControllerTransitionCoordinator&) {
        if (auto self = weak.lock()) self->rotationAnimates(landscape, duration);
      },
      [weak](UIViewControllerTransitionCoordinator&) {
        if (auto self = weak.lock()) self->rotationDidEnd();
      });
}

void CRCropViewController::rotationWillBegin(bool landscape, double) {
  toolbarSnapshotView_ = toolbar()->snapshotViewAfterScreenUpdates(false);
  toolbarSnapshotView_->setFrame(toolbar()->frame());
  toolbarSnapshotView_->setAutoresizingMask(
      landscape ? (UIViewAutoresizingFlexibleWidth | UIViewAutoresizingFlexibleTopMargin)
                : (UIViewAutoresizingFlexibleHeight | UIViewAutoresizingFlexibleRightMargin));
  view()->addSubview(toolbarSnapshotView_);
  CGRect frame = frameForToolbarWithVerticalLayout(!landscape);
  if (landscape) frame.origin.x = -frame.size.width;
  else frame.origin.y = view()->bounds().size.height;
  toolbar()->setFrame(frame);
  toolbar()->layoutIfNeeded();
  toolbar()->setAlpha(0);
  cropView()->prepareforRotation();
  cropView()->setFrame(frameForCropViewWithVerticalLayout(landscape));
  cropView()->setSimpleRenderMode(true);
  cropView()->setInternalLayoutDisabled(true);
}

void CRCropViewController::rotationAnimates(bool landscape, double duration) {
  toolbar()->setFrame(frameForToolbarWithVerticalLayout(!landscape));
  layOutTree(*toolbar()->layer());
  auto self = me();
  UIView::animateWithDuration(duration, 0, UIViewAnimationOptionBeginFromCurrentState,
                              [self, landscape] {
                                self->cropView()->setFrame(
                                    self->frameForCropViewWithVerticalLayout(!landscape));
                                self->toolbar()->setFrame(
                                    self->frameForToolbarWithVerticalLayout(!landscape));
                                self->cropView()->performRelayoutForRotation();
                              },
                              nullptr);
  if (toolbarSnapshotView_) toolbarSnapshotView_->setAlpha(0);
  toolbar()->setAlpha(1);
}

void CRCropViewController::rotationDidEnd() {
  if (toolbarSnapshotView_) toolbarSnapshotView_->removeFromSuperview();
  toolbarSnapshotView_.reset();
  cropView()->setSimpleRenderMode(false, true);
  cropView()->setInternalLayoutDisabled(false);
}

// --- Reset and rotate ---

void CRCropViewController::resetCropViewLayout() {
  bool animated = cropView()->angle() == 0;
  if (cropView()->resetAspectRatioEnabled()) setAspectRatioLockEnabled(false);
  cropView()->resetLayoutToDefaultAnimated(animated);
}

void CRCropViewController::rotateCropViewClockwise() {
  cropView()->rotateImageNinetyDegreesAnimated(true, true);
}

void CRCropViewController::rotateCropViewCounterclockwise() {
  cropView()->rotateImageNinetyDegreesAnimated(true, false);
}

void CRCropViewController::cropViewDidBecomeResettable(CRCropView&) {
  toolbar()->setResetButtonEnabled(true);
}

void CRCropViewController::cropViewDidBecomeNonResettable(CRCropView&) {
  toolbar()->setResetButtonEnabled(false);
}

// --- Done ---

void CRCropViewController::doneButtonTapped() {
  if (delivering_) return;
  CGRect cropFrame = cropView()->imageCropFrame();
  int64_t angle = cropView()->angle();
  if (showActivitySheetOnDone) {
    presentShareSheet(cropFrame, angle);
    return;
  }
  // Both Done buttons stay off while the result is on its way, so a second
  // tap cannot deliver it twice.
  delivering_ = true;
  toolbar()->doneTextButton()->setEnabled(false);
  toolbar()->doneIconButton()->setEnabled(false);

  bool handled = false;
  if (delegateResponds(Op::DidCropImageToRect)) {
    delegate()->cropViewControllerDidCropImageToRect(*this, cropFrame, angle);
    handled = true;
  }
  if (onDidCropImageToRect) {
    onDidCropImageToRect(cropFrame, angle);
    handled = true;
  }
  bool circularDelegate = delegateResponds(Op::DidCropToCircularImage);
  bool rectDelegate = delegateResponds(Op::DidCropToImage);
  bool circularBlock = static_cast<bool>(onDidCropToCircleImage);
  bool rectBlock = static_cast<bool>(onDidCropToRect);

  if (croppingStyle_ == CRCropViewCroppingStyleCircular && (circularDelegate || circularBlock)) {
    deliverResult(croppedImageWithFrame(*image_, cropFrame, angle, true), cropFrame, angle, true);
    return;
  }
  if (!rectDelegate && !rectBlock) {
    if (!handled) {
      if (auto presenting = presentingViewController()) {
        presenting->dismissViewControllerAnimated(true);
      }
    }
    return;
  }
  std::shared_ptr<UIImage> result;
  if (angle == 0 && cropFrame == CGRect{CGPointZero, image_->size()}) {
    result = image_;
  } else {
    result = croppedImageWithFrame(*image_, cropFrame, angle, false);
  }
  deliverResult(result, cropFrame, angle, false);
}

void CRCropViewController::deliverResult(const std::shared_ptr<UIImage>& image, CGRect cropFrame,
                                         int64_t angle, bool circular) {
  auto self = me();
  dispatch_after(dispatch_time_after(kResultDelay), dispatch_get_main_queue(),
                 [self, image, cropFrame, angle, circular] {
                   auto d = self->delegate();
                   if (circular) {
                     if (d && d->respondsTo(Op::DidCropToCircularImage)) {
                       d->cropViewControllerDidCropToCircularImage(*self, image, cropFrame, angle);
                     }
                     if (self->onDidCropToCircleImage) {
                       self->onDidCropToCircleImage(image, cropFrame, angle);
                     }
                   } else {
                     if (d && d->respondsTo(Op::DidCropToImage)) {
                       d->cropViewControllerDidCropToImage(*self, image, cropFrame, angle);
                     }
                     if (self->onDidCropToRect) self->onDidCropToRect(image, cropFrame, angle);
                   }
                   self->delivering_ = false;
                 });
}

void CRCropViewController::presentShareSheet(CGRect cropFrame, int64_t angle) {
  auto provider = std::make_shared<CRActivityCroppedImageProvider>(
      image_, cropFrame, angle, croppingStyle_ == CRCropViewCroppingStyleCircular);
  auto attributes = std::make_shared<CRCroppedImageAttributes>(cropFrame, angle, image_->size());
  ValueList items{Value(std::static_pointer_cast<NSObject>(provider)),
                  Value(std::static_pointer_cast<NSObject>(attributes))};
  items.insert(items.end(), activityItems.begin(), activityItems.end());
  auto sheet = std::make_shared<UIActivityViewController>(items, applicationActivities);
  sheet->setExcludedActivityTypes(excludedActivityTypes);
  sheet->setModalPresentationStyle(UIModalPresentationStyle::Popover);
  if (auto popover = sheet->popoverPresentationController()) {
    popover->setSourceView(toolbar());
    popover->setSourceRect(toolbar()->doneButtonFrame());
  }
  std::weak_ptr<UIActivityViewController> weakSheet = sheet;
  auto self = me();
  sheet->setCompletionWithItemsHandler(
      [self, weakSheet](const std::optional<UIActivityType>&, bool completed, const ValueList&,
                        const NSErrorPtr&) {
        if (completed) self->finishSharing(weakSheet);
      });
  presentViewController(sheet, true);
}

void CRCropViewController::finishSharing(const std::weak_ptr<UIActivityViewController>& sheet) {
  bool blockSet = static_cast<bool>(onDidFinishCancelled);
  if (blockSet) onDidFinishCancelled(false);
  if (delegateResponds(Op::DidFinishCancelled)) {
    delegate()->cropViewControllerDidFinishCancelled(*this, false);
    return;
  }
  if (blockSet) return;
  if (leaveScreen()) return;
  if (auto s = sheet.lock()) s->setCompletionWithItemsHandler(nullptr);
}

bool CRCropViewController::leaveScreen() {
  auto nav = navigationController();
  if (nav && nav->viewControllers().size() >= 2) {
    nav->popViewControllerAnimated(true);
    return true;
  }
  if (auto presenting = presentingViewController()) presenting->dismissViewControllerAnimated(true);
  return false;
}

// --- Cancel ---

void CRCropViewController::cancelButtonTapped() {
  if (!showCancelConfirmationDialog) {
    dismissCropViewController();
    return;
  }
  auto alert = UIAlertController::alertControllerWithTitle(std::nullopt, std::nullopt,
                                                           UIAlertControllerStyle::ActionSheet);
  if (auto popover = alert->popoverPresentationController()) {
    popover->setSourceView(toolbar()->visibleCancelButton());
  }
  std::weak_ptr<CRCropViewController> weak = me();
  alert->addAction(UIAlertAction::actionWithTitle(
      CRCropLocalizedString("Delete Changes"), UIAlertActionStyle::Destructive,
      [weak](UIAlertAction&) {
        if (auto self = weak.lock()) self->dismissCropViewController();
      }));
  alert->addAction(UIAlertAction::actionWithTitle(CRCropLocalizedString("Cancel"),
                                                  UIAlertActionStyle::Cancel, nullptr));
  presentViewController(alert, true);
}

void CRCropViewController::dismissCropViewController() {
  bool told = false;
  if (delegateResponds(Op::DidFinishCancelled)) {
    delegate()->cropViewControllerDidFinishCancelled(*this, true);
    told = true;
  }
  if (onDidFinishCancelled) {
    onDidFinishCancelled(true);
    return;
  }
  if (told) return;
  leaveScreen();
}

// --- Forwarded state ---

int64_t CRCropViewController::angle() { return cropView()->angle(); }
void CRCropViewController::setAngle(int64_t angle) { cropView()->setAngle(angle); }
CGRect CRCropViewController::imageCropFrame() { return cropView()->imageCropFrame(); }
void CRCropViewController::setImageCropFrame(const CGRect& f) { cropView()->setImageCropFrame(f); }
double CRCropViewController::minimumAspectRatio() { return cropView()->minimumAspectRatio(); }
void CRCropViewController::setMinimumAspectRatio(double r) { cropView()->setMinimumAspectRatio(r); }

std::optional<std::string> CRCropViewController::doneButtonTitle() {
  return toolbar()->doneTextButtonTitle();
}
void CRCropViewController::setDoneButtonTitle(std::optional<std::string> t) {
  toolbar()->setDoneTextButtonTitle(std::move(t));
}
std::optional<std::string> CRCropViewController::cancelButtonTitle() {
  return toolbar()->cancelTextButtonTitle();
}
void CRCropViewController::setCancelButtonTitle(std::optional<std::string> t) {
  toolbar()->setCancelTextButtonTitle(std::move(t));
}
UIColorPtr CRCropViewController::doneButtonColor() { return toolbar()->doneButtonColor(); }
void CRCropViewController::setDoneButtonColor(UIColorPtr c) { toolbar()->setDoneButtonColor(c); }
UIColorPtr CRCropViewController::cancelButtonColor() { return toolbar()->cancelButtonColor(); }
void CRCropViewController::setCancelButtonColor(UIColorPtr c) { toolbar()->setCancelButtonColor(c); }
bool CRCropViewController::showOnlyIcons() { return toolbar()->showOnlyIcons(); }
void CRCropViewController::setShowOnlyIcons(bool on) { toolbar()->setShowOnlyIcons(on); }
bool CRCropViewController::rotateButtonsHidden() {
  return toolbar()->rotateCounterclockwiseButtonHidden() && toolbar()->rotateClockwiseButtonHidden();
}
void CRCropViewController::setRotateButtonsHidden(bool hidden) {
  toolbar()->setRotateCounterclockwiseButtonHidden(hidden);
  toolbar()->setRotateClockwiseButtonHidden(hidden);
}
bool CRCropViewController::rotateClockwiseButtonHidden() {
  return toolbar()->rotateClockwiseButtonHidden();
}
void CRCropViewController::setRotateClockwiseButtonHidden(bool hidden) {
  toolbar()->setRotateClockwiseButtonHidden(hidden);
}
bool CRCropViewController::resetButtonHidden() { return toolbar()->resetButtonHidden(); }
void CRCropViewController::setResetButtonHidden(bool h) { toolbar()->setResetButtonHidden(h); }
bool CRCropViewController::aspectRatioPickerButtonHidden() { return toolbar()->clampButtonHidden(); }
void CRCropViewController::setAspectRatioPickerButtonHidden(bool h) {
  toolbar()->setClampButtonHidden(h);
}
bool CRCropViewController::doneButtonHidden() { return toolbar()->doneButtonHidden(); }
void CRCropViewController::setDoneButtonHidden(bool h) { toolbar()->setDoneButtonHidden(h); }
bool CRCropViewController::cancelButtonHidden() { return toolbar()->cancelButtonHidden(); }
void CRCropViewController::setCancelButtonHidden(bool h) { toolbar()->setCancelButtonHidden(h); }
bool CRCropViewController::reverseContentLayout() { return toolbar()->reverseContentLayout(); }
void CRCropViewController::setReverseContentLayout(bool on) {
  toolbar()->setReverseContentLayout(on);
}
