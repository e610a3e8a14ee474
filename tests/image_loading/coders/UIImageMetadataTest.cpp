#include <gtest/gtest.h>

#include "platform/foundation/Value.h"
#include "support/images/ImageLoadingTestSupport.h"
#include "image_loading/coders/UIImageMetadata.h"
#include "image_loading/coders/UIImageMultiFormat.h"
#include "image_loading/coders/ILImageCoderOptions.h"
#include "image_loading/coders/ILImageCodersManager.h"
#include "platform/uikit/UIImage.h"
#include "support/TestEnvironment.h"

namespace ui_image_metadata_test {

namespace {

constexpr std::array<uint8_t, 4> kRed{255, 0, 0, 255};
constexpr std::array<uint8_t, 4> kBlue{0, 0, 255, 255};

class UIImageMetadataTest : public PlatformTest {};

TEST_F(UIImageMetadataTest, UnsetFactsReadAsNothingAndSetOnesStay) {
  UIImagePtr image = il_test::SolidUIImage(4, 4, kRed);
  EXPECT_FALSE(il_isDecoded(*image));
  EXPECT_FALSE(il_isIncremental(*image));
  EXPECT_FALSE(il_isTransformed(*image));
  EXPECT_EQ(il_imageLoopCount(*image), 0u);
  EXPECT_TRUE(il_decodeOptions(*image).isNull());
  EXPECT_EQ(il_extendedObject(*image), nullptr);
  EXPECT_EQ(il_imageFormat(*image), ILImageFormatUndefined);  // no source type
  EXPECT_EQ(il_imageFrameCount(*image), 1u);
  EXPECT_FALSE(il_isAnimated(*image));
  EXPECT_FALSE(il_isVector(*image));
  EXPECT_EQ(il_memoryCost(*image), 64u);
  UIImagePtr symbol = UIImage::systemImageNamed("checkmark");
  ASSERT_TRUE(symbol);
  EXPECT_TRUE(il_isVector(*symbol));

  il_setImageLoopCount(*image, 7);
  il_setMemoryCost(*image, 5);
  il_setImageFormat(*image, ILImageFormatWebP);
  EXPECT_EQ(il_imageLoopCount(*image), 7u);
  EXPECT_EQ(il_memoryCost(*image), 5u);
  EXPECT_EQ(il_imageFormat(*image), ILImageFormatWebP);

  // A decoded file's bitmap answers its source type.
  UIImagePtr decoded = il_imageWithData(il_test::StillFile("public.png", il_test::SolidImage(2, 2, kBlue)));
  ASSERT_TRUE(decoded);
  il_setIsDecoded(*decoded, false);
  decoded->removeAssociatedObjects();
  EXPECT_EQ(il_imageFormat(*decoded), ILImageFormatPNG);

  ValueMap options{{Value(kILImageCoderDecodeThumbnailPixelSize), ILImageCoderSizeValue({10, 0})}};
  il_setDecodeOptions(*image, Value(options));
  EXPECT_FALSE(il_isThumbnail(*image));
  ValueMapSet(options, Value(kILImageCoderDecodeThumbnailPixelSize), ILImageCoderSizeValue({10, 4}));
  EXPECT_FALSE(il_isThumbnail(*image));  // the stored copy did not change
  il_setDecodeOptions(*image, Value(options));
  EXPECT_TRUE(il_isThumbnail(*image));
  il_setDecodeOptions(*image, Value("not a dictionary"));
  EXPECT_TRUE(il_decodeOptions(*image).isNull());
}

TEST_F(UIImageMetadataTest, FrameCountAndCostCountDistinctFrames) {
  UIImagePtr a = il_test::SolidUIImage(4, 4, kRed), b = il_test::SolidUIImage(4, 4, kBlue);
  UIImagePtr repeated = UIImage::animatedImageWithImages({a, a}, 1);
  EXPECT_EQ(il_imageFrameCount(*repeated), 1u);
  EXPECT_EQ(il_memoryCost(*repeated), 64u);
  EXPECT_TRUE(il_isAnimated(*repeated));
  UIImagePtr aaba = UIImage::animatedImageWithImages({a, a, b, a}, 1);
  EXPECT_EQ(il_imageFrameCount(*aaba), 3u);
  EXPECT_EQ(il_memoryCost(*aaba), 128u);
}

TEST_F(UIImageMetadataTest, CopyingStateCarriesEveryFactButCost) {
  UIImagePtr source = il_test::SolidUIImage(2, 2, kRed);
  UIImagePtr target = il_test::SolidUIImage(2, 2, kBlue);
  il_setIsIncremental(*source, true);
  il_setIsTransformed(*source, true);
  il_setDecodeOptions(*source, Value::map({{kILImageCoderDecodeScaleFactor, 2.0}}));
  il_setImageLoopCount(*source, 3);
  il_setImageFormat(*source, ILImageFormatGIF);
  il_setIsDecoded(*source, true);
  auto extended = std::make_shared<NSObject>();
  il_setExtendedObject(*source, extended);
  il_setMemoryCost(*source, 99);
  ILImageCopyAssociatedState(source, target);
  EXPECT_TRUE(il_isIncremental(*target));
  EXPECT_TRUE(il_isTransformed(*target));
  EXPECT_EQ(il_decodeOptions(*target), il_decodeOptions(*source));
  EXPECT_EQ(il_imageLoopCount(*target), 3u);
  EXPECT_EQ(il_imageFormat(*target), ILImageFormatGIF);
  EXPECT_TRUE(il_isDecoded(*target));
  EXPECT_EQ(il_extendedObject(*target), extended);
  EXPECT_EQ(il_memoryCost(*target), 16u);
  ILImageCopyAssociatedState(nullptr, target);
  ILImageCopyAssociatedState(source, nullptr);
  EXPECT_TRUE(il_isDecoded(*target));
}

TEST_F(UIImageMetadataTest, DataEntryPointsGoThroughTheCoders) {
  EXPECT_EQ(il_imageWithData(nullptr), nullptr);
  NSDataPtr gif = il_test::AnimatedFile("com.compuserve.gif", {{kRed, 0.1}, {kBlue, 0.1}});
  UIImagePtr low = il_imageWithData(gif, 0.5);
  ASSERT_TRUE(low);
  EXPECT_EQ(low->scale(), 1);
  EXPECT_TRUE(il_isAnimated(*low));
  UIImagePtr first = il_imageWithData(gif, 2, true);
  ASSERT_TRUE(first);
  EXPECT_FALSE(il_isAnimated(*first));
  EXPECT_EQ(first->scale(), 2);
  EXPECT_TRUE(il_imageWithGIFData(gif));
  EXPECT_EQ(il_imageWithGIFData(nullptr), nullptr);

  NSDataPtr again = il_imageData(low);
  ASSERT_TRUE(again);
  EXPECT_EQ(il_imageFormatForImageData(again), ILImageFormatGIF);
  EXPECT_EQ(il_imageFrameCount(*il_imageWithData(again)), 2u);
  NSDataPtr jpeg = il_imageDataAsFormat(low, ILImageFormatJPEG, 0.8, true);
  EXPECT_EQ(il_imageFormatForImageData(jpeg), ILImageFormatJPEG);
  ILImageCodersManager::sharedManager()->setCoders({});
  EXPECT_EQ(il_imageDataAsFormat(low, ILImageFormatJPEG), nullptr);
  EXPECT_EQ(il_imageWithData(gif), nullptr);
}

}  // namespace

}  // namespace ui_image_metadata_test
