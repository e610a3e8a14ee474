#pragma once

// The cameras the capture classes read. A camera is a real video source read
// through libavformat and libavdevice: a V4L2 device ("/dev/videoN") or a
// video or still image file standing in for one. The device's hardware is
// configured from the environment:
//
//   QX_CAMERA_SOURCE        the back camera's source (path); unset: no back camera
//   QX_FRONT_CAMERA_SOURCE  the front camera's source; unset: no front camera
//   QX_CAMERA_AUTHORIZATION the video authorization status: "authorized"
//                           (default), "denied", "restricted" or "notDetermined"
//   QX_CAMERA_AUTHORIZATION_PROMPT  the answer to an access request made
//                           while not determined ("authorized" unless set),
//                           which then holds
//
// A file source loops on the platform clock at its own frame rate (a still
// image shows for ever); a V4L2 source gives the newest frame it has. A
// still image is held to the limits of every image (ImageBitmap.h): past
// those it is read scaled down to the largest size within them, and past
// what can be read so it is refused; a video or a camera whose pictures
// are larger than a video may be (kAVMaxVideoPixels) is refused. Frames
// are upright as the source stores them: the camera's sensor is taken to be
// in portrait, so photos taken in portrait need no EXIF turn. No face
// detector runs here: face metadata comes only from hardware that reports
// it (tests script it).
//
// Tests install hardware of their own (tests/support/camera).

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/avfoundation/AVError.h"
#include "platform/coregraphics/CGGeometry.h"
#include "platform/coregraphics/CGImage.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/ValueFwd.h"

enum AVCaptureDevicePosition : int64_t {
  AVCaptureDevicePositionUnspecified = 0,
  AVCaptureDevicePositionBack = 1,
  AVCaptureDevicePositionFront = 2,
};

enum AVAuthorizationStatus : int64_t {
  AVAuthorizationStatusNotDetermined = 0,
  AVAuthorizationStatusRestricted = 1,
  AVAuthorizationStatusDenied = 2,
  AVAuthorizationStatusAuthorized = 3,
};

// One frame: upright pixels, and the JPEG the source coded it as when it did
// (MJPEG cameras and JPEG stills), so a photo can keep it unchanged.
struct AVCaptureFrame {
  CGImageRef image;
  std::shared_ptr<const Bytes> jpeg;
  int64_t index = 0;
};
using AVCaptureFramePtr = std::shared_ptr<const AVCaptureFrame>;

// Reads the frames of one opened source. Safe from any thread.
class AVCaptureFrameSource {
 public:
  virtual ~AVCaptureFrameSource() = default;
  // The frame showing `elapsed` seconds after the source started; an error
  // when the source stopped delivering.
  virtual AVCaptureFramePtr frameAt(double elapsed, NSErrorPtr& error) = 0;
  virtual CGSize dimensions() const = 0;
};
using AVCaptureFrameSourcePtr = std::shared_ptr<AVCaptureFrameSource>;

// A source read through libavformat: V4L2 for a video device, any video or
// image file otherwise. Opening never waits: a source that is neither a
// regular file nor a video device (a fifo, a socket, another device) is
// refused with AVErrorFileFormatNotRecognized. nullptr with an
// AVFoundationErrorDomain error when it cannot be opened (a missing path under
// /dev/ is a camera not connected), has no video stream, or its first frame
// cannot be decoded.
AVCaptureFrameSourcePtr AVOpenCaptureSource(const std::string& path, NSErrorPtr& error);

struct AVCaptureCamera {
  std::string uniqueID;
  AVCaptureDevicePosition position = AVCaptureDevicePositionUnspecified;
  std::string source;
  bool hasFlash = false;
};

// One face the hardware found, in normalized frame coordinates.
struct AVCaptureFaceReport {
  int64_t faceID = 0;
  CGRect bounds;
};

class AVCaptureHardware {
 public:
  virtual ~AVCaptureHardware() = default;

  // Safe from any thread.
  static std::shared_ptr<AVCaptureHardware> current();
  // nullptr restores the hardware the environment describes.
  static void setCurrent(std::shared_ptr<AVCaptureHardware> hardware);

  virtual std::vector<AVCaptureCamera> cameras() = 0;
  virtual AVCaptureFrameSourcePtr openSource(const AVCaptureCamera& camera, NSErrorPtr& error) = 0;
  virtual AVAuthorizationStatus authorizationStatus() = 0;
  // The person's answer to an access request; it then holds.
  virtual AVAuthorizationStatus requestAccess() = 0;

  // `listener` gets each batch of faces the camera reports, on any thread.
  using FaceListener = std::function<void(const std::string& uniqueID,
                                          const std::vector<AVCaptureFaceReport>&)>;
  virtual uint64_t addFaceListener(FaceListener listener) = 0;
  virtual void removeFaceListener(uint64_t token) = 0;
};

// The hardware of the environment variables above.
class AVEnvironmentCaptureHardware : public AVCaptureHardware {
 public:
  std::vector<AVCaptureCamera> cameras() override;
  AVCaptureFrameSourcePtr openSource(const AVCaptureCamera& camera, NSErrorPtr& error) override;
  AVAuthorizationStatus authorizationStatus() override;
  AVAuthorizationStatus requestAccess() override;
  uint64_t addFaceListener(FaceListener) override { return 0; }
  void removeFaceListener(uint64_t) override {}

  // "authorized", "denied", "restricted", "notDetermined"; nullopt for
  // any other text.
  static std::optional<AVAuthorizationStatus> statusNamed(const std::string& name);

 private:
  Mutex mutex_;  // guards status_
  std::optional<AVAuthorizationStatus> status_ GUARDED_BY(mutex_);
};
