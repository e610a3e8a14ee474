#include <cmath>

#include "AKCamera/CameraTestSupport.h"
#include "platform/foundation/NSNotification.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/NSThread.h"
#include "platform/foundation/NSUserDefaults.h"
#include "platform/uikit/UIColor.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIDevice.h"
#include "platform/uikit/UIScreen.h"
#include "support/camera/CameraFixtures.h"
#include "support/ui/SnapshotTesting.h"
#include "support/ui/UITouchDriver.h"

namespace camera_screen_test {

using namespace camera_test;

namespace {

// The normalized frame point a rendered preview pixel shows (red and green
// grow across the frame).
CGPoint FramePointOfPixel(const CGImageRef& image, int x, int y) {
  RGBA p = PixelAt(image, x, y);
  return CGPointMake(p.r / 255.0, p.g / 255.0);
}

void ExpectPicture(const UIImagePtr& image, const std::string& name) {
  SaveSnapshot(image, name);
  EXPECT_TRUE(MatchesGolden(image, "AKCamera/" + name + ".png", 6, 600)) << name;
}

}  // namespace

TEST_F(CameraScreenTest, ShowsTheLiveFramesUnderItsControlsLaidOutForThePhone) {
  auto camera = showCamera();
  EXPECT_EQ(camera->modalPresentationStyle(), UIModalPresentationStyle::FullScreen);
  EXPECT_TRUE(camera->captureSession()->isRunning());
  EXPECT_EQ(camera->captureSession()->sessionPreset(), AVCaptureSessionPresetPhoto);
  EXPECT_EQ(camera->currentDevice(), camera->captureDeviceRear());
  EXPECT_EQ(camera->previewLayer()->videoGravity(), AVLayerVideoGravityResizeAspectFill);
  EXPECT_EQ(camera->view()->subviews().front(), camera->previewView());
  EXPECT_DOUBLE_EQ(camera->motionManager()->accelerometerUpdateInterval(), 0.5);
  EXPECT_TRUE(camera->motionManager()->isAccelerometerActive());
  EXPECT_FALSE(camera->locationManager());

  // The control layer starts under the 20-point status bar; the strip holds
  // the 70-point bar and the (empty) bottom safe area.
  EXPECT_EQ(camera->contentView()->frame(), CGRectMake(0, 20, 375, 647));
  EXPECT_EQ(camera->bottomViewContainer()->frame(), CGRectMake(0, 577, 375, 70));
  EXPECT_EQ(camera->captureButton()->bounds().size, CGSizeMake(63, 63));
  EXPECT_EQ(camera->captureButton()->center(), CGPointMake(187.5, 35));
  EXPECT_DOUBLE_EQ(camera->captureButton()->layer()->cornerRadius(), 31.5);
  EXPECT_EQ(camera->flashButton()->frame().origin, CGPointMake(5, 15));
  EXPECT_FALSE(camera->flashButton()->isHidden());
  EXPECT_TRUE(camera->cameraSwitchButton()->isHidden());
  const CGRect cancel = camera->cancelButton()->frame();
  EXPECT_DOUBLE_EQ(cancel.origin.x + cancel.size.width, 360);
  EXPECT_DOUBLE_EQ(cancel.origin.y, 25);
  const CGRect switcher = camera->cameraSwitchButton()->frame();
  EXPECT_DOUBLE_EQ(switcher.origin.x + switcher.size.width, 360);

  // The preview shows the frame of the moment, filling the screen: the
  // 120 x 160 frame scales to 500 x 667, 62.5 points cut on each side.
  advance(0.2);
  auto picture = RenderView(*window_, 1);
  EXPECT_EQ(FrameOfBlue(PixelAt(picture->CGImage(), 187, 300).b), 2);
  CGPoint left = FramePointOfPixel(picture->CGImage(), 0, 300);
  EXPECT_NEAR(left.x, 62.5 / 500, 0.03);
  EXPECT_NEAR(left.y, 300 / 667.0, 0.03);
  ExpectPicture(picture, "camera-screen");

  advance(0.1);
  EXPECT_EQ(FrameOfBlue(PixelAt(RenderView(*window_, 1)->CGImage(), 187, 300).b), 3);
  advance(0.1);  // four frames: the clip starts again
  EXPECT_EQ(FrameOfBlue(PixelAt(RenderView(*window_, 1)->CGImage(), 187, 300).b), 0);

  // Leaving stops the frames reaching the preview; the session keeps running.
  camera->beginAppearanceTransition(false, false);
  camera->endAppearanceTransition();
  EXPECT_FALSE(camera->previewLayer()->connection()->isEnabled());
  EXPECT_FALSE(camera->motionManager()->isAccelerometerActive());
  EXPECT_TRUE(camera->captureSession()->isRunning());
  camera->suspendSession();
  camera->beginAppearanceTransition(true, false);
  camera->endAppearanceTransition();
  EXPECT_FALSE(camera->previewLayer()->connection()->isEnabled());
  camera->startSession();
  camera->updateSession(true);
  EXPECT_TRUE(camera->previewLayer()->connection()->isEnabled());
  camera->stopSession();
  EXPECT_FALSE(camera->captureSession()->isRunning());
  EXPECT_TRUE(camera->isStopped());
}

TEST_F(CameraScreenTest, PinchZoomsTheSameFromLastScaleWithinOneToFour) {
  auto camera = showCamera();
  UITouchDriver hand(window_);
  const CGPoint middle = CGPointMake(187, 300);
  hand.pinch(middle, 100, 250, 0.3);
  const double first = camera->zoomScale();
  EXPECT_GT(first, 2.0);
  EXPECT_LT(first, 2.6);
  EXPECT_DOUBLE_EQ(camera->previewLayer()->affineTransform().a, first);
  EXPECT_DOUBLE_EQ(camera->previewLayer()->affineTransform().d, first);
  // A new pinch continues from there, and stops at 4.
  hand.pinch(middle, 100, 300, 0.3);
  EXPECT_DOUBLE_EQ(camera->zoomScale(), 4.0);
  hand.pinch(middle, 300, 20, 0.3);
  EXPECT_DOUBLE_EQ(camera->zoomScale(), 1.0);
  EXPECT_DOUBLE_EQ(camera->previewLayer()->affineTransform().a, 1.0);
  hand.pinch(middle, 100, 200, 0.3);
  EXPECT_GT(camera->zoomScale(), 1.5);
  advance(0.1);
}

TEST_F(CameraScreenTest, TapFocusesWhereTheFingerIsEvenWhenZoomedAndShowsTheRing) {
  auto camera = showCamera();
  UITouchDriver hand(window_);
  hand.pinch(CGPointMake(187, 300), 100, 200, 0.3);
  const double zoom = camera->zoomScale();
  ASSERT_GT(zoom, 1.5);
  advance(0.1);

  const CGPoint tap = CGPointMake(100, 200);
  auto before = RenderView(*window_, 1);
  const CGPoint shown = FramePointOfPixel(before->CGImage(), 100, 200);
  hand.tap(tap);
  // The device point is the frame point the finger was on.
  const CGPoint focus = camera->currentDevice()->focusPointOfInterest();
  EXPECT_NEAR(focus.x, shown.x, 0.02);
  EXPECT_NEAR(focus.y, shown.y, 0.02);
  EXPECT_EQ(camera->currentDevice()->exposurePointOfInterest(), focus);
  EXPECT_EQ(camera->currentDevice()->focusMode(), AVCaptureFocusModeContinuousAutoFocus);
  // The device is not left locked.
  EXPECT_TRUE(camera->currentDevice()->lockForConfiguration());
  camera->currentDevice()->unlockForConfiguration();

  // The ring springs from full size towards 0.6 around the tap.
  const UIViewPtr ring = camera->focusView();
  EXPECT_EQ(ring->superview(), camera->view());
  EXPECT_EQ(ring->center(), tap);
  advance(0.15);
  const double midScale = ring->layer()->presentationLayer()->affineTransform().a;
  EXPECT_LT(midScale, 1.0);
  EXPECT_GT(midScale, 0.3);
  ExpectPicture(RenderView(*window_, 1), "camera-focus-ring");

  // Another screen focusing shows a ring of its own and leaves this one where it is.
  auto other = std::make_shared<AKCamera>();
  other->view();
  other->focusAtTouchPoint(CGPointMake(50, 60));
  EXPECT_NE(other->focusView(), ring);
  EXPECT_EQ(other->focusView()->superview(), other->view());
  EXPECT_EQ(other->focusView()->center(), CGPointMake(50, 60));
  EXPECT_EQ(ring->superview(), camera->view());
  EXPECT_EQ(ring->center(), tap);
  advance(1.0);
  EXPECT_FALSE(ring->superview());
}

TEST_F(CameraScreenTest, FlashCyclesThroughItsModesAndTheNextScreenStartsWithTheStoredOne) {
  auto camera = showCamera();
  ASSERT_EQ(camera->flashMode(), AVCaptureFlashModeOff);
  auto defaults = NSUserDefaults::standardUserDefaults();
  UITouchDriver hand(window_);
  std::vector<int64_t> stored;
  std::vector<AVCaptureFlashMode> settings;
  for (int i = 0; i < 3; ++i) {
    const CGRect f = camera->flashButton()->frame();
    hand.tap(camera->contentView()->convertPointToView(
        CGPointMake(CGRectGetMidX(f), CGRectGetMidY(f)), nullptr));
    stored.push_back(defaults->integerForKey(AKCamera::kFlashModeKey));
    settings.push_back(camera->defaultPhotoSettings()->flashMode());
  }
  EXPECT_EQ(stored, (std::vector<int64_t>{1, 2, 0}));
  EXPECT_EQ(settings, (std::vector<AVCaptureFlashMode>{AVCaptureFlashModeOn, AVCaptureFlashModeAuto,
                                                       AVCaptureFlashModeOff}));
  camera->switchFlashMode();
  camera->switchFlashMode();
  EXPECT_EQ(camera->flashMode(), AVCaptureFlashModeAuto);

  // A new screen reads the stored mode once its camera (with a flash) is set up.
  hideCamera();
  auto next = showCamera();
  EXPECT_EQ(next->flashMode(), AVCaptureFlashModeAuto);
  EXPECT_EQ(next->defaultPhotoSettings()->flashMode(), AVCaptureFlashModeAuto);
  // The front camera has none: the button hides and the settings keep their mode.
  next->switchCamera();
  EXPECT_EQ(next->currentDevice(), next->captureDeviceFront());
  EXPECT_TRUE(next->flashButton()->isHidden());
  next->setFlashMode(AVCaptureFlashModeOn);
  EXPECT_EQ(next->defaultPhotoSettings()->flashMode(), AVCaptureFlashModeAuto);
  // A stored integer that is no mode reads as off.
  defaults->setInteger(7, AKCamera::kFlashModeKey);
  EXPECT_EQ(AKCamera::currentFlashModeFromDefaults(), AVCaptureFlashModeOff);
}

TEST_F(CameraScreenTest, SwitchingCameraFeedsTheSessionFromTheOtherOne) {
  auto camera = showCamera([](AKCamera& c) { c.showsCameraSwitchButton = true; });
  ASSERT_FALSE(camera->cameraSwitchButton()->isHidden());
  UITouchDriver hand(window_);
  auto tapSwitch = [&] {
    const CGRect f = camera->cameraSwitchButton()->frame();
    hand.tap(camera->bottomView()->convertPointToView(
        CGPointMake(CGRectGetMidX(f), CGRectGetMidY(f)), nullptr));
  };
  tapSwitch();
  EXPECT_EQ(camera->currentDevice(), camera->captureDeviceFront());
  EXPECT_EQ(camera->captureSession()->videoInput()->device(), camera->captureDeviceFront());
  EXPECT_EQ(camera->captureSession()->inputs().size(), 1u);
  tapSwitch();
  EXPECT_EQ(camera->captureSession()->videoInput()->device(), camera->captureDeviceRear());
  EXPECT_FALSE(camera->flashButton()->isHidden());

  // Front first when asked, the back one when there is no front camera.
  hideCamera();
  auto front = showCamera([](AKCamera& c) { c.defaultCaptureDevice = AKCameraDeviceSourceType::front; });
  EXPECT_EQ(front->currentDevice(), front->captureDeviceFront());
}

TEST_F(CameraScreenTest, ControlsTurnWithTheAccelerometerSamples) {
  auto camera = showCamera();
  tilt(0.5, 0.5);
  EXPECT_EQ(camera->originalOrientation(), UIDeviceOrientationPortrait);
  EXPECT_EQ(camera->currentOrientation(), UIDeviceOrientationPortrait);
  tilt(0.75, 0);
  EXPECT_EQ(camera->currentOrientation(), UIDeviceOrientationLandscapeRight);
  advance(0.3);
  const CGAffineTransform turned = camera->flashButton()->transform();
  EXPECT_NEAR(std::atan2(turned.b, turned.a), -M_PI / 2, 1e-9);
  EXPECT_EQ(camera->cameraSwitchButton()->transform(), turned);
  EXPECT_TRUE(CGAffineTransformIsIdentity(camera->captureButton()->transform()));
  EXPECT_TRUE(CGAffineTransformIsIdentity(camera->contentView()->transform()));
  tilt(0, -0.8);
  EXPECT_EQ(camera->currentOrientation(), UIDeviceOrientationPortrait);
  tilt(-0.9, 0.1);
  EXPECT_EQ(camera->currentOrientation(), UIDeviceOrientationLandscapeLeft);
  tilt(0, 0.8);
  EXPECT_EQ(camera->currentOrientation(), UIDeviceOrientationPortraitUpsideDown);
  motion_->pushError(CMSensor::Accelerometer,
                     NSError::errorWithDescription("CMErrorDomain", 102, "sensor failed"));
  drainMainLoop();
  EXPECT_EQ(camera->currentOrientation(), UIDeviceOrientationPortraitUpsideDown);
  advance(0.3);

  // With rotation allowed the whole control layer turns and takes landscape bounds.
  hideCamera();
  auto rotating = showCamera([](AKCamera& c) { c.allowsRotate = true; });
  tilt(-0.9, 0);
  advance(0.3);
  EXPECT_EQ(rotating->contentView()->bounds().size, CGSizeMake(667, 375));
  const CGAffineTransform t = rotating->contentView()->transform();
  EXPECT_NEAR(std::atan2(t.b, t.a), M_PI / 2, 1e-9);
  EXPECT_TRUE(CGAffineTransformIsIdentity(rotating->flashButton()->transform()));
}

TEST_F(CameraScreenTest, TurningTheInterfaceTurnsThePreviewConnection) {
  auto camera = showCamera();
  ASSERT_TRUE(camera->previewLayer()->connection());
  EXPECT_EQ(camera->previewLayer()->connection()->videoOrientation(),
            AVCaptureVideoOrientationPortrait);
  // The device held landscape left shows the interface landscape right.
  auto device = UIDevice::currentDevice();
  device->beginGeneratingDeviceOrientationNotifications();
  device->setOrientation(UIDeviceOrientationLandscapeLeft);
  UIScreen::mainScreen()->setInterfaceOrientation(UIInterfaceOrientationLandscapeRight);
  UIViewController::transitionWindowToSize(window_, CGSizeMake(667, 375), 0.3);
  advance(0.4);
  EXPECT_EQ(camera->originalOrientation(), UIDeviceOrientationLandscapeLeft);
  EXPECT_EQ(camera->currentOrientation(), UIDeviceOrientationLandscapeLeft);
  EXPECT_EQ(camera->previewLayer()->connection()->videoOrientation(),
            AVCaptureVideoOrientationLandscapeRight);

  // Held flat, the device gives no orientation to take (the screen's turn
  // reports portrait; the hardware then reports the device lying flat).
  UIScreen::mainScreen()->setInterfaceOrientation(UIInterfaceOrientationPortrait);
  device->setOrientation(UIDeviceOrientationFaceUp);
  UIViewController::transitionWindowToSize(window_, CGSizeMake(375, 667), 0.3);
  advance(0.4);
  EXPECT_EQ(camera->originalOrientation(), UIDeviceOrientationLandscapeLeft);
  device->setOrientation(UIDeviceOrientationPortrait);
  device->endGeneratingDeviceOrientationNotifications();
}

TEST_F(CameraScreenTest, ARotationOfTheScreenReachesTheCameraThroughTheDevice) {
  auto camera = showCamera();
  auto device = UIDevice::currentDevice();
  // The application follows the device (it does from launch); the phone
  // lies flat, so the device gives no orientation to take yet.
  device->beginGeneratingDeviceOrientationNotifications();
  device->setOrientation(UIDeviceOrientationFaceUp);
  int turns = 0;
  auto token = NSNotificationCenter::defaultCenter().addObserverForName(
      UIDeviceOrientationDidChangeNotification, nullptr, [&](const NSNotification&) { ++turns; });

  // Lifted into landscape: only the screen turns; the camera hears it from
  // the device during the size change.
  UIScreen::mainScreen()->setInterfaceOrientation(UIInterfaceOrientationLandscapeLeft);
  UIViewController::transitionWindowToSize(window_, CGSizeMake(667, 375), 0.3);
  advance(0.4);
  EXPECT_EQ(turns, 1);
  EXPECT_EQ(device->orientation(), UIDeviceOrientationLandscapeRight);
  EXPECT_EQ(camera->originalOrientation(), UIDeviceOrientationLandscapeRight);
  EXPECT_EQ(camera->currentOrientation(), UIDeviceOrientationLandscapeRight);
  EXPECT_EQ(camera->previewLayer()->connection()->videoOrientation(),
            AVCaptureVideoOrientationLandscapeLeft);

  UIScreen::mainScreen()->setInterfaceOrientation(UIInterfaceOrientationPortrait);
  UIViewController::transitionWindowToSize(window_, CGSizeMake(375, 667), 0.3);
  advance(0.4);
  EXPECT_EQ(turns, 2);
  EXPECT_EQ(camera->originalOrientation(), UIDeviceOrientationPortrait);
  EXPECT_EQ(camera->previewLayer()->connection()->videoOrientation(),
            AVCaptureVideoOrientationPortrait);
  NSNotificationCenter::defaultCenter().removeObserver(token);
  device->endGeneratingDeviceOrientationNotifications();
}

TEST_F(CameraScreenTest, OverlaysStackAndThePermissionDeniedStateTakesNoPhoto) {
  hardware_->setAuthorizationStatus(AVAuthorizationStatusDenied);
  bool answered = false, granted = true;
  AKCamera::checkCameraPermission([&](bool g) {
    answered = true;
    granted = g;
  });
  EXPECT_TRUE(answered);
  EXPECT_FALSE(granted);

  auto camera = showCamera();
  // The owner's permission view over the screen, as the picker shows it.
  auto overlay = std::make_shared<UIView>(CGRectMake(0, 0, 375, 667));
  overlay->setBackgroundColor(UIColor::colorWithWhite(0, 0.85));
  auto label = std::make_shared<UILabel>();
  label->setText("Allow camera access");
  label->setTextColor(UIColor::whiteColor());
  label->sizeToFit();
  label->setCenter(CGPointMake(187.5, 300));
  overlay->addSubview(label);
  auto second = std::make_shared<UIView>(CGRectMake(100, 400, 175, 44));
  second->setBackgroundColor(UIColor::colorWithRed(0, 0.478, 1, 1));
  camera->setCameraOverlayView(overlay);
  camera->setCameraOverlayView(second);
  EXPECT_EQ(overlay->superview(), camera->view());
  EXPECT_EQ(camera->view()->subviews().back(), second);
  advance(0.1);
  ExpectPicture(RenderView(*window_, 1), "camera-permission-denied");

  camera->takePicture();
  EXPECT_FALSE(camera->currentCapturer());
  EXPECT_TRUE(camera->captureButton()->isEnabled());
  camera->setShowsCameraControls(false);
  EXPECT_TRUE(camera->contentView()->isHidden());
}

TEST_F(CameraScreenTest, PermissionRequestsAnswerOnTheMainQueueAndGrantedAnswersAtOnce) {
  hardware_->setAuthorizationStatus(AVAuthorizationStatusNotDetermined);
  hardware_->setRequestAnswer(AVAuthorizationStatusAuthorized);
  int answers = 0;
  bool granted = false, onMain = false;
  AKCamera::checkCameraPermission([&](bool g) {
    ++answers;
    granted = g;
    onMain = NSThread::isMainThread();
  });
  EXPECT_EQ(answers, 0);
  ASSERT_TRUE(RunMainLoopUntil([&] { return answers == 1; }));
  EXPECT_TRUE(granted);
  EXPECT_TRUE(onMain);
  AKCamera::checkCameraPermission([&](bool g) {
    ++answers;
    granted = g;
  });
  EXPECT_EQ(answers, 2);
  EXPECT_EQ(hardware_->requestCount(), 1);

  // The no-camera answer comes from the environment, as on a simulator.
  unsetenv("QX_CAMERA_SOURCE");
  unsetenv("QX_FRONT_CAMERA_SOURCE");
  EXPECT_FALSE(AKCamera::isAvailable());
  setenv("QX_CAMERA_SOURCE", clip_.c_str(), 1);
  EXPECT_TRUE(AKCamera::isAvailable());
  unsetenv("QX_CAMERA_SOURCE");
}

TEST_F(CameraScreenTest, TheShutterFillsWhileTouchedAndShootsOnlyWhenReleasedOnIt) {
  auto camera = showCamera();
  auto button = camera->captureButton();
  UITouchDriver hand(window_);
  const CGPoint centre = button->convertPointToView(
      CGPointMake(CGRectGetMidX(button->bounds()), CGRectGetMidY(button->bounds())), nullptr);
  auto touches = hand.down({centre});
  ASSERT_TRUE(button->backgroundColor());
  EXPECT_TRUE(button->backgroundColor()->isEqual(*UIColor::whiteColor()));
  hand.move(touches, {CGPointMake(centre.x, centre.y - 200)});
  EXPECT_TRUE(button->backgroundColor());
  hand.up(touches);
  EXPECT_FALSE(button->backgroundColor());
  EXPECT_FALSE(camera->currentCapturer());
  EXPECT_EQ(delivered_, 0);
}

TEST_F(CameraScreenTest, FacesAreReportedOnTheMetadataQueueAndPlacedInThePreview) {
  std::atomic<int> batches{0};
  std::atomic<bool> onQueue{false};
  auto camera = showCamera([&](AKCamera& c) {
    c.onFaceDetection = [&](std::vector<std::shared_ptr<AVMetadataFaceObject>> faces) {
      onQueue = dispatch_queue_get_label(dispatch_current_queue()) == "AKCamera_MetadataOutputQueue";
      batches += int(faces.size());
    };
  });
  hardware_->pushFaces("camera.back", {{1, CGRectMake(0.2, 0.3, 0.2, 0.1)}, {2, CGRectMake(0, 0, 0.1, 0.1)}});
  ASSERT_TRUE(RunMainLoopUntil([&] { return batches.load() == 2; }));
  EXPECT_TRUE(onQueue.load());

  const AVMetadataFaceObject face(1, CGRectMake(0.2, 0.3, 0.2, 0.1));
  // W 375, H 667: x = W (1 - 0.3 - 0.05), y = H (0.2 + 0.1), size (H 0.2, W 0.1).
  const CGRect back = camera->faceRect(face);
  EXPECT_NEAR(back.origin.x, 375 * 0.65, 1e-9);
  EXPECT_NEAR(back.origin.y, 667 * 0.3, 1e-9);
  EXPECT_NEAR(back.size.width, 667 * 0.2, 1e-9);
  EXPECT_NEAR(back.size.height, 375 * 0.1, 1e-9);
  camera->switchCamera();
  EXPECT_NEAR(camera->faceRect(face).origin.x, 375 - 375 * 0.65, 1e-9);
}

}  // namespace camera_screen_test
