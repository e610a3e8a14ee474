#include <gtest/gtest.h>

#include <cmath>

#include "platform/uikit/NSAttributedString.h"
#include "platform/uikit/UIColor.h"
#include "platform/uikit/UIFont.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIWindow.h"
#include "support/TestEnvironment.h"
#include "support/ui/SnapshotTesting.h"

namespace ns_attributed_string_test {

namespace {

class NSAttributedStringTest : public PlatformTest {};

TEST_F(NSAttributedStringTest, AttributesCoverRangesAndMergeAgain) {
  auto font = UIFont::systemFontOfSize(12);
  NSMutableAttributedString text("Hello wide world", {{NSFontAttributeName, Value(font)}});
  EXPECT_EQ(text.length(), 16u);
  text.addAttribute(NSForegroundColorAttributeName, Value(UIColor::redColor()),
                    NSMakeRange(6, 4));
  ASSERT_EQ(text.runs().size(), 3u);
  EXPECT_EQ(text.runs()[1].text, "wide");
  NSRange range;
  auto attributes = text.attributesAtIndex(7, &range);
  EXPECT_EQ(range, NSMakeRange(6, 4));
  EXPECT_TRUE(attributes.at(NSForegroundColorAttributeName) == Value(UIColor::redColor()));
  EXPECT_TRUE(text.attributeAtIndex(NSForegroundColorAttributeName, 2, &range).isNull());
  EXPECT_EQ(range, NSMakeRange(0, 6));
  EXPECT_EQ(text.attributedSubstringFromRange(NSMakeRange(8, 5))->string(), "de wo");
  // Removing the colour leaves equal neighbours, kept as one run.
  text.removeAttribute(NSForegroundColorAttributeName, NSMakeRange(6, 4));
  EXPECT_EQ(text.runs().size(), 1u);
  text.appendAttributedString(NSAttributedString("!", {{NSKernAttributeName, Value(2.0)}}));
  EXPECT_EQ(text.string(), "Hello wide world!");
  EXPECT_EQ(text.runs().size(), 2u);

  // Lengths count UTF-16 units: a character beyond the basic plane is two.
  NSMutableAttributedString emoji("a\U0001F600b");
  EXPECT_EQ(emoji.length(), 4u);
  emoji.addAttribute(NSKernAttributeName, Value(1.0), NSMakeRange(3, 1));
  EXPECT_EQ(emoji.runs().back().text, "b");

  EXPECT_DEATH(text.addAttribute(NSKernAttributeName, Value(1.0), NSMakeRange(10, 20)),
               "out of bounds");
  EXPECT_DEATH(text.attributesAtIndex(17, nullptr), "out of bounds");
}

TEST_F(NSAttributedStringTest, LabelsDrawRunsInTheirOwnStyle) {
  auto window = std::make_shared<UIWindow>(CGRectMake(0, 0, 300, 100));
  window->setBackgroundColor(UIColor::whiteColor());
  auto label = std::make_shared<UILabel>(CGRectMake(0, 0, 300, 100));
  window->addSubview(label);
  auto bold = UIFont::boldSystemFontOfSize(40);
  auto text = std::make_shared<NSMutableAttributedString>(
      "MMM MMM", NSAttributeDictionary{{NSFontAttributeName, Value(bold)}});
  text->addAttribute(NSForegroundColorAttributeName, Value(UIColor::redColor()),
                     NSMakeRange(0, 3));
  text->addAttribute(NSForegroundColorAttributeName, Value(UIColor::blueColor()),
                     NSMakeRange(4, 3));
  label->setAttributedText(text);
  EXPECT_EQ(label->text(), "MMM MMM");
  EXPECT_EQ(label->sizeThatFits(CGSizeZero),
            CGSizeMake(std::ceil(bold->widthOfText("MMM MMM")), std::ceil(bold->lineHeight())));

  auto image = RenderView(*window, 1);
  SaveSnapshot(image, "uikit-attributed-label");
  auto pixels = RGBAPixels(image->CGImage());
  auto count = [&](int x0, int x1, bool red) {
    int n = 0;
    for (int y = 0; y < 100; ++y) {
      for (int x = x0; x < x1; ++x) {
        const uint8_t* p = &pixels[size_t(y * 300 + x) * 4];
        n += red ? (p[0] > 200 && p[2] < 60) : (p[2] > 200 && p[0] < 60);
      }
    }
    return n;
  };
  double split = bold->widthOfText("MMM ");
  EXPECT_GT(count(0, int(split), true), 300);
  EXPECT_EQ(count(0, int(split), false), 0);
  EXPECT_GT(count(int(split), 300, false), 300);
  EXPECT_EQ(count(int(split), 300, true), 0);

  // Plain text drops the attributes; the label then answers its own.
  label->setText("plain");
  auto plain = label->attributedText();
  ASSERT_TRUE(plain);
  EXPECT_TRUE(plain->attributeAtIndex(NSFontAttributeName, 0, nullptr) == Value(label->font()));
  label->setText("");
  EXPECT_EQ(label->attributedText(), nullptr);
}

TEST_F(NSAttributedStringTest, ParagraphStylesSpaceAlignAndKern) {
  auto font = UIFont::systemFontOfSize(10);
  auto label = std::make_shared<UILabel>(CGRectMake(0, 0, 200, 200));
  label->setNumberOfLines(0);
  auto style = std::make_shared<NSMutableParagraphStyle>();
  style->setLineSpacing(6);
  style->setParagraphSpacing(10);
  NSAttributeDictionary attributes{{NSFontAttributeName, Value(font)},
                                   {NSParagraphStyleAttributeName, Value(style)}};
  label->setAttributedText(std::make_shared<NSAttributedString>("one\ntwo", attributes));
  double line = font->lineHeight();
  // Two paragraphs: the paragraph spacing and the line spacing between them.
  EXPECT_EQ(label->sizeThatFits(CGSizeZero).height, std::ceil(2 * line + 6 + 10));
  // Wrapped lines of one paragraph take the line spacing only.
  label->setAttributedText(std::make_shared<NSAttributedString>("aaaa bbbb cccc", attributes));
  CGSize narrow = label->sizeThatFits(CGSizeMake(font->widthOfText("aaaa bbbb") + 1, 0));
  EXPECT_EQ(narrow.height, std::ceil(2 * line + 6));
  EXPECT_EQ(label->textLayout().lines.size(), 1u);  // 200 points wide: one line

  // A larger font in the middle raises the whole line; kerning widens it.
  auto mixed = std::make_shared<NSMutableAttributedString>(
      "ab", NSAttributeDictionary{{NSFontAttributeName, Value(font)}});
  mixed->appendAttributedString(
      NSAttributedString("C", {{NSFontAttributeName, Value(UIFont::systemFontOfSize(30))}}));
  label->setAttributedText(mixed);
  EXPECT_EQ(label->sizeThatFits(CGSizeZero).height,
            std::ceil(UIFont::systemFontOfSize(30)->lineHeight()));
  double plainWidth = label->sizeThatFits(CGSizeZero).width;
  mixed->addAttribute(NSKernAttributeName, Value(3.0), NSMakeRange(0, 2));
  label->setAttributedText(mixed);
  EXPECT_NEAR(label->sizeThatFits(CGSizeZero).width, plainWidth + 6, 1);

  // Minimum line height and one line cut with an ellipsis.
  style->setMinimumLineHeight(40);
  label->setNumberOfLines(1);
  label->setFrame(CGRectMake(0, 0, 40, 50));
  label->setAttributedText(
      std::make_shared<NSAttributedString>("a long line that cannot fit", attributes));
  auto layout = label->textLayout();
  ASSERT_EQ(layout.lines.size(), 1u);
  EXPECT_EQ(layout.lineHeight, 40);
  EXPECT_NE(layout.lines[0].find("\u2026"), std::string::npos);
  EXPECT_LE(layout.widths[0], 40);
  // The width is that of the line as drawn, ellipsis included (alignment places it by that).
  EXPECT_NEAR(layout.widths[0], font->widthOfText(layout.lines[0]), 0.01);
}

}  // namespace

}  // namespace ns_attributed_string_test
