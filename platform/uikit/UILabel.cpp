#include "platform/uikit/UILabel.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/UTF8.h"
#include "platform/uikit/NSAttributedString.h"
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

// `line` shortened with an ellipsis at the head, middle or tail to fit;
// `lineWidth` is the line's own width.
std::string truncate(const std::string& line, double lineWidth, const UIFont& font, double width,
                     NSLineBreakMode mode) {
  if (lineWidth <= width || mode == NSLineBreakByClipping ||
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
  for (const auto& l : lines) layout.widths.push_back(font.widthOfText(l));
  if (!lines.empty()) {
    std::string& last = lines.back();
    const std::string kept = last;
    bool truncates = mode == NSLineBreakByTruncatingHead || mode == NSLineBreakByTruncatingTail ||
                     mode == NSLineBreakByTruncatingMiddle;
    if (cut && truncates) {
      const double withEllipsis = font.widthOfText(last + kEllipsis);
      last = withEllipsis > maxWidth ? truncate(last + kEllipsis, withEllipsis, font, maxWidth,
                                                NSLineBreakByTruncatingTail)
                                     : last + kEllipsis;
    } else {
      last = truncate(last, layout.widths.back(), font, maxWidth, mode);
    }
    // Measured again only when it changed.
    if (last != kept) layout.widths.back() = font.widthOfText(last);
  }
  layout.lines = std::move(lines);
  return layout;
}

// Attributed text -----------------------------------------------------------

namespace {

// The attributes of one run, resolved against the label's defaults.
struct RunStyle {
  UIFontPtr font;
  UIColorPtr color;
  UIColorPtr background;
  double kern = 0;
  std::shared_ptr<NSParagraphStyle> paragraph;  // nullptr: the label's
};

// One character and the run it belongs to.
struct Unit {
  char32_t cp;
  size_t run;
};

double halfLeading(const UIFont& f) { return (f.lineHeight() - (f.ascender() - f.descender())) / 2; }

}  // namespace

struct UILabel::StyledLayout {
  struct Segment {
    std::string text;
    size_t run = 0;
    double width = 0;
  };
  struct Line {
    std::vector<Segment> segments;
    double width = 0, ascent = 0, descent = 0, height = 0, spacingAfter = 0;
    NSTextAlignment alignment = NSTextAlignmentNatural;
  };
  std::vector<RunStyle> styles;
  std::vector<Line> lines;

  CGSize size() const {
    double w = 0, h = 0;
    for (size_t i = 0; i < lines.size(); ++i) {
      w = std::max(w, lines[i].width);
      h += lines[i].height + (i + 1 < lines.size() ? lines[i].spacingAfter : 0);
    }
    return CGSizeMake(std::ceil(w), std::ceil(h));
  }

  // The width of units [from, to), run by run.
  double widthOf(const std::vector<Unit>& units, size_t from, size_t to) const {
    double w = 0;
    for (size_t i = from; i < to;) {
      size_t j = i;
      std::string text;
      while (j < to && units[j].run == units[i].run) AppendUTF8(text, units[j++].cp);
      const RunStyle& style = styles[units[i].run];
      w += style.font->widthOfText(text) + style.kern * double(j - i);
      i = j;
    }
    return w;
  }

  void addLine(const std::vector<Unit>& units, size_t from, size_t to,
               const NSParagraphStyle& paragraph) {
    Line line;
    line.alignment = paragraph.alignment();
    line.spacingAfter = paragraph.lineSpacing();
    while (to > from && units[to - 1].cp == U' ') --to;  // trailing spaces hang
    for (size_t i = from; i < to;) {
      Segment segment{"", units[i].run, 0};
      size_t j = i;
      while (j < to && units[j].run == units[i].run) AppendUTF8(segment.text, units[j++].cp);
      segment.width = widthOf(units, i, j);
      line.width += segment.width;
      line.segments.push_back(std::move(segment));
      i = j;
    }
    // An empty line still has the height of the font where it stands.
    size_t metricsRun = from < units.size() ? units[from].run : units.empty() ? 0 : units.back().run;
    std::vector<size_t> runs;
    for (const auto& segment : line.segments) runs.push_back(segment.run);
    if (runs.empty()) runs.push_back(metricsRun);
    for (size_t run : runs) {
      const UIFont& f = *styles[run].font;
      line.ascent = std::max(line.ascent, halfLeading(f) + f.ascender());
      line.descent = std::max(line.descent, halfLeading(f) - f.descender());
    }
    line.height = paragraph.lineHeightFor(line.ascent + line.descent);
    lines.push_back(std::move(line));
  }
};

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
  attributedText_.reset();
  textChanged();
}

