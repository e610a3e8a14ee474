#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "platform/avfoundation/AVCaptureDevice.h"
#include "platform/avfoundation/AVCaptureMetadataOutput.h"
#include "platform/avfoundation/AVCapturePhotoOutput.h"
#include "platform/avfoundation/AVCaptureSession.h"
#include "platform/avfoundation/AVCaptureVideoPreviewLayer.h"
#include "platform/coregraphics/CGColorSpace.h"
#include "platform/coregraphics/CGContext.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/NSThread.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/avfoundation/AVLibavPlaybackProvider.h"
#include "platform/imageio/ImageBitmap.h"
#include "platform/imageio/ImageIOProperties.h"
#include "support/FlatJPEG.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/camera/CameraFixtures.h"
#include "support/camera/ScriptedCaptureHardware.h"

namespace capture_test {

using namespace camera_test;

namespace {

// Records the callbacks of one capture, in order, and whether they ran on
// the output's queue.
class RecordingDelegate : public AVCapturePhotoCaptureDelegate {
 public:
  void willBeginCaptureForResolvedSettings(AVCapturePhotoOutput& o,
                                           const AVCaptureResolvedPhotoSettingsPtr&) override {
    note("willBegin", o);
  }
  void willCapturePhotoForResolvedSettings(AVCapturePhotoOutput& o,
                                           const AVCaptureResolvedPhotoSettingsPtr&) override {
    note("willCapture", o);
  }
  void didCapturePhotoForResolvedSettings(AVCapturePhotoOutput& o,
                                          const AVCaptureResolvedPhotoSettingsPtr&) override {
    note("didCapture", o);
  }
  void didFinishProcessingPhoto(AVCapturePhotoOutput& o, const AVCapturePhotoPtr& p,
                                const NSErrorPtr& e) override {
    std::lock_guard<std::mutex> lock(mutex);
    photo = p;
    processingError = e;
    calls.push_back("didFinishProcessing");
    onQueue = onQueue && dispatch_current_queue() == o.callbackQueue();
  }
  void didFinishCaptureForResolvedSettings(AVCapturePhotoOutput&,
                                           const AVCaptureResolvedPhotoSettingsPtr& r,
                                           const NSErrorPtr& e) override {
    std::lock_guard<std::mutex> lock(mutex);
    resolved = r;
    finishError = e;
    calls.push_back("didFinishCapture");
    done = true;
  }

  bool wait() {
    return RunMainLoopUntil([&] { return done.load(); });
  }

  std::mutex mutex;
  std::vector<std::string> calls;
  AVCapturePhotoPtr photo;
  AVCaptureResolvedPhotoSettingsPtr resolved;
  NSErrorPtr processingError, finishError;
  bool onQueue = true;
  std::atomic<bool> done{false};

 private:
  void note(const char* name, AVCapturePhotoOutput& o) {
    std::lock_guard<std::mutex> lock(mutex);
    calls.push_back(name);
    onQueue = onQueue && dispatch_current_queue() == o.callbackQueue();
  }
};

class GPSCustomizer : public AVCapturePhotoFileDataRepresentationCustomizer {
 public:
  explicit GPSCustomizer(ValueMap metadata) : metadata_(std::move(metadata)) {}
  std::optional<ValueMap> replacementMetadataForPhoto(const AVCapturePhoto&) override {
    return metadata_;
  }

 private:
  ValueMap metadata_;
};

Bytes ScanOnwards(const Bytes& jpeg) {
  for (size_t i = 2; i + 1 < jpeg.size(); ++i) {
    if (jpeg[i] == 0xFF && jpeg[i + 1] == 0xDA) return Bytes(jpeg.begin() + i, jpeg.end());
  }
  return {};
}

}  // namespace

class CaptureTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    hardware_ = &ScriptedCaptureHardware::installed();
  }

  // A running session on the back camera showing `source`, with a photo output.
  AVCaptureSessionPtr runningSession(const std::string& source, AVCapturePhotoOutputPtr* output) {
    hardware_->addCamera(AVCaptureDevicePositionBack, source);
    auto device = AVCaptureDevice::defaultDeviceWithDeviceType(
        AVCaptureDeviceTypeBuiltInWideAngleCamera, AVMediaTypeVideo, AVCaptureDevicePositionBack);
    EXPECT_TRUE(device);
    NSErrorPtr error;
    auto input = AVCaptureDeviceInput::deviceInputWithDevice(device, &error);
    EXPECT_TRUE(input) << (error ? error->localizedDescription() : "");
    auto session = std::make_shared<AVCaptureSession>();
    EXPECT_TRUE(session->canAddInput(input));
    session->addInput(input);
    if (output) {
      *output = std::make_shared<AVCapturePhotoOutput>();
      EXPECT_TRUE(session->canAddOutput(*output));
      session->addOutput(*output);
    }
    session->startRunning();
    return session;
  }

  ScriptedCaptureHardware* hardware_ = nullptr;
  TempFolder folder_;
};

