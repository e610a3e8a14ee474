#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "platform/foundation/FileIO.h"
#include "platform/foundation/NSDate.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSUserDefaults.h"
#include "plugins/shared_preferences_foundation/SharedPreferencesPlugin.h"
#include "support/ScriptedFileIO.h"
#include "support/ScriptedLocations.h"
#include "support/TestEnvironment.h"
#include "support/engine/TestPeer.h"

using namespace shared_preferences_foundation;

// Readable failures.
void PrintTo(const Value& value, std::ostream* os) { *os << value.description(); }

namespace shared_preferences_plugin_test {

namespace {

const std::string kApi = "dev.flutter.pigeon.shared_preferences_foundation.UserDefaultsApi.";
const std::string kLegacy =
    "dev.flutter.pigeon.shared_preferences_foundation.LegacyUserDefaultsApi.";

Value options(std::optional<std::string> suite = std::nullopt) {
  return Value(std::make_shared<SharedPreferencesPigeonOptions>(std::move(suite)));
}

Value strings(std::initializer_list<const char*> list) {
  ValueList out;
  for (const char* s : list) out.emplace_back(s);
  return Value(std::move(out));
}

Value errorList(const std::string& code, const std::string& message, Value details) {
  return Value::list({Value(code), Value(message), std::move(details)});
}

// Every test gets an application container of its own and fresh defaults.
class Preferences : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    std::string tmpl = (std::filesystem::temp_directory_path() / "qx-prefs-XXXXXX").string();
    home_ = ::mkdtemp(tmpl.data());
    ScriptedLocations::installed().setContainerRoot(home_);
    NSUserDefaults::resetStandardUserDefaults();
    startPeer();
  }
  void TearDown() override {
    peer_.reset();
    NSUserDefaults::resetStandardUserDefaults();
    ScriptedLocations::installed().setContainerRoot("");
    std::filesystem::remove_all(home_);
    PlatformTest::TearDown();
  }
  void startPeer() {
    peer_.reset();
    peer_ = std::make_unique<TestPeer>();
    SharedPreferencesPlugin::registerWithRegistrar(peer_->registrar("SharedPreferencesPlugin"));
  }
  Value send(const std::string& channel, const Value& message) {
    auto reply = peer_->message(channel, message, MessagesPigeonCodec::shared());
    EXPECT_TRUE(reply.has_value()) << channel;
    return reply.value_or(Value("no reply"));
  }
  Value api(const std::string& op, const Value& message) { return send(kApi + op, message); }
  Value legacy(const std::string& op, const Value& message) { return send(kLegacy + op, message); }
  std::shared_ptr<NSUserDefaults> appDefaults() {
    return NSUserDefaults::initWithSuiteName(std::nullopt);
  }

  std::string home_;
  std::unique_ptr<TestPeer> peer_;
};

const Value kVoid = Value::list({Value()});

using PreferencesCodec = PlatformTest;

TEST_F(PreferencesCodec, OptionsGoldenBytesEqualityAndHash) {
  auto codec = MessagesPigeonCodec::shared();
  EXPECT_EQ(codec->encode(options()), (Bytes{0x81, 0x0C, 0x01, 0x00}));
  auto decoded =
      codec->decode(Bytes{0x81, 0x0C, 0x01, 0x00}).objectAs<SharedPreferencesPigeonOptions>();
  ASSERT_TRUE(decoded);
  EXPECT_FALSE(decoded->suiteName().has_value());

  Value named = codec->decode(codec->encode(options("group.a")));
  EXPECT_EQ(named.objectAs<SharedPreferencesPigeonOptions>()->suiteName(),
            std::optional<std::string>("group.a"));

  SharedPreferencesPigeonOptions none, none2, empty(""), a("group.a"), a2("group.a");
  EXPECT_TRUE(none.isEqual(none2));
  EXPECT_EQ(none.hash(), none2.hash());
  EXPECT_FALSE(none.isEqual(empty));
  EXPECT_TRUE(a.isEqual(a2));
  EXPECT_EQ(a.hash(), a2.hash());
  EXPECT_NE(a.hash(), none.hash());
  EXPECT_EQ(none.description(), "SharedPreferencesPigeonOptions(suiteName: nil)");
  EXPECT_EQ(a.description(), "SharedPreferencesPigeonOptions(suiteName: Optional(\"group.a\"))");
}

