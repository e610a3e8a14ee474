#include <gtest/gtest.h>

#include <cmath>
#include <unordered_set>

#include "platform/foundation/NSData.h"
#include "platform/foundation/Value.h"
#include "support/TestEnvironment.h"

namespace codec_value_test {

namespace {

using CodecValue = PlatformTest;

TEST_F(CodecValue, DeepEqualityAndHashAgree) {
  Value a = Value::map({{"x", Value::list({Value(int32_t{1}), Value("s"), Value()})},
                        {"y", Value::float64List({1.0, std::nan("")})}});
  Value b = Value::map({{"y", Value::float64List({1.0, std::nan("")})},
                        {"x", Value::list({Value(int64_t{1}), Value("s"), Value()})}});
  EXPECT_EQ(a, b);  // key order and integer width do not matter; NaN equals NaN
  EXPECT_EQ(a.hash(), b.hash());
  EXPECT_NE(a, Value::map({{"x", Value()}}));
  EXPECT_NE(Value(true), Value(int32_t{1}));
  EXPECT_EQ(Value(2.0), Value(int32_t{2}));
  EXPECT_EQ(Value(2.0).hash(), Value(int32_t{2}).hash());
  EXPECT_NE(Value(2.5), Value(int32_t{2}));
  EXPECT_NE(Value::bytes({1, 2}), Value::int32List({1, 2}));
  EXPECT_EQ(Value(0.0).hash(), Value(-0.0).hash());

  std::unordered_set<Value, ValueHash> set{a, b, Value("s"), Value(int64_t{5}), Value(int32_t{5})};
  EXPECT_EQ(set.size(), 3u);
}

TEST_F(CodecValue, AccessorsAnswerNeutralValuesForOtherKinds) {
  Value s("text");
  EXPECT_EQ(s.asInt64(), 0);
  EXPECT_TRUE(s.asList().empty());
  EXPECT_EQ(s.find("k"), nullptr);
  EXPECT_EQ(Value::list({Value(int32_t{1})}).at(1), nullptr);
  EXPECT_EQ(Value(1e300).asInt64(), INT64_MAX);
  EXPECT_EQ(Value::integer(INT64_C(1) << 40).type(), Value::Type::Int64);
  EXPECT_EQ(Value::integer(-5).type(), Value::Type::Int32);

  ValueMap m;
  ValueMapSet(m, Value("k"), Value(int32_t{1}));
  ValueMapSet(m, Value("k"), Value(int32_t{2}));
  EXPECT_EQ(m.size(), 1u);
  EXPECT_EQ(*ValueMapFind(m, "k"), Value(int32_t{2}));
}

TEST_F(CodecValue, Base64RoundTripsAndRefusesGarbage) {
  for (size_t n = 0; n < 8; ++n) {
    Bytes b;
    for (size_t i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(i * 37 + 250));
    auto back = Base64Decode(Base64Encode(b.data(), b.size()));
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, b);
  }
  EXPECT_EQ(Base64Encode(reinterpret_cast<const uint8_t*>("Ma"), 2), "TWE=");
  EXPECT_FALSE(Base64Decode("TW!="));
  EXPECT_FALSE(Base64Decode("TWE=x"));
}

}  // namespace

}  // namespace codec_value_test