TEST_F(CaptureTest, AClipLoopsOnThePlatformClockAtItsFrameRate) {
  const std::string clip = folder_.path() + "/clip.avi";
  ASSERT_TRUE(WriteClip(clip, 64, 48, 3, 10));
  auto session = runningSession(clip, nullptr);
  ASSERT_TRUE(session->isRunning());

  std::vector<int> shown;
  for (int step = 0; step < 7; ++step) {
    auto frame = session->currentFrame();
    ASSERT_TRUE(frame);
    shown.push_back(FrameOfBlue(PixelAt(frame->image, 32, 24).b));
    advance(0.1);
  }
  EXPECT_EQ(shown, (std::vector<int>{0, 1, 2, 0, 1, 2, 0}));
  // Going back in time (a new session start) rewinds the reader.
  session->stopRunning();
  session->startRunning();
  advance(0.25);
  EXPECT_EQ(FrameOfBlue(PixelAt(session->currentFrame()->image, 5, 5).b), 2);
  // Pixels are where the source put them, and MJPEG frames keep their JPEG.
  auto frame = session->currentFrame();
  EXPECT_NEAR(PixelAt(frame->image, 63, 0).r, 255, 10);
  EXPECT_NEAR(PixelAt(frame->image, 0, 47).g, 255, 10);
  ASSERT_TRUE(frame->jpeg);
  EXPECT_EQ((*frame->jpeg)[0], 0xFF);
  EXPECT_EQ((*frame->jpeg)[1], 0xD8);
  session->stopRunning();
  EXPECT_FALSE(session->currentFrame());
  EXPECT_TRUE(session->lastFrame());
}

// libswscale writes whole vectors: frames whose rows are no multiple of them
// must still land in their bitmap, and nothing past it.
TEST_F(CaptureTest, FramesOfAnyWidthKeepTheirPixels) {
  for (const FrameSize size : kUnalignedFrameSizes) {
    SCOPED_TRACE(testing::Message() << size.width << "x" << size.height);
    const std::string clip = folder_.path() + "/clip" + std::to_string(size.width) + ".avi";
    ASSERT_TRUE(WriteClip(clip, size.width, size.height, 2, 10));
    NSErrorPtr error;
    auto source = AVOpenCaptureSource(clip, error);
    ASSERT_TRUE(source) << (error ? error->localizedDescription() : "");
    EXPECT_EQ(source->dimensions().width, size.width);
    EXPECT_TRUE(ShowsPattern(source->frameAt(0, error)->image, size.width, size.height, 0));
    EXPECT_TRUE(ShowsPattern(source->frameAt(0.1, error)->image, size.width, size.height, 1));
  }
}