TEST_F(Preferences, SuiteNamesAreCheckedByEveryOperation) {
  for (const char* bad : {"Group.shared", "my.group.shared", "grou", ""}) {
    Value expected = errorList("Argument Error",
                               std::string("The provided Suite Name '") + bad +
                                   "' does not follow the predefined requirements",
                               Value(""));
    EXPECT_EQ(api("set", Value::list({"k", "v", options(bad)})), expected) << bad;
    EXPECT_EQ(api("clear", Value::list({Value(), options(bad)})), expected);
    EXPECT_EQ(api("getAll", Value::list({Value(), options(bad)})), expected);
    EXPECT_EQ(api("getValue", Value::list({"k", options(bad)})), expected);
    EXPECT_EQ(api("getKeys", Value::list({Value(), options(bad)})), expected);
  }
  // A name that cannot be a suite at all (it would leave the preferences folder).
  EXPECT_EQ(api("set", Value::list({"k", "v", options("group.x/../../evil")})),
            errorList("Argument Error",
                      "The provided Suite Name 'group.x/../../evil' does not exist", Value("")));
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(home_) / "evil.json"));

  EXPECT_EQ(api("set", Value::list({"k", "v", options("group.shared")})), kVoid);
  EXPECT_EQ(api("getAll", Value::list({Value(), options("group.shared")})),
            Value::list({Value(ValueMap{{Value("k"), Value("v")}})}));
  // The suite is its own domain: the application's defaults do not see it.
  EXPECT_EQ(api("getValue", Value::list({"k", options()})), kVoid);
}

TEST_F(Preferences, ReadingFiltersByAllowListAndCompatibility) {
  EXPECT_EQ(api("set", Value::list({"s", "text", options()})), kVoid);
  EXPECT_EQ(api("set", Value::list({"i", Value(int64_t{1} << 40), options()})), kVoid);
  EXPECT_EQ(api("set", Value::list({"d", 2.5, options()})), kVoid);
  EXPECT_EQ(api("set", Value::list({"b", true, options()})), kVoid);
  EXPECT_EQ(api("set", Value::list({"l", strings({"x", "y"}), options()})), kVoid);
  // Kinds the defaults hold but the plugin does not hand out.
  EXPECT_EQ(api("set", Value::list({"m", Value::map({{"a", 1}}), options()})), kVoid);
  EXPECT_EQ(api("set", Value::list({"lm", Value::list({Value::map({{"a", 1}})}), options()})),
            kVoid);
  EXPECT_EQ(api("set", Value::list({"bytes", Value::bytes({1, 2}), options()})), kVoid);
  appDefaults()->setObject(Value(NSDate::dateWithTimeIntervalSince1970(5)), "date");

  Value all = api("getAll", Value::list({Value(), options()}));
  ValueMap expected{{Value("s"), Value("text")},
                    {Value("i"), Value(int64_t{1} << 40)},
                    {Value("d"), Value(2.5)},
                    {Value("b"), Value(true)},
                    {Value("l"), strings({"x", "y"})}};
  EXPECT_EQ(all, Value::list({Value(expected)}));
  EXPECT_EQ(api("getKeys", Value::list({Value(), options()})),
            Value::list({strings({"s", "i", "d", "b", "l"})}));

  EXPECT_EQ(api("getAll", Value::list({strings({}), options()})), Value::list({Value(ValueMap{})}));
  EXPECT_EQ(api("getKeys", Value::list({strings({"d", "m", "nope"}), options()})),
            Value::list({strings({"d"})}));

  EXPECT_EQ(api("getValue", Value::list({"l", options()})), Value::list({strings({"x", "y"})}));
  for (const char* hidden : {"m", "lm", "bytes", "date", "missing"}) {
    EXPECT_EQ(api("getValue", Value::list({hidden, options()})), kVoid) << hidden;
  }
}

TEST_F(Preferences, OnlyThePersistentDomainIsListedButGetValueSearchesAll) {
  auto defaults = appDefaults();
  defaults->registerDefaults({{Value("registered"), Value("r")}});
  defaults->setPersistentDomain({{Value("global"), Value("g")}}, NSGlobalDomain);
  EXPECT_EQ(api("getAll", Value::list({Value(), options()})), Value::list({Value(ValueMap{})}));
  EXPECT_EQ(api("getValue", Value::list({"registered", options()})), Value::list({"r"}));
  EXPECT_EQ(api("getValue", Value::list({"global", options()})), Value::list({"g"}));
  defaults->removePersistentDomainForName(NSGlobalDomain);
}

