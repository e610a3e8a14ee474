#pragma once

// The crop screen's button bar: cancel and done at its two ends and, between
// them, up to four tool buttons (rotate anticlockwise, reset, aspect ratio
// (the clamp button), rotate clockwise). Horizontal when at least as wide as
// tall, a column otherwise; mirrored for right-to-left layouts. Every tap is
// reported through the button's callback, when one is set.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIView.h"

class UIFont;
class UIImage;

class CRCropToolbar : public UIView {
 public:
  using Callback = std::function<void()>;
  static constexpr double kButtonSize = 44;
  static constexpr double kEndInset = 10;

  static std::shared_ptr<CRCropToolbar> toolbarWithFrame(const CGRect& frame);
  explicit CRCropToolbar(const CGRect& frame);

  // Flags: each asks for a new layout when its value changes.
  bool showOnlyIcons() const { return showOnlyIcons_; }
  void setShowOnlyIcons(bool on);
  bool clampButtonGlowing() const { return clampButtonGlowing_; }
  void setClampButtonGlowing(bool on);
  bool clampButtonHidden() const { return clampButtonHidden_; }
  void setClampButtonHidden(bool on) { setFlag(clampButtonHidden_, on); }
  bool rotateCounterclockwiseButtonHidden() const { return rotateCounterclockwiseButtonHidden_; }
  void setRotateCounterclockwiseButtonHidden(bool on) {
    setFlag(rotateCounterclockwiseButtonHidden_, on);
  }
  bool rotateClockwiseButtonHidden() const { return rotateClockwiseButtonHidden_; }
  void setRotateClockwiseButtonHidden(bool on) { setFlag(rotateClockwiseButtonHidden_, on); }
  bool resetButtonHidden() const { return resetButtonHidden_; }
  void setResetButtonHidden(bool on) { setFlag(resetButtonHidden_, on); }
  bool doneButtonHidden() const { return doneButtonHidden_; }
  void setDoneButtonHidden(bool on) { setFlag(doneButtonHidden_, on); }
  bool cancelButtonHidden() const { return cancelButtonHidden_; }
  void setCancelButtonHidden(bool on) { setFlag(cancelButtonHidden_, on); }
  bool reverseContentLayout() const { return reverseContentLayout_; }
  void setReverseContentLayout(bool on) { setFlag(reverseContentLayout_, on); }
  double statusBarHeightInset() const { return statusBarHeightInset_; }
  void setStatusBarHeightInset(double inset);
  UIEdgeInsets backgroundViewOutsets() const { return backgroundViewOutsets_; }
  void setBackgroundViewOutsets(const UIEdgeInsets& outsets) { backgroundViewOutsets_ = outsets; }

  // Titles and colours.
  const std::optional<std::string>& doneTextButtonTitle() const { return doneTextButtonTitle_; }
  void setDoneTextButtonTitle(std::optional<std::string> title);
  const std::optional<std::string>& cancelTextButtonTitle() const { return cancelTextButtonTitle_; }
  void setCancelTextButtonTitle(std::optional<std::string> title);
  const UIColorPtr& doneButtonColor() const { return doneButtonColor_; }
  // nullptr stands for the default done colour.
  void setDoneButtonColor(UIColorPtr color);
  const UIColorPtr& cancelButtonColor() const { return cancelButtonColor_; }
  void setCancelButtonColor(UIColorPtr color);
  static UIColorPtr defaultDoneColor();

  bool resetButtonEnabled() const;
  void setResetButtonEnabled(bool enabled);

  // Buttons.
  const std::shared_ptr<UIButton>& doneTextButton() const { return doneTextButton_; }
  const std::shared_ptr<UIButton>& doneIconButton() const { return doneIconButton_; }
  const std::shared_ptr<UIButton>& cancelTextButton() const { return cancelTextButton_; }
  const std::shared_ptr<UIButton>& cancelIconButton() const { return cancelIconButton_; }
  const std::shared_ptr<UIButton>& rotateCounterclockwiseButton() const { return rotateCCW_; }
  const std::shared_ptr<UIButton>& rotateButton() const { return rotateCCW_; }
  const std::shared_ptr<UIButton>& rotateClockwiseButton() const { return rotateCW_; }
  const std::shared_ptr<UIButton>& resetButton() const { return resetButton_; }
  const std::shared_ptr<UIButton>& clampButton() const { return clampButton_; }
  const std::shared_ptr<UIView>& backgroundView() const { return backgroundView_; }
  std::shared_ptr<UIButton> visibleCancelButton() const;
  CGRect doneButtonFrame() const;
  CGRect clampButtonFrame() const { return clampButton_->frame(); }

  // Tap callbacks.
  Callback cancelButtonTapped, doneButtonTapped, rotateCounterclockwiseButtonTapped,
      rotateClockwiseButtonTapped, clampButtonTapped, resetButtonTapped;

  // Icons of the buttons.
  static std::shared_ptr<UIImage> doneImage();
  static std::shared_ptr<UIImage> cancelImage();
  static std::shared_ptr<UIImage> rotateCCWImage();
  static std::shared_ptr<UIImage> rotateCWImage();
  static std::shared_ptr<UIImage> resetImage();
  static std::shared_ptr<UIImage> clampImage();

  // The width a text button needs for its current title.
  double fittedWidth(const UIButton& textButton) const;
  void layoutSubviews() override;
  std::string className() const override { return "CRCropToolbar"; }

 private:
  void setup();
  void setFlag(bool& flag, bool value);
  void buttonTapped(UIControl& sender);
  std::shared_ptr<UIButton> makeButton();
  void sizeTextButton(UIButton& button);
  void layoutToolButtons(const CGRect& container, bool horizontal);

  bool showOnlyIcons_ = false;
  bool clampButtonGlowing_ = false;
  bool clampButtonHidden_ = false;
  bool rotateCounterclockwiseButtonHidden_ = false;
  bool rotateClockwiseButtonHidden_ = false;
  bool resetButtonHidden_ = false;
  bool doneButtonHidden_ = false;
  bool cancelButtonHidden_ = false;
  bool reverseContentLayout_ = false;
  double statusBarHeightInset_ = 0;
  UIEdgeInsets backgroundViewOutsets_;
  std::optional<std::string> doneTextButtonTitle_, cancelTextButtonTitle_;
  UIColorPtr doneButtonColor_, cancelButtonColor_;
  std::shared_ptr<UIFont> doneFont_, cancelFont_;
  std::shared_ptr<UIButton> doneTextButton_, doneIconButton_, cancelTextButton_,
      cancelIconButton_, rotateCCW_, rotateCW_, resetButton_, clampButton_;
  std::shared_ptr<UIView> backgroundView_;
};
