#include <memory>
#include <string>

#include "platform/foundation/Value.h"
#include "support/images/ImageLoadingTestSupport.h"
#include "image_loading/animated/ILAnimatedImage.h"
#include "image_loading/cache/ILImageCache.h"
#include "image_loading/cache/ILImageCacheDefine.h"
#include "image_loading/coders/UIImageMetadata.h"
#include "image_loading/coders/ILImageCoder.h"
#include "image_loading/coders/ILImageCoderHelper.h"
#include "image_loading/coders/ILImageCodersManager.h"
#include "image_loading/coders/UIImageMultiFormat.h"
#include "image_loading/coders/ILImageCoderOptions.h"
#include "image_loading/downloader/internal/ILImageLoaderDecoding.h"
#include "image_loading/cache/ILRemoteImageCacheKeyFilter.h"
#include "platform/foundation/NSURL.h"
#include "platform/uikit/UIImage.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"

namespace decoding_functions_test {

namespace {

using il_test::AnimatedFile;
using il_test::Near;
using il_test::PixelAt;

constexpr std::array<uint8_t, 4> kRed{255, 0, 0, 255};
constexpr std::array<uint8_t, 4> kGreen{0, 255, 0, 255};
constexpr std::array<uint8_t, 4> kBlue{0, 0, 255, 255};

// A class whose initialisers always fail.
class FailingImageClass : public ILAnimatedImageClass {
 public:
  UIImagePtr imageWithData(const NSDataPtr&, double, const Value&) const override {
    return nullptr;
  }
  UIImagePtr imageWithAnimatedCoder(const ILAnimatedImageCoderPtr&, double) const override {
    return nullptr;
  }
  bool isKindOfClass(const UIImage&) const override { return false; }
};

Value contextWithClass(const ILAnimatedImageClassPtr& imageClass) {
  return Value::map(
      {{ILRemoteImageContextAnimatedImageClass, Value(std::shared_ptr<NSObject>(imageClass))}});
}

class DecodingFunctionsTest : public PlatformTest {
 protected:
  NSDataPtr gif = AnimatedFile("com.compuserve.gif", {{kRed, 0.1}, {kGreen, 0.2}, {kBlue, 0.1}});
};

TEST_F(DecodingFunctionsTest, AnimatedClassIsUsedAsTheOptionsSay) {
  const Value context = contextWithClass(ILAnimatedImage::imageClass());
  auto image = ILImageCacheDecodeImageData(gif, "a.gif", 0, context);
  auto animated = std::dynamic_pointer_cast<ILAnimatedImage>(image);
  ASSERT_NE(animated, nullptr);
  EXPECT_EQ(animated->animatedImageFrameCount(), 3u);
  EXPECT_FALSE(animated->isAllFramesLoaded());
  EXPECT_TRUE(il_decodeOptions(*animated).isMap());

  animated = std::dynamic_pointer_cast<ILAnimatedImage>(
      ILImageCacheDecodeImageData(gif, "a@2x.gif", ILRemoteImagePreloadAllFrames, context));
  ASSERT_NE(animated, nullptr);
  EXPECT_TRUE(animated->isAllFramesLoaded());
  EXPECT_EQ(animated->scale(), 2);

  // First frame only: no animated class, and the coder gives one frame.
  image = ILImageCacheDecodeImageData(gif, "a.gif", ILRemoteImageDecodeFirstFrameOnly, context);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(std::dynamic_pointer_cast<ILAnimatedImage>(image), nullptr);
  EXPECT_EQ(il_imageFrameCount(*image), 1u);

  // A failing class falls back to the coder unless the class must match.
  const Value failing = contextWithClass(std::make_shared<FailingImageClass>());
  image = ILImageCacheDecodeImageData(gif, "a.gif", 0, failing);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(il_imageFrameCount(*image), 3u);  // the coder's own animated image
  EXPECT_EQ(
      ILImageCacheDecodeImageData(gif, "a.gif", ILRemoteImageMatchAnimatedImageClass, failing),
      nullptr);
  // A context value that is not an image class is no class.
  const Value notAClass =
      Value::map({{ILRemoteImageContextAnimatedImageClass, Value(std::make_shared<NSObject>())}});
  EXPECT_NE(
      ILImageCacheDecodeImageData(gif, "a.gif", ILRemoteImageMatchAnimatedImageClass, notAClass),
      nullptr);

  EXPECT_DEATH(ILImageCacheDecodeImageData(nullptr, "k", 0, Value()),
               "Invalid parameter not satisfying: imageData");
}

TEST_F(DecodingFunctionsTest, LoaderDecodeTakesTheKeyFromTheFilterOrTheURL) {
  NSDataPtr png = il_test::StillFile("public.png", il_test::SolidImage(4, 4, kRed));
  auto image =
      ILImageLoaderDecodeImageData(png, NSURL::URLWithString("https://h/i%403x.png"), 0, Value());
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->scale(), 3);
  auto filter = ILRemoteImageCacheKeyFilter::cacheKeyFilterWithBlock(
      [](const NSURLPtr&) { return std::string("key@2x.png"); });
  const Value context =
      Value::map({{ILRemoteImageContextCacheKeyFilter, Value(std::shared_ptr<NSObject>(filter))}});
  image =
      ILImageLoaderDecodeImageData(png, NSURL::URLWithString("https://h/i%403x.png"), 0, context);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->scale(), 2);
  EXPECT_DEATH(ILImageLoaderDecodeImageData(png, nullptr, 0, Value()),
               "Invalid parameter not satisfying: imageURL");
}

