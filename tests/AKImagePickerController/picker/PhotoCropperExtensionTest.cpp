#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "AKImagePickerController/picker/internal/AKImageExtensionPhotoCropper.h"
#include "PickerCoreSupport.h"
#include "crop/CRCropView.h"
#include "crop/CRCropViewController.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIGraphicsImageRenderer.h"
#include "platform/uikit/UIViewAccessibility.h"
#include "support/ui/UITouchDriver.h"

namespace photo_cropper_extension_test {

namespace {

UIImagePtr picture(double w, double h) {
  auto renderer = std::make_shared<UIGraphicsImageRenderer>(CGSizeMake(w, h));
  return renderer->imageWithActions([&](UIGraphicsImageRendererContext& context) {
    UIColor::blueColor()->setFill();
    context.fillRect(CGRectMake(0, 0, w, h));
  });
}

int64_t orientationIn(const std::optional<ValueMap>& metadata) {
  if (!metadata) return -1;
  for (auto& [key, value] : *metadata)
    if (key.isString() && key.asString() == "Orientation") return value.asInt64();
  return 0;
}

}  // namespace

class PhotoCropperExtensionTest : public PickerCoreTest {
 protected:
  void SetUp() override {
    PickerCoreTest::SetUp();
    AKImageExtensionController::registerExtensionWithExtensionClass(AKImageExtensionPhotoCropper::extensionClass(),
                                                                    AKImageExtensionType::photoEditor);
  }
  std::shared_ptr<AKImageExtensionPhotoCropper> cropper(const std::shared_ptr<AKImagePickerController>& picker) {
    return std::dynamic_pointer_cast<AKImageExtensionPhotoCropper>(
        picker->extensionController()->cachedExtension(AKImageExtensionType::photoEditor));
  }
  AKImageExtensionInfo editRequest(const UIImagePtr& image, std::optional<ValueMap> metadata) {
    AKImageExtensionInfo info;
    info[kAKExtensionImage] = image;
    info[kAKExtensionDidFinishEditing] = AKImageExtensionEditBlock(
        [this](const UIImagePtr& edited, const std::optional<ValueMap>& m) { results.push_back({edited, m}); });
    if (metadata) info[kAKExtensionMetadata] = *metadata;
    return info;
  }
  std::vector<std::pair<UIImagePtr, std::optional<ValueMap>>> results;
};

TEST_F(PhotoCropperExtensionTest, ACropHandsBackTheImageWithItsOrientationUprightOnce) {
  auto picker = presentPicker();
  auto image = picture(40, 30);
  ValueMap metadata{{Value("Orientation"), Value(int64_t{6})}, {Value("{Exif}"), Value(ValueMap{})}};
  picker->extensionController()->performWithExtensionType(AKImageExtensionType::photoEditor,
                                                          editRequest(image, metadata));
  auto extension = cropper(picker);
  ASSERT_TRUE(extension);
  auto editor = std::dynamic_pointer_cast<CRCropViewController>(extension->imageEditor());
  ASSERT_TRUE(editor);
  EXPECT_EQ(editor->modalPresentationStyle(), UIModalPresentationStyle::FullScreen);
  advance(1);
  drainMainLoop();
  EXPECT_EQ(picker->presentedViewController(), editor);

  auto cropped = picture(20, 20);
  editor->onDidCropToRect(cropped, CGRectMake(0, 0, 20, 20), 0);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].first, cropped);
  EXPECT_EQ(orientationIn(results[0].second), 1);
  ASSERT_TRUE(results[0].second);
  EXPECT_EQ(results[0].second->size(), 2u);
  EXPECT_FALSE(extension->didFinishEditing());
  // A second callback for the same edit is ignored.
  editor->onDidCropToRect(cropped, CGRectMake(0, 0, 20, 20), 0);
  EXPECT_EQ(results.size(), 1u);

  extension->finish();
  advance(1);
  drainMainLoop();
  EXPECT_FALSE(picker->presentedViewController());
  editor.reset();
  EXPECT_FALSE(extension->imageEditor());  // held only by its presenter
}

TEST_F(PhotoCropperExtensionTest, AnUnchangedCropKeepsTheMetadataAndMissingKeysDoNothing) {
  auto picker = presentPicker();
  auto image = picture(40, 30);
  ValueMap metadata{{Value("Orientation"), Value(int64_t{3})}};
  picker->extensionController()->performWithExtensionType(AKImageExtensionType::photoEditor,
                                                          editRequest(image, metadata));
  auto extension = cropper(picker);
  auto editor = std::dynamic_pointer_cast<CRCropViewController>(extension->imageEditor());
  ASSERT_TRUE(editor);
  editor->onDidCropToRect(image, CGRectMake(0, 0, 40, 30), 0);
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(orientationIn(results[0].second), 3);

  // Without metadata the callback gets none, even for a changed crop.
  extension->finish();
  advance(1);
  drainMainLoop();
  picker->extensionController()->performWithExtensionType(AKImageExtensionType::photoEditor,
                                                          editRequest(image, std::nullopt));
  auto second = std::dynamic_pointer_cast<CRCropViewController>(extension->imageEditor());
  ASSERT_TRUE(second);
  EXPECT_NE(second, editor);
  second->onDidCropToRect(picture(10, 10), CGRectMake(0, 0, 10, 10), 0);
  ASSERT_EQ(results.size(), 2u);
  EXPECT_FALSE(results[1].second);

  // No image, or a callback of another type: nothing is shown.
  extension->finish();
  advance(1);
  drainMainLoop();
  AKImageExtensionInfo noImage = editRequest(image, std::nullopt);
  noImage.erase(kAKExtensionImage);
  picker->extensionController()->performWithExtensionType(AKImageExtensionType::photoEditor, noImage);
  AKImageExtensionInfo wrongCallback = editRequest(image, std::nullopt);
  wrongCallback[kAKExtensionDidFinishEditing] = std::string("not a callback");
  picker->extensionController()->performWithExtensionType(AKImageExtensionType::photoEditor, wrongCallback);
  drainMainLoop();
  EXPECT_FALSE(picker->presentedViewController());
}

