#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/uikit/UIGraphicsImageRenderer.h"
#include "platform/uikit/UILabel.h"
#include "support/TestEnvironment.h"
#include "support/ui/SnapshotTesting.h"

namespace font_fallback_test {

namespace {

using FontFallbackTest = PlatformTest;

UIImagePtr renderLabel(const std::string& text, double size, CGSize box) {
  auto label = std::make_shared<UILabel>(CGRect{CGPointZero, box});
  label->setBackgroundColor(UIColor::whiteColor());
  label->setFont(UIFont::systemFontOfSize(size));
  label->setText(text);
  return RenderView(*label, 2);
}

// Pixels of the image that are not white, and of those the ones clearly
// coloured (not grey).
std::pair<int, int> inkAndColour(const UIImagePtr& image) {
  auto px = RGBAPixels(image->CGImage());
  int ink = 0, colour = 0;
  for (size_t i = 0; i < px.size(); i += 4) {
    int r = px[i], g = px[i + 1], b = px[i + 2];
    if (r < 200 || g < 200 || b < 200) ++ink;
    if (std::max({std::abs(r - g), std::abs(g - b), std::abs(r - b)}) > 60) ++colour;
  }
  return {ink, colour};
}

TEST_F(FontFallbackTest, CharactersTheFaceLacksComeFromAnotherFace) {
  auto font = UIFont::systemFontOfSize(20);
  // Ideographs from the CJK face are a full em wide; DejaVu's missing-glyph
  // box is narrower.
  EXPECT_NEAR(font->widthOfText("\u4e2d\u6587"), 40, 2);
  EXPECT_NEAR(font->widthOfText("\u65e5\u672c\u8a9e"), 60, 3);
  // Emoji are about an em and a quarter wide, and come from the colour face
  // even where DejaVu has a black-and-white picture of its own.
  EXPECT_NEAR(font->widthOfText("\U0001F600"), 25, 3);
  EXPECT_NEAR(font->widthOfText("\U0001F4F7\u2728"), 50, 6);
  // Latin text keeps DejaVu's own advances next to them.
  EXPECT_NEAR(font->widthOfText("A\u4e2d"), font->widthOfText("A") + 20, 2);
  // Marks that join emoji draw nothing of their own.
  EXPECT_NEAR(font->widthOfText("\U0001F600\u200d"), font->widthOfText("\U0001F600"), 1e-9);

  // Each ideograph draws its own shape: a missing-glyph box would draw
  // the same pixels for both.
  auto zhong = RGBAPixels(renderLabel("\u4e2d", 30, CGSizeMake(40, 40))->CGImage());
  auto guo = RGBAPixels(renderLabel("\u56fd", 30, CGSizeMake(40, 40))->CGImage());
  EXPECT_NE(zhong, guo);
  auto [kanaInk, kanaColour] = inkAndColour(renderLabel("\u3072\u3089\u304c\u306a", 20,
                                                        CGSizeMake(100, 30)));
  EXPECT_GT(kanaInk, 50);
  EXPECT_EQ(kanaColour, 0);  // black text stays grey-scale
}

TEST_F(FontFallbackTest, EmojiDrawInColour) {
  auto image = renderLabel("\U0001F600\U0001F34E", 24, CGSizeMake(70, 34));
  SaveSnapshot(image, "font-fallback-emoji");
  auto [ink, colour] = inkAndColour(image);
  EXPECT_GT(colour, 200);  // a yellow face and a red apple
  // Fitted to the line: nothing drawn in the label's outermost pixel rows.
  auto px = RGBAPixels(image->CGImage());
  const size_t w = image->CGImage()->width();
  for (size_t x = 0; x < w; ++x) EXPECT_EQ(px[x * 4], 255) << x;
}

TEST_F(FontFallbackTest, MixedScriptsSnapshot) {
  auto label = std::make_shared<UILabel>(CGRectMake(0, 0, 300, 120));
  label->setBackgroundColor(UIColor::whiteColor());
  label->setNumberOfLines(0);
  label->setFont(UIFont::systemFontOfSize(18));
  label->setText("Photos \u76f8\u518c \u5199\u771f\u30a2\u30eb\u30d0\u30e0 \U0001F4F7\u2728\n"
                 "\u4f60\u597d\uff0c\u4e16\u754c \u3053\u3093\u306b\u3061\u306f \U0001F600\U0001F44D");
  auto image = RenderView(*label, 2);
  SaveSnapshot(image, "font-fallback-cjk-emoji");
  auto [ink, colour] = inkAndColour(image);
  EXPECT_GT(ink, 2000);
  EXPECT_GT(colour, 300);
}

}  // namespace

}  // namespace font_fallback_test
