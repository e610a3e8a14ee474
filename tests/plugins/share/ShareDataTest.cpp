#include <gtest/gtest.h>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/NSByteCountFormatter.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/Value.h"
#include "platform/linkpresentation/LPLinkMetadata.h"
#include "platform/uikit/UIActivityViewController.h"
#include "plugins/share/internal/ShareData.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"

namespace share_data_test {

namespace {

// A width x height photo-like gradient, as real JPEG bytes.
Bytes jpegBytes(size_t width, size_t height) {
  auto pixels = std::make_shared<Bytes>(width * height * 4);
  for (size_t y = 0; y < height; ++y) {
    for (size_t x = 0; x < width; ++x) {
      uint8_t* p = pixels->data() + (y * width + x) * 4;
      p[0] = static_cast<uint8_t>(x * 255 / width);
      p[1] = static_cast<uint8_t>(y * 255 / height);
      p[2] = 128;
      p[3] = 255;
    }
  }
  auto image = UIImage::imageWithCGImage(
      CGImage::create(width, height, 8, 32, width * 4,
                      kCGImageAlphaNoneSkipLast | kCGBitmapByteOrder32Big, pixels));
  auto data = UIImageJPEGRepresentation(image, 0.9);
  return data ? data->vector() : Bytes();
}

// Loads an item provider's object, waiting a bounded time for the background load.
std::shared_ptr<NSObject> loadObject(const NSItemProvider& provider) {
  auto done = dispatch_semaphore_create(0);
  auto out = std::make_shared<std::shared_ptr<NSObject>>();
  provider.loadObject([done, out](std::shared_ptr<NSObject> object, NSErrorPtr) {
    *out = std::move(object);
    dispatch_semaphore_signal(done);
  });
  EXPECT_EQ(dispatch_semaphore_wait(done, dispatch_time_after(5)), 0);
  return *out;
}

class ShareDataTest : public PlatformTest {
 protected:
  UIActivityViewController sheet_{ValueList{}, {}};
  TempFolder temp_;
};

TEST_F(ShareDataTest, TextItemsShareTheirTextUnderTheirSubject) {
  auto item = ShareData::initWithSubject(std::string("S"), std::string("T"));
  EXPECT_EQ(item->activityViewControllerPlaceholderItem(sheet_), Value("T"));
  EXPECT_EQ(
      item->activityViewControllerItemForActivityType(sheet_, std::string(UIActivityTypeMail)),
      Value("T"));
  EXPECT_EQ(item->activityViewControllerItemForActivityType(sheet_, std::nullopt), Value("T"));
  EXPECT_EQ(item->activityViewControllerSubjectForActivityType(sheet_, std::nullopt), "S");
  EXPECT_EQ(item->activityViewControllerThumbnailImageForActivityType(sheet_, std::nullopt,
                                                                      CGSizeMake(10, 10)),
            nullptr);
  auto preview = item->activityViewControllerLinkMetadata(sheet_);
  EXPECT_EQ(preview->title(), "S");
  EXPECT_EQ(preview->originalURL(), nullptr);
  EXPECT_EQ(preview->imageProvider(), nullptr);

  EXPECT_EQ(ShareData::initWithSubject(std::string(""), std::string("T"))
                ->activityViewControllerLinkMetadata(sheet_)
                ->title(),
            "T");
  // A null subject is kept as "", so the title falls back to the text.
  auto nullSubject = ShareData::initWithSubject(std::nullopt, std::string("T"));
  EXPECT_EQ(nullSubject->subject(), "");
  EXPECT_EQ(nullSubject->activityViewControllerLinkMetadata(sheet_)->title(), "T");
  EXPECT_EQ(ShareData::initWithSubject(std::string(""), std::string(""))
                ->activityViewControllerLinkMetadata(sheet_)
                ->title(),
            std::nullopt);
}

TEST_F(ShareDataTest, ImageFilesPreviewAsImagesAndShareAsFiles) {
  Bytes jpeg = jpegBytes(64, 48);
  ASSERT_FALSE(jpeg.empty());
  std::string path = temp_.writeFile("photo.jpg", jpeg);
  auto item = ShareData::initWithFile(path, std::string("image/jpeg"), std::string("Holiday"));

  auto placeholder = item->activityViewControllerPlaceholderItem(sheet_).objectAs<UIImage>();
  ASSERT_NE(placeholder, nullptr);
  EXPECT_EQ(placeholder->size(), CGSizeMake(64, 48));

  auto url =
      item->activityViewControllerItemForActivityType(sheet_, std::string(UIActivityTypeMail))
          .objectAs<NSURL>();
  ASSERT_NE(url, nullptr);
  EXPECT_TRUE(url->isFileURL());
  EXPECT_EQ(url->path(), path);

  // Scaled to the suggested size exactly, aspect ratio not kept.
  auto thumbnail = item->activityViewControllerThumbnailImageForActivityType(
      sheet_, std::string(UIActivityTypeMail), CGSizeMake(20, 30));
  ASSERT_NE(thumbnail, nullptr);
  EXPECT_EQ(thumbnail->size(), CGSizeMake(20, 30));
  ASSERT_NE(thumbnail->CGImage(), nullptr);
  // The gradient survives: red grows to the right.
  auto pixels = thumbnail->CGImage()->pixelData();
  size_t row = thumbnail->CGImage()->bytesPerRow();
  bool bgra = thumbnail->CGImage()->byteOrder() == kCGBitmapByteOrder32Little;
  int red = bgra ? 2 : 0;
  EXPECT_LT((*pixels)[15 * row + 1 * 4 + red] + 100, (*pixels)[15 * row + 18 * 4 + red]);

  auto preview = item->activityViewControllerLinkMetadata(sheet_);
  EXPECT_EQ(preview->title(), "Holiday");
  ASSERT_NE(preview->originalURL(), nullptr);
  EXPECT_EQ(
      preview->originalURL()->lastPathComponent(),
      "JPG \u2022 " + NSByteCountFormatter::stringFromByteCount(
                          static_cast<int64_t>(jpeg.size()), NSByteCountFormatterCountStyle::File));
  ASSERT_NE(preview->imageProvider(), nullptr);
  auto image = std::dynamic_pointer_cast<UIImage>(loadObject(*preview->imageProvider()));
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->size(), CGSizeMake(120, 120));
}

TEST_F(ShareDataTest, OtherFilesPreviewTheirSizeOnly) {
  std::string path = temp_.writeFile("README", std::string(1500, 'x'));
  auto item = ShareData::initWithFile(path, std::string("text/plain"));
  EXPECT_EQ(item->subject(), std::nullopt);
  auto preview = item->activityViewControllerLinkMetadata(sheet_);
  EXPECT_EQ(preview->title(), std::nullopt);
  ASSERT_NE(preview->originalURL(), nullptr);
  EXPECT_EQ(preview->originalURL()->lastPathComponent(), "2 KB");
  EXPECT_EQ(preview->imageProvider(), nullptr);
  EXPECT_EQ(item->activityViewControllerThumbnailImageForActivityType(sheet_, std::nullopt,
                                                                      CGSizeMake(10, 10)),
            nullptr);
  // Not an image: even the placeholder is the file.
  EXPECT_NE(item->activityViewControllerPlaceholderItem(sheet_).objectAs<NSURL>(), nullptr);
}

TEST_F(ShareDataTest, FilesShareAsFilesWithoutMimeTypeOrReadableImage) {
  std::string path = temp_.writeFile("scan.png", "not really a png");
  auto untyped = ShareData::initWithFile(path, std::nullopt);
  auto item =
      untyped->activityViewControllerItemForActivityType(sheet_, std::string(UIActivityTypeMail));
  ASSERT_NE(item.objectAs<NSURL>(), nullptr);
  EXPECT_EQ(item.objectAs<NSURL>()->path(), path);
  EXPECT_NE(untyped->activityViewControllerPlaceholderItem(sheet_).objectAs<NSURL>(), nullptr);

  // Claimed to be an image but does not decode: the placeholder falls back to the file.
  auto broken = ShareData::initWithFile(path, std::string("image/png"));
  EXPECT_NE(broken->activityViewControllerPlaceholderItem(sheet_).objectAs<NSURL>(), nullptr);
  EXPECT_EQ(broken->activityViewControllerThumbnailImageForActivityType(sheet_, std::nullopt,
                                                                        CGSizeMake(10, 10)),
            nullptr);
  auto preview = broken->activityViewControllerLinkMetadata(sheet_);
  EXPECT_EQ(preview->originalURL()->lastPathComponent(), "PNG \u2022 16 bytes");
  EXPECT_EQ(preview->imageProvider(), nullptr);
}

}  // namespace

}  // namespace share_data_test