TEST_F(DecodingFunctionsTest, ProgressiveDecodeMakesTheAnimatedClassFromItsCoder) {
  const NSURLPtr url = NSURL::URLWithString("https://h/anim.gif");
  const Value context = contextWithClass(ILAnimatedImage::imageClass());
  auto operation = std::make_shared<NSObject>();
  const size_t half = gif->length() / 2;
  auto partial = ILImageLoaderDecodeProgressiveImageData(NSData::dataWithBytes(gif->bytes(), half),
                                                         url, false, operation.get(), 0, context);
  ASSERT_NE(partial, nullptr);
  EXPECT_TRUE(il_isIncremental(*partial));
  auto animated = std::dynamic_pointer_cast<ILAnimatedImage>(
      ILImageLoaderDecodeProgressiveImageData(gif, url, true, operation.get(), 0, context));
  ASSERT_NE(animated, nullptr);
  EXPECT_FALSE(il_isIncremental(*animated));
  EXPECT_EQ(animated->animatedImageFrameCount(), 3u);
  EXPECT_TRUE(Near(PixelAt(animated->animatedImageFrameAtIndex(1)->CGImage(), 0, 0), kGreen));

  // First frame only asks the coder, not the class.
  auto still =
      ILImageLoaderDecodeProgressiveImageData(gif, url, true, std::make_shared<NSObject>().get(),
                                              ILRemoteImageDecodeFirstFrameOnly, context);
  ASSERT_NE(still, nullptr);
  EXPECT_EQ(std::dynamic_pointer_cast<ILAnimatedImage>(still), nullptr);
  // A class that fails: the coder's own image, or nothing when the class must match.
  const Value failing = contextWithClass(std::make_shared<FailingImageClass>());
  EXPECT_NE(ILImageLoaderDecodeProgressiveImageData(gif, url, true,
                                                    std::make_shared<NSObject>().get(), 0, failing),
            nullptr);
  EXPECT_EQ(
      ILImageLoaderDecodeProgressiveImageData(gif, url, true, std::make_shared<NSObject>().get(),
                                              ILRemoteImageMatchAnimatedImageClass, failing),
      nullptr);
}

