#pragma once

// Plain text in one font laid out in lines, as labels, text views and
// string measuring wrap it: paragraphs end at newlines; within a width a
// line ends where the script allows it (after spaces, between ideographs but
// never before closing punctuation, ICU's line breaking), or between any two
// characters for char wrapping. Each paragraph runs in the direction of its
// first strong character, and its lines are drawn in it.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/coregraphics/CGGeometry.h"
#include "platform/uikit/NSTextTypes.h"
#include "platform/uikit/UIFont.h"

// Lines of text as they fit a width, with the font's metrics.
struct UITextLayout {
  std::vector<std::string> lines;
  std::vector<double> widths;
  // Each line's paragraph direction (left to right or right to left).
  std::vector<NSWritingDirection> directions;
  // Each line as the font shaped it to measure it (nullptr for an empty
  // line), to draw without shaping it again; none in layouts of styled text.
  std::vector<std::shared_ptr<const ShapedLine>> shapedLines;
  double lineHeight = 0;
  CGSize size() const;
};

// Breaks `text` at newlines and, within `maxWidth`, where lines may end
// (anywhere between characters for char wrapping); a word wider than the
// line breaks between characters. More than `maxLines` lines (0: no limit)
// are cut and the last one truncated as the mode says, between whole
// characters (an emoji sequence or a conjunct is never split).
UITextLayout UITextLayoutMake(const std::string& text, const UIFont& font, double maxWidth,
                              int64_t maxLines, NSLineBreakMode mode);

// The one line of `text` where nothing is wrapped or cut: text without a
// newline, on one line (`maxLines` 1), that fits `maxWidth` or is not
// truncated (`mode`); what UITextLayoutMake makes of it, without the
// lists. nullopt where UITextLayoutMake has more to decide.
struct UITextSingleLine {
  std::shared_ptr<const ShapedLine> shaped;
  double width = 0;
  NSWritingDirection direction = NSWritingDirectionLeftToRight;
};
std::optional<UITextSingleLine> UITextSingleLineMake(const std::string& text, const UIFont& font,
                                                     double maxWidth, int64_t maxLines,
                                                     NSLineBreakMode mode);

// Where a line `lineWidth` wide starts in a box `boxWidth` wide: natural
// (and justified) alignment put it at its paragraph's start edge, the right
// one for right-to-left paragraphs.
double UITextLineOffset(NSTextAlignment alignment, NSWritingDirection direction, double boxWidth,
                        double lineWidth);
