#include "crop/internal/CRCropToolbar.h"

#include <algorithm>
#include <cmath>

#include "crop/internal/CRCropResources.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/uikit/UIFont.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIImageSymbolConfiguration.h"

namespace {

constexpr double kSize = CRCropToolbar::kButtonSize;

// Every icon is a system symbol at semibold weight. The rotate arrows sit
// 4 points above the bottom of their button; the others keep the symbol's own
// baseline.
std::shared_ptr<UIImage> symbol(const char* name) {
  return UIImage::systemImageNamed(
      name, UIImageSymbolConfiguration::configurationWithWeight(UIImageSymbolWeightSemibold));
}

}  // namespace

std::shared_ptr<UIImage> CRCropToolbar::doneImage() { return symbol("checkmark"); }

std::shared_ptr<UIImage> CRCropToolbar::cancelImage() { return symbol("xmark"); }

std::shared_ptr<UIImage> CRCropToolbar::rotateCCWImage() {
  return symbol("rotate.left.fill")->imageWithBaselineOffsetFromBottom(4);
}

std::shared_ptr<UIImage> CRCropToolbar::rotateCWImage() {
  return symbol("rotate.right.fill")->imageWithBaselineOffsetFromBottom(4);
}

std::shared_ptr<UIImage> CRCropToolbar::resetImage() {
  return symbol("arrow.counterclockwise")->imageWithBaselineOffsetFromBottom(0);
}

std::shared_ptr<UIImage> CRCropToolbar::clampImage() {
  return symbol("aspectratio.fill")->imageWithBaselineOffsetFromBottom(0);
}

UIColorPtr CRCropToolbar::defaultDoneColor() { return UIColor::colorWithRed(1.0, 0.8, 0.0, 1.0); }

std::shared_ptr<CRCropToolbar> CRCropToolbar::toolbarWithFrame(const CGRect& frame) {
  auto toolbar = std::make_shared<CRCropToolbar>(frame);
  toolbar->setup();
  return toolbar;
}

CRCropToolbar::CRCropToolbar(const CGRect& frame) : UIView(frame) {}

std::shared_ptr<UIButton> CRCropToolbar::makeButton() {
  auto button = UIButton::buttonWithType(UIButtonType::System);
  button->addTarget(SharedFromThis(this),
                    WeakBind(SharedFromThis(this), [](CRCropToolbar& self, UIControl& sender,
                                                       UIEvent*) { self.buttonTapped(sender); }),
                    UIControlEventTouchUpInside);
  return button;
}

void CRCropToolbar::setup() {
  backgroundView_ = std::make_shared<UIView>(bounds());
  backgroundView_->setBackgroundColor(UIColor::colorWithWhite(0.12, 1.0));
  addSubview(backgroundView_);
  // Right-to-left wording mirrors the bar; this system lays out left to right.
  reverseContentLayout_ = false;

  doneFont_ = UIFont::systemFontOfSize(17, UIFontWeightMedium);
  cancelFont_ = UIFont::systemFontOfSize(17, UIFontWeightRegular);

  doneTextButton_ = makeButton();
  doneTextButton_->setTitle(doneTextButtonTitle_.value_or(CRCropLocalizedString("Done")),
                            UIControlStateNormal);
  doneTextButton_->setTitleColor(defaultDoneColor(), UIControlStateNormal);
  sizeTextButton(*doneTextButton_);

  doneIconButton_ = makeButton();
  doneIconButton_->setImage(doneImage(), UIControlStateNormal);
  doneIconButton_->setTintColor(defaultDoneColor());
  setDoneButtonColor(nullptr);

  cancelTextButton_ = makeButton();
  cancelTextButton_->setTitle(cancelTextButtonTitle_.value_or(CRCropLocalizedString("Cancel")),
                              UIControlStateNormal);
  sizeTextButton(*cancelTextButton_);
  cancelIconButton_ = makeButton();
  cancelIconButton_->setImage(cancelImage(), UIControlStateNormal);

  struct Tool {
    std::shared_ptr<UIButton>* button;
    std::shared_ptr<UIImage> image;
    const char* label;
  };
  for (Tool tool : {Tool{&clampButton_, clampImage(), "Aspect Ratio"},
                    Tool{&rotateCCW_, rotateCCWImage(), "Rotate Left"},
                    Tool{&rotateCW_, rotateCWImage(), "Rotate Right"},
                    Tool{&resetButton_, resetImage(), "Reset"}}) {
    auto button = makeButton();
    button->setContentMode(UIViewContentModeCenter);
    button->setTintColor(UIColor::whiteColor());
    button->setImage(tool.image, UIControlStateNormal);
    button->setAccessibilityLabel(CRCropLocalizedString(tool.label));
    *tool.button = button;
  }
  doneTextButton_->setAccessibilityLabel(CRCropLocalizedString("Done"));
  doneIconButton_->setAccessibilityLabel(CRCropLocalizedString("Done"));
  cancelTextButton_->setAccessibilityLabel(CRCropLocalizedString("Cancel"));
  cancelIconButton_->setAccessibilityLabel(CRCropLocalizedString("Cancel"));
  resetButton_->setEnabled(false);

  for (auto* b : {&doneTextButton_, &doneIconButton_, &cancelTextButton_, &cancelIconButton_,
                  &clampButton_, &rotateCCW_, &rotateCW_, &resetButton_}) {
    addSubview(*b);
  }
}

