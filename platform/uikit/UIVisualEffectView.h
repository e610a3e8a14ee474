#pragma once

// Blur is not computed: a visual effect view shows its effect as the
// translucent tinted fill its style stands for, under a content view that
// fills it.

#include "platform/uikit/UIView.h"

enum UIBlurEffectStyle : int64_t {
  UIBlurEffectStyleExtraLight = 0,
  UIBlurEffectStyleLight = 1,
  UIBlurEffectStyleDark = 2,
  UIBlurEffectStyleRegular = 4,
  UIBlurEffectStyleProminent = 5,
  UIBlurEffectStyleSystemMaterial = 8,
  UIBlurEffectStyleSystemMaterialDark = 13,
};

class UIVisualEffect : public NSObject {
 public:
  // The fill that stands for the effect.
  virtual UIColorPtr tintFill() const = 0;
};

class UIBlurEffect : public UIVisualEffect {
 public:
  explicit UIBlurEffect(UIBlurEffectStyle style) : style_(style) {}
  static std::shared_ptr<UIBlurEffect> effectWithStyle(UIBlurEffectStyle style) {
    return std::make_shared<UIBlurEffect>(style);
  }
  UIBlurEffectStyle style() const { return style_; }
  UIColorPtr tintFill() const override;
  std::string className() const override { return "UIBlurEffect"; }

 private:
  UIBlurEffectStyle style_;
};

class UIVisualEffectView : public UIView {
 public:
  explicit UIVisualEffectView(std::shared_ptr<UIVisualEffect> effect);
  const std::shared_ptr<UIVisualEffect>& effect() const { return effect_; }
  // nullptr removes the fill.
  void setEffect(std::shared_ptr<UIVisualEffect> effect);
  // Where subviews go; it always fills the effect view.
  const std::shared_ptr<UIView>& contentView();
  std::string className() const override { return "UIVisualEffectView"; }

 private:
  std::shared_ptr<UIVisualEffect> effect_;
  std::shared_ptr<UIView> contentView_ = std::make_shared<UIView>();
};
