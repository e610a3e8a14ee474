#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AKImagePickerController/picker/AKImagePickerControllerUIDelegate.h"
#include "AKPhotoGallery/AKPhotoBasePreviewVC.h"
#include "host/AppDelegate.h"
#include "host/HostClasses.h"
#include "host/internal/GeneratedPluginRegistrant.h"
#include "platform/flutter/FlutterEngine.h"
#include "platform/foundation/NSClassRegistry.h"
#include "platform/foundation/NSRunLoop.h"
#include "support/TestEnvironment.h"
#include "support/engine/TestPeer.h"

namespace registration_test {

namespace {

// Records every registrar request and every use of a registrar, in order, so
// the test can tell which registration used which registrar.
class RecordingRegistry : public FlutterPluginRegistry {
 public:
  class Registrar : public FlutterPluginRegistrar {
   public:
    Registrar(RecordingRegistry* owner, std::string key, FlutterPluginRegistrarPtr inner)
        : owner_(owner), key_(std::move(key)), inner_(std::move(inner)) {}
    std::shared_ptr<FlutterBinaryMessenger> messenger() override {
      owner_->log.push_back("use " + key_);
      return inner_->messenger();
    }
    void addMethodCallDelegate(std::shared_ptr<FlutterPlugin> d,
                               std::shared_ptr<FlutterMethodChannel> c) override {
      owner_->log.push_back("use " + key_);
      inner_->addMethodCallDelegate(std::move(d), std::move(c));
    }
    void addApplicationDelegate(std::shared_ptr<FlutterApplicationLifeCycleDelegate> d) override {
      owner_->log.push_back("use " + key_);
      inner_->addApplicationDelegate(std::move(d));
    }
    void addSceneDelegate(std::shared_ptr<FlutterSceneLifeCycleDelegate> d) override {
      owner_->log.push_back("use " + key_);
      inner_->addSceneDelegate(std::move(d));
    }
    void publish(Value v) override { inner_->publish(std::move(v)); }
    std::shared_ptr<UIViewController> viewController() override { return inner_->viewController(); }

   private:
    RecordingRegistry* owner_;
    std::string key_;
    FlutterPluginRegistrarPtr inner_;
  };

  explicit RecordingRegistry(std::shared_ptr<FlutterEngine> engine) : engine_(std::move(engine)) {}
  FlutterPluginRegistrarPtr registrarForPlugin(const std::string& key) override {
    log.push_back("get " + key);
    keys.push_back(key);
    return std::make_shared<Registrar>(this, key, engine_->registrarForPlugin(key));
  }
  bool hasPlugin(const std::string& key) override { return engine_->hasPlugin(key); }
  Value valuePublishedByPlugin(const std::string& key) override {
    return engine_->valuePublishedByPlugin(key);
  }

  std::vector<std::string> log;
  std::vector<std::string> keys;

 private:
  std::shared_ptr<FlutterEngine> engine_;
};

using RegistrationTest = PlatformTest;

TEST_F(RegistrationTest, EveryPluginInOrderEachWithItsOwnRegistrar) {
  auto engine = FlutterEngine::create();
  auto registry = std::make_shared<RecordingRegistry>(engine);
  GeneratedPluginRegistrant::registerWithRegistry(registry);

  const std::vector<std::string> expected = {
      "TQBatteryPlugin",        "ConnectivityPlugin",        "TQDeviceInfoPlugin",
      "FilePickerPlugin",       "NativeSplashPlugin",        "TQPackageInfoPlugin",
      "PasteboardPlugin",       "ScreenBrightnessIosPlugin", "TQSensorsPlugin",
      "PythonBridgePlugin",     "TQSharePlugin",             "SharedPreferencesPlugin",
      "URLLauncherPlugin",      "WakelockPlugin"};
  EXPECT_EQ(registry->keys, expected);

  // Between "get K" and the next "get", only registrar K is used, and every
  // plugin uses its registrar at least once.
  std::string current;
  std::vector<std::string> used;
  for (const std::string& entry : registry->log) {
    if (entry.rfind("get ", 0) == 0) {
      current = entry.substr(4);
    } else {
      EXPECT_EQ(entry, "use " + current);
      if (used.empty() || used.back() != current) used.push_back(current);
    }
  }
  EXPECT_EQ(used, expected);
  engine->destroyContext();
}

TEST_F(RegistrationTest, AppDelegateRegistersThroughTheImplicitEngine) {
  AppDelegate::registerClass();
  auto object = NSClassRegistry::createInstance("quorlinex.AppDelegate");
  auto delegate = std::dynamic_pointer_cast<AppDelegate>(object);
  ASSERT_TRUE(delegate);
  auto app = UIApplication::sharedApplication();
  EXPECT_TRUE(delegate->applicationDidFinishLaunchingWithOptions(*app, Value()));
  auto engine = delegate->engine();
  ASSERT_TRUE(engine);
  EXPECT_TRUE(engine->hasPlugin("WakelockPlugin"));
  EXPECT_TRUE(engine->hasHandler("corvinstead.flutter.plugins.filepicker"));
  EXPECT_TRUE(engine->hasHandler("corvinstead.flutter.plugins.filepickerevent"));

  // The file picker answers unknown methods with the not-implemented marker.
  FlutterDartSide dart(engine);
  std::optional<FlutterMethodOutcome> got;
  dart.invokeMethod("corvinstead.flutter.plugins.filepicker", "noSuchMethod", Value(),
                    [&](const FlutterMethodOutcome& o) { got = o; });
  NSRunLoop::mainRunLoop().runUntilIdle();
  ASSERT_TRUE(got);
  EXPECT_EQ(got->kind, FlutterMethodOutcome::Kind::NotImplemented);
  engine->destroyContext();
}

// Whether every class that the host's screens make by name is known.
bool hostKnowsItsScreenClasses() {
  std::vector<std::string> names = {AppDelegate::kRuntimeName,
                                    "AKImagePickerController.AKAssetGroupDetailVC",
                                    kAKAssetGroupGridLayoutName,
                                    kAKAssetGroupDetailImageCellName,
                                    kAKAssetGroupDetailCameraCellName,
                                    kAKAssetGroupDetailVideoCellName,
                                    kAKAssetGroupCellName};
  const auto& pages = AKPhotoGalleryPageClasses();
  names.insert(names.end(), pages.begin(), pages.end());
  return NSClassRegistry::requireClasses(names);
}

// In a process of its own, so that no other test's registration counts: the
// host alone knows every class that its screens make by name.
TEST_F(RegistrationTest, TheHostKnowsEveryClassItsScreensMakeByName) {
  EXPECT_EXIT(
      {
        registerHostClasses();
        std::exit(hostKnowsItsScreenClasses() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace

}  // namespace registration_test
