#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/pdfkit/PDFView.h"
#include "platform/uikit/UIScreen.h"
#include "support/TestEnvironment.h"
#include "support/ui/SnapshotTesting.h"

namespace pdf_view_test {

namespace {

PDFDocumentPtr Open(const std::string& name) {
  const char* root = std::getenv("QX_TEST_DATA");
  return PDFDocument::initWithURL(
      NSURL::fileURLWithPath(std::string(root ? root : "tests/data") + "/pdfkit/" + name));
}

// RGBA of the pixel at (x, y) points of a picture rendered at `scale`.
std::array<int, 4> PixelAt(const UIImagePtr& image, double scale, double x, double y) {
  auto pixels = RGBAPixels(image->CGImage());
  size_t width = image->CGImage()->width();
  size_t i = (size_t(y * scale) * width + size_t(x * scale)) * 4;
  return {pixels[i], pixels[i + 1], pixels[i + 2], pixels[i + 3]};
}

class PDFViewTest : public PlatformTest {
 protected:
  // Waits (bounded) until every page layer shows a rendering other than `old`.
  bool rendered(const CGImageRef& old = nullptr) {
    return RunMainLoopUntil([&] {
      for (const auto& layer : view_->layer()->sublayers()) {
        if (!layer->contents() || layer->contents() == old) return false;
      }
      return true;
    });
  }

  PDFViewPtr view_ = [] {
    auto view = std::make_shared<PDFView>();
    view->setFrame(CGRectMake(0, 0, 350, 600));
    return view;
  }();
};

}  // namespace

TEST_F(PDFViewTest, FitScaleUsesTheWidestPageAsShown) {
  EXPECT_EQ(view_->displayDirection(), kPDFDisplayDirectionVertical);
  EXPECT_EQ(view_->scaleFactor(), 1);
  EXPECT_EQ(view_->scaleFactorForSizeToFit(), 1);  // no document
  view_->setDocument(Open("two-pages.pdf"));
  // The second page (700 wide) is the widest.
  EXPECT_DOUBLE_EQ(view_->scaleFactorForSizeToFit(), 350.0 / 700);
  view_->setDisplayDirection(kPDFDisplayDirectionHorizontal);
  EXPECT_DOUBLE_EQ(view_->scaleFactorForSizeToFit(), 600.0 / 792);
  view_->setDisplayDirection(kPDFDisplayDirectionVertical);
  // A portrait page turned a quarter shows 800 wide.
  view_->setDocument(Open("rotated.pdf"));
  EXPECT_DOUBLE_EQ(view_->scaleFactorForSizeToFit(), 350.0 / 800);
  view_->setFrame(CGRectZero);
  EXPECT_EQ(view_->scaleFactorForSizeToFit(), 1);

  view_->setScaleFactor(0.75);
  for (double bad : {0.0, -1.0, std::nan(""), double(INFINITY)}) view_->setScaleFactor(bad);
  EXPECT_EQ(view_->scaleFactor(), 0.75);

  // Scaling automatically refits at every layout, to the new size too.
  view_->setFrame(CGRectMake(0, 0, 400, 500));
  view_->setAutoScales(true);
  view_->layoutIfNeeded();
  EXPECT_DOUBLE_EQ(view_->scaleFactor(), 0.5);
  view_->setFrame(CGRectMake(0, 0, 200, 500));
  view_->layoutIfNeeded();
  EXPECT_DOUBLE_EQ(view_->scaleFactor(), 0.25);
}

TEST_F(PDFViewTest, VisiblePagesAreRenderedIntoLayersAtTheScreenScale) {
  auto document = Open("two-pages.pdf");
  view_->setDocument(document);
  view_->setScaleFactor(view_->scaleFactorForSizeToFit());  // 0.5
  view_->layoutIfNeeded();
  // Pages are rendered off the main thread: empty until they are in.
  ASSERT_FALSE(view_->layer()->sublayers()[0]->contents());
  ASSERT_TRUE(rendered());
  // Page one (612 x 792 at 0.5) centred, page two (700 x 500) under it
  // after the gap; both meet the 600-point view.
  EXPECT_TRUE(CGRectEqualToRect(view_->frameForPage(document->pageAtIndex(0)),
                                CGRectMake(22, 0, 306, 396)));
  EXPECT_TRUE(CGRectEqualToRect(view_->frameForPage(document->pageAtIndex(1)),
                                CGRectMake(0, 400, 350, 250)));
  auto layers = view_->layer()->sublayers();
  ASSERT_EQ(layers.size(), 2u);
  const double pixels = 0.5 * UIScreen::mainScreen()->scale();
  ASSERT_TRUE(layers[0]->contents());
  EXPECT_EQ(layers[0]->contents()->width(), size_t(612 * pixels));
  EXPECT_EQ(layers[0]->contents()->height(), size_t(792 * pixels));
  EXPECT_EQ(layers[0]->contentsScale(), UIScreen::mainScreen()->scale());
  EXPECT_TRUE(CGRectEqualToRect(layers[1]->frame(), CGRectMake(0, 400, 350, 250)));

  auto picture = RenderView(*view_, 2);
  SaveSnapshot(picture, "pdfkit_two_pages");
  // Page one's blue band (72...540 x 500...720 in page space, y up), the
  // white paper under its text, the grey gap, page two's red band.
  auto blue = PixelAt(picture, 2, 22 + 150, 396 - 0.5 * 600);
  EXPECT_LT(blue[0], 60);
  EXPECT_GT(blue[2], 170);
  auto paper = PixelAt(picture, 2, 22 + 10, 390);
  EXPECT_EQ(paper, (std::array<int, 4>{255, 255, 255, 255}));
  auto gap = PixelAt(picture, 2, 175, 398);
  EXPECT_NEAR(gap[0], 209, 2);
  EXPECT_EQ(gap[0], gap[2]);
  auto red = PixelAt(picture, 2, 100, 590);
  EXPECT_GT(red[0], 170);
  EXPECT_LT(red[1], 60);

  // Laid out again at the same scale: nothing is rendered again.
  auto before = layers[0]->contents();
  view_->setNeedsLayout();
  view_->layoutIfNeeded();
  drainMainLoop();
  EXPECT_EQ(view_->layer()->sublayers()[0]->contents(), before);

  // At full scale page one fills the view and page two leaves it.
  view_->setScaleFactor(1);
  view_->layoutIfNeeded();
  // The page shows its old rendering, stretched, until the new one is in.
  EXPECT_EQ(view_->layer()->sublayers()[0]->contents(), before);
  ASSERT_TRUE(rendered(before));
  layers = view_->layer()->sublayers();
  ASSERT_EQ(layers.size(), 1u);
  EXPECT_EQ(layers[0]->contents()->width(), size_t(612 * UIScreen::mainScreen()->scale()));

  // Left to right: both pages side by side, page two past the view.
  view_->setDisplayDirection(kPDFDisplayDirectionHorizontal);
  view_->layoutIfNeeded();
  EXPECT_TRUE(CGRectEqualToRect(view_->frameForPage(document->pageAtIndex(1)),
                                CGRectMake(620, 50, 700, 500)));
  EXPECT_EQ(view_->layer()->sublayers().size(), 1u);

  // Without a document the view shows its background only.
  view_->setDocument(nullptr);
  view_->layoutIfNeeded();
  EXPECT_TRUE(view_->layer()->sublayers().empty());
  EXPECT_TRUE(CGRectEqualToRect(view_->frameForPage(document->pageAtIndex(0)), CGRectZero));
}

}  // namespace pdf_view_test
