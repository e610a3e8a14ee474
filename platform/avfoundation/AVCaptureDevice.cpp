#include "platform/avfoundation/AVCaptureDevice.h"

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/Mutex.h"

const char* const AVCaptureDeviceTypeBuiltInWideAngleCamera =
    "AVCaptureDeviceTypeBuiltInWideAngleCamera";

AVCaptureDevice::AVCaptureDevice(AVCaptureCamera camera) : camera_(std::move(camera)) {}

std::shared_ptr<AVCaptureDevice> AVCaptureDevice::defaultDeviceWithDeviceType(
    const std::string& deviceType, const std::string& mediaType, AVCaptureDevicePosition position) {
  if (deviceType != AVCaptureDeviceTypeBuiltInWideAngleCamera || mediaType != AVMediaTypeVideo) {
    return nullptr;
  }
  for (const AVCaptureCamera& camera : AVCaptureHardware::current()->cameras()) {
    if (position == AVCaptureDevicePositionUnspecified || camera.position == position) {
      return std::make_shared<AVCaptureDevice>(camera);
    }
  }
  return nullptr;
}

std::shared_ptr<AVCaptureDevice> AVCaptureDevice::defaultDeviceWithMediaType(
    const std::string& mediaType) {
  return defaultDeviceWithDeviceType(AVCaptureDeviceTypeBuiltInWideAngleCamera, mediaType,
                                     AVCaptureDevicePositionUnspecified);
}

AVAuthorizationStatus AVCaptureDevice::authorizationStatusForMediaType(const std::string&) {
  return AVCaptureHardware::current()->authorizationStatus();
}

void AVCaptureDevice::requestAccessForMediaType(const std::string&,
                                                OnceCallback<void(bool)> handler) {
  const bool granted =
      AVCaptureHardware::current()->requestAccess() == AVAuthorizationStatusAuthorized;
  dispatch_bind_to_queue(dispatch_get_global_queue(DispatchQoS::Default),
                         std::move(handler))(granted);
}

bool AVCaptureDevice::hasMediaType(const std::string& mediaType) const {
  return mediaType == AVMediaTypeVideo;
}

bool AVCaptureDevice::lockForConfiguration(NSErrorPtr* error) {
  MutexLock lock(mutex_);
  if (locked_) {
    if (error) {
      *error = NSError::errorWithDescription(AVFoundationErrorDomain, AVErrorUnknown,
                                             "The device is locked by another client");
    }
    return false;
  }
  locked_ = true;
  return true;
}

void AVCaptureDevice::unlockForConfiguration() {
  MutexLock lock(mutex_);
  locked_ = false;
}

void AVCaptureDevice::requireLock(const char* what) const {
  if (!locked_) {
    FatalStop(std::string("*** -[AVCaptureDevice ") + what +
              "] Must call lockForConfiguration: before setting this property.");
  }
}

bool AVCaptureDevice::isFocusModeSupported(AVCaptureFocusMode mode) const {
  return mode >= AVCaptureFocusModeLocked && mode <= AVCaptureFocusModeContinuousAutoFocus;
}

AVCaptureFocusMode AVCaptureDevice::focusMode() const {
  MutexLock lock(mutex_);
  return focusMode_;
}

void AVCaptureDevice::setFocusMode(AVCaptureFocusMode mode) {
  MutexLock lock(mutex_);
  requireLock("setFocusMode:");
  if (isFocusModeSupported(mode)) focusMode_ = mode;
}

CGPoint AVCaptureDevice::focusPointOfInterest() const {
  MutexLock lock(mutex_);
  return focusPoint_;
}

void AVCaptureDevice::setFocusPointOfInterest(CGPoint point) {
  MutexLock lock(mutex_);
  requireLock("setFocusPointOfInterest:");
  focusPoint_ = point;
}

bool AVCaptureDevice::isExposureModeSupported(AVCaptureExposureMode mode) const {
  return mode >= AVCaptureExposureModeLocked && mode <= AVCaptureExposureModeContinuousAutoExposure;
}

AVCaptureExposureMode AVCaptureDevice::exposureMode() const {
  MutexLock lock(mutex_);
  return exposureMode_;
}

void AVCaptureDevice::setExposureMode(AVCaptureExposureMode mode) {
  MutexLock lock(mutex_);
  requireLock("setExposureMode:");
  if (isExposureModeSupported(mode)) exposureMode_ = mode;
}

CGPoint AVCaptureDevice::exposurePointOfInterest() const {
  MutexLock lock(mutex_);
  return exposurePoint_;
}

void AVCaptureDevice::setExposurePointOfInterest(CGPoint point) {
  MutexLock lock(mutex_);
  requireLock("setExposurePointOfInterest:");
  exposurePoint_ = point;
}

bool AVCaptureDevice::isEqual(const NSObject& other) const {
  auto* device = dynamic_cast<const AVCaptureDevice*>(&other);
  return device && device->uniqueID() == uniqueID();
}

std::shared_ptr<AVCaptureDeviceInput> AVCaptureDeviceInput::deviceInputWithDevice(
    const AVCaptureDevicePtr& device, NSErrorPtr* error) {
  // A user who refused the camera gets no picture from it: the source is
  // never opened.
  const AVAuthorizationStatus status = AVCaptureHardware::current()->authorizationStatus();
  if (device && (status == AVAuthorizationStatusDenied || status == AVAuthorizationStatusRestricted)) {
    if (error) {
      *error = NSError::errorWithDescription(AVFoundationErrorDomain,
                                             AVErrorApplicationIsNotAuthorizedToUseDevice,
                                             "Not authorized to use the camera");
    }
    return nullptr;
  }
  NSErrorPtr failure;
  AVCaptureFrameSourcePtr source =
      device ? AVCaptureHardware::current()->openSource(device->camera(), failure) : nullptr;
  if (!source) {
    if (!failure) {
      failure = NSError::errorWithDescription(AVFoundationErrorDomain, AVErrorDeviceNotConnected,
                                              "No device");
    }
    if (error) *error = failure;
    return nullptr;
  }
  return std::make_shared<AVCaptureDeviceInput>(device, std::move(source));
}

AVCaptureDeviceInput::AVCaptureDeviceInput(AVCaptureDevicePtr device, AVCaptureFrameSourcePtr source)
    : device_(std::move(device)), source_(std::move(source)) {}
