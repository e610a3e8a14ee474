#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>

#include "AKCamera/AKCamera.h"
#include "AKImagePickerController/picker/AKImagePickerControllerPickerModule.h"
#include "AKImagePickerController/picker/internal/AKImageExtensionCamera.h"
#include "AKImagePickerController/picker/internal/AKImageExtensionPhotoCropper.h"
#include "AKImagePickerController/picker/internal/AKImagePickerControllerResource.h"
#include "AKImagePickerController/picker/internal/AKPermissionView.h"
#include "ScreensLibrarySupport.h"
#include "crop/CRCropViewController.h"
#include "platform/uikit/UIViewAccessibility.h"
#include "support/camera/CameraFixtures.h"
#include "support/camera/ScriptedCaptureHardware.h"
#include "support/ui/UITouchDriver.h"

namespace camera_extension_test {

namespace {

// The picker over a library of three photos, with a back camera over a real
// clip (named by the camera source setting too, as a device with a camera).
class CameraExtensionTest : public ScreensLibraryTest {
 protected:
  void SetUp() override {
    ScreensLibraryTest::SetUp();
    registerAKImagePickerControllerPickerClasses();
    for (int i = 0; i < 3; ++i) addPhoto("p" + std::to_string(i) + ".png", {40, 80, 200, 255}, 1000 + i);
    expectedAlbums = 3;
    clip_ = std::filesystem::path(path("p0.png")).parent_path().parent_path().string() + "/clip.avi";
    ASSERT_TRUE(camera_test::WriteClip(clip_, 120, 160, 4, 10));
    hardware = &ScriptedCaptureHardware::installed();
    hardware->addCamera(AVCaptureDevicePositionBack, clip_, true);
    setenv("QX_CAMERA_SOURCE", clip_.c_str(), 1);
  }
  void TearDown() override {
    // Nothing of a capture session may outlive the test.
    if (auto camera = shownCamera()) {
      camera->beginAppearanceTransition(false, false);
      camera->endAppearanceTransition();
      dispatch_sync(camera->sessionQueue(), [] {});
    }
    unsetenv("QX_CAMERA_SOURCE");
    ScreensLibraryTest::TearDown();
  }

  std::shared_ptr<AKCamera> shownCamera() {
    if (!picker) return nullptr;
    if (auto camera = std::dynamic_pointer_cast<AKCamera>(picker->presentedViewController())) return camera;
    return std::dynamic_pointer_cast<AKCamera>(picker->topViewController());
  }
  AKImageExtensionInfo request() {
    AKImageExtensionInfo info;
    info[kAKExtensionDidFinishCapturingImage] = AKImageExtensionCaptureImageBlock(
        [this](const UIImagePtr& image, const std::optional<ValueMap>& metadata) {
          captured.push_back(image);
          capturedMetadata.push_back(metadata);
        });
    info[kAKExtensionDidCancel] = AKImageExtensionCancelBlock([this] { ++cancels; });
    return info;
  }
  // Shoots with the shown camera; true once the shutter works again.
  bool shoot(const std::shared_ptr<AKCamera>& camera) {
    auto button = camera->captureButton();
    if (!button || !button->isEnabled()) return false;
    button->sendActionsForControlEvents(UIControlEventTouchUpInside);
    return RunMainLoopUntil([&] { return button->isEnabled() && !camera->currentCapturer(); });
  }
  std::set<std::string> libraryFiles() {
    std::set<std::string> names;
    for (auto& entry : std::filesystem::recursive_directory_iterator(path(""))) {
      if (entry.is_regular_file()) names.insert(entry.path().filename().string());
    }
    return names;
  }

