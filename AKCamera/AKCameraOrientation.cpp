#include "AKCamera/internal/AKCameraOrientation.h"

#include <cmath>
#include <cstdio>

#include "AKCamera/AKCamera.h"
#include "AKCamera/internal/AKCameraControls.h"
#include "AKCamera/internal/AKCameraPreview.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSOperation.h"
#include "platform/foundation/Value.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/uikit/UIApplication.h"

namespace {

constexpr double kMotionUpdateInterval = 0.5;
constexpr double kTilt = 0.75;

bool IsLandscape(std::optional<UIDeviceOrientation> o) {
  return o == UIDeviceOrientationLandscapeLeft || o == UIDeviceOrientationLandscapeRight;
}

}  // namespace

AKCameraOrientation::AKCameraOrientation(AKCamera& camera) : camera_(camera) {}

void AKCameraOrientation::setupMotionManager() {
  motionManager_->setAccelerometerUpdateInterval(kMotionUpdateInterval);
  motionManager_->setGyroUpdateInterval(kMotionUpdateInterval);
}

void AKCameraOrientation::startFollowing() {
  if (motionManager_->isAccelerometerActive()) return;
  const Value full = NSBundle::mainBundle()->objectForInfoDictionaryKey("UIRequiresFullScreen");
  const bool requiresFullScreen = full.isBool() && full.asBool();
  if (UIDevice::currentDevice()->userInterfaceIdiom() == UIUserInterfaceIdiomPad &&
      !requiresFullScreen) {
    if (!originalOrientation_) {
      updateOriginalOrientation();
      currentOrientation_ = originalOrientation_;
    }
    return;
  }
  motionManager_->startAccelerometerUpdatesToQueue(
      NSOperationQueue::currentQueue(),
      WeakBind(&camera_, [](AKCamera& camera, CMAccelerometerDataPtr data, NSErrorPtr error) {
        camera.handleAccelerometerData(data, error);
      }));
}

void AKCameraOrientation::stopFollowing() { motionManager_->stopAccelerometerUpdates(); }

void AKCameraOrientation::interfaceDidTurn() {
  const UIDeviceOrientation o = UIDevice::currentDevice()->orientation();
  if (o >= UIDeviceOrientationPortrait && o <= UIDeviceOrientationLandscapeRight) {
    updateOriginalOrientation();
    currentOrientation_ = originalOrientation_;
  }
}

std::optional<UIDeviceOrientation> AKCameraOrientation::orientationForAcceleration(double x,
                                                                                   double y) {
  if (x >= kTilt) return UIDeviceOrientationLandscapeRight;
  if (x <= -kTilt) return UIDeviceOrientationLandscapeLeft;
  if (y <= -kTilt) return UIDeviceOrientationPortrait;
  if (y >= kTilt) return UIDeviceOrientationPortraitUpsideDown;
  return std::nullopt;
}

double AKCameraOrientation::angleOfOrientation(std::optional<UIDeviceOrientation> orientation) {
  switch (orientation.value_or(UIDeviceOrientationUnknown)) {
    case UIDeviceOrientationPortraitUpsideDown:
      return M_PI;
    case UIDeviceOrientationLandscapeLeft:
      return M_PI / 2;
    case UIDeviceOrientationLandscapeRight:
      return -M_PI / 2;
    default:
      return 0;
  }
}

void AKCameraOrientation::handleAccelerometerData(const CMAccelerometerDataPtr& data,
                                                  const NSErrorPtr& error) {
  if (error) {
    std::printf("error while update accelerometer: %s\n", error->localizedDescription().c_str());
    std::fflush(stdout);
    return;
  }
  if (!data) return;
  if (!originalOrientation_) {
    updateOriginalOrientation();
    currentOrientation_ = originalOrientation_;
  }
  const auto sample = orientationForAcceleration(data->acceleration().x, data->acceleration().y);
  if (sample && (!currentOrientation_ || *sample != *currentOrientation_)) {
    currentOrientation_ = sample;
    updateContentLayoutForCurrentOrientation();
  }
}

void AKCameraOrientation::updateOriginalOrientation() {
  const int64_t raw = UIApplication::sharedApplication()->statusBarOrientation();
  const int64_t kept = raw >= 2 && raw <= 4 ? raw : 1;
  originalOrientation_ = UIDeviceOrientation(kept);
  if (auto connection = camera_.preview().previewLayer()->connection()) {
    connection->setVideoOrientation(AVCaptureVideoOrientation(kept));
  }
}

void AKCameraOrientation::updateContentLayoutForCurrentOrientation() {
  const double rotation =
      angleOfOrientation(currentOrientation_) - angleOfOrientation(originalOrientation_);
  camera_.controls().turn(rotation, camera_.allowsRotate, IsLandscape(currentOrientation_));
}
