#include "crop/internal/CRCropSharing.h"

#include "crop/UIImageCropRotate.h"
#include "platform/uikit/UIImage.h"

CRActivityCroppedImageProvider::CRActivityCroppedImageProvider(std::shared_ptr<UIImage> image,
                                                               CGRect cropFrame, int64_t angle,
                                                               bool circular)
    : UIActivityItemProvider(Value(std::static_pointer_cast<NSObject>(std::make_shared<UIImage>()))),
      image_(std::move(image)),
      cropFrame_(cropFrame),
      angle_(angle),
      circular_(circular) {}

Value CRActivityCroppedImageProvider::activityViewControllerPlaceholderItem(
    UIActivityViewController&) {
  return Value(std::static_pointer_cast<NSObject>(std::make_shared<UIImage>()));
}

Value CRActivityCroppedImageProvider::item() {
  std::shared_ptr<UIImage> result;
  // The source itself stands for an unturned crop of all of it, unless it
  // must be cut to a circle.
  if (angle_ == 0 && !circular_ && cropFrame_ == CGRect{CGPointZero, image_->size()}) {
    result = image_;
  } else {
    result = croppedImageWithFrame(*image_, cropFrame_, angle_, circular_);
  }
  std::atomic_store(&croppedImage_, result);
  return Value(std::static_pointer_cast<NSObject>(result));
}

Value CRActivityCroppedImageProvider::itemForActivityType(UIActivityViewController&,
                                                          const std::optional<UIActivityType>&) {
  auto image = croppedImage();
  return image ? Value(std::static_pointer_cast<NSObject>(image)) : Value();
}
