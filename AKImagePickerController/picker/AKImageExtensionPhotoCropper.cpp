#include "AKImagePickerController/picker/internal/AKImageExtensionPhotoCropper.h"

#include "AKImagePickerController/picker/AKImagePickerController.h"
#include "crop/CRCropViewController.h"
#include "platform/imageio/ImageIOProperties.h"

AKImageExtensionClass AKImageExtensionPhotoCropper::extensionClass() {
  return AKImageExtensionClass::of<AKImageExtensionPhotoCropper>(kRuntimeName, AKImageExtensionType::photoEditor);
}

AKImageExtensionPhotoCropper::AKImageExtensionPhotoCropper(AKImageExtensionContextPtr context)
    : AKImageBaseExtension(std::move(context)) {}

void AKImageExtensionPhotoCropper::perform(const AKImageExtensionInfo& info) {
  auto image = AKImageExtensionValue<std::shared_ptr<UIImage>>(info, kAKExtensionImage);
  if (!image || !*image) return;
  auto callback = AKImageExtensionValue<AKImageExtensionEditBlock>(info, kAKExtensionDidFinishEditing);
  if (!callback || !*callback) return;
  metadata_ = AKImageExtensionValue<ValueMap>(info, kAKExtensionMetadata);
  didFinishEditing_ = *callback;

  auto editor = CRCropViewController::controllerWithImage(*image);
  std::weak_ptr<AKImageExtensionPhotoCropper> weak =
      std::static_pointer_cast<AKImageExtensionPhotoCropper>(shared_from_this());
  auto source = *image;
  editor->onDidCropToRect = [weak, source](const std::shared_ptr<UIImage>& cropped, CGRect, int64_t) {
    if (auto self = weak.lock()) self->cropped(source, cropped);
  };
  editor->setModalPresentationStyle(UIModalPresentationStyle::FullScreen);
  imageEditor_ = editor;

  auto picker = context() ? context()->imagePickerController() : nullptr;
  if (!picker) return;
  // Over the camera when the picker shows it.
  if (auto shown = picker->presentedViewController()) {
    shown->presentViewController(editor, true);
  } else {
    picker->presentViewController(editor, true);
  }
}

void AKImageExtensionPhotoCropper::cropped(const std::shared_ptr<UIImage>& source,
                                           const std::shared_ptr<UIImage>& image) {
  if (!didFinishEditing_) return;
  if (image != source && metadata_) {
    // The crop's pixels are upright whatever the photo's orientation was.
    bool replaced = false;
    for (auto& [key, value] : *metadata_) {
      if (key.isString() && key.asString() == kCGImagePropertyOrientation) {
        value = Value(int64_t{1});
        replaced = true;
      }
    }
    if (!replaced) metadata_->emplace_back(Value(kCGImagePropertyOrientation), Value(int64_t{1}));
  }
  auto callback = std::move(didFinishEditing_);
  auto metadata = std::move(metadata_);
  didFinishEditing_ = nullptr;
  metadata_.reset();
  callback(image, metadata);
}

void AKImageExtensionPhotoCropper::finish() {
  auto editor = imageEditor_.lock();
  if (!editor) return;
  if (auto presenting = editor->presentingViewController()) presenting->dismissViewControllerAnimated(true);
}