TEST_F(DecodingFunctionsTest, AnUndecodableHEICIsNoImageOnEveryDecodeRoad) {
  NSDataPtr broken = il_test::UndecodableHEIC(64, 48);
  ASSERT_TRUE(broken);
  NSDataPtr good = il_test::StillFile("public.heic", il_test::PatternImage(64, 48));
  auto coder = ILImageCodersManager::sharedManager();
  // Made now (eagerly, or as a thumbnail), it is no image.
  const Value eager = Value::map({{kILImageCoderDecodeUseLazyDecoding, false}});
  const Value thumbnail = Value::map(
      {{kILImageCoderDecodeThumbnailPixelSize, ILImageCoderSizeValue({16, 16})}});
  EXPECT_FALSE(coder->decodedImageWithData(broken, eager));
  EXPECT_FALSE(coder->decodedImageWithData(broken, thumbnail));
  EXPECT_TRUE(coder->decodedImageWithData(good, eager));
  EXPECT_TRUE(coder->decodedImageWithData(good, thumbnail));
  // Lazily nothing is decoded before it shows; forcing the decode, whichever
  // way, finds no pixels, and that is no image either.
  UIImagePtr lazy = coder->decodedImageWithData(broken, Value());
  ASSERT_TRUE(lazy && lazy->CGImage()->isLazy());
  EXPECT_FALSE(il_decodedImageWithImage(lazy));
  EXPECT_FALSE(il_decodedImageWithImage(lazy));  // and again, once it is known to have none
  EXPECT_FALSE(il_decodedAndScaledDownImageWithImage(coder->decodedImageWithData(broken, Value()),
                                                     16 * 16 * 4));
  EXPECT_TRUE(il_decodedAndScaledDownImageWithImage(coder->decodedImageWithData(good, Value()),
                                                    16 * 16 * 4));
  // What the loader calls answers nothing, whatever the way of decoding.
  for (ILImageCoderDecodeSolution solution :
       {ILImageCoderDecodeSolutionAutomatic, ILImageCoderDecodeSolutionCoreGraphics,
        ILImageCoderDecodeSolutionUIKit}) {
    SCOPED_TRACE(solution);
    ILImageCoderHelper::setDefaultDecodeSolution(solution);
    EXPECT_FALSE(ILImageCacheDecodeImageData(broken, "broken.heic", 0, Value()));
    UIImagePtr decoded = ILImageCacheDecodeImageData(good, "good.heic", 0, Value());
    ASSERT_TRUE(decoded);
    EXPECT_TRUE(Near(PixelAt(decoded->CGImage(), 0, 0), {255, 255, 0, 255}, 24));
  }
  EXPECT_FALSE(ILImageLoaderDecodeImageData(broken, NSURL::URLWithString("https://h/b.heic"), 0,
                                            Value()));
}

TEST_F(DecodingFunctionsTest, QueryDropsAMemoryImageOfAnotherClassWhenAsked) {
  TempFolder folder;
  auto cache = ILImageCache::create("class-match", folder.path());
  cache->storeImageToMemory(il_test::SolidUIImage(4, 4, kRed), "k");
  const Value context = contextWithClass(ILAnimatedImage::imageClass());
  UIImagePtr found;
  ILImageCacheKind kind = -1;
  cache->queryCacheOperationForKey(
      "k", ILImageCacheMatchAnimatedImageClass | ILImageCacheQueryDiskDataSync, context,
      ILImageCacheKindAll, [&](UIImagePtr image, NSDataPtr, ILImageCacheKind k) {
        found = image;
        kind = k;
      });
  EXPECT_EQ(found, nullptr);  // not an animated image, and nothing on disk
  EXPECT_EQ(kind, ILImageCacheKindDisk);
  cache->queryCacheOperationForKey("k", 0, context, ILImageCacheKindAll,
                                   [&](UIImagePtr image, NSDataPtr, ILImageCacheKind k) {
                                     found = image;
                                     kind = k;
                                   });
  EXPECT_NE(found, nullptr);
  EXPECT_EQ(kind, ILImageCacheKindMemory);
  // The synchronous look-up falls back to the disk the same way.
  EXPECT_EQ(cache->imageFromCacheForKey("k", ILImageCacheMatchAnimatedImageClass, context),
            nullptr);
}

}  // namespace

}  // namespace decoding_functions_test
