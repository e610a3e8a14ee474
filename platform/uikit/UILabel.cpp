#include "platform/uikit/UILabel.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/UTF8.h"
#include "platform/uikit/NSAttributedString.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/internal/TextShaper.h"

namespace {

const char* const kEllipsis = "\u2026";

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

// The style of a run: its attributes where they hold the right kind of
// value, the label's font and colour otherwise.
RunStyle StyleOfRun(const NSAttributedString::Run& run, const UIFontPtr& font,
                    const UIColorPtr& color) {
  RunStyle style{font, color, nullptr, 0, nullptr};
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
  return style;
}

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
    NSWritingDirection direction = NSWritingDirectionLeftToRight;  // its paragraph's
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

  // The width of units [from, to), run by run, in a paragraph running in
  // `direction`.
  double widthOf(const std::vector<Unit>& units, size_t from, size_t to,
                 NSWritingDirection direction) const {
    double w = 0;
    for (size_t i = from; i < to;) {
      size_t j = i;
      std::string text;
      while (j < to && units[j].run == units[i].run) AppendUTF8(text, units[j++].cp);
      const RunStyle& style = styles[units[i].run];
      w += style.font->widthOfText(text, direction) + style.kern * double(j - i);
      i = j;
    }
    return w;
  }

  void addLine(const std::vector<Unit>& units, size_t from, size_t to,
               const NSParagraphStyle& paragraph, NSWritingDirection direction) {
    Line line;
    line.alignment = paragraph.alignment();
    line.direction = direction;
    line.spacingAfter = paragraph.lineSpacing();
    // Trailing spaces hang.
    while (to > from && u_isUWhiteSpace(UChar32(units[to - 1].cp))) --to;
    for (size_t i = from; i < to;) {
      Segment segment{"", units[i].run, 0};
      size_t j = i;
      while (j < to && units[j].run == units[i].run) AppendUTF8(segment.text, units[j++].cp);
      segment.width = widthOf(units, i, j, direction);
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

  // The furthest of `ends` (unit indices, ascending) past `from` where the
  // line from `from` fits `maxWidth`, trailing spaces aside; `from` when
  // none does.
  size_t furthestFit(const std::vector<Unit>& units, size_t from, const std::vector<size_t>& ends,
                     double maxWidth, NSWritingDirection direction) const {
    size_t fit = from;
    for (auto it = std::upper_bound(ends.begin(), ends.end(), from); it != ends.end(); ++it) {
      size_t to = *it;
      while (to > from && u_isUWhiteSpace(UChar32(units[to - 1].cp))) --to;
      if (widthOf(units, from, to, direction) > maxWidth) break;
      fit = *it;
    }
    return fit;
  }

  // Lays out the paragraph of units [start, end) in lines of at most
  // `maxWidth` when it `wraps`, ending lines where the script lets a line
  // end (between any two characters when words do not wrap).
  void addParagraph(const std::vector<Unit>& units, size_t start, size_t end,
                    const NSParagraphStyle& paragraph, double maxWidth, bool wraps, bool words) {
    std::string text;
    std::vector<size_t> unitAt;  // the unit of each byte of the text
    for (size_t i = start; i < end; ++i) {
      AppendUTF8(text, units[i].cp);
      unitAt.resize(text.size(), i);
    }
    auto unitEnds = [&](TextBreak kind) {
      std::vector<size_t> ends;
      for (size_t b : TextBreaks(text, kind)) ends.push_back(b < text.size() ? unitAt[b] : end);
      return ends;
    };
    const std::vector<size_t> characters = unitEnds(TextBreak::Character);
    const std::vector<size_t> breaks = words ? unitEnds(TextBreak::Line) : characters;
    const NSWritingDirection direction =
        TextIsRightToLeft(text) ? NSWritingDirectionRightToLeft : NSWritingDirectionLeftToRight;
    size_t from = start;
    while (true) {
      size_t to = end;
      if (wraps && widthOf(units, from, end, direction) > maxWidth) {
        to = furthestFit(units, from, breaks, maxWidth, direction);
        if (to == from) to = furthestFit(units, from, characters, maxWidth, direction);
        if (to == from) to = *std::upper_bound(characters.begin(), characters.end(), from);
      }
      addLine(units, from, to, paragraph, direction);
      from = to;
      if (from >= end) break;
    }
    lines.back().spacingAfter += paragraph.paragraphSpacing();
  }

  // Cuts the last line at its tail until it fits `maxWidth` with an ellipsis
  // in the last run's style.
  void truncateTail(double maxWidth) {
    auto& last = lines.back();
    auto& segments = last.segments;
    const size_t ellipsisRun = segments.back().run;
    const double ellipsis = styles[ellipsisRun].font->widthOfText(kEllipsis, last.direction);
    while (!segments.empty() && last.width + ellipsis > maxWidth) {
      auto& segment = segments.back();
      // The last character goes whole (an emoji sequence, a conjunct).
      const auto ends = TextBreaks(segment.text, TextBreak::Character);
      segment.text.resize(ends.size() > 1 ? ends[ends.size() - 2] : 0);
      last.width -= segment.width;
      const RunStyle& s = styles[segment.run];
      segment.width = s.font->widthOfText(segment.text, last.direction) +
                      s.kern * double(UTF8CodePoints(segment.text).size());
      last.width += segment.width;
      if (segment.text.empty()) segments.pop_back();
    }
    segments.push_back({kEllipsis, ellipsisRun, ellipsis});
    last.width += ellipsis;
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
      layout.directions.push_back(line.direction);
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
  const CGRect b = bounds();
  CGColorRef color = textColor_->CGColor();
  if (!enabled_) color = CGColorCreateCopyWithAlpha(color, color->alpha() * 0.5);
  // The text is clipped to the bounds.
  auto drawLine = [&](const ShapedLine* shaped, NSWritingDirection direction, double width,
                      double y) {
    const double x = b.origin.x + UITextLineOffset(alignment_, direction, b.size.width, width);
    if (shaped) font_->drawShapedLine(*shaped, CGPointMake(x, y), color, context, &b);
  };
  // Most labels: one line as measured, no lists of lines to make.
  if (auto single =
          UITextSingleLineMake(text_, *font_, b.size.width, numberOfLines_, lineBreakMode_)) {
    const double y = b.origin.y + (b.size.height - font_->lineHeight()) / 2;
    drawLine(single->shaped.get(), single->direction, single->width, y);
    return;
  }
  const UITextLayout layout = textLayout();
  const double blockHeight = layout.lineHeight * double(layout.lines.size());
  double y = b.origin.y + (b.size.height - blockHeight) / 2;
  for (size_t i = 0; i < layout.lines.size(); ++i) {
    drawLine(layout.shapedLines[i].get(), layout.directions[i], layout.widths[i], y);
    y += layout.lineHeight;
  }
}

UILabel::StyledLayout UILabel::styledLayout(double maxWidth, NSLineBreakMode mode) const {
  StyledLayout layout;
  std::vector<Unit> units;
  for (const auto& run : attributedText_->runs()) {
    for (char32_t cp : UTF8CodePoints(run.text)) units.push_back({cp, layout.styles.size()});
    layout.styles.push_back(StyleOfRun(run, font_, textColor_));
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
    layout.addParagraph(units, start, end, paragraph, maxWidth, wraps, words);
    if (end >= units.size()) break;
    start = end + 1;
  }

  const bool cut = numberOfLines_ > 0 && layout.lines.size() > size_t(numberOfLines_);
  if (cut) layout.lines.resize(size_t(numberOfLines_));
  const auto& last = layout.lines.back();
  const bool truncates = mode == NSLineBreakByTruncatingHead || mode == NSLineBreakByTruncatingTail ||
                         mode == NSLineBreakByTruncatingMiddle;
  // Styled text is cut at its tail whatever the mode.
  if (truncates && (cut || last.width > maxWidth) && !last.segments.empty()) {
    layout.truncateTail(maxWidth);
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
    const double start =
        b.origin.x + UITextLineOffset(line.alignment, line.direction, b.size.width, line.width);
    const bool rightToLeft = line.direction == NSWritingDirectionRightToLeft;
    // Extra height from the paragraph style goes above the text.
    const double baseline = y + (line.height - (line.ascent + line.descent)) + line.ascent;
    double placed = 0;  // width of the segments drawn so far
    for (const auto& segment : line.segments) {
      // A right-to-left paragraph's runs follow each other from the right.
      const double x = rightToLeft ? start + line.width - placed - segment.width : start + placed;
      placed += segment.width;
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
        f.drawText(segment.text, CGPointMake(x, top), color, context, line.direction);
      } else {
        double pen = x;
        for (char32_t cp : UTF8CodePoints(segment.text)) {
          std::string one;
          AppendUTF8(one, cp);
          f.drawText(one, CGPointMake(pen, top), color, context);
          pen += f.widthOfText(one) + style.kern;
        }
      }
    }
    y += line.height + line.spacingAfter;
  }
  CGContextRestoreGState(context);
}
