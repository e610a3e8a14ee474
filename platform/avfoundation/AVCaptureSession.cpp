#include "platform/avfoundation/AVCaptureSession.h"

#include <algorithm>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/foundation/Value.h"

const char* const AVCaptureSessionPresetPhoto = "AVCaptureSessionPresetPhoto";
const char* const AVCaptureSessionPresetHigh = "AVCaptureSessionPresetHigh";
const char* const AVCaptureSessionDidStartRunningNotification =
    "AVCaptureSessionDidStartRunningNotification";
const char* const AVCaptureSessionDidStopRunningNotification =
    "AVCaptureSessionDidStopRunningNotification";
const char* const AVCaptureSessionRuntimeErrorNotification =
    "AVCaptureSessionRuntimeErrorNotification";
const char* const AVCaptureSessionErrorKey = "AVCaptureSessionErrorKey";

bool AVCaptureConnection::isEnabled() const {
  MutexLock lock(mutex_);
  return enabled_;
}

void AVCaptureConnection::setEnabled(bool enabled) {
  MutexLock lock(mutex_);
  enabled_ = enabled;
}

bool AVCaptureConnection::isActive() const {
  auto session = this->session();
  return session && session->videoInput() && session->isRunning();
}

AVCaptureVideoOrientation AVCaptureConnection::videoOrientation() const {
  MutexLock lock(mutex_);
  return orientation_;
}

void AVCaptureConnection::setVideoOrientation(AVCaptureVideoOrientation orientation) {
  if (orientation < AVCaptureVideoOrientationPortrait ||
      orientation > AVCaptureVideoOrientationLandscapeLeft) {
    return;
  }
  MutexLock lock(mutex_);
  orientation_ = orientation;
}

double AVCaptureConnection::videoScaleAndCropFactor() const {
  MutexLock lock(mutex_);
  return scaleAndCrop_;
}

void AVCaptureConnection::setVideoScaleAndCropFactor(double factor) {
  if (!(factor >= 1)) factor = 1;  // NaN too
  MutexLock lock(mutex_);
  scaleAndCrop_ = std::min(factor, kMaxScaleAndCropFactor);
}

void AVCaptureConnection::setSession(std::weak_ptr<AVCaptureSession> session) {
  MutexLock lock(mutex_);
  session_ = std::move(session);
}

AVCaptureConnectionPtr AVCaptureOutput::connectionWithMediaType(const std::string& mediaType) const {
  auto session = this->session();
  if (mediaType != AVMediaTypeVideo || !session || !session->videoInput()) return nullptr;
  return connection_;
}

std::vector<AVCaptureConnectionPtr> AVCaptureOutput::connections() const {
  auto connection = connectionWithMediaType(AVMediaTypeVideo);
  if (!connection) return {};
  return {connection};
}

void AVCaptureOutput::attach(const std::shared_ptr<AVCaptureSession>& session) {
  connection_->setSession(session);
}

AVCaptureSession::AVCaptureSession()
    : queue_(dispatch_queue_create("AVCaptureSession")), preset_(AVCaptureSessionPresetHigh) {}

std::string AVCaptureSession::sessionPreset() const {
  MutexLock lock(mutex_);
  return preset_;
}

void AVCaptureSession::setSessionPreset(const std::string& preset) {
  MutexLock lock(mutex_);
  preset_ = preset;
}

std::vector<std::shared_ptr<AVCaptureInput>> AVCaptureSession::inputs() const {
  MutexLock lock(mutex_);
  return inputs_;
}

bool AVCaptureSession::canAddInput(const std::shared_ptr<AVCaptureInput>& input) const {
  if (!std::dynamic_pointer_cast<AVCaptureDeviceInput>(input)) return false;
  MutexLock lock(mutex_);
  // One camera at a time, as a phone's session allows.
  return inputs_.empty();
}

void AVCaptureSession::addInput(const std::shared_ptr<AVCaptureInput>& input) {
  if (!canAddInput(input)) return;
  MutexLock lock(mutex_);
  inputs_.push_back(input);
}

