#include "AKCamera/internal/AKCameraSessionControl.h"

#include "AKCamera/AKCamera.h"
#include "AKCamera/internal/AKCameraCapture.h"
#include "AKCamera/internal/AKCameraControls.h"
#include "AKCamera/internal/AKCameraPreview.h"
#include "platform/foundation/ThreadChecks.h"

namespace {

bool SameDevice(const AVCaptureDevicePtr& a, const AVCaptureDevicePtr& b) {
  return a == b || (a && b && a->isEqual(*b));
}

}  // namespace

AKCameraSessionControl::AKCameraSessionControl(AKCamera& camera) : camera_(camera) {}

AKCameraSessionControl::~AKCameraSessionControl() {
  if (metadataOutput_) metadataOutput_->setMetadataObjectsDelegate(nullptr, nullptr);
}

void AKCameraSessionControl::setupDevices(AKCameraDeviceSourceType preferred) {
  captureDeviceFront_ = AVCaptureDevice::defaultDeviceWithDeviceType(
      AVCaptureDeviceTypeBuiltInWideAngleCamera, AVMediaTypeVideo, AVCaptureDevicePositionFront);
  captureDeviceRear_ = AVCaptureDevice::defaultDeviceWithDeviceType(
      AVCaptureDeviceTypeBuiltInWideAngleCamera, AVMediaTypeVideo, AVCaptureDevicePositionBack);
  if (preferred == AKCameraDeviceSourceType::rear) {
    currentDevice_ = captureDeviceRear_ ? captureDeviceRear_ : captureDeviceFront_;
  } else {
    currentDevice_ = captureDeviceFront_ ? captureDeviceFront_ : captureDeviceRear_;
  }
}

void AKCameraSessionControl::setupSession(bool detectFaces) {
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
    camera_.capture().updateFlashMode();
  }
  if (detectFaces) {
    metadataOutput_ = std::make_shared<AVCaptureMetadataOutput>();
    metadataQueue_ = dispatch_queue_create("AKCamera_MetadataOutputQueue");
    metadataOutput_->setMetadataObjectsDelegate(camera_.shared(), metadataQueue_);
    if (captureSession_->canAddOutput(metadataOutput_)) {
      captureSession_->addOutput(metadataOutput_);
      metadataOutput_->setMetadataObjectTypes({AVMetadataObjectTypeFace});
    }
  }
}

void AKCameraSessionControl::setupCurrentDevice() {
  if (!currentDevice_) return;
  camera_.controls().deviceDidChange(currentDevice_->hasFlash());
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

void AKCameraSessionControl::switchCamera() {
  QX_DCHECK_MAIN_THREAD();
  currentDevice_ =
      SameDevice(currentDevice_, captureDeviceRear_) ? captureDeviceFront_ : captureDeviceRear_;
  setupCurrentDevice();
}

bool AKCameraSessionControl::isOnFrontCamera() const {
  return SameDevice(currentDevice_, captureDeviceFront_);
}

AVCapturePhotoOutputPtr AKCameraSessionControl::captureOutput() const {
  return std::dynamic_pointer_cast<AVCapturePhotoOutput>(captureOutput_.lock());
}

void AKCameraSessionControl::startRunning() {
  if (!captureSession_->isRunning()) captureSession_->startRunning();
}

void AKCameraSessionControl::startSession() {
  isStopped_ = false;
  startRunning();
}

void AKCameraSessionControl::stopSession() {
  suspendSession();
  captureSession_->stopRunning();
}

void AKCameraSessionControl::suspendSession() {
  isStopped_ = true;
  updateSession(false);
}

void AKCameraSessionControl::updateSession(bool isEnable) {
  if (isStopped_ && isEnable) return;
  if (auto connection = camera_.preview().previewLayer()->connection())
    connection->setEnabled(isEnable);
}