NSAttributedStringPtr UILabel::attributedText() const {
  if (attributedText_) return attributedText_;
  if (text_.empty()) return nullptr;
  auto style = std::make_shared<NSMutableParagraphStyle>();
  style->setAlignment(alignment_);
  style->setLineBreakMode(lineBreakMode_);
  return std::make_shared<NSAttributedString>(
      text_, NSAttributeDictionary{{NSFontAttributeName, Value(font_)},
                                   {NSForegroundColorAttributeName, Value(textColor_)},
                                   {NSParagraphStyleAttributeName, Value(style)}});
}

void UILabel::setAttributedText(NSAttributedStringPtr text) {
  QX_DCHECK_MAIN_THREAD();
  attributedText_ = text && text->length() > 0 ? std::move(text) : nullptr;
  text_ = attributedText_ ? attributedText_->string() : "";
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
  if (attributedText_) {
    StyledLayout styled = styledLayout(bounds().size.width, lineBreakMode_);
    UITextLayout layout;
    for (const auto& line : styled.lines) {
      std::string text;
      for (const auto& segment : line.segments) text += segment.text;
      layout.lines.push_back(text);
      layout.widths.push_back(line.width);
      layout.lineHeight = std::max(layout.lineHeight, line.height);
    }
    return layout;
  }
  return UITextLayoutMake(text_, *font_, bounds().size.width, numberOfLines_, lineBreakMode_);
}