// A still is held to the limits of every image: past them it is read
// scaled down as images are (libav held a 16000 x 16000 PNG whole, 1.78 GB),
// past what can be read so it is refused; a video past the limits of a
// video is refused before a frame is decoded.
TEST_F(CaptureTest, PicturesPastTheLimitsAreReadScaledDownOrRefused) {
  struct Case {
    std::string name;
    int width, height;
    bool clip;     // a video, else a flat grey JPEG still
    bool opens;
    bool scaled;   // read through the image limits, at ImageDecodedSize
  };
  const int side = int(kImageMaxDimension), videoSide = kAVMaxVideoSide;
  const Case cases[] = {
      {"still at the longest side", side, 8, false, true, false},
      {"still one past the longest side", side + 1, 8, false, true, true},
      {"still past the pixel limit", 12000, 9000, false, true, true},
      {"still past what can be read scaled", 65535, 16385, false, false, false},
      {"clip at the longest side", videoSide, 16, true, true, false},
      {"clip past the longest side", videoSide + 2, 16, true, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = folder_.path() + "/" + std::to_string(c.width) + "x" +
                             std::to_string(c.height) + (c.clip ? ".avi" : ".jpg");
    if (c.clip) {
      ASSERT_TRUE(WriteClip(path, c.width, c.height, 2, 10));
    } else {
      folder_.writeFile(path.substr(folder_.path().size() + 1),
                        FlatGreyJPEG(uint16_t(c.width), uint16_t(c.height)));
    }
    NSErrorPtr error;
    auto source = AVOpenCaptureSource(path, error);
    if (!c.opens) {
      EXPECT_FALSE(source);
      ASSERT_TRUE(error);
      EXPECT_EQ(error->code(), AVErrorFileFormatNotRecognized);
      continue;
    }
    ASSERT_TRUE(source) << (error ? error->localizedDescription() : "");
    uint32_t width = uint32_t(c.width), height = uint32_t(c.height);
    if (c.scaled) {
      ASSERT_TRUE(ImageDecodedSize(width, height, width, height));
    }
    EXPECT_EQ(source->dimensions(), CGSizeMake(width, height));
    auto frame = source->frameAt(1.5, error);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->image->width(), width);
    EXPECT_EQ(frame->image->height(), height);
    if (!c.clip) {
      // Mid grey, kept as JPEG only when nothing was scaled.
      EXPECT_NEAR(PixelAt(frame->image, int(width / 2), int(height / 2)).r, 128, 2);
      EXPECT_EQ(frame->jpeg == nullptr, c.scaled);
    }
  }
}

TEST_F(CaptureTest, SourcesThatCannotBeReadFailTheInputWithTheirError) {
  const std::string text = folder_.writeFile("notes.avi", std::string("not a video at all"));
  hardware_->addCamera(AVCaptureDevicePositionBack, text);
  hardware_->addCamera(AVCaptureDevicePositionFront, "/dev/video-does-not-exist-97");
  NSErrorPtr error;
  auto back = AVCaptureDevice::defaultDeviceWithDeviceType(
      AVCaptureDeviceTypeBuiltInWideAngleCamera, AVMediaTypeVideo, AVCaptureDevicePositionBack);
  EXPECT_FALSE(AVCaptureDeviceInput::deviceInputWithDevice(back, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), AVErrorFileFormatNotRecognized);
  error.reset();
  auto front = AVCaptureDevice::defaultDeviceWithDeviceType(
      AVCaptureDeviceTypeBuiltInWideAngleCamera, AVMediaTypeVideo, AVCaptureDevicePositionFront);
  EXPECT_FALSE(AVCaptureDeviceInput::deviceInputWithDevice(front, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), AVErrorDeviceNotConnected);
  EXPECT_FALSE(AVCaptureDeviceInput::deviceInputWithDevice(nullptr, &error));

  // The environment's hardware: no variables, no camera.
  AVCaptureHardware::setCurrent(nullptr);
  unsetenv("QX_CAMERA_SOURCE");
  unsetenv("QX_FRONT_CAMERA_SOURCE");
  EXPECT_FALSE(AVCaptureDevice::defaultDeviceWithMediaType(AVMediaTypeVideo));
  const std::string still = folder_.path() + "/still.jpg";
  ASSERT_TRUE(WriteStill(still, 40, 30));
  setenv("QX_FRONT_CAMERA_SOURCE", still.c_str(), 1);
  auto onlyFront = AVCaptureDevice::defaultDeviceWithDeviceType(
      AVCaptureDeviceTypeBuiltInWideAngleCamera, AVMediaTypeVideo, AVCaptureDevicePositionFront);
  unsetenv("QX_FRONT_CAMERA_SOURCE");
  ASSERT_TRUE(onlyFront);
  EXPECT_FALSE(onlyFront->hasFlash());
  EXPECT_TRUE(AVCaptureDeviceInput::deviceInputWithDevice(onlyFront, &error));
}

