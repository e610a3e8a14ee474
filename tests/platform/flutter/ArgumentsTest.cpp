#include <gtest/gtest.h>

#include "platform/coregraphics/CGGeometry.h"
#include "platform/flutter/FlutterArguments.h"
#include "platform/foundation/Value.h"
#include "support/TestEnvironment.h"

namespace arguments_test {

namespace {

using FlutterArgumentsTest = PlatformTest;

TEST_F(FlutterArgumentsTest, AbsentAndNullAreNoErrorAndEachTypeIsChecked) {
  Value args = Value::map({{"text", Value("hi")},
                           {"none", Value()},
                           {"paths", Value::list({Value("/a"), Value("/b")})},
                           {"n", Value(int64_t{3})}});
  FlutterArguments read(args);
  EXPECT_EQ(read.string("text"), "hi");
  EXPECT_EQ(read.string("none"), std::nullopt);
  EXPECT_EQ(read.string("missing"), std::nullopt);
  EXPECT_EQ(read.stringList("paths"), (std::vector<std::string>{"/a", "/b"}));
  EXPECT_EQ(read.number("n"), 3.0);
  EXPECT_TRUE(read.ok());

  // The first wrong type is the one reported; later reads still answer.
  Value bad = Value::map({{"paths", Value::list({Value("/a"), Value(int32_t{1})})},
                          {"text", Value(int32_t{5})},
                          {"title", Value("t")}});
  FlutterArguments wrong(bad);
  EXPECT_EQ(wrong.stringList("paths"), std::nullopt);
  EXPECT_EQ(wrong.string("text"), std::nullopt);
  EXPECT_EQ(wrong.string("title"), "t");
  EXPECT_FALSE(wrong.ok());
  EXPECT_EQ(wrong.error(), "Expected a list of strings for \"paths\"");

  // Anything but a map has no keys at all.
  Value list = Value::list({Value("text")});
  FlutterArguments notAMap(list);
  EXPECT_EQ(notAMap.string("text"), std::nullopt);
  EXPECT_TRUE(notAMap.ok());
}

TEST_F(FlutterArgumentsTest, RectangleNeedsAllFourNumbers) {
  Value full = Value::map(
      {{"x", Value(1.5)}, {"y", Value(int32_t{2})}, {"w", Value(int64_t{30})}, {"h", Value(40.0)}});
  FlutterArguments read(full);
  auto rect = read.rect("x", "y", "w", "h");
  ASSERT_TRUE(rect.has_value());
  EXPECT_EQ(*rect, CGRectMake(1.5, 2, 30, 40));

  Value partial = Value::map({{"x", Value(1.0)}, {"y", Value(2.0)}, {"w", Value(3.0)}});
  FlutterArguments three(partial);
  EXPECT_EQ(three.rect("x", "y", "w", "h"), std::nullopt);
  EXPECT_TRUE(three.ok());

  // A wrong type in the last key is still reported.
  Value typed =
      Value::map({{"x", Value(1.0)}, {"y", Value(2.0)}, {"w", Value(3.0)}, {"h", Value("tall")}});
  FlutterArguments wrong(typed);
  EXPECT_EQ(wrong.rect("x", "y", "w", "h"), std::nullopt);
  EXPECT_EQ(wrong.error(), "Expected a number for \"h\"");
}

}  // namespace

}  // namespace arguments_test