TEST_F(Preferences, ClearWithEmptyNullAndListedKeys) {
  for (const char* k : {"a", "b", "c"}) api("set", Value::list({k, 1, options()}));
  appDefaults()->setObject(Value::map({{"x", 1}}), "map");

  EXPECT_EQ(api("clear", Value::list({strings({}), options()})), kVoid);
  EXPECT_EQ(appDefaults()->persistentDomainForName(NSUserDefaults::applicationDomainName())->size(),
            4u);
  EXPECT_EQ(api("clear", Value::list({strings({"a", "unknown"}), options()})), kVoid);
  EXPECT_EQ(api("getKeys", Value::list({Value(), options()})), Value::list({strings({"b", "c"})}));
  // No allow list: every key goes, whatever its kind.
  EXPECT_EQ(api("clear", Value::list({Value(), options()})), kVoid);
  EXPECT_FALSE(appDefaults()->persistentDomainForName(NSUserDefaults::applicationDomainName()));
}

TEST_F(Preferences, LegacyApiFiltersByPrefixAndClearsOnlyWhatItLists) {
  EXPECT_EQ(legacy("setBool", Value::list({"flutter.b", true})), kVoid);
  EXPECT_EQ(legacy("setDouble", Value::list({"flutter.d", 0.5})), kVoid);
  EXPECT_EQ(legacy("setValue", Value::list({"flutter.s", "x"})), kVoid);
  EXPECT_EQ(legacy("setValue", Value::list({"other", 3})), kVoid);
  EXPECT_EQ(legacy("setValue", Value::list({"flutter.m", Value::map({{"k", 1}})})), kVoid);

  EXPECT_EQ(legacy("getAll", Value::list({"flutter.", Value()})),
            Value::list({Value(ValueMap{{Value("flutter.b"), Value(true)},
                                        {Value("flutter.d"), Value(0.5)},
                                        {Value("flutter.s"), Value("x")}})}));
  EXPECT_EQ(legacy("getAll", Value::list({"", strings({"other", "flutter.m"})})),
            Value::list({Value(ValueMap{{Value("other"), Value(3)}})}));

  EXPECT_EQ(legacy("clear", Value::list({"flutter.", strings({"flutter.b"})})),
            Value::list({true}));
  EXPECT_EQ(legacy("clear", Value::list({"nothing.", Value()})), Value::list({true}));
  EXPECT_EQ(legacy("clear", Value::list({"", Value()})), Value::list({true}));
  // Only the incompatible map is left.
  EXPECT_EQ(appDefaults()->persistentDomainForName(NSUserDefaults::applicationDomainName()),
            std::optional<ValueMap>(ValueMap{{Value("flutter.m"), Value::map({{"k", 1}})}}));
  EXPECT_EQ(legacy("remove", Value::list({"flutter.m"})), kVoid);
  EXPECT_FALSE(appDefaults()->persistentDomainForName(NSUserDefaults::applicationDomainName()));
}

TEST_F(Preferences, ValuesSurviveARestart) {
  api("set", Value::list({"name", "Ada", options()}));
  api("set", Value::list({"n", 1.0, options("group.team")}));
  legacy("setValue", Value::list({"list", strings({"a", "b"})}));

  NSUserDefaults::resetStandardUserDefaults();
  startPeer();
  EXPECT_EQ(api("getAll", Value::list({Value(), options()})),
            Value::list({Value(
                ValueMap{{Value("name"), Value("Ada")}, {Value("list"), strings({"a", "b"})}})}));
  Value n = api("getValue", Value::list({"n", options("group.team")}));
  ASSERT_EQ(n.size(), 1u);
  EXPECT_EQ(n.at(0)->type(), Value::Type::Double);
}

// Every writing operation answers a write that could not be stored (here a
// full disk) with an error naming the file, and what was stored before stays.
TEST_F(Preferences, WritesThatCannotBeStoredAreErrorsAndKeepWhatWasStored) {
  auto io = std::make_shared<ScriptedFileIO>();
  FileIO::setCurrent(io);
  ASSERT_EQ(api("set", Value::list({"name", "Ada", options()})), kVoid);
  ASSERT_EQ(legacy("setValue", Value::list({"flutter.n", 1})), kVoid);
  const Value stored =
      Value::list({Value(ValueMap{{Value("name"), Value("Ada")}, {Value("flutter.n"), Value(1)}})});
  io->failWritesAfter(0);
  const std::string file = NSUserDefaults::preferencesDirectory() + "/" +
                           NSUserDefaults::applicationDomainName() + ".json";
  for (const Value& reply : {api("set", Value::list({"name", "Grace", options()})),
                             api("set", Value::list({"added", 1, options()})),
                             api("clear", Value::list({strings({"name"}), options()})),
                             legacy("setBool", Value::list({"flutter.b", true})),
                             legacy("setDouble", Value::list({"flutter.d", 0.5})),
                             legacy("setValue", Value::list({"flutter.n", 2})),
                             legacy("remove", Value::list({"flutter.n"})),
                             legacy("clear", Value::list({"flutter.", Value()}))}) {
    ASSERT_EQ(reply.size(), 3u) << reply.description();
    EXPECT_EQ(*reply.at(0), Value("Write Error"));
    EXPECT_EQ(reply.at(1)->asString(),
              "Cannot write preferences file " + file + ": write: No space left on device");
    EXPECT_EQ(*reply.at(2), Value(""));
  }
  EXPECT_EQ(api("getAll", Value::list({Value(), options()})), stored);
  io->heal();
  NSUserDefaults::resetStandardUserDefaults();
  EXPECT_EQ(api("getAll", Value::list({Value(), options()})), stored);
}

