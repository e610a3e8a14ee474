#pragma once

// Text as it is drawn: a line ordered by the Unicode bidirectional algorithm
// (FriBidi), split into runs of one direction, script and face (the system
// font's face where it has every character of a cluster, else a face
// fontconfig finds, colour emoji from a colour face), each run shaped by
// HarfBuzz, and the runs put in visual order. Positions are unhinted and in
// ems, so one shaping serves every point size. Where a line may break comes
// from ICU's line and character break iterators.

#include <ft2build.h>
#include FT_FREETYPE_H

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/uikit/NSTextTypes.h"

// One glyph of a shaped line.
struct ShapedGlyph {
  FT_Face face = nullptr;  // lives for the process
  unsigned index = 0;      // the glyph in the face; 0 is its missing-glyph box
  double x = 0;            // from the line's start, in ems
  double y = 0;            // above the baseline, in ems
  double advance = 0;      // in ems
  size_t cluster = 0;      // byte offset of the first character it draws
};

struct ShapedLine {
  std::vector<ShapedGlyph> glyphs;  // left to right, as drawn
  double width = 0;                 // in ems
  bool rightToLeft = false;         // the paragraph's direction
};

// `text` shaped as one line in the face of the system font's file
// `fontFile` (and the faces it falls back to), in `direction`. Text that is
// not valid UTF-8 is shaped with each bad byte as U+FFFD. Recent lines come
// from a cache; a face that cannot be opened gives glyphless lines 0.6 em a
// character wide.
std::shared_ptr<const ShapedLine> ShapeText(const std::string& fontFile, const std::string& text,
                                            NSWritingDirection direction);

// Whether the first strong character of `text` is a right-to-left one (as
// a natural paragraph direction resolves).
bool TextIsRightToLeft(const std::string& text);

enum class TextBreak {
  Line,       // where a line may end: after spaces, between ideographs, ...
  Character,  // between user-perceived characters (grapheme clusters)
};

// Byte offsets in `text` where a line may end, ascending: each opportunity
// after the start, the text's size last (nothing for empty text).
std::vector<size_t> TextBreaks(const std::string& text, TextBreak kind);
