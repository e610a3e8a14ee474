#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSDate.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSUserDefaults.h"
#include "platform/foundation/OSLog.h"
#include "support/RecordedLog.h"
#include "support/ScriptedFileIO.h"
#include "support/ScriptedLocations.h"
#include "support/TestEnvironment.h"

namespace fs = std::filesystem;

// Readable failures.
void PrintTo(const Value& value, std::ostream* os) { *os << value.description(); }

namespace ns_user_defaults_test {

namespace {

class UserDefaults : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    std::string tmpl = (fs::temp_directory_path() / "qx-defaults-XXXXXX").string();
    home_ = ::mkdtemp(tmpl.data());
    ScriptedLocations::installed().setContainerRoot(home_);
    NSUserDefaults::resetStandardUserDefaults();
  }
  void TearDown() override {
    OSLogSetSink(nullptr);
    NSUserDefaults::resetStandardUserDefaults();
    ScriptedLocations::installed().setContainerRoot("");
    fs::remove_all(home_);
    PlatformTest::TearDown();
  }
  fs::path prefs() const { return fs::path(home_) / "Library" / "Preferences"; }
  fs::path fileOf(const std::string& domain) const { return prefs() / (domain + ".json"); }
  static std::string contents(const std::string& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  // Drops everything loaded, as a new process would start.
  void restart() { NSUserDefaults::resetStandardUserDefaults(); }
  std::shared_ptr<RecordedLog> log;
  void captureLog() { log = RecordedLog::install(); }

  std::string home_;
};

TEST_F(UserDefaults, EveryKindRoundTripsThroughTheFile) {
  ValueMap nested{{Value("$data"), Value("not a tag")}, {Value("inner"), Value::list({1, 2.0})}};
  std::vector<std::pair<std::string, Value>> values = {
      {"bool", Value(false)},
      {"int", Value(int32_t{-7})},
      {"big", Value(std::numeric_limits<int64_t>::max())},
      {"whole double", Value(1.0)},
      {"fraction", Value(0.1)},
      {"nan", Value(std::nan(""))},
      {"inf", Value(-HUGE_VAL)},
      {"string", Value("quote \" backslash \\ é \n")},
      {"data", Value::bytes({0, 255, 10})},
      {"date", Value(NSDate::dateWithTimeIntervalSince1970(1714564800.25))},
      {"list", Value::list({Value("a"), Value::list({}), Value(ValueMap{})})},
      {"map", Value(nested)},
  };
  auto defaults = NSUserDefaults::standardUserDefaults();
  for (const auto& [k, v] : values) ASSERT_TRUE(defaults->setObject(v, k)) << k;

  restart();
  auto reread = NSUserDefaults::standardUserDefaults();
  EXPECT_NE(reread, defaults);
  for (const auto& [k, v] : values) {
    Value got = reread->objectForKey(k);
    EXPECT_EQ(got, v) << k;
    EXPECT_EQ(got.type(), v.type()) << k;
  }
  auto domain = reread->persistentDomainForName(NSUserDefaults::applicationDomainName());
  ASSERT_TRUE(domain);
  ASSERT_EQ(domain->size(), values.size());
  EXPECT_EQ((*domain)[0].first, Value("bool"));  // order kept
  EXPECT_TRUE(fs::exists(fileOf(NSUserDefaults::applicationDomainName())));
}

TEST_F(UserDefaults, DoublesAreWrittenShortestAndReadBackExactly) {
  const std::vector<std::pair<std::string, double>> values = {
      {"a", 0.8},    {"b", 0.1 + 0.2}, {"c", 1e300},
      {"d", 5e-324}, {"e", -0.0},      {"f", 123456789012345680.0},
      {"g", 1.0}};
  auto defaults = NSUserDefaults::standardUserDefaults();
  for (const auto& [k, v] : values) ASSERT_TRUE(defaults->setObject(Value(v), k)) << k;
  std::ifstream in(fileOf(NSUserDefaults::applicationDomainName()));
  const std::string text(std::istreambuf_iterator<char>(in), {});
  for (const char* written : {": 0.8,", ": 0.30000000000000004,", ": 1e+300,", ": 5e-324,",
                              ": -0.0,", ": 123456789012345680.0,", ": 1.0\n"}) {
    EXPECT_NE(text.find(written), std::string::npos) << written << " in " << text;
  }
  restart();
  auto reread = NSUserDefaults::standardUserDefaults();
  for (const auto& [k, v] : values) {
    Value got = reread->objectForKey(k);
    ASSERT_EQ(got.type(), Value::Type::Double) << k;
    const double read = got.asDouble();
    EXPECT_EQ(std::memcmp(&v, &read, sizeof v), 0) << k;
  }
  EXPECT_EQ(reread->stringForKey("a"), "0.8");
}

TEST_F(UserDefaults, SearchOrderAndWhatEachOperationTouches) {
  auto suite = NSUserDefaults::initWithSuiteName(std::string("group.one"));
  ASSERT_TRUE(suite);
  suite->registerDefaults({{Value("k"), Value("registered")}, {Value("r"), Value(1)}});
  EXPECT_EQ(suite->objectForKey("k"), Value("registered"));
  suite->setPersistentDomain({{Value("k"), Value("global")}, {Value("g"), Value(2)}},
                             NSGlobalDomain);
  EXPECT_EQ(suite->objectForKey("k"), Value("global"));
  suite->setObject(Value("own"), "k");
  EXPECT_EQ(suite->objectForKey("k"), Value("own"));
  suite->setVolatileDomain({{Value("k"), Value("argument")}}, NSArgumentDomain);
  EXPECT_EQ(suite->objectForKey("k"), Value("argument"));

  ValueMap all = suite->dictionaryRepresentation();
  EXPECT_EQ(
      all,
      (ValueMap{{Value("k"), Value("argument")}, {Value("g"), Value(2)}, {Value("r"), Value(1)}}));
  // Removing reaches only the suite's own domain.
  suite->removeObjectForKey("g");
  EXPECT_EQ(suite->integerForKey("g"), 2);
  suite->setVolatileDomain({}, NSArgumentDomain);
  suite->removeObjectForKey("k");
  EXPECT_EQ(suite->objectForKey("k"), Value("global"));
  EXPECT_FALSE(suite->persistentDomainForName("group.one"));
  EXPECT_FALSE(fs::exists(fileOf("group.one")));

  // A second object for the same suite sees the same values; the application
  // defaults do not.
  suite->setObject(Value(true), "shared");
  EXPECT_TRUE(NSUserDefaults::initWithSuiteName(std::string("group.one"))->boolForKey("shared"));
  EXPECT_FALSE(NSUserDefaults::standardUserDefaults()->boolForKey("shared"));
  EXPECT_TRUE(fs::exists(fileOf("group.one")));

  suite->removePersistentDomainForName(NSGlobalDomain);
  EXPECT_FALSE(fs::exists(prefs() / ".GlobalPreferences.json"));
  EXPECT_TRUE(suite->objectForKey("g").isNull());
}

TEST_F(UserDefaults, SuiteNamesThatCannotBeSuites) {
  for (std::string bad :
       {std::string(NSGlobalDomain), NSUserDefaults::applicationDomainName(), std::string("a/b"),
        std::string(".hidden"), std::string(""), std::string(201, 'x'), std::string("nul\0x", 5)}) {
    EXPECT_FALSE(NSUserDefaults::initWithSuiteName(bad)) << bad;
  }
  EXPECT_TRUE(NSUserDefaults::initWithSuiteName(std::string(200, 'x')));
}

TEST_F(UserDefaults, RefusedValuesLeaveEverythingAsItWas) {
  captureLog();
  auto d = NSUserDefaults::standardUserDefaults();
  ASSERT_TRUE(d->setObject(Value("kept"), "k"));
  std::string before;
  std::getline(std::ifstream(fileOf(NSUserDefaults::applicationDomainName())), before, '\0');

  EXPECT_FALSE(d->setObject(Value::list({Value("a"), Value()}), "k"));
  EXPECT_FALSE(d->setObject(Value::int32List({1}), "k"));
  EXPECT_FALSE(d->setObject(Value(ValueMap{{Value(1), Value(1)}}), "k"));
  EXPECT_FALSE(d->setPersistentDomain({{Value("x"), Value::float32List({1})}}, "group.two"));
  EXPECT_EQ(d->objectForKey("k"), Value("kept"));
  EXPECT_FALSE(d->persistentDomainForName("group.two"));
  std::string after;
  std::getline(std::ifstream(fileOf(NSUserDefaults::applicationDomainName())), after, '\0');
  EXPECT_EQ(before, after);
  EXPECT_EQ(log->messages().size(), 4u);

  // Null removes, as the platform does for nil.
  EXPECT_TRUE(d->setObject(Value(), "k"));
  EXPECT_TRUE(d->objectForKey("k").isNull());
}

TEST_F(UserDefaults, CorruptFilesLoadEmptyAndAreKeptAside) {
  captureLog();
  fs::create_directories(prefs());
  std::ofstream(fileOf("group.broken")) << "{\"k\": \"half-writ";
  std::ofstream(fileOf("group.odd")) << "{\"k\": {\"$unknown\": 1}}";

  for (const char* suite : {"group.broken", "group.odd"}) {
    auto d = NSUserDefaults::initWithSuiteName(std::string(suite));
    EXPECT_TRUE(d->objectForKey("k").isNull()) << suite;
    EXPECT_TRUE(fs::exists(fs::path(fileOf(suite)).concat(".corrupt"))) << suite;
    EXPECT_TRUE(d->setObject(Value(1), "fresh"));
  }
  EXPECT_EQ(log->messages().size(), 2u);
  restart();
  EXPECT_EQ(NSUserDefaults::initWithSuiteName(std::string("group.broken"))->integerForKey("fresh"),
            1);
}

TEST_F(UserDefaults, AnotherProcessWritingTheSameDomainLosesNothing) {
  auto mine = NSUserDefaults::initWithSuiteName(std::string("group.shared"));
  ASSERT_TRUE(mine->setObject(Value("mine"), "a"));
  ASSERT_TRUE(mine->setObject(Value("old"), "gone"));
  // Another host rewrites the file with what it holds: "a" and its own "b",
  // without "gone", which it removed.
  std::ofstream(fileOf("group.shared")) << R"({"a": "mine", "b": "theirs"})";
  EXPECT_EQ(mine->stringForKey("b"), std::optional<std::string>("theirs"));
  EXPECT_TRUE(mine->objectForKey("gone").isNull());
  std::ofstream(fileOf("group.shared")) << R"({"a": "mine", "b": "theirs", "c": 3})";
  ASSERT_TRUE(mine->setObject(Value(2), "d"));
  mine->removeObjectForKey("a");
  restart();
  auto fresh = NSUserDefaults::initWithSuiteName(std::string("group.shared"));
  EXPECT_EQ(*fresh->persistentDomainForName("group.shared"),
            (ValueMap{{Value("b"), Value("theirs")}, {Value("c"), Value(3)}, {Value("d"), Value(2)}}));
}

TEST_F(UserDefaults, LeftoversOfKilledWritesAreClearedAndSetAsideCopiesKept) {
  captureLog();
  fs::create_directories(prefs());
  for (const char* name : {"group.x.json.tmp-Ab12Cd", "group.x.json.tmp-000000"}) {
    std::ofstream(prefs() / name) << "{\"half\":";
  }
  std::ofstream(prefs() / "group.y.json.tmp-Ab12Cd") << "other domain";
  std::ofstream(prefs() / "group.x.json.tmp-kept") << "not a temporary name";
  std::ofstream(fileOf("group.x")) << "first broken";
  EXPECT_TRUE(NSUserDefaults::initWithSuiteName(std::string("group.x"))->objectForKey("k").isNull());
  EXPECT_FALSE(fs::exists(prefs() / "group.x.json.tmp-Ab12Cd"));
  EXPECT_FALSE(fs::exists(prefs() / "group.x.json.tmp-000000"));
  EXPECT_TRUE(fs::exists(prefs() / "group.y.json.tmp-Ab12Cd"));
  EXPECT_TRUE(fs::exists(prefs() / "group.x.json.tmp-kept"));
  restart();
  std::ofstream(fileOf("group.x")) << "second broken";
  EXPECT_TRUE(NSUserDefaults::initWithSuiteName(std::string("group.x"))->objectForKey("k").isNull());
  restart();
  std::ofstream(fileOf("group.x")) << "third broken";
  EXPECT_TRUE(NSUserDefaults::initWithSuiteName(std::string("group.x"))->objectForKey("k").isNull());
  std::ifstream first(fs::path(fileOf("group.x")).concat(".corrupt"));
  std::ifstream second(fs::path(fileOf("group.x")).concat(".corrupt-2"));
  std::ifstream third(fs::path(fileOf("group.x")).concat(".corrupt-3"));
  std::string a, b, c;
  std::getline(first, a);
  std::getline(second, b);
  std::getline(third, c);
  EXPECT_EQ(a, "first broken");
  EXPECT_EQ(b, "second broken");
  EXPECT_EQ(c, "third broken");
}

// A change whose file cannot be written answers why, naming the file, and
// changes nothing: readers are not shown it and the earlier file stays. A
// removal that changes nothing writes nothing, and is no failure.
TEST_F(UserDefaults, AWriteThatCannotBeStoredChangesNothingAndSaysWhichFile) {
  captureLog();
  auto io = std::make_shared<ScriptedFileIO>();
  FileIO::setCurrent(io);
  const std::string container = home_ + "/container";
  struct Case {
    const char* name;
    std::function<void()> fail;
    int code;
    bool earlierDataReadable;  // where the container still is
  };
  const Case cases[] = {
      {"the container is a file",
       [&] {
         std::ofstream(container) << "not a folder";
         ScriptedLocations::installed().setContainerRoot(container);
       },
       ENOTDIR, false},
      {"the preferences folder is a file",
       [&] {
         fs::remove_all(prefs());
         std::ofstream(prefs()) << "in the way";
       },
       ENOTDIR, false},
      {"the disk fills up while writing", [&] { io->failWritesAfter(10); }, ENOSPC, true},
      {"the disk is full when flushing", [&] { io->failSync(ENOSPC); }, ENOSPC, true},
      {"the folder is read-only", [&] { io->failCreate(EROFS); }, EROFS, true},
      {"the rename fails", [&] { io->failRename(EIO); }, EIO, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto d = NSUserDefaults::standardUserDefaults();
    ASSERT_TRUE(d->setObject(Value("old"), "kept"));
    ASSERT_TRUE(d->setObject(Value("other"), "other"));
    c.fail();
    const std::string file = fileOf(NSUserDefaults::applicationDomainName()).string();
    const std::string onDisk = c.earlierDataReadable ? contents(file) : "";
    NSErrorPtr error;
    EXPECT_FALSE(d->setObject(Value("new"), "kept", &error));
    EXPECT_FALSE(d->setInteger(1, "added", &error));
    ASSERT_NE(error, nullptr);
    EXPECT_EQ(error->code(), c.code);
    const std::string shown = NSFileManager::containerRoot() + "/Library/Preferences/" +
                              NSUserDefaults::applicationDomainName() + ".json";
    EXPECT_NE(error->localizedDescription().find(shown), std::string::npos)
        << error->localizedDescription();
    EXPECT_EQ(d->objectForKey("added"), Value());
    // Removing a key that is not there has nothing to write.
    error = nullptr;
    EXPECT_TRUE(d->removeObjectForKey("never set", &error));
    EXPECT_EQ(error, nullptr);
    if (c.earlierDataReadable) {
      error = nullptr;
      EXPECT_FALSE(d->removeObjectForKey("other", &error));
      EXPECT_NE(error, nullptr);
      EXPECT_EQ(d->objectForKey("kept"), Value("old"));
      EXPECT_EQ(d->objectForKey("other"), Value("other"));
      EXPECT_EQ(contents(file), onDisk);
      restart();
      EXPECT_EQ(NSUserDefaults::standardUserDefaults()->objectForKey("kept"), Value("old"));
    }
    EXPECT_FALSE(log->messages().empty());
    io->heal();
    ScriptedLocations::installed().setContainerRoot(home_);
    fs::remove_all(home_);
    fs::create_directories(home_);
    restart();
  }
}

TEST_F(UserDefaults, ConcurrentWritersLoseNothing) {
  auto group = dispatch_group_create();
  auto queue = dispatch_get_global_queue(DispatchQoS::Default);
  for (int i = 0; i < 16; ++i) {
    dispatch_group_async(group, queue, [i] {
      auto d = NSUserDefaults::initWithSuiteName(std::string("group.busy"));
      d->setInteger(i, "key" + std::to_string(i));
    });
  }
  ASSERT_EQ(dispatch_group_wait(group, dispatch_time_after(30)), 0);
  restart();
  auto domain = NSUserDefaults::standardUserDefaults()->persistentDomainForName("group.busy");
  ASSERT_TRUE(domain);
  EXPECT_EQ(domain->size(), 16u);
}

}  // namespace

}  // namespace ns_user_defaults_test