// Emptying the preferences removes their file; where it cannot be removed
// (a read-only file system, which stops root too) the clear is an error and
// what is shown is what a restart reads: the keys cleared before the failing
// removal are gone, the last one stays.
TEST_F(Preferences, EmptyingWhereTheFileCannotBeRemovedIsAnError) {
  auto io = std::make_shared<ScriptedFileIO>();
  FileIO::setCurrent(io);
  for (const std::optional<std::string>& suite :
       {std::optional<std::string>(), std::optional<std::string>("group.team")}) {
    SCOPED_TRACE(suite.value_or("application"));
    ASSERT_EQ(api("set", Value::list({"a", 1, options(suite)})), kVoid);
    ASSERT_EQ(api("set", Value::list({"b", 2, options(suite)})), kVoid);
    io->failUnlink(EROFS);
    const std::string file = NSUserDefaults::preferencesDirectory() + "/" +
                             suite.value_or(NSUserDefaults::applicationDomainName()) + ".json";
    const Value error = errorList(
        "Write Error", "Cannot write preferences file " + file + ": unlink: Read-only file system",
        Value(""));
    const Value left = Value::list({Value(ValueMap{{Value("b"), Value(2)}})});
    EXPECT_EQ(api("clear", Value::list({Value(), options(suite)})), error);
    EXPECT_EQ(api("getAll", Value::list({Value(), options(suite)})), left);
    EXPECT_EQ(api("clear", Value::list({strings({"b"}), options(suite)})), error);
    if (!suite) {
      EXPECT_EQ(legacy("clear", Value::list({"", Value()})), error);
      EXPECT_EQ(legacy("remove", Value::list({"b"})), error);
    }
    EXPECT_EQ(api("getAll", Value::list({Value(), options(suite)})), left);
    EXPECT_TRUE(std::filesystem::is_regular_file(file));
    io->heal();
    NSUserDefaults::resetStandardUserDefaults();
    EXPECT_EQ(api("getAll", Value::list({Value(), options(suite)})), left);
    EXPECT_EQ(api("clear", Value::list({Value(), options(suite)})), kVoid);
    EXPECT_FALSE(std::filesystem::exists(file));
  }
}

TEST_F(Preferences, MalformedAndUnstorableRequestsAreErrorsAndStoreNothing) {
  auto isInvalid = [](const Value& reply) {
    return reply.size() == 3 && *reply.at(0) == Value(PigeonInvalidRequestCode) &&
           reply.at(1)->isString();
  };
  EXPECT_TRUE(isInvalid(api("set", Value("not a list"))));
  EXPECT_TRUE(isInvalid(api("set", Value::list({"k", "v"}))));
  EXPECT_TRUE(isInvalid(api("set", Value::list({"k", Value(), options()}))));
  EXPECT_TRUE(isInvalid(api("set", Value::list({1, "v", options()}))));
  EXPECT_TRUE(isInvalid(api("set", Value::list({"k", "v", "not options"}))));
  EXPECT_TRUE(isInvalid(api("getAll", Value::list({strings({}), Value()}))));
  EXPECT_TRUE(isInvalid(api("getKeys", Value::list({Value::list({1}), options()}))));
  EXPECT_TRUE(isInvalid(legacy("setBool", Value::list({"k", 1}))));
  EXPECT_TRUE(isInvalid(legacy("setDouble", Value::list({"k", 1}))));

  // Options whose payload is not [suiteName]: 0x81 followed by a string.
  Bytes raw = MessagesPigeonCodec::shared()->encode(Value::list({"k", "v"}));
  raw[1] = 3;  // three elements
  Bytes bad = {0x81, 0x07, 0x01, 'x'};
  raw.insert(raw.end(), bad.begin(), bad.end());
  auto reply = peer_->raw(kApi + "set", raw);
  ASSERT_TRUE(reply && !reply->empty());
  EXPECT_TRUE(isInvalid(MessagesPigeonCodec::shared()->decode(*reply)));

  Value unstorable = api("set", Value::list({"k", Value::list({1, Value()}), options()}));
  ASSERT_EQ(unstorable.size(), 3u);
  EXPECT_EQ(*unstorable.at(0), Value("Argument Error"));
  EXPECT_EQ(legacy("setValue", Value::list({"k", Value::float64List({1})})).size(), 3u);
  EXPECT_EQ(legacy("setValue", Value::list({"k", options()})).size(), 3u);
  EXPECT_FALSE(appDefaults()->persistentDomainForName(NSUserDefaults::applicationDomainName()));
}

