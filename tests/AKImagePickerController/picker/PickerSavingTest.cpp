#include <gtest/gtest.h>

#include <dirent.h>

#include <set>

#include "PickerCoreSupport.h"
#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSThread.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/uikit/UIGraphicsImageRenderer.h"

namespace picker_saving_test {

namespace {

std::set<std::string> filesIn(const std::string& folder) {
  std::set<std::string> names;
  if (DIR* dir = opendir(folder.c_str())) {
    while (auto* entry = readdir(dir))
      if (entry->d_name[0] != '.') names.insert(entry->d_name);
    closedir(dir);
  }
  return names;
}

UIImagePtr drawnImage() {
  auto renderer = std::make_shared<UIGraphicsImageRenderer>(CGSizeMake(20, 10));
  return renderer->imageWithActions([](UIGraphicsImageRendererContext& context) {
    UIColor::redColor()->setFill();
    context.fillRect(CGRectMake(0, 0, 20, 10));
  });
}

ValueMap exifWithMake(const std::string& make) {
  return ValueMap{{Value("{Exif}"), Value(ValueMap{{Value("DateTimeOriginal"), Value("2024:05:01 12:00:00")}})},
                  {Value("{TIFF}"), Value(ValueMap{{Value("Make"), Value(make)}})},
                  {Value("Orientation"), Value(int64_t{6})}};
}

}  // namespace

class PickerSavingTest : public PickerCoreTest {
 protected:
  AKAssetPtr saveAndWait(const std::function<void(AKImagePickerController::AssetCompletion)>& save) {
    AKAssetPtr saved;
    bool done = false;
    save([&](const AKAssetPtr& asset) {
      EXPECT_TRUE(NSThread::isMainThread());
      saved = asset;
      done = true;
    });
    EXPECT_TRUE(waitFor([&] { return done; }));
    return saved;
  }
};

TEST_F(PickerSavingTest, APhotoWithMetadataIsWrittenIntoTheLibraryWithItAndFoundAgain) {
  auto picker = std::make_shared<TestPicker>();
  auto before = filesIn(library_);
  auto saved = saveAndWait([&](auto completion) {
    picker->saveImage(drawnImage(), exifWithMake("QX Camera"), std::move(completion));
  });
  ASSERT_TRUE(saved);
  ASSERT_TRUE(saved->originalAsset()) << "kept only in memory";
  auto after = filesIn(library_);
  ASSERT_EQ(after.size(), before.size() + 1);
  auto again = PHAsset::fetchAssetsWithLocalIdentifiers({saved->localIdentifier()}, nullptr);
  ASSERT_EQ(again->count(), 1);

  std::string file;
  for (auto& name : after)
    if (!before.count(name)) file = library_ + "/" + name;
  auto source = CGImageSourceCreateWithURL(file);
  ASSERT_TRUE(source);
  EXPECT_EQ(CGImageSourceGetType(source), "public.jpeg");
  Value properties = CGImageSourceCopyPropertiesAtIndex(source, 0);
  const Value* exif = properties.find("{Exif}");
  ASSERT_TRUE(exif);
  ASSERT_TRUE(exif->find("DateTimeOriginal"));
  EXPECT_EQ(exif->find("DateTimeOriginal")->asString(), "2024:05:01 12:00:00");
  const Value* tiff = properties.find("{TIFF}");
  ASSERT_TRUE(tiff && tiff->find("Make"));
  EXPECT_EQ(tiff->find("Make")->asString(), "QX Camera");
  EXPECT_EQ(properties.find("Orientation")->asInt64(), 6);
  auto image = drawnImage();
  // Orientation 6 turns the stored picture a quarter: the library reads it upright.
  EXPECT_EQ(saved->pixelWidth(), image->size().height * image->scale());
  EXPECT_EQ(saved->pixelHeight(), image->size().width * image->scale());
}

TEST_F(PickerSavingTest, APhotoWithoutMetadataGoesThroughAnImageRequest) {
  auto picker = std::make_shared<TestPicker>();
  auto image = drawnImage();
  auto saved = saveAndWait([&](auto completion) { picker->saveImage(image, std::nullopt, std::move(completion)); });
  ASSERT_TRUE(saved && saved->originalAsset());
  EXPECT_EQ(filesIn(library_).size(), 1u);
  EXPECT_EQ(saved->type(), AKAssetType::photo);
}

TEST_F(PickerSavingTest, DataTheLibraryCannotTakeKeepsTheCapturedImage) {
  auto picker = std::make_shared<TestPicker>();
  auto image = drawnImage();
  auto garbage = NSData::dataWithBytes(Bytes{'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e'});
  auto saved = saveAndWait([&](auto completion) { picker->saveImageDataToAlbum(garbage, std::move(completion), image); });
  ASSERT_TRUE(saved);
  EXPECT_FALSE(saved->originalAsset());
  EXPECT_EQ(saved->image(), image);  // never an empty picture
  // Decodable data that failed to save comes back decoded.
  auto jpeg = UIImageJPEGRepresentation(image, 0.9);
  ASSERT_TRUE(jpeg);
  EXPECT_TRUE(picker->writeMetadata(exifWithMake("x"), jpeg));
  EXPECT_FALSE(picker->writeMetadata(exifWithMake("x"), garbage));
}

TEST_F(PickerSavingTest, RewritingTheMetadataOfAJPEGLeavesItsCodedPictureAsItWas) {
  auto picker = std::make_shared<TestPicker>();
  auto jpeg = UIImageJPEGRepresentation(drawnImage(), 1.0);
  ASSERT_TRUE(jpeg);
  auto rewritten = picker->writeMetadata(exifWithMake("Spliced"), jpeg);
  ASSERT_TRUE(rewritten);
  // Everything from the first start-of-scan marker on is the coded picture.
  auto scan = [](const NSDataPtr& data) {
    const Bytes& bytes = data->vector();
    for (size_t i = 0; i + 1 < bytes.size(); ++i) {
      if (bytes[i] == 0xFF && bytes[i + 1] == 0xDA) return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(i), bytes.end());
    }
    return Bytes();
  };
  ASSERT_FALSE(scan(jpeg).empty());
  EXPECT_EQ(scan(rewritten), scan(jpeg));
  Value properties = CGImageSourceCopyPropertiesAtIndex(CGImageSourceCreateWithData(rewritten), 0);
  ASSERT_TRUE(properties.find("{TIFF}") && properties.find("{TIFF}")->find("Make"));
  EXPECT_EQ(properties.find("{TIFF}")->find("Make")->asString(), "Spliced");
  EXPECT_EQ(properties.find("Orientation")->asInt64(), 6);
}

