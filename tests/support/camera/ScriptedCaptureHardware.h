#pragma once

// Camera hardware for tests: cameras over real sources (files the test
// makes), read through the same libavformat reader as the device's, with
// switches a test flips: the authorization and the person's answer to a
// request, a camera that stops delivering frames, and face reports.
//
//   auto& hardware = ScriptedCaptureHardware::installed();
//   hardware.addCamera(AVCaptureDevicePositionBack, folder.path() + "/clip.avi");
//   hardware.stopDelivering("camera.back");

#include <map>
#include <mutex>
#include <set>

#include "platform/avfoundation/AVCaptureHardware.h"

class ScriptedCaptureHardware : public AVCaptureHardware,
                                public std::enable_shared_from_this<ScriptedCaptureHardware> {
 public:
  // The scripted hardware, made current (no camera, authorized) when it is not.
  static ScriptedCaptureHardware& installed();

  // Unique IDs "camera.back" and "camera.front".
  void addCamera(AVCaptureDevicePosition position, const std::string& source, bool hasFlash = true);
  void setAuthorizationStatus(AVAuthorizationStatus status);
  void setRequestAnswer(AVAuthorizationStatus answer);
  // Frames of that camera's opened sources fail from now on.
  void stopDelivering(const std::string& uniqueID);
  void pushFaces(const std::string& uniqueID, const std::vector<AVCaptureFaceReport>& faces);
  int requestCount() const;

  std::vector<AVCaptureCamera> cameras() override;
  AVCaptureFrameSourcePtr openSource(const AVCaptureCamera& camera, NSErrorPtr& error) override;
  AVAuthorizationStatus authorizationStatus() override;
  AVAuthorizationStatus requestAccess() override;
  uint64_t addFaceListener(FaceListener listener) override;
  void removeFaceListener(uint64_t token) override;

 private:
  class Source;
  mutable std::mutex mutex_;  // guards everything below
  std::vector<AVCaptureCamera> cameras_;
  AVAuthorizationStatus status_ = AVAuthorizationStatusAuthorized;
  AVAuthorizationStatus answer_ = AVAuthorizationStatusAuthorized;
  int requests_ = 0;
  std::set<std::string> stopped_;
  std::map<uint64_t, FaceListener> faceListeners_;
  uint64_t next_ = 0;
};
