#pragma once

// Text with attributes over ranges of it: the font, the text colour, the
// paragraph style (alignment, line spacing and heights) and the kerning that
// labels draw. Attributes are kept, as on the platform, as dictionaries from
// attribute names to values (UIFont, UIColor and NSParagraphStyle objects,
// numbers for kerning). Locations and lengths count UTF-16 code units.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/NSObject.h"
#include "platform/foundation/Value.h"
#include "platform/uikit/NSTextTypes.h"

extern const char* const NSFontAttributeName;             // a UIFont
extern const char* const NSForegroundColorAttributeName;  // a UIColor
extern const char* const NSBackgroundColorAttributeName;  // a UIColor
extern const char* const NSParagraphStyleAttributeName;   // an NSParagraphStyle
extern const char* const NSKernAttributeName;             // points added after each character

class NSParagraphStyle : public NSObject {
 public:
  static std::shared_ptr<NSParagraphStyle> defaultParagraphStyle();

  NSTextAlignment alignment() const { return alignment_; }
  NSLineBreakMode lineBreakMode() const { return lineBreakMode_; }
  // Points added between the lines of a paragraph.
  double lineSpacing() const { return lineSpacing_; }
  // Points added after each paragraph.
  double paragraphSpacing() const { return paragraphSpacing_; }
  // 0: no bound.
  double minimumLineHeight() const { return minimumLineHeight_; }
  double maximumLineHeight() const { return maximumLineHeight_; }
  // 0: the font's own line height.
  double lineHeightMultiple() const { return lineHeightMultiple_; }

  // The height of a line whose fonts give `natural`, as this style bounds it.
  double lineHeightFor(double natural) const;

  bool isEqual(const NSObject& other) const override;
  std::string className() const override { return "NSParagraphStyle"; }

 protected:
  NSTextAlignment alignment_ = NSTextAlignmentNatural;
  NSLineBreakMode lineBreakMode_ = NSLineBreakByWordWrapping;
  double lineSpacing_ = 0;
  double paragraphSpacing_ = 0;
  double minimumLineHeight_ = 0;
  double maximumLineHeight_ = 0;
  double lineHeightMultiple_ = 0;
};

class NSMutableParagraphStyle : public NSParagraphStyle {
 public:
  void setAlignment(NSTextAlignment a) { alignment_ = a; }
  void setLineBreakMode(NSLineBreakMode m) { lineBreakMode_ = m; }
  // Negative values count as 0, as on the platform.
  void setLineSpacing(double v);
  void setParagraphSpacing(double v);
  void setMinimumLineHeight(double v);
  void setMaximumLineHeight(double v);
  void setLineHeightMultiple(double v);
  std::string className() const override { return "NSMutableParagraphStyle"; }
};

class NSAttributedString : public NSObject {
 public:
  // One stretch of text sharing its attributes.
  struct Run {
    std::string text;  // UTF-8
    NSAttributeDictionary attributes;
  };

  NSAttributedString() = default;
  explicit NSAttributedString(const std::string& text, NSAttributeDictionary attributes = {});

  // The whole text, UTF-8.
  std::string string() const;
  // In UTF-16 code units.
  size_t length() const;
  // Neighbouring runs with equal attributes are kept as one.
  const std::vector<Run>& runs() const { return runs_; }
  // The attributes at `location` and, when asked, the range sharing them. An
  // index past the end is a hard error, as on the platform.
  NSAttributeDictionary attributesAtIndex(size_t location, NSRange* effectiveRange) const;
  Value attributeAtIndex(const std::string& name, size_t location, NSRange* effectiveRange) const;
  std::shared_ptr<NSAttributedString> attributedSubstringFromRange(NSRange range) const;

  bool isEqual(const NSObject& other) const override;
  std::string description() const override;
  std::string className() const override { return "NSAttributedString"; }

 protected:
  // Splits the runs so a run starts at `location`; answers its index.
  size_t splitAt(size_t location);
  void checkRange(NSRange range, const char* function) const;
  void coalesce();

  std::vector<Run> runs_;
};

class NSMutableAttributedString : public NSAttributedString {
 public:
  using NSAttributedString::NSAttributedString;

  void appendAttributedString(const NSAttributedString& other);
  void setAttributes(NSAttributeDictionary attributes, NSRange range);
  void addAttribute(const std::string& name, const Value& value, NSRange range);
  void addAttributes(const NSAttributeDictionary& attributes, NSRange range);
  void removeAttribute(const std::string& name, NSRange range);
  std::string className() const override { return "NSMutableAttributedString"; }

 private:
  template <typename F>
  void forRunsIn(NSRange range, const char* function, F change);
};

