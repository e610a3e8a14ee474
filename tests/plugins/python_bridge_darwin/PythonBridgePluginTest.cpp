#include <gtest/gtest.h>

#include "platform/foundation/NSFileManager.h"
#include "plugins/python_bridge_darwin/PythonBridgePlugin.h"
#include "support/ScriptedLocations.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/engine/TestPeer.h"

namespace python_bridge_plugin_test {

namespace {

const char* const kBundleName = "python_bridge_darwin_python_bridge_darwin.bundle";

// An application bundle folder, made the main bundle while the object lives.
class MainBundleLayout {
 public:
  explicit MainBundleLayout(bool withPythonBundle) {
    app_ = temp_.makeFolder("Runner.app");
    if (withPythonBundle)
      temp_.writeFile(std::string("Runner.app/") + kBundleName + "/Info.json", "{}");
    ScriptedLocations::installed().setMainBundlePath(app_);
  }
  ~MainBundleLayout() { ScriptedLocations::installed().setMainBundlePath(""); }
  const std::string& app() const { return app_; }
  std::string pythonBundle() const { return app_ + "/" + kBundleName; }

 private:
  TempFolder temp_;
  std::string app_;
};

}  // namespace

using PythonBridgePluginTest = PlatformTest;

// The only test that touches the process-wide bundle: it is resolved at the
// first "getResourcePath" that finds it, and kept whatever happens to the
// main bundle.
TEST_F(PythonBridgePluginTest, ResolvesTheBundleOnceAndReportsAVanishedFolder) {
  TestPeer peer;
  PythonBridgePlugin::registerWithRegistrar(peer.registrar("PythonBridgePlugin"));

  {
    MainBundleLayout empty(false);
    EXPECT_TRUE(IsNotImplemented(peer.call("python_bridge", "getResourcePaths")));
    // No bundle shipped: an answer that names the setting, and the host goes on.
    auto missing = peer.call("python_bridge", "getResourcePath");
    ASSERT_TRUE(IsError(missing, "PYTHON_BUNDLE_ERROR"));
    EXPECT_EQ(*missing.message,
              "unable to find bundle named python_bridge_darwin_python_bridge_darwin in " +
                  empty.app() + ": set QX_MAIN_BUNDLE to the application folder that holds " +
                  kBundleName);
    EXPECT_TRUE(missing.details.isNull());
  }

  MainBundleLayout first(true);
  auto o = peer.call("python_bridge", "getResourcePath");
  ASSERT_TRUE(IsSuccess(o));
  EXPECT_EQ(o.result, Value(first.pythonBundle()));
  EXPECT_EQ(o.result.asString().front(), '/');

  {
    MainBundleLayout second(true);
    EXPECT_EQ(peer.call("python_bridge", "getResourcePath").result, Value(first.pythonBundle()));
  }

  NSFileManager::defaultManager()->removeItemAtPath(first.pythonBundle());
  o = peer.call("python_bridge", "getResourcePath");
  ASSERT_TRUE(IsError(o, "PYTHON_BUNDLE_ERROR"));
  EXPECT_EQ(o.message, "Failed to resolve Bundle.module resourcePath");
  EXPECT_TRUE(o.details.isNull());

  // The next call looks at the same bundle's folder again.
  NSFileManager::defaultManager()->createDirectoryAtPath(first.pythonBundle(), true);
  EXPECT_EQ(peer.call("python_bridge", "getResourcePath").result, Value(first.pythonBundle()));
}

TEST_F(PythonBridgePluginTest, LocatesTheBundleInTheApplicationFolder) {
  MainBundleLayout layout(true);
  auto bundle = PythonBridgePlugin::locateModuleResourceBundle();
  ASSERT_NE(bundle, nullptr);
  EXPECT_EQ(bundle->resourcePath(), layout.pythonBundle());
}

TEST_F(PythonBridgePluginTest, FindsNothingWhenTheApplicationShipsNoBundle) {
  MainBundleLayout layout(false);
  EXPECT_EQ(PythonBridgePlugin::locateModuleResourceBundle(), nullptr);

  // A plain file of that name is not a bundle.
  TempFolder other;
  other.writeFile(std::string("Runner.app/") + kBundleName, "not a folder");
  ScriptedLocations::installed().setMainBundlePath(other.path() + "/Runner.app");
  EXPECT_EQ(PythonBridgePlugin::locateModuleResourceBundle(), nullptr);
}

}  // namespace python_bridge_plugin_test
