#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "AKPhotoGallery/internal/AKPDFView.h"
#include "AKPhotoGallery/AKPhotoGallery.h"
#include "AKPhotoGallery/AKPhotoGalleryItem.h"
#include "AKPhotoGallery/internal/AKPhotoPDFPreviewVC.h"
#include "GalleryTestSupport.h"
#include "platform/foundation/Dispatch.h"
#include "platform/pdfkit/PDFDocumentSource.h"
#include "platform/uikit/UIActivityIndicatorView.h"
#include "platform/uikit/UIAlertController.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIWindow.h"
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
  page->setCustomLongPressActions({UIAlertAction::actionWithTitle("Extra", UIAlertActionStyle::Default, nullptr)});
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
  view->setUrl(NSURL::fileURLWithPath(std::string(std::getenv("QX_TEST_DATA")) + "/pdfkit/missing.pdf"));
  ASSERT_TRUE(RunMainLoopUntil([&] { return source->reads() > readsBefore; }));
  ASSERT_TRUE(settled(view));
  EXPECT_FALSE(view->document());
  EXPECT_TRUE(view->bufferingIndicator()->isHidden());
}

}  // namespace pdf_page_test
