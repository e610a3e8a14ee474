#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/coregraphics/CGPDFDocument.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/ProcessExit.h"
#include "support/HostilePDF.h"
#include "support/RecordedLog.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"

namespace cgpdf_document_test {

namespace {

struct PageSpec {
  std::string mediaBox;
  std::string content;
  std::string extra;  // more page dictionary entries (/Rotate, /CropBox)
};

// A minimal, well-formed PDF with a correct cross-reference table. `more`
// objects follow the pages' (a page and its content take two numbers each
// after the catalog's 1 and the page tree's 2).
std::shared_ptr<const Bytes> makePDF(const std::vector<PageSpec>& pages,
                                     const std::vector<std::string>& more = {}) {
  std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R >>", ""};
  std::string kids;
  for (const PageSpec& page : pages) {
    size_t pageObject = objects.size() + 1, contentObject = objects.size() + 2;
    kids += std::to_string(pageObject) + " 0 R ";
    objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [" + page.mediaBox + "] " +
                      page.extra + " /Contents " + std::to_string(contentObject) + " 0 R >>");
    objects.push_back("<< /Length " + std::to_string(page.content.size()) + " >>\nstream\n" +
                      page.content + "\nendstream");
  }
  objects[1] =
      "<< /Type /Pages /Kids [" + kids + "] /Count " + std::to_string(pages.size()) + " >>";
  objects.insert(objects.end(), more.begin(), more.end());
  std::string out = "%PDF-1.4\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(out.size());
    out += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  size_t xref = out.size();
  out += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t o : offsets) {
    char line[32];
    std::snprintf(line, sizeof line, "%010zu 00000 n \n", o);
    out += line;
  }
  out += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return std::make_shared<const Bytes>(out.begin(), out.end());
}

std::shared_ptr<const Bytes> twoPagePDF() {
  return makePDF(
      {{"0 0 200 100", "1 0 0 rg 0 0 100 100 re f", ""},
       {"0 0 200 100", "0 0 1 rg 0 0 200 100 re f", "/Rotate 90 /CropBox [10 10 110 60]"}});
}

const uint8_t* pixelAt(const CGContextRef& c, int x, int y) {
  return c->data() + y * c->bytesPerRow() + x * 4;
}

// The renderer's limits for the documents a test opens while it lives.
class RenderLimits {
 public:
  explicit RenderLimits(const char* limits) { ::setenv("QX_PDF_RENDER_LIMITS", limits, 1); }
  ~RenderLimits() { ::unsetenv("QX_PDF_RENDER_LIMITS"); }
  RenderLimits(const RenderLimits&) = delete;
  RenderLimits& operator=(const RenderLimits&) = delete;
};

// Whether a message of `log` says the page was refused for `reason`.
bool Logged(const RecordedLog& log, const std::string& reason) {
  for (const std::string& message : log.messages()) {
    if (message.find(reason) != std::string::npos) return true;
  }
  return false;
}

using CGPDFDocumentTest = PlatformTest;

TEST_F(CGPDFDocumentTest, PagesBoxesAndRotation) {
  auto doc = CGPDFDocumentCreateWithProvider(CGDataProviderCreateWithData(twoPagePDF()));
  ASSERT_TRUE(doc);
  EXPECT_EQ(CGPDFDocumentGetNumberOfPages(doc), 2u);
  EXPECT_FALSE(CGPDFDocumentGetPage(doc, 0));
  EXPECT_FALSE(CGPDFDocumentGetPage(doc, 3));
  auto first = CGPDFDocumentGetPage(doc, 1);
  ASSERT_TRUE(first);
  EXPECT_EQ(CGPDFPageGetPageNumber(first), 1u);
  EXPECT_EQ(CGPDFPageGetDocument(first), doc);
  EXPECT_TRUE(
      CGRectEqualToRect(CGPDFPageGetBoxRect(first, kCGPDFMediaBox), CGRectMake(0, 0, 200, 100)));
  EXPECT_TRUE(
      CGRectEqualToRect(CGPDFPageGetBoxRect(first, kCGPDFCropBox), CGRectMake(0, 0, 200, 100)));
  EXPECT_EQ(CGPDFPageGetRotationAngle(first), 0);
  auto second = CGPDFDocumentGetPage(doc, 2);
  EXPECT_EQ(CGPDFPageGetRotationAngle(second), 90);
  EXPECT_TRUE(
      CGRectEqualToRect(CGPDFPageGetBoxRect(second, kCGPDFCropBox), CGRectMake(10, 10, 100, 50)));

  EXPECT_FALSE(CGPDFDocument::create(std::make_shared<const Bytes>(Bytes{'n', 'o', 'p', 'e'})));
  EXPECT_FALSE(CGPDFDocumentCreateWithProvider(nullptr));
  EXPECT_FALSE(CGPDFDocumentCreateWithURL("/nonexistent/file.pdf"));
}

TEST_F(CGPDFDocumentTest, OpensFileURLs) {
  TempFolder folder;
  const std::string path = folder.writeFile("two-pages.pdf", *twoPagePDF());
  auto doc = CGPDFDocumentCreateWithURL("file://" + path);
  ASSERT_TRUE(doc);
  EXPECT_EQ(doc->numberOfPages(), 2u);
}

