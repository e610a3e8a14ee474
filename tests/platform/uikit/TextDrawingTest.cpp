#include <gtest/gtest.h>

#include <cstring>

#include "platform/foundation/UTF8.h"
#include "platform/uikit/UIColor.h"
#include "platform/uikit/UIFont.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/internal/FontFaces.h"
#include "platform/uikit/internal/TextShaper.h"
#include "support/TestEnvironment.h"
#include "support/ui/SnapshotTesting.h"

namespace text_drawing_test {

namespace {

using TextDrawingTest = PlatformTest;

// A transparent bitmap with a y-down user space, as views draw in.
CGContextRef flippedBitmap(int w, int h, double scale) {
  auto c = CGBitmapContextCreate(nullptr, size_t(w), size_t(h), 8, 0, CGColorSpaceCreateDeviceRGB(),
                                 kCGImageAlphaPremultipliedLast);
  CGContextTranslateCTM(c, 0, h);
  CGContextScaleCTM(c, scale, -scale);
  return c;
}

// The alpha of the bitmap's ink, cut to the box where it is not 0.
struct Ink {
  int left = 0, top = 0, width = 0, height = 0;
  std::vector<uint8_t> alpha;
};
Ink inkOf(const uint8_t* px, int w, int h, size_t stride, int step) {
  int x0 = w, y0 = h, x1 = -1, y1 = -1;
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      if (px[size_t(y) * stride + size_t(x * step)] == 0) continue;
      x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
    }
  }
  Ink ink{x0, y0, x1 - x0 + 1, y1 - y0 + 1, {}};
  for (int y = y0; y <= y1; ++y) {
    for (int x = x0; x <= x1; ++x) ink.alpha.push_back(px[size_t(y) * stride + size_t(x * step)]);
  }
  return ink;
}
Ink inkOf(const CGContextRef& c) {
  return inkOf(c->data() + 3, int(c->width()), int(c->height()), c->bytesPerRow(), 4);
}

TEST_F(TextDrawingTest, GlyphsAreTheFacesPixelsWherePositionsRound) {
  // Each glyph drawn alone is the face's own coverage: glyphs of ASCII,
  // Latin-1, Greek and Cyrillic (indices a page of the face apart) drawn
  // one after another at one size.
  auto font = UIFont::systemFontOfSize(30);
  const auto black = UIColor::blackColor()->CGColor();
  for (char32_t cp : UTF8CodePoints("AHaegz09!~\u00C0\u00E9\u00FF\u00DF\u0398\u03C9\u0416\u044F")) {
    std::string one;
    AppendUTF8(one, cp);
    SCOPED_TRACE(one);
    auto c = flippedBitmap(64, 64, 1);
    font->drawText(one, CGPointMake(16, 8), black, c);
    const Ink drawn = inkOf(c);
    MutexLock lock(FontFacesMutex());
    FT_Face face = SystemFontFaceLocked("DejaVuSans.ttf");
    ASSERT_NE(face, nullptr);
    FT_Set_Char_Size(face, 0, 30 * 64, 72, 72);
    ASSERT_EQ(FT_Load_Glyph(face, FT_Get_Char_Index(face, cp), FT_LOAD_RENDER | FT_LOAD_NO_HINTING),
              0);
    const FT_Bitmap& bm = face->glyph->bitmap;
    const Ink own = inkOf(bm.buffer, int(bm.width), int(bm.rows), size_t(bm.pitch), 1);
    ASSERT_FALSE(own.alpha.empty());
    EXPECT_EQ(drawn.width, own.width);
    EXPECT_EQ(drawn.height, own.height);
    EXPECT_EQ(drawn.alpha, own.alpha);
  }

  // A pen position half a pixel past a whole one rounds away from zero.
  struct Case {
    double x, nextX;  // the second a pixel right of the first once rounded
  };
  const Case cases[] = {{10.49, 10.5}, {9.51, 10.5}, {-0.5, 0.49}, {-0.51, -0.49}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.x);
    auto a = flippedBitmap(64, 64, 1), b = flippedBitmap(64, 64, 1);
    font->drawText("H", CGPointMake(c.x, 8), black, a);
    font->drawText("H", CGPointMake(c.nextX, 8), black, b);
    EXPECT_EQ(inkOf(b).left, inkOf(a).left + 1);
  }
}

TEST_F(TextDrawingTest, LinesDrawnWithAClipAreWhatTheClipLeaves) {
  // Text inside its clip is drawn without one; text crossing an edge (on
  // whole or fractional pixels, colour glyphs too) must look as clipped.
  auto font = UIFont::systemFontOfSize(20);
  const auto black = UIColor::blackColor()->CGColor();
  struct Case {
    CGRect clip;
    double dx;  // the line's start moved right
  };
  std::vector<Case> cases;
  for (double dx = 0; dx < 4; dx += 0.5) {
    for (const CGRect& clip :
         {CGRectMake(0, 0, 120, 50), CGRectMake(10.5, 0, 100, 50), CGRectMake(0, 9.5, 120, 12),
          CGRectMake(11, 12, 17, 7.75), CGRectMake(12, 0, 120, 50)}) {
      cases.push_back({clip, dx});
    }
  }
  // Right and bottom edges swept past the ink half a pixel at a time.
  for (double edge = 20; edge < 60; edge += 0.5) {
    cases.push_back({CGRectMake(0, 0, edge, 50), 0});
    cases.push_back({CGRectMake(0, 0, 120, edge / 2), 0});
  }
  for (const char* text : {"Hxgy", "\U0001F600H"}) {
    const auto line = font->shapedLine(text, NSWritingDirectionLeftToRight);
    for (double scale : {1.0, 2.0}) {
      for (const Case& c : cases) {
        SCOPED_TRACE(std::string(text) + " scale " + std::to_string(scale) + " clip " +
                     std::to_string(c.clip.origin.x) + "," + std::to_string(c.clip.origin.y) + " " +
                     std::to_string(c.clip.size.width) + "x" + std::to_string(c.clip.size.height) +
                     " dx " + std::to_string(c.dx));
        auto clipped = flippedBitmap(240, 100, scale), drawn = flippedBitmap(240, 100, scale);
        const CGPoint origin = CGPointMake(8 + c.dx, 4);
        CGContextSaveGState(clipped);
        CGContextClipToRect(clipped, c.clip);
        font->drawShapedLine(*line, origin, black, clipped);
        CGContextRestoreGState(clipped);
        font->drawShapedLine(*line, origin, black, drawn, &c.clip);
        ASSERT_EQ(std::memcmp(clipped->data(), drawn->data(), clipped->bytesPerRow() * 100), 0);
      }
    }
  }
}

}  // namespace

}  // namespace text_drawing_test