void AVCaptureSession::removeInput(const std::shared_ptr<AVCaptureInput>& input) {
  MutexLock lock(mutex_);
  std::erase(inputs_, input);
}

std::vector<AVCaptureOutputPtr> AVCaptureSession::outputs() const {
  MutexLock lock(mutex_);
  return outputs_;
}

bool AVCaptureSession::canAddOutput(const AVCaptureOutputPtr& output) const {
  if (!output || output->session()) return false;
  MutexLock lock(mutex_);
  // One output of each kind.
  const AVCaptureOutput* added = output.get();
  return std::none_of(outputs_.begin(), outputs_.end(), [&](const AVCaptureOutputPtr& o) {
    const AVCaptureOutput* present = o.get();
    return typeid(*present) == typeid(*added);
  });
}

void AVCaptureSession::addOutput(const AVCaptureOutputPtr& output) {
  if (!canAddOutput(output)) return;
  {
    MutexLock lock(mutex_);
    outputs_.push_back(output);
  }
  output->attach(std::static_pointer_cast<AVCaptureSession>(shared_from_this()));
}

void AVCaptureSession::removeOutput(const AVCaptureOutputPtr& output) {
  {
    MutexLock lock(mutex_);
    auto it = std::find(outputs_.begin(), outputs_.end(), output);
    if (it == outputs_.end()) return;
    outputs_.erase(it);
  }
  output->attach(nullptr);
}

std::shared_ptr<AVCaptureDeviceInput> AVCaptureSession::videoInput() const {
  MutexLock lock(mutex_);
  for (const auto& input : inputs_) {
    if (auto device = std::dynamic_pointer_cast<AVCaptureDeviceInput>(input)) return device;
  }
  return nullptr;
}

void AVCaptureSession::startRunning() {
  auto self = std::static_pointer_cast<AVCaptureSession>(shared_from_this());
  dispatch_sync(queue_, [self] {
    {
      MutexLock lock(self->mutex_);
      if (self->running_) return;
      self->running_ = true;
      self->startedAt_ = PlatformClock::now();
    }
    NSNotificationCenter::defaultCenter().postNotificationName(
        AVCaptureSessionDidStartRunningNotification, self);
  });
}

void AVCaptureSession::stopRunning() {
  auto self = std::static_pointer_cast<AVCaptureSession>(shared_from_this());
  dispatch_sync(queue_, [self] {
    {
      MutexLock lock(self->mutex_);
      if (!self->running_) return;
      self->running_ = false;
    }
    NSNotificationCenter::defaultCenter().postNotificationName(
        AVCaptureSessionDidStopRunningNotification, self);
  });
}

bool AVCaptureSession::isRunning() const {
  MutexLock lock(mutex_);
  return running_;
}

AVCaptureFramePtr AVCaptureSession::lastFrame() const {
  MutexLock lock(mutex_);
  return last_;
}

AVCaptureFramePtr AVCaptureSession::currentFrame(NSErrorPtr* error) {
  auto input = videoInput();
  double elapsed = 0;
  {
    MutexLock lock(mutex_);
    if (!running_ || !input) return nullptr;
    elapsed = PlatformClock::now() - startedAt_;
  }
  NSErrorPtr failure;
  AVCaptureFramePtr frame = input->source()->frameAt(elapsed, failure);
  if (!frame) {
    if (!failure) {
      failure = NSError::errorWithDescription(AVFoundationErrorDomain, AVErrorDeviceNotConnected,
                                              "The camera stopped delivering frames");
    }
    if (error) *error = failure;
    stopWithError(failure);
    return nullptr;
  }
  MutexLock lock(mutex_);
  last_ = frame;
  return frame;
}

void AVCaptureSession::stopWithError(const NSErrorPtr& error) {
  {
    MutexLock lock(mutex_);
    if (!running_) return;
    running_ = false;
  }
  auto self = shared_from_this();
  auto& center = NSNotificationCenter::defaultCenter();
  center.postNotificationName(AVCaptureSessionRuntimeErrorNotification, self,
                              Value::map({{AVCaptureSessionErrorKey, Value(error)}}));
  center.postNotificationName(AVCaptureSessionDidStopRunningNotification, self);
}
