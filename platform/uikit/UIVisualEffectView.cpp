#include "platform/uikit/UIVisualEffectView.h"

#include "platform/foundation/ThreadChecks.h"

UIColorPtr UIBlurEffect::tintFill() const {
  switch (style_) {
    case UIBlurEffectStyleExtraLight: return UIColor::colorWithWhite(0.97, 0.82);
    case UIBlurEffectStyleDark:
    case UIBlurEffectStyleSystemMaterialDark: return UIColor::colorWithWhite(0.11, 0.73);
    case UIBlurEffectStyleProminent: return UIColor::colorWithWhite(0.92, 0.85);
    default: return UIColor::colorWithWhite(0.97, 0.6);
  }
}

UIVisualEffectView::UIVisualEffectView(std::shared_ptr<UIVisualEffect> effect) {
  contentView_->setAutoresizingMask(UIViewAutoresizingFlexibleWidth |
                                    UIViewAutoresizingFlexibleHeight);
  setEffect(std::move(effect));
}

void UIVisualEffectView::setEffect(std::shared_ptr<UIVisualEffect> effect) {
  QX_DCHECK_MAIN_THREAD();
  effect_ = std::move(effect);
  UIColorPtr fill = effect_ ? effect_->tintFill() : nullptr;
  layer()->setBackgroundColor(fill ? fill->CGColor() : nullptr);
}

const std::shared_ptr<UIView>& UIVisualEffectView::contentView() {
  // Attached on first use: a view can hold subviews only once it is owned.
  if (!contentView_->superview()) {
    contentView_->setFrame(CGRect{CGPointZero, bounds().size});
    addSubview(contentView_);
  }
  return contentView_;
}
