#include <gtest/gtest.h>

#include <array>
#include <cmath>

#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIGraphicsImageRenderer.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/internal/TextShaper.h"
#include "support/TestEnvironment.h"
#include "support/ui/SnapshotTesting.h"

namespace ui_label_test {

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

// A label subclass painting past its bounds and leaving the context changed.
class StrayLabel final : public UILabel {
 public:
  using UILabel::UILabel;
  void drawRect(const CGRect&) override {
    auto context = UIGraphicsGetCurrentContext();
    CGContextSetFillColorWithColor(context, CGColorCreateSRGB(1, 0, 0, 1));
    CGContextFillRect(context, CGRectInset(bounds(), -6, -6));
    CGContextSetAlpha(context, 0.5);
    CGContextTranslateCTM(context, 4, 0);
  }
};

TEST_F(UILabelTest, InkStaysInsideTheLabelAndLeavesLaterViewsAlone) {
  struct Case {
    const char* name;
    std::shared_ptr<UILabel> label;
  };
  auto tall = std::make_shared<UILabel>(CGRectMake(8, 12, 34, 8));
  tall->setFont(UIFont::boldSystemFontOfSize(26));  // ink far above and below the bounds
  tall->setText("W");
  auto stray = std::make_shared<StrayLabel>(CGRectMake(8, 12, 34, 8));
  stray->setText("x");
  for (const Case& c : {Case{"text taller than the label", tall}, Case{"subclass", stray}}) {
    SCOPED_TRACE(c.name);
    UIView root(CGRectMake(0, 0, 60, 32));
    root.setBackgroundColor(UIColor::whiteColor());
    auto after = std::make_shared<UIView>(CGRectMake(48, 12, 8, 8));
    after->setBackgroundColor(UIColor::blueColor());
    root.addSubview(c.label);
    root.addSubview(after);
    auto pixels = RGBAPixels(RenderView(root, 1)->CGImage());
    auto at = [&pixels](size_t x, size_t y) {
      const uint8_t* p = &pixels[(y * 60 + x) * 4];
      return std::array<int, 4>{p[0], p[1], p[2], p[3]};
    };
    size_t inkInside = 0;
    for (size_t y = 0; y < 32; ++y) {
      for (size_t x = 0; x < 46; ++x) {
        const bool inside = x >= 8 && x < 42 && y >= 12 && y < 20;
        if (!inside) {
          ASSERT_EQ(at(x, y), (std::array<int, 4>{255, 255, 255, 255})) << x << "," << y;
        } else if (at(x, y) != std::array<int, 4>{255, 255, 255, 255}) {
          ++inkInside;
        }
      }
    }
    EXPECT_GT(inkInside, 10u);
    // Labels, subclasses too, paint into the picture, not a backing image.
    EXPECT_FALSE(c.label->layer()->contents());
    EXPECT_EQ(at(48, 12), (std::array<int, 4>{0, 0, 255, 255}));
    EXPECT_EQ(at(55, 19), (std::array<int, 4>{0, 0, 255, 255}));
    EXPECT_EQ(at(47, 12), (std::array<int, 4>{255, 255, 255, 255}));
  }
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

}  // namespace ui_label_test
