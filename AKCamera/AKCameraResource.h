#pragma once

// Where the camera screen's button images come from. The default reads the
// PNG files of "AKCameraResource.bundle/Images" in the resource folder of
// the bundle that holds the camera; a missing bundle or image stops the
// process (they are part of the build).

#include <memory>
#include <string>

#include "platform/foundation/NSBundle.h"
#include "platform/uikit/UIImage.h"

class AKCameraResource {
 public:
  virtual ~AKCameraResource() = default;
  virtual UIImagePtr cameraCancelImage() = 0;
  virtual UIImagePtr cameraFlashOnImage() = 0;
  virtual UIImagePtr cameraFlashAutoImage() = 0;
  virtual UIImagePtr cameraFlashOffImage() = 0;
  virtual UIImagePtr cameraSwitchImage() = 0;
};

class AKDefaultCameraResource : public AKCameraResource {
 public:
  UIImagePtr cameraCancelImage() override { return imageForResource("camera_cancel"); }
  UIImagePtr cameraFlashOnImage() override { return imageForResource("camera_flash_on"); }
  UIImagePtr cameraFlashAutoImage() override { return imageForResource("camera_flash_auto"); }
  UIImagePtr cameraFlashOffImage() override { return imageForResource("camera_flash_off"); }
  UIImagePtr cameraSwitchImage() override { return imageForResource("camera_switch"); }

  UIImagePtr imageForResource(const std::string& name);
  // Looked up again on every request.
  NSBundlePtr resourceBundle();
};
