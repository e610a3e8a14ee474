#include "platform/uikit/UITextView.h"

#include <algorithm>
#include <cmath>

#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/uikit/UIGraphics.h"

const char* const UITextViewTextDidBeginEditingNotification =
    "UITextViewTextDidBeginEditingNotification";
const char* const UITextViewTextDidChangeNotification = "UITextViewTextDidChangeNotification";
const char* const UITextViewTextDidEndEditingNotification =
    "UITextViewTextDidEndEditingNotification";

namespace {

// The text view being edited (one at a time, as with a window's first responder).
std::weak_ptr<UITextView>& editing() {
  static std::weak_ptr<UITextView> current;
  return current;
}

size_t utf16Length(const std::string& text) {
  size_t n = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((c & 0xC0) == 0x80) continue;
    n += c >= 0xF0 ? 2 : 1;  // four-byte sequences are surrogate pairs
  }
  return n;
}

// The byte offset of UTF-16 offset `units` (past the end: the length); an
// offset inside a surrogate pair goes to the pair's start.
size_t byteOffset(const std::string& text, size_t units) {
  size_t counted = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((c & 0xC0) == 0x80) continue;
    const size_t width = c >= 0xF0 ? 2 : 1;
    if (counted + width > units) return i;
    counted += width;
  }
  return text.size();
}

}  // namespace

// The text, drawn at the container's origin; as tall as the text, so the
// scroll view's content.
class UITextView::Content : public UIView {
 public:
  explicit Content(UITextView* owner) : owner_(owner) { setUserInteractionEnabled(false); }

  void drawRect(const CGRect&) override {
    auto context = UIGraphicsGetCurrentContext();
    if (!context || !owner_) return;
    const UITextLayout layout = owner_->textLayout();
    const UIEdgeInsets& inset = owner_->textContainerInset();
    const double width = owner_->containerWidth(bounds().size.width);
    const CGColorRef color = owner_->textColor()->CGColor();
    double y = inset.top;
    for (size_t i = 0; i < layout.lines.size(); ++i) {
      const NSWritingDirection direction = layout.directions[i];
      const double x =
          inset.left + kLineFragmentPadding +
          UITextLineOffset(owner_->textAlignment(), direction, width, layout.widths[i]);
      if (const auto& shaped = layout.shapedLines[i]) {
        owner_->font()->drawShapedLine(*shaped, CGPointMake(x, y), color, context);
      }
      y += layout.lineHeight;
    }
  }
  std::string className() const override { return "_UITextContainerView"; }

  UITextView* owner_;  // the owner outlives its content view's use of it
};

UITextView::UITextView() : UITextView(CGRectZero) {}

UITextView::UITextView(const CGRect& frame)
    : UIScrollView(frame),
      font_(UIFont::systemFontOfSize(12)),
      textColor_(UIColor::labelColor()) {}

double UITextView::containerWidth(double viewWidth) const {
  return std::max(0.0, viewWidth - inset_.left - inset_.right - 2 * kLineFragmentPadding);
}

UITextLayout UITextView::textLayout() const {
  return UITextLayoutMake(text_, *font_, containerWidth(bounds().size.width), 0,
                          NSLineBreakByWordWrapping);
}

CGSize UITextView::sizeThatFits(CGSize size) const {
  // Without a width the text takes the lines it has.
  const double width = size.width > 0 ? containerWidth(size.width) : 0;
  const UITextLayout layout =
      UITextLayoutMake(text_, *font_, width > 0 ? width : 1e9, 0, NSLineBreakByWordWrapping);
  double widest = 0;
  for (double w : layout.widths) widest = std::max(widest, w);
  const double lines = std::max<double>(1, double(layout.lines.size()));
  const double height = std::ceil(lines * layout.lineHeight + inset_.top + inset_.bottom);
  const double fitWidth =
      size.width > 0 ? size.width
                     : std::ceil(widest + inset_.left + inset_.right + 2 * kLineFragmentPadding);
  return CGSizeMake(fitWidth, height);
}

void UITextView::layoutSubviews() {
  UIScrollView::layoutSubviews();
  if (!content_) {
    content_ = std::make_shared<Content>(this);
    addSubview(content_);
    content_->setNeedsDisplay();
  }
  const UITextLayout layout = textLayout();
  const double height = double(layout.lines.size()) * layout.lineHeight + inset_.top + inset_.bottom;
  const CGSize size = CGSizeMake(bounds().size.width, std::max(height, 0.0));
  if (content_->frame().size != size) {
    content_->setFrame(CGRect{CGPointZero, size});
    content_->setNeedsDisplay();
  }
  if (contentSize() != size) setContentSize(size);
}

void UITextView::textChanged() {
  setNeedsLayout();
  if (content_) content_->setNeedsDisplay();
}

