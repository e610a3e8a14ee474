#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "platform/foundation/NSDateComponentsFormatter.h"
#include "platform/foundation/NSNumberFormatter.h"
#include "support/TestEnvironment.h"

namespace ns_formatters_test {

namespace {

using NSFormattersTest = PlatformTest;

// Sets an environment variable for the test's length.
struct ScopedEnv {
  std::string name;
  std::optional<std::string> old;
  ScopedEnv(const char* n, const char* value) : name(n) {
    if (const char* v = std::getenv(n)) old = v;
    setenv(n, value, 1);
  }
  ~ScopedEnv() {
    if (old) setenv(name.c_str(), old->c_str(), 1); else unsetenv(name.c_str());
  }
};

TEST_F(NSFormattersTest, CurrentLocaleComesFromTheEnvironment) {
  ScopedEnv all("LC_ALL", "de_DE.UTF-8@euro");
  EXPECT_EQ(NSLocale::currentLocale()->localeIdentifier(), "de_DE");
  ScopedEnv c("LC_ALL", "C");
  EXPECT_EQ(NSLocale::currentLocale()->localeIdentifier(), "en_US");
  // A formatter made now writes in the user's locale.
  ScopedEnv fr("LC_ALL", "fr_FR.UTF-8");
  NSNumberFormatter f;
  f.setNumberStyle(NSNumberFormatterDecimalStyle);
  EXPECT_EQ(f.locale()->localeIdentifier(), "fr_FR");
  EXPECT_EQ(f.stringFromNumber(Value(1.5)), "1,5");
}

TEST_F(NSFormattersTest, NumbersInEachStyleAndLocale) {
  NSNumberFormatter f;
  f.setLocale(NSLocale::localeWithLocaleIdentifier("en_US"));
  // The plain style writes whole numbers without grouping.
  EXPECT_EQ(f.stringFromNumber(Value(int64_t(1234567))), "1234567");
  EXPECT_EQ(f.stringFromNumber(Value(2.5)), "2");  // half to even
  f.setNumberStyle(NSNumberFormatterDecimalStyle);
  EXPECT_EQ(f.stringFromNumber(Value(int64_t(1234567))), "1,234,567");
  EXPECT_EQ(f.stringFromNumber(Value(3.14159)), "3.142");
  EXPECT_EQ(f.stringFromNumber(Value(std::string("12"))), std::nullopt);
  f.setLocale(NSLocale::localeWithLocaleIdentifier("de_DE"));
  EXPECT_EQ(f.stringFromNumber(Value(int64_t(1234567))), "1.234.567");
  f.setLocale(NSLocale::localeWithLocaleIdentifier("ar_EG"));
  EXPECT_EQ(f.stringFromNumber(Value(int64_t(12))), "\u0661\u0662");
  f.setLocale(nullptr);  // back to the current locale
  EXPECT_FALSE(f.locale()->localeIdentifier().empty());

  f.setLocale(NSLocale::localeWithLocaleIdentifier("en_US"));
  f.setNumberStyle(NSNumberFormatterPercentStyle);
  EXPECT_EQ(f.stringFromNumber(Value(0.25)), "25%");
  f.setNumberStyle(NSNumberFormatterSpellOutStyle);
  EXPECT_EQ(f.stringFromNumber(Value(int64_t(42))), "forty-two");
  f.setNumberStyle(NSNumberFormatterDecimalStyle);
  f.setMinimumFractionDigits(2);
  f.setUsesGroupingSeparator(false);
  EXPECT_EQ(f.stringFromNumber(Value(int64_t(1000))), "1000.00");
  // Reading back: the whole text, or nothing.
  EXPECT_EQ(f.numberFromString("1234.5"), Value(1234.5));
  EXPECT_EQ(f.numberFromString("12"), Value(int64_t(12)));
  EXPECT_EQ(f.numberFromString("12 apples"), std::nullopt);
  EXPECT_EQ(f.numberFromString(""), std::nullopt);
  EXPECT_EQ(NSNumberFormatter::localizedStringFromNumber(Value(int64_t(7)),
                                                         NSNumberFormatterNoStyle),
            "7");
}

TEST_F(NSFormattersTest, DurationsPositionalAndSpelledOut) {
  NSDateComponentsFormatter f;
  f.setLocale(NSLocale::localeWithLocaleIdentifier("en_US"));
  f.setAllowedUnits(NSCalendarUnitMinute | NSCalendarUnitSecond);
  f.setZeroFormattingBehavior(NSDateComponentsFormatterZeroFormattingBehaviorPad);
  NSDateComponents c;
  c.second = 65;
  EXPECT_EQ(f.stringFromDateComponents(c), "01:05");
  c.second = 0;
  EXPECT_EQ(f.stringFromDateComponents(c), "00:00");
  c.second = 3725;  // minutes are not limited to 59
  EXPECT_EQ(f.stringFromDateComponents(c), "62:05");
  EXPECT_EQ(f.stringFromDateComponents({}), std::nullopt);
  EXPECT_EQ(f.stringFromTimeInterval(59.9), "00:59");
  EXPECT_EQ(f.stringFromTimeInterval(std::nan("")), std::nullopt);

  // Without padding: leading zero units drop down to the last two.
  f.setAllowedUnits(NSCalendarUnitHour | NSCalendarUnitMinute | NSCalendarUnitSecond);
  f.setZeroFormattingBehavior(NSDateComponentsFormatterZeroFormattingBehaviorDefault);
  EXPECT_EQ(f.stringFromTimeInterval(65), "1:05");
  EXPECT_EQ(f.stringFromTimeInterval(5), "0:05");
  EXPECT_EQ(f.stringFromTimeInterval(3725), "1:02:05");

  f.setUnitsStyle(NSDateComponentsFormatterUnitsStyleFull);
  EXPECT_EQ(f.stringFromTimeInterval(3605), "1 hour, 5 seconds");
  EXPECT_EQ(f.stringFromTimeInterval(0), "0 seconds");
  f.setUnitsStyle(NSDateComponentsFormatterUnitsStyleAbbreviated);
  EXPECT_EQ(f.stringFromTimeInterval(65), "1m 5s");
  f.setLocale(NSLocale::localeWithLocaleIdentifier("de_DE"));
  f.setUnitsStyle(NSDateComponentsFormatterUnitsStyleFull);
  EXPECT_EQ(f.stringFromTimeInterval(120), "2 Minuten");
}

}  // namespace

}  // namespace ns_formatters_test
