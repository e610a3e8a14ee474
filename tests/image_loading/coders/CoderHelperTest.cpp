#include <array>
#include <gtest/gtest.h>

#include <cstring>

#include "support/images/ImageLoadingTestSupport.h"
#include "image_loading/coders/UIImageMetadata.h"
#include "image_loading/coders/ILImageCoderHelper.h"
#include "platform/uikit/UIImage.h"
#include "support/TestEnvironment.h"

namespace coder_helper_test {

namespace {

using il_test::Near;
using il_test::PixelAt;
using H = ILImageCoderHelper;

constexpr std::array<uint8_t, 4> kRed{255, 0, 0, 255};
constexpr std::array<uint8_t, 4> kGreen{0, 255, 0, 255};
constexpr std::array<uint8_t, 4> kBlue{0, 0, 255, 255};

class CoderHelperTest : public PlatformTest {};

TEST_F(CoderHelperTest, AnimatedImagesFromFramesAndBack) {
  UIImagePtr a = il_test::SolidUIImage(2, 2, kRed), b = il_test::SolidUIImage(2, 2, kBlue);
  UIImagePtr image = H::animatedImageWithFrames(
      {ILImageFrame::frameWithImage(a, 0.1), ILImageFrame::frameWithImage(b, 0.2)});
  ASSERT_TRUE(image && image->images());
  EXPECT_EQ(*image->images(), (std::vector<UIImagePtr>{a, b, b}));
  EXPECT_NEAR(image->duration(), 0.3, 1e-12);
  auto frames = H::framesFromAnimatedImage(image);
  ASSERT_TRUE(frames);
  ASSERT_EQ(frames->size(), 2u);
  EXPECT_EQ((*frames)[0].image, a);
  EXPECT_NEAR((*frames)[0].duration, 0.1, 1e-12);
  EXPECT_NEAR((*frames)[1].duration, 0.2, 1e-12);

  UIImagePtr skipped = H::animatedImageWithFrames(
      {ILImageFrame::frameWithImage(a, 0), ILImageFrame::frameWithImage(b, 0.1)});
  EXPECT_EQ(*skipped->images(), (std::vector<UIImagePtr>{b}));
  EXPECT_NEAR(skipped->duration(), 0.1, 1e-12);
  UIImagePtr zeros = H::animatedImageWithFrames(
      {ILImageFrame::frameWithImage(a, 0), ILImageFrame::frameWithImage(b, 0)});
  EXPECT_EQ(*zeros->images(), (std::vector<UIImagePtr>{a, b}));
  EXPECT_EQ(zeros->duration(), 0);
  EXPECT_EQ(H::animatedImageWithFrames({}), nullptr);
  EXPECT_FALSE(H::framesFromAnimatedImage(a));
  EXPECT_FALSE(H::framesFromAnimatedImage(nullptr));
}

TEST_F(CoderHelperTest, CraftedDelaysCannotBuildHugeFrameLists) {
  UIImagePtr a = il_test::SolidUIImage(1, 1, kRed), b = il_test::SolidUIImage(1, 1, kBlue);
  // 1 ms and ten hours: a 1 ms divisor would make 36 million entries.
  UIImagePtr image = H::animatedImageWithFrames(
      {ILImageFrame::frameWithImage(a, 0.001), ILImageFrame::frameWithImage(b, 36000)});
  ASSERT_TRUE(image && image->images());
  EXPECT_LE(image->images()->size(), kILAnimatedImageMaxEntries);
  EXPECT_EQ(image->images()->front(), a);  // the short frame is still shown
  EXPECT_GT(image->images()->size(), 1000u);
  EXPECT_NEAR(image->duration(), 36000.001, 1e-6);
  std::vector<ILImageFrame> many;
  for (int i = 0; i < 3; ++i) many.push_back(ILImageFrame::frameWithImage(i % 2 ? a : b, 5000.0 + 0.001 * i));
  EXPECT_LE(H::animatedImageWithFrames(many)->images()->size(), kILAnimatedImageMaxEntries);
  // More shown frames than the cap: every frame once, none repeated.
  std::vector<ILImageFrame> crowd(kILAnimatedImageMaxEntries + 1, ILImageFrame::frameWithImage(a, 0.001));
  crowd.push_back(ILImageFrame::frameWithImage(b, 10));
  EXPECT_EQ(H::animatedImageWithFrames(crowd)->images()->size(), kILAnimatedImageMaxEntries + 2);
}

TEST_F(CoderHelperTest, OrientationTablesAndSizes) {
  const int64_t expected[] = {0, 0, 4, 1, 5, 6, 3, 7, 2, 0};
  for (uint32_t exif = 0; exif <= 9; ++exif) {
    EXPECT_EQ(H::imageOrientationFromEXIFOrientation(exif), expected[exif]) << exif;
  }
  const uint32_t back[] = {1, 3, 8, 6, 2, 4, 5, 7, 1};
  for (int64_t o = 0; o <= 8; ++o) EXPECT_EQ(H::exifOrientationFromImageOrientation(o), back[o]);

  EXPECT_EQ(H::scaledSizeWithImageSize(CGSize{400, 200}, CGSize{100, 100}, true, false).height, 50);
  EXPECT_EQ(H::scaledSizeWithImageSize(CGSize{200, 400}, CGSize{100, 100}, true, true).width, 50);
  EXPECT_EQ(H::scaledSizeWithImageSize(CGSize{50, 50}, CGSize{100, 100}, true, false).width, 50);
  EXPECT_EQ(H::scaledSizeWithImageSize(CGSize{50, 50}, CGSize{100, 100}, false, true).width, 100);
  EXPECT_EQ(H::scaledSizeWithImageSize(CGSize{50, 50}, CGSize{0, 100}, false, true).width, 50);

  const CGSize budget = H::scaledSizeWithImageSize(CGSize{6000, 4000}, 62914560, 4, 1);
  EXPECT_EQ(budget.width, 4857);
  EXPECT_EQ(budget.height, 3238);
  const CGSize twoFrames = H::scaledSizeWithImageSize(CGSize{100, 100}, 100 * 100 * 4, 4, 2);
  EXPECT_EQ(twoFrames.width, 70);
  EXPECT_EQ(H::scaledSizeWithImageSize(CGSize{0, 10}, 1000, 4, 1).width, 1);
  EXPECT_EQ(H::scaledSizeWithImageSize(CGSize{10, 10}, 1000, 0, 0).width, 1);

  EXPECT_FALSE(H::shouldScaleDownImagePixelSize(CGSize{4000, 3000}, 0));
  EXPECT_TRUE(H::shouldScaleDownImagePixelSize(CGSize{6000, 4000}, 0));
  EXPECT_FALSE(H::shouldScaleDownImagePixelSize(CGSize{0, 4000}, 0));
  EXPECT_TRUE(H::shouldScaleDownImagePixelSize(CGSize{2, 1}, 4));  // limit 1 pixel

  H::setDefaultScaleDownLimitBytes(3);
  EXPECT_EQ(H::defaultScaleDownLimitBytes(), 62914560u);
  H::setDefaultScaleDownLimitBytes(400);
  EXPECT_EQ(H::defaultScaleDownLimitBytes(), 400u);
  EXPECT_TRUE(H::shouldScaleDownImagePixelSize(CGSize{11, 10}, 0));
}

TEST_F(CoderHelperTest, BitmapTests) {
  CGImageRef straight = il_test::SolidImage(8, 8, kRed);
  EXPECT_TRUE(H::CGImageContainsAlpha(straight));
  EXPECT_FALSE(H::CGImageContainsAlpha(il_test::PatternImage(8, 8)));
  EXPECT_FALSE(H::CGImageContainsAlpha(nullptr));
  EXPECT_FALSE(H::CGImageIsLazy(straight));
  EXPECT_FALSE(H::CGImageIsLazy(nullptr));
  CGImageRef lazy = CGImage::createLazy(8, 8, 8, 32, 32, kCGImageAlphaLast, [] {
    return std::make_shared<const Bytes>(256, 0xFF);
  });
  EXPECT_TRUE(H::CGImageIsLazy(lazy));
  lazy->pixelData();
  EXPECT_FALSE(H::CGImageIsLazy(lazy));
  // Rows of 8 pixels are 32 bytes: aligned; 7 pixels are not.
  EXPECT_TRUE(H::CGImageIsHardwareSupported(straight));
  EXPECT_FALSE(H::CGImageIsHardwareSupported(il_test::SolidImage(7, 2, kRed)));
  CGImageRef hdr = CGImage::create(8, 8, 8, 32, 32, kCGImageAlphaLast,
                                   std::make_shared<Bytes>(256), kCGColorSpaceITUR_2100_PQ);
  EXPECT_TRUE(H::CGImageIsHDR(hdr));
  EXPECT_FALSE(H::CGImageIsHardwareSupported(hdr));
  EXPECT_FALSE(H::CGImageIsHDR(straight));
  EXPECT_EQ(H::preferredPixelFormat(true).alignment, 32u);
}

TEST_F(CoderHelperTest, ScaledResamplesEachDepthAndRefusesOthers) {
  CGImageRef image = il_test::PatternImage(64, 32);
  EXPECT_EQ(H::CGImageCreateScaled(image, CGSize{64, 32}), image);
  EXPECT_EQ(H::CGImageCreateScaled(image, CGSize{0, 32}), nullptr);
  EXPECT_EQ(H::CGImageCreateScaled(nullptr, CGSize{4, 4}), nullptr);
  CGImageRef half = H::CGImageCreateScaled(image, CGSize{32, 16});
  ASSERT_TRUE(half);
  EXPECT_EQ(half->bitmapInfo(), image->bitmapInfo());
  EXPECT_TRUE(Near(PixelAt(half, 2, 2), {255, 255, 0, 255}));
  EXPECT_TRUE(Near(PixelAt(half, 29, 13), {0, 0, 255, 255}));
  CGImageRef up = H::CGImageCreateScaled(image, CGSize{128, 64});
  EXPECT_TRUE(Near(PixelAt(up, 120, 60), {0, 0, 255, 255}));

  // 12 bits per component: no scaler.
  CGImageRef twelve = CGImage::create(4, 4, 16, 64, 32, kCGImageAlphaLast, std::make_shared<Bytes>(128));
  auto odd = std::make_shared<CGImage>(4, 4, 12, 48, 24, kCGImageAlphaNone, "kCGColorSpaceSRGB");
  EXPECT_EQ(H::CGImageCreateScaled(odd, CGSize{2, 2}), nullptr);

  // 16-bit little-endian constant image keeps its value.
  auto wide = std::make_shared<Bytes>(8 * 8 * 8);
  for (size_t i = 0; i < wide->size(); i += 2) {
    (*wide)[i] = 0x34;
    (*wide)[i + 1] = 0x12;
  }
  CGImageRef sixteen = CGImage::create(8, 8, 16, 64, 64, kCGImageAlphaLast | kCGBitmapByteOrder16Little, wide);
  ASSERT_TRUE(twelve && sixteen);
  CGImageRef sixteenHalf = H::CGImageCreateScaled(sixteen, CGSize{3, 5});
  ASSERT_TRUE(sixteenHalf);
  EXPECT_EQ(sixteenHalf->bitsPerComponent(), 16u);
  const uint8_t* p = sixteenHalf->pixelData()->data();
  EXPECT_EQ(p[0] | (p[1] << 8), 0x1234);

  // 32-bit float components.
  auto floats = std::make_shared<Bytes>(4 * 4 * 16);
  for (size_t i = 0; i < 64; ++i) {
    const float v = i % 4 == 3 ? 1.0f : 0.25f;
    std::memcpy(floats->data() + i * 4, &v, 4);
  }
  CGImageRef f32 = CGImage::create(4, 4, 32, 128, 64,
                                   kCGImageAlphaLast | kCGBitmapFloatComponents | kCGBitmapByteOrder32Little,
                                   floats);
  CGImageRef f32Up = H::CGImageCreateScaled(f32, CGSize{6, 6});
  ASSERT_TRUE(f32Up);
  float v;
  std::memcpy(&v, f32Up->pixelData()->data() + 4 * 4 * 7, 4);
  EXPECT_NEAR(v, 0.25f, 1e-4);
}

TEST_F(CoderHelperTest, UprightRedrawFollowsExifOrientation) {
  // 4x2: left half red, right half blue, green on top.
  CGImageRef image = il_test::PatternImage(4, 2);
  CGImageRef up = H::CGImageCreateDecoded(image, 1);
  ASSERT_TRUE(up);
  EXPECT_TRUE(Near(PixelAt(up, 0, 0), {255, 255, 0, 255}));
  CGImageRef mirrored = H::CGImageCreateDecoded(image, 2);
  EXPECT_TRUE(Near(PixelAt(mirrored, 0, 0), {0, 255, 255, 255}));
  CGImageRef down = H::CGImageCreateDecoded(image, 3);
  EXPECT_TRUE(Near(PixelAt(down, 0, 0), {0, 0, 255, 255}));
  CGImageRef right = H::CGImageCreateDecoded(image, 6);
  ASSERT_EQ(right->width(), 2u);
  ASSERT_EQ(right->height(), 4u);
  // Turned clockwise: the top row (green) becomes the right column, the left
  // half (red) the top.
  EXPECT_TRUE(Near(PixelAt(right, 1, 0), {255, 255, 0, 255}));
  EXPECT_TRUE(Near(PixelAt(right, 0, 3), {0, 0, 255, 255}));
  CGImageRef left = H::CGImageCreateDecoded(image, 8);
  EXPECT_TRUE(Near(PixelAt(left, 0, 3), {255, 255, 0, 255}));
  EXPECT_FALSE(H::CGImageIsLazy(up));
  EXPECT_EQ(H::CGImageCreateDecoded(nullptr), nullptr);

  // Every orientation: 5 to 8 stand the picture on its side; the two
  // pixels of the top row tell all eight apart.
  const std::array<uint8_t, 4> yellow{255, 255, 0, 255}, cyan{0, 255, 255, 255},
      red{255, 0, 0, 255}, blue{0, 0, 255, 255};
  struct Case {
    uint32_t exif;
    std::array<uint8_t, 4> first, second;
  };
  for (const Case& c : {Case{1, yellow, yellow}, Case{2, cyan, cyan}, Case{3, blue, blue},
                        Case{4, red, red}, Case{5, yellow, red}, Case{6, red, yellow},
                        Case{7, blue, cyan}, Case{8, cyan, blue}}) {
    CGImageRef drawn = H::CGImageCreateDecoded(image, c.exif);
    ASSERT_TRUE(drawn) << c.exif;
    const bool side = c.exif >= 5;
    EXPECT_EQ(drawn->width(), side ? 2u : 4u) << c.exif;
    EXPECT_EQ(drawn->height(), side ? 4u : 2u) << c.exif;
    EXPECT_TRUE(Near(PixelAt(drawn, 0, 0), c.first)) << c.exif;
    EXPECT_TRUE(Near(PixelAt(drawn, 1, 0), c.second)) << c.exif;
  }
}

TEST_F(CoderHelperTest, DecodePoliciesAndCopiedState) {
  CGImageRef lazyBitmap = CGImage::createLazy(8, 8, 8, 32, 32, kCGImageAlphaLast, [] {
    return std::make_shared<const Bytes>(256, 0x80);
  });
  UIImagePtr lazy = UIImage::imageWithCGImage(lazyBitmap, 2, UIImageOrientationUp);
  il_setImageFormat(*lazy, ILImageFormatPNG);
  il_setImageLoopCount(*lazy, 3);
  EXPECT_EQ(H::decodedImageWithImage(lazy, ILImageForceDecodePolicyNever), lazy);
  UIImagePtr decoded = H::decodedImageWithImage(lazy);
  ASSERT_NE(decoded, lazy);
  EXPECT_TRUE(il_isDecoded(*decoded));
  EXPECT_EQ(il_imageFormat(*decoded), ILImageFormatPNG);
  EXPECT_EQ(il_imageLoopCount(*decoded), 3u);
  EXPECT_EQ(decoded->scale(), 2);
  EXPECT_FALSE(H::CGImageIsLazy(decoded->CGImage()));
  // Already decoded: nothing more to do, whatever the policy.
  EXPECT_EQ(H::decodedImageWithImage(decoded, ILImageForceDecodePolicyAlways), decoded);

  UIImagePtr friendly = il_test::SolidUIImage(8, 8, kGreen);
  EXPECT_EQ(H::decodedImageWithImage(friendly), friendly);
  UIImagePtr forced = H::decodedImageWithImage(friendly, ILImageForceDecodePolicyAlways);
  EXPECT_NE(forced, friendly);
  EXPECT_TRUE(Near(PixelAt(forced->CGImage(), 3, 3), kGreen));

  UIImagePtr animated = UIImage::animatedImageWithImages({friendly, friendly}, 1);
  EXPECT_EQ(H::decodedImageWithImage(animated, ILImageForceDecodePolicyAlways), animated);

  H::setDefaultDecodeSolution(ILImageCoderDecodeSolutionCoreGraphics);
  UIImagePtr turned = UIImage::imageWithCGImage(
      CGImage::createLazy(8, 8, 8, 32, 32, kCGImageAlphaLast,
                          [] { return std::make_shared<const Bytes>(256, 0x80); }),
      1, UIImageOrientationLeft);
  UIImagePtr redrawn = H::decodedImageWithImage(turned);
  EXPECT_EQ(redrawn->imageOrientation(), UIImageOrientationLeft);
  EXPECT_TRUE(il_isDecoded(*redrawn));
}

TEST_F(CoderHelperTest, LargeImageScalesDownInBandsToTheBudget) {
  // 6000x4000 (96 MB decoded) under the 60 MiB default.
  CGImageRef big = CGImage::createLazy(6000, 4000, 8, 32, 24000, kCGImageAlphaNoneSkipLast, [] {
    auto bytes = std::make_shared<Bytes>(size_t(24000) * 4000);
    for (size_t row = 0; row < 4000; ++row) {
      uint8_t* line = bytes->data() + row * 24000;
      for (size_t x = 0; x < 6000; ++x) {
        // Two green rows on top, red down to the middle, blue below.
        line[x * 4] = row >= 2 && row < 2000 ? 255 : 0;
        line[x * 4 + 1] = row < 2 ? 255 : 0;
        line[x * 4 + 2] = row < 2000 ? 0 : 255;
        line[x * 4 + 3] = 255;
      }
    }
    return std::shared_ptr<const Bytes>(std::move(bytes));
  });
  UIImagePtr image = UIImage::imageWithCGImage(big, 1, UIImageOrientationUp);
  il_setImageFormat(*image, ILImageFormatPNG);
  UIImagePtr scaled = H::decodedAndScaledDownImageWithImage(image, 0);
  ASSERT_NE(scaled, image);
  EXPECT_EQ(scaled->CGImage()->width(), 4857u);
  EXPECT_EQ(scaled->CGImage()->height(), 3238u);
  EXPECT_TRUE(il_isDecoded(*scaled));
  EXPECT_TRUE(Near(PixelAt(scaled->CGImage(), 2400, 100), kRed));
  EXPECT_TRUE(Near(PixelAt(scaled->CGImage(), 2400, 3100), kBlue));
  // The bands start at the first source row and end at the last: the top
  // rows are not dropped and the bottom row is not left empty.
  EXPECT_GT(PixelAt(scaled->CGImage(), 2400, 0)[1], 128);
  EXPECT_TRUE(Near(PixelAt(scaled->CGImage(), 2400, 3237), kBlue));

  // Within budget: decoded at full size.
  auto makeSmall = [] {
    return UIImage::imageWithCGImage(
        CGImage::createLazy(40, 30, 8, 32, 160, kCGImageAlphaNoneSkipLast,
                            [] { return std::make_shared<const Bytes>(160 * 30, 0xFF); }),
        1, UIImageOrientationUp);
  };
  UIImagePtr small = makeSmall();
  UIImagePtr same = H::decodedAndScaledDownImageWithImage(small, 0);
  EXPECT_EQ(same->CGImage()->width(), 40u);
  EXPECT_TRUE(il_isDecoded(*same));
  EXPECT_EQ(H::decodedAndScaledDownImageWithImage(small, 400, ILImageForceDecodePolicyNever), small);
  UIImagePtr tiny = H::decodedAndScaledDownImageWithImage(makeSmall(), 400);
  EXPECT_EQ(tiny->CGImage()->width(), 11u);
  EXPECT_EQ(tiny->CGImage()->height(), 8u);
}

}  // namespace

}  // namespace coder_helper_test
