// Doubles written as text (JSON lines, preferences files, descriptions) are
// the shortest text that reads back as the very same double, and JSON keeps
// them doubles.
#include <gtest/gtest.h>

#include <cfloat>
#include <cstring>

#include "platform/foundation/NSJSONSerialization.h"
#include "platform/foundation/Value.h"
#include "support/TestEnvironment.h"

namespace double_text_test {

namespace {

bool sameBits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

struct DoubleCase {
  double value;
  const char* json;         // as JSON writes it
  const char* description;  // as a value describes itself
};

// Fractions 17 digits would spoil, the shortest forms at the ends of the
// range, negative zero, a large whole double, and whole doubles that JSON
// must still mark as doubles.
const DoubleCase kCases[] = {
    {0.8, "0.8", "0.8"},
    {0.1 + 0.2, "0.30000000000000004", "0.30000000000000004"},
    {1e300, "1e+300", "1e+300"},
    {5e-324, "5e-324", "5e-324"},
    {DBL_MAX, "1.7976931348623157e+308", "1.7976931348623157e+308"},
    {DBL_MIN, "2.2250738585072014e-308", "2.2250738585072014e-308"},
    {-0.0, "-0.0", "-0"},
    {123456789012345680.0, "123456789012345680.0", "123456789012345680"},
    {1e16, "1e+16", "1e+16"},
    {1.0, "1.0", "1"},
    {-2.0, "-2.0", "-2"},
    {0.5, "0.5", "0.5"},
};

using DoubleText = PlatformTest;

TEST_F(DoubleText, ShortestTextReadsBackAsTheSameDouble) {
  for (const DoubleCase& c : kCases) {
    const std::string expected = c.json;
    auto text = NSJSONSerialization::dataWithJSONObject(Value::list({Value(c.value)}));
    ASSERT_TRUE(text) << expected;
    EXPECT_EQ(*text, "[" + expected + "]");
    auto back = NSJSONSerialization::JSONObjectWithData(*text);
    ASSERT_TRUE(back) << *text;
    const Value& element = back->asList()[0];
    EXPECT_EQ(element.type(), Value::Type::Double) << *text;
    EXPECT_TRUE(sameBits(element.asDouble(), c.value)) << *text;
    EXPECT_EQ(Value(c.value).description(), c.description);
    EXPECT_TRUE(sameBits(std::strtod(c.description, nullptr), c.value)) << c.description;
  }
}

}  // namespace

}  // namespace double_text_test
