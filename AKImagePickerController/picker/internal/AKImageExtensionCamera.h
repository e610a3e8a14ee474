#pragma once
// The default camera extensions: take a photo with the camera screen, either
// presented full screen over the picker or as the picker's only screen (a
// picker that opens straight into the camera). Both hand the picker's
// capture and cancel callbacks to a new camera on every request and put the
// permission view over the camera when camera access is denied.

#include <memory>

#include "AKImagePickerController/data/AKPermissionViewColors.h"
#include "AKImagePickerController/picker/internal/AKImageExtension.h"

class AKCamera;

class AKImageExtensionCamera : public AKImageBaseExtension {
 public:
  static constexpr const char* kRuntimeName = "AKImagePickerController.AKImageExtensionCamera";
  static AKImageExtensionClass extensionClass();
  static AKImageExtensionType extensionType() { return AKImageExtensionType::camera; }

  explicit AKImageExtensionCamera(AKImageExtensionContextPtr context);

  void perform(const AKImageExtensionInfo& info) override;
  // Asks the picker to dismiss what it presents.
  void finish() override;

  // Clears the camera's overlay when access is granted; when it is denied,
  // a later main-queue job puts the camera-style permission view over it.
  void checkCameraPermission(const std::shared_ptr<AKCamera>& camera);

  std::string className() const override { return "AKImageExtensionCamera"; }

 protected:
  // The camera made for a request, or nullptr when a callback is missing.
  std::shared_ptr<AKCamera> makeCamera(const AKImageExtensionInfo& info);
  // The colours of the permission view, read when it is made.
  virtual AKPermissionViewColorsPtr permissionViewColors() const;
  virtual void show(const std::shared_ptr<AKCamera>& camera);
};

class AKImageExtensionInlineCamera : public AKImageExtensionCamera {
 public:
  static constexpr const char* kRuntimeName = "AKImagePickerController.AKImageExtensionInlineCamera";
  static AKImageExtensionClass extensionClass();
  static AKImageExtensionType extensionType() { return AKImageExtensionType::inlineCamera; }

  using AKImageExtensionCamera::AKImageExtensionCamera;

  // The fixed set the inline camera's permission view uses, whatever the
  // picker's colours are.
  static AKPermissionViewColorsPtr inlinePermissionViewColors();

  std::string className() const override { return "AKImageExtensionInlineCamera"; }

 protected:
  AKPermissionViewColorsPtr permissionViewColors() const override;
  void show(const std::shared_ptr<AKCamera>& camera) override;
};