void CRCropToolbar::buttonTapped(UIControl& sender) {
  const Callback* callback = nullptr;
  if (&sender == cancelTextButton_.get() || &sender == cancelIconButton_.get()) {
    callback = &cancelButtonTapped;
  } else if (&sender == doneTextButton_.get() || &sender == doneIconButton_.get()) {
    callback = &doneButtonTapped;
  } else if (&sender == resetButton_.get()) {
    callback = &resetButtonTapped;
  } else if (&sender == rotateCCW_.get()) {
    callback = &rotateCounterclockwiseButtonTapped;
  } else if (&sender == rotateCW_.get()) {
    callback = &rotateClockwiseButtonTapped;
  } else if (&sender == clampButton_.get()) {
    callback = &clampButtonTapped;
  }
  if (callback && *callback) (*callback)();
}

double CRCropToolbar::fittedWidth(const UIButton& textButton) const {
  const auto& font = &textButton == doneTextButton_.get() ? doneFont_ : cancelFont_;
  UIEdgeInsets insets = textButton.contentEdgeInsets();
  return std::ceil(font->widthOfText(textButton.titleForState(UIControlStateNormal).value_or("")) +
                   insets.left + insets.right);
}

void CRCropToolbar::sizeTextButton(UIButton& button) {
  CGRect frame = button.frame();
  frame.size = CGSizeMake(fittedWidth(button), kSize);
  button.setFrame(frame);
}

void CRCropToolbar::setFlag(bool& flag, bool value) {
  bool changed = flag != value;
  flag = value;
  if (changed) setNeedsLayout();
}

void CRCropToolbar::setShowOnlyIcons(bool on) {
  if (on == showOnlyIcons_) return;
  doneIconButton_->sizeToFit();
  cancelIconButton_->sizeToFit();
  setFlag(showOnlyIcons_, on);
}

void CRCropToolbar::setClampButtonGlowing(bool on) {
  if (on == clampButtonGlowing_) return;
  clampButtonGlowing_ = on;
  // Glowing takes the tint the window gives; otherwise plain white.
  clampButton_->setTintColor(on ? nullptr : UIColor::whiteColor());
}

void CRCropToolbar::setStatusBarHeightInset(double inset) {
  statusBarHeightInset_ = inset;
  setNeedsLayout();
}

void CRCropToolbar::setDoneTextButtonTitle(std::optional<std::string> title) {
  doneTextButtonTitle_ = std::move(title);
  doneTextButton_->setTitle(doneTextButtonTitle_, UIControlStateNormal);
  sizeTextButton(*doneTextButton_);
}

void CRCropToolbar::setCancelTextButtonTitle(std::optional<std::string> title) {
  cancelTextButtonTitle_ = std::move(title);
  cancelTextButton_->setTitle(cancelTextButtonTitle_, UIControlStateNormal);
  sizeTextButton(*cancelTextButton_);
}

void CRCropToolbar::setDoneButtonColor(UIColorPtr color) {
  if (!color) color = defaultDoneColor();
  if (doneButtonColor_ && doneButtonColor_->isEqual(*color)) return;
  doneButtonColor_ = color;
  doneTextButton_->setTitleColor(color, UIControlStateNormal);
  doneIconButton_->setTintColor(color);
  sizeTextButton(*doneTextButton_);
}

void CRCropToolbar::setCancelButtonColor(UIColorPtr color) {
  bool same = color ? (cancelButtonColor_ && cancelButtonColor_->isEqual(*color))
                    : !cancelButtonColor_;
  if (same) return;
  cancelButtonColor_ = color;
  cancelTextButton_->setTitleColor(color, UIControlStateNormal);
  cancelIconButton_->setTintColor(color);
  sizeTextButton(*cancelTextButton_);
}

