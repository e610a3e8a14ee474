#pragma once

// The text layout enums, ranges and the names of attributed strings and
// their attribute dictionaries, for views that lay out or hold text but do
// not read attributes themselves: an attribute dictionary holds values, and
// Value.h would otherwise reach every header that shows text.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/foundation/ValueFwd.h"

enum NSTextAlignment : int64_t {
  NSTextAlignmentLeft = 0,
  NSTextAlignmentCenter = 1,
  NSTextAlignmentRight = 2,
  NSTextAlignmentJustified = 3,
  NSTextAlignmentNatural = 4,
};

enum NSLineBreakMode : int64_t {
  NSLineBreakByWordWrapping = 0,
  NSLineBreakByCharWrapping = 1,
  NSLineBreakByClipping = 2,
  NSLineBreakByTruncatingHead = 3,
  NSLineBreakByTruncatingTail = 4,
  NSLineBreakByTruncatingMiddle = 5,
};

// The direction a paragraph runs in; natural takes it from the paragraph's
// first strong character (left to right when it has none).
enum NSWritingDirection : int64_t {
  NSWritingDirectionNatural = -1,
  NSWritingDirectionLeftToRight = 0,
  NSWritingDirectionRightToLeft = 1,
};

struct NSRange {
  size_t location = 0;
  size_t length = 0;
  size_t end() const { return location + length; }
  bool operator==(const NSRange&) const = default;
};

inline NSRange NSMakeRange(size_t location, size_t length) { return {location, length}; }

// Attribute names to their values (fonts, colours, paragraph styles, numbers).
using NSAttributeDictionary = std::map<std::string, Value>;

class NSAttributedString;
using NSAttributedStringPtr = std::shared_ptr<NSAttributedString>;
