#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "AKCamera/CameraTestSupport.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageIOProperties.h"
#include "support/camera/CameraFixtures.h"
#include "support/ui/UITouchDriver.h"

namespace camera_capture_test {

using namespace camera_test;

namespace {

// Where Debian's exiftool is, when it is installed.
std::string Exiftool() {
  for (const char* path : {"/usr/bin/exiftool", "/usr/local/bin/exiftool"}) {
    if (std::FILE* f = std::fopen(path, "r")) {
      std::fclose(f);
      return path;
    }
  }
  return "";
}

std::string RunCommand(const std::string& command) {
  std::string out;
  if (std::FILE* p = popen(command.c_str(), "r")) {
    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, p)) out += buffer;
    pclose(p);
  }
  return out;
}

}  // namespace

TEST_F(CameraScreenTest, APhotoIsCroppedToThePreviewAndCarriesTheLocation) {
  auto camera = showCamera([](AKCamera& c) { c.containsGPSInMetadata = true; });
  ASSERT_TRUE(camera->locationManager());
  EXPECT_TRUE(camera->locationManager()->isEnabled());
  EXPECT_EQ(gps_->requestCount(), 1);
  // One delivery with an invalid fix and two others: the accurate valid one wins.
  gps_->pushLocations({ScriptedLocationProvider::Fix(10, 10, -1),
                       ScriptedLocationProvider::Fix(-33.5, 151.2, 65, 3),
                       ScriptedLocationProvider::Fix(-33.8688, 151.2093, 10, -12)});
  drainMainLoop();
  advance(0.1);

  auto button = camera->captureButton();
  button->sendActionsForControlEvents(UIControlEventTouchUpInside);
  auto capturer = camera->currentCapturer();
  ASSERT_TRUE(capturer);
  EXPECT_FALSE(button->isEnabled());
  // A second tap while the photo is in progress takes none.
  camera->takePicture();
  EXPECT_EQ(camera->currentCapturer(), capturer);
  ASSERT_TRUE(RunMainLoopUntil([&] { return delivered_ == 1 && button->isEnabled(); }));
  EXPECT_FALSE(camera->currentCapturer());
  EXPECT_TRUE(deliveredOnMain_);

  // The preview showed the frame's middle 3/4 across (62.5 of 500 points cut each side).
  ASSERT_TRUE(image_ && image_->CGImage());
  EXPECT_EQ(image_->CGImage()->width(), 90u);
  EXPECT_EQ(image_->CGImage()->height(), 160u);
  EXPECT_DOUBLE_EQ(image_->scale(), 1.0);
  EXPECT_NEAR(PixelAt(image_->CGImage(), 0, 80).r, 255 * 15 / 119, 12);
  EXPECT_NEAR(PixelAt(image_->CGImage(), 89, 80).r, 255 * 104 / 119, 12);
  EXPECT_EQ(FrameOfBlue(PixelAt(image_->CGImage(), 45, 80).b), 1);

  // The metadata read back from the file: nine GPS keys of the chosen fix.
  ASSERT_TRUE(metadata_);
  const Value* gps = ValueMapFind(*metadata_, kCGImagePropertyGPSDictionary);
  ASSERT_TRUE(gps && gps->isMap());
  EXPECT_EQ(gps->asMap().size(), 9u);
  EXPECT_NEAR(gps->find(kCGImagePropertyGPSLatitude)->asDouble(), 33.8688, 1e-4);
  EXPECT_EQ(gps->find(kCGImagePropertyGPSLatitudeRef)->asString(), "S");
  EXPECT_NEAR(gps->find(kCGImagePropertyGPSLongitude)->asDouble(), 151.2093, 1e-4);
  EXPECT_EQ(gps->find(kCGImagePropertyGPSLongitudeRef)->asString(), "E");
  EXPECT_NEAR(gps->find(kCGImagePropertyGPSAltitude)->asDouble(), 12, 1e-6);
  EXPECT_EQ(gps->find(kCGImagePropertyGPSAltitudeRef)->asInt64(), 1);
  EXPECT_EQ(gps->find(kCGImagePropertyGPSDateStamp)->asString(), "2024:01:02");
  // Read back as the four version bytes.
  EXPECT_EQ(*gps->find(kCGImagePropertyGPSVersion),
            Value::list({Value::integer(2), Value::integer(2), Value::integer(0), Value::integer(0)}));
  const Value* exif = ValueMapFind(*metadata_, kCGImagePropertyExifDictionary);
  ASSERT_TRUE(exif);
  EXPECT_EQ(exif->find("PixelXDimension")->asInt64(), kClipWidth);

  // The file itself: the frame's JPEG, checked by a reader of its own.
  ASSERT_TRUE(capturer->imageData);
  const std::string path = folder_.writeFile("photo.jpg", *capturer->imageData);
  Value fromFile = CGImageSourceCopyPropertiesAtIndex(CGImageSourceCreateWithURL(path), 0);
  EXPECT_EQ(fromFile.find(kCGImagePropertyGPSDictionary)->find(kCGImagePropertyGPSLatitudeRef)->asString(),
            "S");
  if (const std::string tool = Exiftool(); !tool.empty()) {
    const std::string out =
        RunCommand(tool + " -n -s3 -GPSLatitude -GPSLongitude -GPSAltitude -GPSDateStamp " + path);
    double lat = 0, lon = 0, alt = 0;
    char date[32] = {};
    ASSERT_EQ(std::sscanf(out.c_str(), "%lf %lf %lf %31s", &lat, &lon, &alt, date), 4) << out;
    EXPECT_NEAR(lat, -33.8688, 1e-4);
    EXPECT_NEAR(lon, 151.2093, 1e-4);
    EXPECT_NEAR(alt, -12, 1e-3);
    EXPECT_STREQ(date, "2024:01:02");
  }

  // With a heading the dictionary has eleven keys; without location none is added.
  gps_->pushHeading(90);
  drainMainLoop();
  ASSERT_TRUE(shootAndWait(*camera));
  EXPECT_EQ(delivered_, 2);
  EXPECT_EQ(ValueMapFind(*metadata_, kCGImagePropertyGPSDictionary)->asMap().size(), 11u);
}

