#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "AKPhotoGallery/AKPhotoContentAnimationView.h"
#include "AKPhotoGallery/AKPhotoGalleryItem.h"
#include "AKPhotoGallery/AKPhotoGalleryScrollView.h"
#include "GalleryTestSupport.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UISlider.h"
#include "platform/uikit/UIViewController.h"
#include "support/ui/SnapshotTesting.h"

namespace gallery_views_test {

class GalleryViewsTest : public GalleryTest {};

namespace {

std::shared_ptr<AKPhotoContentAnimationView> WideContentIn100Square() {
  auto content = std::make_shared<UIView>(CGRectMake(0, 0, 10, 10));
  auto view = AKPhotoContentAnimationView::withView(content, CGSizeMake(200, 100));
  view->setFrame(CGRectMake(0, 0, 100, 100));
  return view;
}

}  // namespace

TEST_F(GalleryViewsTest, ContentAnimationViewLaysContentOutLikeAnImageView) {
  auto view = WideContentIn100Square();
  const auto& content = view->contentView();

  view->setContentMode(UIViewContentModeScaleAspectFit);
  EXPECT_EQ(content->frame(), CGRectMake(0, 25, 100, 50));
  view->setContentMode(UIViewContentModeScaleAspectFill);
  EXPECT_EQ(content->frame(), CGRectMake(-50, 0, 200, 100));
  view->setContentMode(UIViewContentModeTopLeft);
  EXPECT_EQ(content->center(), CGPointMake(100, 50));
  view->setContentMode(UIViewContentModeBottomRight);
  EXPECT_EQ(content->center(), CGPointMake(0, 50));
  view->setContentMode(UIViewContentModeBottom);
  EXPECT_EQ(content->center(), CGPointMake(50, 50));
  view->setContentMode(UIViewContentModeRight);
  EXPECT_EQ(content->center(), CGPointMake(0, 50));
  view->setContentMode(UIViewContentModeScaleToFill);
  EXPECT_EQ(content->frame(), CGRectMake(0, 0, 100, 100));

  // Redraw leaves the content where the last layout put it.
  content->setFrame(CGRectMake(7, 8, 9, 10));
  view->setContentMode(UIViewContentModeRedraw);
  EXPECT_EQ(content->frame(), CGRectMake(7, 8, 9, 10));

  // A tall content fits by height: the larger ratio wins.
  auto tall = AKPhotoContentAnimationView::withView(std::make_shared<UIView>(), CGSizeMake(50, 400));
  tall->setFrame(CGRectMake(0, 0, 100, 100));
  tall->setContentMode(UIViewContentModeScaleAspectFit);
  EXPECT_EQ(tall->contentView()->frame(), CGRectMake(43.75, 0, 12.5, 100));
  tall->setContentMode(UIViewContentModeScaleAspectFill);
  EXPECT_EQ(tall->contentView()->frame().size, CGSizeMake(100, 800));

  // No content size: nothing ever moves.
  auto empty = AKPhotoContentAnimationView::withImage(nullptr);
  EXPECT_EQ(empty->contentSize(), CGSizeMake(0, 0));
  empty->contentView()->setFrame(CGRectMake(1, 2, 3, 4));
  empty->setFrame(CGRectMake(0, 0, 300, 300));
  empty->setContentMode(UIViewContentModeCenter);
  empty->layoutIfNeeded();
  EXPECT_EQ(empty->contentView()->frame(), CGRectMake(1, 2, 3, 4));

  // The view's own size stands in for a zero content size.
  auto sized = AKPhotoContentAnimationView::withView(
      std::make_shared<UIView>(CGRectMake(0, 0, 30, 40)), CGSizeMake(0, 0));
  EXPECT_EQ(sized->contentSize(), CGSizeMake(30, 40));
}

TEST_F(GalleryViewsTest, ProgressRingGrowsClockwiseFromTheTopAndRestartsEmpty) {
  auto host = std::make_shared<UIView>(CGRectMake(0, 0, 60, 60));
  auto ring = AKPhotoProgressIndicator::withHostView(host);
  EXPECT_TRUE(ring->isHidden());
  EXPECT_EQ(ring->frame(), host->bounds());
  EXPECT_EQ(ring->superview(), host);

  auto litAt = [&](double degreesFromTop) {
    auto context = UIGraphicsCreateImageContext(CGSizeMake(60, 60), false, 1);
    UIGraphicsPushContext(context);
    ring->drawRect(ring->bounds());
    UIGraphicsPopContext();
    auto image = CGBitmapContextCreateImage(context);
    // Pixels 15.7 to 16.8 from the centre lie on the thick arc (15.5 to
    // 19.5) and inside the thin ring (17.5 to 19.5); the arc covers an angle
    // when most of them within 10 degrees of it are drawn.
    int inside = 0, lit = 0;
    for (size_t y = 0; y < 60; ++y) {
      for (size_t x = 0; x < 60; ++x) {
        double dx = double(x) + 0.5 - 30, dy = double(y) + 0.5 - 30;
        double r = std::hypot(dx, dy);
        double angle = std::atan2(dx, -dy) * 180 / std::numbers::pi;
        double off = std::fabs(std::remainder(angle - degreesFromTop, 360.0));
        if (r < 15.7 || r > 16.8 || off > 10) continue;
        ++inside;
        if (PixelAt(image, x, y).a > 128) ++lit;
      }
    }
    return inside > 0 && lit * 5 >= inside * 4;
  };

  ring->startIndicating();
  EXPECT_FALSE(ring->isHidden());
  ring->setProgress(0.25f);
  EXPECT_TRUE(litAt(45));
  EXPECT_FALSE(litAt(135));
  EXPECT_FALSE(litAt(315));
  ring->setProgress(1);
  EXPECT_TRUE(litAt(135));
  EXPECT_TRUE(litAt(315));

  ring->stopIndicating();
  EXPECT_TRUE(ring->isHidden());
  EXPECT_EQ(ring->progress(), 1.0f);
  ring->startIndicating();
  EXPECT_EQ(ring->progress(), 0.0f);
  EXPECT_FALSE(litAt(45));
}

TEST_F(GalleryViewsTest, ScrollViewPagesAreScreenSizedWithGapsAndPrependKeepsThePage) {
  const CGSize screen = UIScreen::mainScreen()->bounds().size;
  const double stride = screen.width + 20;
  auto scroll = std::make_shared<AKPhotoGalleryScrollView>(CGRectMake(0, 0, screen.width, screen.height));
  scroll->appendEmptyPages(3);
  EXPECT_EQ(scroll->contentSize().width, stride * 3 - 20);
  EXPECT_EQ(AKPhotoGalleryScrollView::pageFrame(2), CGRectMake(2 * stride, 0, screen.width, screen.height));

  auto first = std::make_shared<UIViewController>();
  auto item = AKPhotoGalleryItem::item();
  scroll->placePreviewVC(first, item, 0);
  EXPECT_EQ(first->view()->superview(), scroll);
  EXPECT_EQ(scroll->viewForItem(item), first->view());

  scroll->insertEmptyPagesBefore(2);
  ASSERT_EQ(scroll->views().size(), 5u);
  EXPECT_EQ(scroll->views()[2], first->view());
  EXPECT_EQ(first->view()->frame().origin.x, 2 * stride);
  EXPECT_EQ(scroll->contentOffset().x, 2 * stride);
  EXPECT_EQ(scroll->contentSize().width, stride * 5 - 20);

  // On page 4 of 5, only pages 3 and 4 (and a missing 5) move when one more
  // is prepended; page 2's view keeps its frame until it is placed again.
  auto fourth = std::make_shared<UIViewController>();
  scroll->placePreviewVC(fourth, AKPhotoGalleryItem::item(), 4);
  scroll->setContentOffset(CGPointMake(4 * stride, 0));
  scroll->insertEmptyPagesBefore(1);
  EXPECT_EQ(fourth->view()->frame().origin.x, 5 * stride);
  EXPECT_EQ(first->view()->frame().origin.x, 2 * stride);
  EXPECT_EQ(scroll->contentOffset().x, 5 * stride);
}

TEST_F(GalleryViewsTest, PrependingMovesThePageTheOffsetIsInAndItsNeighbours) {
  // The page on screen is the whole number of strides in the offset, cut
  // toward zero: resting pulled past the start (-65) is still page 0.
  const CGSize screen = UIScreen::mainScreen()->bounds().size;
  const double stride = screen.width + 20;
  struct Case {
    double offset;
    size_t page;
  };
  for (const Case c : {Case{-65, 0}, {-0.5, 0}, {0, 0}, {0.5, 0}, {stride - 1, 0}, {stride, 1}}) {
    auto scroll =
        std::make_shared<AKPhotoGalleryScrollView>(CGRectMake(0, 0, screen.width, screen.height));
    scroll->appendEmptyPages(4);
    std::vector<std::shared_ptr<UIViewController>> pages;
    for (size_t i = 0; i < 4; ++i) {
      pages.push_back(std::make_shared<UIViewController>());
      scroll->placePreviewVC(pages.back(), AKPhotoGalleryItem::item(), i);
    }
    scroll->setContentOffset(CGPointMake(c.offset, 0));
    scroll->insertEmptyPagesBefore(2);
    for (size_t i = 0; i < 4; ++i) {
      const bool moves = i + 1 >= c.page && i <= c.page + 1;
      EXPECT_EQ(pages[i]->view()->frame().origin.x, stride * double(moves ? i + 2 : i))
          << "offset " << c.offset << ", page " << i;
    }
    EXPECT_EQ(scroll->contentOffset().x, c.offset + 2 * stride) << c.offset;
  }
}

namespace {

class AppearanceCounter : public UIViewController {
 public:
  int willAppear = 0, didAppear = 0;
  void viewWillAppear(bool animated) override {
    EXPECT_TRUE(animated);
    ++willAppear;
  }
  void viewDidAppear(bool animated) override {
    EXPECT_TRUE(animated);
    ++didAppear;
  }
};

}  // namespace

TEST_F(GalleryViewsTest, ReusedControllerIsShownAgainAndSlidersStopPaging) {
  auto scroll = std::make_shared<AKPhotoGalleryScrollView>(CGRectMake(0, 0, 390, 844));
  scroll->appendEmptyPages(2);
  auto page = std::make_shared<AppearanceCounter>();
  scroll->placePreviewVC(page, AKPhotoGalleryItem::item(), 0);
  EXPECT_EQ(page->willAppear, 0);
  page->view()->setHidden(true);
  scroll->placePreviewVC(page, AKPhotoGalleryItem::item(), 1);
  EXPECT_EQ(page->willAppear, 1);
  EXPECT_EQ(page->didAppear, 1);
  EXPECT_FALSE(page->view()->isHidden());

  auto slider = std::make_shared<UISlider>(CGRectMake(20, 700, 300, 30));
  page->view()->addSubview(slider);
  const double x = page->view()->frame().origin.x;
  scroll->setContentOffset(CGPointMake(x, 0));
  ASSERT_EQ(scroll->hitTest(CGPointMake(x + 100, 715), nullptr), slider);
  EXPECT_FALSE(scroll->isScrollEnabled());
  scroll->hitTest(CGPointMake(x + 100, 300), nullptr);
  EXPECT_TRUE(scroll->isScrollEnabled());
}

}  // namespace gallery_views_test
