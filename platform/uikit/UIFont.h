#pragma once

// Fonts measured and drawn with FreeType from the DejaVu Sans faces that
// stand in for the system font (regular, bold, extra light). Sizes are in
// points; metrics come from the face itself, scaled to the point size.
// Text is shaped (HarfBuzz) and ordered (FriBidi) before it is measured or
// drawn, so Arabic joins and runs right to left, Devanagari forms its
// conjuncts and joined emoji draw as one picture. Characters the face lacks
// (Chinese, Japanese, Devanagari, emoji) come from a face fontconfig finds
// that has them; colour glyphs draw in colour.

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "platform/coregraphics/CGContext.h"
#include "platform/foundation/NSObject.h"
#include "platform/uikit/NSTextTypes.h"

class UIColor;
class UIFont;
struct ShapedLine;
using UIFontPtr = std::shared_ptr<UIFont>;

using UIFontWeight = double;
inline constexpr UIFontWeight UIFontWeightUltraLight = -0.8;
inline constexpr UIFontWeight UIFontWeightThin = -0.6;
inline constexpr UIFontWeight UIFontWeightLight = -0.4;
inline constexpr UIFontWeight UIFontWeightRegular = 0;
inline constexpr UIFontWeight UIFontWeightMedium = 0.23;
inline constexpr UIFontWeight UIFontWeightSemibold = 0.3;
inline constexpr UIFontWeight UIFontWeightBold = 0.4;
inline constexpr UIFontWeight UIFontWeightHeavy = 0.56;
inline constexpr UIFontWeight UIFontWeightBlack = 0.62;

class UIFont : public NSObject {
 public:
  UIFont(std::string name, std::string file, double pointSize, UIFontWeight weight);

  static UIFontPtr systemFontOfSize(double size);
  static UIFontPtr boldSystemFontOfSize(double size);
  static UIFontPtr systemFontOfSize(double size, UIFontWeight weight);
  // The system fonts and the sans-serif families the code base names
  // (Helvetica, Helvetica Neue, Arial, Avenir, San Francisco), in the face
  // their name's weight suffix asks for; nullptr for any other name, as the
  // platform answers for fonts it does not have.
  static UIFontPtr fontWithName(const std::string& name, double size);
  // 17 points, the body text size.
  static double labelFontSize() { return 17; }

  const std::string& fontName() const { return name_; }
  std::string familyName() const;
  double pointSize() const { return pointSize_; }
  UIFontWeight weight() const { return weight_; }
  UIFontPtr fontWithSize(double size) const;

  // Face metrics in points.
  double ascender() const;
  double descender() const;  // negative: below the baseline
  double lineHeight() const;
  double capHeight() const;
  double xHeight() const;
  double leading() const { return lineHeight() - (ascender() - descender()); }

  // The advance width of the text shaped as one line, in points (kerning
  // applied), as a paragraph running in `direction`.
  double widthOfText(const std::string& text,
                     NSWritingDirection direction = NSWritingDirectionNatural) const;
  // The advance of each byte of valid UTF-8 `text` shaped as one line, in
  // points: a glyph counts at the first byte of the characters it draws,
  // other bytes are 0. Summed over whole clusters, the width that part takes
  // in the line (joins and kerning across its ends aside).
  std::vector<double> advancesOfText(const std::string& text, NSWritingDirection direction) const;
  // Draws the text as one line, in visual order, starting at the left with
  // the top of its line box at `origin`, in a y-down user space (a UIKit
  // context), as a paragraph running in `direction`.
  void drawText(const std::string& text, CGPoint origin, const CGColorRef& color,
                const CGContextRef& context,
                NSWritingDirection direction = NSWritingDirectionNatural) const;
  // The text shaped as one line in this font's face, as the calls above
  // shape it; a layout keeps it to draw without shaping again.
  std::shared_ptr<const ShapedLine> shapedLine(const std::string& text,
                                               NSWritingDirection direction) const;
  // Draws a line `shapedLine` gave, as drawText draws its text; with
  // `clip`, clipped to that rectangle of user space (as CGContextClipToRect
  // would, but without touching the clip where no ink falls outside it).
  void drawShapedLine(const ShapedLine& line, CGPoint origin, const CGColorRef& color,
                      const CGContextRef& context, const CGRect* clip = nullptr) const;

  // The face's metrics in ems.
  struct FaceMetrics {
    double ascender = 0.8, descender = -0.2, height = 1.2, cap = 0.7, x = 0.5;
  };

  bool isEqual(const NSObject& other) const override;
  size_t hash() const override;
  std::string description() const override;
  std::string className() const override { return "UIFont"; }

 private:
  void drawLinePicture(const std::vector<CGPixelMask>& masks, const double rgba[4], CGPoint origin,
                       double baselineY, double scale, const CGContextRef& context) const;

  const FaceMetrics& metrics() const;

  std::string name_;
  std::string file_;
  double pointSize_;
  UIFontWeight weight_;
  // The file's metrics, once asked for (they live for the process).
  mutable std::atomic<const FaceMetrics*> metrics_{nullptr};
};
