#include "support/camera/ScriptedCaptureHardware.h"

class ScriptedCaptureHardware::Source : public AVCaptureFrameSource {
 public:
  Source(std::shared_ptr<ScriptedCaptureHardware> hardware, std::string uniqueID,
         AVCaptureFrameSourcePtr real)
      : hardware_(std::move(hardware)), uniqueID_(std::move(uniqueID)), real_(std::move(real)) {}

  AVCaptureFramePtr frameAt(double elapsed, NSErrorPtr& error) override {
    {
      std::lock_guard<std::mutex> lock(hardware_->mutex_);
      if (hardware_->stopped_.count(uniqueID_)) {
        error = NSError::errorWithDescription(AVFoundationErrorDomain, AVErrorDeviceNotConnected,
                                              "The camera stopped delivering frames");
        return nullptr;
      }
    }
    return real_->frameAt(elapsed, error);
  }
  CGSize dimensions() const override { return real_->dimensions(); }

 private:
  const std::shared_ptr<ScriptedCaptureHardware> hardware_;
  std::string uniqueID_;
  AVCaptureFrameSourcePtr real_;
};

ScriptedCaptureHardware& ScriptedCaptureHardware::installed() {
  auto current = std::dynamic_pointer_cast<ScriptedCaptureHardware>(AVCaptureHardware::current());
  if (!current) {
    current = std::make_shared<ScriptedCaptureHardware>();
    AVCaptureHardware::setCurrent(current);
  }
  return *current;
}

void ScriptedCaptureHardware::addCamera(AVCaptureDevicePosition position, const std::string& source,
                                        bool hasFlash) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::string id = position == AVCaptureDevicePositionFront ? "camera.front" : "camera.back";
  cameras_.push_back({id, position, source, hasFlash});
}

void ScriptedCaptureHardware::setAuthorizationStatus(AVAuthorizationStatus status) {
  std::lock_guard<std::mutex> lock(mutex_);
  status_ = status;
}

void ScriptedCaptureHardware::setRequestAnswer(AVAuthorizationStatus answer) {
  std::lock_guard<std::mutex> lock(mutex_);
  answer_ = answer;
}

void ScriptedCaptureHardware::stopDelivering(const std::string& uniqueID) {
  std::lock_guard<std::mutex> lock(mutex_);
  stopped_.insert(uniqueID);
}

void ScriptedCaptureHardware::pushFaces(const std::string& uniqueID,
                                        const std::vector<AVCaptureFaceReport>& faces) {
  std::vector<FaceListener> listeners;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [token, listener] : faceListeners_) listeners.push_back(listener);
  }
  for (auto& listener : listeners) listener(uniqueID, faces);
}

int ScriptedCaptureHardware::requestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return requests_;
}

std::vector<AVCaptureCamera> ScriptedCaptureHardware::cameras() {
  std::lock_guard<std::mutex> lock(mutex_);
  return cameras_;
}

AVCaptureFrameSourcePtr ScriptedCaptureHardware::openSource(const AVCaptureCamera& camera,
                                                            NSErrorPtr& error) {
  auto real = AVOpenCaptureSource(camera.source, error);
  if (!real) return nullptr;
  return std::make_shared<Source>(shared_from_this(), camera.uniqueID, std::move(real));
}

AVAuthorizationStatus ScriptedCaptureHardware::authorizationStatus() {
  std::lock_guard<std::mutex> lock(mutex_);
  return status_;
}

AVAuthorizationStatus ScriptedCaptureHardware::requestAccess() {
  std::lock_guard<std::mutex> lock(mutex_);
  ++requests_;
  if (status_ == AVAuthorizationStatusNotDetermined) status_ = answer_;
  return status_;
}

uint64_t ScriptedCaptureHardware::addFaceListener(FaceListener listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  faceListeners_[++next_] = std::move(listener);
  return next_;
}

void ScriptedCaptureHardware::removeFaceListener(uint64_t token) {
  std::lock_guard<std::mutex> lock(mutex_);
  faceListeners_.erase(token);
}
