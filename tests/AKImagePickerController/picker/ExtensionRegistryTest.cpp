#include <gtest/gtest.h>
#include <gmock/gmock.h>

#include "AKImagePickerController/picker/AKImagePickerControllerPickerModule.h"
#include "PickerCoreSupport.h"
#include "support/RecordedLog.h"

namespace extension_registry_test {

using ExtensionRegistryTest = PickerCoreTest;
using ::testing::Contains;

namespace {

class OtherExtension : public RecordingExtension {
 public:
  using RecordingExtension::RecordingExtension;
};

AKImageExtensionClass recording(const std::string& name, AKImageExtensionType type) {
  return AKImageExtensionClass::of<RecordingExtension>(name, type);
}

}  // namespace

TEST_F(ExtensionRegistryTest, UserClassesWinOverDefaultsAndNoneHidesAType) {
  auto picker = presentPicker();
  auto controller = picker->extensionController();
  EXPECT_EQ(picker->extensionController(), controller);
  // Before any perform, a type served only by a default class (found by name) is unavailable.
  // The module's classes are known first, so the recording one replaces the real camera.
  registerAKImagePickerControllerPickerClasses();
  AKImageExtensionClass::registerRuntimeClass(recording("AKImagePickerController.AKImageExtensionCamera",
                                                        AKImageExtensionType::camera));
  EXPECT_FALSE(controller->isExtensionTypeAvailable(AKImageExtensionType::camera));
  picker->presentCamera();  // performing registers the defaults
  EXPECT_TRUE(controller->isExtensionTypeAvailable(AKImageExtensionType::camera));
  auto camera = std::dynamic_pointer_cast<RecordingExtension>(controller->cachedExtension(AKImageExtensionType::camera));
  ASSERT_TRUE(camera);
  EXPECT_EQ(camera->context()->imagePickerController(), picker);
  EXPECT_EQ(camera->context()->groupDetailVC(), picker->lastGrid);
  ASSERT_EQ(camera->performed.size(), 1u);
  EXPECT_EQ(AKImageExtensionValue<bool>(camera->performed[0], kAKExtensionContainsGPSInMetadata), false);

  // Performing again reuses the instance, even after a user class is registered.
  AKImageExtensionController::registerExtensionWithExtensionClass(
      AKImageExtensionClass::of<OtherExtension>("Tests.Other", AKImageExtensionType::camera), AKImageExtensionType::camera);
  picker->presentCamera();
  EXPECT_EQ(controller->cachedExtension(AKImageExtensionType::camera), camera);
  EXPECT_EQ(camera->performed.size(), 2u);
  picker->dismissCamera();
  EXPECT_EQ(camera->finishes, 1);

  // None in the user registry hides the type and performing it only logs.
  auto log = RecordedLog::install();
  AKImageExtensionController::registerExtensionWithExtensionClass(AKImageExtensionClass::none(),
                                                                  AKImageExtensionType::photoEditor);
  AKImageExtensionController::registerDefaultExtensionWithExtensionClass(
      recording("Tests.Editor", AKImageExtensionType::photoEditor), AKImageExtensionType::photoEditor);
  EXPECT_FALSE(controller->isExtensionTypeAvailable(AKImageExtensionType::photoEditor));
  controller->performWithExtensionType(AKImageExtensionType::photoEditor, {});
  EXPECT_FALSE(controller->cachedExtension(AKImageExtensionType::photoEditor));
  EXPECT_THAT(log->messages(), Contains("No AKImageExtension found: AKImageExtensionType.photoEditor"));
  // Unregistering brings the default back.
  AKImageExtensionController::unregisterExtensionFor(AKImageExtensionType::photoEditor);
  EXPECT_TRUE(controller->isExtensionTypeAvailable(AKImageExtensionType::photoEditor));

  // A disabled type is unavailable but still performed.
  controller->disableWithExtensionType(AKImageExtensionType::photoEditor);
  EXPECT_FALSE(controller->isExtensionTypeAvailable(AKImageExtensionType::photoEditor));
  controller->performWithExtensionType(AKImageExtensionType::photoEditor, {});
  EXPECT_TRUE(controller->cachedExtension(AKImageExtensionType::photoEditor));
  controller->enableWithExtensionType(AKImageExtensionType::photoEditor);
  EXPECT_TRUE(controller->isExtensionTypeAvailable(AKImageExtensionType::photoEditor));

  // A type whose class is None: unavailable, and a perform only logs.
  AKImageExtensionController::registerExtensionWithExtensionClass(AKImageExtensionClass::none(),
                                                                  AKImageExtensionType::inlineCamera);
  EXPECT_FALSE(controller->isExtensionTypeAvailable(AKImageExtensionType::inlineCamera));
  picker->setSourceType(AKImagePickerControllerSourceType::camera);
  picker->presentCamera();
  EXPECT_THAT(log->messages(), Contains("No AKImageExtension found: AKImageExtensionType.inlineCamera"));
  EXPECT_FALSE(AKImageExtensionTypeFromRawValue(4));
  EXPECT_EQ(AKImageExtensionTypeFromRawValue(3), AKImageExtensionType::photoEditor);
}

TEST_F(ExtensionRegistryTest, TheGalleryRequestCarriesItsKeysAndTheBaseClassMustBeOverridden) {
  AKImageExtensionController::registerExtensionWithExtensionClass(recording("Tests.Gallery", AKImageExtensionType::gallery),
                                                                  AKImageExtensionType::gallery);
  auto picker = presentPicker();
  auto view = std::make_shared<UIImageView>();
  picker->showGallery("album", 4, view);
  picker->showGallery("other", std::nullopt, nullptr);
  auto gallery = std::dynamic_pointer_cast<RecordingExtension>(
      picker->extensionController()->cachedExtension(AKImageExtensionType::gallery));
  ASSERT_TRUE(gallery);
  ASSERT_EQ(gallery->performed.size(), 2u);
  EXPECT_EQ(AKImageExtensionValue<std::string>(gallery->performed[0], kAKExtensionGroupId), "album");
  EXPECT_EQ(AKImageExtensionValue<int64_t>(gallery->performed[0], kAKExtensionPresentationIndex), 4);
  EXPECT_EQ(AKImageExtensionValue<std::shared_ptr<UIImageView>>(gallery->performed[0],
                                                                 kAKExtensionPresentingFromImageView),
            view);
  EXPECT_FALSE(AKImageExtensionValue<int64_t>(gallery->performed[1], kAKExtensionPresentationIndex));
  EXPECT_FALSE(gallery->performed[1].count(kAKExtensionPresentingFromImageView));
  // A value of another type reads as missing.
  EXPECT_FALSE(AKImageExtensionValue<int64_t>(gallery->performed[0], kAKExtensionGroupId));

  auto base = std::make_shared<AKImageBaseExtension>(nullptr);
  EXPECT_DEATH(base->perform({}), "This method must be overridden.");
  EXPECT_DEATH(base->finish(), "This method must be overridden.");
}

TEST_F(ExtensionRegistryTest, AControllerThatOutlivedItsPickerMakesNoExtension) {
  std::shared_ptr<AKImageExtensionController> controller;
  {
    auto picker = std::make_shared<TestPicker>();
    controller = picker->extensionController();
  }
  AKImageExtensionController::registerExtensionWithExtensionClass(recording("Tests.Camera", AKImageExtensionType::camera),
                                                                  AKImageExtensionType::camera);
  controller->performWithExtensionType(AKImageExtensionType::camera, {});
  EXPECT_FALSE(controller->cachedExtension(AKImageExtensionType::camera));
  EXPECT_EQ(RecordingExtension::performs(), 0);
}

}  // namespace extension_registry_test
