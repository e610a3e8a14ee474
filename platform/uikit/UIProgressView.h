#pragma once

// A bar showing how far a task has come: a track with the progress part in
// the tint (or progressTintColor) from the leading edge.

#include "platform/uikit/UIView.h"

class NSProgress;

enum UIProgressViewStyle : int64_t { UIProgressViewStyleDefault = 0, UIProgressViewStyleBar = 1 };

class UIProgressView : public UIView {
 public:
  explicit UIProgressView(UIProgressViewStyle style = UIProgressViewStyleDefault);

  UIProgressViewStyle progressViewStyle() const { return style_; }
  // 0...1; values outside are clamped, not-a-number reads as 0. While a
  // progress object is observed, its fraction completed.
  double progress() const;
  void setProgress(double progress);
  void setProgress(double progress, bool animated);
  // The task whose fraction the bar shows, read each time it draws.
  const std::shared_ptr<NSProgress>& observedProgress() const { return observedProgress_; }
  void setObservedProgress(std::shared_ptr<NSProgress> progress);
  UIColorPtr progressTintColor() const { return progressTint_; }
  void setProgressTintColor(UIColorPtr color);
  UIColorPtr trackTintColor() const { return trackTint_; }
  void setTrackTintColor(UIColorPtr color);

  CGSize sizeThatFits(CGSize size) const override;
  CGSize intrinsicContentSize() const override;
  void drawRect(const CGRect& rect) override;
  void tintColorDidChange() override { setNeedsDisplay(); }
  std::string className() const override { return "UIProgressView"; }

 private:
  UIProgressViewStyle style_;
  double progress_ = 0;
  std::shared_ptr<NSProgress> observedProgress_;
  UIColorPtr progressTint_, trackTint_;
};
