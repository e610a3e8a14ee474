#include "AKImagePickerController/data/internal/AKImageCheckView.h"
#include "AKImagePickerController/data/AKImageGroupDataManager.h"
#include "AKImagePickerController/data/AKPermissionViewColors.h"
#include "AKImagePickerController/data/AKImagePickerControllerModule.h"
#include "platform/foundation/NSClassRegistry.h"
#include "support/ScriptedLocations.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"

namespace module_test {

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

TEST_F(ModuleTest, PermissionColoursStartAsThePickersAndTheBadgeMakesItsPartsOnce) {
  auto colors = AKPermissionViewColors::pickerDefaults();
  double r, g, b, a;
  ASSERT_TRUE(colors->permitButtonColor->getRed(&r, &g, &b, &a));
  EXPECT_EQ(r, 0);
  EXPECT_DOUBLE_EQ(g, 122.0 / 255.0);
  EXPECT_EQ(b, 1);
  EXPECT_EQ(a, 1);
  EXPECT_TRUE(colors->backgroundColor->isEqual(*UIColor::blackColor()));
  EXPECT_TRUE(colors->titlePhotoColor->isEqual(*UIColor::grayColor()));
  EXPECT_TRUE(colors->titleCameraColor->isEqual(*UIColor::whiteColor()));
  EXPECT_FALSE(AKPermissionViewColors().backgroundColor);

  auto badge = std::make_shared<AKImageCheckView>(CGRectMake(0, 0, 24, 24));
  EXPECT_TRUE(badge->subviews().empty());  // nothing until asked for
  auto check = badge->checkImageView();
  EXPECT_EQ(badge->checkImageView(), check);
  auto number = badge->numberLabel();
  EXPECT_EQ(badge->numberLabel(), number);
  ASSERT_EQ(badge->subviews().size(), 2u);
  EXPECT_EQ(badge->subviews()[0], check);
  EXPECT_EQ(badge->subviews()[1], number);
  EXPECT_EQ(check->frame().size.width, 24);
}

}  // namespace module_test
