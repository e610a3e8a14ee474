#include "platform/uikit/UIImagePickerController.h"

#include <cstdlib>
#include <initializer_list>

bool UIImagePickerController::isSourceTypeAvailable(UIImagePickerControllerSourceType sourceType) {
  switch (sourceType) {
    case UIImagePickerControllerSourceTypeCamera:
      for (const char* name : {"QX_CAMERA_SOURCE", "QX_FRONT_CAMERA_SOURCE"}) {
        const char* value = std::getenv(name);
        if (value && *value) return true;
      }
      return false;
    case UIImagePickerControllerSourceTypePhotoLibrary:
    case UIImagePickerControllerSourceTypeSavedPhotosAlbum:
      return true;
  }
  return false;
}
