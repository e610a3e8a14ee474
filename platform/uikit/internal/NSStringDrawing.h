#pragma once

// Measuring text as UIKit's string drawing additions do: the rectangle a
// string takes when laid out in a size, in the font and paragraph style its
// attributes name (the system font of 12 points when none). With
// NSStringDrawingUsesLineFragmentOrigin the text wraps at the size's width
// into lines from the origin down; without it the text is one line whose
// baseline sits at the origin (the rectangle starts an ascender above it).
// Sizes are not rounded: callers that size views round them up.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/coregraphics/CGGeometry.h"
#include "platform/uikit/NSAttributedString.h"

enum NSStringDrawingOptions : int64_t {
  NSStringDrawingUsesLineFragmentOrigin = 1 << 0,
  NSStringDrawingUsesFontLeading = 1 << 1,
  NSStringDrawingUsesDeviceMetrics = 1 << 3,
  NSStringDrawingTruncatesLastVisibleLine = 1 << 5,
};

// What a measurement reports besides its result.
class NSStringDrawingContext : public NSObject {
 public:
  // The rectangle of the last measurement made with this context.
  CGRect totalBounds() const { return totalBounds_; }
  void setTotalBounds(CGRect bounds) { totalBounds_ = bounds; }
  std::string className() const override { return "NSStringDrawingContext"; }

 private:
  CGRect totalBounds_ = CGRectZero;
};

CGRect boundingRectWithSize(const std::string& text, CGSize size, int64_t options,
                            const NSAttributeDictionary& attributes,
                            const std::shared_ptr<NSStringDrawingContext>& context);
CGRect boundingRectWithSize(const NSAttributedString& text, CGSize size, int64_t options,
                            const std::shared_ptr<NSStringDrawingContext>& context);
