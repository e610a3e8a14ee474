#include "UIButton.h"

#include <algorithm>
#include <limits>

#include "UIImage.h"
#include "UIImageView.h"
#include "UILabel.h"
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

// How much of its colour a system button's title and image keep while
// highlighted or disabled.
constexpr double kHighlightedAlpha = 0.2;
constexpr double kDisabledAlpha = 0.35;

// The size within `area`, shrunk to fit while keeping its shape.
CGSize shrunkToFit(CGSize size, CGSize area) {
  if (size.width <= 0 || size.height <= 0) return CGSizeZero;
  double s = std::min({1.0, std::max(0.0, area.width) / size.width,
                       std::max(0.0, area.height) / size.height});
  return CGSizeMake(size.width * s, size.height * s);
}

}  // namespace

std::shared_ptr<UIButton> UIButton::buttonWithType(UIButtonType type) {
  auto button = std::make_shared<UIButton>();
  button->type_ = type;
  return button;
}

const std::shared_ptr<UILabel>& UIButton::titleLabel() {
  if (!titleLabel_) {
    titleLabel_ = std::make_shared<UILabel>();
    titleLabel_->setFont(UIFont::systemFontOfSize(15));
    titleLabel_->setLineBreakMode(NSLineBreakByTruncatingMiddle);
    titleLabel_->setHidden(true);
    addSubview(titleLabel_);
    updateContent();
  }
  return titleLabel_;
}

const std::shared_ptr<UIImageView>& UIButton::imageView() {
  if (!imageView_) {
    imageView_ = std::make_shared<UIImageView>();
    imageView_->setContentMode(UIViewContentModeScaleAspectFit);
    imageView_->setHidden(true);
    // Above the background, below the title.
    insertSubviewAtIndex(imageView_, backgroundView_ ? 1 : 0);
    updateContent();
  }
  return imageView_;
}

void UIButton::updateContent() {
  uint64_t shownState = state();
  if (auto title = titleForState(shownState); title || titleLabel_) {
    auto& label = titleLabel();
    label->setText(title.value_or(""));
    label->setTextColor(displayedTitleColor());
    label->setHidden(!title || title->empty());
  }
  if (auto image = displayedImage(); image || imageView_) {
    auto& view = imageView();
    view->setImage(image);
    view->setHidden(!image);
    // A template image dims with the button, as its title does.
    double dim = !isEnabled() ? kDisabledAlpha : isHighlighted() ? kHighlightedAlpha : 1;
    if (image && image->renderingMode() == UIImageRenderingModeAlwaysTemplate && dim < 1) {
      UIColorPtr tint = tintColor();
      view->setTintColor(tint->colorWithAlphaComponent(tint->alpha() * dim));
    } else {
      view->setTintColor(nullptr);
    }
  }
  if (auto background = backgroundImageForState(shownState); background || backgroundView_) {
    if (!backgroundView_) {
      backgroundView_ = std::make_shared<UIImageView>();
      insertSubviewAtIndex(backgroundView_, 0);
    }
    backgroundView_->setImage(background);
    backgroundView_->setHidden(!background);
  }
  invalidateIntrinsicContentSize();
  setNeedsLayout();
}

UIColorPtr UIButton::displayedTitleColor() const {
  uint64_t s = state();
  auto own = titleColors_.find(s);
  UIColorPtr color = titleColorForState(s);
  if (type_ != UIButtonType::System || (own != titleColors_.end() && own->second)) return color;
  if (!isEnabled()) return color->colorWithAlphaComponent(color->alpha() * kDisabledAlpha);
  if (isHighlighted()) return color->colorWithAlphaComponent(color->alpha() * kHighlightedAlpha);
  return color;
}

std::shared_ptr<UIImage> UIButton::displayedImage() const {
  auto image = currentImage();
  // A system button draws images as templates unless they insist otherwise.
  if (!image || type_ != UIButtonType::System ||
      image->renderingMode() != UIImageRenderingModeAutomatic) {
    return image;
  }
  if (templateSource_ != image) {
    templateSource_ = image;
    templateImage_ = image->imageWithRenderingMode(UIImageRenderingModeAlwaysTemplate);
  }
  return templateImage_;
}

void UIButton::stateDidChange() { updateContent(); }

void UIButton::tintColorDidChange() { updateContent(); }

