#pragma once

// A control with a title, an image and a background image per state. A state
// without its own value shows the normal state's, as on the platform; a
// button's tap wins over a parent's tap recognizer. The current state's
// values show through a title label, an image view and a background image
// view, laid out on the layout pass: image and title side by side, centred
// as a group in the content rectangle. A system button draws its title and
// image in its tint colour unless given a colour, dimmed while highlighted
// or disabled.

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "UIColor.h"
#include "UIControl.h"
#include "platform/uikit/UIGeometry.h"

class UIImage;
class UIImageView;
class UILabel;

enum class UIButtonType { Custom = 0, System = 1, DetailDisclosure = 2, InfoLight = 3,
                          InfoDark = 4, ContactAdd = 5, Close = 7 };

class UIButton : public UIControl {
 public:
  using UIControl::UIControl;
  static std::shared_ptr<UIButton> buttonWithType(UIButtonType type);

  UIButtonType buttonType() const { return type_; }

  void setTitle(std::optional<std::string> title, uint64_t state);
  std::optional<std::string> titleForState(uint64_t state) const;
  std::optional<std::string> currentTitle() const { return titleForState(this->state()); }
  void setTitleColor(UIColorPtr color, uint64_t state);
  // The normal state's colour when the state has none; the system button's
  // tint colour, else white, when no state has one.
  UIColorPtr titleColorForState(uint64_t state) const;
  UIColorPtr currentTitleColor() const { return titleColorForState(this->state()); }
  void setImage(std::shared_ptr<UIImage> image, uint64_t state);
  std::shared_ptr<UIImage> imageForState(uint64_t state) const;
  std::shared_ptr<UIImage> currentImage() const { return imageForState(this->state()); }
  void setBackgroundImage(std::shared_ptr<UIImage> image, uint64_t state);
  std::shared_ptr<UIImage> backgroundImageForState(uint64_t state) const;
  std::shared_ptr<UIImage> currentBackgroundImage() const {
    return backgroundImageForState(this->state());
  }

  UIEdgeInsets contentEdgeInsets() const { return contentInsets_; }
  void setContentEdgeInsets(const UIEdgeInsets& i);
  UIEdgeInsets imageEdgeInsets() const { return imageInsets_; }
  void setImageEdgeInsets(const UIEdgeInsets& i);
  UIEdgeInsets titleEdgeInsets() const { return titleInsets_; }
  void setTitleEdgeInsets(const UIEdgeInsets& i);

  // Made on first use; they show the current state's title and image.
  const std::shared_ptr<UILabel>& titleLabel();
  const std::shared_ptr<UIImageView>& imageView();

  // The bounds less the content insets.
  CGRect contentRectForBounds(const CGRect& bounds) const;
  CGRect backgroundRectForBounds(const CGRect& bounds) const { return bounds; }
  // The current image (shrunk to fit, keeping its shape) and title, side by
  // side and centred as a pair in the content rectangle; the image and title
  // insets move each by half their difference, as on the platform. The title
  // is cut to the width the image leaves.
  CGRect imageRectForContentRect(const CGRect& content) const;
  CGRect titleRectForContentRect(const CGRect& content) const;

  // The image and title side by side, plus the content insets.
  std::string accessibilityLabel() const override {
    return accessibilityLabelSetting().value_or(currentTitle().value_or(""));
  }
  CGSize sizeThatFits(CGSize size) const override;
  CGSize intrinsicContentSize() const override;
  void layoutSubviews() override;
  void tintColorDidChange() override;
  bool gestureRecognizerShouldBegin(UIGestureRecognizer& recognizer) override;
  std::string className() const override { return "UIButton"; }

 protected:
  void stateDidChange() override;

 private:
  template <typename T>
  using PerState = std::map<uint64_t, T>;

  // Pushes the current state's values into the subviews.
  void updateContent();
  UIColorPtr displayedTitleColor() const;
  std::shared_ptr<UIImage> displayedImage() const;
  CGSize imageSizeIn(const CGRect& content) const;
  CGSize titleSizeIn(double width) const;

  UIButtonType type_ = UIButtonType::Custom;
  PerState<std::optional<std::string>> titles_;
  PerState<UIColorPtr> titleColors_;
  PerState<std::shared_ptr<UIImage>> images_;
  PerState<std::shared_ptr<UIImage>> backgrounds_;
  UIEdgeInsets contentInsets_;
  UIEdgeInsets imageInsets_;
  UIEdgeInsets titleInsets_;
  std::shared_ptr<UILabel> titleLabel_;
  std::shared_ptr<UIImageView> imageView_;
  std::shared_ptr<UIImageView> backgroundView_;
  // The template copy of an image a system button tints, kept per source.
  mutable std::shared_ptr<UIImage> templateSource_, templateImage_;
};
