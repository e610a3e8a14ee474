#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "PointCodec.h"
#include "platform/flutter/FlutterChannels.h"
#include "platform/flutter/FlutterCodec.h"
#include "support/TestEnvironment.h"

namespace standard_codec_test {

namespace {

Bytes encode(const Value& v) { return FlutterStandardMessageCodec::sharedInstance()->encode(v); }
Value decode(const Bytes& b) { return FlutterStandardMessageCodec::sharedInstance()->decode(b); }

Bytes hex(std::initializer_list<int> bytes) {
  Bytes out;
  for (int b : bytes) out.push_back(static_cast<uint8_t>(b));
  return out;
}

// A writer that looks at each byte payload once the base has copied it: was
// its middle given back (zeroed)?
struct PayloadWatcher : FlutterStandardWriter {
  using FlutterStandardWriter::FlutterStandardWriter;
  void writeValue(const Value& v) override {
    FlutterStandardWriter::writeValue(v);
    if (v.isBytes()) zeroed.push_back(v.asBytes()[v.asBytes().size() / 2] == 0);
  }
  static inline std::vector<bool> zeroed;
};

struct WatchingReaderWriter : FlutterStandardReaderWriter {
  std::unique_ptr<FlutterStandardWriter> writerWithData(Bytes& data) const override {
    return std::make_unique<PayloadWatcher>(data);
  }
};

using StandardCodec = PlatformTest;

TEST_F(StandardCodec, ScalarsHaveTheEnginesBytes) {
  EXPECT_EQ(encode(Value()), Bytes());  // a null message is the empty message
  EXPECT_EQ(encode(Value::list({Value()})), hex({12, 1, 0}));
  EXPECT_EQ(encode(Value(true)), hex({1}));
  EXPECT_EQ(encode(Value(false)), hex({2}));
  EXPECT_EQ(encode(Value(int32_t{-2})), hex({3, 0xfe, 0xff, 0xff, 0xff}));
  // Integers go as int32 whenever they fit, whatever their C++ width.
  EXPECT_EQ(encode(Value(int64_t{7})), hex({3, 7, 0, 0, 0}));
  EXPECT_EQ(encode(Value(int64_t{1} << 32)), hex({4, 0, 0, 0, 0, 1, 0, 0, 0}));
  // A float64 at offset 1 is padded to offset 8.
  EXPECT_EQ(encode(Value(1.0)), hex({6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xf0, 0x3f}));
  EXPECT_EQ(encode(Value("hé")), hex({7, 3, 'h', 0xc3, 0xa9}));
  EXPECT_EQ(encode(Value::bytes(hex({1, 2}))), hex({8, 2, 1, 2}));
}

TEST_F(StandardCodec, TypedListsAreAlignedFromTheMessageStart) {
  EXPECT_EQ(encode(Value::int32List({1})), hex({9, 1, 0, 0, 1, 0, 0, 0}));
  EXPECT_EQ(encode(Value::int64List({1})),
            hex({10, 1, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(encode(Value::float32List({1.0f})), hex({14, 1, 0, 0, 0, 0, 0x80, 0x3f}));
  EXPECT_EQ(encode(Value::float64List({1.0})),
            hex({11, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xf0, 0x3f}));
  // Empty typed lists are padded too, and read back past their padding.
  EXPECT_EQ(encode(Value::float64List({})), hex({11, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(encode(Value::int32List({})), hex({9, 0, 0, 0}));
  EXPECT_EQ(encode(Value::float32List({})), hex({14, 0, 0, 0}));
  Bytes golden = hex({12, 3, 1, 10, 0, 0, 0, 0, 3, 1, 0, 0, 0});
  Value withEmpty = Value::list({Value(true), Value::int64List({}), Value(int32_t{1})});
  EXPECT_EQ(encode(withEmpty), golden);
  EXPECT_EQ(decode(golden), withEmpty);
  for (const Value& empty : {Value::int32List({}), Value::int64List({}), Value::float32List({}),
                             Value::float64List({})}) {
    Value v = Value::list({Value(false), empty, Value("after")});
    EXPECT_EQ(decode(encode(v)), v) << v.description();
  }
  // Already aligned: no padding.
  EXPECT_EQ(encode(Value::list({Value::int32List({})})), hex({12, 1, 9, 0}));
  // Inside a list the offset counts from the start of the whole message.
  EXPECT_EQ(encode(Value::list({Value(2.0)})),
            hex({12, 1, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x40}));
  EXPECT_EQ(encode(Value::list({Value::int32List({5})})), hex({12, 1, 9, 1, 5, 0, 0, 0}));
}

TEST_F(StandardCodec, SizePrefixesSwitchAt254And65536) {
  auto prefix = [](size_t n) {
    Bytes b = encode(Value(std::string(n, 'x')));
    return Bytes(b.begin() + 1, b.begin() + 1 + std::min<size_t>(5, b.size() - 1));
  };
  EXPECT_EQ(prefix(253)[0], 253);
  EXPECT_EQ(prefix(254), hex({254, 254, 0, 'x', 'x'}));
  EXPECT_EQ(prefix(65535), hex({254, 0xff, 0xff, 'x', 'x'}));
  EXPECT_EQ(prefix(65536), hex({255, 0, 0, 1, 0}));
  for (size_t n : {0u, 253u, 254u, 65535u, 65536u}) {
    Value v(std::string(n, 'y'));
    EXPECT_EQ(decode(encode(v)), v) << n;
    Value list(ValueList(n, Value(true)));
    EXPECT_EQ(decode(encode(list)), list) << n;
  }
}

TEST_F(StandardCodec, MapsAndNestedValuesRoundTrip) {
  ValueMap m;
  m.emplace_back(Value("a"), Value(int32_t{1}));
  m.emplace_back(Value(int32_t{2}), Value::list({Value(3.5), Value("x"), Value()}));
  m.emplace_back(Value("typed"), Value::float64List({1.5, -2.25}));
  m.emplace_back(Value("nan"), Value(std::numeric_limits<double>::quiet_NaN()));
  Value v(m);
  EXPECT_EQ(encode(Value::map({{"k", Value(true)}})), hex({13, 1, 7, 1, 'k', 1}));
  EXPECT_EQ(decode(encode(v)), v);
  // A repeated key keeps one entry, the later value.
  Value dup = decode(hex({13, 2, 7, 1, 'k', 1, 7, 1, 'k', 2}));
  ASSERT_EQ(dup.size(), 1u);
  EXPECT_EQ(*dup.find("k"), Value(false));
  EXPECT_EQ(dup, decode(encode(dup)));
  // Several repeats: first positions kept, last values win.
  Value many = decode(hex({13, 5, 7, 1, 'a', 3, 1, 0, 0, 0, 7, 1, 'b', 3, 2, 0, 0, 0, 7, 1, 'a',
                           3, 3, 0, 0, 0, 7, 1, 'c', 3, 4, 0, 0, 0, 7, 1, 'b', 3, 5, 0, 0, 0}));
  ASSERT_EQ(many.size(), 3u);
  const ValueMap& entries = many.asMap();
  EXPECT_EQ(entries[0], std::make_pair(Value("a"), Value(int32_t{3})));
  EXPECT_EQ(entries[1], std::make_pair(Value("b"), Value(int32_t{5})));
  EXPECT_EQ(entries[2], std::make_pair(Value("c"), Value(int32_t{4})));
  // Legacy large integers arrive as strings.
  EXPECT_EQ(decode(hex({5, 2, '1', '2'})), Value("12"));
}

TEST_F(StandardCodec, MalformedMessagesThrowWithoutOverAllocating) {
  const std::vector<Bytes> bad = {
      hex({3, 1, 2}),                      // truncated int32
      hex({99}),                           // unknown type
      hex({7, 10, 'a'}),                   // string longer than the message
      hex({12, 255, 0xff, 0xff, 0xff, 0xff}),  // 4G-element list in 6 bytes
      hex({13, 254, 0xff, 0xff, 1}),       // map larger than the message
      hex({11, 255, 0xff, 0xff, 0xff, 0x0f, 0, 0}),  // huge float64 list
      hex({1, 1}),                         // trailing bytes
  };
  for (const Bytes& b : bad) {
    EXPECT_THROW(decode(b), FlutterCodecException) << b.size();
  }
  Bytes deep(1000, 12);
  for (size_t i = 1; i < deep.size(); i += 2) deep[i] = 1;
  EXPECT_THROW(decode(deep), FlutterCodecException);
}

using StandardMethodCodec = PlatformTest;

TEST_F(StandardMethodCodec, CallsAndEnvelopes) {
  auto codec = FlutterStandardMethodCodec::sharedInstance();
  Bytes call = codec->encodeMethodCall({"m", Value()});
  EXPECT_EQ(call, hex({7, 1, 'm', 0}));
  FlutterMethodCall back = codec->decodeMethodCall(call.data(), call.size());
  EXPECT_EQ(back.method, "m");
  EXPECT_TRUE(back.arguments.isNull());

  EXPECT_EQ(codec->encodeSuccessEnvelope(Value(int32_t{1})), hex({0, 3, 1, 0, 0, 0}));
  Bytes err = codec->encodeErrorEnvelope("E", std::nullopt, Value());
  EXPECT_EQ(err, hex({1, 7, 1, 'E', 0, 0}));
  FlutterEnvelope env = codec->decodeEnvelope(err.data(), err.size());
  EXPECT_TRUE(env.isError);
  EXPECT_EQ(env.code, "E");
  EXPECT_FALSE(env.message.has_value());

  Bytes err2 = codec->encodeErrorEnvelope(*FlutterError::errorWithCode("c", "msg", Value(true)));
  env = codec->decodeEnvelope(err2.data(), err2.size());
  EXPECT_EQ(env.message, std::optional<std::string>("msg"));
  EXPECT_EQ(env.details, Value(true));
  // The Dart side may add a stack trace (a string or null) after the details.
  Bytes withTrace =
      hex({1, 7, 1, 'E', 7, 3, 'm', 's', 'g', 7, 1, 'd', 7, 5, 't', 'r', 'a', 'c', 'e'});
  env = codec->decodeEnvelope(withTrace.data(), withTrace.size());
  EXPECT_TRUE(env.isError);
  EXPECT_EQ(env.code, "E");
  EXPECT_EQ(env.message, std::optional<std::string>("msg"));
  EXPECT_EQ(env.details, Value("d"));
  Bytes nullTrace = hex({1, 7, 1, 'E', 0, 0, 0});
  env = codec->decodeEnvelope(nullTrace.data(), nullTrace.size());
  EXPECT_TRUE(env.isError);
  EXPECT_EQ(env.code, "E");
  for (const Bytes& bad : {hex({2}), hex({1, 7, 1, 'E', 0, 0, 3, 1, 0, 0, 0}),
                           hex({1, 7, 1, 'E', 0, 0, 0, 0}), hex({0, 1, 0})}) {
    EXPECT_THROW(codec->decodeEnvelope(bad.data(), bad.size()), FlutterCodecException)
        << bad.size();
  }
}

// A reply handed over travels as the same bytes. Large payloads nothing else
// shares are given back to the system as they are written or read (they read
// as zeros after); one that another value or message still holds, directly
// or through a container around it, is left whole.
TEST_F(StandardMethodCodec, HandedOverRepliesGiveBackOnlyPayloadsHeldAlone) {
  auto codec = FlutterStandardMethodCodec::sharedInstance();
  const size_t kLarge = (size_t{3} << 20) + 5;
  auto payload = [&](int seed) {
    Bytes b(kLarge);
    for (size_t i = 0; i < b.size(); ++i) b[i] = static_cast<uint8_t>((i + seed) % 255 + 1);
    return Value::bytes(std::move(b));
  };
  auto reply = [&] { return Value::list({Value::map({{"bytes", payload(1)}}), payload(2)}); };
  const Bytes expected = codec->encodeSuccessEnvelope(reply());
  // Handed to the method codec, the payloads are given back while written.
  const FlutterStandardMethodCodec watched(std::make_shared<WatchingReaderWriter>());
  Value handed = reply();
  EXPECT_EQ(watched.encodeSuccessEnvelope(std::move(handed)), expected);
  EXPECT_TRUE(handed.isNull());
  EXPECT_EQ(PayloadWatcher::zeroed, (std::vector<bool>{true, true}));
  PayloadWatcher::zeroed.clear();
  const Value kept = reply();
  EXPECT_EQ(watched.encodeSuccessEnvelope(kept), expected);
  EXPECT_EQ(PayloadWatcher::zeroed, (std::vector<bool>{false, false}));

  struct Case {
    const char* name;
    bool releasing, shareList, shareMap, shareSecond;
    bool firstGoes, secondGoes;
  } cases[] = {
      {"held alone", true, false, false, false, true, true},
      {"not handed over", false, false, false, false, false, false},
      {"list shared", true, true, false, false, false, false},
      {"map shared", true, false, true, false, false, true},
      {"second payload shared", true, false, false, true, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Value value = reply();
    const Value list = c.shareList ? value : Value();
    const Value map = c.shareMap ? *value.at(0) : Value();
    const Value second = c.shareSecond ? *value.at(1) : Value();
    Bytes out{0};
    FlutterStandardWriter writer(out);
    if (c.releasing) writer.releasePayloadsAsWritten();
    writer.writeValue(value);
    EXPECT_EQ(out, expected);
    EXPECT_EQ(value.at(0)->find("bytes")->asBytes()[kLarge / 2] == 0, c.firstGoes);
    EXPECT_EQ(value.at(1)->asBytes()[kLarge / 2] == 0, c.secondGoes);
  }

  for (bool alone : {true, false}) {
    SCOPED_TRACE(alone ? "message held alone" : "message shared");
    Bytes storage = expected;  // outlives the message, to be looked at after
    std::shared_ptr<const Bytes> message(&storage, [](const Bytes*) {});
    const auto other = alone ? nullptr : message;
    FlutterEnvelope env = codec->decodeEnvelope(std::move(message));
    EXPECT_EQ(message, nullptr);
    EXPECT_FALSE(env.isError);
    EXPECT_EQ(env.result, reply());
    for (size_t at : {storage.size() / 4, storage.size() * 3 / 4}) {
      EXPECT_EQ(storage[at] == 0, alone) << at;
    }
  }
}

TEST_F(StandardCodec, SubclassedReaderWriterAddsCustomTypes) {
  auto codec = FlutterStandardMessageCodec::codecWithReaderWriter(
      std::make_shared<PointReaderWriter>());
  auto p = std::make_shared<Point>();
  p->x = 5;
  Bytes b = codec->encode(Value::list({Value(std::shared_ptr<NSObject>(p))}));
  EXPECT_EQ(b, hex({12, 1, 129, 12, 1, 3, 5, 0, 0, 0}));
  Value back = codec->decode(b);
  ASSERT_TRUE(back.at(0) && back.at(0)->isObject());
  EXPECT_EQ(back.at(0)->objectAs<Point>()->x, 5);
  // The plain codec does not know the type.
  EXPECT_THROW(decode(b), FlutterCodecException);
}

}  // namespace

}  // namespace standard_codec_test