// Opening a fifo waits for a writer that never comes: such sources are
// refused at once. The open runs on a queue so that a wait fails the test
// (and is then released) instead of hanging the run.
TEST_F(CaptureTest, SourcesThatAreNeitherFilesNorVideoDevicesAreRefusedWithoutWaiting) {
  const std::string fifo = folder_.path() + "/camera.fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {fifo, std::string("/dev/null"), folder_.path()}) {
    SCOPED_TRACE(path);
    auto done = dispatch_semaphore_create(0);
    auto error = std::make_shared<NSErrorPtr>();
    auto source = std::make_shared<AVCaptureFrameSourcePtr>();
    dispatch_async(dispatch_get_global_queue(DispatchQoS::UserInitiated), [=] {
      *source = AVOpenCaptureSource(path, *error);
      dispatch_semaphore_signal(done);
    });
    if (dispatch_semaphore_wait(done, dispatch_time_after(kTestTimeoutSeconds)) != 0) {
      ADD_FAILURE() << "opening waited";
      close(open(fifo.c_str(), O_RDWR));  // a writer, come and gone, ends the wait
      dispatch_semaphore_wait(done, DISPATCH_TIME_FOREVER);
      continue;
    }
    EXPECT_FALSE(*source);
    ASSERT_TRUE(*error);
    EXPECT_EQ((*error)->code(), AVErrorFileFormatNotRecognized);
    EXPECT_EQ((*error)->localizedDescription(),
              path + " is neither a regular file nor a video device");
  }
}

TEST_F(CaptureTest, APhotoIsTheFrameAsJPEGWithItsExifAndReplacementMetadataSplicedIn) {
  const std::string still = folder_.path() + "/still.jpg";
  ASSERT_TRUE(WriteStill(still, 80, 60));
  AVCapturePhotoOutputPtr output;
  auto session = runningSession(still, &output);
  output->connectionWithMediaType(AVMediaTypeVideo)
      ->setVideoOrientation(AVCaptureVideoOrientationLandscapeLeft);

  auto settings = AVCapturePhotoSettings::photoSettings();
  settings->setFlashMode(AVCaptureFlashModeOn);
  auto delegate = std::make_shared<RecordingDelegate>();
  output->capturePhotoWithSettings(settings, delegate);
  ASSERT_TRUE(delegate->wait());
  EXPECT_EQ(delegate->calls, (std::vector<std::string>{"willBegin", "willCapture", "didCapture",
                                                       "didFinishProcessing", "didFinishCapture"}));
  EXPECT_TRUE(delegate->onQueue);
  EXPECT_FALSE(delegate->finishError);
  EXPECT_TRUE(delegate->resolved->isFlashEnabled());
  EXPECT_EQ(delegate->resolved->uniqueID(), settings->uniqueID());
  ASSERT_TRUE(delegate->photo);

  auto data = delegate->photo->fileDataRepresentation();
  ASSERT_TRUE(data);
  Bytes original;
  {
    FILE* f = std::fopen(still.c_str(), "rb");
    ASSERT_TRUE(f);
    int c;
    while ((c = std::fgetc(f)) != EOF) original.push_back(uint8_t(c));
    std::fclose(f);
  }
  // The still's coded image is kept byte for byte.
  EXPECT_EQ(ScanOnwards(*data), ScanOnwards(original));
  auto source = CGImageSourceCreateWithBytes(std::make_shared<const Bytes>(*data));
  Value props = CGImageSourceCopyPropertiesAtIndex(source, 0);
  EXPECT_EQ(props.find(kCGImagePropertyOrientation)->asInt64(), 6);
  const Value* exif = props.find(kCGImagePropertyExifDictionary);
  ASSERT_TRUE(exif);
  EXPECT_EQ(exif->find("PixelXDimension")->asInt64(), 80);
  EXPECT_EQ(exif->find("PixelYDimension")->asInt64(), 60);
  EXPECT_EQ(exif->find("DateTimeOriginal")->asString().size(), 19u);

  // The customizer's metadata is what the file carries.
  ValueMap replacement = delegate->photo->metadata();
  ValueMapSet(replacement, kCGImagePropertyGPSDictionary,
              Value::map({{kCGImagePropertyGPSLatitude, 12.5},
                          {kCGImagePropertyGPSLatitudeRef, "N"},
                          {kCGImagePropertyGPSVersion, "2.2.0.0"}}));
  GPSCustomizer customizer(replacement);
  auto custom = delegate->photo->fileDataRepresentationWithCustomizer(customizer);
  ASSERT_TRUE(custom);
  EXPECT_EQ(ScanOnwards(*custom), ScanOnwards(original));
  Value withGPS = CGImageSourceCopyPropertiesAtIndex(
      CGImageSourceCreateWithBytes(std::make_shared<const Bytes>(*custom)), 0);
  ASSERT_TRUE(withGPS.find(kCGImagePropertyGPSDictionary));
  EXPECT_NEAR(withGPS.find(kCGImagePropertyGPSDictionary)->find(kCGImagePropertyGPSLatitude)->asDouble(),
              12.5, 1e-6);
  EXPECT_EQ(withGPS.find(kCGImagePropertyOrientation)->asInt64(), 6);
}

