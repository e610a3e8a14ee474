#include <memory>
#include <string>

#include "image_loading/ImageLoadingTestSupport.h"
#include "image_loading/animated/ILAnimatedImage.h"
#include "image_loading/cache/ILImageCache.h"
#include "image_loading/cache/ILImageCacheDefine.h"
#include "image_loading/categories/UIImageMetadata.h"
#include "image_loading/coders/ILImageCoder.h"
#include "image_loading/coders/ILImageCoderOptions.h"
#include "platform/foundation/NSURL.h"
#include "platform/uikit/UIImage.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"

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
  EXPECT_DEATH(ILImageCacheDecodeImageData(gif, "", 0, Value()),
               "Invalid parameter not satisfying: cacheKey");
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

TEST_F(DecodingFunctionsTest, ProgressiveDecodeKeepsItsCoderOnTheOperation) {
  const NSURLPtr url = NSURL::URLWithString("https://h/anim.gif");
  auto operation = std::make_shared<NSObject>();
  const size_t half = gif->length() / 2;
  auto partial = ILImageLoaderDecodeProgressiveImageData(NSData::dataWithBytes(gif->bytes(), half),
                                                         url, false, operation, 0, Value());
  ASSERT_NE(partial, nullptr);
  EXPECT_TRUE(il_isIncremental(*partial));
  auto coder = ILImageLoaderGetProgressiveCoder(operation);
  ASSERT_NE(coder, nullptr);
  auto done = ILImageLoaderDecodeProgressiveImageData(gif, url, true, operation, 0, Value());
  ASSERT_NE(done, nullptr);
  EXPECT_FALSE(il_isIncremental(*done));
  EXPECT_EQ(ILImageLoaderGetProgressiveCoder(operation), coder);  // the same coder throughout

  // With an animated class the coder's frames become an animated image.
  auto animatedOperation = std::make_shared<NSObject>();
  auto animated =
      std::dynamic_pointer_cast<ILAnimatedImage>(ILImageLoaderDecodeProgressiveImageData(
          gif, url, true, animatedOperation, 0, contextWithClass(ILAnimatedImage::imageClass())));
  ASSERT_NE(animated, nullptr);
  EXPECT_EQ(animated->animatedImageFrameCount(), 3u);
  EXPECT_TRUE(Near(PixelAt(animated->animatedImageFrameAtIndex(1)->CGImage(), 0, 0), kGreen));
  // A class that fails: the coder's still image, or nothing when the class must match.
  const Value failing = contextWithClass(std::make_shared<FailingImageClass>());
  EXPECT_NE(ILImageLoaderDecodeProgressiveImageData(gif, url, true, std::make_shared<NSObject>(), 0,
                                                    failing),
            nullptr);
  EXPECT_EQ(ILImageLoaderDecodeProgressiveImageData(gif, url, true, std::make_shared<NSObject>(),
                                                    ILRemoteImageMatchAnimatedImageClass, failing),
            nullptr);

  // Bytes that are no image yet give nothing.
  EXPECT_EQ(ILImageLoaderDecodeProgressiveImageData(NSData::dataWithBytes("junk", 4), url, false,
                                                    std::make_shared<NSObject>(), 0, Value()),
            nullptr);
  EXPECT_DEATH(ILImageLoaderDecodeProgressiveImageData(gif, url, true, nullptr, 0, Value()),
               "Invalid parameter not satisfying: operation");
}

TEST_F(DecodingFunctionsTest, ContextFromDecodeOptionsIsTheReverse) {
  Value context = Value::map(
      {{ILRemoteImageContextImageScaleFactor, Value(3.0)}, {"unrelated", Value("kept")}});
  ILRemoteImageOptions options = ILRemoteImageDecodeFirstFrameOnly | 0x1;
  ILImageContextFromDecodeOptions(
      context, options,
      Value::map({{kILImageCoderDecodeFileExtensionHint, Value("png")},
                  {kILImageCoderDecodeScaleDownLimitBytes, Value::integer(1000)}}));
  EXPECT_EQ(options, 0x1u);
  EXPECT_EQ(context.find(ILRemoteImageContextImageScaleFactor), nullptr);  // absent: removed
  EXPECT_EQ(context.find("unrelated")->asString(), "kept");
  EXPECT_EQ(context.find(ILRemoteImageContextImageTypeIdentifierHint)->asString(), "public.png");
  EXPECT_EQ(context.find(ILRemoteImageContextImageScaleDownLimitBytes)->asInt64(), 1000);

  ILImageContextFromDecodeOptions(
      context, options,
      Value::map({{kILImageCoderDecodeFirstFrameOnly, Value(true)},
                  {kILImageCoderDecodeTypeIdentifierHint, Value("public.jpeg")},
                  {kILImageCoderDecodeFileExtensionHint, Value("png")}}));
  EXPECT_EQ(options, 0x1u | ILRemoteImageDecodeFirstFrameOnly);
  EXPECT_EQ(context.find(ILRemoteImageContextImageTypeIdentifierHint)->asString(), "public.jpeg");
  // An extension no declared image type claims gives no hint.
  ILImageContextFromDecodeOptions(
      context, options, Value::map({{kILImageCoderDecodeFileExtensionHint, Value("zzqq")}}));
  EXPECT_EQ(context.find(ILRemoteImageContextImageTypeIdentifierHint), nullptr);
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