TEST_F(CGPDFDocumentTest, DrawingTransformCentresShrinksAndRotates) {
  auto doc = CGPDFDocument::create(twoPagePDF());
  auto page = doc->page(1);
  auto map = [](const CGAffineTransform& t, double x, double y) {
    return CGPointApplyAffineTransform({x, y}, t);
  };
  auto fit =
      CGPDFPageGetDrawingTransform(page, kCGPDFMediaBox, CGRectMake(0, 0, 100, 100), 0, true);
  EXPECT_EQ(map(fit, 0, 0), (CGPoint{0, 25}));
  EXPECT_EQ(map(fit, 200, 100), (CGPoint{100, 75}));
  auto stretch =
      CGPDFPageGetDrawingTransform(page, kCGPDFMediaBox, CGRectMake(0, 0, 100, 100), 0, false);
  EXPECT_EQ(map(stretch, 200, 100), (CGPoint{100, 100}));
  // Never enlarged: a bigger rectangle centres the page at its own size.
  auto big =
      CGPDFPageGetDrawingTransform(page, kCGPDFMediaBox, CGRectMake(0, 0, 400, 400), 0, true);
  EXPECT_EQ(map(big, 0, 0), (CGPoint{100, 150}));
  // The page's quarter turn puts its bottom-left corner at the top-left.
  auto turned = doc->page(2);
  auto t =
      CGPDFPageGetDrawingTransform(turned, kCGPDFMediaBox, CGRectMake(0, 0, 100, 200), 0, true);
  CGPoint p = map(t, 0, 0);
  EXPECT_NEAR(p.x, 0, 1e-9);
  EXPECT_NEAR(p.y, 200, 1e-9);
}

TEST_F(CGPDFDocumentTest, DrawsPageContentWithTransparentPaper) {
  auto doc = CGPDFDocument::create(twoPagePDF());
  auto c = CGBitmapContextCreate(nullptr, 100, 50, 8, 0, CGColorSpaceCreateDeviceRGB(),
                                 kCGImageAlphaPremultipliedLast);
  CGContextScaleCTM(c, 0.5, 0.5);
  CGContextDrawPDFPage(c, doc->page(1));
  const uint8_t* left = pixelAt(c, 20, 25);
  EXPECT_EQ(left[0], 255);
  EXPECT_EQ(left[1], 0);
  EXPECT_EQ(left[3], 255);
  EXPECT_EQ(pixelAt(c, 80, 25)[3], 0);  // unpainted paper

  // The rotated page draws unrotated, clipped to its crop box.
  auto d = CGBitmapContextCreate(nullptr, 200, 100, 8, 0, CGColorSpaceCreateDeviceRGB(),
                                 kCGImageAlphaPremultipliedLast);
  CGContextDrawPDFPage(d, doc->page(2));
  EXPECT_EQ(pixelAt(d, 50, 100 - 30)[2], 255);  // inside the crop box
  EXPECT_EQ(pixelAt(d, 150, 100 - 30)[3], 0);   // right of it
  EXPECT_EQ(pixelAt(d, 50, 100 - 5)[3], 0);     // below it
}

// An inline image of `width` x `height` grey pixels (or a stencil mask
// painted in the fill colour) filling the page, whatever data it really holds.
std::string inlineImage(int width, int height, const std::string& data, double side,
                        bool mask = false) {
  return "q " + std::to_string(side) + " 0 0 " + std::to_string(side) + " 0 0 cm BI /W " +
         std::to_string(width) + " /H " + std::to_string(height) +
         (mask ? " /IM true" : " /CS /G /BPC 8") + " ID " + data + " EI Q";
}

}  // namespace