TEST_F(PhotoCropperExtensionTest, ACapturedPhotoIsCroppedOverTheCameraSavedAndSelected) {
  auto picker = presentPicker();
  auto camera = std::make_shared<UIViewController>();
  picker->presentViewController(camera, false);
  drainMainLoop();
  ValueMap metadata{{Value("Orientation"), Value(int64_t{6})}};
  picker->didFinishCapturingImage(picture(40, 30), metadata);
  auto editor = std::dynamic_pointer_cast<CRCropViewController>(cropper(picker)->imageEditor());
  ASSERT_TRUE(editor);
  advance(1);
  drainMainLoop();
  EXPECT_EQ(camera->presentedViewController(), editor);
  editor->onDidCropToRect(picture(30, 30), CGRectMake(0, 0, 30, 30), 0);
  ASSERT_TRUE(waitFor([&] { return picker->selectedAssets().size() == 1; }));
  auto asset = picker->selectedAssets()[0];
  ASSERT_TRUE(asset->originalAsset());
  EXPECT_EQ(asset->originalAsset()->pixelWidth(), asset->originalAsset()->pixelHeight());
}

TEST_F(PhotoCropperExtensionTest, TheCropperIsThePhotoEditorByDefault) {
  AKImageExtensionController::unregisterExtensionFor(AKImageExtensionType::photoEditor);
  auto picker = presentPicker();
  EXPECT_FALSE(picker->extensionController()->isExtensionTypeAvailable(AKImageExtensionType::photoEditor));
  picker->extensionController()->performWithExtensionType(AKImageExtensionType::photoEditor,
                                                          editRequest(picture(8, 8), std::nullopt));
  EXPECT_TRUE(picker->extensionController()->isExtensionTypeAvailable(AKImageExtensionType::photoEditor));
  ASSERT_TRUE(cropper(picker));
  EXPECT_EQ(AKImageExtensionClass::named("AKImagePickerController.AKImageExtensionPhotoCropper")->extensionType,
            AKImageExtensionType::photoEditor);
  EXPECT_TRUE(AKImageExtensionClass::named("AKImagePickerController.AKImageExtensionNone")->isNone());
  advance(1);
  drainMainLoop();
}

TEST_F(PhotoCropperExtensionTest, EveryCropButtonSaysWhatItDoesAndDoesIt) {
  auto picker = presentPicker();
  picker->extensionController()->performWithExtensionType(
      AKImageExtensionType::photoEditor, editRequest(picture(40, 30), std::nullopt));
  advance(1);
  auto editor = std::dynamic_pointer_cast<CRCropViewController>(picker->presentedViewController());
  ASSERT_TRUE(editor);
  window->layoutIfNeeded();
  // The buttons on screen, by the label the driver's view tree reports.
  std::map<std::string, std::shared_ptr<UIButton>> shown;
  std::function<void(const std::shared_ptr<UIView>&)> walk = [&](const std::shared_ptr<UIView>& v) {
    if (auto b = std::dynamic_pointer_cast<UIButton>(v); b && !b->isHidden()) {
      auto label = UIViewAccessibilityLabel(*b);
      ASSERT_TRUE(label && !label->empty()) << b->className();
      shown[*label] = b;
    }
    if (v->isHidden()) return;
    for (auto& sub : v->subviews()) walk(sub);
  };
  walk(editor->view());
  for (const char* label :
       {"Done", "Cancel", "Rotate Left", "Rotate Right", "Aspect Ratio", "Reset"}) {
    EXPECT_TRUE(shown.count(label)) << label;
  }
  UITouchDriver hand(window);
  auto tapOn = [&](const char* label) {
    auto b = shown[label];
    ASSERT_TRUE(b) << label;
    CGRect r = b->bounds();
    hand.tap(b->convertPointToView({CGRectGetMidX(r), CGRectGetMidY(r)}, nullptr));
    advance(1);
  };
  tapOn("Rotate Right");
  EXPECT_EQ(editor->cropView()->angle(), 90);
  tapOn("Rotate Left");
  tapOn("Rotate Left");
  EXPECT_EQ(editor->cropView()->angle(), -90);
  tapOn("Reset");
  EXPECT_EQ(editor->cropView()->angle(), 0);
  tapOn("Done");
  EXPECT_TRUE(RunMainLoopUntil([&] { return results.size() == 1; }));
}

}  // namespace photo_cropper_extension_test