TEST_F(PickerSavingTest, ACapturedVideoIsSavedAndSelected) {
  auto picker = presentPicker();
  std::string clip = folder_->path() + "/capture.mp4";
  ASSERT_TRUE(WriteFixtureVideo(clip, 16, 16, 3));
  picker->didFinishCapturingVideo(NSURL::fileURLWithPath(clip));
  ASSERT_TRUE(waitFor([&] { return !picker->selectedAssets().empty(); }));
  auto asset = picker->selectedAssets()[0];
  EXPECT_EQ(asset->type(), AKAssetType::video);
  ASSERT_TRUE(asset->originalAsset());
  EXPECT_EQ(filesIn(library_).size(), 1u);

  // A video the library refuses selects nothing.
  picker->didFinishCapturingVideo(NSURL::fileURLWithPath(folder_->path() + "/missing.mp4"));
  for (int i = 0; i < 20; ++i) NSRunLoop::mainRunLoop().runOnce(0.025);
  EXPECT_EQ(picker->selectedAssets().size(), 1u);
}

TEST_F(PickerSavingTest, ACapturedPhotoGoesThroughTheEditorWhenThereIsOneThenIsSelected) {
  auto picker = presentPicker();
  auto image = drawnImage();
  // No editor: saved and selected straight away.
  picker->didFinishCapturingImage(image, std::nullopt);
  ASSERT_TRUE(waitFor([&] { return picker->selectedAssets().size() == 1; }));

  AKImageExtensionController::registerExtensionWithExtensionClass(
      AKImageExtensionClass::of<RecordingExtension>("Tests.Editor", AKImageExtensionType::photoEditor),
      AKImageExtensionType::photoEditor);
  picker->didFinishCapturingImage(image, exifWithMake("c"));
  auto editor = std::dynamic_pointer_cast<RecordingExtension>(
      picker->extensionController()->cachedExtension(AKImageExtensionType::photoEditor));
  ASSERT_TRUE(editor);
  ASSERT_EQ(editor->performed.size(), 1u);
  const auto& info = editor->performed[0];
  EXPECT_EQ(AKImageExtensionValue<UIImagePtr>(info, kAKExtensionImage), image);
  ASSERT_TRUE(AKImageExtensionValue<ValueMap>(info, kAKExtensionMetadata));
  auto edited = AKImageExtensionValue<AKImageExtensionEditBlock>(info, kAKExtensionDidFinishEditing);
  ASSERT_TRUE(edited);
  EXPECT_EQ(picker->selectedAssets().size(), 1u);  // nothing until the edit ends
  (*edited)(drawnImage(), std::nullopt);
  ASSERT_TRUE(waitFor([&] { return picker->selectedAssets().size() == 2; }));
  EXPECT_EQ(filesIn(library_).size(), 2u);

  // Without metadata the editor gets no metadata key.
  picker->didFinishCapturingImage(image, std::nullopt);
  EXPECT_FALSE(editor->performed.back().count(kAKExtensionMetadata));
}

}  // namespace picker_saving_test
