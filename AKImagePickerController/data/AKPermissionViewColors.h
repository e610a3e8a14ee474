#pragma once
// The colour set of the picker's permission view.

#include "platform/uikit/UIColor.h"

class AKPermissionViewColors : public NSObject {
 public:
  AKPermissionViewColors() = default;

  // The set a picker starts with: black background, grey photo title,
  // white camera title and the system blue permit button.
  static std::shared_ptr<AKPermissionViewColors> pickerDefaults();

  UIColorPtr backgroundColor;
  UIColorPtr titlePhotoColor;
  UIColorPtr titleCameraColor;
  UIColorPtr permitButtonColor;

  std::string className() const override { return "AKPermissionViewColors"; }
};
using AKPermissionViewColorsPtr = std::shared_ptr<AKPermissionViewColors>;
