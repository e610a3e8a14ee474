#include "AKCamera/AKCamera.h"

#include "AKCamera/internal/AKCameraCapture.h"
#include "AKCamera/internal/AKCameraControls.h"
#include "AKCamera/internal/AKCameraOrientation.h"
#include "AKCamera/internal/AKCameraPreview.h"
#include "AKCamera/internal/AKCameraSessionControl.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIImagePickerController.h"

// --- Creation ---

AKCamera::AKCamera() : AKCamera(std::make_shared<AKDefaultCameraResource>()) {}

AKCamera::AKCamera(std::shared_ptr<AKCameraResource> cameraResource)
    : session_(std::make_unique<AKCameraSessionControl>(*this)),
      preview_(std::make_unique<AKCameraPreview>(*this)),
      capture_(std::make_unique<AKCameraCapture>(*this)),
      controls_(std::make_unique<AKCameraControls>(*this, std::move(cameraResource))),
      orientation_(std::make_unique<AKCameraOrientation>(*this)) {
  if (UIDevice::currentDevice()->userInterfaceIdiom() == UIUserInterfaceIdiomPhone) {
    setModalPresentationStyle(UIModalPresentationStyle::FullScreen);
  }
}

AKCamera::~AKCamera() = default;

std::shared_ptr<AKCamera> AKCamera::shared() { return SharedFromThis(this); }

