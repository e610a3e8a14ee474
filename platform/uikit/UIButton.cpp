#include "UIButton.h"

#include "UIImage.h"
#include "platform/foundation/ThreadChecks.h"

namespace {

// The state's own value, else the normal state's.
template <typename T>
T forState(const std::map<uint64_t, T>& values, uint64_t state) {
  auto it = values.find(state);
  if (it != values.end() && it->second) return it->second;
  it = values.find(UIControlStateNormal);
  return it == values.end() ? T() : it->second;
}

}  // namespace

std::shared_ptr<UIButton> UIButton::buttonWithType(UIButtonType type) {
  auto button = std::make_shared<UIButton>();
  button->type_ = type;
  return button;
}

void UIButton::setTitle(std::optional<std::string> title, uint64_t state) {
  QX_DCHECK_MAIN_THREAD();
  titles_[state] = std::move(title);
  setNeedsLayout();
}

std::optional<std::string> UIButton::titleForState(uint64_t state) const {
  return forState(titles_, state);
}

void UIButton::setTitleColor(UIColorPtr color, uint64_t state) {
  QX_DCHECK_MAIN_THREAD();
  titleColors_[state] = std::move(color);
}

UIColorPtr UIButton::titleColorForState(uint64_t state) const {
  if (auto color = forState(titleColors_, state)) return color;
  return type_ == UIButtonType::System ? UIColor::systemBlueColor() : UIColor::whiteColor();
}

void UIButton::setImage(std::shared_ptr<UIImage> image, uint64_t state) {
  QX_DCHECK_MAIN_THREAD();
  images_[state] = std::move(image);
  setNeedsLayout();
}

std::shared_ptr<UIImage> UIButton::imageForState(uint64_t state) const {
  return forState(images_, state);
}

void UIButton::setBackgroundImage(std::shared_ptr<UIImage> image, uint64_t state) {
  QX_DCHECK_MAIN_THREAD();
  backgrounds_[state] = std::move(image);
}

std::shared_ptr<UIImage> UIButton::backgroundImageForState(uint64_t state) const {
  return forState(backgrounds_, state);
}

void UIButton::setContentEdgeInsets(const UIEdgeInsets& i) {
  QX_DCHECK_MAIN_THREAD();
  contentInsets_ = i;
  setNeedsLayout();
}

void UIButton::setImageEdgeInsets(const UIEdgeInsets& i) {
  QX_DCHECK_MAIN_THREAD();
  imageInsets_ = i;
  setNeedsLayout();
}

void UIButton::setTitleEdgeInsets(const UIEdgeInsets& i) {
  QX_DCHECK_MAIN_THREAD();
  titleInsets_ = i;
  setNeedsLayout();
}

CGRect UIButton::contentRectForBounds(const CGRect& bounds) const {
  return UIEdgeInsetsInsetRect(bounds, contentInsets_);
}

CGRect UIButton::imageRectForContentRect(const CGRect& content, const CGSize& titleSize) const {
  auto image = currentImage();
  if (!image) return CGRectMake(CGRectGetMidX(content), CGRectGetMidY(content), 0, 0);
  CGSize size = image->size();
  // Image and title sit side by side, centred as a group.
  double x = CGRectGetMidX(content) - (size.width + titleSize.width) / 2;
  double y = CGRectGetMidY(content) - size.height / 2;
  CGRect r = CGRectMake(x, y, size.width, size.height);
  return CGRectOffset(r, imageInsets_.left - imageInsets_.right,
                      imageInsets_.top - imageInsets_.bottom);
}

bool UIButton::gestureRecognizerShouldBegin(UIGestureRecognizer& recognizer) {
  if (UIControlOverridesTap(*this, recognizer)) return false;
  return UIControl::gestureRecognizerShouldBegin(recognizer);
}
