#pragma once

// The road of one photo, from the shutter to the owner: settings from the
// camera's defaults, one capturer per photo on the session queue, the GPS
// dictionary, and the delivery cropped to what the preview showed. One photo
// at a time: the shutter stays disabled until the photo ends.

#include <memory>
#include <optional>

#include "AKCamera/AKCameraPhotoCapturer.h"
#include "platform/avfoundation/AVCapturePhotoOutput.h"
#include "platform/foundation/Dispatch.h"
#include "platform/uikit/UIImage.h"

class AKCamera;

class AKCameraCapture {
 public:
  explicit AKCameraCapture(AKCamera& camera);
  AKCameraCapture(const AKCameraCapture&) = delete;
  AKCameraCapture& operator=(const AKCameraCapture&) = delete;

  // The flash mode the camera shows, into the default settings, when the
  // current device and the photo output support it.
  void updateFlashMode();
  void takePicture();

  const dispatch_queue_t& sessionQueue() const { return sessionQueue_; }
  const AVCapturePhotoSettingsPtr& defaultPhotoSettings();
  const std::shared_ptr<AKCameraPhotoCapturer>& currentCapturer() const { return currentCapturer_; }

  static UIImagePtr cropImageToVisiblePreview(const UIImagePtr& image, CGRect visibleRect);
  static UIImagePtr developPhoto(const std::shared_ptr<Bytes>& data, CGRect visibleRect,
                                 std::optional<ValueMap>& metadata);

 private:
  // What the shutter saw, taken on the main thread for the session queue.
  struct CaptureRequest {
    AVCapturePhotoOutputPtr output;
    AVCapturePhotoSettingsPtr settings;
    AVCaptureVideoOrientation orientation;
    double zoomScale;
    CGRect visibleRect;  // the preview's metadata rectangle at the shutter
  };
  // Runs on sessionQueue.
  void capturePicture(const std::shared_ptr<AKCameraPhotoCapturer>& capturer,
                      const CaptureRequest& request);
  // Runs on the output's queue: decodes, crops and hands over on the main thread.
  void deliver(const std::shared_ptr<AKCameraPhotoCapturer>& capturer,
               const std::shared_ptr<Bytes>& data, CGRect visibleRect);
  // On the main thread: the photo in progress ends, the shutter works again.
  void finishCapture(const std::shared_ptr<AKCameraPhotoCapturer>& capturer);

  AKCamera& camera_;
  const dispatch_queue_t sessionQueue_;
  AVCapturePhotoSettingsPtr defaultPhotoSettings_;
  std::shared_ptr<AKCameraPhotoCapturer> currentCapturer_;  // main thread only
};
