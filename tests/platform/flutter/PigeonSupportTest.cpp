#include <gtest/gtest.h>

#include <cmath>

#include "platform/flutter/FlutterPigeonSupport.h"
#include "platform/foundation/NSError.h"
#include "support/TestEnvironment.h"

namespace pigeon_support_test {

namespace {

using PigeonSupport = PlatformTest;

TEST_F(PigeonSupport, ErrorListsAlwaysHaveThreeElements) {
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

TEST_F(PigeonSupport, RequestsAreReadByPositionAndCheckedForType) {
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

struct Record : NSObject {};

std::string requestError(const std::function<void()>& read) {
  try {
    read();
  } catch (const PigeonRequestError& e) {
    return e.message().value_or("<no message>");
  }
  return "<accepted>";
}

TEST_F(PigeonSupport, RequestErrorsNameObjectsByClassNotAddress) {
  // Two runs of the same request answer the same message.
  std::vector<std::string> messages;
  for (int run = 0; run < 2; ++run) {
    Value message = Value::list({Value(std::make_shared<Record>())});
    messages.push_back(requestError([&] { PigeonRequest(message, "ch", 1).string(0); }));
  }
  EXPECT_EQ(messages[0], "Argument 0 of ch is not a string: <Record>");
  EXPECT_EQ(messages[1], messages[0]);
  EXPECT_EQ(requestError([] { PigeonRequest(Value(std::make_shared<Record>()), "ch", 2); }),
            "The request on ch must be a list of 2 arguments, not <Record>");

  auto object = Value(std::make_shared<Record>());
  EXPECT_EQ(PigeonDescribe(Value::list({object, Value::map({{"k", object}}), 1, "s"})),
            "[<Record>, {\"k\": <Record>}, 1, \"s\"]");
  EXPECT_EQ(PigeonDescribe(Value::list({PigeonMakeMalformed(130, "why")})),
            "[<malformed custom value of type 130: why>]");
}

TEST_F(PigeonSupport, AsyncHandlerRepliesOnceWhenTheOperationThrows) {
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

TEST_F(PigeonSupport, DeepEqualityAndHash) {
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

TEST_F(PigeonSupport, Suffix) {
  EXPECT_EQ(PigeonChannelSuffix(""), "");
  EXPECT_EQ(PigeonChannelSuffix("a"), ".a");
}

}  // namespace

}  // namespace pigeon_support_test