CGSize UILabel::sizeThatFits(CGSize size) const {
  double width = size.width > 0 ? size.width : std::numeric_limits<double>::infinity();
  // Fitting never truncates: the size asked for is the whole text's.
  if (attributedText_) return styledLayout(width, NSLineBreakByWordWrapping).size();
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
  if (attributedText_) return drawStyled(context);
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

UILabel::StyledLayout UILabel::styledLayout(double maxWidth, NSLineBreakMode mode) const {
  StyledLayout layout;
  std::vector<Unit> units;
  for (const auto& run : attributedText_->runs()) {
    RunStyle style{font_, textColor_, nullptr, 0, nullptr};
    const auto& a = run.attributes;
    auto found = [&a](const char* name) -> const Value* {
      auto it = a.find(name);
      return it == a.end() ? nullptr : &it->second;
    };
    if (auto* v = found(NSFontAttributeName); v && v->objectAs<UIFont>()) {
      style.font = v->objectAs<UIFont>();
    }
    if (auto* v = found(NSForegroundColorAttributeName); v && v->objectAs<UIColor>()) {
      style.color = v->objectAs<UIColor>();
    }
    if (auto* v = found(NSBackgroundColorAttributeName); v && v->objectAs<UIColor>()) {
      style.background = v->objectAs<UIColor>();
    }
    if (auto* v = found(NSKernAttributeName); v && v->isNumber()) style.kern = v->asDouble();
    if (auto* v = found(NSParagraphStyleAttributeName); v && v->objectAs<NSParagraphStyle>()) {
      style.paragraph = v->objectAs<NSParagraphStyle>();
    }
    for (char32_t cp : UTF8CodePoints(run.text)) units.push_back({cp, layout.styles.size()});
    layout.styles.push_back(std::move(style));
  }
  // The label's own alignment stands for paragraphs without a style.
  NSMutableParagraphStyle labelStyle;
  labelStyle.setAlignment(alignment_);
  const bool wraps = numberOfLines_ != 1;
  const bool words = mode != NSLineBreakByCharWrapping;

  size_t start = 0;
  while (start <= units.size()) {
    size_t end = start;
    while (end < units.size() && units[end].cp != U'\n') ++end;
    const RunStyle& first = layout.styles[start < units.size() ? units[start].run
                                                                : units.empty() ? 0
                                                                                : units.back().run];
    const NSParagraphStyle& paragraph = first.paragraph ? *first.paragraph : labelStyle;
    size_t from = start;
    while (true) {
      size_t to = end;
      if (wraps && layout.widthOf(units, from, end) > maxWidth) {
        // The longest prefix that fits, ending at a space when words wrap.
        size_t fit = from + 1;
        while (fit < end && layout.widthOf(units, from, fit + 1) <= maxWidth) ++fit;
        to = fit;
        if (words && fit < end && units[fit].cp != U' ') {
          size_t space = fit;
          while (space > from && units[space - 1].cp != U' ') --space;
          if (space > from) to = space;
        }
      }
      layout.addLine(units, from, to, paragraph);
      from = to;
      while (words && from < end && units[from].cp == U' ') ++from;
      if (from >= end) break;
    }
    layout.lines.back().spacingAfter += paragraph.paragraphSpacing();
    if (end >= units.size()) break;
    start = end + 1;
  }

  const bool cut = numberOfLines_ > 0 && layout.lines.size() > size_t(numberOfLines_);
  if (cut) layout.lines.resize(size_t(numberOfLines_));
  auto& last = layout.lines.back();
  const bool truncates = mode == NSLineBreakByTruncatingHead || mode == NSLineBreakByTruncatingTail ||
                         mode == NSLineBreakByTruncatingMiddle;
  if (truncates && (cut || last.width > maxWidth) && !last.segments.empty()) {
    // Styled text is cut at its tail, the ellipsis in the last run's style.
    auto& segments = last.segments;
    const size_t ellipsisRun = segments.back().run;
    const double ellipsis = layout.styles[ellipsisRun].font->widthOfText(kEllipsis);
    while (!segments.empty() && last.width + ellipsis > maxWidth) {
      auto& segment = segments.back();
      auto cps = UTF8CodePoints(segment.text);
      cps.pop_back();
      segment.text = toUTF8(cps);
      last.width -= segment.width;
      const RunStyle& s = layout.styles[segment.run];
      segment.width = s.font->widthOfText(segment.text) + s.kern * double(cps.size());
      last.width += segment.width;
      if (segment.text.empty()) segments.pop_back();
    }
    segments.push_back({kEllipsis, ellipsisRun, ellipsis});
    last.width += ellipsis;
  }
  return layout;
}

void UILabel::drawStyled(const CGContextRef& context) const {
  StyledLayout layout = styledLayout(bounds().size.width, lineBreakMode_);
  CGRect b = bounds();
  double y = b.origin.y + (b.size.height - layout.size().height) / 2;
  CGContextSaveGState(context);
  CGContextClipToRect(context, b);
  for (const auto& line : layout.lines) {
    double x = b.origin.x;
    if (line.alignment == NSTextAlignmentCenter) x += (b.size.width - line.width) / 2;
    if (line.alignment == NSTextAlignmentRight) x += b.size.width - line.width;
    // Extra height from the paragraph style goes above the text.
    const double baseline = y + (line.height - (line.ascent + line.descent)) + line.ascent;
    for (const auto& segment : line.segments) {
      const RunStyle& style = layout.styles[segment.run];
      if (style.background) {
        CGContextSetFillColorWithColor(context, style.background->CGColor());
        CGContextFillRect(context, CGRectMake(x, y, segment.width, line.height));
      }
      CGColorRef color = style.color->CGColor();
      if (!enabled_) color = CGColorCreateCopyWithAlpha(color, color->alpha() * 0.5);
      const UIFont& f = *style.font;
      const double top = baseline - (halfLeading(f) + f.ascender());
      if (style.kern == 0) {
        f.drawText(segment.text, CGPointMake(x, top), color, context);
      } else {
        double pen = x;
        for (char32_t cp : UTF8CodePoints(segment.text)) {
          std::string one;
          AppendUTF8(one, cp);
          f.drawText(one, CGPointMake(pen, top), color, context);
          pen += f.widthOfText(one) + style.kern;
        }
      }
      x += segment.width;
    }
    y += line.height + line.spacingAfter;
  }
  CGContextRestoreGState(context);
}
