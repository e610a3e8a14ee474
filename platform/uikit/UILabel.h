#pragma once

// A view showing read-only text: wrapped into lines that fit its width (up
// to numberOfLines, 0 meaning any), truncated with an ellipsis where it does
// not fit, aligned horizontally and centred vertically in its bounds. Text
// with attributes draws each run in its own font, colour, background and
// kerning, lines spaced and aligned as their paragraph style says.

#include <string>
#include <vector>

#include "platform/uikit/NSTextTypes.h"
#include "platform/uikit/UIFont.h"
#include "platform/uikit/UITextLayout.h"
#include "platform/uikit/UIView.h"

class UILabel : public UIView {
 public:
  UILabel();
  explicit UILabel(const CGRect& frame);

  const std::string& text() const { return text_; }
  // Plain text: drops the attributes of attributed text.
  void setText(std::string text);
  // The text with its attributes; plain text answers with the label's font,
  // colour and alignment over all of it, empty text with nullptr. Setting
  // sets `text` to the string; runs without a font or colour take the label's.
  NSAttributedStringPtr attributedText() const;
  void setAttributedText(NSAttributedStringPtr text);
  // The system font of 17 points unless set.
  const UIFontPtr& font() const { return font_; }
  void setFont(UIFontPtr font);
  // Black unless set.
  const UIColorPtr& textColor() const { return textColor_; }
  void setTextColor(UIColorPtr color);
  NSTextAlignment textAlignment() const { return alignment_; }
  void setTextAlignment(NSTextAlignment alignment);
  int64_t numberOfLines() const { return numberOfLines_; }
  void setNumberOfLines(int64_t lines);
  NSLineBreakMode lineBreakMode() const { return lineBreakMode_; }
  void setLineBreakMode(NSLineBreakMode mode);
  // The width multi-line text wraps at for its intrinsic size; 0: none.
  double preferredMaxLayoutWidth() const { return preferredMaxLayoutWidth_; }
  void setPreferredMaxLayoutWidth(double width);
  bool isEnabled() const { return enabled_; }
  void setEnabled(bool enabled);

  // The lines as they are drawn in the current bounds (their text, for
  // attributed text too).
  UITextLayout textLayout() const;

  bool isAccessibilityElement() const override {
    return accessibilityElementSetting().value_or(true);
  }
  std::string accessibilityLabel() const override {
    return accessibilityLabelSetting().value_or(text_);
  }
  CGSize sizeThatFits(CGSize size) const override;
  CGSize intrinsicContentSize() const override;
  void drawRect(const CGRect& rect) override;
  std::string className() const override { return "UILabel"; }

 private:
  void textChanged();

  struct StyledLayout;
  StyledLayout styledLayout(double maxWidth, NSLineBreakMode mode) const;
  void drawStyled(const CGContextRef& context) const;

  std::string text_;
  NSAttributedStringPtr attributedText_;
  UIFontPtr font_ = UIFont::systemFontOfSize(UIFont::labelFontSize());
  UIColorPtr textColor_ = UIColor::blackColor();
  NSTextAlignment alignment_ = NSTextAlignmentNatural;
  int64_t numberOfLines_ = 1;
  NSLineBreakMode lineBreakMode_ = NSLineBreakByTruncatingTail;
  double preferredMaxLayoutWidth_ = 0;
  bool enabled_ = true;
};
