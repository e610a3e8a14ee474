#pragma once

// Metadata objects of a session's camera. Only faces exist, and only when the
// hardware reports them: no face detector runs here.

#include <memory>
#include <string>
#include <vector>

#include "platform/avfoundation/AVCaptureSession.h"
#include "platform/foundation/Mutex.h"

extern const char* const AVMetadataObjectTypeFace;

class AVMetadataObject : public NSObject {
 public:
  AVMetadataObject(std::string type, CGRect bounds) : type_(std::move(type)), bounds_(bounds) {}
  const std::string& type() const { return type_; }
  // Normalized to the frame (0 to 1).
  CGRect bounds() const { return bounds_; }
  std::string className() const override { return "AVMetadataObject"; }

 private:
  std::string type_;
  CGRect bounds_;
};

class AVMetadataFaceObject : public AVMetadataObject {
 public:
  AVMetadataFaceObject(int64_t faceID, CGRect bounds)
      : AVMetadataObject(AVMetadataObjectTypeFace, bounds), faceID_(faceID) {}
  int64_t faceID() const { return faceID_; }
  std::string className() const override { return "AVMetadataFaceObject"; }

 private:
  int64_t faceID_;
};

using AVMetadataObjectPtr = std::shared_ptr<AVMetadataObject>;

class AVCaptureMetadataOutput;

class AVCaptureMetadataOutputObjectsDelegate {
 public:
  virtual ~AVCaptureMetadataOutputObjectsDelegate() = default;
  virtual void captureOutputDidOutputMetadataObjects(AVCaptureOutput& output,
                                                     const std::vector<AVMetadataObjectPtr>& objects,
                                                     const AVCaptureConnectionPtr& connection) = 0;
};

// Batches reach the delegate (held weakly) on its queue while the session
// runs, the connection is enabled and the batch's type is asked for.
class AVCaptureMetadataOutput : public AVCaptureOutput {
 public:
  ~AVCaptureMetadataOutput() override;

  void setMetadataObjectsDelegate(const std::shared_ptr<AVCaptureMetadataOutputObjectsDelegate>& delegate,
                                  dispatch_queue_t queue);
  std::vector<std::string> availableMetadataObjectTypes() const;
  std::vector<std::string> metadataObjectTypes() const;
  // Types not available are refused (the platform raises; here nothing is set).
  void setMetadataObjectTypes(const std::vector<std::string>& types);
  std::string className() const override { return "AVCaptureMetadataOutput"; }

 protected:
  void attach(const std::shared_ptr<AVCaptureSession>& session) override;

 private:
  void deliver(const std::string& uniqueID, const std::vector<AVCaptureFaceReport>& faces);

  mutable Mutex mutex_;
  std::weak_ptr<AVCaptureMetadataOutputObjectsDelegate> delegate_ GUARDED_BY(mutex_);
  dispatch_queue_t queue_ GUARDED_BY(mutex_);
  std::vector<std::string> types_ GUARDED_BY(mutex_);
  uint64_t listener_ GUARDED_BY(mutex_) = 0;
  std::shared_ptr<AVCaptureHardware> hardware_ GUARDED_BY(mutex_);
};
using AVCaptureMetadataOutputPtr = std::shared_ptr<AVCaptureMetadataOutput>;
