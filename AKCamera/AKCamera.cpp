#include "AKCamera/AKCamera.h"

#include <cmath>
#include <cstdio>

#include "platform/foundation/Fatal.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSData.h"
#include "platform/foundation/NSOperation.h"
#include "platform/foundation/NSThread.h"
#include "platform/foundation/NSUserDefaults.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/quartzcore/CATransaction.h"
#include "platform/uikit/NSLayoutConstraint.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIImagePickerController.h"
#include "platform/uikit/UIPinchGestureRecognizer.h"
#include "platform/uikit/UITapGestureRecognizer.h"

namespace {

constexpr double kButtonMargin = 15;
constexpr double kRotationDuration = 0.2;
constexpr double kZoomAnimationDuration = 0.025;
constexpr double kMotionUpdateInterval = 0.5;
constexpr double kCaptureButtonSize = 70;
constexpr double kTilt = 0.75;

bool IsLandscape(std::optional<UIDeviceOrientation> o) {
  return o == UIDeviceOrientationLandscapeLeft || o == UIDeviceOrientationLandscapeRight;
}

// The raw values carry over: device landscape left (3) is video landscape right (3).
AVCaptureVideoOrientation VideoOrientationFor(std::optional<UIDeviceOrientation> o) {
  switch (o.value_or(UIDeviceOrientationPortrait)) {
    case UIDeviceOrientationPortraitUpsideDown: return AVCaptureVideoOrientationPortraitUpsideDown;
    case UIDeviceOrientationLandscapeLeft: return AVCaptureVideoOrientationLandscapeRight;
    case UIDeviceOrientationLandscapeRight: return AVCaptureVideoOrientationLandscapeLeft;
    default: return AVCaptureVideoOrientationPortrait;
  }
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

// --- Preview view ---

AKCamera::AKCameraPreviewView::AKCameraPreviewView() : AKCameraPreviewView(CGRectZero) {}

AKCamera::AKCameraPreviewView::AKCameraPreviewView(const CGRect& frame)
    : UIView(AVCaptureVideoPreviewLayer::layer(), frame) {}

// --- Creation ---

AKCamera::AKCamera() : AKCamera(std::make_shared<AKDefaultCameraResource>()) {}

AKCamera::AKCamera(std::shared_ptr<AKCameraResource> cameraResource)
    : sessionQueue_(dispatch_queue_create("AKCamera_CaptureSession_Queue")),
      cameraResource_(std::move(cameraResource)) {
  if (UIDevice::currentDevice()->userInterfaceIdiom() == UIUserInterfaceIdiomPhone) {
    setModalPresentationStyle(UIModalPresentationStyle::FullScreen);
  }
}

AKCamera::~AKCamera() {
  if (metadataOutput_) metadataOutput_->setMetadataObjectsDelegate(nullptr, nullptr);
}

std::shared_ptr<AKCamera> AKCamera::shared() {
  return std::static_pointer_cast<AKCamera>(shared_from_this());
}

void AKCamera::checkCameraPermission(std::function<void(bool)> handler) {
  switch (AVCaptureDevice::authorizationStatusForMediaType(AVMediaTypeVideo)) {
    case AVAuthorizationStatusAuthorized:
      if (handler) handler(true);
      return;
    case AVAuthorizationStatusNotDetermined:
      AVCaptureDevice::requestAccessForMediaType(AVMediaTypeVideo, [handler](bool) {
        dispatch_async(dispatch_get_main_queue(), [handler] {
          if (handler) {
            handler(AVCaptureDevice::authorizationStatusForMediaType(AVMediaTypeVideo) ==
                    AVAuthorizationStatusAuthorized);
          }
        });
      });
      return;
    default:
      if (handler) handler(false);
      return;
  }
}

bool AKCamera::isAvailable() {
  return UIImagePickerController::isSourceTypeAvailable(UIImagePickerControllerSourceType::Camera);
}

// --- Properties ---

void AKCamera::setCameraOverlayView(UIViewPtr view) {
  QX_DCHECK_MAIN_THREAD();
  cameraOverlayView_ = std::move(view);
  if (cameraOverlayView_) this->view()->addSubview(cameraOverlayView_);
}

void AKCamera::setShowsCameraControls(bool shows) {
  QX_DCHECK_MAIN_THREAD();
  showsCameraControls_ = shows;
  contentView_->setHidden(!shows);
}

void AKCamera::setFlashMode(std::optional<AVCaptureFlashMode> mode) {
  QX_DCHECK_MAIN_THREAD();
  flashMode_ = mode;
  updateFlashButton();
  updateFlashMode();
  if (mode) saveFlashModeToDefaults(*mode);
}

const std::shared_ptr<UIButton>& AKCamera::flashButton() {
  if (!flashButton_) {
    flashButton_ = std::make_shared<UIButton>();
    flashButton_->setAccessibilityLabel("Flash Mode");
    flashButton_->addTarget(
        shared(), WeakBind(this, [](AKCamera& camera, UIControl&, UIEvent*) { camera.switchFlashMode(); }),
        UIControlEventTouchUpInside);
  }
  return flashButton_;
}

void AKCamera::updateFlashButton() {
  UIImagePtr image;
  switch (flashMode_.value_or(AVCaptureFlashModeOff)) {
    case AVCaptureFlashModeOn: image = cameraResource_->cameraFlashOnImage(); break;
    case AVCaptureFlashModeAuto: image = cameraResource_->cameraFlashAutoImage(); break;
    default: image = cameraResource_->cameraFlashOffImage(); break;
  }
  flashButton()->setImage(image, UIControlStateNormal);
  flashButton()->sizeToFit();
}

void AKCamera::saveFlashModeToDefaults(AVCaptureFlashMode mode) {
  NSUserDefaults::standardUserDefaults()->setInteger(int64_t(mode), kFlashModeKey);
}

AVCaptureFlashMode AKCamera::currentFlashModeFromDefaults() {
  const int64_t stored = NSUserDefaults::standardUserDefaults()->integerForKey(kFlashModeKey);
  // An integer no mode has (an edited preferences file) counts as off.
  return stored == AVCaptureFlashModeOn || stored == AVCaptureFlashModeAuto
             ? AVCaptureFlashMode(stored)
             : AVCaptureFlashModeOff;
}

AVCaptureVideoPreviewLayerPtr AKCamera::previewLayer() const {
  auto layer = std::dynamic_pointer_cast<AVCaptureVideoPreviewLayer>(previewView_->layer());
  if (!layer) {
    FatalStop("Expected `AVCaptureVideoPreviewLayer` type for layer. Check "
              "AKCameraPreviewView.layerClass implementation.");
  }
  return layer;
}

AVCapturePhotoOutputPtr AKCamera::captureOutput() const {
  return std::dynamic_pointer_cast<AVCapturePhotoOutput>(captureOutput_.lock());
}

const AVCapturePhotoSettingsPtr& AKCamera::defaultPhotoSettings() {
  if (!defaultPhotoSettings_) {
    defaultPhotoSettings_ = AVCapturePhotoSettings::photoSettings();
    defaultPhotoSettings_->setHighResolutionPhotoEnabled(true);
  }
  return defaultPhotoSettings_;
}

const UIViewPtr& AKCamera::focusView() {
  static UIViewPtr view;
  if (!view) {
    view = std::make_shared<UIView>(CGRectMake(0, 0, 100, 100));
    view->layer()->setBorderWidth(2);
    view->layer()->setBorderColor(UIColor::whiteColor()->CGColor());
    view->layer()->setCornerRadius(50);
  }
  return view;
}

// --- View loading ---

void AKCamera::viewDidLoad() {
  UIViewController::viewDidLoad();
  view()->setBackgroundColor(UIColor::blackColor());
  setupDevices();
  setupUI();
  setupSession();
  setupMotionManager();
  if (containsGPSInMetadata) locationManager_ = std::make_shared<AKCameraLocationManager>();
}

void AKCamera::setupDevices() {
  captureDeviceFront_ = AVCaptureDevice::defaultDeviceWithDeviceType(
      AVCaptureDeviceTypeBuiltInWideAngleCamera, AVMediaTypeVideo, AVCaptureDevicePositionFront);
  captureDeviceRear_ = AVCaptureDevice::defaultDeviceWithDeviceType(
      AVCaptureDeviceTypeBuiltInWideAngleCamera, AVMediaTypeVideo, AVCaptureDevicePositionBack);
  if (defaultCaptureDevice == AKCameraDeviceSourceType::rear) {
    currentDevice_ = captureDeviceRear_ ? captureDeviceRear_ : captureDeviceFront_;
  } else {
    currentDevice_ = captureDeviceFront_ ? captureDeviceFront_ : captureDeviceRear_;
  }
}

void AKCamera::setupUI() {
  const UIViewPtr root = view();
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
  const CGRect content = contentView_->bounds();

  bottomView_->setFrame(CGRectMake(0, 0, content.size.width, kBottomBarHeight));
  bottomView_->setAutoresizingMask(UIViewAutoresizingFlexibleWidth);
  bottomViewContainer_->addSubview(bottomView_);
  bottomViewContainer_->setBackgroundColor(UIColor::colorWithWhite(0, 0.4));
  layoutBottomContainer();
  bottomViewContainer_->setAutoresizingMask(UIViewAutoresizingFlexibleWidth |
                                            UIViewAutoresizingFlexibleTopMargin);
  contentView_->addSubview(bottomViewContainer_);

  auto weak = WeakFromThis(this);
  cameraSwitchButton_ = std::make_shared<UIButton>();
  cameraSwitchButton_->setAccessibilityLabel("Switch Camera");
  cameraSwitchButton_->addTarget(
      shared(), WeakBind(weak, [](AKCamera& camera, UIControl&, UIEvent*) { camera.switchCamera(); }),
      UIControlEventTouchUpInside);
  cameraSwitchButton_->setImage(cameraResource_->cameraSwitchImage(), UIControlStateNormal);
  cameraSwitchButton_->sizeToFit();
  cameraSwitchButton_->setHidden(!showsCameraSwitchButton);
  const CGRect bar = bottomView_->bounds();
  CGRect frame = cameraSwitchButton_->frame();
  cameraSwitchButton_->setFrame(CGRectMake(bar.size.width - frame.size.width - kButtonMargin,
                                           (bar.size.height - frame.size.height) * 0.5,
                                           frame.size.width, frame.size.height));
  cameraSwitchButton_->setAutoresizingMask(UIViewAutoresizingFlexibleLeftMargin |
                                           UIViewAutoresizingFlexibleTopMargin |
                                           UIViewAutoresizingFlexibleBottomMargin);
  bottomView_->addSubview(cameraSwitchButton_);

  captureButton_ = makeCaptureButton(kCaptureButtonSize);
  captureButton_->setAccessibilityLabel("Take Photo");
  captureButton_->setCenter(CGPointMake(bar.size.width / 2, bar.size.height / 2));
  captureButton_->setAutoresizingMask(UIViewAutoresizingFlexibleLeftMargin |
                                      UIViewAutoresizingFlexibleRightMargin);
  bottomView_->addSubview(captureButton_);

  cancelButton_ = std::make_shared<UIButton>();
  cancelButton_->setAccessibilityLabel("Cancel");
  cancelButton_->addTarget(
      shared(), WeakBind(weak, [](AKCamera& camera, UIControl&, UIEvent*) { camera.dismissCamera(); }),
      UIControlEventTouchUpInside);
  cancelButton_->setImage(cameraResource_->cameraCancelImage(), UIControlStateNormal);
  cancelButton_->sizeToFit();
  frame = cancelButton_->frame();
  cancelButton_->setFrame(CGRectMake(content.size.width - frame.size.width - kButtonMargin, 25,
                                     frame.size.width, frame.size.height));
  cancelButton_->setAutoresizingMask(UIViewAutoresizingFlexibleLeftMargin |
                                     UIViewAutoresizingFlexibleBottomMargin);
  contentView_->addSubview(cancelButton_);

  frame = flashButton()->frame();
  flashButton_->setFrame(CGRectMake(5, 15, frame.size.width, frame.size.height));
  contentView_->addSubview(flashButton_);

  auto pinch = std::make_shared<UIPinchGestureRecognizer>();
  pinch->addTarget(shared(), WeakBind(weak, [](AKCamera& camera, UIGestureRecognizer& g) {
                     camera.handleZoom(g);
                   }));
  contentView_->addGestureRecognizer(pinch);
  auto tap = std::make_shared<UITapGestureRecognizer>();
  tap->addTarget(shared(), WeakBind(weak, [](AKCamera& camera, UIGestureRecognizer& g) {
                   camera.handleFocus(g);
                 }));
  contentView_->addGestureRecognizer(tap);
}

std::shared_ptr<UIButton> AKCamera::makeCaptureButton(double size) {
  auto button = std::make_shared<AKCaptureButton>();
  button->addTarget(
      shared(), WeakBind(this, [](AKCamera& camera, UIControl&, UIEvent*) { camera.takePicture(); }),
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
void AKCamera::layoutBottomContainer() {
  const CGRect content = contentView_->bounds();
  const double height = bottomView_->frame().size.height + view()->safeAreaInsets().bottom;
  bottomViewContainer_->setFrame(
      CGRectMake(0, content.size.height - height, content.size.width, height));
  lastSafeArea_ = view()->safeAreaInsets();
}

void AKCamera::viewDidLayoutSubviews() {
  UIViewController::viewDidLayoutSubviews();
  const UIEdgeInsets now = view()->safeAreaInsets();
  if (now.top != lastSafeArea_.top || now.bottom != lastSafeArea_.bottom ||
      now.left != lastSafeArea_.left || now.right != lastSafeArea_.right) {
    layoutBottomContainer();
  }
}

void AKCamera::setupSession() {
  captureSession_->setSessionPreset(AVCaptureSessionPresetPhoto);
  setupCurrentDevice();
  auto output = std::make_shared<AVCapturePhotoOutput>();
  output->setHighResolutionCaptureEnabled(true);
  if (captureSession_->canAddOutput(output)) {
    captureSession_->addOutput(output);
    captureOutput_ = output;
    // The device's flash mode was set before there was an output to check
    // it against; without this the first photos would ignore the mode the
    // button shows.
    updateFlashMode();
  }
  if (onFaceDetection) {
    metadataOutput_ = std::make_shared<AVCaptureMetadataOutput>();
    metadataQueue_ = dispatch_queue_create("AKCamera_MetadataOutputQueue");
    metadataOutput_->setMetadataObjectsDelegate(shared(), metadataQueue_);
    if (captureSession_->canAddOutput(metadataOutput_)) {
      captureSession_->addOutput(metadataOutput_);
      metadataOutput_->setMetadataObjectTypes({AVMetadataObjectTypeFace});
    }
  }
  previewLayer()->setSession(captureSession_);
  previewLayer()->setVideoGravity(AVLayerVideoGravityResizeAspectFill);
  view()->insertSubviewAtIndex(previewView_, 0);
  previewView_->setFrame(view()->bounds());
  previewView_->setAutoresizingMask(UIViewAutoresizingFlexibleWidth |
                                    UIViewAutoresizingFlexibleHeight);
}

void AKCamera::setupCurrentDevice() {
  if (!currentDevice_) return;
  if (currentDevice_->hasFlash()) {
    flashButton()->setHidden(false);
    setFlashMode(currentFlashModeFromDefaults());
  } else {
    flashButton()->setHidden(true);
  }
  for (const auto& input : captureSession_->inputs()) captureSession_->removeInput(input);
  NSErrorPtr error;
  auto input = AVCaptureDeviceInput::deviceInputWithDevice(currentDevice_, &error);
  if (input && captureSession_->canAddInput(input)) captureSession_->addInput(input);
  // A device another client holds is left as it is, and never left locked.
  if (currentDevice_->lockForConfiguration()) {
    if (currentDevice_->isFocusModeSupported(AVCaptureFocusModeContinuousAutoFocus)) {
      currentDevice_->setFocusMode(AVCaptureFocusModeContinuousAutoFocus);
    }
    if (currentDevice_->isExposureModeSupported(AVCaptureExposureModeContinuousAutoExposure)) {
      currentDevice_->setExposureMode(AVCaptureExposureModeContinuousAutoExposure);
    }
    currentDevice_->unlockForConfiguration();
  }
}

void AKCamera::updateFlashMode() {
  auto output = captureOutput();
  if (!currentDevice_ || !output || !flashMode_ || !currentDevice_->hasFlash()) return;
  const auto modes = output->supportedFlashModes();
  if (std::find(modes.begin(), modes.end(), *flashMode_) == modes.end()) return;
  defaultPhotoSettings()->setFlashMode(*flashMode_);
}

void AKCamera::setupMotionManager() {
  motionManager_->setAccelerometerUpdateInterval(kMotionUpdateInterval);
  motionManager_->setGyroUpdateInterval(kMotionUpdateInterval);
}

// --- Appearance ---

void AKCamera::viewWillAppear(bool animated) {
  UIViewController::viewWillAppear(animated);
  if (!captureSession_->isRunning()) captureSession_->startRunning();
  if (!motionManager_->isAccelerometerActive()) {
    const Value full = NSBundle::mainBundle()->objectForInfoDictionaryKey("UIRequiresFullScreen");
    const bool requiresFullScreen = full.isBool() && full.asBool();
    if (UIDevice::currentDevice()->userInterfaceIdiom() == UIUserInterfaceIdiomPad &&
        !requiresFullScreen) {
      if (!originalOrientation_) {
        updateOriginalOrientation();
        currentOrientation_ = originalOrientation_;
      }
    } else {
      motionManager_->startAccelerometerUpdatesToQueue(
          NSOperationQueue::currentQueue(),
          WeakBind(this, [](AKCamera& camera, CMAccelerometerDataPtr data, NSErrorPtr error) {
            camera.handleAccelerometerData(data, error);
          }));
    }
  }
  updateSession(true);
}

void AKCamera::viewDidAppear(bool animated) {
  UIViewController::viewDidAppear(animated);
  if (locationManager_) locationManager_->startUpdatingLocation();
}

void AKCamera::viewDidDisappear(bool animated) {
  UIViewController::viewDidDisappear(animated);
  updateSession(false);
  motionManager_->stopAccelerometerUpdates();
  if (locationManager_) locationManager_->stopUpdatingLocation();
}

void AKCamera::viewWillTransitionToSize(const CGSize& size,
                                        UIViewControllerTransitionCoordinator& coordinator) {
  UIViewController::viewWillTransitionToSize(size, coordinator);
  if (UIApplication::sharedApplication()->applicationState() == UIApplicationState::Background) {
    return;
  }
  coordinator.animateAlongsideTransition(
      WeakBind(this, [](AKCamera& camera, UIViewControllerTransitionCoordinator&) {
        const UIDeviceOrientation o = UIDevice::currentDevice()->orientation();
        if (o >= UIDeviceOrientationPortrait && o <= UIDeviceOrientationLandscapeRight) {
          camera.updateOriginalOrientation();
          camera.currentOrientation_ = camera.originalOrientation_;
        }
      }),
      nullptr);
}

// --- Session control ---

void AKCamera::startSession() {
  isStopped_ = false;
  if (!captureSession_->isRunning()) captureSession_->startRunning();
}

void AKCamera::stopSession() {
  suspendSession();
  captureSession_->stopRunning();
}

void AKCamera::suspendSession() {
  isStopped_ = true;
  updateSession(false);
}

void AKCamera::updateSession(bool isEnable) {
  if (isStopped_ && isEnable) return;
  if (auto connection = previewLayer()->connection()) connection->setEnabled(isEnable);
}

// --- Actions ---

void AKCamera::dismissCamera() {
  if (didCancel) didCancel();
}

void AKCamera::switchFlashMode() {
  switch (flashMode_.value_or(AVCaptureFlashModeOff)) {
    case AVCaptureFlashModeOff: setFlashMode(AVCaptureFlashModeOn); break;
    case AVCaptureFlashModeAuto: setFlashMode(AVCaptureFlashModeOff); break;
    default: setFlashMode(AVCaptureFlashModeAuto); break;
  }
}

void AKCamera::switchCamera() {
  QX_DCHECK_MAIN_THREAD();
  const bool onRear = currentDevice_ == captureDeviceRear_ ||
                      (currentDevice_ && captureDeviceRear_ && currentDevice_->isEqual(*captureDeviceRear_));
  currentDevice_ = onRear ? captureDeviceFront_ : captureDeviceRear_;
  setupCurrentDevice();
}

void AKCamera::handleZoom(UIGestureRecognizer& recognizer) {
  auto* pinch = dynamic_cast<UIPinchGestureRecognizer*>(&recognizer);
  if (!pinch) return;
  if (pinch->state() == UIGestureRecognizerState::Began) {
    beginZoomScale_ = zoomScale_;
  } else if (pinch->state() == UIGestureRecognizerState::Changed) {
    zoomScale_ = std::min(kMaxZoomScale, std::max(kMinZoomScale, beginZoomScale_ * pinch->scale()));
    CATransaction::begin();
    CATransaction::setAnimationDuration(kZoomAnimationDuration);
    previewLayer()->setAffineTransform(CGAffineTransformMakeScale(zoomScale_, zoomScale_));
    CATransaction::commit();
  }
}

void AKCamera::handleFocus(UIGestureRecognizer& tap) {
  if (!currentDevice_ || !currentDevice_->isFocusPointOfInterestSupported()) return;
  focusAtTouchPoint(tap.locationInView(view().get()));
}

void AKCamera::focusAtTouchPoint(CGPoint point) {
  if (!currentDevice_ || !currentDevice_->isFocusPointOfInterestSupported()) return;
  // The zoom is the layer's transform about its position; its bounds, which
  // the device point is computed in, do not zoom. The tap goes back through
  // the inverse first, so focus lands where the finger was.
  auto layer = previewLayer();
  const CGRect bounds = layer->bounds();
  const CGPoint anchor = CGPointMake(bounds.origin.x + bounds.size.width * layer->anchorPoint().x,
                                     bounds.origin.y + bounds.size.height * layer->anchorPoint().y);
  const CGPoint offset = CGPointApplyAffineTransform(
      CGPointMake(point.x - layer->position().x, point.y - layer->position().y),
      CGAffineTransformInvert(layer->affineTransform()));
  const CGPoint devicePoint = layer->captureDevicePointOfInterestForPoint(
      CGPointMake(anchor.x + offset.x, anchor.y + offset.y));

  const UIViewPtr& ring = focusView();
  ring->setTransform(CGAffineTransformIdentity);
  ring->setCenter(point);
  view()->addSubview(ring);
  std::weak_ptr<UIView> weakRing = ring;
  UIView::animateWithDuration(
      0.7, 0, 0.5, 1.1, 0, [ring] { ring->setTransform(CGAffineTransformMakeScale(0.6, 0.6)); },
      [weakRing](bool) {
        if (auto r = weakRing.lock()) r->removeFromSuperview();
      });

  if (!currentDevice_->lockForConfiguration()) return;
  currentDevice_->setFocusPointOfInterest(devicePoint);
  currentDevice_->setExposurePointOfInterest(devicePoint);
  currentDevice_->setFocusMode(AVCaptureFocusModeContinuousAutoFocus);
  if (currentDevice_->isExposureModeSupported(AVCaptureExposureModeContinuousAutoExposure)) {
    currentDevice_->setExposureMode(AVCaptureExposureModeContinuousAutoExposure);
  }
  currentDevice_->unlockForConfiguration();
}

void AKCamera::captureOutputDidOutputMetadataObjects(AVCaptureOutput&,
                                                     const std::vector<AVMetadataObjectPtr>& objects,
                                                     const AVCaptureConnectionPtr&) {
  // The option is read once, at view load, before any report can come.
  if (!onFaceDetection) return;
  std::vector<std::shared_ptr<AVMetadataFaceObject>> faces;
  for (const auto& object : objects) {
    if (auto face = std::dynamic_pointer_cast<AVMetadataFaceObject>(object)) faces.push_back(face);
  }
  onFaceDetection(faces);
}

CGRect AKCamera::faceRect(const AVMetadataFaceObject& face) const {
  const CGRect preview = previewView_->frame();
  const double W = preview.size.width, H = preview.size.height;
  const CGRect b = face.bounds();
  const bool front = currentDevice_ == captureDeviceFront_ ||
                     (currentDevice_ && captureDeviceFront_ && currentDevice_->isEqual(*captureDeviceFront_));
  const double fromBack = W * (1 - b.origin.y - b.size.height * 0.5);
  const double x = front ? W - fromBack : fromBack;
  return CGRectMake(x, H * (b.origin.x + b.size.width * 0.5), H * b.size.width, W * b.size.height);
}

// --- Orientation ---

std::optional<UIDeviceOrientation> AKCamera::orientationForAcceleration(double x, double y) {
  if (x >= kTilt) return UIDeviceOrientationLandscapeRight;
  if (x <= -kTilt) return UIDeviceOrientationLandscapeLeft;
  if (y <= -kTilt) return UIDeviceOrientationPortrait;
  if (y >= kTilt) return UIDeviceOrientationPortraitUpsideDown;
  return std::nullopt;
}

double AKCamera::angleOfOrientation(std::optional<UIDeviceOrientation> orientation) {
  switch (orientation.value_or(UIDeviceOrientationUnknown)) {
    case UIDeviceOrientationPortraitUpsideDown: return M_PI;
    case UIDeviceOrientationLandscapeLeft: return M_PI / 2;
    case UIDeviceOrientationLandscapeRight: return -M_PI / 2;
    default: return 0;
  }
}

void AKCamera::handleAccelerometerData(const CMAccelerometerDataPtr& data, const NSErrorPtr& error) {
  if (error) {
    std::printf("error while update accelerometer: %s\n", error->localizedDescription().c_str());
    std::fflush(stdout);
    return;
  }
  if (!data) return;
  if (!originalOrientation_) {
    updateOriginalOrientation();
    currentOrientation_ = originalOrientation_;
  }
  const auto sample = orientationForAcceleration(data->acceleration().x, data->acceleration().y);
  if (sample && (!currentOrientation_ || *sample != *currentOrientation_)) {
    currentOrientation_ = sample;
    updateContentLayoutForCurrentOrientation();
  }
}

void AKCamera::updateOriginalOrientation() {
  const int64_t raw = UIApplication::sharedApplication()->statusBarOrientation();
  const int64_t kept = raw >= 2 && raw <= 4 ? raw : 1;
  originalOrientation_ = UIDeviceOrientation(kept);
  if (auto connection = previewLayer()->connection()) {
    connection->setVideoOrientation(AVCaptureVideoOrientation(kept));
  }
}

void AKCamera::updateContentLayoutForCurrentOrientation() {
  const double rotation = angleOfOrientation(currentOrientation_) - angleOfOrientation(originalOrientation_);
  const CGAffineTransform turn = CGAffineTransformMakeRotation(rotation);
  auto weak = WeakFromThis(this);
  if (!allowsRotate) {
    UIView::animateWithDuration(kRotationDuration, [weak, turn] {
      if (auto self = weak.lock()) {
        self->flashButton()->setTransform(turn);
        if (self->cameraSwitchButton_) self->cameraSwitchButton_->setTransform(turn);
      }
    });
    return;
  }
  const CGSize size = view()->bounds().size;
  const double longer = std::max(size.width, size.height), shorter = std::min(size.width, size.height);
  const bool landscape = IsLandscape(currentOrientation_);
  UIView::animateWithDuration(kRotationDuration, [weak, turn, landscape, longer, shorter] {
    if (auto self = weak.lock()) {
      const CGRect b = self->contentView_->bounds();
      self->contentView_->setBounds(CGRectMake(b.origin.x, b.origin.y, landscape ? longer : shorter,
                                               landscape ? shorter : longer));
      self->contentView_->setTransform(turn);
    }
  });
}

// --- Taking a picture ---

void AKCamera::takePicture() {
  QX_DCHECK_MAIN_THREAD();
  if (AVCaptureDevice::authorizationStatusForMediaType(AVMediaTypeVideo) ==
          AVAuthorizationStatusDenied ||
      !didFinishCapturingImage) {
    return;
  }
  auto output = captureOutput();
  if (!output || currentCapturer_) return;
  if (captureButton_) captureButton_->setEnabled(false);
  // The photo in progress belongs to the main thread: set here, cleared by
  // finishCapture, never touched by the queues.
  auto capturer = std::make_shared<AKCameraPhotoCapturer>();
  currentCapturer_ = capturer;
  CaptureRequest request{output,
                         AVCapturePhotoSettings::photoSettingsFromPhotoSettings(*defaultPhotoSettings()),
                         VideoOrientationFor(currentOrientation_), zoomScale_,
                         previewLayer()->metadataOutputRectOfInterestForRect(previewLayer()->bounds())};
  auto weak = WeakFromThis(this);
  dispatch_async(sessionQueue_, [weak, capturer, request] {
    if (auto self = weak.lock()) {
      self->capturePicture(capturer, request);
    }
  });
}

void AKCamera::capturePicture(const std::shared_ptr<AKCameraPhotoCapturer>& capturer,
                              const CaptureRequest& request) {
  // The capturer's callbacks hold it weakly: it owns them.
  auto weak = WeakFromThis(this);
  std::weak_ptr<AKCameraPhotoCapturer> weakCapturer = capturer;
  auto fail = [weak, weakCapturer] {
    dispatch_async(dispatch_get_main_queue(), [weak, weakCapturer] {
      if (auto self = weak.lock()) self->finishCapture(weakCapturer.lock());
    });
  };
  auto connection = request.output->connectionWithMediaType(AVMediaTypeVideo);
  if (!connection) {
    fail();
    return;
  }
  connection->setVideoOrientation(request.orientation);
  connection->setVideoScaleAndCropFactor(request.zoomScale);
  if (locationManager_) capturer->gpsMetadata = locationManager_->gpsMetadata();
  const CGRect visible = request.visibleRect;
  capturer->didCaptureWithImageData = [weak, weakCapturer, visible](std::shared_ptr<Bytes> data) {
    auto self = weak.lock();
    if (self) self->deliver(weakCapturer.lock(), data, visible);
  };
  capturer->didFail = [fail](const NSErrorPtr&) { fail(); };
  request.output->capturePhotoWithSettings(request.settings, capturer);
}

UIImagePtr AKCamera::developPhoto(const std::shared_ptr<Bytes>& data, CGRect visibleRect,
                                  std::optional<ValueMap>& metadata) {
  metadata.reset();
  if (!data) return nullptr;
  auto bytes = std::make_shared<const Bytes>(*data);
  UIImagePtr image = UIImage::imageWithData(NSData::dataWithBytes(*data));
  UIImagePtr cropped = image ? cropImageToVisiblePreview(image, visibleRect) : nullptr;
  if (auto source = CGImageSourceCreateWithBytes(bytes)) {
    Value properties = CGImageSourceCopyPropertiesAtIndex(source, 0);
    if (properties.isMap()) metadata = properties.asMap();
  }
  return cropped;
}

void AKCamera::deliver(const std::shared_ptr<AKCameraPhotoCapturer>& capturer,
                       const std::shared_ptr<Bytes>& data, CGRect visibleRect) {
  std::optional<ValueMap> metadata;
  UIImagePtr cropped = developPhoto(data, visibleRect, metadata);
  auto weak = WeakFromThis(this);
  dispatch_async(dispatch_get_main_queue(), [weak, capturer, cropped, metadata] {
    auto self = weak.lock();
    if (!self) return;
    if (cropped && self->didFinishCapturingImage) self->didFinishCapturingImage(cropped, metadata);
    self->finishCapture(capturer);
  });
}

void AKCamera::finishCapture(const std::shared_ptr<AKCameraPhotoCapturer>& capturer) {
  QX_DCHECK_MAIN_THREAD();
  // Only the capture in progress ends here (a capturer that is gone ended before).
  if (!capturer || currentCapturer_ != capturer) return;
  currentCapturer_.reset();
  if (captureButton_) captureButton_->setEnabled(true);
}

UIImagePtr AKCamera::cropImageToVisiblePreview(const UIImagePtr& image, CGRect visibleRect) {
  const CGImageRef& bitmap = image ? image->CGImage() : nullptr;
  if (!bitmap) return nullptr;
  const double w = double(bitmap->width()), h = double(bitmap->height());
  const CGRect crop = CGRectMake(visibleRect.origin.x * w, visibleRect.origin.y * h,
                                 visibleRect.size.width * w, visibleRect.size.height * h);
  CGImageRef part = CGImageCreateWithImageInRect(bitmap, crop);
  if (!part) return nullptr;
  return UIImage::imageWithCGImage(part, 1.0, image->imageOrientation());
}