void UIButton::setTitle(std::optional<std::string> title, uint64_t state) {
  QX_DCHECK_MAIN_THREAD();
  titles_[state] = std::move(title);
  updateContent();
}

std::optional<std::string> UIButton::titleForState(uint64_t state) const {
  return forState(titles_, state);
}

void UIButton::setTitleColor(UIColorPtr color, uint64_t state) {
  QX_DCHECK_MAIN_THREAD();
  titleColors_[state] = std::move(color);
  updateContent();
}

UIColorPtr UIButton::titleColorForState(uint64_t state) const {
  if (auto color = forState(titleColors_, state)) return color;
  return type_ == UIButtonType::System ? tintColor() : UIColor::whiteColor();
}

void UIButton::setImage(std::shared_ptr<UIImage> image, uint64_t state) {
  QX_DCHECK_MAIN_THREAD();
  images_[state] = std::move(image);
  updateContent();
}

std::shared_ptr<UIImage> UIButton::imageForState(uint64_t state) const {
  return forState(images_, state);
}

void UIButton::setBackgroundImage(std::shared_ptr<UIImage> image, uint64_t state) {
  QX_DCHECK_MAIN_THREAD();
  backgrounds_[state] = std::move(image);
  updateContent();
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

CGSize UIButton::imageSizeIn(const CGRect& content) const {
  auto image = currentImage();
  if (!image) return CGSizeZero;
  return shrunkToFit(image->size(), UIEdgeInsetsInsetRect(content, imageInsets_).size);
}

CGSize UIButton::titleSizeIn(double width) const {
  auto title = titleForState(state());
  if (!title || title->empty() || !titleLabel_) return CGSizeZero;
  CGSize size = titleLabel_->sizeThatFits(CGSizeZero);
  return CGSizeMake(std::min(size.width, std::max(0.0, width)), size.height);
}

CGRect UIButton::imageRectForContentRect(const CGRect& content) const {
  CGSize image = imageSizeIn(content);
  CGSize title = titleSizeIn(content.size.width - image.width);
  CGRect area = UIEdgeInsetsInsetRect(content, imageInsets_);
  return CGRectMake(CGRectGetMidX(area) - (image.width + title.width) / 2,
                    CGRectGetMidY(area) - image.height / 2, image.width, image.height);
}

CGRect UIButton::titleRectForContentRect(const CGRect& content) const {
  CGSize image = imageSizeIn(content);
  CGSize title = titleSizeIn(content.size.width - image.width);
  CGRect area = UIEdgeInsetsInsetRect(content, titleInsets_);
  return CGRectMake(CGRectGetMidX(area) - (image.width + title.width) / 2 + image.width,
                    CGRectGetMidY(area) - title.height / 2, title.width, title.height);
}

CGSize UIButton::sizeThatFits(CGSize) const {
  constexpr double kUnbounded = std::numeric_limits<double>::infinity();
  CGRect unbounded = CGRectMake(0, 0, kUnbounded, kUnbounded);
  CGSize image = imageSizeIn(unbounded);
  CGSize title = titleSizeIn(kUnbounded);
  CGSize fits =
      CGSizeMake(image.width + title.width + contentInsets_.left + contentInsets_.right,
                 std::max(image.height, title.height) + contentInsets_.top + contentInsets_.bottom);
  // A background image is shown whole: the button is at least its size.
  if (auto background = currentBackgroundImage()) {
    fits.width = std::max(fits.width, background->size().width);
    fits.height = std::max(fits.height, background->size().height);
  }
  return fits;
}

CGSize UIButton::intrinsicContentSize() const { return sizeThatFits(CGSizeZero); }

void UIButton::layoutSubviews() {
  UIControl::layoutSubviews();
  CGRect content = contentRectForBounds(bounds());
  if (backgroundView_) backgroundView_->setFrame(backgroundRectForBounds(bounds()));
  if (imageView_) imageView_->setFrame(imageRectForContentRect(content));
  if (titleLabel_) titleLabel_->setFrame(titleRectForContentRect(content));
}

bool UIButton::gestureRecognizerShouldBegin(UIGestureRecognizer& recognizer) {
  if (UIControlOverridesTap(*this, recognizer)) return false;
  return UIControl::gestureRecognizerShouldBegin(recognizer);
}
