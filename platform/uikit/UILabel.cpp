#include "platform/uikit/UILabel.h"

#include <cmath>
#include <limits>

#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/UTF8.h"
#include "platform/uikit/UIGraphics.h"

namespace {

const char* const kEllipsis = "\u2026";

std::string toUTF8(const std::u32string& s) {
  std::string out;
  for (char32_t c : s) AppendUTF8(out, c);
  return out;
}

// The longest prefix of `cps` from `from` that fits `width`, at least one
// code point; word wrapping prefers to end at a space.
size_t fitCount(const std::u32string& cps, size_t from, const UIFont& font, double width,
                bool words) {
  size_t lo = 1, hi = cps.size() - from;
  while (lo < hi) {  // largest count whose text fits
    size_t mid = (lo + hi + 1) / 2;
    if (font.widthOfText(toUTF8(cps.substr(from, mid))) <= width) {
      lo = mid;
    } else {
      hi = mid - 1;
    }
  }
  if (!words || from + lo >= cps.size() || cps[from + lo] == U' ') return lo;
  for (size_t n = lo; n > 0; --n) {
    if (cps[from + n - 1] == U' ') return n;
  }
  return lo;  // one word longer than the line: broken anywhere
}

std::string trimTrailingSpaces(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

// `line` shortened with an ellipsis at the head, middle or tail to fit.
std::string truncate(const std::string& line, const UIFont& font, double width,
                     NSLineBreakMode mode) {
  if (font.widthOfText(line) <= width || mode == NSLineBreakByClipping ||
      mode == NSLineBreakByWordWrapping || mode == NSLineBreakByCharWrapping) {
    return line;
  }
  auto cps = UTF8CodePoints(line);
  for (size_t keep = cps.size(); keep-- > 0;) {
    std::u32string head, tail;
    if (mode == NSLineBreakByTruncatingHead) {
      tail = cps.substr(cps.size() - keep);
    } else if (mode == NSLineBreakByTruncatingMiddle) {
      head = cps.substr(0, (keep + 1) / 2);
      tail = cps.substr(cps.size() - keep / 2);
    } else {
      head = cps.substr(0, keep);
    }
    std::string candidate = trimTrailingSpaces(toUTF8(head)) + kEllipsis + toUTF8(tail);
    if (font.widthOfText(candidate) <= width) return candidate;
  }
  return kEllipsis;
}

}  // namespace

CGSize UITextLayout::size() const {
  double w = 0;
  for (double lw : widths) w = std::max(w, lw);
  return CGSizeMake(std::ceil(w), std::ceil(lineHeight * double(lines.size())));
}

UITextLayout UITextLayoutMake(const std::string& text, const UIFont& font, double maxWidth,
                              int64_t maxLines, NSLineBreakMode mode) {
  UITextLayout layout;
  layout.lineHeight = font.lineHeight();
  if (text.empty()) return layout;
  const bool wraps = maxLines != 1;
  const bool words = mode != NSLineBreakByCharWrapping;
  std::vector<std::string> lines;
  bool cut = false;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find('\n', start);
    std::string paragraph = text.substr(start, end == std::string::npos ? end : end - start);
    auto cps = UTF8CodePoints(paragraph);
    if (!wraps || cps.empty() || font.widthOfText(paragraph) <= maxWidth) {
      lines.push_back(paragraph);
    } else {
      for (size_t from = 0; from < cps.size();) {
        size_t n = fitCount(cps, from, font, maxWidth, words);
        lines.push_back(trimTrailingSpaces(toUTF8(cps.substr(from, n))));
        from += n;
        while (words && from < cps.size() && cps[from] == U' ') ++from;
      }
    }
    if (end == std::string::npos) break;
    start = end + 1;
  }
  if (maxLines > 0 && lines.size() > size_t(maxLines)) {
    lines.resize(size_t(maxLines));
    cut = true;
  }
  if (!lines.empty()) {
    std::string& last = lines.back();
    bool truncates = mode == NSLineBreakByTruncatingHead || mode == NSLineBreakByTruncatingTail ||
                     mode == NSLineBreakByTruncatingMiddle;
    if (cut && truncates && font.widthOfText(last + kEllipsis) > maxWidth) {
      last = truncate(last + kEllipsis, font, maxWidth, NSLineBreakByTruncatingTail);
    } else if (cut && truncates) {
      last += kEllipsis;
    } else {
      last = truncate(last, font, maxWidth, mode);
    }
  }
  layout.lines = std::move(lines);
  for (const auto& l : layout.lines) layout.widths.push_back(font.widthOfText(l));
  return layout;
}

