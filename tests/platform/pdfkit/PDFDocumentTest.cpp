#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>

#include "platform/foundation/Dispatch.h"
#include "platform/pdfkit/PDFDocument.h"
#include "platform/pdfkit/PDFDocumentSource.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"
#include "support/network/LoopbackHttpServer.h"

namespace pdf_document_test {

namespace {

std::string DataPath(const std::string& name) {
  const char* root = std::getenv("QX_TEST_DATA");
  return std::string(root ? root : "tests/data") + "/pdfkit/" + name;
}

NSURLPtr DataURL(const std::string& name) { return NSURL::fileURLWithPath(DataPath(name)); }

std::string FileBytes(const std::string& name) {
  Bytes bytes;
  EXPECT_TRUE(ReadFileContents(DataPath(name), bytes)) << name;
  return std::string(bytes.begin(), bytes.end());
}

using PDFDocumentTest = PlatformTest;

}  // namespace

TEST_F(PDFDocumentTest, OpensAFileWithItsPagesAndTheirBoxes) {
  auto url = DataURL("two-pages.pdf");
  auto document = PDFDocument::initWithURL(url);
  ASSERT_TRUE(document);
  EXPECT_EQ(document->documentURL(), url);
  ASSERT_EQ(document->pageCount(), 2);
  auto first = document->pageAtIndex(0), second = document->pageAtIndex(1);
  ASSERT_TRUE(first && second);
  EXPECT_EQ(document->pageAtIndex(0), first);
  EXPECT_EQ(first->document(), document);
  EXPECT_FALSE(document->pageAtIndex(2));
  EXPECT_FALSE(document->pageAtIndex(-1));
  EXPECT_TRUE(CGRectEqualToRect(first->boundsForBox(kPDFDisplayBoxMediaBox),
                                CGRectMake(0, 0, 612, 792)));
  EXPECT_TRUE(CGRectEqualToRect(second->boundsForBox(kPDFDisplayBoxCropBox),
                                CGRectMake(0, 0, 700, 500)));
  EXPECT_TRUE(CGSizeEqualToSize(second->displayedSize(), CGSizeMake(700, 500)));
  EXPECT_EQ(first->rotation(), 0);

  auto turned = PDFDocument::initWithURL(DataURL("rotated.pdf"));
  ASSERT_TRUE(turned);
  auto page = turned->pageAtIndex(0);
  EXPECT_EQ(page->rotation(), 90);
  EXPECT_TRUE(CGSizeEqualToSize(page->displayedSize(), CGSizeMake(800, 400)));
  // Rendered as shown: turned, so wider than tall, at the scale asked for.
  auto image = page->imageAtScale(0.5);
  ASSERT_TRUE(image);
  EXPECT_EQ(image->width(), 400u);
  EXPECT_EQ(image->height(), 200u);

  // From data: the same document without a URL.
  Bytes bytes;
  ASSERT_TRUE(ReadFileContents(DataPath("two-pages.pdf"), bytes));
  auto fromData = PDFDocument::initWithData(NSData::dataWithBytes(bytes));
  ASSERT_TRUE(fromData);
  EXPECT_EQ(fromData->pageCount(), 2);
  EXPECT_FALSE(fromData->documentURL());
}

TEST_F(PDFDocumentTest, MissingUnreadableAndLockedFilesGiveNoDocument) {
  TempFolder folder;
  EXPECT_FALSE(PDFDocument::initWithURL(nullptr));
  EXPECT_FALSE(PDFDocument::initWithURL(NSURL::fileURLWithPath(folder.path() + "/missing.pdf")));
  EXPECT_FALSE(PDFDocument::initWithURL(NSURL::fileURLWithPath(folder.path())));
  const std::string text = folder.path() + "/notes.pdf";
  ASSERT_TRUE(WriteFileAtomically(text, "just some text\n", 15));
  EXPECT_FALSE(PDFDocument::initWithURL(NSURL::fileURLWithPath(text)));
  // Cut short: the cross-reference table is gone.
  std::string cut = FileBytes("two-pages.pdf").substr(0, 300);
  ASSERT_TRUE(WriteFileAtomically(folder.path() + "/cut.pdf", cut.data(), cut.size()));
  EXPECT_FALSE(PDFDocument::initWithURL(NSURL::fileURLWithPath(folder.path() + "/cut.pdf")));
  // A password is needed to open it: no document. Encrypted with an empty
  // user password, it opens as any reader opens it.
  EXPECT_FALSE(PDFDocument::initWithURL(DataURL("encrypted.pdf")));
  auto open = PDFDocument::initWithURL(DataURL("encrypted-open.pdf"));
  ASSERT_TRUE(open);
  EXPECT_EQ(open->pageCount(), 2);
  EXPECT_FALSE(PDFDocument::initWithURL(NSURL::URLWithString("ftp://127.0.0.1/two-pages.pdf")));
  EXPECT_FALSE(PDFDocument::initWithData(nullptr));
}

TEST_F(PDFDocumentTest, PageTreesThatLoopCountOnlyRealPages) {
  // One tree holds itself among its kids; in the other two nodes hold each
  // other and claim a million pages. Neither may hang or count pages that
  // are not there.
  auto loop = PDFDocument::initWithURL(DataURL("page-tree-loop.pdf"));
  ASSERT_TRUE(loop);
  ASSERT_EQ(loop->pageCount(), 1);
  EXPECT_TRUE(CGRectEqualToRect(loop->pageAtIndex(0)->boundsForBox(kPDFDisplayBoxMediaBox),
                                CGRectMake(0, 0, 300, 300)));
  EXPECT_FALSE(PDFDocument::initWithURL(DataURL("page-tree-cycle.pdf")));
}

// A document of one page per content (objects from 3 on, two a page), with
// a triangle mesh of `meshVertices` vertices as the shading /Sh.
NSDataPtr PagesOf(const std::vector<std::string>& contents, size_t meshVertices) {
  std::string mesh;
  for (size_t i = 0; i < meshVertices; ++i) {
    mesh += {char(i < 3 ? 0 : 1), char(i % 7), char(i % 5), char(0x80)};
  }
  std::vector<std::string> objects = {"<< /Type /Catalog /Pages 2 0 R >>", ""};
  const size_t meshObject = 3 + 2 * contents.size();
  std::string kids;
  for (const std::string& content : contents) {
    kids += std::to_string(objects.size() + 1) + " 0 R ";
    objects.push_back("<< /Type /Page /Parent 2 0 R /MediaBox [0 0 100 100] /Contents " +
                      std::to_string(objects.size() + 2) + " 0 R /Resources << /Shading << /Sh " +
                      std::to_string(meshObject) + " 0 R >> >> >>");
    objects.push_back("<< /Length " + std::to_string(content.size()) + " >>\nstream\n" +
                      content + "\nendstream");
  }
  objects[1] = "<< /Type /Pages /Kids [" + kids + "] /Count " +
               std::to_string(contents.size()) + " >>";
  objects.push_back("<< /ShadingType 4 /ColorSpace /DeviceGray /BitsPerCoordinate 8 "
                    "/BitsPerComponent 8 /BitsPerFlag 8 /Decode [0 100 0 100 0 1] /Length " +
                    std::to_string(mesh.size()) + " >>\nstream\n" + mesh + "\nendstream");
  std::string pdf = "%PDF-1.4\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const size_t xref = pdf.size();
  pdf += "xref\n0 " + std::to_string(objects.size() + 1) + "\n0000000000 65535 f \n";
  for (size_t offset : offsets) {
    const std::string n = std::to_string(offset);
    pdf += std::string(10 - n.size(), '0') + n + " 00000 n \n";
  }
  pdf += "trailer\n<< /Size " + std::to_string(objects.size() + 1) +
         " /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return NSData::dataWithBytes(Bytes(pdf.begin(), pdf.end()));
}

// Pages that cost more than a page may (saves nested too deep, a mesh read
// past its budget) open and show nothing, and are not drawn again however
// often they are asked for; the document's other pages show.
TEST_F(PDFDocumentTest, PagesPastTheirCostShowNothingAndAreDrawnOnce) {
  std::string deep;
  for (int i = 0; i < int(kCGPDFMaxSaveDepth) + 1; ++i) deep += "q ";
  // Each drawing of the mesh reads a third of the budget, and more.
  const size_t third = size_t(kCGPDFMaxMeshVertices) / 3 + 1;
  auto document = PDFDocument::initWithData(PagesOf(
      {"0 g 0 0 50 50 re f", deep, "/Sh sh /Sh sh /Sh sh", "/Sh sh /Sh sh"}, third));
  ASSERT_TRUE(document);
  ASSERT_EQ(document->pageCount(), 4);
  const std::vector<bool> shown = {true, false, false, true};
  for (int64_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    auto page = document->pageAtIndex(i);
    for (double scale : {1.0, 1.0, 0.5, 0.25}) {
      EXPECT_EQ(bool(page->imageAtScale(scale)), shown[size_t(i)]);
    }
    EXPECT_EQ(page->pageRef()->renderCost().renders, shown[size_t(i)] ? 4u : 1u);
  }
}

TEST_F(PDFDocumentTest, RemoteDocumentsLoadThroughTheURLSession) {
  LoopbackHttpServer server;
  server.script("/doc.pdf", ScriptedResponse(200, {{"Content-Type", "application/pdf"}},
                                             FileBytes("two-pages.pdf")));
  server.script("/chunked.pdf", ScriptedResponse(200, {}, FileBytes("rotated.pdf"), true));
  server.script("/huge.pdf", [] {
    ScriptedResponse r(200, {}, "%PDF-1.4");
    r.claimedLength = uint64_t(PDFURLSessionSource::kMaxRemoteBytes) + 1;
    return r;
  }());
  // Error answers whose body is a document are still errors.
  server.script("/error.pdf", ScriptedResponse(503, {}, FileBytes("two-pages.pdf")));
  server.script("/gone.pdf", ScriptedResponse(404, {}, FileBytes("two-pages.pdf")));
  auto url = NSURL::URLWithString(server.url("/doc.pdf"));
  auto document = PDFDocument::initWithURL(url);
  ASSERT_TRUE(document);
  EXPECT_EQ(document->pageCount(), 2);
  EXPECT_EQ(document->documentURL(), url);
  auto chunked = PDFDocument::initWithURL(NSURL::URLWithString(server.url("/chunked.pdf")));
  ASSERT_TRUE(chunked);
  EXPECT_EQ(chunked->pageAtIndex(0)->rotation(), 90);
  EXPECT_FALSE(PDFDocument::initWithURL(NSURL::URLWithString(server.url("/missing.pdf"))));
  EXPECT_FALSE(PDFDocument::initWithURL(NSURL::URLWithString(server.url("/error.pdf"))));
  EXPECT_FALSE(PDFDocument::initWithURL(NSURL::URLWithString(server.url("/gone.pdf"))));
  EXPECT_FALSE(PDFDocument::initWithURL(NSURL::URLWithString(server.url("/huge.pdf"))));
  EXPECT_FALSE(PDFDocument::initWithURL(NSURL::URLWithString(
      "http://127.0.0.1:" + std::to_string(LoopbackHttpServer::closedPort()) + "/doc.pdf")));
}

TEST_F(PDFDocumentTest, DocumentsOpenOnBackgroundQueuesAtOnce) {
  LoopbackHttpServer server;
  server.script("/doc.pdf", ScriptedResponse(200, {}, FileBytes("two-pages.pdf")));
  const std::vector<NSURLPtr> urls = {DataURL("two-pages.pdf"), DataURL("rotated.pdf"),
                                      NSURL::URLWithString(server.url("/doc.pdf")),
                                      DataURL("encrypted.pdf")};
  std::vector<int64_t> counts(urls.size(), -1);
  std::atomic<size_t> done{0};
  for (size_t i = 0; i < urls.size(); ++i) {
    dispatch_async(dispatch_get_global_queue(DispatchQoS::Default), [&, i] {
      auto document = PDFDocument::initWithURL(urls[i]);
      // Pages render off the main thread too.
      if (document) {
        EXPECT_TRUE(document->pageAtIndex(0)->imageAtScale(0.25));
      }
      dispatch_async(dispatch_get_main_queue(), [&, i, document] {
        counts[i] = document ? document->pageCount() : 0;
        ++done;
      });
    });
  }
  ASSERT_TRUE(RunMainLoopUntil([&] { return done == urls.size(); }));
  EXPECT_EQ(counts, (std::vector<int64_t>{2, 1, 2, 0}));
}

}  // namespace pdf_document_test
