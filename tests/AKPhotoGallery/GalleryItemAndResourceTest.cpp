#include <gtest/gtest.h>

#include "AKPhotoGallery/AKPhotoGalleryItem.h"
#include "AKPhotoGallery/internal/AKPhotoGalleryResource.h"
#include "AKPhotoGallery/internal/AKPhotoImageDownloader.h"
#include "GalleryTestSupport.h"
#include "platform/foundation/Value.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIScreen.h"

namespace gallery_item_and_resource_test {

class GalleryItemTest : public GalleryTest {};

TEST_F(GalleryItemTest, ConstructorsSetOnlyTheirFieldAndItemsAreDistinctPages) {
  auto plain = AKPhotoGalleryItem::item();
  EXPECT_FALSE(plain->thumbnail() || plain->image() || plain->imageURL() || plain->videoURL() ||
               plain->pdfURL() || plain->asset() || plain->assetLocalIdentifier());
  EXPECT_TRUE(plain->extraInfo().isNull());

  auto url = NSURL::URLWithString("https://example.com/a.mp4");
  auto video = AKPhotoGalleryItem::itemWithVideoURL(url);
  EXPECT_EQ(video->videoURL(), url);
  EXPECT_EQ(video->imageURL(), nullptr);
  EXPECT_EQ(video->pdfURL(), nullptr);

  auto a = AKPhotoGalleryItem::itemWithImageURL(url);
  auto b = AKPhotoGalleryItem::itemWithImageURL(url);
  EXPECT_FALSE(a->isEqual(*b));
  EXPECT_NE(a->hash(), b->hash());
}

TEST_F(GalleryItemTest, ItemsFromStringsKeepOrderAndCountEvenForUnparsableStrings) {
  auto items = AKPhotoGalleryItem::itemsWithImageURLStrings(
      {"https://example.com/1.png", "", "http://[::1", "file:///tmp/2.png"});
  ASSERT_EQ(items.size(), 4u);
  ASSERT_TRUE(items[0]->imageURL());
  EXPECT_EQ(items[0]->imageURL()->absoluteString(), "https://example.com/1.png");
  EXPECT_EQ(items[1]->imageURL(), nullptr);
  EXPECT_EQ(items[2]->imageURL(), nullptr);
  ASSERT_TRUE(items[3]->imageURL());
  EXPECT_EQ(items[3]->imageURL()->path(), "/tmp/2.png");
  EXPECT_TRUE(AKPhotoGalleryItem::itemsWithImageURLStrings({}).empty());

  auto fromURLs = AKPhotoGalleryItem::itemsWithImageURLs(
      {NSURL::URLWithString("https://a.example/x"), NSURL::URLWithString("https://b.example/y")});
  ASSERT_EQ(fromURLs.size(), 2u);
  EXPECT_EQ(fromURLs[1]->imageURL()->absoluteString(), "https://b.example/y");

  EXPECT_EQ(AKPhotoGalleryItemConstant::extraInfoKeyRemoteImageOriginalURL(),
            "AKPhotoGalleryItemExtraInfoKeyRemoteImageOriginalURL");
  EXPECT_EQ(AKPhotoGalleryItemConstant::extraInfoKeyRemoteImageOriginalSize(),
            "AKPhotoGalleryItemExtraInfoKeyRemoteImageOriginalSize");
}

class GalleryResourceTest : public GalleryTest {};

TEST_F(GalleryResourceTest, TextsComeFromTheCallbackThenTheTableThenTheKey) {
  EXPECT_EQ(AKPhotoGalleryResource::localizedStringWithKey("preview.image.fetch.error"),
            "The image could not be loaded");
  EXPECT_EQ(AKPhotoGalleryResource::localizedStringWithKey("preview.no.such.key"),
            "preview.no.such.key");
  EXPECT_EQ(AKPhotoGalleryResource::localizedStringWithKey("preview.no.such.key", "fallback"),
            "fallback");

  AKPhotoGalleryResource::setCustomLocalizationBlock(
      [](const std::string& key) -> std::optional<std::string> {
        if (key == "preview.image.longPress.cancel") return std::string();
        if (key == "preview.player.fetch.error") return std::string("Custom");
        return std::nullopt;
      });
  // An empty answer wins; no answer falls through to the table.
  EXPECT_EQ(AKPhotoGalleryResource::localizedStringWithKey("preview.image.longPress.cancel"), "");
  EXPECT_EQ(AKPhotoGalleryResource::localizedStringWithKey("preview.player.fetch.error"), "Custom");
  EXPECT_EQ(AKPhotoGalleryResource::localizedStringWithKey("preview.image.fetch.error"),
            "The image could not be loaded");

  auto error = AKPhotoImageFetchError();
  EXPECT_EQ(error->domain(), "dev.tarnquell.quorlinex");
  EXPECT_EQ(error->code(), -1);
  EXPECT_EQ(error->localizedDescription(), "The image could not be loaded");
  AKPhotoGalleryResource::setCustomLocalizationBlock(nullptr);
}

TEST_F(GalleryResourceTest, ImagesAreFoundAtTheScreenScaleAndTheControlBackgroundStretchesInside) {
  for (auto image : {AKPhotoGalleryResource::downloadFailedImage(),
                     AKPhotoGalleryResource::closeVideoImage(),
                     AKPhotoGalleryResource::videoPlayImage(),
                     AKPhotoGalleryResource::videoToolbarPlayImage(),
                     AKPhotoGalleryResource::videoToolbarPauseImage(),
                     AKPhotoGalleryResource::videoTimeSliderImage()}) {
    ASSERT_TRUE(image);
    ASSERT_TRUE(image->CGImage());
    EXPECT_EQ(image->scale(), UIScreen::mainScreen()->scale());
  }
  EXPECT_EQ(AKPhotoGalleryResource::downloadFailedImage()->size().width, 44);

  auto background = AKPhotoGalleryResource::videoPlayControlBackgroundImage();
  CGSize size = background->size();
  EXPECT_EQ(background->capInsets(),
            UIEdgeInsetsMake(size.height / 2, size.width / 2, size.height / 2, size.width / 2));

  auto missing = AKPhotoGalleryResource::imageNamed("NoSuchImage");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->size().width, 0);
}

}  // namespace gallery_item_and_resource_test
