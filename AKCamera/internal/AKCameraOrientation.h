#pragma once

// How the camera is held: the interface orientation it was shown in, the
// orientation the accelerometer reads, and the turn of the controls between
// the two.

#include <memory>
#include <optional>

#include "platform/coremotion/CMMotionManager.h"
#include "platform/foundation/NSError.h"
#include "platform/uikit/UIDevice.h"

class AKCamera;

class AKCameraOrientation {
 public:
  explicit AKCameraOrientation(AKCamera& camera);
  AKCameraOrientation(const AKCameraOrientation&) = delete;
  AKCameraOrientation& operator=(const AKCameraOrientation&) = delete;

  void setupMotionManager();
  // As the screen appears: accelerometer updates, except on a pad that may
  // share its screen, where the interface orientation is read once instead.
  void startFollowing();
  void stopFollowing();
  // The interface turned: its orientation becomes the current one too.
  void interfaceDidTurn();
  void handleAccelerometerData(const CMAccelerometerDataPtr& data, const NSErrorPtr& error);

  static std::optional<UIDeviceOrientation> orientationForAcceleration(double x, double y);
  static double angleOfOrientation(std::optional<UIDeviceOrientation> orientation);

  std::optional<UIDeviceOrientation> originalOrientation() const { return originalOrientation_; }
  std::optional<UIDeviceOrientation> currentOrientation() const { return currentOrientation_; }
  const std::shared_ptr<CMMotionManager>& motionManager() const { return motionManager_; }

 private:
  // The status bar's orientation as a device orientation (anything but the
  // three turned ones counts as portrait), also into the preview connection.
  void updateOriginalOrientation();
  void updateContentLayoutForCurrentOrientation();

  AKCamera& camera_;
  const std::shared_ptr<CMMotionManager> motionManager_ = std::make_shared<CMMotionManager>();
  std::optional<UIDeviceOrientation> originalOrientation_;
  std::optional<UIDeviceOrientation> currentOrientation_;
};
