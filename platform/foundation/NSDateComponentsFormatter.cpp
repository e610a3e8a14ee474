#include "platform/foundation/NSDateComponentsFormatter.h"

#include <unicode/unum.h>
#include <unicode/unumberformatter.h>
#include <unicode/ustring.h>

#include <cmath>
#include <vector>

namespace {

struct Unit {
  NSCalendarUnit unit;
  int64_t seconds;
  const char* icuName;  // the ICU measure unit
};
// Largest first.
constexpr Unit kUnits[] = {
    {NSCalendarUnitDay, 86400, "duration-day"},
    {NSCalendarUnitHour, 3600, "duration-hour"},
    {NSCalendarUnitMinute, 60, "duration-minute"},
    {NSCalendarUnitSecond, 1, "duration-second"},
};

std::string toUTF8(const UChar* text, int32_t length) {
  std::string out(size_t(length) * 3 + 1, '\0');
  int32_t written = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strToUTF8(out.data(), int32_t(out.size()), &written, text, length, &status);
  if (U_FAILURE(status)) return "";
  out.resize(size_t(written));
  return out;
}

// A whole number in the locale's digits, at least `digits` of them.
std::string digitsOf(int64_t value, int digits, const std::string& locale) {
  UErrorCode status = U_ZERO_ERROR;
  UNumberFormat* f = unum_open(UNUM_DECIMAL, nullptr, 0, locale.c_str(), nullptr, &status);
  if (U_FAILURE(status) || !f) return std::to_string(value);
  unum_setAttribute(f, UNUM_GROUPING_USED, 0);
  unum_setAttribute(f, UNUM_MIN_INTEGER_DIGITS, digits);
  UChar buffer[64];
  int32_t n = unum_formatInt64(f, value, buffer, 64, nullptr, &status);
  unum_close(f);
  return U_SUCCESS(status) ? toUTF8(buffer, n) : std::to_string(value);
}

// "5 minutes", "5 min" or "5m" in the locale.
std::string measureOf(int64_t value, const Unit& unit, NSDateComponentsFormatterUnitsStyle style,
                      const std::string& locale) {
  const char* width = style == NSDateComponentsFormatterUnitsStyleFull    ? "unit-width-full-name"
                      : style == NSDateComponentsFormatterUnitsStyleShort ? "unit-width-short"
                                                                          : "unit-width-narrow";
  const std::string skeleton = std::string("measure-unit/") + unit.icuName + " " + width;
  std::vector<UChar> skeleton16(skeleton.begin(), skeleton.end());
  UErrorCode status = U_ZERO_ERROR;
  UNumberFormatter* f = unumf_openForSkeletonAndLocale(
      skeleton16.data(), int32_t(skeleton16.size()), locale.c_str(), &status);
  UFormattedNumber* result = unumf_openResult(&status);
  std::string out;
  if (U_SUCCESS(status)) {
    unumf_formatInt(f, value, result, &status);
    UChar buffer[128];
    int32_t n = unumf_resultToString(result, buffer, 128, &status);
    if (U_SUCCESS(status)) out = toUTF8(buffer, n);
  }
  if (result) unumf_closeResult(result);
  if (f) unumf_close(f);
  return out.empty() ? std::to_string(value) : out;
}

}  // namespace

NSLocalePtr NSDateComponentsFormatter::locale() const {
  return locale_ ? locale_ : NSLocale::currentLocale();
}

std::optional<std::string> NSDateComponentsFormatter::stringFromDateComponents(
    const NSDateComponents& c) const {
  if (!c.day && !c.hour && !c.minute && !c.second) return std::nullopt;
  const int64_t total = c.day.value_or(0) * 86400 + c.hour.value_or(0) * 3600 +
                        c.minute.value_or(0) * 60 + c.second.value_or(0);
  return format(total);
}

std::optional<std::string> NSDateComponentsFormatter::stringFromTimeInterval(double seconds) const {
  if (!std::isfinite(seconds) || std::fabs(seconds) > 9e15) return std::nullopt;
  return format(int64_t(seconds));
}

std::optional<std::string> NSDateComponentsFormatter::format(int64_t totalSeconds) const {
  const uint64_t allowed =
      allowedUnits_ ? allowedUnits_
                    : uint64_t(NSCalendarUnitHour | NSCalendarUnitMinute | NSCalendarUnitSecond);
  std::vector<const Unit*> units;
  for (const Unit& u : kUnits)
    if (allowed & u.unit) units.push_back(&u);
  if (units.empty()) return std::nullopt;
  const bool negative = totalSeconds < 0;
  int64_t rest = negative ? -totalSeconds : totalSeconds;
  // The largest unit takes whatever the smaller ones leave; the smallest
  // drops what it cannot show.
  std::vector<int64_t> values;
  for (const Unit* u : units) {
    values.push_back(rest / u->seconds);
    rest %= u->seconds;
  }
  const std::string id = locale()->icuIdentifier();
  const uint64_t zeros = zeroFormattingBehavior_;
  const bool pad = zeros & NSDateComponentsFormatterZeroFormattingBehaviorPad;
  std::string out = negative ? "-" : "";

  if (unitsStyle_ == NSDateComponentsFormatterUnitsStylePositional) {
    size_t first = 0;
    const bool dropLeading = !pad && zeros != NSDateComponentsFormatterZeroFormattingBehaviorNone;
    if (dropLeading) {
      // Leading zero units go, down to the last two (a lone second still
      // reads "0:05").
      while (first + 2 < values.size() && values[first] == 0) ++first;
    }
    for (size_t i = first; i < values.size(); ++i) {
      if (i > first) out += ":";
      out += digitsOf(values[i], (i == first && !pad) ? 1 : 2, id);
    }
    return out;
  }
  std::vector<std::string> parts;
  const bool keepZeros = pad || zeros == NSDateComponentsFormatterZeroFormattingBehaviorNone;
  for (size_t i = 0; i < values.size(); ++i) {
    if (values[i] == 0 && !keepZeros) continue;
    parts.push_back(measureOf(values[i], *units[i], unitsStyle_, id));
  }
  if (parts.empty()) parts.push_back(measureOf(0, *units.back(), unitsStyle_, id));
  const char* separator = unitsStyle_ == NSDateComponentsFormatterUnitsStyleAbbreviated ? " " : ", ";
  for (size_t i = 0; i < parts.size(); ++i) out += (i ? separator : "") + parts[i];
  return out;
}