TEST_F(CameraScreenTest, ZoomAndOrientationReachThePhotoAndNoLocationAddsNoGPS) {
  auto camera = showCamera();
  tilt(0.5, 0.5);
  tilt(-0.9, 0);  // landscape left
  camera->handleAccelerometerData(nullptr, nullptr);
  ASSERT_TRUE(shootAndWait(*camera));
  ASSERT_EQ(delivered_, 1);
  auto connection = camera->captureOutput()->connectionWithMediaType(AVMediaTypeVideo);
  EXPECT_EQ(connection->videoOrientation(), AVCaptureVideoOrientationLandscapeRight);
  EXPECT_DOUBLE_EQ(connection->videoScaleAndCropFactor(), 1.0);
  EXPECT_EQ(image_->imageOrientation(), UIImageOrientationLeft);
  EXPECT_FALSE(ValueMapFind(*metadata_, kCGImagePropertyGPSDictionary));
  advance(0.3);

  UITouchDriver hand(window_);
  hand.pinch(CGPointMake(187, 300), 100, 200, 0.3);
  const double zoom = camera->zoomScale();
  ASSERT_GT(zoom, 1.5);
  ASSERT_TRUE(shootAndWait(*camera));
  EXPECT_DOUBLE_EQ(connection->videoScaleAndCropFactor(), zoom);
  // The frame's centre 1/zoom, then the preview's 3/4 of its width.
  EXPECT_NEAR(double(image_->CGImage()->height()), 160 / zoom, 1.5);
  EXPECT_NEAR(double(image_->CGImage()->width()), 120 / zoom * 0.75, 1.5);
}

