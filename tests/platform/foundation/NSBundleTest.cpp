#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "FoundationTestSupport.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/Value.h"
#include "support/ScriptedLocations.h"
#include "support/TestEnvironment.h"

namespace ns_bundle_test {

namespace {

void writeText(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// A bundle like the application's: info file, flat resources, a nested
// resource bundle, a language folder with a string table.
class NSBundleTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    auto fm = NSFileManager::defaultManager();
    root = dir / "Runner.app";
    ASSERT_TRUE(fm->createDirectoryAtPath(root + "/en.lproj", true));
    ASSERT_TRUE(fm->createDirectoryAtPath(root + "/Images/icons", true));
    ASSERT_TRUE(fm->createDirectoryAtPath(root + "/Module_Module.bundle", true));
    writeText(root + "/Info.json", R"({
      "CFBundleIdentifier": "dev.tarnquell.runner",
      "CFBundleName": "Runner",
      "CFBundleShortVersionString": "1.2.3",
      "CFBundleVersion": "45",
      "UIRequiresFullScreen": true
    })");
    writeText(root + "/config.plist", "x");
    writeText(root + "/Images/icons/back@2x.png", "png");
    writeText(root + "/en.lproj/only-localized.txt", "en");
    writeText(root + "/en.lproj/Picker.strings", R"(
/* The picker's texts */
"picker.done" = "Done";
"picker.quote" = "Say \"hi\"\n";  // trailing comment
picker.plain = "Unquoted key";
"picker.accent" = "Caf\U00E9";
)");
    writeText(root + "/Broken.strings", "\"a\" = \"b\"");  // missing ';'
  }
  void TearDown() override {
    ScriptedLocations::installed().setMainBundlePath("");
    PlatformTest::TearDown();
  }

  TempDir dir;
  std::string root;
};

}  // namespace

TEST_F(NSBundleTest, OpensFoldersOnlyAndReadsTheInfoFile) {
  EXPECT_EQ(NSBundle::bundleWithPath(dir / "missing"), nullptr);
  EXPECT_EQ(NSBundle::bundleWithPath(root + "/config.plist"), nullptr);
  EXPECT_EQ(NSBundle::bundleWithURL(NSURL::URLWithString("https://h.com/Runner.app")), nullptr);

  auto bundle = NSBundle::bundleWithPath(root + "/");
  ASSERT_NE(bundle, nullptr);
  EXPECT_EQ(bundle, NSBundle::bundleWithPath(root));  // one object per folder
  EXPECT_EQ(bundle, NSBundle::bundleWithURL(NSURL::fileURLWithPath(root)));
  EXPECT_EQ(bundle->bundlePath(), root);
  EXPECT_EQ(bundle->resourcePath(), root);
  EXPECT_EQ(bundle->bundleURL()->path(), root);
  EXPECT_TRUE(bundle->resourceURL()->hasDirectoryPath());
  EXPECT_EQ(bundle->bundleIdentifier(), "dev.tarnquell.runner");
  EXPECT_EQ(bundle->objectForInfoDictionaryKey("CFBundleShortVersionString"), Value("1.2.3"));
  EXPECT_EQ(bundle->objectForInfoDictionaryKey("UIRequiresFullScreen"), Value(true));
  EXPECT_TRUE(bundle->objectForInfoDictionaryKey("CFBundleDisplayName").isNull());
  EXPECT_EQ(bundle->infoDictionary().size(), 5u);
  EXPECT_EQ(bundle->appStoreReceiptURL()->path(), root + "/StoreKit/receipt");

  // A module bundle without an info file still opens.
  auto module = NSBundle::bundleWithPath(root + "/Module_Module.bundle");
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(module->bundleIdentifier(), std::nullopt);
  EXPECT_TRUE(module->infoDictionary().isMap());
  EXPECT_EQ(module->infoDictionary().size(), 0u);

  // A malformed info file reads as empty.
  ASSERT_TRUE(NSFileManager::defaultManager()->createDirectoryAtPath(dir / "Bad.bundle", false));
  writeText(dir / "Bad.bundle/Info.json", "{\"CFBundleIdentifier\": ");
  EXPECT_EQ(NSBundle::bundleWithPath(dir / "Bad.bundle")->infoDictionary().size(), 0u);
}

