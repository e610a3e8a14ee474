#pragma once

// The spinning indicator: twelve spokes fading round a circle. While
// animating its layer turns a spoke further every twelfth of a second
// (an endless animation, so it leaves nothing on the clock once stopped);
// when stopped it hides unless told not to.

#include "platform/uikit/UIView.h"

enum UIActivityIndicatorViewStyle : int64_t {
  // The styles before iOS 13 name their colour: setting one sets the colour.
  UIActivityIndicatorViewStyleWhiteLarge = 0,
  UIActivityIndicatorViewStyleWhite = 1,
  UIActivityIndicatorViewStyleGray = 2,
  UIActivityIndicatorViewStyleMedium = 100,
  UIActivityIndicatorViewStyleLarge = 101,
};

class UIActivityIndicatorView : public UIView {
 public:
  explicit UIActivityIndicatorView(
      UIActivityIndicatorViewStyle style = UIActivityIndicatorViewStyleMedium);

  UIActivityIndicatorViewStyle activityIndicatorViewStyle() const { return style_; }
  void setActivityIndicatorViewStyle(UIActivityIndicatorViewStyle style);
  // Grey unless set.
  UIColorPtr color() const { return color_; }
  void setColor(UIColorPtr color);
  bool hidesWhenStopped() const { return hidesWhenStopped_; }
  void setHidesWhenStopped(bool hides);
  void startAnimating();
  void stopAnimating();
  bool isAnimating() const { return animating_; }

  CGSize sizeThatFits(CGSize size) const override;
  CGSize intrinsicContentSize() const override { return sizeThatFits(CGSizeZero); }
  void drawRect(const CGRect& rect) override;
  std::string className() const override { return "UIActivityIndicatorView"; }

  static const char* const kSpinKey;

 private:
  UIActivityIndicatorViewStyle style_;
  UIColorPtr color_ = UIColor::grayColor();
  bool hidesWhenStopped_ = true;
  bool animating_ = false;
};
