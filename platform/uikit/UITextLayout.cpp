#include "platform/uikit/UITextLayout.h"

#include <unicode/uchar.h>

#include <algorithm>
#include <cmath>

#include "platform/foundation/UTF8.h"
#include "platform/uikit/internal/TextShaper.h"

namespace {

const char* const kEllipsis = "\u2026";

// The start of the code point that ends at `end` in valid UTF-8.
size_t previousCodePoint(const std::string& text, size_t end) {
  size_t i = end - 1;
  while (i > 0 && (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) --i;
  return i;
}

// `to`, moved back over the white space that ends [from, to): spaces at
// the end of a line hang past its edge and take no width.
size_t trimmedEnd(const std::string& text, size_t from, size_t to) {
  while (to > from) {
    const size_t start = previousCodePoint(text, to);
    const char32_t cp = UTF8CodePoints(std::string_view(text).substr(start, to - start))[0];
    if (!u_isUWhiteSpace(UChar32(cp))) break;
    to = start;
  }
  return to;
}

// One paragraph's text with each byte's advance summed before it, so the
// width of a range is one subtraction (an estimate: shaping the range as a
// line of its own may differ a little at its ends, so choices are checked).
class Measured {
 public:
  Measured(const std::string& text, const UIFont& font, NSWritingDirection direction)
      : text_(text), font_(font), direction_(direction), sums_(text.size() + 1, 0) {
    const auto advances = font.advancesOfText(text, direction);
    for (size_t i = 0; i < advances.size(); ++i) sums_[i + 1] = sums_[i] + advances[i];
  }
  double estimate(size_t from, size_t to) const { return sums_[to] - sums_[from]; }
  double exact(size_t from, size_t to) const {
    return font_.widthOfText(text_.substr(from, to - from), direction_);
  }

 private:
  const std::string& text_;
  const UIFont& font_;
  NSWritingDirection direction_;
  std::vector<double> sums_;
};

using Ends = std::vector<size_t>;

// The furthest of the ends after `from` where the line from `from` fits
// `maxWidth`, trailing white space aside; 0 when none does.
size_t furthestFit(const std::string& text, const Measured& m, size_t from, const Ends& ends,
                   double maxWidth) {
  const auto first = std::upper_bound(ends.begin(), ends.end(), from);
  auto fits = first;  // past the last that fits by estimate
  while (fits != ends.end() && m.estimate(from, trimmedEnd(text, from, *fits)) <= maxWidth) ++fits;
  for (auto it = fits; it != first;) {
    --it;
    if (m.exact(from, trimmedEnd(text, from, *it)) <= maxWidth) return *it;
  }
  return 0;
}

// The lines of one paragraph wider than `maxWidth`.
std::vector<std::string> wrapParagraph(const std::string& text, const UIFont& font,
                                       NSWritingDirection direction, double maxWidth, bool words) {
  const Measured m(text, font, direction);
  const Ends characters = TextBreaks(text, TextBreak::Character);
  const Ends breaks = words ? TextBreaks(text, TextBreak::Line) : characters;
  std::vector<std::string> lines;
  for (size_t from = 0; from < text.size();) {
    size_t end = furthestFit(text, m, from, breaks, maxWidth);
    if (end == 0) {
      // Nothing fits up to a break: the line ends between characters, at
      // least one of them.
      end = furthestFit(text, m, from, characters, maxWidth);
      if (end == 0) end = *std::upper_bound(characters.begin(), characters.end(), from);
    }
    lines.push_back(text.substr(from, trimmedEnd(text, from, end) - from));
    from = end;
  }
  return lines;
}

// `line` shortened with an ellipsis at the head, middle or tail, cut between
// whole characters, to the longest that fits `width` (the ellipsis alone
// when nothing does).
std::string truncated(const std::string& line, const UIFont& font, NSWritingDirection direction,
                      double width, NSLineBreakMode mode) {
  std::vector<size_t> bounds{0};  // where each character starts, the end last
  for (size_t b : TextBreaks(line, TextBreak::Character)) bounds.push_back(b);
  const size_t count = bounds.size() - 1;
  const Measured m(line, font, direction);
  const double ellipsis = font.widthOfText(kEllipsis, direction);
  struct Cut {
    size_t headEnd, tailStart;  // bytes kept: [0, headEnd) and [tailStart, size)
  };
  auto cutKeeping = [&](size_t keep) -> Cut {
    if (mode == NSLineBreakByTruncatingHead) return {0, bounds[count - keep]};
    if (mode == NSLineBreakByTruncatingMiddle) {
      return {trimmedEnd(line, 0, bounds[(keep + 1) / 2]), bounds[count - keep / 2]};
    }
    return {trimmedEnd(line, 0, bounds[keep]), line.size()};
  };
  auto estimate = [&](const Cut& c) {
    return m.estimate(0, c.headEnd) + ellipsis + m.estimate(c.tailStart, line.size());
  };
  auto text = [&](const Cut& c) {
    return line.substr(0, c.headEnd) + kEllipsis + line.substr(c.tailStart);
  };
  for (size_t keep = count; keep-- > 0;) {
    const Cut c = cutKeeping(keep);
    if (estimate(c) > width) continue;
    std::string candidate = text(c);
    if (font.widthOfText(candidate, direction) <= width) return candidate;
  }
  return kEllipsis;
}

bool truncates(NSLineBreakMode mode) {
  return mode == NSLineBreakByTruncatingHead || mode == NSLineBreakByTruncatingTail ||
         mode == NSLineBreakByTruncatingMiddle;
}

}  // namespace

CGSize UITextLayout::size() const {
  double w = 0;
  for (double lw : widths) w = std::max(w, lw);
  return CGSizeMake(std::ceil(w), std::ceil(lineHeight * double(lines.size())));
}

std::optional<UITextSingleLine> UITextSingleLineMake(const std::string& text, const UIFont& font,
                                                     double maxWidth, int64_t maxLines,
                                                     NSLineBreakMode mode) {
  if (maxLines != 1 || text.empty() || text.find('\n') != std::string::npos) return std::nullopt;
  // Shaping and the direction repair invalid UTF-8 as the layout's lines do.
  UITextSingleLine line;
  line.direction =
      TextIsRightToLeft(text) ? NSWritingDirectionRightToLeft : NSWritingDirectionLeftToRight;
  line.shaped = font.shapedLine(text, line.direction);
  line.width = line.shaped->width * font.pointSize();
  if (truncates(mode) && line.width > maxWidth) return std::nullopt;
  return line;
}

UITextLayout UITextLayoutMake(const std::string& rawText, const UIFont& font, double maxWidth,
                              int64_t maxLines, NSLineBreakMode mode) {
  UITextLayout layout;
  layout.lineHeight = font.lineHeight();
  if (rawText.empty()) return layout;
  if (auto single = UITextSingleLineMake(rawText, font, maxWidth, maxLines, mode)) {
    layout.lines.push_back(ValidUTF8(rawText));
    layout.widths.push_back(single->width);
    layout.directions.push_back(single->direction);
    layout.shapedLines.push_back(std::move(single->shaped));
    return layout;
  }
  const std::string text = ValidUTF8(rawText);
  const bool wraps = maxLines != 1;
  const bool words = mode != NSLineBreakByCharWrapping;
  std::vector<std::string>& lines = layout.lines;
  for (size_t start = 0; start <= text.size();) {
    const size_t end = std::min(text.find('\n', start), text.size());
    std::string paragraph = text.substr(start, end - start);
    const NSWritingDirection direction = TextIsRightToLeft(paragraph)
                                             ? NSWritingDirectionRightToLeft
                                             : NSWritingDirectionLeftToRight;
    if (!wraps || paragraph.empty() || font.widthOfText(paragraph, direction) <= maxWidth) {
      lines.push_back(std::move(paragraph));
    } else {
      for (auto& line : wrapParagraph(paragraph, font, direction, maxWidth, words)) {
        lines.push_back(std::move(line));
      }
    }
    layout.directions.resize(lines.size(), direction);
    if (end == text.size()) break;
    start = end + 1;
  }
  const bool cut = maxLines > 0 && lines.size() > size_t(maxLines);
  if (cut) {
    lines.resize(size_t(maxLines));
    layout.directions.resize(size_t(maxLines));
  }
  // Each line shaped once: its width, and what draws it.
  auto measure = [&layout, &font](size_t i) {
    const std::string& line = layout.lines[i];
    layout.shapedLines[i] = line.empty() ? nullptr : font.shapedLine(line, layout.directions[i]);
    layout.widths[i] = line.empty() ? 0 : layout.shapedLines[i]->width * font.pointSize();
  };
  layout.widths.resize(lines.size());
  layout.shapedLines.resize(lines.size());
  for (size_t i = 0; i < lines.size(); ++i) measure(i);
  std::string& last = lines.back();
  const NSWritingDirection direction = layout.directions.back();
  if (cut && truncates(mode)) {
    // Cut text ends in an ellipsis, at its tail whatever the mode.
    const std::string withEllipsis = last + kEllipsis;
    last = font.widthOfText(withEllipsis, direction) <= maxWidth
               ? withEllipsis
               : truncated(last, font, direction, maxWidth, NSLineBreakByTruncatingTail);
    measure(lines.size() - 1);
  } else if (truncates(mode) && layout.widths.back() > maxWidth) {
    last = truncated(last, font, direction, maxWidth, mode);
    measure(lines.size() - 1);
  }
  return layout;
}

double UITextLineOffset(NSTextAlignment alignment, NSWritingDirection direction, double boxWidth,
                        double lineWidth) {
  switch (alignment) {
    case NSTextAlignmentCenter:
      return (boxWidth - lineWidth) / 2;
    case NSTextAlignmentRight:
      return boxWidth - lineWidth;
    case NSTextAlignmentLeft:
      return 0;
    case NSTextAlignmentJustified:
    case NSTextAlignmentNatural:
      break;
  }
  return direction == NSWritingDirectionRightToLeft ? boxWidth - lineWidth : 0;
}