TEST_F(CameraScreenTest, AFailedCaptureReportsAndTheShutterWorksAgain) {
  auto camera = showCamera();
  hardware_->stopDelivering("camera.back");
  testing::internal::CaptureStderr();
  ASSERT_TRUE(shootAndWait(*camera));
  const std::string printed = testing::internal::GetCapturedStderr();
  EXPECT_NE(printed.find("AKCameraError: "), std::string::npos) << printed;
  EXPECT_EQ(delivered_, 0);
  EXPECT_TRUE(camera->captureButton()->isEnabled());
  EXPECT_FALSE(camera->currentCapturer());
  // The session stopped with the camera; taking another photo fails the same way.
  EXPECT_FALSE(camera->captureSession()->isRunning());
  testing::internal::CaptureStderr();
  ASSERT_TRUE(shootAndWait(*camera));
  testing::internal::GetCapturedStderr();
  EXPECT_EQ(delivered_, 0);
  // Cancel still works.
  int cancels = 0;
  camera->didCancel = [&] { ++cancels; };
  camera->cancelButton()->sendActionsForControlEvents(UIControlEventTouchUpInside);
  EXPECT_EQ(cancels, 1);
}

TEST_F(CameraScreenTest, TheCropTakesTheVisibleBandOfATallPicture) {
  // Normalized visible rectangle (0.25, 0.5, 0.5, 0.25) of a 40x120 picture:
  // x 10..29, y 60..89.
  auto photo = UIImage::imageWithCGImage(PatternFrame(40, 120, 0));
  auto band = AKCamera::cropImageToVisiblePreview(photo, CGRectMake(0.25, 0.5, 0.5, 0.25));
  ASSERT_TRUE(band && band->CGImage());
  EXPECT_EQ(band->CGImage()->width(), 20u);
  EXPECT_EQ(band->CGImage()->height(), 30u);
  EXPECT_EQ(PixelAt(band->CGImage(), 0, 0).r, 10 * 255 / 39);
  EXPECT_EQ(PixelAt(band->CGImage(), 0, 0).g, 60 * 255 / 119);
  EXPECT_EQ(PixelAt(band->CGImage(), 19, 29).g, 89 * 255 / 119);
}

TEST_F(CameraScreenTest, SourcesThatCannotBeReadLeaveAScreenWithoutPreviewThatStillResponds) {
  const std::string notVideo = folder_.writeFile("notes.mp4", std::string("plain text, not a video"));
  hardware_->addCamera(AVCaptureDevicePositionBack, notVideo, true);
  hardware_->addCamera(AVCaptureDevicePositionFront, "/dev/video-not-here-41", false);
  auto camera = showCamera([](AKCamera& c) { c.showsCameraSwitchButton = true; });
  EXPECT_TRUE(camera->captureDeviceRear());
  EXPECT_FALSE(camera->captureSession()->videoInput());
  EXPECT_FALSE(camera->previewLayer()->connection());
  // The shutter finds no video connection: the photo ends at once.
  ASSERT_TRUE(shootAndWait(*camera));
  EXPECT_EQ(delivered_, 0);
  EXPECT_TRUE(camera->captureButton()->isEnabled());
  camera->switchCamera();
  EXPECT_EQ(camera->currentDevice(), camera->captureDeviceFront());
  EXPECT_FALSE(camera->captureSession()->videoInput());
  ASSERT_TRUE(shootAndWait(*camera));
  EXPECT_FALSE(camera->currentCapturer());
  // Without any camera the screen loads, with nothing to set up.
  hideCamera();
  hardware_ = nullptr;
  AVCaptureHardware::setCurrent(nullptr);
  unsetenv("QX_CAMERA_SOURCE");
  unsetenv("QX_FRONT_CAMERA_SOURCE");
  camera_ = std::make_shared<AKCamera>();
  camera_->didFinishCapturingImage = [](UIImagePtr, std::optional<ValueMap>) {};
  window_->setRootViewController(camera_);
  camera_->beginAppearanceTransition(true, false);
  camera_->endAppearanceTransition();
  drainMainLoop();
  EXPECT_FALSE(camera_->currentDevice());
  camera_->switchCamera();
  camera_->focusAtTouchPoint(CGPointMake(10, 10));
  ASSERT_TRUE(shootAndWait(*camera_));
}

}  // namespace camera_capture_test
