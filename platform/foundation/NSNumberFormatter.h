#pragma once

// Numbers written for people, in a locale's digits, separators and symbols,
// by ICU: plain, decimal (grouped, up to three fraction digits), currency,
// percent, scientific and spelled out; and read back.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/NSLocale.h"
#include "platform/foundation/Value.h"

enum NSNumberFormatterStyle : int64_t {
  NSNumberFormatterNoStyle = 0,
  NSNumberFormatterDecimalStyle = 1,
  NSNumberFormatterCurrencyStyle = 2,
  NSNumberFormatterPercentStyle = 3,
  NSNumberFormatterScientificStyle = 4,
  NSNumberFormatterSpellOutStyle = 5,
};

class NSNumberFormatter : public NSObject {
 public:
  NSNumberFormatter();

  NSNumberFormatterStyle numberStyle() const { return style_; }
  // Resets the digit counts and grouping to the style's own.
  void setNumberStyle(NSNumberFormatterStyle style);
  // The current locale unless set; nullptr sets the current locale.
  const NSLocalePtr& locale() const { return locale_; }
  void setLocale(NSLocalePtr locale);

  // Unset values (nullopt) take the style's own.
  std::optional<int64_t> minimumFractionDigits() const { return minimumFractionDigits_; }
  void setMinimumFractionDigits(int64_t n) { minimumFractionDigits_ = n; }
  std::optional<int64_t> maximumFractionDigits() const { return maximumFractionDigits_; }
  void setMaximumFractionDigits(int64_t n) { maximumFractionDigits_ = n; }
  std::optional<int64_t> minimumIntegerDigits() const { return minimumIntegerDigits_; }
  void setMinimumIntegerDigits(int64_t n) { minimumIntegerDigits_ = n; }
  std::optional<bool> usesGroupingSeparator() const { return usesGroupingSeparator_; }
  void setUsesGroupingSeparator(bool on) { usesGroupingSeparator_ = on; }

  // nullopt for a value that is not a number.
  std::optional<std::string> stringFromNumber(const Value& number) const;
  // nullopt for text that does not read whole as a number in this style.
  std::optional<Value> numberFromString(const std::string& text) const;

  static std::string localizedStringFromNumber(const Value& number, NSNumberFormatterStyle style);

  std::string className() const override { return "NSNumberFormatter"; }

 private:
  NSNumberFormatterStyle style_ = NSNumberFormatterNoStyle;
  NSLocalePtr locale_;
  std::optional<int64_t> minimumFractionDigits_, maximumFractionDigits_, minimumIntegerDigits_;
  std::optional<bool> usesGroupingSeparator_;
};