TEST_F(NSBundleTest, FindsResourcesFlatNestedAndLocalized) {
  auto bundle = NSBundle::bundleWithPath(root);
  EXPECT_EQ(bundle->pathForResource("config", "plist"), root + "/config.plist");
  EXPECT_EQ(bundle->pathForResource("config", ".plist"), root + "/config.plist");
  EXPECT_EQ(bundle->pathForResource("config.plist", ""), root + "/config.plist");
  EXPECT_EQ(bundle->pathForResource("back@2x", "png", "Images/icons"),
            root + "/Images/icons/back@2x.png");
  EXPECT_EQ(bundle->pathForResource("only-localized", "txt"),
            root + "/en.lproj/only-localized.txt");
  EXPECT_EQ(bundle->pathForResource("Module_Module", "bundle"), root + "/Module_Module.bundle");
  EXPECT_EQ(bundle->pathForResource("config", "json"), std::nullopt);
  EXPECT_EQ(bundle->pathForResource("", "plist"), std::nullopt);
  EXPECT_EQ(bundle->URLForResource("config", "plist")->path(), root + "/config.plist");
  EXPECT_EQ(bundle->URLForResource("nothing", "png"), nullptr);
}

TEST_F(NSBundleTest, LooksUpStringTables) {
  ScopedEnv lang("LANG", "en_GB.UTF-8");
  ScopedEnv all("LC_ALL", nullptr);
  ScopedEnv messages("LC_MESSAGES", nullptr);
  EXPECT_EQ(NSBundle::preferredLocalizations(), (std::vector<std::string>{"en", "Base"}));
  auto bundle = NSBundle::bundleWithPath(root);
  EXPECT_EQ(bundle->localizedStringForKey("picker.done", "", "Picker"), "Done");
  EXPECT_EQ(bundle->localizedStringForKey("picker.quote", "", "Picker"), "Say \"hi\"\n");
  EXPECT_EQ(bundle->localizedStringForKey("picker.plain", "", "Picker"), "Unquoted key");
  EXPECT_EQ(bundle->localizedStringForKey("picker.accent", "", "Picker"), "Caf\xC3\xA9");
  EXPECT_EQ(bundle->localizedStringForKey("picker.missing", "Fallback", "Picker"), "Fallback");
  EXPECT_EQ(bundle->localizedStringForKey("picker.missing", "", "Picker"), "picker.missing");
  EXPECT_EQ(bundle->localizedStringForKey("picker.done", "", "NoSuchTable"), "picker.done");
  EXPECT_EQ(bundle->localizedStringForKey("a", "", "Broken"), "a");  // malformed table ignored

  ScopedEnv german("LANG", "de_DE.UTF-8");
  EXPECT_EQ(NSBundle::preferredLocalizations(), (std::vector<std::string>{"de", "en", "Base"}));
  ScopedEnv posix("LC_ALL", "C");
  EXPECT_EQ(NSBundle::preferredLocalizations(), (std::vector<std::string>{"en", "Base"}));
}

