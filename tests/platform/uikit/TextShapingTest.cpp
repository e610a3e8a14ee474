#include <gtest/gtest.h>

#include <cmath>

#include "platform/foundation/UTF8.h"
#include "platform/uikit/NSAttributedString.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UITextView.h"
#include "platform/uikit/internal/FontFaces.h"
#include "platform/uikit/internal/NSStringDrawing.h"
#include "platform/uikit/internal/TextShaper.h"
#include "support/TestEnvironment.h"
#include "support/ui/SnapshotTesting.h"

namespace text_shaping_test {

namespace {

using TextShapingTest = PlatformTest;

const char* const kSystemFace = "DejaVuSans.ttf";  // the regular system font's file
const std::string kFamily = "\U0001F468\u200D\U0001F469\u200D\U0001F467";  // man, woman, girl
const std::string kFlag = "\U0001F1EF\U0001F1F5";                          // JP
const std::string kThumb = "\U0001F44D\U0001F3FD";                         // medium skin tone

std::shared_ptr<const ShapedLine> shape(const std::string& text,
                                        NSWritingDirection direction = NSWritingDirectionNatural) {
  return ShapeText(kSystemFace, text, direction);
}

// The leftmost position of the glyphs drawing the character at byte `offset`.
double xOfCluster(const ShapedLine& line, size_t offset) {
  double x = INFINITY;
  for (const ShapedGlyph& g : line.glyphs) {
    if (g.cluster == offset) x = std::min(x, g.x);
  }
  return x;
}

TEST_F(TextShapingTest, ComplexScriptsTakeTheirJoinedAndCombinedForms) {
  struct Case {
    const char* name;
    std::string text;
    const char* family;  // of every glyph's face
    size_t glyphs;
    bool rightToLeft;
    size_t changedForms;  // glyphs other than the face's plain glyph of their character
    bool joins;           // narrower than its characters drawn one by one
  };
  const Case cases[] = {
      {"Arabic letters join", "\u0623\u0644\u0628\u0648\u0645 \u0627\u0644\u0635\u0648\u0631",
       "Noto Sans Arabic", 11, true, 6, true},
      {"Hindi forms a conjunct", "\u0928\u092E\u0938\u094D\u0924\u0947", "Noto Sans Devanagari", 5,
       false, 1, true},
      {"a ZWJ family is one picture", kFamily, "Noto Color Emoji", 1, false, 1, true},
      {"a flag is one picture", kFlag, "Noto Color Emoji", 1, false, 1, true},
      {"a skin tone tints its emoji", kThumb, "Noto Color Emoji", 1, false, 1, true},
      {"a tint makes a text-style character an emoji", "\u261D\U0001F3FD", "Noto Color Emoji", 1,
       false, 0, true},
      {"an emoji picture asked for", "\u2764\uFE0F", "Noto Color Emoji", 1, false, 0, false},
      {"a text symbol asked for", "\u2615\uFE0E", "DejaVu Sans", 1, false, 0, false},
      {"Latin keeps fi and ffi apart", "office fit", "DejaVu Sans", 10, false, 0, false},
  };
  auto font = UIFont::systemFontOfSize(20);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto line = shape(c.text);
    EXPECT_EQ(line->glyphs.size(), c.glyphs);
    EXPECT_EQ(line->rightToLeft, c.rightToLeft);
    size_t changed = 0;
    for (const ShapedGlyph& g : line->glyphs) {
      EXPECT_NE(g.index, 0u) << "a missing-glyph box";
      EXPECT_EQ(std::string(g.face->family_name).rfind(c.family, 0), 0u) << g.face->family_name;
      const char32_t cp = UTF8CodePoints(c.text.substr(g.cluster))[0];
      changed += g.index != FT_Get_Char_Index(g.face, cp);
    }
    EXPECT_GE(changed, c.changedForms);
    // Joined, the text is narrower than its characters drawn one by one.
    double parts = 0;
    for (char32_t cp : UTF8CodePoints(c.text)) {
      std::string one;
      AppendUTF8(one, cp);
      parts += font->widthOfText(one);
    }
    if (c.joins) {
      EXPECT_LT(font->widthOfText(c.text), 0.9 * parts);
    }
  }
}

TEST_F(TextShapingTest, RunsFollowTheirReadingOrder) {
  struct Case {
    const char* name;
    std::string text;
    NSWritingDirection direction;
    bool rightToLeft;
    std::vector<std::string> leftToRight;  // characters in the order they are drawn
  };
  const std::string album = "\u0623\u0644\u0628\u0648\u0645";  // alef with hamza first, meem last
  const std::string alef = "\u0623", meem = "\u0645";
  const Case cases[] = {
      {"Arabic from the right", album, NSWritingDirectionNatural, true, {meem, alef}},
      {"Arabic inside a Latin line",
       "Album " + album,
       NSWritingDirectionNatural,
       false,
       {"A", "m", meem, alef}},
      {"Latin and digits inside an Arabic line",
       album + " Photos 2024",
       NSWritingDirectionNatural,
       true,
       {"P", "s", "2", "4", meem, alef}},
      {"a paragraph's direction holds for its later lines",
       "Photos " + album,
       NSWritingDirectionRightToLeft,
       true,
       {meem, alef, "P", "s"}},
      {"the same line in its natural direction",
       "Photos " + album,
       NSWritingDirectionNatural,
       false,
       {"P", "s", meem, alef}},
      // Levels 0, 1 and 2 on one line: the digits turn at level 2, then the
      // whole Arabic stretch at level 1, and nothing more at level 0.
      {"digits inside Arabic inside a Latin line",
       "Album " + album + " 123 \u0635",
       NSWritingDirectionNatural,
       false,
       {"A", "m", "\u0635", "1", "3", meem, alef}},
      {"numbers stay left to right",
       "\u0635 123",
       NSWritingDirectionNatural,
       true,
       {"1", "3", "\u0635"}},
      {"Latin stays left to right", "Photos", NSWritingDirectionNatural, false, {"P", "h", "s"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto line = shape(c.text, c.direction);
    EXPECT_EQ(line->rightToLeft, c.rightToLeft);
    for (size_t i = 1; i < c.leftToRight.size(); ++i) {
      EXPECT_LT(xOfCluster(*line, c.text.find(c.leftToRight[i - 1])),
                xOfCluster(*line, c.text.find(c.leftToRight[i])))
          << c.leftToRight[i - 1] << " before " << c.leftToRight[i];
    }
  }
  // A vowel sign written after its consonant is drawn before it.
  const std::string ki = "\u0915\u093F";
  const auto line = shape(ki);
  ASSERT_EQ(line->glyphs.size(), 2u);
  EXPECT_EQ(line->glyphs[1].index, FT_Get_Char_Index(line->glyphs[1].face, 0x0915));
  EXPECT_LT(line->glyphs[0].x, line->glyphs[1].x);
}

TEST_F(TextShapingTest, LinesBreakWhereTheirScriptAllows) {
  auto font = UIFont::systemFontOfSize(20);
  const double ideograph = font->widthOfText("\u6211");
  ASSERT_NEAR(ideograph, 20, 1e-9);  // the CJK face's full em
  struct Case {
    const char* name;
    std::string text;
    double width;
    NSLineBreakMode mode;
    std::vector<std::string> lines;
  };
  const std::string photos =
      "\u6211\u7684\u7167\u7247\u548C\u89C6\u9891\u90FD\u5728\u8FD9\u91CC\u3002";
  const Case cases[] = {
      {"Chinese between ideographs, the width reached exactly",
       photos,
       100,
       NSLineBreakByWordWrapping,
       {"\u6211\u7684\u7167\u7247\u548C", "\u89C6\u9891\u90FD\u5728\u8FD9", "\u91CC\u3002"}},
      {"a hair narrower: four a line",
       photos,
       99.99,
       NSLineBreakByWordWrapping,
       {"\u6211\u7684\u7167\u7247", "\u548C\u89C6\u9891\u90FD", "\u5728\u8FD9\u91CC\u3002"}},
      {"never before a closing full stop",
       "\u6211\u7684\u7167\u7247\u3002",
       80,
       NSLineBreakByWordWrapping,
       {"\u6211\u7684\u7167", "\u7247\u3002"}},
      {"ideographs fill the line past a space",
       "\u76F8\u518C \u6211\u7684\u7167\u7247",
       100,
       NSLineBreakByWordWrapping,
       {"\u76F8\u518C \u6211\u7684", "\u7167\u7247"}},
      {"Japanese kana and kanji",
       "\u5199\u771F\u30A2\u30EB\u30D0\u30E0\u3092\u958B\u304F",
       80,
       NSLineBreakByWordWrapping,
       {"\u5199\u771F\u30A2\u30EB", "\u30D0\u30E0\u3092\u958B", "\u304F"}},
      {"Latin at spaces",
       "one two three",
       font->widthOfText("one two"),
       NSLineBreakByWordWrapping,
       {"one two", "three"}},
      {"Latin a hair narrower",
       "one two three",
       font->widthOfText("one two") - 0.01,
       NSLineBreakByWordWrapping,
       {"one", "two", "three"}},
      {"a word wider than the line breaks inside",
       "abcdefgh",
       font->widthOfText("abcd"),
       NSLineBreakByWordWrapping,
       {"abcd", "efgh"}},
      {"char wrapping ignores spaces",
       "ab cd ef",
       font->widthOfText("ab c"),
       NSLineBreakByCharWrapping,
       {"ab c", "d ef"}},
      {"kerning with the next line's letter does not count",
       "AVAVAV",
       font->widthOfText("AVA") - 0.5,
       NSLineBreakByCharWrapping,
       {"AV", "AV", "AV"}},
      {"an emoji sequence stays whole",
       kFamily + kFamily + kFamily,
       font->widthOfText(kFamily + kFamily) + 1,
       NSLineBreakByWordWrapping,
       {kFamily + kFamily, kFamily}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const UITextLayout layout = UITextLayoutMake(c.text, *font, c.width, 0, c.mode);
    EXPECT_EQ(layout.lines, c.lines);
    for (double w : layout.widths) EXPECT_LE(w, c.width);
    // Attributed text wraps the same way, and measuring with line
    // fragments counts the same lines.
    auto style = std::make_shared<NSMutableParagraphStyle>();
    style->setLineBreakMode(c.mode);
    const NSAttributeDictionary attributes{{NSFontAttributeName, Value(font)},
                                           {NSParagraphStyleAttributeName, Value(style)}};
    auto label = std::make_shared<UILabel>(CGRectMake(0, 0, c.width, 200));
    label->setNumberOfLines(0);
    label->setLineBreakMode(c.mode);
    label->setAttributedText(std::make_shared<NSAttributedString>(c.text, attributes));
    EXPECT_EQ(label->textLayout().lines, c.lines);
    const CGRect bounds =
        boundingRectWithSize(c.text, CGSizeMake(c.width, 1000),
                             NSStringDrawingUsesLineFragmentOrigin, attributes, nullptr);
    EXPECT_NEAR(bounds.size.height, double(c.lines.size()) * font->lineHeight(), 1e-9);
  }
}

TEST_F(TextShapingTest, TruncationKeepsCharactersWhole) {
  auto font = UIFont::systemFontOfSize(20);
  const std::string ellipsis = "\u2026";
  const double family = font->widthOfText(kFamily), dots = font->widthOfText(ellipsis);
  const std::string three = kFamily + kFamily + kFamily;
  struct Case {
    const char* name;
    std::string text;
    double width;
    NSLineBreakMode mode;
    std::string line;
  };
  const Case cases[] = {
      {"tail, two families and the ellipsis fit exactly", three, 2 * family + dots,
       NSLineBreakByTruncatingTail, kFamily + kFamily + ellipsis},
      {"tail, a hair narrower", three, 2 * family + dots - 0.01, NSLineBreakByTruncatingTail,
       kFamily + ellipsis},
      {"head", three, family + dots, NSLineBreakByTruncatingHead, ellipsis + kFamily},
      {"flags", kFlag + kFlag + kFlag, 2 * font->widthOfText(kFlag) + dots,
       NSLineBreakByTruncatingTail, kFlag + kFlag + ellipsis},
      {"lines cut, the ellipsis fits exactly", "one\ntwo", font->widthOfText("one" + ellipsis),
       NSLineBreakByTruncatingTail, "one" + ellipsis},
      {"lines cut, a hair narrower", "one\ntwo", font->widthOfText("one" + ellipsis) - 0.01,
       NSLineBreakByTruncatingTail, "on" + ellipsis},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const UITextLayout layout = UITextLayoutMake(c.text, *font, c.width, 1, c.mode);
    ASSERT_EQ(layout.lines.size(), 1u);
    EXPECT_EQ(layout.lines[0], c.line);
    EXPECT_LE(layout.widths[0], c.width);
    if (c.mode == NSLineBreakByTruncatingHead) continue;
    // Attributed text, cut at its tail, keeps whole characters too.
    auto label = std::make_shared<UILabel>(CGRectMake(0, 0, c.width, 40));
    label->setAttributedText(std::make_shared<NSAttributedString>(
        c.text, NSAttributeDictionary{{NSFontAttributeName, Value(font)}}));
    EXPECT_EQ(label->textLayout().lines, std::vector<std::string>{c.line});
  }

  // Arabic keeps its logical head; the ellipsis ends the line at its left.
  const std::string arabic =
      "\u0623\u0644\u0628\u0648\u0645 \u0627\u0644\u0635\u0648\u0631 "
      "\u0627\u0644\u062C\u062F\u064A\u062F\u0629";
  const double width = font->widthOfText(arabic) / 2;
  const UITextLayout layout =
      UITextLayoutMake(arabic, *font, width, 1, NSLineBreakByTruncatingTail);
  const std::string& line = layout.lines.at(0);
  EXPECT_EQ(layout.directions.at(0), NSWritingDirectionRightToLeft);
  EXPECT_EQ(line.rfind("\u0623\u0644\u0628\u0648\u0645", 0), 0u);
  ASSERT_GE(line.size(), ellipsis.size());
  EXPECT_EQ(line.substr(line.size() - ellipsis.size()), ellipsis);
  EXPECT_LE(layout.widths[0], width);
  const auto shaped = shape(line, NSWritingDirectionRightToLeft);
  EXPECT_EQ(shaped->glyphs.front().cluster, line.size() - ellipsis.size());
}

// The box of the image's ink (not white) in pixels: left, top, right,
// bottom; -1s when none.
struct Ink {
  int left = -1, top = -1, right = -1, bottom = -1;
};
Ink inkOf(const UIImagePtr& image) {
  const auto px = RGBAPixels(image->CGImage());
  const int w = int(image->CGImage()->width());
  Ink ink;
  for (size_t i = 0; i < px.size(); i += 4) {
    if (px[i] > 160 && px[i + 1] > 160 && px[i + 2] > 160) continue;
    const int x = int(i / 4) % w, y = int(i / 4) / w;
    ink.left = ink.left < 0 ? x : std::min(ink.left, x);
    ink.top = ink.top < 0 ? y : ink.top;
    ink.right = std::max(ink.right, x);
    ink.bottom = y;
  }
  return ink;
}

UIImagePtr renderLine(const std::string& text, double size, CGRect frame) {
  auto label = std::make_shared<UILabel>(frame);
  label->setBackgroundColor(UIColor::whiteColor());
  label->setFont(UIFont::systemFontOfSize(size));
  label->setText(text);
  return RenderView(*label, 2);
}

TEST_F(TextShapingTest, LabelsDrawWhatTheyMeasure) {
  const std::string texts[] = {
      "\u0623\u0644\u0628\u0648\u0645 \u0627\u0644\u0635\u0648\u0631",
      "\u0928\u092E\u0938\u094D\u0924\u0947 \u0939\u093F\u0928\u094D\u0926\u0940",
      kFamily + " " + kFlag + " " + kThumb,
      "Album \u0623\u0644\u0628\u0648\u0645 2024",
      "\u5199\u771F\u30A2\u30EB\u30D0\u30E0",
  };
  const double scale = 2;
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    auto label = std::make_shared<UILabel>();
    label->setBackgroundColor(UIColor::whiteColor());
    label->setFont(UIFont::systemFontOfSize(24));
    label->setText(text);
    const CGSize fit = label->sizeThatFits(CGSizeZero);
    label->setFrame(CGRectMake(0, 0, fit.width + 20, fit.height));
    // Natural alignment starts a line at its paragraph's start edge.
    const bool rtl = TextIsRightToLeft(text);
    const Ink ink = inkOf(RenderView(*label, scale));
    const double start = rtl ? 20 * scale : 0, end = start + fit.width * scale;
    // Within the pictures' and letters' side bearings.
    EXPECT_NEAR(ink.left, start, 5 * scale);
    EXPECT_NEAR(ink.right, end, 5 * scale);
    EXPECT_EQ(label->textLayout().lines.size(), 1u);  // nothing wrapped or cut
  }

  // Every script together, wrapped in a label and in a text view.
  std::string all;
  for (const std::string& text : texts) all += text + "\n";
  auto label = std::make_shared<UILabel>(CGRectMake(0, 0, 200, 190));
  label->setBackgroundColor(UIColor::whiteColor());
  label->setNumberOfLines(0);
  label->setFont(UIFont::systemFontOfSize(22));
  label->setText(all + "\u6211\u7684\u7167\u7247\u548C\u89C6\u9891\u90FD\u5728\u8FD9\u91CC\u3002");
  SaveSnapshot(RenderView(*label, scale), "text-scripts-label");
  auto view = std::make_shared<UITextView>(CGRectMake(0, 0, 160, 100));
  view->setBackgroundColor(UIColor::whiteColor());
  view->setFont(UIFont::systemFontOfSize(16));
  view->setText(
      "\u0623\u0644\u0628\u0648\u0645 \u0627\u0644\u0635\u0648\u0631 "
      "\u0627\u0644\u062C\u062F\u064A\u062F\u0629 \u0645\u0646 "
      "\u0627\u0644\u0631\u062D\u0644\u0629\n"
      "Photos from the trip");
  view->layoutIfNeeded();
  const auto layout = view->textLayout();
  ASSERT_GE(layout.lines.size(), 3u);
  EXPECT_EQ(layout.directions.front(), NSWritingDirectionRightToLeft);
  EXPECT_EQ(layout.directions.back(), NSWritingDirectionLeftToRight);
  auto image = RenderView(*view, scale);
  SaveSnapshot(image, "text-scripts-text-view");
  EXPECT_GT(inkOf(image).right, 145 * scale);  // the Arabic lines end at the right

  // Styled runs of a right-to-left paragraph follow each other from the
  // right: the first (red) stands right of the second (blue).
  auto styled = std::make_shared<NSMutableAttributedString>();
  styled->appendAttributedString(
      NSAttributedString("\u0623\u0644\u0628\u0648\u0645 ",
                         {{NSForegroundColorAttributeName, Value(UIColor::redColor())}}));
  styled->appendAttributedString(
      NSAttributedString("\u0627\u0644\u0635\u0648\u0631",
                         {{NSForegroundColorAttributeName, Value(UIColor::blueColor())}}));
  auto two = std::make_shared<UILabel>(CGRectMake(0, 0, 200, 40));
  two->setFont(UIFont::systemFontOfSize(24));
  two->setAttributedText(styled);
  const auto px = RGBAPixels(RenderView(*two, scale)->CGImage());
  double red = 0, blue = 0, reds = 0, blues = 0;  // ink columns summed, and counted
  for (size_t i = 0; i < px.size(); i += 4) {
    const double x = double(i / 4 % size_t(200 * scale));
    if (px[i] > 128 && px[i + 2] < 64) red += x, ++reds;
    if (px[i + 2] > 128 && px[i] < 64) blue += x, ++blues;
  }
  ASSERT_GT(reds * blues, 0);
  EXPECT_GT(red / reds, blue / blues);

  // A mark sits on its own letter: lower over a short beh than over a tall
  // lam (0.16 em lower in the face's placement).
  const CGRect box = CGRectMake(0, 0, 60, 80);
  const int overBeh = inkOf(renderLine("\u0628\u064E", 40, box)).top;
  const int overLam = inkOf(renderLine("\u0644\u064E", 40, box)).top;
  EXPECT_GT(overBeh - overLam, 0.1 * 40 * scale);
}

TEST_F(TextShapingTest, ParagraphDirectionAtTheEdgesOfTheRightToLeftBlocks) {
  const struct {
    const char* text;
    bool rightToLeft;
  } cases[] = {
      {"Album", false},         {"\u057F", false},  // Armenian, the last lead byte 0xD5
      {"\u0580 \u05D0", false},                     // Armenian (lead 0xD6) is left to right
      {"\u05BE", true},                             // Hebrew maqaf, lead 0xD6
      {"\u05D0", true},                             // Hebrew (lead 0xD7)
      {"12 \u05EA", true},                          // digits first: the first strong letter rules
      {"\u0627 abc", true},                         // Arabic
      {"abc \u0627", false},    {"\xD6", false},    // a lead byte alone: U+FFFD, no direction
      {"\xFF\xFE", false},
  };
  for (const auto& c : cases) EXPECT_EQ(TextIsRightToLeft(c.text), c.rightToLeft) << c.text;
}

TEST_F(TextShapingTest, WordsShapedOnTheirOwnJoinAsTheWholeLineShapes) {
  // Lines that share words with lines shaped before take those words from a
  // cache; each line must still be what HarfBuzz makes of it whole: the
  // same glyphs, clusters and positions. Pairs that kern across a space,
  // doubled, leading and trailing spaces, and lines that differ in one word.
  const std::string texts[] = {"Item 3 - 1234 photos", "Item 3 - 1235 photos",
                               "Item 12 - 1235 photos", "AV AV Wa To", "To AV", "T. Y. L' T",
                               "f  f", "  leading", "trailing  ", "1 / 1 - 11",
                               "Yo, Ta. \"quoted\" (paren) Ty", "AVAV AVAV AVAV", "Wo Ta Yo",
                               // Tone letters take contextual forms HarfBuzz marks unsafe to join.
                               "a \u02E5\u02E9 \u02E7 b", "\u02E5 \u02E9\u02E5 \u02E8",
                               // Words after a space that start with two-byte letters.
                               "V \u00C0V \u00C5 T\u00F6 \u00DFa", "\u00C0 \u00C9 \u00D6 y"};
  MutexLock lock(FontFacesMutex());
  FT_Face face = SystemFontFaceLocked(kSystemFace);
  ASSERT_NE(face, nullptr);
  hb_buffer_t* buffer = hb_buffer_create();
  const double em = HarfBuzzUnitsPerEm(face);
  const hb_feature_t noLigatures[] = {{HB_TAG('l', 'i', 'g', 'a'), 0, 0, ~0u}};
  for (const std::string& text : texts) {
    SCOPED_TRACE(text);
    hb_buffer_clear_contents(buffer);
    hb_buffer_add_utf8(buffer, text.data(), int(text.size()), 0, int(text.size()));
    hb_buffer_set_direction(buffer, HB_DIRECTION_LTR);
    hb_buffer_set_script(buffer, HB_SCRIPT_LATIN);
    hb_buffer_set_language(buffer, hb_language_get_default());
    hb_buffer_set_flags(buffer, hb_buffer_flags_t(HB_BUFFER_FLAG_REMOVE_DEFAULT_IGNORABLES |
                                                  HB_BUFFER_FLAG_BOT | HB_BUFFER_FLAG_EOT));
    hb_shape(HarfBuzzFontLocked(face), buffer, noLigatures, 1);
    unsigned count = 0;
    const hb_glyph_info_t* info = hb_buffer_get_glyph_infos(buffer, &count);
    const hb_glyph_position_t* pos = hb_buffer_get_glyph_positions(buffer, &count);

    FontFacesMutex().unlock();  // ShapeText takes it
    const auto line = shape(text, NSWritingDirectionLeftToRight);
    FontFacesMutex().lock();
    ASSERT_EQ(line->glyphs.size(), count);
    double pen = 0;
    for (unsigned i = 0; i < count; ++i) {
      const ShapedGlyph& g = line->glyphs[i];
      EXPECT_EQ(g.index, info[i].codepoint) << i;
      EXPECT_EQ(g.cluster, info[i].cluster) << i;
      EXPECT_EQ(g.advance, pos[i].x_advance / em) << i;
      EXPECT_EQ(g.x, pen + pos[i].x_offset / em) << i;
      pen += pos[i].x_advance / em;
    }
    EXPECT_EQ(line->width, pen);
  }
  hb_buffer_destroy(buffer);
}

TEST_F(TextShapingTest, CachedLinesStayAsShapedAndApart) {
  // A line someone holds keeps its glyphs while the cache moves on past it.
  auto glyphsOf = [](const ShapedLine& line) {
    std::vector<std::tuple<unsigned, double, size_t>> out;
    for (const ShapedGlyph& g : line.glyphs) out.emplace_back(g.index, g.x, g.cluster);
    return out;
  };
  const auto held = shape("Item 7 - 1234 photos");
  const auto before = glyphsOf(*held);
  for (int i = 0; i < 5000; ++i) shape("Filler " + std::to_string(i) + " - " + std::to_string(i));
  EXPECT_EQ(glyphsOf(*held), before);
  EXPECT_EQ(glyphsOf(*shape("Item 7 - 1234 photos")), before);

  // The same words in another face are that face's.
  const auto regular = ShapeText(kSystemFace, "Item 12 - 3456", NSWritingDirectionLeftToRight);
  const auto bold =
      ShapeText("DejaVuSans-Bold.ttf", "Item 12 - 3456", NSWritingDirectionLeftToRight);
  ASSERT_EQ(bold->glyphs.size(), regular->glyphs.size());
  for (const ShapedGlyph& g : bold->glyphs) EXPECT_STREQ(g.face->style_name, "Bold");
  EXPECT_GT(bold->width, regular->width);

  // Bytes that are not UTF-8 shape as U+FFFD each, wherever they are.
  const std::pair<std::string, std::string> repaired[] = {
      {"a\200b", "a\uFFFDb"}, {"\303x", "\uFFFDx"}, {"ok \342\202", "ok \uFFFD\uFFFD"}};
  for (const auto& [bad, good] : repaired) {
    SCOPED_TRACE(good);
    const auto a = shape(bad), b = shape(good);
    ASSERT_EQ(a->glyphs.size(), b->glyphs.size());
    for (size_t i = 0; i < a->glyphs.size(); ++i) EXPECT_EQ(a->glyphs[i].index, b->glyphs[i].index);
    EXPECT_EQ(a->width, b->width);
  }
}

}  // namespace

}  // namespace text_shaping_test
