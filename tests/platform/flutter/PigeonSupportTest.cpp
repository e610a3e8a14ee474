#include <gtest/gtest.h>

#include <cmath>

#include "platform/flutter/FlutterPigeonSupport.h"
#include "platform/foundation/NSError.h"

namespace {

TEST(PigeonSupport, ErrorListsAlwaysHaveThreeElements) {
  auto thrown = [](auto error) { return PigeonReplyFor([&]() -> Value { throw error; }); };
  EXPECT_EQ(thrown(FlutterPigeonError("code", std::nullopt, Value())),
            Value::list({"code", Value(), Value()}));
  EXPECT_EQ(thrown(FlutterError("Argument Error", "bad", Value(""))),
            Value::list({"Argument Error", "bad", ""}));

  Value other = thrown(std::out_of_range("index 7"));
  ASSERT_EQ(other.size(), 3u);
  EXPECT_EQ(*other.at(0), Value("index 7"));
  EXPECT_EQ(*other.at(1), Value("out_of_range"));  // no namespace
  const std::string& trace = other.at(2)->asString();
  EXPECT_EQ(trace.rfind("Stacktrace: [\"", 0), 0u) << trace;
  EXPECT_EQ(trace.substr(trace.size() - 2), "\"]");
  EXPECT_NE(trace.find("\", \""), std::string::npos);  // more than one frame

  Value nserror = thrown(NSError("Domain", 3));
  ASSERT_EQ(nserror.size(), 3u);
  EXPECT_EQ(*nserror.at(1), Value("NSError"));

  EXPECT_EQ(PigeonReplyFor([] { return Value(); }), Value::list({Value()}));
}

TEST(PigeonSupport, RequestsAreReadByPositionAndCheckedForType) {
  Value message = Value::list({"k", true, 1.5, Value(), Value::list({"a", "b"}), 7});
  PigeonRequest r(message, "ch", 6);
  EXPECT_EQ(r.string(0), "k");
  EXPECT_TRUE(r.boolean(1));
  EXPECT_EQ(r.float64(2), 1.5);
  EXPECT_FALSE(r.optionalStringList(3));
  EXPECT_EQ(r.optionalStringList(4), (std::optional<std::vector<std::string>>({"a", "b"})));
  EXPECT_THROW(r.string(5), PigeonRequestError);
  EXPECT_THROW(r.float64(5), PigeonRequestError);  // an integer is not a double
  EXPECT_THROW(r.value(3), PigeonRequestError);
  EXPECT_THROW(r.optionalStringList(0), PigeonRequestError);
  EXPECT_THROW(PigeonRequest(message, "ch", 7), PigeonRequestError);
  EXPECT_THROW(PigeonRequest(Value("x"), "ch", 1), PigeonRequestError);
  EXPECT_NO_THROW(PigeonRequest(Value("anything"), "ch", 0));

  // A malformed custom payload anywhere in an argument is refused.
  Value nested = Value::list({Value::list({PigeonMakeMalformed(129, "shape")})});
  PigeonRequest bad(nested, "ch", 1);
  try {
    bad.value(0);
    FAIL() << "accepted a malformed payload";
  } catch (const PigeonRequestError& e) {
    EXPECT_EQ(e.code(), PigeonInvalidRequestCode);
    EXPECT_NE(e.message()->find("shape"), std::string::npos);
  }
}

TEST(PigeonSupport, AsyncHandlerRepliesOnceWhenTheOperationThrows) {
  std::vector<Value> replies;
  auto handler = PigeonAsyncHandler("ch", 1, [](const PigeonRequest& r, FlutterMessageReply) {
    r.string(0);
    throw std::runtime_error("late");
  });
  handler(Value::list({1}), [&](const Value& v) { replies.push_back(v); });
  handler(Value::list({"ok"}), [&](const Value& v) { replies.push_back(v); });
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(*replies[0].at(0), Value(PigeonInvalidRequestCode));
  EXPECT_EQ(*replies[1].at(0), Value("late"));

  replies.clear();
  auto replying = PigeonAsyncHandler("ch", 0, [](const PigeonRequest&, FlutterMessageReply reply) {
    reply(PigeonWrapResult(Value(1)));
    throw std::runtime_error("after the reply");
  });
  replying(Value(), [&](const Value& v) { replies.push_back(v); });
  EXPECT_EQ(replies, std::vector<Value>{Value::list({1})});
}

size_t deepHash(const Value& v) {
  PigeonHasher h;
  PigeonDeepHash(v, h);
  return h.finalize();
}

TEST(PigeonSupport, DeepEqualityAndHash) {
  double nan = std::nan("");
  EXPECT_TRUE(PigeonDeepEquals(Value(), Value()));
  EXPECT_FALSE(PigeonDeepEquals(Value(), Value("")));
  EXPECT_TRUE(PigeonDeepEquals(Value(nan), Value(nan)));
  EXPECT_EQ(deepHash(Value(nan)), deepHash(Value(-nan)));
  EXPECT_EQ(deepHash(Value(0.0)), deepHash(Value(-0.0)));
  EXPECT_TRUE(PigeonDeepEquals(Value::list({nan, "a"}), Value::list({nan, "a"})));
  EXPECT_FALSE(PigeonDeepEquals(Value::list({1}), Value::list({1, 2})));

  // Maps: same entries in another order are equal and hash alike.
  Value a(ValueMap{{Value("x"), Value(nan)}, {Value("y"), Value::list({1})}});
  Value b(ValueMap{{Value("y"), Value::list({1})}, {Value("x"), Value(nan)}});
  EXPECT_TRUE(PigeonDeepEquals(a, b));
  EXPECT_EQ(deepHash(a), deepHash(b));
  EXPECT_FALSE(PigeonDeepEquals(a, Value(ValueMap{{Value("x"), Value(nan)}})));
  EXPECT_NE(deepHash(Value::list({1, 2})), deepHash(Value::list({2, 1})));
}

TEST(PigeonSupport, Suffix) {
  EXPECT_EQ(PigeonChannelSuffix(""), "");
  EXPECT_EQ(PigeonChannelSuffix("a"), ".a");
}

}  // namespace