void UITextView::setText(std::string text) {
  QX_DCHECK_MAIN_THREAD();
  text_ = std::move(text);
  selection_ = NSMakeRange(utf16Length(text_), 0);
  textChanged();
}

void UITextView::setFont(UIFontPtr font) {
  QX_DCHECK_MAIN_THREAD();
  font_ = font ? std::move(font) : UIFont::systemFontOfSize(12);
  textChanged();
}

void UITextView::setTextColor(UIColorPtr color) {
  QX_DCHECK_MAIN_THREAD();
  textColor_ = color ? std::move(color) : UIColor::labelColor();
  if (content_) content_->setNeedsDisplay();
}

void UITextView::setTextAlignment(NSTextAlignment alignment) {
  QX_DCHECK_MAIN_THREAD();
  alignment_ = alignment;
  if (content_) content_->setNeedsDisplay();
}

void UITextView::setEditable(bool editable) {
  QX_DCHECK_MAIN_THREAD();
  editable_ = editable;
  if (!editable_ && isFirstResponder()) resignFirstResponder();
}

void UITextView::setSelectable(bool selectable) {
  QX_DCHECK_MAIN_THREAD();
  selectable_ = selectable;
  if (!selectable_) selection_.length = 0;
}

void UITextView::setTextContainerInset(const UIEdgeInsets& inset) {
  QX_DCHECK_MAIN_THREAD();
  inset_ = inset;
  textChanged();
}

void UITextView::setSelectedRange(NSRange range) {
  QX_DCHECK_MAIN_THREAD();
  if (!selectable_) return;
  const size_t length = utf16Length(text_);
  const size_t start = std::min(range.location, length);
  const NSRange clamped = NSMakeRange(start, std::min(range.length, length - start));
  if (clamped == selection_) return;
  selection_ = clamped;
  if (auto d = delegate()) d->textViewDidChangeSelection(*this);
}

bool UITextView::isFirstResponder() const { return editing().lock().get() == this; }

bool UITextView::becomeFirstResponder() {
  QX_DCHECK_MAIN_THREAD();
  if (isFirstResponder()) return true;
  if (!canBecomeFirstResponder()) return false;
  auto d = delegate();
  if (d && !d->textViewShouldBeginEditing(*this)) return false;
  if (auto other = editing().lock()) other->resignFirstResponder();
  auto self = std::static_pointer_cast<UITextView>(shared_from_this());
  editing() = self;
  if (d) d->textViewDidBeginEditing(*this);
  NSNotificationCenter::defaultCenter().postNotificationName(
      UITextViewTextDidBeginEditingNotification, self);
  return true;
}

bool UITextView::resignFirstResponder() {
  QX_DCHECK_MAIN_THREAD();
  if (!isFirstResponder()) return true;
  editing().reset();
  if (auto d = delegate()) d->textViewDidEndEditing(*this);
  NSNotificationCenter::defaultCenter().postNotificationName(
      UITextViewTextDidEndEditingNotification, shared_from_this());
  return true;
}

void UITextView::replace(NSRange range, const std::string& text) {
  if (auto d = delegate(); d && !d->textViewShouldChangeTextInRange(*this, range, text)) return;
  const size_t from = byteOffset(text_, range.location);
  const size_t to = byteOffset(text_, range.end());
  text_.replace(from, to - from, text);
  selection_ = NSMakeRange(range.location + utf16Length(text), 0);
  textChanged();
  if (auto d = delegate()) d->textViewDidChange(*this);
  NSNotificationCenter::defaultCenter().postNotificationName(UITextViewTextDidChangeNotification,
                                                             shared_from_this());
}

void UITextView::insertText(const std::string& text) {
  QX_DCHECK_MAIN_THREAD();
  if (!isFirstResponder() || !editable_) return;
  replace(selection_, text);
}

void UITextView::deleteBackward() {
  QX_DCHECK_MAIN_THREAD();
  if (!isFirstResponder() || !editable_) return;
  NSRange range = selection_;
  if (range.length == 0) {
    if (range.location == 0) return;
    // The character before the caret: a surrogate pair goes whole.
    const size_t before = byteOffset(text_, range.location - 1);
    const auto lead = static_cast<unsigned char>(text_[before]);
    const size_t units = lead >= 0xF0 ? 2 : 1;
    range = NSMakeRange(range.location - std::min(units, range.location), 0);
    range.length = selection_.location - range.location;
  }
  replace(range, "");
}

void UITextView::touchesEnded(const UITouchSet& touches, UIEvent* event) {
  // A tap on an editable text view starts editing.
  if (editable_) becomeFirstResponder();
  UIScrollView::touchesEnded(touches, event);
}
