#include "AKImagePickerController/data/AKPermissionViewColors.h"

std::shared_ptr<AKPermissionViewColors> AKPermissionViewColors::pickerDefaults() {
  auto colors = std::make_shared<AKPermissionViewColors>();
  colors->backgroundColor = UIColor::blackColor();
  colors->titlePhotoColor = UIColor::grayColor();
  colors->titleCameraColor = UIColor::whiteColor();
  colors->permitButtonColor = UIColor::colorWithRed(0, 122.0 / 255.0, 1, 1);
  return colors;
}