TEST_F(CaptureTest, ScaleAndCropTakesTheCentreAndAStoppedCameraFailsTheCapture) {
  const std::string clip = folder_.path() + "/clip.avi";
  ASSERT_TRUE(WriteClip(clip, 64, 48, 2, 5));
  AVCapturePhotoOutputPtr output;
  auto session = runningSession(clip, &output);
  auto connection = output->connectionWithMediaType(AVMediaTypeVideo);
  ASSERT_TRUE(connection);
  connection->setVideoScaleAndCropFactor(2.0);
  auto delegate = std::make_shared<RecordingDelegate>();
  output->capturePhotoWithSettings(AVCapturePhotoSettings::photoSettings(), delegate);
  ASSERT_TRUE(delegate->wait());
  ASSERT_TRUE(delegate->photo && delegate->photo->pixelBuffer());
  EXPECT_EQ(delegate->photo->pixelBuffer()->width(), 32u);
  EXPECT_EQ(delegate->photo->pixelBuffer()->height(), 24u);
  // Its top-left pixel is a quarter of the way into the frame.
  EXPECT_NEAR(PixelAt(delegate->photo->pixelBuffer(), 0, 0).r, 255 * 16 / 63, 12);
  EXPECT_NEAR(PixelAt(delegate->photo->pixelBuffer(), 0, 0).g, 255 * 12 / 47, 12);
  EXPECT_TRUE(delegate->photo->fileDataRepresentation());

  std::atomic<int> runtimeErrors{0};
  auto token = NSNotificationCenter::defaultCenter().addObserverForName(
      AVCaptureSessionRuntimeErrorNotification, session,
      [&](const NSNotification&) { ++runtimeErrors; });
  hardware_->stopDelivering("camera.back");
  auto failed = std::make_shared<RecordingDelegate>();
  output->capturePhotoWithSettings(AVCapturePhotoSettings::photoSettings(), failed);
  ASSERT_TRUE(failed->wait());
  EXPECT_EQ(failed->calls.size(), 5u);
  ASSERT_TRUE(failed->finishError);
  EXPECT_EQ(failed->finishError->code(), AVErrorDeviceNotConnected);
  EXPECT_TRUE(failed->processingError);
  ASSERT_TRUE(failed->photo);
  EXPECT_FALSE(failed->photo->fileDataRepresentation());
  EXPECT_EQ(runtimeErrors.load(), 1);
  EXPECT_FALSE(session->isRunning());
  // A capture on the stopped session says so.
  auto again = std::make_shared<RecordingDelegate>();
  output->capturePhotoWithSettings(AVCapturePhotoSettings::photoSettings(), again);
  ASSERT_TRUE(again->wait());
  ASSERT_TRUE(again->finishError);
  EXPECT_EQ(again->finishError->code(), AVErrorSessionNotRunning);
  NSNotificationCenter::defaultCenter().removeObserver(token);
}

