#include "AKCamera/internal/AKCameraCapture.h"

#include <algorithm>

#include "AKCamera/AKCamera.h"
#include "AKCamera/internal/AKCameraOrientation.h"
#include "AKCamera/internal/AKCameraPreview.h"
#include "AKCamera/internal/AKCameraSessionControl.h"
#include "platform/foundation/NSData.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/Value.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/imageio/CGImageSource.h"

namespace {

// The raw values carry over: device landscape left (3) is video landscape right (3).
AVCaptureVideoOrientation VideoOrientationFor(std::optional<UIDeviceOrientation> o) {
  switch (o.value_or(UIDeviceOrientationPortrait)) {
    case UIDeviceOrientationPortraitUpsideDown:
      return AVCaptureVideoOrientationPortraitUpsideDown;
    case UIDeviceOrientationLandscapeLeft:
      return AVCaptureVideoOrientationLandscapeRight;
    case UIDeviceOrientationLandscapeRight:
      return AVCaptureVideoOrientationLandscapeLeft;
    default:
      return AVCaptureVideoOrientationPortrait;
  }
}

}  // namespace

AKCameraCapture::AKCameraCapture(AKCamera& camera)
    : camera_(camera), sessionQueue_(dispatch_queue_create("AKCamera_CaptureSession_Queue")) {}

const AVCapturePhotoSettingsPtr& AKCameraCapture::defaultPhotoSettings() {
  if (!defaultPhotoSettings_) {
    defaultPhotoSettings_ = AVCapturePhotoSettings::photoSettings();
    defaultPhotoSettings_->setHighResolutionPhotoEnabled(true);
  }
  return defaultPhotoSettings_;
}

void AKCameraCapture::updateFlashMode() {
  const AVCaptureDevicePtr& device = camera_.session().currentDevice();
  auto output = camera_.session().captureOutput();
  const std::optional<AVCaptureFlashMode> mode = camera_.flashMode();
  if (!device || !output || !mode || !device->hasFlash()) return;
  const auto modes = output->supportedFlashModes();
  if (std::find(modes.begin(), modes.end(), *mode) == modes.end()) return;
  defaultPhotoSettings()->setFlashMode(*mode);
}

void AKCameraCapture::takePicture() {
  QX_DCHECK_MAIN_THREAD();
  if (AVCaptureDevice::authorizationStatusForMediaType(AVMediaTypeVideo) ==
          AVAuthorizationStatusDenied ||
      !camera_.didFinishCapturingImage) {
    return;
  }
  auto output = camera_.session().captureOutput();
  if (!output || currentCapturer_) return;
  if (const auto& button = camera_.captureButton()) button->setEnabled(false);
  // The photo in progress belongs to the main thread: set here, cleared by
  // finishCapture, never touched by the queues.
  auto capturer = std::make_shared<AKCameraPhotoCapturer>();
  currentCapturer_ = capturer;
  auto layer = camera_.preview().previewLayer();
  CaptureRequest request{
      output, AVCapturePhotoSettings::photoSettingsFromPhotoSettings(*defaultPhotoSettings()),
      VideoOrientationFor(camera_.orientation().currentOrientation()),
      camera_.preview().zoomScale(), layer->metadataOutputRectOfInterestForRect(layer->bounds())};
  dispatch_async(sessionQueue_, WeakBind(&camera_, [capturer, request](AKCamera& camera) {
                   camera.capture().capturePicture(capturer, request);
                 }));
}

void AKCameraCapture::capturePicture(const std::shared_ptr<AKCameraPhotoCapturer>& capturer,
                                     const CaptureRequest& request) {
  // The capturer's callbacks hold it weakly: it owns them.
  auto weak = WeakFromThis(&camera_);
  std::weak_ptr<AKCameraPhotoCapturer> weakCapturer = capturer;
  auto fail = [weak, weakCapturer] {
    dispatch_async(dispatch_get_main_queue(), [weak, weakCapturer] {
      if (auto self = weak.lock()) self->capture().finishCapture(weakCapturer.lock());
    });
  };
  auto connection = request.output->connectionWithMediaType(AVMediaTypeVideo);
  if (!connection) {
    fail();
    return;
  }
  connection->setVideoOrientation(request.orientation);
  connection->setVideoScaleAndCropFactor(request.zoomScale);
  if (const auto& location = camera_.locationManager())
    capturer->gpsMetadata = location->gpsMetadata();
  const CGRect visible = request.visibleRect;
  capturer->didCaptureWithImageData = [weak, weakCapturer, visible](std::shared_ptr<Bytes> data) {
    if (auto self = weak.lock()) self->capture().deliver(weakCapturer.lock(), data, visible);
  };
  capturer->didFail = [fail](const NSErrorPtr&) { fail(); };
  request.output->capturePhotoWithSettings(request.settings, capturer);
}

UIImagePtr AKCameraCapture::developPhoto(const std::shared_ptr<Bytes>& data, CGRect visibleRect,
                                         std::optional<ValueMap>& metadata) {
  metadata.reset();
  if (!data) return nullptr;
  auto bytes = std::make_shared<const Bytes>(*data);
  UIImagePtr image = UIImage::imageWithData(NSData::dataWithBytes(*data));
  UIImagePtr cropped = image ? cropImageToVisiblePreview(image, visibleRect) : nullptr;
  if (auto source = CGImageSourceCreateWithBytes(bytes)) {
    Value properties = CGImageSourceCopyPropertiesAtIndex(source, 0);
    if (properties.isMap()) metadata = properties.asMap();
  }
  return cropped;
}

void AKCameraCapture::deliver(const std::shared_ptr<AKCameraPhotoCapturer>& capturer,
                              const std::shared_ptr<Bytes>& data, CGRect visibleRect) {
  std::optional<ValueMap> metadata;
  UIImagePtr cropped = developPhoto(data, visibleRect, metadata);
  dispatch_async(dispatch_get_main_queue(),
                 WeakBind(&camera_, [capturer, cropped, metadata](AKCamera& camera) {
                   if (cropped && camera.didFinishCapturingImage) {
                     camera.didFinishCapturingImage(cropped, metadata);
                   }
                   camera.capture().finishCapture(capturer);
                 }));
}

void AKCameraCapture::finishCapture(const std::shared_ptr<AKCameraPhotoCapturer>& capturer) {
  QX_DCHECK_MAIN_THREAD();
  // Only the capture in progress ends here (a capturer that is gone ended before).
  if (!capturer || currentCapturer_ != capturer) return;
  currentCapturer_.reset();
  if (const auto& button = camera_.captureButton()) button->setEnabled(true);
}

UIImagePtr AKCameraCapture::cropImageToVisiblePreview(const UIImagePtr& image, CGRect visibleRect) {
  const CGImageRef& bitmap = image ? image->CGImage() : nullptr;
  if (!bitmap) return nullptr;
  const double w = double(bitmap->width()), h = double(bitmap->height());
  const CGRect crop = CGRectMake(visibleRect.origin.x * w, visibleRect.origin.y * h,
                                 visibleRect.size.width * w, visibleRect.size.height * h);
  CGImageRef part = CGImageCreateWithImageInRect(bitmap, crop);
  if (!part) return nullptr;
  return UIImage::imageWithCGImage(part, 1.0, image->imageOrientation());
}
