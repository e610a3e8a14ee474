#include "AKImagePickerController/data/AKAsset.h"
#include "AKImagePickerController/data/AKImageDataManager.h"
#include "AKImagePickerController/data/PickerTestSupport.h"
#include "platform/foundation/Value.h"

namespace fetch_operations_test {

class FetchOperationsTest : public PickerTest {
 protected:
  AKAssetPtr libraryAsset() {
    EXPECT_TRUE(WriteFixtureImage(path("a.jpg"), "public.jpeg", 8, 8));
    return AKAsset::initWithOriginalAsset(PHAsset::fetchAssetsWithOptions(nullptr)->firstObject());
  }
};

TEST_F(FetchOperationsTest, TheFullScreenCacheKeepsOnlyAFinalImage) {
  auto asset = libraryAsset();
  // First answer: an error without image. It reaches the caller but is not kept.
  ScriptedAnswer failed;
  failed.result = ScriptedAnswer::Result::Error;
  failed.error = NSError::errorWithDescription("test", 1, "gone");
  provider_->queueAnswer(failed);
  int answers = 0;
  asset->fetchFullScreenImage([&](const UIImagePtr& image, const Value&) {
    EXPECT_FALSE(image);
    ++answers;
  });
  EXPECT_EQ(answers, 1);
  auto calls = provider_->calls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].imageOptions->deliveryMode, PHImageRequestOptionsDeliveryModeHighQualityFormat);
  EXPECT_EQ(calls[0].imageOptions->resizeMode, PHImageRequestOptionsResizeModeExact);
  EXPECT_FALSE(calls[0].imageOptions->networkAccessAllowed);
  EXPECT_EQ(calls[0].targetSize, CGSizeMake(390 * 3, 844 * 3));  // the main screen in pixels

  // A degraded image whose final answer has none: nothing is kept either.
  ScriptedAnswer lost;
  lost.result = ScriptedAnswer::Result::DegradedThenFinal;
  lost.degradedImage = UIImage::imageWithCGImage(MakeFixtureBitmap(2, 2));
  provider_->queueAnswer(lost);
  std::vector<UIImagePtr> partial;
  asset->fetchFullScreenImage([&](const UIImagePtr& image, const Value&) { partial.push_back(image); });
  EXPECT_EQ(partial, (std::vector<UIImagePtr>{lost.degradedImage, nullptr}));
  EXPECT_EQ(provider_->calls().size(), 2u);

  // Degraded then final: only the final one is kept.
  ScriptedAnswer twice;
  twice.result = ScriptedAnswer::Result::DegradedThenFinal;
  twice.degradedImage = UIImage::imageWithCGImage(MakeFixtureBitmap(2, 2));
  twice.image = UIImage::imageWithCGImage(MakeFixtureBitmap(6, 6));
  provider_->queueAnswer(twice);
  std::vector<UIImagePtr> images;
  asset->fetchFullScreenImage([&](const UIImagePtr& image, const Value&) { images.push_back(image); });
  ASSERT_EQ(images.size(), 2u);
  EXPECT_EQ(provider_->calls().size(), 3u);

  UIImagePtr cached;
  asset->fetchFullScreenImage([&](const UIImagePtr& image, const Value& info) {
    cached = image;
    EXPECT_FALSE(info.find(PHImageResultIsDegradedKey)->asBool());
  });
  EXPECT_EQ(cached, twice.image);
  EXPECT_EQ(provider_->calls().size(), 3u);  // answered from the cache, no request
}

TEST_F(FetchOperationsTest, InMemoryImagesAnswerAtOnceAsPNGWithAlphaOrJPEGWithout) {
  auto opaque = AKAsset::initWithImage(UIImage::imageWithCGImage(MakeFixtureBitmap(4, 4)));
  auto clear = AKAsset::initWithImage(UIImage::imageWithCGImage(MakeFixtureBitmap(4, 4, true)));
  UIImagePtr got;
  opaque->fetchImage(CGSizeMake(100, 100), nullptr, PHImageContentModeAspectFit,
                     [&](const UIImagePtr& image, const Value&) { got = image; });
  EXPECT_EQ(got, opaque->image());
  EXPECT_TRUE(opaque->pendingRequestIDs().empty());
  EXPECT_TRUE(provider_->calls().empty());

  NSDataPtr jpeg, png;
  opaque->fetchImageData(nullptr, 0.5, [&](const NSDataPtr& data, const Value&) { jpeg = data; });
  clear->fetchImageData(nullptr, 0.5, [&](const NSDataPtr& data, const Value&) { png = data; });
  ASSERT_TRUE(jpeg && png);
  EXPECT_EQ(jpeg->bytes()[0], 0xFF);
  EXPECT_EQ(jpeg->bytes()[1], 0xD8);
  EXPECT_EQ(png->bytes()[1], 'P');
  // The caller's quality is the one encoded with: a low one gives fewer bytes.
  auto detailed = AKAsset::initWithImage(UIImage::imageWithCGImage(MakeFixtureBitmap(64, 64)));
  NSDataPtr rough, fine;
  detailed->fetchImageData(nullptr, 0.1, [&](const NSDataPtr& data, const Value&) { rough = data; });
  detailed->fetchImageData(nullptr, 1.0, [&](const NSDataPtr& data, const Value&) { fine = data; });
  ASSERT_TRUE(rough && fine);
  EXPECT_LT(rough->length(), fine->length());

  UIImagePtr original;
  clear->fetchOriginalImage(nullptr, [&](const UIImagePtr& image, const Value&) { original = image; });
  EXPECT_EQ(original, clear->image());
}

TEST_F(FetchOperationsTest, CancelRequestsHandsOverEveryIdentifierOnce) {
  auto asset = libraryAsset();
  ScriptedAnswer held;
  held.result = ScriptedAnswer::Result::Never;
  provider_->setDefaultAnswer(held);
  asset->fetchImage(CGSizeMake(4, 4), nullptr, PHImageContentModeAspectFill, nullptr);
  asset->fetchImageData(nullptr, 0.9, nullptr);
  // The original image is decoded from the library's data.
  ScriptedAnswer data;
  data.data = NSData::dataWithContentsOfFile(path("a.jpg"));
  provider_->queueAnswer(data);
  UIImagePtr decoded;
  asset->fetchOriginalImage(nullptr, [&](const UIImagePtr& image, const Value&) { decoded = image; });
  ASSERT_TRUE(decoded);
  EXPECT_EQ(decoded->size().width, 8);
  EXPECT_EQ(asset->pendingRequestIDs(), (std::vector<int32_t>{1, 2, 3}));

  asset->cancelRequests();
  EXPECT_TRUE(asset->pendingRequestIDs().empty());
  // The two held requests were tracked and are cancelled; the answered one was forgotten.
  EXPECT_EQ(provider_->cancelled().size(), 2u);
  asset->cancelRequests();
  EXPECT_EQ(provider_->cancelled().size(), 2u);
}

}  // namespace fetch_operations_test
