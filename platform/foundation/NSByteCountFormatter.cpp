#include "NSByteCountFormatter.h"

#include <cmath>
#include <cstdio>

namespace {

const char* const kUnits[] = {"KB", "MB", "GB", "TB", "PB", "EB"};
constexpr int kUnitCount = 6;

int fractionDigitsForUnit(int unit) { return unit == 0 ? 0 : (unit == 1 ? 1 : 2); }

// The value rounded to the unit's digits, without trailing zeros.
std::string formatAmount(double amount, int digits) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", digits, amount);
  std::string text = buf;
  if (text.find('.') != std::string::npos) {
    while (text.back() == '0') text.pop_back();
    if (text.back() == '.') text.pop_back();
  }
  return text;
}

double roundTo(double value, int digits) {
  double scale = std::pow(10.0, digits);
  return std::round(value * scale) / scale;
}

}  // namespace

std::string NSByteCountFormatter::stringFromByteCount(int64_t byteCount,
                                                      NSByteCountFormatterCountStyle countStyle) {
  if (byteCount == 0) return "Zero KB";
  bool binary = countStyle == NSByteCountFormatterCountStyle::Memory ||
                countStyle == NSByteCountFormatterCountStyle::Binary;
  double base = binary ? 1024.0 : 1000.0;
  std::string sign = byteCount < 0 ? "-" : "";
  double magnitude = std::fabs(static_cast<double>(byteCount));
  if (magnitude == 1) return sign + "1 byte";
  if (magnitude < base) return sign + formatAmount(magnitude, 0) + " bytes";

  int unit = 0;
  double amount = magnitude / base;
  // Move up while the rounded amount would read as a full unit of the next size.
  while (unit + 1 < kUnitCount && roundTo(amount, fractionDigitsForUnit(unit)) >= base) {
    amount /= base;
    ++unit;
  }
  int digits = fractionDigitsForUnit(unit);
  return sign + formatAmount(roundTo(amount, digits), digits) + " " + kUnits[unit];
}