// A page may make poppler decode no more image pixels than the bound, and
// render no more pixels than its limits, whatever it declares: a few bytes
// claiming an image of 200,000 by 200,000 pixels took minutes.
TEST_F(CGPDFDocumentTest, WhatAPageDeclaresIsBoundedBeforeItIsRendered) {
  const std::string huge = inlineImage(200000, 200000, "\x40\x40", 100);
  // Image objects 5 and 6 of a one-page document, drawn as /Im.
  auto image = [](int width, int height, const std::string& more) {
    return "<< /Type /XObject /Subtype /Image /Width " + std::to_string(width) + " /Height " +
           std::to_string(height) + " /ColorSpace /DeviceGray /BitsPerComponent 8 " + more +
           " /Length 4 >>\nstream\n\x40\x40\x40\x40\nendstream";
  };
  auto stencil = [](int width, int height) {
    return "<< /Type /XObject /Subtype /Image /Width " + std::to_string(width) + " /Height " +
           std::to_string(height) + " /ImageMask true /Length 4 >>\nstream\n" +
           std::string(4, '\0') + "\nendstream";
  };
  const std::string drawn = "/Resources << /XObject << /Im 5 0 R >> >>";
  const std::string drawIt = "q 100 0 0 100 0 0 cm /Im Do Q";
  struct Case {
    std::string mediaBox, content;
    std::vector<std::string> objects;
    std::string extra;
    double pixelsPerPoint;
    size_t width, height;
    int grey;  // at the centre, on white paper
  };
  const Case cases[] = {
      {"0 0 100 100", inlineImage(2, 2, "\x40\x40\x40\x40", 100), {}, "", 1, 100, 100, 0x40},
      {"0 0 100 100", huge, {}, "", 1, 100, 100, 0xFF},
      // The huge image is left out; a small one after it still draws.
      {"0 0 100 100",
       huge + " " + inlineImage(2, 2, "\x80\x80\x80\x80", 100),
       {},
       "",
       1,
       100,
       100,
       0x80},
      {"0 0 100 100",
       "0 g " + inlineImage(2, 2, std::string(2, '\0'), 100, true),
       {},
       "",
       1,
       100,
       100,
       0x00},
      {"0 0 100 100",
       "0 g " + inlineImage(200000, 200000, std::string(2, '\0'), 100, true),
       {},
       "",
       1,
       100,
       100,
       0xFF},
      // Images with masks: either of the two may be the huge one.
      {"0 0 100 100",
       drawIt,
       {image(200000, 200000, "/Mask 6 0 R"), stencil(2, 2)},
       drawn,
       1,
       100,
       100,
       0xFF},
      {"0 0 100 100",
       drawIt,
       {image(2, 2, "/Mask 6 0 R"), stencil(200000, 200000)},
       drawn,
       1,
       100,
       100,
       0xFF},
      {"0 0 100 100",
       drawIt,
       {image(2, 2, "/Mask 6 0 R"), stencil(2, 2)},
       drawn,
       1,
       100,
       100,
       0x40},
      {"0 0 100 100",
       drawIt,
       {image(200000, 200000, "/SMask 6 0 R"), image(2, 2, "")},
       drawn,
       1,
       100,
       100,
       0xFF},
      {"0 0 100 100",
       drawIt,
       {image(2, 2, "/SMask 6 0 R"), image(200000, 200000, "")},
       drawn,
       1,
       100,
       100,
       0xFF},
      // Grey 0x40 at a quarter's coverage over white paper.
      {"0 0 100 100",
       drawIt,
       {image(2, 2, "/SMask 6 0 R"), image(2, 2, "")},
       drawn,
       1,
       100,
       100,
       0xCF},
      // Resolution and size: at most 8192 a side, at most 32 Mi pixels.
      {"0 0 100000 100", "", {}, "", 4, 8192, 8, 0xFF},
      {"0 0 20000 20000", "", {}, "", 1, 5792, 5792, 0xFF},
      {"0 0 8192 4096", "", {}, "", 1, 8192, 4096, 0xFF},  // exactly the limits
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content.substr(0, 60) + " on " + c.mediaBox);
    auto doc = CGPDFDocument::create(makePDF({{c.mediaBox, c.content, c.extra}}, c.objects));
    ASSERT_TRUE(doc);
    auto page = doc->page(1);
    CGImageRef image;
    CGContextRef context = CGBitmapContextCreate(
        nullptr, 50, 50, 8, 0, CGColorSpaceCreateDeviceRGB(), kCGImageAlphaPremultipliedLast);
    image = page->createImage(c.pixelsPerPoint);
    CGContextDrawPDFPage(context, page);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width(), c.width);
    EXPECT_EQ(image->height(), c.height);
    const auto pixels = image->pixelData();
    const uint8_t* centre = pixels->data() + c.height / 2 * image->bytesPerRow() + c.width / 2 * 4;
    EXPECT_NEAR(centre[1], c.grey, 1);
  }
}

