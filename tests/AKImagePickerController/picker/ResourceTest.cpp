#include <gtest/gtest.h>

#include "AKImagePickerController/picker/internal/AKImagePickerControllerResource.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIScreen.h"
#include "PickerTestSupport.h"

namespace resource_test {

using R = AKImagePickerControllerResource;
using ResourceTest = PickerUITest;

TEST_F(ResourceTest, TextsComeFromTheCallbackThenTheTableThenTheKey) {
  EXPECT_EQ(R::localizedString("picker.select.done.title"), "Done");
  EXPECT_EQ(R::localizedString("picker.albums"), "Albums");
  EXPECT_EQ(R::localizedString("picker.no.such.key"), "picker.no.such.key");
  EXPECT_EQ(R::localizedString("picker.no.such.key", "fallback"), "fallback");
  // Every key the screens read is in the shipped table.
  for (const char* key :
       {"picker.select.photosOrVideos.error.title", "picker.select.photosOrVideos.error.message",
        "picker.select.maxLimitReached.error.title", "picker.select.maxLimitReached.error.message",
        "picker.alert.ok", "picker.select.done.title", "picker.select.title", "picker.select.all.title",
        "picker.albums", "permission.photo.title", "permission.camera.title", "permission.allow"}) {
    EXPECT_NE(R::localizedString(key), key);
  }

  std::vector<std::string> asked;
  R::setCustomLocalizationBlock([&](const std::string& key) -> std::optional<std::string> {
    asked.push_back(key);
    if (key == "picker.albums") return std::string();
    if (key == "picker.alert.ok") return std::string("Sure");
    return std::nullopt;
  });
  EXPECT_EQ(R::localizedString("picker.albums"), "");  // an empty answer wins
  EXPECT_EQ(R::localizedString("picker.alert.ok"), "Sure");
  EXPECT_EQ(R::localizedString("picker.select.done.title"), "Done");
  EXPECT_EQ(asked, (std::vector<std::string>{"picker.albums", "picker.alert.ok", "picker.select.done.title"}));
  R::setCustomLocalizationBlock(nullptr);
  EXPECT_EQ(R::localizedString("picker.albums"), "Albums");
}

TEST_F(ResourceTest, FormatsFillOnlyTheFirstObjectPlaceholderAndKeepEveryOtherPercent) {
  EXPECT_EQ(R::formatWithObject("Done (%@)", "3"), "Done (3)");
  EXPECT_EQ(R::formatWithObject("%1$@ selected", "12"), "12 selected");
  EXPECT_EQ(R::formatWithObject("%@ of %@", "1"), "1 of %@");
  EXPECT_EQ(R::formatWithObject("100% %d %s %n %@", "7"), "100% %d %s %n 7");
  EXPECT_EQ(R::formatWithObject("%1$@ %@", "5"), "5 %@");
  EXPECT_EQ(R::formatWithObject("%@ %1$@", "5"), "5 %1$@");
  EXPECT_EQ(R::formatWithObject("no placeholder %", "5"), "no placeholder %");
  EXPECT_EQ(R::formatWithObject("", "5"), "");
  // The object is inserted as it is, never read as a format itself.
  EXPECT_EQ(R::formatWithObject("(%@)", "%@%s"), "(%@%s)");

  EXPECT_EQ(R::formattedCount(7), "7");
  EXPECT_EQ(R::formattedCount(1000), "1,000");
  EXPECT_EQ(R::formattedCount(50000), "50,000");
}

TEST_F(ResourceTest, BundleImagesComeAtScreenScaleWithTheirFlags) {
  for (auto image : {R::checkedImage(), R::blueTickImage(), R::cameraImage(), R::videoCameraImage(),
                     R::emptyAlbumImage(), R::galleryCheckedImage(), R::galleryUncheckedImage(),
                     R::galleryBackArrowImage()}) {
    ASSERT_TRUE(image);
    ASSERT_TRUE(image->CGImage());
    EXPECT_EQ(image->scale(), UIScreen::mainScreen()->scale());
    EXPECT_GT(image->size().width, 0);
  }
  auto checked = R::checkedImage();
  EXPECT_EQ(checked->renderingMode(), UIImageRenderingModeAlwaysTemplate);
  EXPECT_TRUE(checked->isResizable());
  CGSize size = checked->size();
  EXPECT_EQ(checked->capInsets(), UIEdgeInsetsMake(size.height / 2, size.width / 2, size.height / 2, size.width / 2));
  EXPECT_EQ(R::galleryBackArrowImage()->renderingMode(), UIImageRenderingModeAlwaysOriginal);
  EXPECT_FALSE(R::blueTickImage()->isResizable());
  EXPECT_FALSE(R::cameraImage()->isResizable());
  EXPECT_FALSE(R::videoCameraImage()->isResizable());
  EXPECT_TRUE(R::emptyAlbumImage()->isResizable());
  EXPECT_TRUE(R::galleryCheckedImage()->isResizable());
  EXPECT_TRUE(R::galleryUncheckedImage()->isResizable());
  EXPECT_EQ(R::blueTickImage()->renderingMode(), UIImageRenderingModeAutomatic);

  // Cacheable names hand out the kept image; others are made again.
  EXPECT_EQ(R::galleryCheckedImage(), R::galleryCheckedImage());
  EXPECT_NE(R::emptyAlbumImage(), R::emptyAlbumImage());
  EXPECT_EQ(R::videoCameraImage(), R::image("video_camera", true, true));  // kept by name alone
}

TEST_F(ResourceTest, MissingImagesAreEmptyAndKeptOnlyWhenCacheable) {
  auto missing = R::image("no_such_image", true, true);
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->size().width, 0);
  EXPECT_FALSE(missing->CGImage());
  EXPECT_EQ(R::image("no_such_image", false, true), missing);

  auto loose = R::image("another_missing", false, false);
  ASSERT_TRUE(loose);
  EXPECT_EQ(loose->size().width, 0);
  EXPECT_NE(R::image("another_missing", false, false), loose);
}

TEST_F(ResourceTest, TheImageCallbackAnswersFirstUnstretchedAndUncached) {
  auto fromBundle = R::galleryUncheckedImage();  // cached before the callback
  auto custom = std::make_shared<UIImage>();
  int calls = 0;
  R::setCustomImageBlock([&](const std::string& name) -> std::shared_ptr<UIImage> {
    ++calls;
    return name == "checked_background" || name == "photoGallery_back_arrow" ? custom : nullptr;
  });
  auto checked = R::checkedImage();
  EXPECT_EQ(checked->renderingMode(), UIImageRenderingModeAlwaysTemplate);  // still tinted
  EXPECT_FALSE(checked->isResizable());
  EXPECT_EQ(R::galleryBackArrowImage()->renderingMode(), UIImageRenderingModeAlwaysOriginal);
  EXPECT_EQ(R::galleryUncheckedImage(), fromBundle);  // not answered: the kept image
  EXPECT_EQ(calls, 3);

  // The callback's image never entered the cache.
  R::setCustomImageBlock(nullptr);
  auto afterwards = R::checkedImage();
  EXPECT_TRUE(afterwards->isResizable());
  EXPECT_TRUE(afterwards->CGImage());
}

}  // namespace resource_test
