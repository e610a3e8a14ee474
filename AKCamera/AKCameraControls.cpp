#include "AKCamera/internal/AKCameraControls.h"

#include <algorithm>

#include "AKCamera/AKCamera.h"
#include "AKCamera/internal/AKCameraCapture.h"
#include "platform/foundation/NSUserDefaults.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/uikit/NSLayoutConstraint.h"

namespace {

constexpr double kButtonMargin = 15;
constexpr double kRotationDuration = 0.2;
constexpr double kCaptureButtonSize = 70;

CGRect WithOrigin(const CGRect& frame, double x, double y) {
  return CGRectMake(x, y, frame.size.width, frame.size.height);
}

}  // namespace

// --- Capture button ---

bool AKCaptureButton::beginTrackingWithTouch(UITouch&, UIEvent*) {
  setBackgroundColor(UIColor::whiteColor());
  return true;
}

bool AKCaptureButton::continueTrackingWithTouch(UITouch&, UIEvent*) {
  setBackgroundColor(UIColor::whiteColor());
  return true;
}

void AKCaptureButton::endTrackingWithTouch(UITouch*, UIEvent*) { setBackgroundColor(nullptr); }

void AKCaptureButton::cancelTrackingWithEvent(UIEvent*) { setBackgroundColor(nullptr); }

// --- Controls ---

AKCameraControls::AKCameraControls(AKCamera& camera, std::shared_ptr<AKCameraResource> resource)
    : camera_(camera), cameraResource_(std::move(resource)) {}

void AKCameraControls::setupUI(bool showsSwitchButton) {
  const UIViewPtr root = camera_.view();
  root->addSubview(contentView_);
  contentView_->setBackgroundColor(UIColor::clearColor());
  contentView_->setTranslatesAutoresizingMaskIntoConstraints(false);
  NSLayoutConstraint::activateConstraints({
      contentView_->leadingAnchor().constraintEqualToAnchor(root->leadingAnchor()),
      contentView_->trailingAnchor().constraintEqualToAnchor(root->trailingAnchor()),
      contentView_->bottomAnchor().constraintEqualToAnchor(root->bottomAnchor()),
      contentView_->topAnchor().constraintEqualToAnchor(root->safeAreaLayoutGuide()->topAnchor),
  });
  root->layoutIfNeeded();
  setupBottomBar();
  setupSwitchButton(showsSwitchButton);
  setupCaptureButton();
  setupCancelButton();
  const std::shared_ptr<UIButton>& flash = flashButton();
  flash->setFrame(WithOrigin(flash->frame(), 5, 15));
  contentView_->addSubview(flash);
}

void AKCameraControls::setupBottomBar() {
  const CGRect content = contentView_->bounds();
  bottomView_->setFrame(CGRectMake(0, 0, content.size.width, AKCamera::kBottomBarHeight));
  bottomView_->setAutoresizingMask(UIViewAutoresizingFlexibleWidth);
  bottomViewContainer_->addSubview(bottomView_);
  bottomViewContainer_->setBackgroundColor(UIColor::colorWithWhite(0, 0.4));
  layoutBottomContainer();
  bottomViewContainer_->setAutoresizingMask(UIViewAutoresizingFlexibleWidth |
                                            UIViewAutoresizingFlexibleTopMargin);
  contentView_->addSubview(bottomViewContainer_);
}

