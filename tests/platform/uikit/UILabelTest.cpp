#include <gtest/gtest.h>

#include <cmath>

#include "platform/uikit/UIGraphicsImageRenderer.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/internal/TextShaper.h"
#include "support/TestEnvironment.h"
#include "support/ui/SnapshotTesting.h"

namespace {

class UILabelTest : public PlatformTest {};

TEST_F(UILabelTest, FontsComeFromTheFaceMetrics) {
  auto font = UIFont::systemFontOfSize(20);
  // DejaVu Sans: 2048 units per em, ascender 1901, descender -483, line 2384.
  EXPECT_NEAR(font->ascender(), 20 * 1901.0 / 2048, 1e-9);
  EXPECT_NEAR(font->descender(), -20 * 483.0 / 2048, 1e-9);
  EXPECT_NEAR(font->lineHeight(), 20 * 2384.0 / 2048, 1e-9);
  EXPECT_GT(font->capHeight(), font->xHeight());
  double w = font->widthOfText("Hello");
  EXPECT_GT(w, 40);
  EXPECT_LT(w, 70);
  EXPECT_NEAR(UIFont::systemFontOfSize(40)->widthOfText("Hello"), 2 * w, 1e-9);
  EXPECT_GT(UIFont::boldSystemFontOfSize(20)->widthOfText("Hello"), w);
  EXPECT_EQ(font->widthOfText(""), 0);
  // Multi-byte text is measured per character.
  EXPECT_GT(font->widthOfText("é"), 0);

  EXPECT_EQ(UIFont::fontWithName("NoSuchFont", 12), nullptr);
  auto named = UIFont::fontWithName("HelveticaNeue-Bold", 12);
  ASSERT_TRUE(named);
  EXPECT_EQ(named->fontName(), "HelveticaNeue-Bold");
  EXPECT_NEAR(named->widthOfText("Hello"),
              UIFont::boldSystemFontOfSize(12)->widthOfText("Hello"), 1e-9);
  EXPECT_TRUE(font->fontWithSize(20)->isEqual(*font));
}

TEST_F(UILabelTest, SizesWrapsAndTruncates) {
  auto label = std::make_shared<UILabel>();
  label->setFont(UIFont::systemFontOfSize(10));
  label->setText("one two three four");
  CGSize single = label->sizeThatFits(CGSizeZero);
  EXPECT_EQ(single.width, std::ceil(label->font()->widthOfText("one two three four")));
  EXPECT_EQ(single.height, std::ceil(label->font()->lineHeight()));
  label->sizeToFit();
  EXPECT_EQ(label->bounds().size, single);

  // One line: the tail is cut with an ellipsis.
  label->setFrame(CGRectMake(0, 0, 50, 20));
  auto layout = label->textLayout();
  ASSERT_EQ(layout.lines.size(), 1u);
  EXPECT_EQ(layout.lines[0].substr(layout.lines[0].size() - 3), "\u2026");
  EXPECT_LE(layout.widths[0], 50);

  // Any number of lines: wrapped at spaces, nothing cut.
  label->setNumberOfLines(0);
  layout = label->textLayout();
  EXPECT_GT(layout.lines.size(), 1u);
  std::string joined;
  for (const auto& l : layout.lines) joined += (joined.empty() ? "" : " ") + l;
  EXPECT_EQ(joined, "one two three four");
  for (double w : layout.widths) EXPECT_LE(w, 50);
  CGSize wrapped = label->sizeThatFits(CGSizeMake(50, 0));
  EXPECT_EQ(wrapped.height, std::ceil(layout.lineHeight * double(layout.lines.size())));

  // Two lines at most: the second ends in an ellipsis.
  label->setNumberOfLines(2);
  label->setText("one two three four five six seven");
  layout = label->textLayout();
  ASSERT_EQ(layout.lines.size(), 2u);
  EXPECT_NE(layout.lines[1].find("\u2026"), std::string::npos);

  // Head and middle truncation keep the other end.
  label->setText("one two three four");
  label->setNumberOfLines(1);
  label->setLineBreakMode(NSLineBreakByTruncatingHead);
  EXPECT_EQ(label->textLayout().lines[0].rfind("four"), label->textLayout().lines[0].size() - 4);
  label->setLineBreakMode(NSLineBreakByTruncatingMiddle);
  auto middle = label->textLayout().lines[0];
  EXPECT_EQ(middle.rfind("on", 0), 0u);
  EXPECT_NE(middle.find("\u2026"), std::string::npos);
  // Explicit newlines break lines whatever the width.
  label->setNumberOfLines(0);
  label->setText("a\nb");
  EXPECT_EQ(label->textLayout().lines, (std::vector<std::string>{"a", "b"}));
}

// The columns of the rendered label where ink appears.
std::pair<size_t, size_t> inkColumns(const UIImagePtr& image) {
  const auto& cg = image->CGImage();
  auto pixels = RGBAPixels(cg);
  size_t first = cg->width(), last = 0;
  for (size_t i = 0; i < pixels.size(); i += 4) {
    if (pixels[i + 3] > 128) {
      first = std::min(first, (i / 4) % cg->width());
      last = std::max(last, (i / 4) % cg->width());
    }
  }
  return {first, last};
}

TEST_F(UILabelTest, DrawsRealGlyphsWhereTheAlignmentSays) {
  auto label = std::make_shared<UILabel>(CGRectMake(0, 0, 200, 30));
  label->setFont(UIFont::boldSystemFontOfSize(20));
  label->setText("Hi");
  auto left = RenderView(*label, 1);
  SaveSnapshot(left, "label-left");
  auto [l0, l1] = inkColumns(left);
  ASSERT_LT(l0, l1);
  EXPECT_LT(l0, 5u);
  double width = label->font()->widthOfText("Hi");
  EXPECT_NEAR(double(l1 - l0), width, 6);

  label->setTextAlignment(NSTextAlignmentRight);
  auto right = RenderView(*label, 1);
  auto [r0, r1] = inkColumns(right);
  EXPECT_GT(r1, 190u);
  EXPECT_NEAR(double(r0), 200 - width + double(l0), 3);

  label->setText("");
  auto empty = RenderView(*label, 1);
  EXPECT_GT(inkColumns(empty).first, inkColumns(empty).second);
}

TEST_F(UILabelTest, OneLineIsLaidOutAsShapedUnlessItIsCut) {
  // A line that fits (exactly, too), or is not truncated, is the text as
  // shaped; anything cut, wrapped or broken at a newline needs the layout.
  auto font = UIFont::systemFontOfSize(10);
  const double w = font->widthOfText("one two");
  struct Case {
    const char* text;
    double maxWidth;
    int64_t maxLines;
    NSLineBreakMode mode;
    bool single;  // the one line as shaped
    bool cut;     // shortened with an ellipsis
  };
  const Case cases[] = {
      {"one two", w, 1, NSLineBreakByTruncatingTail, true, false},
      {"one two", w - 0.01, 1, NSLineBreakByTruncatingTail, false, true},
      {"one two", w - 0.01, 1, NSLineBreakByTruncatingHead, false, true},
      {"one two", w - 0.01, 1, NSLineBreakByClipping, true, false},
      {"one two", w - 0.01, 1, NSLineBreakByWordWrapping, true, false},
      {"one\ntwo", 100, 1, NSLineBreakByTruncatingTail, false, true},
      {"one two", 100, 2, NSLineBreakByTruncatingTail, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text) + " " + std::to_string(c.maxWidth - w));
    const auto single = UITextSingleLineMake(c.text, *font, c.maxWidth, c.maxLines, c.mode);
    const auto layout = UITextLayoutMake(c.text, *font, c.maxWidth, c.maxLines, c.mode);
    EXPECT_EQ(single.has_value(), c.single);
    ASSERT_EQ(layout.lines.size(), 1u);
    ASSERT_EQ(layout.shapedLines.size(), 1u);
    EXPECT_EQ(layout.widths[0], layout.shapedLines[0]->width * 10);
    const std::string& line = layout.lines[0];
    EXPECT_EQ(line.find("\u2026") != std::string::npos, c.cut) << line;
    if (single) {
      EXPECT_EQ(line, c.text);
      EXPECT_EQ(single->width, layout.widths[0]);
      EXPECT_EQ(single->shaped, layout.shapedLines[0]);
    }
  }
}

}  // namespace
