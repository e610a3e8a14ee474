#pragma once
// The placeholder shown instead of the grid or the camera when access to
// the photo library or the camera is missing: one line saying so and a
// button that opens the application's page in the system settings.

#include <memory>

#include "AKImagePickerController/data/AKPermissionViewColors.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UILabel.h"

class AKPermissionView : public UIView {
 public:
  // Style 1 asks for photo-library access, any other for camera access.
  static constexpr int64_t kPhotoStyle = 1;
  static constexpr int64_t kCameraStyle = 0;

  static std::shared_ptr<AKPermissionView> permissionView(int64_t style,
                                                          const AKPermissionViewColorsPtr& colors);

  const std::shared_ptr<UILabel>& titleLabel() const { return titleLabel_; }
  const std::shared_ptr<UIButton>& permitButton() const { return permitButton_; }

  // Opens the platform's settings page for the application.
  void gotoSettings();

  // Centres the view in its superview, its text wrapped to fit the
  // superview's width. The screen showing the view calls this on every
  // layout pass, so the view follows the screen's size as it changes.
  void layoutInSuperview();

  void didMoveToWindow() override;
  std::string className() const override { return "AKPermissionView"; }

 private:
  std::shared_ptr<UILabel> titleLabel_ = std::make_shared<UILabel>();
  std::shared_ptr<UIButton> permitButton_ = UIButton::buttonWithType(UIButtonType::Custom);

  // Sizes the label to fit within `width`, the button under it and the view
  // around both, keeping the view's origin.
  void arrange(double width);
};
using AKPermissionViewPtr = std::shared_ptr<AKPermissionView>;
