#include "host/HostClasses.h"

#include "AKImagePickerController/data/AKImagePickerControllerModule.h"
#include "AKImagePickerController/picker/AKImagePickerControllerPickerModule.h"
#include "AKPhotoGallery/AKPhotoBasePreviewVC.h"
#include "host/AppDelegate.h"

void registerHostClasses() {
  AppDelegate::registerClass();
  registerAKImagePickerControllerClasses();
  registerAKImagePickerControllerPickerClasses();
  // The picker's gallery extension presents the gallery, which makes its
  // pages by name as they scroll in.
  registerAKPhotoGalleryClasses();
}
