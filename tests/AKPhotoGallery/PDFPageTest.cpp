#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "AKPhotoGallery/AKPhotoGallery.h"
#include "AKPhotoGallery/AKPhotoGalleryItem.h"
#include "AKPhotoGallery/internal/AKPDFView.h"
#include "AKPhotoGallery/internal/AKPhotoPDFPreviewVC.h"
#include "GalleryTestSupport.h"
#include "platform/coregraphics/CGPDFDocument.h"
#include "platform/foundation/Dispatch.h"
#include "platform/pdfkit/PDFDocumentSource.h"
#include "platform/uikit/UIActivityIndicatorView.h"
#include "platform/uikit/UIAlertController.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIWindow.h"
#include "support/HostilePDF.h"
#include "support/TempFolder.h"
#include "support/ui/ScriptedDisplay.h"
#include "support/ui/SnapshotTesting.h"
#include "support/ui/UITouchDriver.h"

namespace pdf_page_test {

namespace {

// Reads files, holding each read at a gate while asked to, and counts them.
class GatedSource : public PDFDocumentSource {
 public:
  NSDataPtr read(const NSURLPtr& url) override {
    std::unique_lock<std::mutex> lock(mutex_);
    ++reads_;
    ++waiting_;
    changed_.notify_all();
    changed_.wait(lock, [&] { return !held_; });
    --waiting_;
    lock.unlock();
    return NSData::dataWithContentsOfFile(url->path());
  }
  void hold() {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = true;
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = false;
    changed_.notify_all();
  }
  int reads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reads_;
  }
  int waiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return waiting_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  bool held_ = false;
  int reads_ = 0;
  int waiting_ = 0;
};

// A one-page document whose content is a black square, then `more`, padded
// with nothing to `size` bytes: cheap to make, as dear to read as any
// content.
Bytes PaddedPDF(size_t size, const std::string& more = "") {
  std::string content = "0 g 0 0 100 100 re f " + more;
  content.resize(std::max(size, content.size()), ' ');
  const std::vector<std::string> objects = {
      "<< /Type /Catalog /Pages 2 0 R >>", "<< /Type /Pages /Kids [3 0 R] /Count 1 >>",
      "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 200 200] /Contents 4 0 R >>",
      "<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content + "\nendstream"};
  std::string pdf = "%PDF-1.4\n";
  std::vector<size_t> offsets;
  for (size_t i = 0; i < objects.size(); ++i) {
    offsets.push_back(pdf.size());
    pdf += std::to_string(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
  }
  const size_t xref = pdf.size();
  pdf += "xref\n0 5\n0000000000 65535 f \n";
  for (size_t offset : offsets) {
    const std::string n = std::to_string(offset);
    pdf += std::string(10 - n.size(), '0') + n + " 00000 n \n";
  }
  pdf += "trailer\n<< /Size 5 /Root 1 0 R >>\nstartxref\n" + std::to_string(xref) + "\n%%EOF\n";
  return Bytes(pdf.begin(), pdf.end());
}

NSURLPtr Fixture(const std::string& name) {
  return NSURL::fileURLWithPath(std::string(std::getenv("QX_TEST_DATA")) + "/pdfkit/" + name);
}

}  // namespace

class PDFPageTest : public GalleryTest {
 protected:
  void SetUp() override {
    GalleryTest::SetUp();
    registerAKPhotoGalleryClasses();
    PDFDocumentSource::setDefaultSource(source);
  }
  void TearDown() override {
    source->release();
    PDFDocumentSource::setDefaultSource(nullptr);
    GalleryTest::TearDown();
  }
  bool settled(const std::shared_ptr<AKPDFView>& view) {
    return RunMainLoopUntil([&] { return !view->bufferingIndicator()->isAnimating(); });
  }
  std::shared_ptr<GatedSource> source = std::make_shared<GatedSource>();
};

TEST_F(PDFPageTest, AGalleryPdfPageShowsTheDocumentFittedWithoutZoomRingOrSheet) {
  CGSize screen = UIScreen::mainScreen()->bounds().size;
  auto window = std::make_shared<UIWindow>(CGRectMake(0, 0, screen.width, screen.height));
  window->makeKeyAndVisible();
  auto item = AKPhotoGalleryItem::itemWithPdfURL(Fixture("two-pages.pdf"));
  auto gallery = std::make_shared<AKPhotoGallery>();
  gallery->setItems(std::vector<AKPhotoGalleryItemPtr>{item});
  window->setRootViewController(gallery);
  gallery->view()->setFrame(window->bounds());
  gallery->viewWillAppear(false);
  gallery->contentVC()->viewWillAppear(false);
  advance(1.0);

  auto page = std::dynamic_pointer_cast<AKPhotoPDFPreviewVC>(gallery->currentContentVC());
  ASSERT_TRUE(page);
  auto pdf = page->pdfView();
  ASSERT_TRUE(pdf);
  EXPECT_EQ(page->contentView(), pdf);
  ASSERT_TRUE(settled(pdf));
  ASSERT_TRUE(pdf->document());
  EXPECT_EQ(pdf->document()->pageCount(), 2);
  EXPECT_EQ(pdf->platformPDFView()->document(), pdf->document());
  EXPECT_EQ(pdf->frame(), page->view()->bounds());
  EXPECT_EQ(pdf->platformPDFView()->frame(), pdf->bounds());
  EXPECT_GT(pdf->platformPDFView()->scaleFactor(), 0);
  EXPECT_DOUBLE_EQ(pdf->platformPDFView()->scaleFactor(),
                   pdf->platformPDFView()->scaleFactorForSizeToFit());
  EXPECT_NE(pdf->platformPDFView()->scaleFactor(), 1);
  EXPECT_FALSE(page->indicatorView());
  EXPECT_EQ(source->reads(), 1);

  // No zoom by double tap, no sheet on a long press.
  UITouchDriver hand(window);
  hand.tap({200, 400}, 2);
  advance(1.0);
  EXPECT_EQ(page->scrollView()->zoomScale(), 1);
  page->setCustomLongPressActions(
      {UIAlertAction::actionWithTitle("Extra", UIAlertActionStyle::Default, nullptr)});
  hand.longPress({200, 400}, 1.0);
  advance(1.0);
  EXPECT_FALSE(page->presentedViewController());

  // The PDF view renders its pages off the main thread.
  ASSERT_TRUE(RunMainLoopUntil(DispatchWorkersIdle));
  drainMainLoop();
  auto picture = RenderView(*gallery->view(), 1);
  SaveSnapshot(picture, "gallery-pdf-page");
  EXPECT_TRUE(MatchesGolden(picture, "AKPhotoGallery/gallery-pdf-page.png", 8, 400));

  // Appearing again hands over the same URL: nothing is read again.
  page->viewWillAppear(false);
  EXPECT_FALSE(pdf->bufferingIndicator()->isAnimating());
  drainMainLoop();
  EXPECT_EQ(source->reads(), 1);
  // Reuse empties the view.
  page->prepareForReuse();
  EXPECT_FALSE(pdf->url());
  EXPECT_FALSE(pdf->document());
  EXPECT_FALSE(pdf->platformPDFView()->document());
}

TEST_F(PDFPageTest, ANewerUrlSupersedesALoadUnderWayAndNoneLeavesNoDocument) {
  auto view = AKPDFView::pdfView();
  view->setFrame(CGRectMake(0, 0, 300, 400));
  source->hold();
  view->setUrl(Fixture("two-pages.pdf"));
  EXPECT_TRUE(view->bufferingIndicator()->isAnimating());
  ASSERT_TRUE(RunMainLoopUntil([&] { return source->waiting() == 1; }));
  // The same URL again starts nothing.
  view->bufferingIndicator()->stopAnimating();
  view->setUrl(Fixture("two-pages.pdf"));
  EXPECT_FALSE(view->bufferingIndicator()->isAnimating());
  view->setUrl(Fixture("rotated.pdf"));
  source->release();
  ASSERT_TRUE(settled(view));
  ASSERT_TRUE(RunMainLoopUntil([&] { return source->reads() == 2 && view->document(); }));
  drainMainLoop();
  ASSERT_TRUE(view->document());
  EXPECT_TRUE(view->document()->documentURL()->isEqual(*Fixture("rotated.pdf")));
  EXPECT_EQ(view->platformPDFView()->document(), view->document());

  // None while a load is under way: the view ends without a document.
  source->hold();
  view->setUrl(Fixture("two-pages.pdf"));
  ASSERT_TRUE(RunMainLoopUntil([&] { return source->waiting() == 1; }));
  view->setUrl(nullptr);
  EXPECT_FALSE(view->document());
  EXPECT_FALSE(view->platformPDFView()->document());
  source->release();
  ASSERT_TRUE(settled(view));
  EXPECT_FALSE(view->document());

  // A file no document can be made of: the spinner stops, nothing shows.
  // Counted from here: the superseded load above may or may not have reached
  // the source, depending on the workers' timing.
  const int readsBefore = source->reads();
  view->setUrl(
      NSURL::fileURLWithPath(std::string(std::getenv("QX_TEST_DATA")) + "/pdfkit/missing.pdf"));
  ASSERT_TRUE(RunMainLoopUntil([&] { return source->reads() > readsBefore; }));
  ASSERT_TRUE(settled(view));
  EXPECT_FALSE(view->document());
  EXPECT_TRUE(view->bufferingIndicator()->isHidden());

  // A document whose page costs more to draw than a page may opens, and
  // its page shows nothing, as that file does; a page within the bound
  // shows its square. The view fills the notched phone's screen, as the
  // gallery's page does, at three pixels a point.
  UseScreenProfile(UIScreenProfile::phoneWithNotch());
  view->setFrame(CGRectMake(0, 0, 390, 844));
  TempFolder folder;
  // Saves nested as deep as a page's content may, and one deeper.
  std::string deepest;
  for (int i = 1; i < int(kCGPDFMaxSaveDepth); ++i) deepest += "q ";
  struct Case {
    std::string name;
    Bytes bytes;
    bool shows;
    // The renderer's limits while the page renders: the pages no budget
    // foresees are held to a second of CPU time and 256 MiB.
    const char* limits = nullptr;
  };
  const char* low = "1,256,20";
  const Case cases[] = {
      {"padded", PaddedPDF(size_t(kCGPDFMaxContentBytes)), true},
      {"padded-past", PaddedPDF(size_t(kCGPDFMaxContentBytes) + 1), false},
      {"nested", PaddedPDF(0, deepest), true},
      {"nested-past", PaddedPDF(0, deepest + "q "), false},
      // Pages whose cost once escaped the bounds: forms drawing each other
      // twice, transparency groups nested, clip paths piled up.
      {"doubling-forms", DoublingFormsPDF(), false},
      {"nested-groups", NestedGroupsPDF(60), false},
      {"triangle-clips", TriangleClipsPDF(100'000), false},
      // Pages that no budget foresees, past the renderer's limits.
      {"calculator-shading", CalculatorShadingPDF(2000), false, low},
      {"long-path", LongPathPDF(1'000'000), false, low},
      {"many-curves", ManyCurvesPDF(100'000), false, low},
      {"sampled-function", SampledFunctionPDF(size_t(1) << 26), false, low},
      {"lying-jpeg", LyingJPEGImagePDF(30000), false, low},
      {"inline-images", InlineImagesPDF(40, 2560), false, low},
  };
  for (const auto& [name, bytes, shows, limits] : cases) {
    SCOPED_TRACE(name);
    if (limits) {
      ::setenv("QX_PDF_RENDER_LIMITS", limits, 1);
    } else {
      ::unsetenv("QX_PDF_RENDER_LIMITS");
    }
    const auto url = NSURL::fileURLWithPath(folder.writeFile(name + ".pdf", bytes));
    view->setUrl(url);
    // Waited for by its own document: a load superseded above may still
    // stop the spinner before this one is in.
    ASSERT_TRUE(RunMainLoopUntil(
        [&] { return view->document() && view->document()->documentURL()->isEqual(*url); }));
    ASSERT_TRUE(settled(view));
    // A page built to spend a whole budget takes up to a second to be given
    // up in the Release build, and ten times that under the thread sanitizer
    // on two cores: its render gets several of the usual waits.
    bool rendered = false;
    for (int wait = 0; wait < 6 && !rendered; ++wait) {
      rendered = RunMainLoopUntil(DispatchWorkersIdle);
    }
    ASSERT_TRUE(rendered);
    drainMainLoop();
    const auto layers = view->platformPDFView()->layer()->sublayers();
    ASSERT_EQ(layers.size(), 1u);
    EXPECT_EQ(bool(layers[0]->contents()), shows);
    SaveSnapshot(RenderView(*view, 1), "gallery-pdf-" + name);
  }
  ::unsetenv("QX_PDF_RENDER_LIMITS");
}

}  // namespace pdf_page_test