bool CRCropToolbar::resetButtonEnabled() const { return resetButton_->isEnabled(); }

void CRCropToolbar::setResetButtonEnabled(bool enabled) { resetButton_->setEnabled(enabled); }

std::shared_ptr<UIButton> CRCropToolbar::visibleCancelButton() const {
  return cancelIconButton_->isHidden() ? cancelTextButton_ : cancelIconButton_;
}

CGRect CRCropToolbar::doneButtonFrame() const {
  return doneIconButton_->isHidden() ? doneTextButton_->frame() : doneIconButton_->frame();
}

void CRCropToolbar::layoutSubviews() {
  UIView::layoutSubviews();
  CGSize size = bounds().size;
  bool vertical = size.width < size.height;
  bool icons = vertical || showOnlyIcons_;
  cancelIconButton_->setHidden(cancelButtonHidden_ || !icons);
  cancelTextButton_->setHidden(cancelButtonHidden_ || icons);
  doneIconButton_->setHidden(doneButtonHidden_ || !icons);
  doneTextButton_->setHidden(doneButtonHidden_ || icons);

  const UIEdgeInsets& o = backgroundViewOutsets_;
  backgroundView_->setFrame(CGRectMake(-o.left, -o.top, size.width + o.left + o.right,
                                       size.height + o.top + o.bottom));

  if (vertical) {
    cancelIconButton_->setFrame(CGRectMake(0, size.height - kSize, kSize, kSize));
    doneIconButton_->setFrame(CGRectMake(0, statusBarHeightInset_, kSize, kSize));
    double top = CGRectGetMaxY(doneIconButton_->frame());
    layoutToolButtons(CGRectMake(0, top, kSize, CGRectGetMinY(cancelIconButton_->frame()) - top),
                      false);
    return;
  }
  double third = size.width / 3;
  double cancelWidth = showOnlyIcons_ ? kSize : std::min(third, fittedWidth(*cancelTextButton_));
  double doneWidth = showOnlyIcons_ ? kSize : std::min(third, fittedWidth(*doneTextButton_));
  auto& cancel = showOnlyIcons_ ? cancelIconButton_ : cancelTextButton_;
  auto& done = showOnlyIcons_ ? doneIconButton_ : doneTextButton_;
  double farEnd = size.width;
  cancel->setFrame(CGRectMake(reverseContentLayout_ ? farEnd - (cancelWidth + kEndInset)
                                                    : kEndInset,
                              0, cancelWidth, kSize));
  done->setFrame(CGRectMake(reverseContentLayout_ ? kEndInset : farEnd - (doneWidth + kEndInset),
                            0, doneWidth, kSize));
  const auto& left = reverseContentLayout_ ? done : cancel;
  const auto& right = reverseContentLayout_ ? cancel : done;
  double x0 = std::floor(CGRectGetMaxX(left->frame()));
  double x1 = std::ceil(CGRectGetMinX(right->frame()));
  layoutToolButtons(CGRectMake(x0, 0, x1 - x0, kSize), true);
}

void CRCropToolbar::layoutToolButtons(const CGRect& container, bool horizontal) {
  std::vector<std::shared_ptr<UIButton>> tools;
  if (!rotateCounterclockwiseButtonHidden_) tools.push_back(rotateCCW_);
  if (!resetButtonHidden_) tools.push_back(resetButton_);
  if (!clampButtonHidden_) tools.push_back(clampButton_);
  if (!rotateClockwiseButtonHidden_) tools.push_back(rotateCW_);
  rotateCCW_->setHidden(rotateCounterclockwiseButtonHidden_);
  resetButton_->setHidden(resetButtonHidden_);
  clampButton_->setHidden(clampButtonHidden_);
  rotateCW_->setHidden(rotateClockwiseButtonHidden_);
  if (tools.empty()) return;
  double n = double(tools.size());
  double length = horizontal ? container.size.width : container.size.height;
  double gap = (length - kSize * n) / (n + 1);
  for (size_t i = 0; i < tools.size(); ++i) {
    const auto& button = tools[i];
    double along = gap + double(i) * (kSize + gap);
    if (horizontal) {
      button->setFrame(CGRectMake(container.origin.x + along,
                                  std::abs(container.size.height - kSize), kSize, kSize));
      auto image = button->imageForState(UIControlStateNormal);
      double baseline = image ? image->baselineOffsetFromBottom() : 0;
      button->setImageEdgeInsets(UIEdgeInsetsMake(0, 0, baseline, 0));
    } else {
      button->setFrame(CGRectMake(std::abs(container.size.width - kSize),
                                  container.origin.y + along, kSize, kSize));
    }
  }
}