TEST_F(CaptureTest, PreviewLayerMapsPointsForItsGravityAndRendersTheCurrentFrame) {
  const std::string clip = folder_.path() + "/clip.avi";
  ASSERT_TRUE(WriteClip(clip, 80, 60, 2, 10));
  auto session = runningSession(clip, nullptr);
  auto layer = AVCaptureVideoPreviewLayer::layer();
  EXPECT_FALSE(layer->connection());
  layer->setSession(session);
  ASSERT_TRUE(layer->connection());
  layer->setFrame(CGRectMake(0, 0, 60, 60));
  layer->setVideoGravity(AVLayerVideoGravityResizeAspectFill);
  // Fill: the 80 x 60 frame shows at 80 x 60 in a 60 x 60 layer, 10 cut each side.
  CGRect visible = layer->metadataOutputRectOfInterestForRect(layer->bounds());
  EXPECT_NEAR(visible.origin.x, 0.125, 1e-9);
  EXPECT_NEAR(visible.size.width, 0.75, 1e-9);
  EXPECT_NEAR(visible.origin.y, 0, 1e-9);
  EXPECT_NEAR(visible.size.height, 1, 1e-9);
  CGPoint device = layer->captureDevicePointOfInterestForPoint(CGPointMake(30, 15));
  EXPECT_NEAR(device.x, 0.5, 1e-9);
  EXPECT_NEAR(device.y, 0.25, 1e-9);
  CGPoint back = layer->pointForCaptureDevicePointOfInterest(device);
  EXPECT_NEAR(back.x, 30, 1e-9);
  layer->setVideoGravity(AVLayerVideoGravityResizeAspect);
  device = layer->captureDevicePointOfInterestForPoint(CGPointMake(0, 7.5));
  EXPECT_NEAR(device.x, 0, 1e-9);
  EXPECT_NEAR(device.y, 0, 1e-9);
  layer->setVideoGravity(AVLayerVideoGravityResizeAspectFill);

  auto render = [&] {
    auto context = CGBitmapContextCreate(nullptr, 60, 60, 8, 0, CGColorSpaceCreateDeviceRGB(),
                                         kCGImageAlphaPremultipliedLast);
    // y down, as a UIKit image context.
    CGContextTranslateCTM(context, 0, 60);
    CGContextScaleCTM(context, 1, -1);
    layer->renderInContext(context);
    return CGBitmapContextCreateImage(context);
  };
  auto first = render();
  EXPECT_EQ(FrameOfBlue(PixelAt(first, 30, 30).b), 0);
  EXPECT_NEAR(PixelAt(first, 0, 30).r, 255 * 10 / 79, 14);  // the fill cut 10 points
  advance(0.1);
  EXPECT_EQ(FrameOfBlue(PixelAt(render(), 30, 30).b), 1);
  // A disabled connection freezes the picture.
  layer->connection()->setEnabled(false);
  advance(0.1);
  EXPECT_EQ(FrameOfBlue(PixelAt(render(), 30, 30).b), 1);
}

TEST_F(CaptureTest, FacesReachTheDelegateOnlyWhenAskedForAndFromTheSessionsCamera) {
  const std::string still = folder_.path() + "/still.jpg";
  ASSERT_TRUE(WriteStill(still, 40, 30));
  auto session = runningSession(still, nullptr);
  auto output = std::make_shared<AVCaptureMetadataOutput>();
  ASSERT_TRUE(session->canAddOutput(output));
  session->addOutput(output);
  EXPECT_FALSE(session->canAddOutput(std::make_shared<AVCaptureMetadataOutput>()));

  struct Faces : AVCaptureMetadataOutputObjectsDelegate {
    void captureOutputDidOutputMetadataObjects(AVCaptureOutput&,
                                               const std::vector<AVMetadataObjectPtr>& objects,
                                               const AVCaptureConnectionPtr&) override {
      std::lock_guard<std::mutex> lock(mutex);
      batches.push_back(objects);
      onQueue = dispatch_queue_get_label(dispatch_current_queue()) == "faces";
    }
    std::mutex mutex;
    std::vector<std::vector<AVMetadataObjectPtr>> batches;
    bool onQueue = false;
  };
  auto faces = std::make_shared<Faces>();
  auto queue = dispatch_queue_create("faces");
  output->setMetadataObjectsDelegate(faces, queue);
  hardware_->pushFaces("camera.back", {{1, CGRectMake(0.1, 0.2, 0.3, 0.4)}});
  output->setMetadataObjectTypes({"barcode"});
  EXPECT_TRUE(output->metadataObjectTypes().empty());
  output->setMetadataObjectTypes({AVMetadataObjectTypeFace});
  hardware_->pushFaces("camera.front", {{2, CGRectMake(0, 0, 1, 1)}});
  hardware_->pushFaces("camera.back", {{3, CGRectMake(0.1, 0.2, 0.3, 0.4)}, {4, CGRectMake(0, 0, 0.1, 0.1)}});
  dispatch_sync(queue, [] {});
  std::lock_guard<std::mutex> lock(faces->mutex);
  ASSERT_EQ(faces->batches.size(), 1u);
  ASSERT_EQ(faces->batches[0].size(), 2u);
  auto face = std::dynamic_pointer_cast<AVMetadataFaceObject>(faces->batches[0][0]);
  ASSERT_TRUE(face);
  EXPECT_EQ(face->faceID(), 3);
  EXPECT_EQ(face->type(), AVMetadataObjectTypeFace);
  EXPECT_DOUBLE_EQ(face->bounds().size.height, 0.4);
  EXPECT_TRUE(faces->onQueue);
}

