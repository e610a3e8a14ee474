#include "AKImagePickerController/picker/AKImagePickerControllerPickerModule.h"

#include <mutex>

#include "AKImagePickerController/picker/AKAssetGroupDetailVC.h"
#include "AKImagePickerController/picker/internal/AKImageExtension.h"
#include "AKImagePickerController/picker/internal/AKImageExtensionCamera.h"
#include "AKImagePickerController/picker/internal/AKImageExtensionPhotoCropper.h"

void registerAKImagePickerControllerPickerClasses() {
  static std::once_flag once;
  std::call_once(once, [] {
    AKImageExtensionClass::registerRuntimeClass(AKImageExtensionClass::none());
    AKImageExtensionClass::registerRuntimeClass(AKImageExtensionPhotoCropper::extensionClass());
    registerAKImagePickerScreenClasses();
    AKImageExtensionClass::registerRuntimeClass(AKImageExtensionCamera::extensionClass());
    AKImageExtensionClass::registerRuntimeClass(AKImageExtensionInlineCamera::extensionClass());
  });
}
