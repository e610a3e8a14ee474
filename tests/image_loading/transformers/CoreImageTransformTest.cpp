// The Core Image paths of the image transforms: images backed by a Core
// Image image are transformed with Core Image, stay so, and give the pixels
// the bitmap paths give (or what the filter is defined to give).

#include <memory>
#include <string>
#include <vector>

#include "support/images/ImageLoadingTestSupport.h"
#include "image_loading/transformers/ILImageTransformer.h"
#include "image_loading/transformers/UIImageTransform.h"
#include "platform/coreimage/CIContext.h"
#include "platform/coreimage/CIFilter.h"
#include "platform/coreimage/CIImage.h"
#include "platform/foundation/OSLog.h"
#include "platform/uikit/UIColor.h"
#include "platform/uikit/UIImage.h"
#include "support/RecordedLog.h"
#include "support/TestEnvironment.h"

namespace core_image_transform_test {

namespace {

using il_test::Near;
using il_test::PixelAt;
using RGBA = std::array<uint8_t, 4>;

constexpr RGBA kTopLeft{255, 255, 0, 255};
constexpr RGBA kTopRight{0, 255, 255, 255};
constexpr RGBA kBottomLeft{255, 0, 0, 255};
constexpr RGBA kBottomRight{0, 0, 255, 255};

class CoreImageTransformTest : public PlatformTest {
 protected:
  // Red left, blue right, green added on the top half; w x h pixels.
  static UIImagePtr bitmapPattern(size_t w = 8, size_t h = 8) {
    return UIImage::imageWithCGImage(il_test::PatternImage(w, h));
  }
  static UIImagePtr ciPattern(size_t w = 8, size_t h = 8) {
    return UIImage::imageWithCIImage(CIImage::imageWithCGImage(il_test::PatternImage(w, h)));
  }
  // Pixels of either kind of image, top-left origin.
  static CGImageRef bitmapOf(const UIImagePtr& image) {
    if (image->CGImage()) return image->CGImage();
    const CIImageRef& ci = image->CIImage();
    return CIContext::context()->createCGImage(ci, ci->extent());
  }
  static RGBA px(const UIImagePtr& image, size_t x, size_t y) {
    return PixelAt(bitmapOf(image), x, y);
  }
  static bool isCoreImage(const UIImagePtr& image) {
    return image && image->CIImage() && !image->CGImage();
  }
  // Largest channel difference over all pixels of two equally sized images.
  static int maxDifference(const UIImagePtr& a, const UIImagePtr& b) {
    CGImageRef ba = bitmapOf(a), bb = bitmapOf(b);
    EXPECT_EQ(ba->width(), bb->width());
    EXPECT_EQ(ba->height(), bb->height());
    int worst = 0;
    for (size_t y = 0; y < ba->height(); ++y) {
      for (size_t x = 0; x < ba->width(); ++x) {
        const RGBA p = PixelAt(ba, x, y), q = PixelAt(bb, x, y);
        for (int c = 0; c < 4; ++c) worst = std::max(worst, std::abs(int(p[c]) - int(q[c])));
      }
    }
    return worst;
  }
};

TEST_F(CoreImageTransformTest, CropFlipAndRotateStayCoreImageAndMatchTheBitmapPaths) {
  auto ci = ciPattern();
  auto topLeft = il_croppedImageWithRect(ci, CGRectMake(0, 0, 4, 4));
  ASSERT_TRUE(isCoreImage(topLeft));
  EXPECT_EQ(bitmapOf(topLeft)->width(), 4u);
  EXPECT_TRUE(Near(px(topLeft, 0, 0), kTopLeft));
  EXPECT_TRUE(Near(px(topLeft, 3, 3), kTopLeft));
  auto bottomRight = il_croppedImageWithRect(ci, CGRectMake(4, 4, 4, 4));
  EXPECT_TRUE(Near(px(bottomRight, 0, 0), kBottomRight));
  EXPECT_EQ(il_croppedImageWithRect(ci, CGRectMake(20, 20, 4, 4)), nullptr);  // outside
  // At scale 2 the rectangle in points becomes pixels before the flip.
  auto retina = UIImage::imageWithCIImage(CIImage::imageWithCGImage(il_test::PatternImage(8, 8)), 2,
                                          UIImageOrientationUp);
  EXPECT_TRUE(Near(px(il_croppedImageWithRect(retina, CGRectMake(0, 2, 2, 2)), 0, 0), kBottomLeft));

  for (auto [horizontal, vertical] : {std::pair{true, false}, {false, true}, {true, true}}) {
    auto flipped = il_flippedImageWithHorizontal(ci, horizontal, vertical);
    ASSERT_TRUE(isCoreImage(flipped));
    EXPECT_EQ(maxDifference(flipped,
                            il_flippedImageWithHorizontal(bitmapPattern(), horizontal, vertical)),
              0)
        << horizontal << vertical;
  }

  // A quarter turn with fit size: 8 x 4 becomes 4 x 8, as the bitmap path draws it.
  auto wide = ciPattern(8, 4);
  auto turned = il_rotatedImageWithAngle(wide, M_PI / 2, true);
  ASSERT_TRUE(isCoreImage(turned));
  EXPECT_EQ(bitmapOf(turned)->width(), 4u);
  EXPECT_EQ(bitmapOf(turned)->height(), 8u);
  EXPECT_LE(maxDifference(turned, il_rotatedImageWithAngle(bitmapPattern(8, 4), M_PI / 2, true)),
            8);
  EXPECT_TRUE(Near(px(turned, 0, 7), kTopLeft));  // counter-clockwise: top left goes down
  // Without fit size Core Image straightens: the size stays and the corners
  // stay filled, where the bitmap path leaves them empty.
  auto tilted = il_rotatedImageWithAngle(ci, M_PI / 8, false);
  ASSERT_TRUE(isCoreImage(tilted));
  EXPECT_EQ(bitmapOf(tilted)->width(), 8u);
  EXPECT_EQ(px(tilted, 0, 0)[3], 255);
  EXPECT_LT(px(il_rotatedImageWithAngle(bitmapPattern(), M_PI / 8, false), 0, 0)[3], 255);
}

TEST_F(CoreImageTransformTest, TintByBlendModeMatchesTheBitmapPathOrFallsBackToIt) {
  auto ci = ciPattern();
  auto tint = UIColor::colorWithRed(0.2, 0.4, 1.0, 0.8);
  for (CGBlendMode mode :
       {kCGBlendModeNormal, kCGBlendModeMultiply, kCGBlendModeScreen, kCGBlendModeDifference,
        kCGBlendModeSourceIn, kCGBlendModeSourceAtop, kCGBlendModePlusLighter}) {
    auto viaCoreImage = il_tintedImageWithColor(ci, tint, mode);
    ASSERT_TRUE(isCoreImage(viaCoreImage)) << mode;
    EXPECT_LE(maxDifference(viaCoreImage, il_tintedImageWithColor(bitmapPattern(), tint, mode)), 3)
        << mode;
  }
  auto copied = il_tintedImageWithColor(ci, UIColor::colorWithRed(0, 1, 0, 1), kCGBlendModeCopy);
  EXPECT_TRUE(Near(px(copied, 0, 0), RGBA{0, 255, 0, 255}));
  EXPECT_EQ(px(il_tintedImageWithColor(ci, tint, kCGBlendModeClear), 3, 3)[3], 0);
  // Plus darker: both darkened by a half, added, clamped.
  auto darker =
      il_tintedImageWithColor(ci, UIColor::colorWithRed(1, 1, 1, 1), kCGBlendModePlusDarker);
  ASSERT_TRUE(isCoreImage(darker));
  EXPECT_TRUE(Near(px(darker, 0, 7), RGBA{255, 128, 128, 255}, 3));  // red + white, each halved

  auto log = RecordedLog::install();
  auto fallback = il_tintedImageWithColor(ci, tint, kCGBlendModeXOR);  // mode 25
  OSLogSetSink(nullptr);
  auto logged = log->messages();
  ASSERT_NE(fallback, nullptr);
  EXPECT_NE(fallback->CGImage(), nullptr);  // drawn by the bitmap path
  ASSERT_EQ(logged.size(), 1u);
  EXPECT_EQ(logged[0], "UIImage+Transform error: Unsupported blend mode: 25");
  EXPECT_EQ(il_tintedImageWithColor(ci, UIColor::colorWithRed(1, 0, 0, 0), kCGBlendModeNormal), ci);
}

TEST_F(CoreImageTransformTest, BlurSamplingAndFiltersWorkOnCoreImageImages) {
  // Left half black, right half white: the Gaussian spreads the edge evenly.
  auto bytes = std::make_shared<Bytes>(16 * 8 * 4);
  for (size_t y = 0; y < 8; ++y) {
    for (size_t x = 0; x < 16; ++x) {
      uint8_t* p = bytes->data() + (y * 16 + x) * 4;
      p[0] = p[1] = p[2] = x < 8 ? 0 : 255;
      p[3] = 255;
    }
  }
  auto edge = UIImage::imageWithCIImage(CIImage::imageWithCGImage(
      CGImage::create(16, 8, 8, 32, 64, kCGImageAlphaNoneSkipLast, bytes)));
  auto blurred = il_blurredImageWithRadius(edge, 1.5);
  ASSERT_TRUE(isCoreImage(blurred));
  EXPECT_EQ(bitmapOf(blurred)->width(), 16u);
  const int left = px(blurred, 7, 4)[0], right = px(blurred, 8, 4)[0];
  EXPECT_GT(left, 20);
  EXPECT_LT(right, 235);
  EXPECT_NEAR(left + right, 255, 3);
  EXPECT_EQ(px(blurred, 0, 4)[0], 0);  // far from the edge nothing changes
  EXPECT_EQ(px(blurred, 15, 4)[0], 255);

  auto ci = ciPattern();
  auto color = il_colorAtPoint(ci, CGPoint{7, 7});
  ASSERT_NE(color, nullptr);
  EXPECT_EQ(il_hexString(*color), "#ff0000ff");
  EXPECT_EQ(il_colorAtPoint(ci, CGPoint{8, 0}), nullptr);
  EXPECT_EQ(il_colorsWithRect(ci, CGRectMake(0, 0, 2, 2))->size(), 4u);

  // A filter over a bitmap image gives a bitmap image.
  CIFilterRef darken = CIFilter::filterWithName("CIColorControls");
  ASSERT_NE(darken, nullptr);
  darken->setValue(Value(-0.5), kCIInputBrightnessKey);
  auto transformer = ILImageFilterTransformer::transformerWithFilter(darken);
  EXPECT_EQ(transformer->transformerKey(), "ILImageFilterTransformer(CIColorControls)");
  auto filtered = transformer->transformedImageWithImage(bitmapPattern(), "k");
  ASSERT_NE(filtered, nullptr);
  ASSERT_NE(filtered->CGImage(), nullptr);
  EXPECT_TRUE(Near(px(filtered, 0, 7), RGBA{128, 0, 0, 255}, 3));
  EXPECT_EQ(filtered->scale(), 1);
  EXPECT_EQ(il_filteredImageWithFilter(nullptr, darken), nullptr);
  // A compositing filter without its background has no output.
  EXPECT_EQ(il_filteredImageWithFilter(bitmapPattern(),
                                       CIFilter::filterWithName("CISourceOverCompositing")),
            nullptr);
  EXPECT_EQ(CIFilter::filterWithName("CINoSuchFilter"), nullptr);
}

}  // namespace

}  // namespace core_image_transform_test