// What a page costs to draw is bounded as what it declares is: the content
// it reads (its forms', each time they are drawn, included), the font files
// it reads and the pixels it paints (fills, glyphs). Past any of them the page is not
// rendered; up to them it is.
TEST_F(CGPDFDocumentTest, WhatAPageCostsToDrawIsBounded) {
  const size_t budget = size_t(kCGPDFMaxContentBytes);
  const std::string paint = "0 g 0 0 10 10 re f";
  // A form of `size` content bytes drawn `times` times.
  auto forms = [](size_t size, int times) {
    std::string draws;
    for (int i = 0; i < times; ++i) draws += "/F Do ";
    const std::string body = "q Q" + std::string(size - 3, ' ');
    return std::pair{draws, "<< /Type /XObject /Subtype /Form /BBox [0 0 10 10] /Length " +
                                std::to_string(body.size()) + " >>\nstream\n" + body +
                                "\nendstream"};
  };
  // `count` fills of the whole 100 x 100 page, 10,000 pixels each at 1:1.
  auto fills = [](size_t count) {
    std::string content;
    for (size_t i = 0; i < count; ++i) content += "0 0 100 100 re f ";
    return content;
  };
  const size_t fillsPaid = size_t(kCGPDFMaxImagePixels / 1e4);
  // A TrueType font (objects 5 to 7) whose embedded file is `size` zero
  // bytes, run-length coded: a few bytes per 128 of them.
  auto font = [](size_t size) {
    std::string file;
    for (size_t run = 0; run < size / 128; ++run) file += std::string("\x81\x00", 2);
    if (size % 128) file += char(size % 128 - 1) + std::string(size % 128, '\0');
    file += '\x80';
    return std::vector<std::string>{
        "<< /Type /Font /Subtype /TrueType /BaseFont /X /FontDescriptor 6 0 R >>",
        "<< /Type /FontDescriptor /FontName /X /Flags 32 /FontBBox [0 0 1000 1000] "
        "/ItalicAngle 0 /Ascent 800 /Descent -200 /CapHeight 700 /StemV 80 /FontFile2 7 0 R >>",
        "<< /Length " + std::to_string(file.size()) + " /Filter /RunLengthDecode >>\nstream\n" +
            file + "\nendstream"};
  };
  const std::string text = paint + " BT /F1 24 Tf 10 50 Td (Hi) Tj ET";
  // `count` glyphs of a standard font 100 points high: each square covers the page.
  auto glyphs = [&paint](size_t count) {
    std::string content = paint + " BT /F1 100 Tf 50 50 Td ";
    for (size_t i = 0; i < count; ++i) content += "(x) Tj 0 0 Td ";
    return content + "ET";
  };
  const std::vector<std::string> helvetica = {
      "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica >>"};
  // `depth` saves nested, or `pairs` saved and restored under a dash
  // pattern of `dashes` entries, which each save copies.
  auto saves = [&paint](size_t depth) {
    std::string content = paint + " ";
    for (size_t i = 0; i < depth; ++i) content += "q ";
    return content;
  };
  auto dashedSaves = [&paint](size_t dashes, size_t pairs) {
    std::string content = paint + " [";
    for (size_t i = 0; i < dashes; ++i) content += "1 ";
    content += "] 0 d ";
    for (size_t i = 0; i < pairs; ++i) content += "q Q ";
    return content;
  };
  const size_t entries = size_t(kCGPDFMaxSavedEntries);
  // A free-form triangle mesh (object 5) of `vertices` vertices over the
  // page's middle, each after the third making a triangle with the two
  // before it: in one grey (the rasteriser shades those whole), or black
  // and white by turns (poppler splits each triangle into 4096 pieces).
  // `reach` sets its triangles' size on the page, in points.
  auto mesh = [](size_t vertices, bool oneGrey, double reach = 2) {
    std::string data;
    for (size_t i = 0; i < vertices; ++i) {
      const auto x = uint16_t(32768 + (i * 97) % size_t(reach * 655)),
                 y = uint16_t(32768 + (i * 89) % size_t(reach * 655));
      data += {char(i < 3 ? 0 : 1), char(x >> 8), char(x),
               char(y >> 8),        char(y),      char(oneGrey ? 0x80 : i % 2 ? 0xFF : 0)};
    }
    return "<< /ShadingType 4 /ColorSpace /DeviceGray /BitsPerCoordinate 16 /BitsPerComponent 8 "
           "/BitsPerFlag 8 /Decode [0 100 0 100 0 1] /Length " +
           std::to_string(data.size()) + " >>\nstream\n" + data + "\nendstream";
  };
  // Triangles of `count` covering the whole page each, 10,000 pixels at 1:1.
  auto pageTriangles = [](size_t count) {
    std::string data;
    for (size_t i = 0; i < count + 2; ++i) {
      const char corner = char(i % 4 == 1 || i % 4 == 3 ? 0xFF : 0);
      const char top = char(i % 4 >= 2 ? 0xFF : 0);
      data += {char(i < 3 ? 0 : 1), corner, corner, top, top, char(0x80)};
    }
    return "<< /ShadingType 4 /ColorSpace /DeviceGray /BitsPerCoordinate 16 /BitsPerComponent 8 "
           "/BitsPerFlag 8 /Decode [0 100 0 100 0 1] /Length " +
           std::to_string(data.size()) + " >>\nstream\n" + data + "\nendstream";
  };
  const size_t vertices = size_t(kCGPDFMaxMeshVertices);
  // A Coons patch mesh (object 5) of `count` patches, tiny and of one grey
  // in the page's middle: the first new (12 points, 4 colours), each other
  // continuing the one before (8 points, 2 colours).
  auto patchMesh = [](size_t count) {
    std::string data;
    auto points = [&data](int n) {
      for (int i = 0; i < n; ++i) {
        const auto x = uint16_t(32768 + (i % 4) * 300), y = uint16_t(32768 + (i / 4) * 300);
        data += {char(x >> 8), char(x), char(y >> 8), char(y)};
      }
    };
    for (size_t i = 0; i < count; ++i) {
      data += char(i == 0 ? 0 : 1);
      points(i == 0 ? 12 : 8);
      data += std::string(i == 0 ? 4 : 2, char(0x80));
    }
    return "<< /ShadingType 6 /ColorSpace /DeviceGray /BitsPerCoordinate 16 "
           "/BitsPerComponent 8 /BitsPerFlag 8 /Decode [0 100 0 100 0 1] /Length " +
           std::to_string(data.size()) + " >>\nstream\n" + data + "\nendstream";
  };
  // A form of one byte drawn `draws` times: with the page's own content,
  // one more reading.
  auto formDraws = [&paint](size_t draws) {
    std::string content = paint + " ";
    for (size_t i = 0; i < draws; ++i) content += "/F Do ";
    return content;
  };
  const size_t readings = size_t(kCGPDFMaxContentReadings);
  // Forms chained deeper than poppler's resources were once walked (64).
  const PDFPageParts deepChain = FormChain("0 0 100 100", 80, 1, paint);
  const PDFPageParts deepChainPast = FormChain("0 0 100 100", 80, 1, std::string(budget + 1, ' '));
  const PDFPageParts doubling = FormChain("0 0 100 100", 70, 2, paint);
  // Transparency groups nested, each of a 1024 x 1024 page: 64 hold the
  // surfaces' bound at once.
  const size_t pagesHeld = size_t(kCGPDFMaxGroupPixels / (1024 * 1024));
  const PDFPageParts groupsToBound = FormChain("0 0 1024 1024", int(pagesHeld), 1, "", true);
  const PDFPageParts groupsPast = FormChain("0 0 1024 1024", int(pagesHeld) + 1, 1, "", true);
  // Empty groups (of a 256 x 256 page) drawn one after another: each costs
  // its surface made and composited, a knockout group its shape too.
  auto groups = [&paint](size_t count) {
    std::string content = paint + " /G gs ";
    for (size_t i = 0; i < count; ++i) content += "/F Do ";
    return content;
  };
  const std::string emptyGroup = FormObject("0 0 256 256", "", "/Group << /S /Transparency >>");
  const std::string emptyKnockout =
      FormObject("0 0 256 256", "", "/Group << /S /Transparency /K true >>");
  const std::string withGroup =
      "/Resources << /ExtGState << /G << /ca 0.9 >> >> /XObject << /F 5 0 R >> >>";
  const size_t surfacesPaid = size_t(kCGPDFMaxImagePixels / (2 * 256 * 256));
  const size_t knockoutsPaid = size_t(kCGPDFMaxImagePixels / (3 * 256 * 256));
  // Soft masks set one after another: each a group drawn and a mask made
  // of the page's size.
  auto masks = [&paint](size_t count) {
    std::string content = paint + " ";
    for (size_t i = 0; i < count; ++i) content += "/M gs ";
    return content;
  };
  const std::string withMask =
      "/Resources << /ExtGState << /M << /SMask << /S /Luminosity /G 5 0 R >> >> >> >>";
  const std::string maskGroup =
      FormObject("0 0 256 256", "", "/Group << /S /Transparency /CS /DeviceGray >>");
  // Clip paths: triangles one point wide and `height` high on the 100 x 100
  // page, each nested in the one before. One costs the rows of its box and
  // one for each segment plus each row it crosses: 3 x height + 4 (its
  // closing point is a fourth), and one more with a point repeated.
  auto triangle = [](int height, bool repeated = false) {
    return std::string("0 0 m 1 0 l ") + (repeated ? "1 0 l " : "") + "0 " +
           std::to_string(height) + " l h W n ";
  };
  auto clipRows = [&paint, &triangle](bool onePast) {
    // As many of height 99 as leave rows for a last one of 1 to 99.
    const size_t rows = size_t(kCGPDFMaxClipRows);
    size_t tall = rows / 301;
    while ((rows - tall * 301 - 4) % 3 != 0 || rows - tall * 301 < 7) --tall;
    std::string content = paint + " ";
    for (size_t i = 0; i < tall; ++i) content += triangle(99);
    return content + triangle(int(rows - tall * 301 - 4) / 3, onePast);
  };
  // Strokes in a shading pattern, hairlines, each clipping to its outline
  // on a page 1000 high: the outline's two sides each cross the rows of the
  // triangle's segments, so one of height h costs h + 2 x (2h + 4) rows.
  auto strokeClipRows = [&paint](bool onePointMore) {
    const size_t rows = size_t(kCGPDFMaxClipRows);
    size_t tall = rows / 503;
    while ((rows - tall * 503 - 8) % 5 != 0) --tall;
    auto stroke = [](size_t height, bool repeated) {
      return std::string("0 0 m 1 0 l ") + (repeated ? "1 0 l " : "") + "0 " +
             std::to_string(height) + " l h S ";
    };
    std::string content = paint + " 0 w /Pattern CS /P SCN ";
    for (size_t i = 0; i < tall; ++i) content += stroke(99, false);
    return content + stroke((rows - tall * 503 - 8) / 5, onePointMore);
  };
  const std::vector<std::string> strokePattern = {
      "<< /ShadingType 2 /ColorSpace /DeviceGray /Coords [0 0 100 0] /Function << "
      "/FunctionType 2 /Domain [0 1] /C0 [0] /C1 [1] /N 1 >> >>",
      "<< /PatternType 2 /Shading 5 0 R >>"};
  auto gridRectangles = [&paint](size_t count) {
    std::string content = paint + " ";
    for (size_t i = 0; i < count; ++i) content += "0 0 50 50 re W n ";
    return content;
  };
  auto textClip = [&paint](size_t glyphs) {
    return paint + " BT 7 Tr /F1 100 Tf 0 0 Td (" + std::string(glyphs, 'W') + ") Tj ET";
  };
  // `clips` thin triangles, then `pairs` saves and restores, each copying them.
  auto clippedSaves = [&paint, &triangle](size_t clips, size_t pairs) {
    std::string content = paint + " ";
    for (size_t i = 0; i < clips; ++i) content += triangle(1);
    for (size_t i = 0; i < pairs; ++i) content += "q Q ";
    return content;
  };
  const std::string withShading = "/Resources << /Shading << /Sh 5 0 R >> >>";
  const std::string withPattern = "/Resources << /Pattern << /P 6 0 R >> >>";
  const std::string patternOf5 = "<< /PatternType 2 /Shading 5 0 R >>";
  const std::string withForm = "/Resources << /XObject << /F 5 0 R >> >>";
  const std::string withFont = "/Resources << /Font << /F1 5 0 R >> >>";
  const size_t fontBudget = size_t(kCGPDFMaxFontBytes);
  struct Case {
    std::string name, content;
    std::vector<std::string> objects;
    bool renders;
    bool rendersAtHalf = false;  // once given up: at half the scale, a quarter of the pixels
    std::string extra = "";      // page dictionary entries
    bool paintBound = false;     // given up for its pixels, which a smaller scale may afford
    std::string mediaBox = "0 0 100 100";
  };
  const auto [fewDraws, form] = forms(1000, 100);
  const auto [manyDraws, sameForm] = forms(1000, int(budget / 1000) + 1);
  const Case cases[] = {
      {"content to the byte budget", paint + std::string(budget - paint.size(), ' '), {}, true},
      {"one byte past it", paint + std::string(budget + 1 - paint.size(), ' '), {}, false},
      {"a form drawn a few times", paint + " " + fewDraws, {form}, true, false, withForm},
      {"a small form drawn past the budget",
       paint + " " + manyDraws,
       {sameForm},
       false,
       false,
       withForm},
      // poppler reads a TrueType file more than once a render.
      {"glyphs the paint budget pays for", glyphs(100), helvetica, true, false, withFont},
      {"glyphs past it", glyphs(fillsPaid + 1), helvetica, false, true, withFont, true},
      {"a font file well within the font budget", text, font(fontBudget / 4), true, false,
       withFont},
      {"a font file one byte past it", text, font(fontBudget + 1), false, false, withFont},
      {"fills the paint budget pays for", fills(100), {}, true},
      {"fills past it", fills(fillsPaid + 1), {}, false, true, "", true},
      // The page's own drawing saves one state before its content's.
      {"saves nested to the depth bound", saves(size_t(kCGPDFMaxSaveDepth) - 1), {}, true},
      {"one save deeper", saves(size_t(kCGPDFMaxSaveDepth)), {}, false},
      {"four million saves nested", saves(4'000'000), {}, false},
      {"saves copying dash entries to the budget", dashedSaves(1024, entries / 1024), {}, true},
      {"one save more", dashedSaves(1024, entries / 1024 + 1), {}, false},
      {"a mesh of the vertices the budget pays for",
       paint + " /Sh sh",
       {mesh(vertices, true)},
       true,
       false,
       withShading},
      {"one vertex more", paint + " /Sh sh", {mesh(vertices + 1, true)}, false, false, withShading},
      {"a mesh within the budget drawn twice past it",
       paint + " /Sh sh /Sh sh",
       {mesh(vertices / 2 + 1, true)},
       false,
       false,
       withShading},
      {"a mesh past it through a pattern",
       paint + " /Pattern cs /P scn 20 20 60 60 re f",
       {mesh(vertices + 1, true), patternOf5},
       false,
       false,
       withPattern},
      {"a mesh split into pieces the budget pays for",
       paint + " /Sh sh",
       {mesh(18, false)},
       true,
       false,
       withShading},
      {"one triangle more than it pays for",
       paint + " /Sh sh",
       {mesh(size_t(kCGPDFMaxMeshPieces) / 4097 + 3, false)},
       false,
       false,
       withShading},
      {"mesh triangles the paint budget pays for",
       "/Sh sh " + paint,
       {pageTriangles(100)},
       true,
       false,
       withShading},
      {"past it, even at half the scale",
       "/Sh sh " + paint,
       {pageTriangles(4 * (fillsPaid + 1))},
       false,
       false,
       withShading,
       true},
      {"a patch mesh of 8,192 patches, 16 vertices each",
       paint + " /Sh sh",
       {patchMesh(vertices / 16)},
       true,
       false,
       withShading},
      {"8,193 patches",
       paint + " /Sh sh",
       {patchMesh(vertices / 16 + 1)},
       false,
       false,
       withShading},
      {"a form drawn to the readings budget",
       formDraws(readings - 1),
       {FormObject("0 0 10 10", " ")},
       true,
       false,
       withForm},
      {"drawn once more",
       formDraws(readings),
       {FormObject("0 0 10 10", " ")},
       false,
       false,
       withForm},
      // Walked once each, however they refer to each other.
      {"forms naming each other",
       paint + " /F Do",
       {FormObject("0 0 10 10", "/F Do", "/Resources << /XObject << /F 6 0 R >> >>"),
        FormObject("0 0 10 10", "/F Do", "/Resources << /XObject << /F 5 0 R >> >>")},
       true,
       false,
       withForm},
      {"forms chained 80 deep", deepChain.content, deepChain.objects, true, false,
       deepChain.entries},
      {"the last of them past the content budget", paint + " " + deepChainPast.content,
       deepChainPast.objects, false, false, deepChainPast.entries},
      {"forms each drawing the next twice, 70 deep", paint + " " + doubling.content,
       doubling.objects, false, false, doubling.entries},
      {"groups nested to the surfaces' bound", paint + " " + groupsToBound.content,
       groupsToBound.objects, true, false, groupsToBound.entries, false, "0 0 1024 1024"},
      {"one group deeper", paint + " " + groupsPast.content, groupsPast.objects, false, true,
       groupsPast.entries, true, "0 0 1024 1024"},
      {"groups one after another the paint budget pays for",
       groups(surfacesPaid - 1),
       {emptyGroup},
       true,
       false,
       withGroup,
       false,
       "0 0 256 256"},
      {"one group more",
       groups(surfacesPaid),
       {emptyGroup},
       false,
       true,
       withGroup,
       true,
       "0 0 256 256"},
      {"knockout groups it pays for",
       groups(knockoutsPaid),
       {emptyKnockout},
       true,
       false,
       withGroup,
       false,
       "0 0 256 256"},
      {"one knockout group more",
       groups(knockoutsPaid + 1),
       {emptyKnockout},
       false,
       true,
       withGroup,
       true,
       "0 0 256 256"},
      {"soft masks it pays for",
       masks(surfacesPaid - 1),
       {maskGroup},
       true,
       false,
       withMask,
       false,
       "0 0 256 256"},
      {"one soft mask more",
       masks(surfacesPaid),
       {maskGroup},
       false,
       true,
       withMask,
       true,
       "0 0 256 256"},
      {"clip paths to the rows budget", clipRows(false), {}, true},
      {"one row more", clipRows(true), {}, false, true, "", true},
      {"strokes clipping to their outlines to the rows budget",
       strokeClipRows(false),
       strokePattern,
       true,
       false,
       withPattern,
       false,
       "0 0 100 1000"},
      // Two rows more: a point repeated, on both sides of the outline.
      {"one point more", strokeClipRows(true), strokePattern, false, true, withPattern, true,
       "0 0 100 1000"},
      {"rectangles on the pixel grid, which cost no rows", gridRectangles(100'000), {}, true},
      {"a line of text as a clip", textClip(10), helvetica, true, false, withFont},
      {"text as a clip past the rows budget", textClip(2000), helvetica, false, false, withFont,
       true},
      {"saves copying clip paths to the budget", clippedSaves(1024, entries / 1024), {}, true},
      {"one save more", clippedSaves(1024, entries / 1024 + 1), {}, false},
  };
  // A budget a row or a byte off would let a page past it run on: the
  // renderer's limits end such a render within seconds, and the refusal
  // must then be the budget's.
  const RenderLimits limits("10,1024,20");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto doc = CGPDFDocument::create(makePDF({{c.mediaBox, c.content, c.extra}}, c.objects));
    ASSERT_TRUE(doc);
    auto page = doc->page(1);
    CGImageRef image;
    // What a render may cost is checked through the budgets it spent, not
    // the clock.
    auto log = RecordedLog::install();
    image = page->createImage(1);
    if (!c.renders) {
      EXPECT_FALSE(image);
      EXPECT_TRUE(Logged(*log, "costs more work than a page may"));
      EXPECT_FALSE(Logged(*log, "to render"));
      EXPECT_FALSE(page->createImage(1));
      EXPECT_EQ(bool(page->createImage(0.5)), c.rendersAtHalf);
      // Given up, the page is not drawn again where it would cost as much:
      // only a page whose pixels ran out is tried at a smaller scale.
      EXPECT_EQ(page->renderCost().renders, c.paintBound ? 2u : 1u);
      // Drawn into a context (on white paper, then black), it is given up
      // on the first.
      auto fresh =
          CGPDFDocument::create(makePDF({{c.mediaBox, c.content, c.extra}}, c.objects))->page(1);
      auto context = CGBitmapContextCreate(nullptr, 100, 100, 8, 0, CGColorSpaceCreateDeviceRGB(),
                                           kCGImageAlphaPremultipliedLast);
      CGContextDrawPDFPage(context, fresh);
      EXPECT_EQ(fresh->renderCost().renders, 1u);
      continue;
    }
    ASSERT_TRUE(image) << ::testing::PrintToString(log->messages());
    if (c.name == "strokes clipping to their outlines to the rows budget") {
      EXPECT_EQ(page->renderCost().clipRows, kCGPDFMaxClipRows);
    }
    // The black square the page starts with, or the fills.
    EXPECT_LT(image->pixelData()->data()[(image->height() - 5) * image->bytesPerRow() + 5 * 4 + 1],
              8);
    // Rendered again, the page costs the same: the budget is each render's.
    EXPECT_TRUE(page->createImage(1));
    EXPECT_EQ(page->renderCost().renders, 2u);
  }
}

// A render that runs out of memory where no budget foresaw is refused as a
// page past its budget is, and the process goes on: a page within every
// budget needs more than the renderer's resident limit, held low here
// (triangles clipping a 1000 x 1000 page, some 350 KB of clip rows each).
TEST_F(CGPDFDocumentTest, ARenderThatRunsOutOfMemoryIsRefused) {
  std::string content = "0 g 0 0 10 10 re f ";
  const size_t clips = size_t(kCGPDFMaxClipRows) / 3005;  // rows each: 1000 + 2 x 1000 + 5
  for (size_t i = 0; i < clips; ++i) content += "0 0 m 1000 0 l 0 1000 l h W n ";
  const Bytes bytes = OnePagePDF("0 0 1000 1000", content);
  // Within the usual limits the page renders.
  auto page = CGPDFDocument::create(std::make_shared<const Bytes>(bytes))->page(1);
  ASSERT_TRUE(page->createImage(1));
  EXPECT_GT(page->renderCost().clipRows, 0.9 * kCGPDFMaxClipRows);
  const RenderLimits limits("10,48,20");
  auto log = RecordedLog::install();
  page = CGPDFDocument::create(std::make_shared<const Bytes>(bytes))->page(1);
  // Given up, at every scale: memory may run out again at any.
  EXPECT_FALSE(page->createImage(1));
  EXPECT_FALSE(page->createImage(0.25));
  EXPECT_EQ(page->renderCost().renders, 1u);
  EXPECT_LT(page->renderCost().clipRows, kCGPDFMaxClipRows);
  EXPECT_TRUE(Logged(*log, "took more than 48 MiB of memory to render") ||
              Logged(*log, "ran out of memory to render"));
}

// The pages whose cost no budget foresees, each past one of the renderer's
// limits (held low here: a second of CPU time, 256 MiB): each is refused,
// for that limit, at every scale, and the process, the document's other
// pages and other documents rendering meanwhile go on.
TEST_F(CGPDFDocumentTest, PagesPastTheRenderersLimitsAreRefused) {
  const RenderLimits limits("1,256,20");
  const struct {
    const char* name;
    Bytes bytes;
  } pages[] = {
      {"a shading of a PostScript calculator function", CalculatorShadingPDF(2000)},
      {"one fill of a million segments", LongPathPDF(1'000'000)},
      {"one fill of 100,000 curves", ManyCurvesPDF(100'000)},
      {"a sampled function of 2^26 samples", SampledFunctionPDF(size_t(1) << 26)},
      {"a JPEG declaring more than its image", LyingJPEGImagePDF(30000)},
      {"forty large inline images", InlineImagesPDF(40, 2560)},
  };
  // A page of another document, rendered on a worker all the while.
  const auto normal = makePDF({{"0 0 200 100", "1 0 0 rg 0 0 100 100 re f", ""}});
  std::atomic<int> shown{0}, rendering{1};
  dispatch_async(dispatch_get_global_queue(0, 0), [&] {
    while (rendering.load()) {
      if (CGPDFDocument::create(normal)->page(1)->createImage(1)) ++shown;
    }
    rendering = -1;
  });
  for (const auto& hostile : pages) {
    SCOPED_TRACE(hostile.name);
    auto log = RecordedLog::install();
    auto doc = CGPDFDocument::create(std::make_shared<const Bytes>(hostile.bytes));
    ASSERT_TRUE(doc);
    auto page = doc->page(1);
    EXPECT_FALSE(page->createImage(1));
    // Refused by one of the renderer's limits: which comes first depends on
    // the build (a sanitizer's is slower) and on how busy the machine is.
    EXPECT_TRUE(Logged(*log, "to render") || Logged(*log, "died of signal"))
        << ::testing::PrintToString(log->messages());
    EXPECT_FALSE(Logged(*log, "costs more work than a page may"));
    // Not tried again, at any scale.
    EXPECT_FALSE(page->createImage(0.25));
    EXPECT_EQ(page->renderCost().renders, 1u);
    auto context = CGBitmapContextCreate(nullptr, 100, 100, 8, 0, CGColorSpaceCreateDeviceRGB(),
                                         kCGImageAlphaPremultipliedLast);
    CGContextDrawPDFPage(context, page);
    EXPECT_EQ(page->renderCost().renders, 1u);
  }
  rendering = 0;
  ASSERT_TRUE(RunMainLoopUntil([&] { return rendering.load() == -1; }));
  EXPECT_GT(shown.load(), 0);
  // The renderer of a document whose page was refused starts again for
  // its other pages.
  const std::vector<PageSpec> twoPages = {
      {"0 0 612 792", "/Sh sh", "/Resources << /Shading << /Sh 7 0 R >> >>"},
      {"0 0 200 100", "0 0 1 rg 0 0 200 100 re f", ""}};
  std::string program = "{";
  for (int i = 0; i < 1000; ++i) program += " 1 add 1 sub";
  program += " pop }";
  auto doc = CGPDFDocument::create(makePDF(
      twoPages,
      {"<< /ShadingType 1 /ColorSpace /DeviceGray /Domain [0 612 0 792] /Function 8 0 R >>",
       "<< /FunctionType 4 /Domain [0 612 0 792] /Range [0 1] /Length " +
           std::to_string(program.size()) + " >>\nstream\n" + program + "\nendstream"}));
  ASSERT_TRUE(doc);
  EXPECT_FALSE(doc->page(1)->createImage(1));
  auto second = doc->page(2)->createImage(1);
  ASSERT_TRUE(second);
  EXPECT_EQ(second->width(), 200u);

  // Past the wall-clock limit, however little CPU time it has taken.
  const RenderLimits wall("10,1024,0.2");
  auto log = RecordedLog::install();
  auto slow = CGPDFDocument::create(std::make_shared<const Bytes>(CalculatorShadingPDF(2000)));
  EXPECT_FALSE(slow->page(1)->createImage(1));
  EXPECT_TRUE(Logged(*log, "took longer than 0.2 s to render"));
}

// Renderers end with the process that started them, even one that leaves
// at once, without ending anything itself, right after a render.
TEST_F(CGPDFDocumentTest, RenderersEndWithTheirProcess) {
  // Where the death test's process, run anew, writes: the run's container,
  // which it inherits.
  const std::string list = std::string(std::getenv("QX_APP_HOME")) + "/renderers";
  auto renderAndLeave = [&list] {
    auto page = CGPDFDocument::create(twoPagePDF())->page(1);
    if (!page->createImage(1)) std::_Exit(2);
    std::ofstream out(list);
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
      std::ifstream children(task.path() / "children");
      for (int pid; children >> pid;) out << pid << "\n";
    }
    out.close();
    EndProcessWithoutStaticDestructors(0);
  };
  EXPECT_EXIT(renderAndLeave(), ::testing::ExitedWithCode(0), "");
  std::ifstream in(list);
  std::vector<int> renderers;
  for (int pid; in >> pid;) renderers.push_back(pid);
  ASSERT_FALSE(renderers.empty());
  // Gone, or at most a zombie of no one's that the system reaps.
  auto running = [](int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(stat, line) || line.find("(pdf-renderer)") == std::string::npos) {
      return false;
    }
    return line[line.rfind(')') + 2] != 'Z';
  };
  for (int pid : renderers) {
    EXPECT_TRUE(RunMainLoopUntil([&] { return !running(pid); })) << pid;
  }
}

}  // namespace cgpdf_document_test

