#pragma once

// The delegate of one photo: takes the photo's file data, with the GPS
// dictionary spliced in when there is one, and hands it on once the capture
// has finished, or reports that it failed.

#include <functional>
#include <memory>
#include <optional>

#include "platform/avfoundation/AVCapturePhotoOutput.h"

class AKCameraPhotoCapturer : public NSObject, public AVCapturePhotoCaptureDelegate {
 public:
  // Answers the replacement-metadata request with the metadata it was made with.
  class AKFileDataRepresentationCustomizer : public NSObject,
                                             public AVCapturePhotoFileDataRepresentationCustomizer {
   public:
    explicit AKFileDataRepresentationCustomizer(ValueMap metadata) : metadata_(std::move(metadata)) {}
    std::optional<ValueMap> replacementMetadataForPhoto(const AVCapturePhoto&) override {
      return metadata_;
    }
    const ValueMap& metadata() const { return metadata_; }

   private:
    const ValueMap metadata_;
  };

  // Both run on the photo output's queue, once, one or the other.
  std::function<void(std::shared_ptr<Bytes>)> didCaptureWithImageData;
  std::function<void(const NSErrorPtr&)> didFail;
  std::optional<ValueMap> gpsMetadata;
  std::shared_ptr<Bytes> imageData;

  void didFinishProcessingPhoto(AVCapturePhotoOutput& output, const AVCapturePhotoPtr& photo,
                                const NSErrorPtr& error) override;
  void didFinishCaptureForResolvedSettings(AVCapturePhotoOutput& output,
                                           const AVCaptureResolvedPhotoSettingsPtr& settings,
                                           const NSErrorPtr& error) override;
  std::string className() const override { return "AKCameraPhotoCapturer"; }
};
