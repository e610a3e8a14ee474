#include "platform/avfoundation/AVCaptureMetadataOutput.h"

#include <algorithm>

#include "platform/foundation/Mutex.h"

const char* const AVMetadataObjectTypeFace = "face";

AVCaptureMetadataOutput::~AVCaptureMetadataOutput() {
  if (hardware_ && listener_) hardware_->removeFaceListener(listener_);
}

void AVCaptureMetadataOutput::setMetadataObjectsDelegate(
    const std::shared_ptr<AVCaptureMetadataOutputObjectsDelegate>& delegate, dispatch_queue_t queue) {
  MutexLock lock(mutex_);
  delegate_ = delegate;
  queue_ = std::move(queue);
}

std::vector<std::string> AVCaptureMetadataOutput::availableMetadataObjectTypes() const {
  if (!connectionWithMediaType(AVMediaTypeVideo)) return {};
  return {AVMetadataObjectTypeFace};
}

std::vector<std::string> AVCaptureMetadataOutput::metadataObjectTypes() const {
  MutexLock lock(mutex_);
  return types_;
}

void AVCaptureMetadataOutput::setMetadataObjectTypes(const std::vector<std::string>& types) {
  const auto available = availableMetadataObjectTypes();
  for (const auto& type : types) {
    if (std::find(available.begin(), available.end(), type) == available.end()) return;
  }
  MutexLock lock(mutex_);
  types_ = types;
}

void AVCaptureMetadataOutput::attach(const std::shared_ptr<AVCaptureSession>& session) {
  AVCaptureOutput::attach(session);
  MutexLock lock(mutex_);
  if (hardware_ && listener_) hardware_->removeFaceListener(listener_);
  hardware_.reset();
  listener_ = 0;
  if (!session) return;
  hardware_ = AVCaptureHardware::current();
  std::weak_ptr<AVCaptureMetadataOutput> weak =
      std::static_pointer_cast<AVCaptureMetadataOutput>(shared_from_this());
  listener_ = hardware_->addFaceListener(
      [weak](const std::string& uniqueID, const std::vector<AVCaptureFaceReport>& faces) {
        if (auto self = weak.lock()) self->deliver(uniqueID, faces);
      });
}

void AVCaptureMetadataOutput::deliver(const std::string& uniqueID,
                                      const std::vector<AVCaptureFaceReport>& faces) {
  auto session = this->session();
  auto input = session ? session->videoInput() : nullptr;
  if (!input || input->device()->uniqueID() != uniqueID || !session->isRunning() ||
      !connection_->isEnabled()) {
    return;
  }
  std::shared_ptr<AVCaptureMetadataOutputObjectsDelegate> delegate;
  dispatch_queue_t queue;
  {
    MutexLock lock(mutex_);
    if (std::find(types_.begin(), types_.end(), AVMetadataObjectTypeFace) == types_.end()) return;
    delegate = delegate_.lock();
    queue = queue_;
  }
  if (!delegate || !queue) return;
  std::vector<AVMetadataObjectPtr> objects;
  for (const auto& face : faces) {
    objects.push_back(std::make_shared<AVMetadataFaceObject>(face.faceID, face.bounds));
  }
  auto self = std::static_pointer_cast<AVCaptureMetadataOutput>(shared_from_this());
  std::weak_ptr<AVCaptureMetadataOutputObjectsDelegate> weakDelegate = delegate;
  dispatch_async(queue, [self, weakDelegate, objects] {
    if (auto d = weakDelegate.lock()) {
      d->captureOutputDidOutputMetadataObjects(*self, objects, self->connection_);
    }
  });
}
