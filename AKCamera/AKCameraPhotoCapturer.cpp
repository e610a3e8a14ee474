#include "AKCamera/AKCameraPhotoCapturer.h"

#include <cstdio>

#include "platform/imageio/ImageIOProperties.h"

void AKCameraPhotoCapturer::didFinishProcessingPhoto(AVCapturePhotoOutput&,
                                                     const AVCapturePhotoPtr& photo,
                                                     const NSErrorPtr&) {
  if (!photo) return;
  if (!gpsMetadata) {
    imageData = photo->fileDataRepresentation();
    return;
  }
  ValueMap metadata = photo->metadata();
  ValueMapSet(metadata, kCGImagePropertyGPSDictionary, Value(*gpsMetadata));
  AKFileDataRepresentationCustomizer customizer(std::move(metadata));
  imageData = photo->fileDataRepresentationWithCustomizer(customizer);
}

void AKCameraPhotoCapturer::didFinishCaptureForResolvedSettings(
    AVCapturePhotoOutput&, const AVCaptureResolvedPhotoSettingsPtr&, const NSErrorPtr& error) {
  if (error) {
    std::fprintf(stderr, "AKCameraError: %s\n", error->description().c_str());
    if (didFail) didFail(error);
    return;
  }
  if (didCaptureWithImageData) {
    didCaptureWithImageData(imageData);
  } else if (didFail) {
    didFail(nullptr);
  }
}
