#pragma once

// The system image picker's availability answers. The camera is available
// when the device has one: QX_CAMERA_SOURCE or QX_FRONT_CAMERA_SOURCE names
// a source (see platform/avfoundation/AVCaptureHardware.h).

#include <cstdint>

enum UIImagePickerControllerSourceType : int64_t {
  UIImagePickerControllerSourceTypePhotoLibrary = 0,
  UIImagePickerControllerSourceTypeCamera = 1,
  UIImagePickerControllerSourceTypeSavedPhotosAlbum = 2,
};

class UIImagePickerController {
 public:
  static bool isSourceTypeAvailable(UIImagePickerControllerSourceType sourceType);
};
