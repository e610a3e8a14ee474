#pragma once

// Still photos from a session's camera. A capture takes the frame the camera
// delivers at that moment, crops it to the connection's scale-and-crop
// factor, and makes a JPEG: the frame's own coded bytes when the camera
// delivered a JPEG and nothing was cropped, else an encoding of its pixels.
// The photo's metadata carries the EXIF orientation of the connection's
// video orientation (portrait 1, upside down 3, landscape right 8, landscape
// left 6: the sensor is in portrait), the pixel sizes and the dates; the file
// data splices it into the JPEG's EXIF segment without touching the image.
//
// The delegate, held weakly as on the platform, hears on the output's own
// serial queue, in order: willBeginCapture, willCapturePhoto,
// didCapturePhoto, didFinishProcessingPhoto and didFinishCapture. A camera
// that stops delivering gives a photo without file data and the error to
// the last two.

#include <atomic>
#include <memory>
#include <optional>
#include <vector>

#include "platform/avfoundation/AVCaptureSession.h"
#include "platform/foundation/Value.h"

class AVCapturePhotoSettings : public NSObject {
 public:
  AVCapturePhotoSettings();
  static std::shared_ptr<AVCapturePhotoSettings> photoSettings();
  // A copy with a new unique ID.
  static std::shared_ptr<AVCapturePhotoSettings> photoSettingsFromPhotoSettings(
      const AVCapturePhotoSettings& settings);

  int64_t uniqueID() const { return uniqueID_; }
  AVCaptureFlashMode flashMode() const { return flashMode_; }
  void setFlashMode(AVCaptureFlashMode mode) { flashMode_ = mode; }
  bool isHighResolutionPhotoEnabled() const { return highResolution_; }
  void setHighResolutionPhotoEnabled(bool on) { highResolution_ = on; }
  std::string className() const override { return "AVCapturePhotoSettings"; }

 private:
  int64_t uniqueID_;
  AVCaptureFlashMode flashMode_ = AVCaptureFlashModeOff;
  bool highResolution_ = false;
};

using AVCapturePhotoSettingsPtr = std::shared_ptr<AVCapturePhotoSettings>;

class AVCaptureResolvedPhotoSettings : public NSObject {
 public:
  AVCaptureResolvedPhotoSettings(int64_t uniqueID, CGSize dimensions, bool flashEnabled)
      : uniqueID_(uniqueID), dimensions_(dimensions), flashEnabled_(flashEnabled) {}
  int64_t uniqueID() const { return uniqueID_; }
  CGSize photoDimensions() const { return dimensions_; }
  bool isFlashEnabled() const { return flashEnabled_; }
  std::string className() const override { return "AVCaptureResolvedPhotoSettings"; }

 private:
  int64_t uniqueID_;
  CGSize dimensions_;
  bool flashEnabled_;
};

using AVCaptureResolvedPhotoSettingsPtr = std::shared_ptr<AVCaptureResolvedPhotoSettings>;

class AVCapturePhoto;

// Supplies the metadata a photo's file data is written with.
class AVCapturePhotoFileDataRepresentationCustomizer {
 public:
  virtual ~AVCapturePhotoFileDataRepresentationCustomizer() = default;
  // The metadata to write in place of the photo's; nullopt (not
  // implemented) keeps the photo's own.
  virtual std::optional<ValueMap> replacementMetadataForPhoto(const AVCapturePhoto&) {
    return std::nullopt;
  }
};

class AVCapturePhoto : public NSObject {
 public:
  AVCapturePhoto(std::shared_ptr<const Bytes> jpeg, ValueMap metadata, CGImageRef pixels,
                 AVCaptureResolvedPhotoSettingsPtr resolved, double timestamp);

  // "{Exif}", "{TIFF}" and "Orientation"; empty for a failed capture.
  const ValueMap& metadata() const { return metadata_; }
  // The JPEG file with the metadata; nullptr for a failed capture.
  std::shared_ptr<Bytes> fileDataRepresentation() const;
  std::shared_ptr<Bytes> fileDataRepresentationWithCustomizer(
      AVCapturePhotoFileDataRepresentationCustomizer& customizer) const;
  // The frame's pixels (upright, without the EXIF turn); nullptr when failed.
  const CGImageRef& pixelBuffer() const { return pixels_; }
  const AVCaptureResolvedPhotoSettingsPtr& resolvedSettings() const { return resolved_; }
  // Seconds on the platform clock when the frame was taken.
  double timestamp() const { return timestamp_; }
  std::string className() const override { return "AVCapturePhoto"; }

 private:
  std::shared_ptr<Bytes> fileDataWith(const ValueMap& metadata) const;

  std::shared_ptr<const Bytes> jpeg_;
  ValueMap metadata_;
  CGImageRef pixels_;
  AVCaptureResolvedPhotoSettingsPtr resolved_;
  double timestamp_;
};

using AVCapturePhotoPtr = std::shared_ptr<AVCapturePhoto>;

class AVCapturePhotoOutput;

// Every method is optional.
class AVCapturePhotoCaptureDelegate {
 public:
  virtual ~AVCapturePhotoCaptureDelegate() = default;
  virtual void willBeginCaptureForResolvedSettings(AVCapturePhotoOutput&,
                                                   const AVCaptureResolvedPhotoSettingsPtr&) {}
  virtual void willCapturePhotoForResolvedSettings(AVCapturePhotoOutput&,
                                                   const AVCaptureResolvedPhotoSettingsPtr&) {}
  virtual void didCapturePhotoForResolvedSettings(AVCapturePhotoOutput&,
                                                  const AVCaptureResolvedPhotoSettingsPtr&) {}
  virtual void didFinishProcessingPhoto(AVCapturePhotoOutput&, const AVCapturePhotoPtr&,
                                        const NSErrorPtr&) {}
  virtual void didFinishCaptureForResolvedSettings(AVCapturePhotoOutput&,
                                                   const AVCaptureResolvedPhotoSettingsPtr&,
                                                   const NSErrorPtr&) {}
};

class AVCapturePhotoOutput : public AVCaptureOutput {
 public:
  AVCapturePhotoOutput();

  bool isHighResolutionCaptureEnabled() const { return highResolution_; }
  void setHighResolutionCaptureEnabled(bool on) { highResolution_ = on; }
  // Off, plus on and auto when the session's camera has a flash.
  std::vector<AVCaptureFlashMode> supportedFlashModes() const;

  // Returns at once; the delegate hears on the output's queue.
  void capturePhotoWithSettings(const AVCapturePhotoSettingsPtr& settings,
                                const std::shared_ptr<AVCapturePhotoCaptureDelegate>& delegate);

  const dispatch_queue_t& callbackQueue() const { return queue_; }
  std::string className() const override { return "AVCapturePhotoOutput"; }

 private:
  void capture(const AVCapturePhotoSettingsPtr& settings,
               const std::weak_ptr<AVCapturePhotoCaptureDelegate>& delegate);

  const dispatch_queue_t queue_;
  std::atomic<bool> highResolution_{false};
};

using AVCapturePhotoOutputPtr = std::shared_ptr<AVCapturePhotoOutput>;

// EXIF orientation of a photo taken with the connection in `orientation`.
int AVCapturePhotoExifOrientation(AVCaptureVideoOrientation orientation);
