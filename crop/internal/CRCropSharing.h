#pragma once

// What the crop screen puts in the share sheet: the cropped image, rendered
// only when an activity asks for it, and the crop's geometry beside it.

#include <atomic>
#include <memory>

#include "platform/coregraphics/CGGeometry.h"
#include "platform/foundation/NSObject.h"
#include "platform/uikit/UIActivityItemProvider.h"

class UIImage;

class CRActivityCroppedImageProvider : public UIActivityItemProvider {
 public:
  CRActivityCroppedImageProvider(std::shared_ptr<UIImage> image, CGRect cropFrame, int64_t angle,
                                 bool circular);

  const std::shared_ptr<UIImage>& image() const { return image_; }
  CGRect cropFrame() const { return cropFrame_; }
  int64_t angle() const { return angle_; }
  bool circular() const { return circular_; }
  // nullptr until rendered.
  std::shared_ptr<UIImage> croppedImage() const { return std::atomic_load(&croppedImage_); }

  // A new empty image each time.
  Value activityViewControllerPlaceholderItem(UIActivityViewController&) override;
  // Renders (or, for an unturned whole-image rectangular crop, takes the
  // source itself) and keeps the result.
  Value item() override;
  std::string className() const override { return "CRActivityCroppedImageProvider"; }

 protected:
  // The kept result, as it stands, for every activity.
  Value itemForActivityType(UIActivityViewController&,
                            const std::optional<UIActivityType>&) override;

 private:
  std::shared_ptr<UIImage> image_;
  CGRect cropFrame_;
  int64_t angle_;
  bool circular_;
  std::shared_ptr<UIImage> croppedImage_;  // atomic access only
};

class CRCroppedImageAttributes : public NSObject {
 public:
  CRCroppedImageAttributes(CGRect croppedFrame, int64_t angle, CGSize originalImageSize)
      : croppedFrame(croppedFrame), angle(angle), originalImageSize(originalImageSize) {}
  std::string className() const override { return "CRCroppedImageAttributes"; }

  CGRect croppedFrame;
  int64_t angle;
  CGSize originalImageSize;
};
