#pragma once

// Capture devices (the cameras of AVCaptureHardware) and the input that
// feeds one into a session.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/avfoundation/AVAsset.h"
#include "platform/avfoundation/AVCaptureHardware.h"
#include "platform/coregraphics/CGGeometry.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/OnceCallback.h"

extern const char* const AVCaptureDeviceTypeBuiltInWideAngleCamera;

enum AVCaptureFocusMode : int64_t {
  AVCaptureFocusModeLocked = 0,
  AVCaptureFocusModeAutoFocus = 1,
  AVCaptureFocusModeContinuousAutoFocus = 2,
};

enum AVCaptureExposureMode : int64_t {
  AVCaptureExposureModeLocked = 0,
  AVCaptureExposureModeAutoExpose = 1,
  AVCaptureExposureModeContinuousAutoExposure = 2,
  AVCaptureExposureModeCustom = 3,
};

enum AVCaptureFlashMode : int64_t {
  AVCaptureFlashModeOff = 0,
  AVCaptureFlashModeOn = 1,
  AVCaptureFlashModeAuto = 2,
};

class AVCaptureDevice : public NSObject {
 public:
  explicit AVCaptureDevice(AVCaptureCamera camera);

  // The camera of the hardware at `position` (only wide-angle cameras, only
  // video); nullptr when there is none.
  static std::shared_ptr<AVCaptureDevice> defaultDeviceWithDeviceType(
      const std::string& deviceType, const std::string& mediaType,
      AVCaptureDevicePosition position);
  static std::shared_ptr<AVCaptureDevice> defaultDeviceWithMediaType(const std::string& mediaType);

  static AVAuthorizationStatus authorizationStatusForMediaType(const std::string& mediaType);
  // Asks the person when not determined; the handler gets whether access is
  // granted, on a background queue.
  static void requestAccessForMediaType(const std::string& mediaType,
                                        OnceCallback<void(bool)> handler);

  const std::string& uniqueID() const { return camera_.uniqueID; }
  AVCaptureDevicePosition position() const { return camera_.position; }
  const AVCaptureCamera& camera() const { return camera_; }
  bool hasFlash() const { return camera_.hasFlash; }
  bool hasMediaType(const std::string& mediaType) const;

  // Configuration: the focus and exposure setters need the lock (a change
  // without it stops the process, as on the platform). Locking fails with an
  // error while another client holds it.
  bool lockForConfiguration(NSErrorPtr* error = nullptr);
  void unlockForConfiguration();

  bool isFocusPointOfInterestSupported() const { return true; }
  bool isFocusModeSupported(AVCaptureFocusMode mode) const;
  AVCaptureFocusMode focusMode() const;
  void setFocusMode(AVCaptureFocusMode mode);
  CGPoint focusPointOfInterest() const;
  void setFocusPointOfInterest(CGPoint point);

  bool isExposurePointOfInterestSupported() const { return true; }
  bool isExposureModeSupported(AVCaptureExposureMode mode) const;
  AVCaptureExposureMode exposureMode() const;
  void setExposureMode(AVCaptureExposureMode mode);
  CGPoint exposurePointOfInterest() const;
  void setExposurePointOfInterest(CGPoint point);

  bool isEqual(const NSObject& other) const override;
  std::string className() const override { return "AVCaptureDevice"; }

 private:
  void requireLock(const char* what) const REQUIRES(mutex_);

  const AVCaptureCamera camera_;
  mutable Mutex mutex_;  // guards the configuration below
  bool locked_ GUARDED_BY(mutex_) = false;
  AVCaptureFocusMode focusMode_ GUARDED_BY(mutex_) = AVCaptureFocusModeContinuousAutoFocus;
  AVCaptureExposureMode exposureMode_ GUARDED_BY(mutex_) =
      AVCaptureExposureModeContinuousAutoExposure;
  CGPoint focusPoint_ GUARDED_BY(mutex_) = {0.5, 0.5};
  CGPoint exposurePoint_ GUARDED_BY(mutex_) = {0.5, 0.5};
};

using AVCaptureDevicePtr = std::shared_ptr<AVCaptureDevice>;

class AVCaptureInput : public NSObject {
 public:
  std::string className() const override { return "AVCaptureInput"; }
};

// Opens the device's source on creation, so a source that cannot be read
// fails here.
class AVCaptureDeviceInput : public AVCaptureInput {
 public:
  // Fails with AVErrorApplicationIsNotAuthorizedToUseDevice while camera
  // access is denied or restricted, and with the source's error when it
  // cannot be opened.
  static std::shared_ptr<AVCaptureDeviceInput> deviceInputWithDevice(const AVCaptureDevicePtr& device,
                                                                     NSErrorPtr* error);
  AVCaptureDeviceInput(AVCaptureDevicePtr device, AVCaptureFrameSourcePtr source);

  const AVCaptureDevicePtr& device() const { return device_; }
  const AVCaptureFrameSourcePtr& source() const { return source_; }
  std::string className() const override { return "AVCaptureDeviceInput"; }

 private:
  AVCaptureDevicePtr device_;
  AVCaptureFrameSourcePtr source_;
};