  std::string clip_;
  ScriptedCaptureHardware* hardware = nullptr;
  std::vector<UIImagePtr> captured;
  std::vector<std::optional<ValueMap>> capturedMetadata;
  int cancels = 0;
};

// Whether the permission view's text has that colour.
bool labelColoured(const UIViewPtr& overlay, const UIColorPtr& colour) {
  auto view = std::dynamic_pointer_cast<AKPermissionView>(overlay);
  auto text = view ? view->titleLabel()->textColor() : nullptr;
  return text && text->isEqual(*colour);
}

bool same(const UIColorPtr& a, const UIColorPtr& b) { return a && b && a->isEqual(*b); }

// The buttons of a view tree by the label the driver's view tree reports.
void CollectLabelledButtons(const std::shared_ptr<UIView>& view,
                            std::map<std::string, std::shared_ptr<UIButton>>& out,
                            std::vector<std::shared_ptr<UIButton>>& unlabelled) {
  if (auto button = std::dynamic_pointer_cast<UIButton>(view)) {
    auto label = UIViewAccessibilityLabel(*button);
    if (label && !label->empty()) {
      out[*label] = button;
    } else {
      unlabelled.push_back(button);
    }
  }
  for (auto& sub : view->subviews()) CollectLabelledButtons(sub, out, unlabelled);
}

TEST_F(CameraExtensionTest, EveryCameraButtonSaysWhatItDoes) {
  // Without camera access no capture starts; the screen and its buttons show.
  hardware->setAuthorizationStatus(AVAuthorizationStatusDenied);
  ASSERT_TRUE(showPicker());
  UITouchDriver hand(window);
  hand.tap(centreOf(0));
  advance(1);
  auto camera = std::dynamic_pointer_cast<AKCamera>(picker->presentedViewController());
  ASSERT_TRUE(camera);
  std::map<std::string, std::shared_ptr<UIButton>> buttons;
  std::vector<std::shared_ptr<UIButton>> unlabelled;
  CollectLabelledButtons(camera->view(), buttons, unlabelled);
  std::vector<std::string> labels;
  for (auto& [label, button] : buttons) labels.push_back(label);
  EXPECT_EQ(labels,
            (std::vector<std::string>{"Cancel", "Flash Mode", "Switch Camera", "Take Photo"}));
  // The permission view's own button reads its title.
  for (auto& b : unlabelled) EXPECT_TRUE(b->isDescendantOfView(camera->cameraOverlayView().get()));

  auto tapOn = [&](const std::shared_ptr<UIButton>& b) {
    CGRect r = b->bounds();
    hand.tap(b->convertPointToView({CGRectGetMidX(r), CGRectGetMidY(r)}, nullptr));
    advance(1);
  };
  auto mode = camera->flashMode();
  tapOn(buttons["Flash Mode"]);
  EXPECT_NE(camera->flashMode(), mode);
  tapOn(buttons["Cancel"]);
  EXPECT_FALSE(picker->presentedViewController());
}

}  // namespace

TEST_F(CameraExtensionTest, TheCameraCellOpensTheCameraAndAShotIsSavedIntoTheLibraryAndSelected) {
  ASSERT_TRUE(showPicker());
  // Straight from the camera to the library: no editor.
  picker->extensionController()->disableWithExtensionType(AKImageExtensionType::photoEditor);
  auto before = libraryFiles();
  UITouchDriver hand(window);
  hand.tap(centreOf(0));
  advance(1);
  drainMainLoop();
  auto camera = std::dynamic_pointer_cast<AKCamera>(picker->presentedViewController());
  ASSERT_TRUE(camera);
  EXPECT_EQ(camera->modalPresentationStyle(), UIModalPresentationStyle::FullScreen);
  EXPECT_FALSE(camera->cameraOverlayView());
  EXPECT_FALSE(grid->collectionView()->cellForItemAtIndexPath(NSIndexPath::indexPathForItem(0, 0))->isSelected());
  EXPECT_TRUE(picker->selectedAssets().empty());

  ASSERT_TRUE(shoot(camera));
  ASSERT_TRUE(RunMainLoopUntil([&] { return picker->selectedAssets().size() == 1; }));
  advance(1);
  drainMainLoop();
  // The camera is gone, the new photo is a new file of the library, found again by identifier.
  EXPECT_FALSE(picker->presentedViewController());
  auto asset = picker->selectedAssets()[0];
  ASSERT_TRUE(asset->originalAsset());
  auto file = std::filesystem::path(asset->originalAsset()->record().relativePath).filename().string();
  EXPECT_FALSE(before.count(file));
  EXPECT_TRUE(libraryFiles().count(file));
  auto found = PHAsset::fetchAssetsWithLocalIdentifiers({asset->originalAsset()->localIdentifier()}, nullptr);
  ASSERT_EQ(found->count(), 1);
  // The clip's frames are portrait; the photo keeps that shape.
  EXPECT_GT(asset->originalAsset()->pixelHeight(), asset->originalAsset()->pixelWidth());

  // A second tap on the camera cell presents a new camera through the same extension.
  auto extension = picker->extensionController()->cachedExtension(AKImageExtensionType::camera);
  ASSERT_TRUE(std::dynamic_pointer_cast<AKImageExtensionCamera>(extension));
  hand.tap(centreOf(0));
  advance(1);
  drainMainLoop();
  auto second = std::dynamic_pointer_cast<AKCamera>(picker->presentedViewController());
  ASSERT_TRUE(second);
  EXPECT_NE(second, camera);
  EXPECT_EQ(picker->extensionController()->cachedExtension(AKImageExtensionType::camera), extension);

  // The camera's cancel button closes it and keeps the selection.
  second->cancelButton()->sendActionsForControlEvents(UIControlEventTouchUpInside);
  advance(1);
  drainMainLoop();
  EXPECT_FALSE(picker->presentedViewController());
  EXPECT_EQ(picker->selectedAssets().size(), 1u);
  EXPECT_EQ(picker->presentingViewController(), nullptr);  // the picker itself stays
  EXPECT_EQ(window->rootViewController(), picker);
}

TEST_F(CameraExtensionTest, ACapturedPhotoIsCroppedOverTheCameraBeforeItIsSelected) {
  ASSERT_TRUE(showPicker());
  picker->presentCamera();
  advance(1);
  drainMainLoop();
  auto camera = std::dynamic_pointer_cast<AKCamera>(picker->presentedViewController());
  ASSERT_TRUE(camera);
  ASSERT_TRUE(shoot(camera));
  advance(1);
  drainMainLoop();
  // The crop screen opens over the camera, on the photo just taken.
  auto cropper = std::dynamic_pointer_cast<CRCropViewController>(camera->presentedViewController());
  ASSERT_TRUE(cropper);
  ASSERT_TRUE(cropper->image());
  EXPECT_TRUE(picker->selectedAssets().empty());
  // The person crops a square out of the portrait photo and confirms.
  CGSize size = cropper->image()->size();
  double side = std::min(size.width, size.height) / 2;
  cropper->setImageCropFrame(CGRectMake(0, 0, side, side));
  cropper->doneButtonTapped();
  advance(1);  // the crop screen hands its result over a moment later
  ASSERT_TRUE(RunMainLoopUntil([&] { return picker->selectedAssets().size() == 1; }));
  advance(1);
  drainMainLoop();
  advance(1);
  drainMainLoop();
  auto asset = picker->selectedAssets()[0];
  ASSERT_TRUE(asset->originalAsset());
  EXPECT_EQ(asset->originalAsset()->pixelWidth(), asset->originalAsset()->pixelHeight());
  EXPECT_NEAR(double(asset->originalAsset()->pixelWidth()), side * cropper->image()->scale(), 2);
  // Camera and crop screen are both gone.
  EXPECT_FALSE(picker->presentedViewController());
}

TEST_F(CameraExtensionTest, DeniedAccessPutsThePermissionViewOverTheCameraInTheRightColours) {
  hardware->setAuthorizationStatus(AVAuthorizationStatusDenied);
  ASSERT_TRUE(showPicker([](AKImagePickerController& p) {
    auto colours = AKPermissionViewColors::pickerDefaults();
    colours->titleCameraColor = UIColor::redColor();
    p.setPermissionViewColors(colours);
  }));
  picker->presentCamera();
  auto camera = std::dynamic_pointer_cast<AKCamera>(picker->presentedViewController());
  ASSERT_TRUE(camera);
  // The view comes in a later main-queue job, over the camera that is already shown.
  EXPECT_FALSE(camera->cameraOverlayView());
  drainMainLoop();
  auto overlay = std::dynamic_pointer_cast<AKPermissionView>(camera->cameraOverlayView());
  ASSERT_TRUE(overlay);
  EXPECT_EQ(overlay->superview(), camera->view());
  EXPECT_TRUE(labelColoured(overlay, UIColor::redColor()));
  EXPECT_EQ(overlay->titleLabel()->text(),
            AKImagePickerControllerResource::localizedString("permission.camera.title", ""));

  // Access granted later: a check clears the overlay.
  hardware->setAuthorizationStatus(AVAuthorizationStatusAuthorized);
  auto extension = std::dynamic_pointer_cast<AKImageExtensionCamera>(
      picker->extensionController()->cachedExtension(AKImageExtensionType::camera));
  ASSERT_TRUE(extension);
  extension->checkCameraPermission(camera);
  EXPECT_FALSE(camera->cameraOverlayView());
  drainMainLoop();
  EXPECT_FALSE(camera->cameraOverlayView());
}

TEST_F(CameraExtensionTest, TheInlineCameraIsThePickersOnlyScreenWithFixedPermissionColours) {
  hardware->setAuthorizationStatus(AVAuthorizationStatusDenied);
  auto colours = AKPermissionViewColors::pickerDefaults();
  colours->titleCameraColor = UIColor::redColor();
  picker = std::make_shared<AKImagePickerController>();
  picker->setSourceType(AKImagePickerControllerSourceType::camera);
  picker->setPermissionViewColors(colours);
  int pickerCancels = 0;
  picker->setDidCancel([&] { ++pickerCancels; });
  auto host = std::make_shared<UIViewController>();
  window = std::make_shared<UIWindow>(CGRectMake(0, 0, 375, 667));
  window->setRootViewController(host);
  window->makeKeyAndVisible();
  host->presentViewController(picker, false);
  drainMainLoop();
  ASSERT_EQ(picker->viewControllers().size(), 1u);
  auto camera = std::dynamic_pointer_cast<AKCamera>(picker->viewControllers()[0]);
  ASSERT_TRUE(camera);
  EXPECT_FALSE(picker->presentedViewController());
  drainMainLoop();
  auto overlay = camera->cameraOverlayView();
  ASSERT_TRUE(std::dynamic_pointer_cast<AKPermissionView>(overlay));
  EXPECT_TRUE(labelColoured(overlay, UIColor::whiteColor()));
  EXPECT_FALSE(labelColoured(overlay, UIColor::redColor()));
  auto fixed = AKImageExtensionInlineCamera::inlinePermissionViewColors();
  EXPECT_TRUE(same(fixed->backgroundColor, UIColor::blackColor()));
  EXPECT_TRUE(same(fixed->titlePhotoColor, UIColor::grayColor()));
  EXPECT_TRUE(same(fixed->permitButtonColor, UIColor::colorWithRed(0, 122.0 / 255.0, 1, 1)));
  EXPECT_TRUE(same(fixed->titleCameraColor, UIColor::whiteColor()));

  // Its cancel button leaves the picker altogether and tells the caller.
  camera->cancelButton()->sendActionsForControlEvents(UIControlEventTouchUpInside);
  advance(1);
  drainMainLoop();
  EXPECT_FALSE(host->presentedViewController());
  EXPECT_EQ(pickerCancels, 1);
  camera->beginAppearanceTransition(false, false);
  camera->endAppearanceTransition();
  dispatch_sync(camera->sessionQueue(), [] {});
  picker.reset();
  host.reset();
}

TEST_F(CameraExtensionTest, ARequestNeedsBothCallbacksAndOnlyABooleanTurnsLocationOn) {
  ASSERT_TRUE(showPicker());
  auto& extensions = picker->extensionController();

  // Without the cancel callback nothing is shown, even with a capture callback.
  auto noCancel = request();
  noCancel.erase(kAKExtensionDidCancel);
  extensions->performWithExtensionType(AKImageExtensionType::camera, noCancel);
  auto noCapture = request();
  noCapture[kAKExtensionDidFinishCapturingImage] = std::string("not a callback");
  extensions->performWithExtensionType(AKImageExtensionType::camera, noCapture);
  drainMainLoop();
  EXPECT_FALSE(picker->presentedViewController());

  // A number is not a Boolean.
  auto numbered = request();
  numbered[kAKExtensionContainsGPSInMetadata] = int64_t{1};
  extensions->performWithExtensionType(AKImageExtensionType::camera, numbered);
  auto first = std::dynamic_pointer_cast<AKCamera>(picker->presentedViewController());
  ASSERT_TRUE(first);
  EXPECT_FALSE(first->containsGPSInMetadata);
  extensions->finishWithExtensionType(AKImageExtensionType::camera);
  advance(1);
  drainMainLoop();
  EXPECT_FALSE(picker->presentedViewController());

  auto located = request();
  located[kAKExtensionContainsGPSInMetadata] = true;
  extensions->performWithExtensionType(AKImageExtensionType::camera, located);
  auto second = std::dynamic_pointer_cast<AKCamera>(picker->presentedViewController());
  ASSERT_TRUE(second);
  EXPECT_TRUE(second->containsGPSInMetadata);
  advance(1);
  drainMainLoop();
  // The camera's callbacks are the request's.
  ASSERT_TRUE(shoot(second));
  ASSERT_TRUE(RunMainLoopUntil([&] { return captured.size() == 1; }));
  ASSERT_TRUE(captured[0]);
  // The photo's properties come along with it.
  ASSERT_TRUE(capturedMetadata[0]);
  EXPECT_FALSE(capturedMetadata[0]->empty());
  second->cancelButton()->sendActionsForControlEvents(UIControlEventTouchUpInside);
  EXPECT_EQ(cancels, 1);
  extensions->finishWithExtensionType(AKImageExtensionType::camera);
  advance(1);
  drainMainLoop();
}

}  // namespace camera_extension_test
