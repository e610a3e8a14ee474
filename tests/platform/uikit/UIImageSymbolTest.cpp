#include <gtest/gtest.h>

#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIImageSymbolConfiguration.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UIScreen.h"
#include "support/TestEnvironment.h"
#include "support/ui/SnapshotTesting.h"
#include "support/ui/ScriptedDisplay.h"

namespace ui_image_symbol_test {

namespace {

class UIImageSymbolTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    UseScreenProfile(UIScreenProfile::phone());
  }
};

// Pixels whose alpha is above half.
size_t paintedPixels(const CGImageRef& image) {
  auto pixels = RGBAPixels(image);
  size_t count = 0;
  for (size_t i = 3; i < pixels.size(); i += 4) count += pixels[i] > 128;
  return count;
}

TEST_F(UIImageSymbolTest, SymbolsAreDrawnTemplatesAtTheirConfiguration) {
  EXPECT_EQ(UIImage::systemImageNamed("no.such.symbol"), nullptr);
  for (const char* name : {"checkmark", "xmark", "arrow.counterclockwise", "rotate.left.fill",
                           "rotate.right.fill", "aspectratio.fill"}) {
    SCOPED_TRACE(name);
    auto image = UIImage::systemImageNamed(name);
    ASSERT_TRUE(image);
    // Large enough to look at.
    SaveSnapshot(UIImage::systemImageNamed(
                     name, UIImageSymbolConfiguration::configurationWithPointSize(60)),
                 std::string("symbol-") + name);
    EXPECT_TRUE(image->isSymbolImage());
    EXPECT_EQ(image->symbolName(), name);
    EXPECT_EQ(image->renderingMode(), UIImageRenderingModeAlwaysTemplate);
    EXPECT_EQ(image->scale(), 2);
    CGSize size = image->size();
    EXPECT_GT(size.width, 10);
    EXPECT_LT(size.width, 25);
    // Something is drawn, and not everything.
    size_t painted = paintedPixels(image->CGImage());
    size_t all = image->CGImage()->width() * image->CGImage()->height();
    EXPECT_GT(painted, all / 20);
    EXPECT_LT(painted, all * 19 / 20);
    EXPECT_TRUE(image->hasBaseline());
    EXPECT_GE(image->baselineOffsetFromBottom(), 0);

    // Twice the point size: twice the size. A heavier weight draws heavier
    // lines: more of a line symbol, more cut out of a filled one.
    auto big = image->imageByApplyingSymbolConfiguration(
        UIImageSymbolConfiguration::configurationWithPointSize(34));
    EXPECT_EQ(big->symbolName(), name);
    EXPECT_NEAR(big->size().width, 2 * size.width, 1);
    auto heavy = UIImage::systemImageNamed(
        name, UIImageSymbolConfiguration::configurationWithWeight(UIImageSymbolWeightBlack));
    auto light = UIImage::systemImageNamed(
        name, UIImageSymbolConfiguration::configurationWithWeight(UIImageSymbolWeightUltraLight));
    size_t heavyPixels = paintedPixels(heavy->CGImage());
    size_t lightPixels = paintedPixels(light->CGImage());
    if (std::string(name).find(".fill") == std::string::npos) {
      EXPECT_GT(heavyPixels, lightPixels * 2);
    } else {
      EXPECT_NE(heavyPixels, lightPixels);
    }
  }
  // A plain image is no symbol.
  EXPECT_FALSE(UIImage().isSymbolImage());
  EXPECT_FALSE(UIImage().hasBaseline());
}

TEST_F(UIImageSymbolTest, ConfigurationsCombineAndBaselinesCanBeSet) {
  auto semibold = UIImageSymbolConfiguration::configurationWithWeight(UIImageSymbolWeightSemibold);
  auto sized = semibold->configurationByApplyingConfiguration(
      UIImageSymbolConfiguration::configurationWithPointSize(22));
  EXPECT_EQ(sized->pointSize(), 22);
  EXPECT_EQ(sized->weight(), UIImageSymbolWeightSemibold);
  EXPECT_EQ(semibold->resolvedPointSize(), 17);
  EXPECT_EQ(UIImageSymbolConfiguration::unspecifiedConfiguration()->resolvedWeight(),
            UIImageSymbolWeightRegular);
  auto large = UIImageSymbolConfiguration::configurationWithScale(UIImageSymbolScaleLarge);
  EXPECT_GT(UIImage::systemImageNamed("xmark", large)->size().width,
            UIImage::systemImageNamed("xmark")->size().width);

  auto rotate = UIImage::systemImageNamed("rotate.left.fill", semibold);
  EXPECT_TRUE(rotate->symbolConfiguration()->isEqual(*semibold));
  auto lifted = rotate->imageWithBaselineOffsetFromBottom(4);
  EXPECT_EQ(lifted->baselineOffsetFromBottom(), 4);
  EXPECT_EQ(lifted->symbolName(), "rotate.left.fill");
  EXPECT_FALSE(lifted->imageWithoutBaseline()->hasBaseline());
  EXPECT_EQ(rotate->baselineOffsetFromBottom() == 4, false);

  // The right-turning arrow is the left one mirrored.
  auto left = RGBAPixels(rotate->CGImage());
  auto right = RGBAPixels(UIImage::systemImageNamed("rotate.right.fill", semibold)->CGImage());
  size_t w = rotate->CGImage()->width(), h = rotate->CGImage()->height();
  ASSERT_EQ(right.size(), left.size());
  size_t differing = 0;
  for (size_t y = 0; y < h; ++y) {
    for (size_t x = 0; x < w; ++x) {
      differing += std::abs(left[(y * w + x) * 4 + 3] - right[(y * w + w - 1 - x) * 4 + 3]) > 8;
    }
  }
  EXPECT_LT(differing, w * h / 100);
}

TEST_F(UIImageSymbolTest, AnImageViewTintsASymbol) {
  auto view = std::make_shared<UIImageView>(UIImage::systemImageNamed("checkmark"));
  view->setTintColor(UIColor::redColor());
  auto pixels = RGBAPixels(view->layer()->contents());
  size_t red = 0, other = 0;
  for (size_t i = 0; i < pixels.size(); i += 4) {
    if (pixels[i + 3] < 250) continue;
    (pixels[i] == pixels[i + 3] && pixels[i + 1] == 0 && pixels[i + 2] == 0 ? red : other)++;
  }
  EXPECT_GT(red, 50u);
  EXPECT_EQ(other, 0u);
}

}  // namespace

}  // namespace ui_image_symbol_test