TEST_F(NSBundleTest, MainBundleComesFromTheEnvironmentOrTheTestPath) {
  {
    ScopedEnv env("QX_MAIN_BUNDLE", root.c_str());
    EXPECT_EQ(NSBundle::mainBundle()->bundleIdentifier(), "dev.tarnquell.runner");
    EXPECT_EQ(NSBundle::bundleForClass(typeid(NSBundleTest)), NSBundle::mainBundle());
  }
  {
    ScopedEnv env("QX_MAIN_BUNDLE", nullptr);
    auto fallback = NSBundle::mainBundle();
    ASSERT_NE(fallback, nullptr);  // there is always a main bundle
    EXPECT_EQ(fallback->bundlePath().substr(fallback->bundlePath().size() - 11), "/Runner.app");
    ScriptedLocations::installed().setMainBundlePath(root);
    EXPECT_EQ(NSBundle::mainBundle(), NSBundle::bundleWithPath(root));
    EXPECT_EQ(NSBundle::mainBundle()->objectForInfoDictionaryKey("CFBundleVersion"), Value("45"));
  }
}

using NSBundleStringsTest = PlatformTest;

TEST_F(NSBundleStringsTest, ParsesThePlatformFormatAndRefusesBrokenText) {
  std::string error;
  auto table = ParseStringsFile(
      "\xEF\xBB\xBF\"k\" = \"v\"; // c\n/* x */ \"only\";\n"
      "\"emoji\" = \"\\UD83D\\UDE00\";",
      &error);
  ASSERT_TRUE(table.has_value()) << error;
  EXPECT_EQ(table->at("k"), "v");
  EXPECT_EQ(table->at("only"), "only");
  EXPECT_EQ(table->at("emoji"), "\xF0\x9F\x98\x80");
  for (const char* bad : {"\"a\" = \"b\"", "\"a\" = ", "\"a = \"b\";", "/* open", "= \"b\";"}) {
    EXPECT_EQ(ParseStringsFile(bad, &error), std::nullopt) << bad;
    EXPECT_FALSE(error.empty());
  }
}

TEST_F(NSBundleTest, FindsAModuleResourceBundleInTheFirstFolderThatHoldsOne) {
  auto fm = NSFileManager::defaultManager();
  const std::string other = dir / "Other";
  ASSERT_TRUE(fm->createDirectoryAtPath(other + "/Module_Module.bundle", true));
  writeText(other + "/Plain_Plain.bundle", "not a folder");
  ASSERT_TRUE(fm->createDirectoryAtPath(root + "/Plain_Plain.bundle", true));

  // In order; a folder without it, or with a file of that name, is passed over.
  EXPECT_EQ(NSBundle::resourceBundleNamed("Module_Module", {root, other})->bundlePath(),
            root + "/Module_Module.bundle");
  EXPECT_EQ(NSBundle::resourceBundleNamed("Module_Module", {dir / "missing", other})->bundlePath(),
            other + "/Module_Module.bundle");
  EXPECT_EQ(NSBundle::resourceBundleNamed("Plain_Plain", {other, root})->bundlePath(),
            root + "/Plain_Plain.bundle");
  EXPECT_EQ(NSBundle::resourceBundleNamed("Absent_Absent", {root, other}), nullptr);

  // An empty folder is skipped, not read as the working folder; a relative
  // one gives a bundle with an absolute path.
  const std::string cwd = std::filesystem::current_path();
  const std::string fromHere = std::filesystem::relative(other, cwd);
  EXPECT_EQ(NSBundle::resourceBundleNamed(fromHere + "/Module_Module", {""}), nullptr);
  const std::string found =
      NSBundle::resourceBundleNamed("Module_Module", {fromHere})->bundlePath();
  EXPECT_EQ(found.front(), '/');
  EXPECT_TRUE(std::filesystem::equivalent(found, other + "/Module_Module.bundle"));

  // A module's folders: the main bundle's resources first.
  ScriptedLocations::installed().setMainBundlePath(root);
  EXPECT_EQ(NSBundle::moduleResourceBundle("Module_Module", typeid(NSBundleTest))->bundlePath(),
            root + "/Module_Module.bundle");
  ScriptedLocations::installed().setMainBundlePath("");
  EXPECT_EQ(NSBundle::moduleResourceBundle("Module_Module", typeid(NSBundleTest)), nullptr);
}

}  // namespace ns_bundle_test
