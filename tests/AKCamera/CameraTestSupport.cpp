#include "AKCamera/CameraTestSupport.h"

#include <cstdlib>

#include "platform/foundation/NSThread.h"
#include "platform/uikit/UIScreen.h"
#include "support/ScriptedLocations.h"
#include "support/camera/CameraFixtures.h"
#include "support/ui/ScriptedDisplay.h"

void CameraScreenTest::SetUp() {
  PlatformTest::SetUp();
  const char* data = std::getenv("QX_TEST_DATA");
  ScriptedLocations::installed().setMainBundlePath(std::string(data ? data : "tests/data") +
                                                   "/../../resources/Runner.app");
  ScriptedLocations::installed().setContainerRoot(folder_.makeFolder("container"));
  UseScreenProfile(UIScreenProfile::phone());
  window_ = std::make_shared<UIWindow>(CGRectMake(0, 0, 375, 667));
  window_->makeKeyAndVisible();
  clip_ = folder_.path() + "/clip.avi";
  still_ = folder_.path() + "/still.jpg";
  ASSERT_TRUE(camera_test::WriteClip(clip_, kClipWidth, kClipHeight, 4, 10));
  ASSERT_TRUE(camera_test::WriteStill(still_, kClipWidth, kClipHeight));
  hardware_ = &ScriptedCaptureHardware::installed();
  motion_ = &ScriptedMotionHardware::installed();
  motion_->setAvailable(CMSensor::Accelerometer, true);
  gps_ = &ScriptedLocationProvider::installed();
}

void CameraScreenTest::TearDown() {
  if (camera_) {
    // Nothing of the capture may still run once the test ends.
    hideCamera();
    camera_.reset();
  }
  window_.reset();
  drainMainLoop();
  PlatformTest::TearDown();
}

std::shared_ptr<AKCamera> CameraScreenTest::showCamera(const std::function<void(AKCamera&)>& configure) {
  if (hardware_->cameras().empty()) {
    hardware_->addCamera(AVCaptureDevicePositionBack, clip_, true);
    hardware_->addCamera(AVCaptureDevicePositionFront, still_, false);
  }
  camera_ = std::make_shared<AKCamera>();
  camera_->didFinishCapturingImage = [this](UIImagePtr image, std::optional<ValueMap> metadata) {
    ++delivered_;
    image_ = std::move(image);
    metadata_ = std::move(metadata);
    deliveredOnMain_ = deliveredOnMain_ && NSThread::isMainThread();
  };
  if (configure) configure(*camera_);
  window_->setRootViewController(camera_);
  // A window's root appears as the window shows it.
  camera_->beginAppearanceTransition(true, false);
  camera_->endAppearanceTransition();
  window_->layoutIfNeeded();
  drainMainLoop();
  return camera_;
}

void CameraScreenTest::hideCamera() {
  if (!camera_) return;
  camera_->beginAppearanceTransition(false, false);
  camera_->endAppearanceTransition();
  window_->setRootViewController(nullptr);
  dispatch_sync(camera_->sessionQueue(), [] {});
  drainMainLoop();
}

void CameraScreenTest::tilt(double x, double y) {
  sampleTime_ += 0.5;
  motion_->pushSample(CMSensor::Accelerometer, sampleTime_, x, y, 0);
  drainMainLoop();
}

bool CameraScreenTest::shootAndWait(AKCamera& camera) {
  auto button = camera.captureButton();
  if (!button || !button->isEnabled()) return false;
  button->sendActionsForControlEvents(UIControlEventTouchUpInside);
  return RunMainLoopUntil([&] { return button->isEnabled() && !camera.currentCapturer(); });
}
