#include <gtest/gtest.h>

#include "AKPhotoGallery/AKPhotoGallery.h"
#include "AKPhotoGallery/AKPhotoGalleryItem.h"
#include "AKPhotoGallery/AKPhotoImagePreviewVC.h"
#include "GalleryTestSupport.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIWindow.h"
#include "support/ui/SnapshotTesting.h"
#include "support/ui/UITouchDriver.h"

namespace gallery_pictures_test {

namespace {

UIImagePtr Picture(size_t width, size_t height) {
  return UIImage::imageWithCGImage(TwoBandBitmap(width, height), 1, UIImageOrientationUp);
}

// Answers more items at either end at once.
class MoreItems : public AKPhotoGalleryIncrementalDataSource {
 public:
  void photoGalleryItemsBefore(AKPhotoGallery&, const AKPhotoGalleryItemPtr&, ResultHandler handler) override {
    handler(std::vector<AKPhotoGalleryItemPtr>{AKPhotoGalleryItem::itemWithImage(Picture(60, 40))}, nullptr);
  }
  void photoGalleryItemsAfter(AKPhotoGallery&, const AKPhotoGalleryItemPtr&, ResultHandler handler) override {
    handler(std::vector<AKPhotoGalleryItemPtr>{}, nullptr);
  }
};

}  // namespace

// The gallery as a person sees it at the moments that matter: growing out of
// a grid picture and at rest, a zoomed photo, the pull-to-load spinner half
// pulled, and the page following a finger down to dismiss.
class GalleryPicturesTest : public GalleryTest {
 protected:
  void SetUp() override {
    GalleryTest::SetUp();
    registerAKPhotoGalleryClasses();
    CGSize screen = UIScreen::mainScreen()->bounds().size;
    window = std::make_shared<UIWindow>(CGRectMake(0, 0, screen.width, screen.height));
    window->makeKeyAndVisible();
    root = std::make_shared<UIViewController>();
    window->setRootViewController(root);
    root->view()->setFrame(window->bounds());
    root->view()->setBackgroundColor(UIColor::whiteColor());
    cell = std::make_shared<UIImageView>(Picture(400, 300));
    cell->setFrame(CGRectMake(20, 120, 120, 120));
    cell->setContentMode(UIViewContentModeScaleAspectFill);
    cell->setClipsToBounds(true);
    root->view()->addSubview(cell);
  }
  void TearDown() override {
    if (gallery && root->presentedViewController() == gallery) gallery->dismissGallery();
    advance(4);
    gallery.reset();
    GalleryTest::TearDown();
  }
  void present(std::vector<AKPhotoGalleryItemPtr> items) {
    gallery = std::make_shared<AKPhotoGallery>();
    gallery->setItems(std::move(items));
    gallery->setPresentingFromImageView(cell);
    gallery->setFinishedBlock([this](int64_t, const AKPhotoGalleryItemPtr&) { return cell; });
    presentWithPhotoGallery(root, gallery);
  }
  void picture(const std::string& name) {
    auto image = RenderView(*window, 1);
    SaveSnapshot(image, name);
    EXPECT_TRUE(MatchesGolden(image, "AKPhotoGallery/" + name + ".png", 8, 600)) << name;
  }

  std::shared_ptr<UIWindow> window;
  std::shared_ptr<UIViewController> root;
  std::shared_ptr<UIImageView> cell;
  std::shared_ptr<AKPhotoGallery> gallery;
};

TEST_F(GalleryPicturesTest, PresentedFromAGridPictureMidwayAndAtRest) {
  present({AKPhotoGalleryItem::itemWithImage(Picture(400, 300))});
  advance(0.125);
  picture("gallery-present-midway");
  advance(1.0);
  EXPECT_EQ(root->presentedViewController(), gallery);
  picture("gallery-present-at-rest");
}

TEST_F(GalleryPicturesTest, AZoomedPhoto) {
  present({AKPhotoGalleryItem::itemWithImage(Picture(400, 300))});
  advance(1.0);
  auto page = gallery->currentContentVC();
  UITouchDriver hand(window);
  const CGSize screen = window->bounds().size;
  hand.tap({screen.width * 0.25, screen.height * 0.5}, 2);
  advance(1.0);
  EXPECT_EQ(page->scrollView()->zoomScale(), 4);
  picture("gallery-zoomed-photo");
}

TEST_F(GalleryPicturesTest, PullToLoadHalfPulledAndDismissalMidDrag) {
  gallery = std::make_shared<AKPhotoGallery>();
  gallery->setItems(std::vector<AKPhotoGalleryItemPtr>{AKPhotoGalleryItem::itemWithImage(Picture(400, 300))});
  gallery->setIncrementalDataSource(std::make_shared<MoreItems>());
  gallery->setPresentingFromImageView(cell);
  gallery->setFinishedBlock([this](int64_t, const AKPhotoGalleryItemPtr&) { return cell; });
  presentWithPhotoGallery(root, gallery);
  advance(1.0);
  auto scroll = gallery->contentVC()->mainView();
  scroll->setContentOffset({-35, 0});
  advance(0.1);
  picture("gallery-pull-half");
  scroll->setContentOffset({0, 0});
  advance(1.0);

  // A finger drags the page down 100 points: it shrinks to half around the
  // finger and the background is half transparent.
  UITouchDriver hand(window);
  const CGSize screen = window->bounds().size;
  auto finger = hand.drag({{screen.width / 2, screen.height / 2}, {screen.width / 2 + 30, screen.height / 2 + 100}},
                          0.4, false);
  advance(0.2);
  EXPECT_NEAR(gallery->view()->backgroundColor()->alpha(), 0.5, 0.05);
  picture("gallery-dismiss-mid-drag");
  hand.up({finger});
  advance(1.0);
}

}  // namespace gallery_pictures_test