void AKCameraControls::setupSwitchButton(bool shows) {
  cameraSwitchButton_ = std::make_shared<UIButton>();
  cameraSwitchButton_->setAccessibilityLabel("Switch Camera");
  cameraSwitchButton_->addTarget(
      camera_.shared(),
      WeakBind(&camera_, [](AKCamera& camera, UIControl&, UIEvent*) { camera.switchCamera(); }),
      UIControlEventTouchUpInside);
  cameraSwitchButton_->setImage(cameraResource_->cameraSwitchImage(), UIControlStateNormal);
  cameraSwitchButton_->sizeToFit();
  cameraSwitchButton_->setHidden(!shows);
  const CGRect bar = bottomView_->bounds();
  const CGRect frame = cameraSwitchButton_->frame();
  cameraSwitchButton_->setFrame(WithOrigin(frame, bar.size.width - frame.size.width - kButtonMargin,
                                           (bar.size.height - frame.size.height) * 0.5));
  cameraSwitchButton_->setAutoresizingMask(UIViewAutoresizingFlexibleLeftMargin |
                                           UIViewAutoresizingFlexibleTopMargin |
                                           UIViewAutoresizingFlexibleBottomMargin);
  bottomView_->addSubview(cameraSwitchButton_);
}

void AKCameraControls::setupCaptureButton() {
  const CGRect bar = bottomView_->bounds();
  captureButton_ = makeCaptureButton(kCaptureButtonSize);
  captureButton_->setAccessibilityLabel("Take Photo");
  captureButton_->setCenter(CGPointMake(bar.size.width / 2, bar.size.height / 2));
  captureButton_->setAutoresizingMask(UIViewAutoresizingFlexibleLeftMargin |
                                      UIViewAutoresizingFlexibleRightMargin);
  bottomView_->addSubview(captureButton_);
}

void AKCameraControls::setupCancelButton() {
  const CGRect content = contentView_->bounds();
  cancelButton_ = std::make_shared<UIButton>();
  cancelButton_->setAccessibilityLabel("Cancel");
  cancelButton_->addTarget(
      camera_.shared(),
      WeakBind(&camera_, [](AKCamera& camera, UIControl&, UIEvent*) { camera.dismissCamera(); }),
      UIControlEventTouchUpInside);
  cancelButton_->setImage(cameraResource_->cameraCancelImage(), UIControlStateNormal);
  cancelButton_->sizeToFit();
  const CGRect frame = cancelButton_->frame();
  cancelButton_->setFrame(
      WithOrigin(frame, content.size.width - frame.size.width - kButtonMargin, 25));
  cancelButton_->setAutoresizingMask(UIViewAutoresizingFlexibleLeftMargin |
                                     UIViewAutoresizingFlexibleBottomMargin);
  contentView_->addSubview(cancelButton_);
}

std::shared_ptr<UIButton> AKCameraControls::makeCaptureButton(double size) {
  auto button = std::make_shared<AKCaptureButton>();
  button->addTarget(
      camera_.shared(),
      WeakBind(&camera_, [](AKCamera& camera, UIControl&, UIEvent*) { camera.takePicture(); }),
      UIControlEventTouchUpInside);
  const CGRect bounds = button->bounds();
  button->setBounds(CGRectMake(bounds.origin.x, bounds.origin.y, size * 0.9, size * 0.9));
  button->layer()->setCornerRadius(button->bounds().size.height / 2);
  button->layer()->setBorderColor(UIColor::whiteColor()->CGColor());
  button->layer()->setBorderWidth(2);
  button->layer()->setMasksToBounds(true);
  return button;
}

// The bottom strip covers the bar and the bottom safe area.
void AKCameraControls::layoutBottomContainer() {
  const CGRect content = contentView_->bounds();
  const UIEdgeInsets safeArea = camera_.view()->safeAreaInsets();
  const double height = bottomView_->frame().size.height + safeArea.bottom;
  bottomViewContainer_->setFrame(
      CGRectMake(0, content.size.height - height, content.size.width, height));
  lastSafeArea_ = safeArea;
}

void AKCameraControls::safeAreaMayHaveChanged() {
  const UIEdgeInsets now = camera_.view()->safeAreaInsets();
  if (now.top != lastSafeArea_.top || now.bottom != lastSafeArea_.bottom ||
      now.left != lastSafeArea_.left || now.right != lastSafeArea_.right) {
    layoutBottomContainer();
  }
}

