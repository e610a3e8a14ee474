#pragma once

// Durations written for people: "1:05" (positional), "1m 5s"
// (abbreviated), "1 min, 5 sec" (short), "1 minute, 5 seconds" (full), in
// the units allowed, the largest of them not limited (65 minutes with only
// minutes and seconds allowed read 65:00). Digits and unit names come from
// the locale through ICU.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/NSLocale.h"

// Calendar units as the platform numbers them.
enum NSCalendarUnit : uint64_t {
  NSCalendarUnitDay = 1u << 4,
  NSCalendarUnitHour = 1u << 5,
  NSCalendarUnitMinute = 1u << 6,
  NSCalendarUnitSecond = 1u << 7,
};

// The fields of a date-components value a duration uses; unset fields are nullopt.
struct NSDateComponents {
  std::optional<int64_t> day, hour, minute, second;
};

enum NSDateComponentsFormatterUnitsStyle : int64_t {
  NSDateComponentsFormatterUnitsStylePositional = 0,
  NSDateComponentsFormatterUnitsStyleAbbreviated = 1,
  NSDateComponentsFormatterUnitsStyleShort = 2,
  NSDateComponentsFormatterUnitsStyleFull = 3,
};

enum NSDateComponentsFormatterZeroFormattingBehavior : uint64_t {
  NSDateComponentsFormatterZeroFormattingBehaviorNone = 0,
  NSDateComponentsFormatterZeroFormattingBehaviorDefault = 1,
  NSDateComponentsFormatterZeroFormattingBehaviorDropLeading = 1u << 1,
  NSDateComponentsFormatterZeroFormattingBehaviorDropMiddle = 1u << 2,
  NSDateComponentsFormatterZeroFormattingBehaviorDropTrailing = 1u << 3,
  NSDateComponentsFormatterZeroFormattingBehaviorDropAll = (1u << 1) | (1u << 2) | (1u << 3),
  NSDateComponentsFormatterZeroFormattingBehaviorPad = 1u << 16,
};

class NSDateComponentsFormatter : public NSObject {
 public:
  // Hours, minutes and seconds unless set; 0 means those.
  uint64_t allowedUnits() const { return allowedUnits_; }
  void setAllowedUnits(uint64_t units) { allowedUnits_ = units; }
  NSDateComponentsFormatterUnitsStyle unitsStyle() const { return unitsStyle_; }
  void setUnitsStyle(NSDateComponentsFormatterUnitsStyle style) { unitsStyle_ = style; }
  uint64_t zeroFormattingBehavior() const { return zeroFormattingBehavior_; }
  void setZeroFormattingBehavior(uint64_t behavior) { zeroFormattingBehavior_ = behavior; }
  // The current locale unless set.
  NSLocalePtr locale() const;
  void setLocale(NSLocalePtr locale) { locale_ = std::move(locale); }

  // nullopt for components with no field set.
  std::optional<std::string> stringFromDateComponents(const NSDateComponents& components) const;
  // Whole seconds (cut toward zero); nullopt for not-a-number or infinities.
  std::optional<std::string> stringFromTimeInterval(double seconds) const;

  std::string className() const override { return "NSDateComponentsFormatter"; }

 private:
  std::optional<std::string> format(int64_t totalSeconds) const;

  uint64_t allowedUnits_ = 0;
  NSDateComponentsFormatterUnitsStyle unitsStyle_ = NSDateComponentsFormatterUnitsStylePositional;
  uint64_t zeroFormattingBehavior_ = NSDateComponentsFormatterZeroFormattingBehaviorDefault;
  NSLocalePtr locale_;
};