void AKCamera::checkCameraPermission(OnceCallback<void(bool)> handler) {
  switch (AVCaptureDevice::authorizationStatusForMediaType(AVMediaTypeVideo)) {
    case AVAuthorizationStatusAuthorized:
      handler(true);
      return;
    case AVAuthorizationStatusNotDetermined:
      AVCaptureDevice::requestAccessForMediaType(
          AVMediaTypeVideo, [handler = std::move(handler)](bool) mutable {
            dispatch_async(dispatch_get_main_queue(), [handler = std::move(handler)]() mutable {
              handler(AVCaptureDevice::authorizationStatusForMediaType(AVMediaTypeVideo) ==
                      AVAuthorizationStatusAuthorized);
            });
          });
      return;
    default:
      handler(false);
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

bool AKCamera::showsCameraControls() const { return controls_->showsCameraControls(); }
void AKCamera::setShowsCameraControls(bool shows) { controls_->setShowsCameraControls(shows); }
std::optional<AVCaptureFlashMode> AKCamera::flashMode() const { return controls_->flashMode(); }
void AKCamera::setFlashMode(std::optional<AVCaptureFlashMode> mode) {
  controls_->setFlashMode(mode);
}

// --- View loading and appearance ---

void AKCamera::viewDidLoad() {
  UIViewController::viewDidLoad();
  view()->setBackgroundColor(UIColor::blackColor());
  session_->setupDevices(defaultCaptureDevice);
  controls_->setupUI(showsCameraSwitchButton);
  preview_->addGestures(*controls_->contentView());
  session_->setupSession(bool(onFaceDetection));
  preview_->attach(session_->captureSession());
  orientation_->setupMotionManager();
  if (containsGPSInMetadata) locationManager_ = std::make_shared<AKCameraLocationManager>();
}

void AKCamera::viewDidLayoutSubviews() {
  UIViewController::viewDidLayoutSubviews();
  controls_->safeAreaMayHaveChanged();
}

void AKCamera::viewWillAppear(bool animated) {
  UIViewController::viewWillAppear(animated);
  session_->startRunning();
  orientation_->startFollowing();
  updateSession(true);
}

void AKCamera::viewDidAppear(bool animated) {
  UIViewController::viewDidAppear(animated);
  if (locationManager_) locationManager_->startUpdatingLocation();
}

void AKCamera::viewDidDisappear(bool animated) {
  UIViewController::viewDidDisappear(animated);
  updateSession(false);
  orientation_->stopFollowing();
  if (locationManager_) locationManager_->stopUpdatingLocation();
}

void AKCamera::viewWillTransitionToSize(const CGSize& size,
                                        UIViewControllerTransitionCoordinator& coordinator) {
  UIViewController::viewWillTransitionToSize(size, coordinator);
  if (UIApplication::sharedApplication()->applicationState() == UIApplicationState::Background) {
    return;
  }
  coordinator.animateAlongsideTransition(
      WeakBind(this,
               [](AKCamera& camera, UIViewControllerTransitionCoordinator&) {
                 camera.orientation().interfaceDidTurn();
               }),
      nullptr);
}

// --- Session control ---

void AKCamera::startSession() { session_->startSession(); }
void AKCamera::stopSession() { session_->stopSession(); }
void AKCamera::suspendSession() { session_->suspendSession(); }
void AKCamera::updateSession(bool isEnable) { session_->updateSession(isEnable); }

// --- Actions ---

void AKCamera::dismissCamera() {
  if (didCancel) didCancel();
}

void AKCamera::takePicture() { capture_->takePicture(); }
void AKCamera::switchFlashMode() { controls_->switchFlashMode(); }
void AKCamera::switchCamera() { session_->switchCamera(); }
void AKCamera::handleZoom(UIGestureRecognizer& pinch) { preview_->handleZoom(pinch); }
void AKCamera::handleFocus(UIGestureRecognizer& tap) { preview_->handleFocus(tap); }
void AKCamera::focusAtTouchPoint(CGPoint point) { preview_->focusAtTouchPoint(point); }
CGRect AKCamera::faceRect(const AVMetadataFaceObject& face) const {
  return preview_->faceRect(face);
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

void AKCamera::handleAccelerometerData(const CMAccelerometerDataPtr& data,
                                       const NSErrorPtr& error) {
  orientation_->handleAccelerometerData(data, error);
}

std::optional<UIDeviceOrientation> AKCamera::orientationForAcceleration(double x, double y) {
  return AKCameraOrientation::orientationForAcceleration(x, y);
}

double AKCamera::angleOfOrientation(std::optional<UIDeviceOrientation> orientation) {
  return AKCameraOrientation::angleOfOrientation(orientation);
}

UIImagePtr AKCamera::cropImageToVisiblePreview(const UIImagePtr& image, CGRect visibleRect) {
  return AKCameraCapture::cropImageToVisiblePreview(image, visibleRect);
}

UIImagePtr AKCamera::developPhoto(const std::shared_ptr<Bytes>& data, CGRect visibleRect,
                                  std::optional<ValueMap>& metadata) {
  return AKCameraCapture::developPhoto(data, visibleRect, metadata);
}

AVCaptureFlashMode AKCamera::currentFlashModeFromDefaults() {
  return AKCameraControls::currentFlashModeFromDefaults();
}

// --- State ---

const AVCaptureSessionPtr& AKCamera::captureSession() const { return session_->captureSession(); }
const AVCaptureDevicePtr& AKCamera::currentDevice() const { return session_->currentDevice(); }
const AVCaptureDevicePtr& AKCamera::captureDeviceFront() const {
  return session_->captureDeviceFront();
}
const AVCaptureDevicePtr& AKCamera::captureDeviceRear() const {
  return session_->captureDeviceRear();
}
AVCapturePhotoOutputPtr AKCamera::captureOutput() const { return session_->captureOutput(); }
bool AKCamera::isStopped() const { return session_->isStopped(); }

const std::shared_ptr<AKCamera::AKCameraPreviewView>& AKCamera::previewView() const {
  return preview_->previewView();
}
AVCaptureVideoPreviewLayerPtr AKCamera::previewLayer() const { return preview_->previewLayer(); }
double AKCamera::zoomScale() const { return preview_->zoomScale(); }
const UIViewPtr& AKCamera::focusView() { return preview_->focusView(); }

const dispatch_queue_t& AKCamera::sessionQueue() const { return capture_->sessionQueue(); }
const AVCapturePhotoSettingsPtr& AKCamera::defaultPhotoSettings() {
  return capture_->defaultPhotoSettings();
}
const std::shared_ptr<AKCameraPhotoCapturer>& AKCamera::currentCapturer() const {
  return capture_->currentCapturer();
}

const UIViewPtr& AKCamera::contentView() const { return controls_->contentView(); }
const std::shared_ptr<UIButton>& AKCamera::flashButton() { return controls_->flashButton(); }
const std::shared_ptr<UIButton>& AKCamera::cameraSwitchButton() const {
  return controls_->cameraSwitchButton();
}
const std::shared_ptr<UIButton>& AKCamera::captureButton() const {
  return controls_->captureButton();
}
const std::shared_ptr<UIButton>& AKCamera::cancelButton() const {
  return controls_->cancelButton();
}
const UIViewPtr& AKCamera::bottomViewContainer() const { return controls_->bottomViewContainer(); }
const UIViewPtr& AKCamera::bottomView() const { return controls_->bottomView(); }

std::optional<UIDeviceOrientation> AKCamera::originalOrientation() const {
  return orientation_->originalOrientation();
}
std::optional<UIDeviceOrientation> AKCamera::currentOrientation() const {
  return orientation_->currentOrientation();
}
const std::shared_ptr<CMMotionManager>& AKCamera::motionManager() const {
  return orientation_->motionManager();
}