void AKCameraControls::turn(double rotation, bool wholeLayer, bool landscape) {
  const CGAffineTransform turn = CGAffineTransformMakeRotation(rotation);
  auto weak = WeakFromThis(&camera_);
  if (!wholeLayer) {
    UIView::animateWithDuration(kRotationDuration, [weak, turn] {
      if (auto camera = weak.lock()) {
        camera->flashButton()->setTransform(turn);
        if (const auto& button = camera->cameraSwitchButton()) button->setTransform(turn);
      }
    });
    return;
  }
  const CGSize size = camera_.view()->bounds().size;
  const double longer = std::max(size.width, size.height),
               shorter = std::min(size.width, size.height);
  UIView::animateWithDuration(kRotationDuration, [weak, turn, landscape, longer, shorter] {
    if (auto camera = weak.lock()) {
      const UIViewPtr& content = camera->contentView();
      const CGRect b = content->bounds();
      content->setBounds(CGRectMake(b.origin.x, b.origin.y, landscape ? longer : shorter,
                                    landscape ? shorter : longer));
      content->setTransform(turn);
    }
  });
}

// --- Flash ---

const std::shared_ptr<UIButton>& AKCameraControls::flashButton() {
  if (!flashButton_) {
    flashButton_ = std::make_shared<UIButton>();
    flashButton_->setAccessibilityLabel("Flash Mode");
    flashButton_->addTarget(camera_.shared(),
                            WeakBind(&camera_, [](AKCamera& camera, UIControl&,
                                                  UIEvent*) { camera.switchFlashMode(); }),
                            UIControlEventTouchUpInside);
  }
  return flashButton_;
}

void AKCameraControls::setFlashMode(std::optional<AVCaptureFlashMode> mode) {
  QX_DCHECK_MAIN_THREAD();
  flashMode_ = mode;
  updateFlashButton();
  camera_.capture().updateFlashMode();
  if (mode)
    NSUserDefaults::standardUserDefaults()->setInteger(int64_t(*mode), AKCamera::kFlashModeKey);
}

void AKCameraControls::switchFlashMode() {
  switch (flashMode_.value_or(AVCaptureFlashModeOff)) {
    case AVCaptureFlashModeOff:
      setFlashMode(AVCaptureFlashModeOn);
      break;
    case AVCaptureFlashModeAuto:
      setFlashMode(AVCaptureFlashModeOff);
      break;
    default:
      setFlashMode(AVCaptureFlashModeAuto);
      break;
  }
}

void AKCameraControls::updateFlashButton() {
  UIImagePtr image;
  switch (flashMode_.value_or(AVCaptureFlashModeOff)) {
    case AVCaptureFlashModeOn:
      image = cameraResource_->cameraFlashOnImage();
      break;
    case AVCaptureFlashModeAuto:
      image = cameraResource_->cameraFlashAutoImage();
      break;
    default:
      image = cameraResource_->cameraFlashOffImage();
      break;
  }
  flashButton()->setImage(image, UIControlStateNormal);
  flashButton()->sizeToFit();
}

void AKCameraControls::deviceDidChange(bool hasFlash) {
  flashButton()->setHidden(!hasFlash);
  if (hasFlash) setFlashMode(currentFlashModeFromDefaults());
}

AVCaptureFlashMode AKCameraControls::currentFlashModeFromDefaults() {
  const int64_t stored =
      NSUserDefaults::standardUserDefaults()->integerForKey(AKCamera::kFlashModeKey);
  // An integer no mode has (an edited preferences file) counts as off.
  return stored == AVCaptureFlashModeOn || stored == AVCaptureFlashModeAuto
             ? AVCaptureFlashMode(stored)
             : AVCaptureFlashModeOff;
}

void AKCameraControls::setShowsCameraControls(bool shows) {
  QX_DCHECK_MAIN_THREAD();
  showsCameraControls_ = shows;
  contentView_->setHidden(!shows);
}
