#pragma once

// A control with a title, an image and a background image per state. A state
// without its own value shows the normal state's, as on the platform; a
// button's tap wins over a parent's tap recognizer.

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "UIColor.h"
#include "UIControl.h"
#include "UIGeometry.h"

class UIImage;

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
  // tint, else white, when no state has one.
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

  // The bounds less the content insets.
  CGRect contentRectForBounds(const CGRect& bounds) const;
  // The current image's size, centred in the content rectangle beside the
  // title's `titleSize`, shifted by the image insets.
  CGRect imageRectForContentRect(const CGRect& content, const CGSize& titleSize) const;

  bool gestureRecognizerShouldBegin(UIGestureRecognizer& recognizer) override;

 private:
  template <typename T>
  using PerState = std::map<uint64_t, T>;

  UIButtonType type_ = UIButtonType::Custom;
  PerState<std::optional<std::string>> titles_;
  PerState<UIColorPtr> titleColors_;
  PerState<std::shared_ptr<UIImage>> images_;
  PerState<std::shared_ptr<UIImage>> backgrounds_;
  UIEdgeInsets contentInsets_;
  UIEdgeInsets imageInsets_;
  UIEdgeInsets titleInsets_;
};
