#include "platform/avfoundation/AVCapturePhotoOutput.h"

#include <cmath>
#include <cstdio>
#include <ctime>

#include "platform/coregraphics/CGImage.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageIOProperties.h"

namespace {

constexpr double kEncodeQuality = 0.9;

int64_t NextUniqueID() {
  static std::atomic<int64_t> next{1};
  return next++;
}

// EXIF's "YYYY:MM:DD HH:MM:SS" in local time, with ASCII digits whatever the locale.
std::string ExifDate(double secondsSince1970, std::string& subseconds) {
  const time_t whole = time_t(std::floor(secondsSince1970));
  std::tm local{};
  localtime_r(&whole, &local);
  char text[64];  // room for any int the fields could hold
  std::snprintf(text, sizeof text, "%04d:%02d:%02d %02d:%02d:%02d", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  char sub[8];
  std::snprintf(sub, sizeof sub, "%03d",
                int(std::floor((secondsSince1970 - double(whole)) * 1000)) % 1000);
  subseconds = sub;
  return text;
}

// The centre 1/factor of the frame.
CGImageRef CenterCrop(const CGImageRef& image, double factor) {
  if (factor <= 1) return image;
  const double w = double(image->width()), h = double(image->height());
  const double cw = std::max(1.0, std::round(w / factor)), ch = std::max(1.0, std::round(h / factor));
  return CGImageCreateWithImageInRect(image, CGRectMake(std::floor((w - cw) / 2),
                                                        std::floor((h - ch) / 2), cw, ch));
}

std::shared_ptr<const Bytes> EncodeJPEG(const CGImageRef& image) {
  auto data = std::make_shared<Bytes>();
  auto dest = CGImageDestinationCreateWithData(data, "public.jpeg", 1);
  CGImageDestinationAddImage(
      dest, image, Value::map({{kCGImageDestinationLossyCompressionQuality, kEncodeQuality}}));
  if (!CGImageDestinationFinalize(dest)) return nullptr;
  return data;
}

ValueMap PhotoMetadata(CGSize size, int orientation, double wallTime) {
  std::string subseconds;
  const std::string date = ExifDate(wallTime, subseconds);
  ValueMap exif;
  ValueMapSet(exif, "PixelXDimension", Value::integer(int64_t(size.width)));
  ValueMapSet(exif, "PixelYDimension", Value::integer(int64_t(size.height)));
  ValueMapSet(exif, "DateTimeOriginal", date);
  ValueMapSet(exif, "DateTimeDigitized", date);
  ValueMapSet(exif, "SubsecTimeOriginal", subseconds);
  ValueMap tiff;
  ValueMapSet(tiff, "Orientation", Value::integer(orientation));
  ValueMapSet(tiff, "DateTime", date);
  ValueMap metadata;
  ValueMapSet(metadata, kCGImagePropertyOrientation, Value::integer(orientation));
  ValueMapSet(metadata, kCGImagePropertyExifDictionary, Value(std::move(exif)));
  ValueMapSet(metadata, kCGImagePropertyTIFFDictionary, Value(std::move(tiff)));
  return metadata;
}

}  // namespace

int AVCapturePhotoExifOrientation(AVCaptureVideoOrientation orientation) {
  switch (orientation) {
    case AVCaptureVideoOrientationPortraitUpsideDown: return 3;
    case AVCaptureVideoOrientationLandscapeRight: return 8;
    case AVCaptureVideoOrientationLandscapeLeft: return 6;
    default: return 1;
  }
}

AVCapturePhotoSettings::AVCapturePhotoSettings() : uniqueID_(NextUniqueID()) {}

std::shared_ptr<AVCapturePhotoSettings> AVCapturePhotoSettings::photoSettings() {
  return std::make_shared<AVCapturePhotoSettings>();
}

std::shared_ptr<AVCapturePhotoSettings> AVCapturePhotoSettings::photoSettingsFromPhotoSettings(
    const AVCapturePhotoSettings& settings) {
  auto copy = std::make_shared<AVCapturePhotoSettings>();
  copy->flashMode_ = settings.flashMode_;
  copy->highResolution_ = settings.highResolution_;
  return copy;
}

AVCapturePhoto::AVCapturePhoto(std::shared_ptr<const Bytes> jpeg, ValueMap metadata,
                               CGImageRef pixels, AVCaptureResolvedPhotoSettingsPtr resolved,
                               double timestamp)
    : jpeg_(std::move(jpeg)),
      metadata_(std::move(metadata)),
      pixels_(std::move(pixels)),
      resolved_(std::move(resolved)),
      timestamp_(timestamp) {}

std::shared_ptr<Bytes> AVCapturePhoto::fileDataWith(const ValueMap& metadata) const {
  if (!jpeg_) return nullptr;
  auto source = CGImageSourceCreateWithBytes(jpeg_);
  auto out = std::make_shared<Bytes>();
  auto dest = CGImageDestinationCreateWithData(out, "public.jpeg", 1);
  if (!CGImageDestinationCopyImageSource(
          dest, source, Value::map({{kCGImageDestinationMetadata, Value(metadata)}}))) {
    return nullptr;
  }
  return out;
}

std::shared_ptr<Bytes> AVCapturePhoto::fileDataRepresentation() const {
  return fileDataWith(metadata_);
}

std::shared_ptr<Bytes> AVCapturePhoto::fileDataRepresentationWithCustomizer(
    AVCapturePhotoFileDataRepresentationCustomizer& customizer) const {
  std::optional<ValueMap> replacement = customizer.replacementMetadataForPhoto(*this);
  return fileDataWith(replacement ? *replacement : metadata_);
}

AVCapturePhotoOutput::AVCapturePhotoOutput()
    : queue_(dispatch_queue_create("AVCapturePhotoOutput")) {}

std::vector<AVCaptureFlashMode> AVCapturePhotoOutput::supportedFlashModes() const {
  auto session = this->session();
  auto input = session ? session->videoInput() : nullptr;
  if (input && input->device()->hasFlash()) {
    return {AVCaptureFlashModeOff, AVCaptureFlashModeOn, AVCaptureFlashModeAuto};
  }
  return {AVCaptureFlashModeOff};
}

void AVCapturePhotoOutput::capturePhotoWithSettings(
    const AVCapturePhotoSettingsPtr& settings,
    const std::shared_ptr<AVCapturePhotoCaptureDelegate>& delegate) {
  if (!settings) return;
  auto self = std::static_pointer_cast<AVCapturePhotoOutput>(shared_from_this());
  std::weak_ptr<AVCapturePhotoCaptureDelegate> weak = delegate;
  dispatch_async(queue_, [self, settings, weak] { self->capture(settings, weak); });
}

void AVCapturePhotoOutput::capture(const AVCapturePhotoSettingsPtr& settings,
                                   const std::weak_ptr<AVCapturePhotoCaptureDelegate>& weak) {
  auto session = this->session();
  auto connection = connection_;
  const double factor = connection->videoScaleAndCropFactor();
  const int orientation = AVCapturePhotoExifOrientation(connection->videoOrientation());
  const bool flash = settings->flashMode() != AVCaptureFlashModeOff && session &&
                     session->videoInput() && session->videoInput()->device()->hasFlash();

  NSErrorPtr error;
  AVCaptureFramePtr frame;
  if (!session || !session->isRunning() || !connection->isEnabled()) {
    error = NSError::errorWithDescription(AVFoundationErrorDomain, AVErrorSessionNotRunning,
                                          "Cannot Record");
  } else {
    frame = session->currentFrame(&error);
  }
  CGImageRef pixels = frame ? CenterCrop(frame->image, factor) : nullptr;
  const CGSize size = pixels ? CGSizeMake(double(pixels->width()), double(pixels->height()))
                             : CGSizeZero;
  auto resolved = std::make_shared<AVCaptureResolvedPhotoSettings>(settings->uniqueID(), size, flash);
  auto tell = [&](auto&& call) {
    if (auto delegate = weak.lock()) call(*delegate);
  };
  tell([&](AVCapturePhotoCaptureDelegate& d) { d.willBeginCaptureForResolvedSettings(*this, resolved); });
  tell([&](AVCapturePhotoCaptureDelegate& d) { d.willCapturePhotoForResolvedSettings(*this, resolved); });
  tell([&](AVCapturePhotoCaptureDelegate& d) { d.didCapturePhotoForResolvedSettings(*this, resolved); });

  std::shared_ptr<const Bytes> jpeg;
  if (pixels) {
    jpeg = frame->jpeg && factor <= 1 ? frame->jpeg : EncodeJPEG(pixels);
    if (!jpeg) {
      error = NSError::errorWithDescription(AVFoundationErrorDomain, AVErrorUnknown,
                                            "The photo could not be encoded");
    }
  }
  ValueMap metadata = jpeg ? PhotoMetadata(size, orientation, PlatformClock::wallNow()) : ValueMap();
  auto photo = std::make_shared<AVCapturePhoto>(jpeg, std::move(metadata), jpeg ? pixels : nullptr,
                                                resolved, PlatformClock::now());
  tell([&](AVCapturePhotoCaptureDelegate& d) { d.didFinishProcessingPhoto(*this, photo, error); });
  tell([&](AVCapturePhotoCaptureDelegate& d) {
    d.didFinishCaptureForResolvedSettings(*this, resolved, error);
  });
}
