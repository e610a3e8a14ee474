#include <gtest/gtest.h>

#include "platform/foundation/Value.h"
#include "support/images/ImageLoadingTestSupport.h"
#include "image_loading/animated/ILAnimatedImage.h"
#include "image_loading/animated/internal/ILImageAssetManager.h"
#include "image_loading/coders/UIImageMultiFormat.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIScreen.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"

namespace animated_image_test {

namespace {

constexpr std::array<uint8_t, 4> kRed{255, 0, 0, 255};
constexpr std::array<uint8_t, 4> kGreen{0, 255, 0, 255};

class AnimatedImageTest : public PlatformTest {
 protected:
  NSDataPtr gif_ = il_test::AnimatedFile("com.compuserve.gif", {{kRed, 0.1}, {kGreen, 0.2}}, 8, 8, 0);
};

TEST_F(AnimatedImageTest, KeepsDataAndCoderAndDecodesFramesOnDemand) {
  auto image = ILAnimatedImage::imageWithData(gif_, 2);
  ASSERT_TRUE(image);
  EXPECT_TRUE(image->animatedCoder());
  EXPECT_EQ(image->animatedImageData(), gif_);
  EXPECT_EQ(image->animatedImageFrameCount(), 2u);
  EXPECT_EQ(image->scale(), 2);
  EXPECT_TRUE(il_isAnimated(*image));
  EXPECT_EQ(il_imageFrameCount(*image), 2u);
  EXPECT_EQ(il_imageFormat(*image), ILImageFormatGIF);
  EXPECT_EQ(il_memoryCost(*image), 8u * 32);
  EXPECT_TRUE(il_test::Near(il_test::PixelAt(image->CGImage(), 0, 0), kRed));
  EXPECT_TRUE(il_test::Near(il_test::PixelAt(image->animatedImageFrameAtIndex(1)->CGImage(), 0, 0), kGreen));
  EXPECT_NEAR(image->animatedImageDurationAtIndex(1), 0.2, 1e-9);
  EXPECT_EQ(image->animatedImageFrameAtIndex(2), nullptr);
  EXPECT_EQ(image->animatedImageDurationAtIndex(2), 0);

  image->preloadAllFrames();
  EXPECT_TRUE(image->isAllFramesLoaded());
  EXPECT_EQ(il_memoryCost(*image), 2u * 8 * 32);
  EXPECT_EQ(image->animatedImageFrameAtIndex(1), image->loadedAnimatedImageFrames()->at(1).image);
  image->unloadAllFrames();
  EXPECT_FALSE(image->isAllFramesLoaded());
}

TEST_F(AnimatedImageTest, StillAndVectorDataAndFailures) {
  NSDataPtr one = il_test::AnimatedFile("com.compuserve.gif", {{kRed, 0.1}});
  auto still = ILAnimatedImage::imageWithData(one);
  ASSERT_TRUE(still);
  EXPECT_FALSE(still->animatedCoder());
  EXPECT_FALSE(il_isAnimated(*still));
  EXPECT_EQ(il_imageFrameCount(*still), 1u);
  EXPECT_EQ(il_imageFormat(*still), ILImageFormatGIF);
  EXPECT_EQ(ILAnimatedImage::imageWithData(il_test::PDFFile(10, 10)), nullptr);
  const std::string svg = "<svg xmlns='http://www.w3.org/2000/svg'></svg>";
  EXPECT_EQ(ILAnimatedImage::imageWithData(NSData::dataWithBytes(svg.data(), svg.size())), nullptr);
  EXPECT_EQ(ILAnimatedImage::imageWithData(nullptr), nullptr);
  EXPECT_EQ(ILAnimatedImage::imageWithData(NSData::dataWithBytes("", 0)), nullptr);
  EXPECT_EQ(ILAnimatedImage::imageWithData(NSData::dataWithBytes("junkjunk", 8)), nullptr);
  EXPECT_EQ(ILAnimatedImage::imageWithAnimatedCoder(nullptr, 1), nullptr);
}

TEST_F(AnimatedImageTest, EncodedDataIsReusedAtFullQualityAndReencodedOtherwise) {
  auto image = ILAnimatedImage::imageWithData(gif_);
  EXPECT_EQ(il_imageDataAsFormat(image, ILImageFormatGIF, 1.0), gif_);
  EXPECT_EQ(il_imageData(image), gif_);
  NSDataPtr again = il_imageDataAsFormat(image, ILImageFormatGIF, 0.9);
  ASSERT_TRUE(again);
  EXPECT_NE(again, gif_);
  auto reread = ILAnimatedImage::imageWithData(again);
  EXPECT_EQ(reread->animatedImageFrameCount(), 2u);
  NSDataPtr png = il_imageDataAsFormat(image, ILImageFormatPNG, 1.0);
  auto apng = ILAnimatedImage::imageWithData(png);
  ASSERT_TRUE(apng);
  EXPECT_EQ(apng->animatedImageFrameCount(), 2u);
}

TEST_F(AnimatedImageTest, ArchivingKeepsTheAnimation) {
  auto image = ILAnimatedImage::imageWithData(gif_, 3);
  auto restored = ILAnimatedImage::initWithCoder(image->encodeWithCoder());
  ASSERT_TRUE(restored);
  EXPECT_EQ(restored->animatedImageFrameCount(), 2u);
  EXPECT_EQ(restored->scale(), 3);
  auto still = ILAnimatedImage::imageWithData(il_test::StillFile("public.png", il_test::SolidImage(3, 3, kRed)));
  auto restoredStill = ILAnimatedImage::initWithCoder(still->encodeWithCoder());
  ASSERT_TRUE(restoredStill);
  EXPECT_FALSE(restoredStill->animatedCoder());
  EXPECT_EQ(ILAnimatedImage::initWithCoder(Value()), nullptr);
}

TEST_F(AnimatedImageTest, FilesTakeTheirScaleFromTheName) {
  TempFolder folder;
  const std::string three = folder.writeFile("spin@3x.gif", gif_->vector());
  const std::string plain = folder.writeFile("spin.gif", gif_->vector());
  EXPECT_EQ(ILAnimatedImage::imageWithContentsOfFile(three)->scale(), 3);
  EXPECT_EQ(ILAnimatedImage::imageWithContentsOfFile(plain)->scale(), 1);
  EXPECT_EQ(ILAnimatedImage::imageWithContentsOfFile(folder.path() + "/missing.gif"), nullptr);
  EXPECT_EQ(ILScaleFromFileName("a/b@1.5x.png"), 1.5);
  EXPECT_EQ(ILScaleFromFileName("a/b@2x/"), 1);
  EXPECT_EQ(ILScaleFromFileName("a/b@2xz.png"), 1);
}

TEST_F(AnimatedImageTest, NamedImagesFollowTheScreenScaleOrderAndAreStored) {
  TempFolder folder;
  folder.writeFile("wave@2x.gif", gif_->vector());
  folder.writeFile("logo.png", il_test::StillFile("public.png", il_test::SolidImage(2, 2, kRed))->vector());
  folder.writeFile("badge@3x.png", il_test::StillFile("public.png", il_test::SolidImage(2, 2, kRed))->vector());
  auto bundle = NSBundle::bundleWithPath(folder.path());
  ASSERT_TRUE(bundle);
  auto store = ILImageAssetManager::sharedAssetManager();
  UIScreen::mainScreen()->setScale(3);
  double scale = 0;
  auto path = store->getPathForName("wave@2x.gif", bundle, scale);
  ASSERT_TRUE(path);
  EXPECT_EQ(scale, 2);
  scale = 0;
  EXPECT_TRUE(store->getPathForName("badge", bundle, scale));
  EXPECT_EQ(scale, 3);
  UIScreen::mainScreen()->setScale(2);
  scale = 0;
  auto wave = store->getPathForName("wave.gif", bundle, scale);
  ASSERT_TRUE(wave);
  EXPECT_EQ(scale, 2);
  scale = 1;
  EXPECT_TRUE(store->getPathForName("logo", bundle, scale));
  EXPECT_EQ(scale, 1);
  EXPECT_FALSE(store->getPathForName("", bundle, scale));
  EXPECT_FALSE(store->getPathForName("dir/", bundle, scale));

  auto named = ILAnimatedImage::imageNamed("wave.gif", bundle);
  ASSERT_TRUE(named);
  EXPECT_EQ(named->scale(), 2);
  EXPECT_EQ(ILAnimatedImage::imageNamed("wave.gif", bundle), named);
  UIApplication::sharedApplication()->simulateMemoryWarning();
  EXPECT_EQ(store->imageForName("wave.gif"), nullptr);
  EXPECT_EQ(ILAnimatedImage::imageNamed("nothing", bundle), nullptr);
}

}  // namespace

}  // namespace animated_image_test
