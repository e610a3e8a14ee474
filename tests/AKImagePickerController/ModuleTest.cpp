#include "AKImagePickerController/AKImageGroupDataManager.h"
#include "AKImagePickerController/AKImagePickerControllerModule.h"
#include "platform/foundation/NSClassRegistry.h"
#include "support/ScriptedLocations.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"

class ModuleTest : public PlatformTest {
 protected:
  void TearDown() override {
    ScriptedLocations::installed().setMainBundlePath("");
    PlatformTest::TearDown();
  }
};

TEST_F(ModuleTest, TheResourceBundleIsFoundBesideTheMainBundlesResources) {
  TempFolder folder;
  std::string main = folder.makeFolder("Runner.app");
  folder.writeFile("Runner.app/AKImagePickerController_AKImagePickerController.bundle/Info.json",
                   std::string(R"({"CFBundleIdentifier": "ak.resources"})"));
  ScriptedLocations::installed().setMainBundlePath(main);
  auto bundle = AKImagePickerControllerModuleBundle();
  ASSERT_TRUE(bundle);
  EXPECT_EQ(bundle->bundleIdentifier(), "ak.resources");
  EXPECT_EQ(AKImagePickerControllerModuleBundle(), bundle);  // found once, then kept
}

TEST_F(ModuleTest, AMissingResourceBundleStopsTheProcess) {
  TempFolder folder;
  ScriptedLocations::installed().setMainBundlePath(folder.makeFolder("Empty.app"));
  EXPECT_DEATH(AKImagePickerControllerModuleBundle(),
               "unable to find bundle named AKImagePickerController_AKImagePickerController");
}

TEST_F(ModuleTest, ClassesAreRegisteredUnderTheirRuntimeNames) {
  registerAKImagePickerControllerClasses();
  auto configuration = std::dynamic_pointer_cast<AKImageGroupDataManagerConfiguration>(
      NSClassRegistry::createInstance("AKImagePickerController.AKImageGroupDataManagerConfiguration"));
  ASSERT_TRUE(configuration);
  EXPECT_EQ(configuration->assetGroupTypes.size(), 4u);
  EXPECT_EQ(configuration->fetchLimit, 0);
  EXPECT_TRUE(NSClassRegistry::createInstance("AKImagePickerController.AKImageBaseManager"));
  EXPECT_TRUE(NSClassRegistry::createInstance("AKImagePickerController.AKImageAssetExporterConfiguration"));
}
