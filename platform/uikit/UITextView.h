#pragma once

// A scrolling view of multi-line text: wrapped at spaces to its width less
// the text container inset (8 points above and below) and the line
// fragment padding (5 points each side), in one font, colour and alignment.
// Its content size follows the text, so long text scrolls. An editable text
// view takes typed text while it is first responder (a tap on it makes it
// so); a selectable one keeps a selection; neither kind lets a caller change
// the selection when not selectable. Ranges count UTF-16 code units.

#include <memory>
#include <string>

#include "platform/uikit/NSTextTypes.h"
#include "platform/uikit/UIColor.h"
#include "platform/uikit/UIFont.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIGeometry.h"
#include "platform/uikit/UIScrollView.h"

class UITextView;

// Posted with the text view as object after each change the user makes.
extern const char* const UITextViewTextDidBeginEditingNotification;
extern const char* const UITextViewTextDidChangeNotification;
extern const char* const UITextViewTextDidEndEditingNotification;

class UITextViewDelegate {
 public:
  virtual ~UITextViewDelegate() = default;
  virtual bool textViewShouldBeginEditing(UITextView&) { return true; }
  virtual void textViewDidBeginEditing(UITextView&) {}
  virtual void textViewDidEndEditing(UITextView&) {}
  // False refuses the replacement of `range` by `text`.
  virtual bool textViewShouldChangeTextInRange(UITextView&, NSRange, const std::string&) {
    return true;
  }
  virtual void textViewDidChange(UITextView&) {}
  virtual void textViewDidChangeSelection(UITextView&) {}
};

class UITextView : public UIScrollView {
 public:
  UITextView();
  explicit UITextView(const CGRect& frame);

  const std::string& text() const { return text_; }
  // Moves the selection to the end of the new text.
  void setText(std::string text);
  // The system font of 12 points unless set; nullptr restores it.
  const UIFontPtr& font() const { return font_; }
  void setFont(UIFontPtr font);
  // The label colour unless set; nullptr restores it.
  const UIColorPtr& textColor() const { return textColor_; }
  void setTextColor(UIColorPtr color);
  NSTextAlignment textAlignment() const { return alignment_; }
  void setTextAlignment(NSTextAlignment alignment);
  bool isEditable() const { return editable_; }
  // Turning editing off ends it.
  void setEditable(bool editable);
  bool isSelectable() const { return selectable_; }
  // Turning selection off collapses the selection to its start.
  void setSelectable(bool selectable);
  const UIEdgeInsets& textContainerInset() const { return inset_; }
  void setTextContainerInset(const UIEdgeInsets& inset);
  NSRange selectedRange() const { return selection_; }
  // Clamped to the text; ignored when the view is not selectable.
  void setSelectedRange(NSRange range);
  std::shared_ptr<UITextViewDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(const std::shared_ptr<UITextViewDelegate>& delegate) { delegate_ = delegate; }

  // First responder: only an editable text view (whose delegate agrees)
  // becomes one and starts editing; one text view edits at a time.
  bool canBecomeFirstResponder() const { return editable_; }
  bool becomeFirstResponder();
  bool resignFirstResponder();
  bool isFirstResponder() const;

  // Typing: replaces the selection while editing; nothing otherwise.
  void insertText(const std::string& text);
  void deleteBackward();
  bool hasText() const { return !text_.empty(); }

  // The lines as drawn, in the text container's width.
  UITextLayout textLayout() const;
  CGSize sizeThatFits(CGSize size) const override;
  void layoutSubviews() override;
  void touchesEnded(const UITouchSet& touches, UIEvent* event) override;
  std::string className() const override { return "UITextView"; }

  static constexpr double kLineFragmentPadding = 5;

 private:
  class Content;
  void textChanged();
  void replace(NSRange range, const std::string& text);
  double containerWidth(double viewWidth) const;

  std::string text_;
  UIFontPtr font_;
  UIColorPtr textColor_;
  NSTextAlignment alignment_ = NSTextAlignmentNatural;
  bool editable_ = true;
  bool selectable_ = true;
  UIEdgeInsets inset_{8, 0, 8, 0};
  NSRange selection_;
  std::weak_ptr<UITextViewDelegate> delegate_;
  std::shared_ptr<Content> content_;
};
