#pragma once

// The capture session: inputs feed outputs through connections while it runs.
// Running reads the first device input's source: a file source's frames
// follow the platform clock from the moment the session started.

#include <memory>
#include <string>
#include <vector>

#include "platform/avfoundation/AVCaptureDevice.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSObject.h"

extern const char* const AVCaptureSessionPresetPhoto;
extern const char* const AVCaptureSessionPresetHigh;
extern const char* const AVCaptureSessionDidStartRunningNotification;
extern const char* const AVCaptureSessionDidStopRunningNotification;
// Posted, on the thread that found it, when the source fails while running;
// the user info holds the error under AVCaptureSessionErrorKey. The session
// stops.
extern const char* const AVCaptureSessionRuntimeErrorNotification;
extern const char* const AVCaptureSessionErrorKey;

enum AVCaptureVideoOrientation : int64_t {
  AVCaptureVideoOrientationPortrait = 1,
  AVCaptureVideoOrientationPortraitUpsideDown = 2,
  AVCaptureVideoOrientationLandscapeRight = 3,
  AVCaptureVideoOrientationLandscapeLeft = 4,
};

class AVCaptureSession;

// A video connection of an output or a preview layer. Safe from any thread.
class AVCaptureConnection : public NSObject {
 public:
  static constexpr double kMaxScaleAndCropFactor = 16;

  bool isEnabled() const;
  void setEnabled(bool enabled);
  // Whether the session feeds it video now.
  bool isActive() const;
  bool isVideoOrientationSupported() const { return true; }
  AVCaptureVideoOrientation videoOrientation() const;
  void setVideoOrientation(AVCaptureVideoOrientation orientation);
  double videoMaxScaleAndCropFactor() const { return kMaxScaleAndCropFactor; }
  double videoScaleAndCropFactor() const;
  // Clamped to [1, videoMaxScaleAndCropFactor].
  void setVideoScaleAndCropFactor(double factor);

  std::shared_ptr<AVCaptureSession> session() const {
    MutexLock lock(mutex_);
    return session_.lock();
  }
  void setSession(std::weak_ptr<AVCaptureSession> session);
  std::string className() const override { return "AVCaptureConnection"; }

 private:
  mutable Mutex mutex_;
  std::weak_ptr<AVCaptureSession> session_ GUARDED_BY(mutex_);
  bool enabled_ GUARDED_BY(mutex_) = true;
  AVCaptureVideoOrientation orientation_ GUARDED_BY(mutex_) = AVCaptureVideoOrientationPortrait;
  double scaleAndCrop_ GUARDED_BY(mutex_) = 1;
};

using AVCaptureConnectionPtr = std::shared_ptr<AVCaptureConnection>;

class AVCaptureOutput : public NSObject {
 public:
  // The video connection while the output is in a session with a video input.
  AVCaptureConnectionPtr connectionWithMediaType(const std::string& mediaType) const;
  std::vector<AVCaptureConnectionPtr> connections() const;
  std::shared_ptr<AVCaptureSession> session() const { return connection_->session(); }
  std::string className() const override { return "AVCaptureOutput"; }

 protected:
  friend class AVCaptureSession;
  // Called by the session when the output joins (a session) or leaves (null).
  virtual void attach(const std::shared_ptr<AVCaptureSession>& session);
  const AVCaptureConnectionPtr connection_ = std::make_shared<AVCaptureConnection>();
};

using AVCaptureOutputPtr = std::shared_ptr<AVCaptureOutput>;

class AVCaptureSession : public NSObject {
 public:
  AVCaptureSession();

  std::string sessionPreset() const;
  void setSessionPreset(const std::string& preset);

  std::vector<std::shared_ptr<AVCaptureInput>> inputs() const;
  bool canAddInput(const std::shared_ptr<AVCaptureInput>& input) const;
  void addInput(const std::shared_ptr<AVCaptureInput>& input);
  void removeInput(const std::shared_ptr<AVCaptureInput>& input);
  std::vector<AVCaptureOutputPtr> outputs() const;
  bool canAddOutput(const AVCaptureOutputPtr& output) const;
  void addOutput(const AVCaptureOutputPtr& output);
  void removeOutput(const AVCaptureOutputPtr& output);

  // Both block until the session's own queue has done the work, as on the
  // platform; the notifications are posted from that queue.
  void startRunning();
  void stopRunning();
  bool isRunning() const;

  // The device input feeding video, when any.
  std::shared_ptr<AVCaptureDeviceInput> videoInput() const;
  // The frame the camera delivers now, for outputs and preview layers.
  // nullptr while not running or without input; a failing source stops the
  // session and reports the runtime error, which `error` also gets.
  AVCaptureFramePtr currentFrame(NSErrorPtr* error = nullptr);
  // The last frame delivered (also after stopping); nullptr before any.
  AVCaptureFramePtr lastFrame() const;

  std::string className() const override { return "AVCaptureSession"; }

 private:
  void stopWithError(const NSErrorPtr& error);

  const dispatch_queue_t queue_;
  mutable Mutex mutex_;
  std::string preset_ GUARDED_BY(mutex_);
  std::vector<std::shared_ptr<AVCaptureInput>> inputs_ GUARDED_BY(mutex_);
  std::vector<AVCaptureOutputPtr> outputs_ GUARDED_BY(mutex_);
  bool running_ GUARDED_BY(mutex_) = false;
  double startedAt_ GUARDED_BY(mutex_) = 0;
  AVCaptureFramePtr last_ GUARDED_BY(mutex_);
};

using AVCaptureSessionPtr = std::shared_ptr<AVCaptureSession>;
