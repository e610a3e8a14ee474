#pragma once

// The camera's control layer: the translucent bar at the bottom with the
// shutter and the camera switch, the cancel and flash buttons above, the
// flash mode they show (and keep in the user defaults), and their turning
// when the device is held another way.

#include <memory>
#include <optional>

#include "AKCamera/AKCameraResource.h"
#include "platform/avfoundation/AVCapturePhotoOutput.h"
#include "platform/uikit/UIButton.h"

class AKCamera;

class AKCameraControls {
 public:
  AKCameraControls(AKCamera& camera, std::shared_ptr<AKCameraResource> resource);
  AKCameraControls(const AKCameraControls&) = delete;
  AKCameraControls& operator=(const AKCameraControls&) = delete;

  // Builds the layer over the camera's view; the switch button is hidden
  // unless `showsSwitchButton`.
  void setupUI(bool showsSwitchButton);
  // The bottom strip again, when the safe area changed since it was laid out.
  void safeAreaMayHaveChanged();
  // Turns the flash and switch buttons by `rotation`, or, with `wholeLayer`,
  // the whole layer, with landscape or portrait bounds.
  void turn(double rotation, bool wholeLayer, bool landscape);

  std::optional<AVCaptureFlashMode> flashMode() const { return flashMode_; }
  void setFlashMode(std::optional<AVCaptureFlashMode> mode);
  // Off, on, auto, off again.
  void switchFlashMode();
  // A device with a flash shows the button and takes the stored mode; one
  // without hides it and keeps the mode.
  void deviceDidChange(bool hasFlash);
  static AVCaptureFlashMode currentFlashModeFromDefaults();

  bool showsCameraControls() const { return showsCameraControls_; }
  void setShowsCameraControls(bool shows);

  const UIViewPtr& contentView() const { return contentView_; }
  const std::shared_ptr<UIButton>& flashButton();
  const std::shared_ptr<UIButton>& cameraSwitchButton() const { return cameraSwitchButton_; }
  const std::shared_ptr<UIButton>& captureButton() const { return captureButton_; }
  const std::shared_ptr<UIButton>& cancelButton() const { return cancelButton_; }
  const UIViewPtr& bottomViewContainer() const { return bottomViewContainer_; }
  const UIViewPtr& bottomView() const { return bottomView_; }

 private:
  void setupBottomBar();
  void setupSwitchButton(bool shows);
  void setupCaptureButton();
  void setupCancelButton();
  void layoutBottomContainer();
  void updateFlashButton();
  std::shared_ptr<UIButton> makeCaptureButton(double size);

  AKCamera& camera_;
  const std::shared_ptr<AKCameraResource> cameraResource_;
  std::optional<AVCaptureFlashMode> flashMode_;
  bool showsCameraControls_ = true;
  const UIViewPtr contentView_ = std::make_shared<UIView>();
  const UIViewPtr bottomViewContainer_ = std::make_shared<UIView>();
  const UIViewPtr bottomView_ = std::make_shared<UIView>();
  std::shared_ptr<UIButton> flashButton_;
  std::shared_ptr<UIButton> cameraSwitchButton_;
  std::shared_ptr<UIButton> captureButton_;
  std::shared_ptr<UIButton> cancelButton_;
  UIEdgeInsets lastSafeArea_;
};