UILabel::UILabel() : UILabel(CGRectZero) {}

UILabel::UILabel(const CGRect& frame) : UIView(frame) {
  setUserInteractionEnabled(false);
  setContentMode(UIViewContentModeRedraw);
}

void UILabel::textChanged() {
  setNeedsDisplay();
  invalidateIntrinsicContentSize();
}

void UILabel::setText(std::string text) {
  QX_DCHECK_MAIN_THREAD();
  text_ = std::move(text);
  textChanged();
}

void UILabel::setFont(UIFontPtr font) {
  QX_DCHECK_MAIN_THREAD();
  font_ = font ? std::move(font) : UIFont::systemFontOfSize(UIFont::labelFontSize());
  textChanged();
}

void UILabel::setTextColor(UIColorPtr color) {
  QX_DCHECK_MAIN_THREAD();
  textColor_ = color ? std::move(color) : UIColor::blackColor();
  setNeedsDisplay();
}

void UILabel::setTextAlignment(NSTextAlignment alignment) {
  QX_DCHECK_MAIN_THREAD();
  alignment_ = alignment;
  setNeedsDisplay();
}

void UILabel::setNumberOfLines(int64_t lines) {
  QX_DCHECK_MAIN_THREAD();
  numberOfLines_ = std::max<int64_t>(0, lines);
  textChanged();
}

void UILabel::setLineBreakMode(NSLineBreakMode mode) {
  QX_DCHECK_MAIN_THREAD();
  lineBreakMode_ = mode;
  textChanged();
}

void UILabel::setPreferredMaxLayoutWidth(double width) {
  QX_DCHECK_MAIN_THREAD();
  preferredMaxLayoutWidth_ = std::max(0.0, width);
  textChanged();
}

void UILabel::setEnabled(bool enabled) {
  QX_DCHECK_MAIN_THREAD();
  enabled_ = enabled;
  setNeedsDisplay();
}

UITextLayout UILabel::textLayout() const {
  return UITextLayoutMake(text_, *font_, bounds().size.width, numberOfLines_, lineBreakMode_);
}

CGSize UILabel::sizeThatFits(CGSize size) const {
  double width = size.width > 0 ? size.width : std::numeric_limits<double>::infinity();
  // Fitting never truncates: the size asked for is the whole text's.
  auto layout = UITextLayoutMake(text_, *font_, width, numberOfLines_, NSLineBreakByWordWrapping);
  return layout.size();
}

CGSize UILabel::intrinsicContentSize() const {
  double width = numberOfLines_ != 1 && preferredMaxLayoutWidth_ > 0 ? preferredMaxLayoutWidth_
                                                                     : 0;
  return sizeThatFits(CGSizeMake(width, 0));
}

void UILabel::drawRect(const CGRect&) {
  auto context = UIGraphicsGetCurrentContext();
  if (!context || text_.empty()) return;
  auto layout = textLayout();
  CGRect b = bounds();
  double blockHeight = layout.lineHeight * double(layout.lines.size());
  double y = b.origin.y + (b.size.height - blockHeight) / 2;
  CGColorRef color = textColor_->CGColor();
  if (!enabled_) color = CGColorCreateCopyWithAlpha(color, color->alpha() * 0.5);
  CGContextSaveGState(context);
  CGContextClipToRect(context, b);
  for (size_t i = 0; i < layout.lines.size(); ++i) {
    double x = b.origin.x;
    if (alignment_ == NSTextAlignmentCenter) x += (b.size.width - layout.widths[i]) / 2;
    if (alignment_ == NSTextAlignmentRight) x += b.size.width - layout.widths[i];
    font_->drawText(layout.lines[i], CGPointMake(x, y), color, context);
    y += layout.lineHeight;
  }
  CGContextRestoreGState(context);
}