TEST_F(CaptureTest, AccessRequestsAskOnceAndAnswerOffTheMainThread) {
  hardware_->setAuthorizationStatus(AVAuthorizationStatusNotDetermined);
  hardware_->setRequestAnswer(AVAuthorizationStatusDenied);
  std::atomic<int> answers{0};
  std::atomic<bool> granted{true}, onMain{true};
  AVCaptureDevice::requestAccessForMediaType(AVMediaTypeVideo, [&](bool g) {
    granted = g;
    onMain = NSThread::isMainThread();
    ++answers;
  });
  ASSERT_TRUE(RunMainLoopUntil([&] { return answers.load() == 1; }));
  EXPECT_FALSE(granted.load());
  EXPECT_FALSE(onMain.load());
  EXPECT_EQ(AVCaptureDevice::authorizationStatusForMediaType(AVMediaTypeVideo),
            AVAuthorizationStatusDenied);
  // Refused, the camera shows the application nothing, though it works.
  const std::string clip = folder_.path() + "/clip.avi";
  ASSERT_TRUE(WriteClip(clip, 64, 48, 3, 10));
  hardware_->addCamera(AVCaptureDevicePositionBack, clip);
  auto device = AVCaptureDevice::defaultDeviceWithDeviceType(
      AVCaptureDeviceTypeBuiltInWideAngleCamera, AVMediaTypeVideo, AVCaptureDevicePositionBack);
  ASSERT_TRUE(device);
  NSErrorPtr error;
  EXPECT_FALSE(AVCaptureDeviceInput::deviceInputWithDevice(device, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), AVErrorApplicationIsNotAuthorizedToUseDevice);
  hardware_->setAuthorizationStatus(AVAuthorizationStatusRestricted);
  EXPECT_FALSE(AVCaptureDeviceInput::deviceInputWithDevice(device, nullptr));
  hardware_->setAuthorizationStatus(AVAuthorizationStatusAuthorized);
  EXPECT_TRUE(AVCaptureDeviceInput::deviceInputWithDevice(device, nullptr));

  // The environment's setting, and the prompt's answer that then holds.
  AVCaptureHardware::setCurrent(nullptr);
  setenv("QX_CAMERA_AUTHORIZATION", "notDetermined", 1);
  setenv("QX_CAMERA_AUTHORIZATION_PROMPT", "authorized", 1);
  EXPECT_EQ(AVCaptureDevice::authorizationStatusForMediaType(AVMediaTypeVideo),
            AVAuthorizationStatusNotDetermined);
  AVCaptureDevice::requestAccessForMediaType(AVMediaTypeVideo, [&](bool g) {
    granted = g;
    ++answers;
  });
  unsetenv("QX_CAMERA_AUTHORIZATION");
  unsetenv("QX_CAMERA_AUTHORIZATION_PROMPT");
  ASSERT_TRUE(RunMainLoopUntil([&] { return answers.load() == 2; }));
  EXPECT_TRUE(granted.load());
  EXPECT_EQ(AVCaptureDevice::authorizationStatusForMediaType(AVMediaTypeVideo),
            AVAuthorizationStatusAuthorized);
}

// A connection is used from any thread: its session link is read (by the
// preview layer and the outputs) while another thread relinks it. The thread
// sanitizer build sees an unguarded read here.
TEST_F(CaptureTest, AConnectionsSessionIsReadWhileAnotherThreadRelinksIt) {
  auto connection = std::make_shared<AVCaptureConnection>();
  auto session = std::make_shared<AVCaptureSession>();
  auto group = dispatch_group_create();
  dispatch_group_async(group, dispatch_queue_create("test.relink"), [&] {
    for (int i = 0; i < 500; ++i) connection->setSession(i % 2 ? session : nullptr);
  });
  std::vector<std::shared_ptr<AVCaptureSession>> seen;
  for (int i = 0; i < 500; ++i) seen.push_back(connection->session());
  ASSERT_EQ(dispatch_group_wait(group, dispatch_time_after(kTestTimeoutSeconds)), 0);
  for (const auto& s : seen) EXPECT_TRUE(s == nullptr || s == session);
  EXPECT_EQ(connection->session(), session);  // the last relink (i = 499) links it
}

}  // namespace capture_test
