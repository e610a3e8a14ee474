#pragma once
// The default photo editor: opens the crop screen on a photo just taken and
// hands the cropped image back with the photo's metadata, its orientation
// set upright when the picture changed.

#include <memory>
#include <optional>

#include "AKImagePickerController/picker/internal/AKImageExtension.h"
#include "platform/foundation/Value.h"

class UIViewController;

class AKImageExtensionPhotoCropper : public AKImageBaseExtension {
 public:
  static constexpr const char* kRuntimeName = "AKImagePickerController.AKImageExtensionPhotoCropper";
  static AKImageExtensionClass extensionClass();

  explicit AKImageExtensionPhotoCropper(AKImageExtensionContextPtr context);

  void perform(const AKImageExtensionInfo& info) override;
  void finish() override;

  std::shared_ptr<UIViewController> imageEditor() const { return imageEditor_.lock(); }
  const std::optional<ValueMap>& metadata() const { return metadata_; }
  const AKImageExtensionEditBlock& didFinishEditing() const { return didFinishEditing_; }

  std::string className() const override { return "AKImageExtensionPhotoCropper"; }

 private:
  void cropped(const std::shared_ptr<UIImage>& source, const std::shared_ptr<UIImage>& image);

  std::weak_ptr<UIViewController> imageEditor_;
  std::optional<ValueMap> metadata_;
  AKImageExtensionEditBlock didFinishEditing_;
};
