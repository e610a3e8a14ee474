#pragma once

// The camera's capture session: the devices it chooses between, the input of
// the current one, the photo output, the face metadata output, and the
// switches owners use to pause and resume the preview.

#include <memory>

#include "platform/avfoundation/AVCaptureDevice.h"
#include "platform/avfoundation/AVCaptureMetadataOutput.h"
#include "platform/avfoundation/AVCapturePhotoOutput.h"
#include "platform/avfoundation/AVCaptureSession.h"
#include "platform/foundation/Dispatch.h"

class AKCamera;
enum class AKCameraDeviceSourceType : int64_t;

class AKCameraSessionControl {
 public:
  explicit AKCameraSessionControl(AKCamera& camera);
  ~AKCameraSessionControl();
  AKCameraSessionControl(const AKCameraSessionControl&) = delete;
  AKCameraSessionControl& operator=(const AKCameraSessionControl&) = delete;

  // The front and back wide-angle cameras; the preferred one is current, or
  // the other when it is missing.
  void setupDevices(AKCameraDeviceSourceType preferred);
  // Preset, the current device's input, the photo output and, when faces are
  // wanted, the metadata output reporting to the camera.
  void setupSession(bool detectFaces);
  // The flash control for the device, the device as the only input, and
  // continuous focus and exposure where it has them.
  void setupCurrentDevice();
  // Back becomes front and anything else becomes back.
  void switchCamera();

  void startSession();
  void stopSession();
  void suspendSession();
  void updateSession(bool isEnable);
  // Starts the session, leaving a running one as it is.
  void startRunning();

  bool isOnFrontCamera() const;
  const AVCaptureSessionPtr& captureSession() const { return captureSession_; }
  const AVCaptureDevicePtr& currentDevice() const { return currentDevice_; }
  const AVCaptureDevicePtr& captureDeviceFront() const { return captureDeviceFront_; }
  const AVCaptureDevicePtr& captureDeviceRear() const { return captureDeviceRear_; }
  AVCapturePhotoOutputPtr captureOutput() const;
  bool isStopped() const { return isStopped_; }

 private:
  AKCamera& camera_;
  const AVCaptureSessionPtr captureSession_ = std::make_shared<AVCaptureSession>();
  AVCaptureDevicePtr currentDevice_;
  AVCaptureDevicePtr captureDeviceFront_;
  AVCaptureDevicePtr captureDeviceRear_;
  std::weak_ptr<AVCaptureOutput> captureOutput_;
  AVCaptureMetadataOutputPtr metadataOutput_;
  dispatch_queue_t metadataQueue_;
  bool isStopped_ = false;
};