TEST_F(Preferences, SetUpWithSuffixOrWithoutApi) {
  auto messenger = peer_->registrar("Other")->messenger();
  auto plugin = std::make_shared<SharedPreferencesPlugin>();
  UserDefaultsApiSetup::setUp(messenger, plugin, "second");
  EXPECT_EQ(send(kApi + "set.second", Value::list({"k", "v", options()})), kVoid);
  EXPECT_FALSE(peer_->message(kApi + "set.", Value::list({"k", "v", options()}),
                              MessagesPigeonCodec::shared()));

  // No API: every channel of the API loses its handler, also the earlier one.
  UserDefaultsApiSetup::setUp(messenger, nullptr, "");
  LegacyUserDefaultsApiSetup::setUp(messenger, nullptr, "");
  for (const char* op : {"set", "clear", "getAll", "getValue", "getKeys"}) {
    EXPECT_FALSE(peer_->engine()->hasHandler(kApi + op)) << op;
  }
  for (const char* op : {"remove", "setBool", "setDouble", "setValue", "getAll", "clear"}) {
    EXPECT_FALSE(peer_->engine()->hasHandler(kLegacy + op)) << op;
  }
  EXPECT_TRUE(peer_->engine()->hasHandler(kApi + "set.second"));
}

// A string wrapped in lists: `levels` counts the string too.
Value nestedList(int levels) {
  Value v("leaf");
  for (int i = 1; i < levels; ++i) v = Value::list({std::move(v)});
  return v;
}

TEST_F(Preferences, ValuesTooDeepToReadBackAreRefusedAndNeverBlockGetAll) {
  // The deepest value a getAll reply carries: the reply's list and the map
  // of entries sit above it, and the reader takes 128 levels in all.
  const int deepest = FlutterStandardReader::kMaxDepth - 2;
  EXPECT_EQ(api("set", Value::list({"fits", nestedList(deepest), options()})), kVoid);
  Value tooDeep = api("set", Value::list({"deep", nestedList(deepest + 1), options()}));
  ASSERT_EQ(tooDeep.size(), 3u);
  EXPECT_EQ(*tooDeep.at(0), Value("Argument Error"));
  EXPECT_NE(tooDeep.at(1)->asString().find("nested"), std::string::npos);
  EXPECT_EQ(legacy("setValue", Value::list({"deep", nestedList(deepest + 1)})).size(), 3u);
  // Maps count their levels too.
  Value deepMap = Value::map({{"k", nestedList(deepest)}});
  EXPECT_EQ(api("set", Value::list({"map", deepMap, options()})).size(), 3u);
  EXPECT_EQ(appDefaults()->objectForKey("deep"), Value());
  EXPECT_EQ(appDefaults()->objectForKey("map"), Value());
  EXPECT_EQ(api("getAll", Value::list({Value(), options()})),
            Value::list({Value(ValueMap{{Value("fits"), nestedList(deepest)}})}));

  // A value stored before the refusal existed: every reader skips it and
  // still answers the rest, now and after a restart.
  appDefaults()->setObject(nestedList(deepest + 1), "deep");
  api("set", Value::list({"name", "Ada", options()}));
  for (int round = 0; round < 2; ++round) {
    Value all = api("getAll", Value::list({Value(), options()}));
    EXPECT_EQ(all, Value::list({Value(ValueMap{{Value("fits"), nestedList(deepest)},
                                               {Value("name"), Value("Ada")}})}));
    EXPECT_EQ(api("getKeys", Value::list({Value(), options()})),
              Value::list({strings({"fits", "name"})}));
    EXPECT_EQ(api("getValue", Value::list({"deep", options()})), kVoid);
    EXPECT_EQ(legacy("getAll", Value::list({"", Value()})), all);
    NSUserDefaults::resetStandardUserDefaults();
    startPeer();
  }
}

}  // namespace

}  // namespace shared_preferences_plugin_test
