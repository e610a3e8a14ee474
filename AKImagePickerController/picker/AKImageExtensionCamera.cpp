#include "AKImagePickerController/picker/internal/AKImageExtensionCamera.h"

#include "AKCamera/AKCamera.h"
#include "AKImagePickerController/picker/AKImagePickerController.h"
#include "AKImagePickerController/picker/internal/AKPermissionView.h"
#include "platform/foundation/Dispatch.h"

AKImageExtensionClass AKImageExtensionCamera::extensionClass() {
  return AKImageExtensionClass::of<AKImageExtensionCamera>(kRuntimeName, extensionType());
}

AKImageExtensionCamera::AKImageExtensionCamera(AKImageExtensionContextPtr context)
    : AKImageBaseExtension(std::move(context)) {}

std::shared_ptr<AKCamera> AKImageExtensionCamera::makeCamera(const AKImageExtensionInfo& info) {
  auto captured = AKImageExtensionValue<AKImageExtensionCaptureImageBlock>(info, kAKExtensionDidFinishCapturingImage);
  if (!captured || !*captured) return nullptr;
  auto cancelled = AKImageExtensionValue<AKImageExtensionCancelBlock>(info, kAKExtensionDidCancel);
  if (!cancelled || !*cancelled) return nullptr;
  // Only a Boolean turns location tags on; a number or a string does not.
  bool gps = AKImageExtensionValue<bool>(info, kAKExtensionContainsGPSInMetadata).value_or(false);

  auto camera = std::make_shared<AKCamera>();
  camera->didFinishCapturingImage = [callback = *captured](UIImagePtr image, std::optional<ValueMap> metadata) {
    // The picker's selection and saving live on the main thread.
    dispatch_main_now_or_async([callback, image = std::move(image),
                                metadata = std::move(metadata)] { callback(image, metadata); });
  };
  camera->containsGPSInMetadata = gps;
  camera->didCancel = *cancelled;
  return camera;
}

void AKImageExtensionCamera::perform(const AKImageExtensionInfo& info) {
  auto camera = makeCamera(info);
  if (!camera) return;
  checkCameraPermission(camera);
  show(camera);
}

void AKImageExtensionCamera::show(const std::shared_ptr<AKCamera>& camera) {
  auto picker = context() ? context()->imagePickerController() : nullptr;
  if (!picker) return;
  camera->setModalPresentationStyle(UIModalPresentationStyle::FullScreen);
  picker->presentViewController(camera, true);
}

void AKImageExtensionCamera::finish() {
  auto picker = context() ? context()->imagePickerController() : nullptr;
  if (!picker) return;
  picker->dismissViewControllerAnimated(true);
}

AKPermissionViewColorsPtr AKImageExtensionCamera::permissionViewColors() const {
  auto picker = context() ? context()->imagePickerController() : nullptr;
  return picker ? picker->permissionViewColors() : nullptr;
}

void AKImageExtensionCamera::checkCameraPermission(const std::shared_ptr<AKCamera>& camera) {
  std::weak_ptr<AKImageExtensionCamera> weakSelf =
      std::static_pointer_cast<AKImageExtensionCamera>(shared_from_this());
  // The camera is kept by whoever shows it; a camera gone by the time the
  // answer comes needs no overlay.
  std::weak_ptr<AKCamera> weakCamera = camera;
  AKCamera::checkCameraPermission([weakSelf, weakCamera](bool granted) {
    if (granted) {
      if (auto camera = weakCamera.lock()) camera->setCameraOverlayView(nullptr);
      return;
    }
    dispatch_async(dispatch_get_main_queue(), [weakSelf, weakCamera] {
      auto self = weakSelf.lock();
      auto camera = weakCamera.lock();
      if (!self || !camera) return;
      auto colors = self->permissionViewColors();
      // Without a picker there are no colours to read and nobody to show it.
      if (!colors) return;
      camera->setCameraOverlayView(AKPermissionView::permissionView(AKPermissionView::kCameraStyle, colors));
    });
  });
}

AKImageExtensionClass AKImageExtensionInlineCamera::extensionClass() {
  return AKImageExtensionClass::of<AKImageExtensionInlineCamera>(kRuntimeName, extensionType());
}

AKPermissionViewColorsPtr AKImageExtensionInlineCamera::inlinePermissionViewColors() {
  auto colors = std::make_shared<AKPermissionViewColors>();
  colors->backgroundColor = UIColor::blackColor();
  colors->titlePhotoColor = UIColor::grayColor();
  colors->titleCameraColor = UIColor::whiteColor();
  colors->permitButtonColor = UIColor::colorWithRed(0, 122.0 / 255.0, 1.0, 1.0);
  return colors;
}

AKPermissionViewColorsPtr AKImageExtensionInlineCamera::permissionViewColors() const {
  return inlinePermissionViewColors();
}

void AKImageExtensionInlineCamera::show(const std::shared_ptr<AKCamera>& camera) {
  auto picker = context() ? context()->imagePickerController() : nullptr;
  if (!picker) return;
  picker->setViewControllers({camera}, false);
}
