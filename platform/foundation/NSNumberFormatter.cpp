#include "platform/foundation/NSNumberFormatter.h"

#include <unicode/unum.h>
#include <unicode/ustring.h>

#include <cmath>
#include <vector>

namespace {

UNumberFormatStyle icuStyle(NSNumberFormatterStyle style) {
  switch (style) {
    case NSNumberFormatterCurrencyStyle:
      return UNUM_CURRENCY;
    case NSNumberFormatterPercentStyle:
      return UNUM_PERCENT;
    case NSNumberFormatterScientificStyle:
      return UNUM_SCIENTIFIC;
    case NSNumberFormatterSpellOutStyle:
      return UNUM_SPELLOUT;
    default:
      return UNUM_DECIMAL;
  }
}

std::string toUTF8(const UChar* text, int32_t length) {
  std::string out(size_t(length) * 3 + 1, '\0');
  int32_t written = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strToUTF8(out.data(), int32_t(out.size()), &written, text, length, &status);
  if (U_FAILURE(status)) return "";
  out.resize(size_t(written));
  return out;
}

std::vector<UChar> toUTF16(const std::string& text) {
  std::vector<UChar> out(text.size() + 1);
  int32_t written = 0;
  UErrorCode status = U_ZERO_ERROR;
  u_strFromUTF8(out.data(), int32_t(out.size()), &written, text.data(), int32_t(text.size()),
                &status);
  if (U_FAILURE(status)) return {};
  out.resize(size_t(written));
  return out;
}

// An ICU formatter closed when it goes out of scope.
struct Formatter {
  UNumberFormat* format = nullptr;
  ~Formatter() {
    if (format) unum_close(format);
  }
};

}  // namespace

NSNumberFormatter::NSNumberFormatter() : locale_(NSLocale::currentLocale()) {}

void NSNumberFormatter::setNumberStyle(NSNumberFormatterStyle style) {
  style_ = style;
  minimumFractionDigits_.reset();
  maximumFractionDigits_.reset();
  minimumIntegerDigits_.reset();
  usesGroupingSeparator_.reset();
}

void NSNumberFormatter::setLocale(NSLocalePtr locale) {
  locale_ = locale ? std::move(locale) : NSLocale::currentLocale();
}

namespace {

UNumberFormat* openFormatter(NSNumberFormatterStyle style, const NSLocale& locale,
                             std::optional<int64_t> minFraction, std::optional<int64_t> maxFraction,
                             std::optional<int64_t> minInteger, std::optional<bool> grouping) {
  UErrorCode status = U_ZERO_ERROR;
  const std::string id = locale.icuIdentifier();
  UNumberFormat* f = unum_open(icuStyle(style), nullptr, 0, id.c_str(), nullptr, &status);
  if (U_FAILURE(status) || !f) return nullptr;
  if (style == NSNumberFormatterNoStyle) {
    // Whole numbers, no grouping, as the platform's plain style writes them.
    unum_setAttribute(f, UNUM_GROUPING_USED, 0);
    unum_setAttribute(f, UNUM_MAX_FRACTION_DIGITS, 0);
  }
  if (style != NSNumberFormatterSpellOutStyle) {
    if (minFraction) unum_setAttribute(f, UNUM_MIN_FRACTION_DIGITS, int32_t(*minFraction));
    if (maxFraction) unum_setAttribute(f, UNUM_MAX_FRACTION_DIGITS, int32_t(*maxFraction));
    if (minInteger) unum_setAttribute(f, UNUM_MIN_INTEGER_DIGITS, int32_t(*minInteger));
    if (grouping) unum_setAttribute(f, UNUM_GROUPING_USED, *grouping ? 1 : 0);
  }
  return f;
}

}  // namespace

std::optional<std::string> NSNumberFormatter::stringFromNumber(const Value& number) const {
  if (!number.isNumber()) return std::nullopt;
  Formatter f{openFormatter(style_, *locale_, minimumFractionDigits_, maximumFractionDigits_,
                            minimumIntegerDigits_, usesGroupingSeparator_)};
  if (!f.format) return std::nullopt;
  UChar buffer[256];
  UErrorCode status = U_ZERO_ERROR;
  int32_t n = number.isInteger()
                  ? unum_formatInt64(f.format, number.asInt64(), buffer, 256, nullptr, &status)
                  : unum_formatDouble(f.format, number.asDouble(), buffer, 256, nullptr, &status);
  if (U_FAILURE(status)) return std::nullopt;
  return toUTF8(buffer, n);
}

std::optional<Value> NSNumberFormatter::numberFromString(const std::string& text) const {
  Formatter f{openFormatter(style_, *locale_, minimumFractionDigits_, maximumFractionDigits_,
                            minimumIntegerDigits_, usesGroupingSeparator_)};
  if (!f.format || text.empty()) return std::nullopt;
  std::vector<UChar> utf16 = toUTF16(text);
  if (utf16.empty()) return std::nullopt;
  int32_t position = 0;
  UErrorCode status = U_ZERO_ERROR;
  double value = unum_parseDouble(f.format, utf16.data(), int32_t(utf16.size()), &position, &status);
  if (U_FAILURE(status) || position != int32_t(utf16.size()) || !std::isfinite(value)) {
    return std::nullopt;
  }
  if (value == std::trunc(value) && std::fabs(value) < 9.2e18) return Value(int64_t(value));
  return Value(value);
}

std::string NSNumberFormatter::localizedStringFromNumber(const Value& number,
                                                         NSNumberFormatterStyle style) {
  NSNumberFormatter formatter;
  formatter.setNumberStyle(style);
  return formatter.stringFromNumber(number).value_or("");
}
