// Turning the gallery's pages with a finger, and what a page that is
// recycled for another item shows: swipes over photo, video and PDF pages,
// a zoomed photo panned to its edge first, recycled pages that start afresh
// and answers for an item a page no longer shows.

#include <gtest/gtest.h>

#include "AKPhotoGallery/AKPhotoGalleryContentVC.h"
#include "AKPhotoGallery/AKPhotoImagePreviewVC.h"
#include "GalleryInUse.h"
#include "platform/foundation/Value.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIImage.h"
#include "support/FlatJPEG.h"
#include "support/images/ImageLoadingTestSupport.h"
#include "support/photos/MediaFixtures.h"
#include "support/ui/SnapshotTesting.h"

namespace {

UIImagePtr Picture(size_t width, size_t height) {
  return UIImage::imageWithCGImage(TwoBandBitmap(width, height), 1, UIImageOrientationUp);
}

NSDataPtr EvenBytes(Bytes bytes) {
  if (bytes.size() % 2) bytes.push_back(0);
  return NSData::dataWithBytes(std::move(bytes));
}

}  // namespace

class GalleryPagingByTouchTest : public GalleryInUseTest {
 protected:
  // A quick horizontal swipe; the page number the title then shows.
  int64_t swipe(double dx) {
    const double from = dx < 0 ? screenSize.width - 60 : 60;
    hand->drag({{from, 400}, {from + dx, 400}}, 0.15);
    advance(1.5);
    return shownPage();
  }
  // The page the title names, from 0.
  int64_t shownPage() const {
    const std::string& title = gallery->contentVC()->navigationItem()->title();
    return std::stoll(title.substr(0, title.find('/'))) - 1;
  }
  AKPhotoGalleryItemPtr remote(const std::string& path, const NSDataPtr& body,
                               const std::string& gate = "") {
    return AKPhotoGalleryItem::itemWithImageURL(serve(path, body, "image/jpeg", gate));
  }
  static void setOriginal(const AKPhotoGalleryItemPtr& item, const NSURLPtr& url, int64_t size) {
    item->setExtraInfo(
        Value::map({{AKPhotoGalleryItemConstant::extraInfoKeyRemoteImageOriginalURL().c_str(),
                     Value(std::static_pointer_cast<NSObject>(url))},
                    {AKPhotoGalleryItemConstant::extraInfoKeyRemoteImageOriginalSize().c_str(),
                     Value::integer(size)}}));
  }
};

TEST_F(GalleryPagingByTouchTest, SwipesTurnPhotoVideoAndPdfPagesAndAZoomedPhotoPansToItsEdgeFirst) {
  ASSERT_TRUE(WriteFixtureVideo(folder_->path() + "/clip.mp4", 64, 48, 5));
  const std::string pdf = std::string(std::getenv("QX_TEST_DATA")) + "/pdfkit/two-pages.pdf";
  present(
      {AKPhotoGalleryItem::itemWithImage(Picture(300, 200)),
       AKPhotoGalleryItem::itemWithVideoURL(NSURL::fileURLWithPath(folder_->path() + "/clip.mp4")),
       AKPhotoGalleryItem::itemWithPdfURL(NSURL::fileURLWithPath(pdf)),
       AKPhotoGalleryItem::itemWithImage(
           Picture(size_t(screenSize.width), size_t(screenSize.height))),
       AKPhotoGalleryItem::itemWithImage(Picture(300, 200))});
  EXPECT_EQ(swipe(-220), 1);  // from a photo to the video
  EXPECT_EQ(swipe(-220), 2);  // from the video to the PDF
  EXPECT_EQ(swipe(-220), 3);  // from the PDF to a photo
  EXPECT_EQ(swipe(220), 2);
  EXPECT_EQ(swipe(-220), 3);

  // Zoomed in, a slow drag pans the photo; the page turns only once the
  // photo's edge has been reached.
  doubleTap({screenSize.width / 2, screenSize.height / 2});
  advance(1.0);
  auto zoom = page()->scrollView();
  ASSERT_GT(zoom->zoomScale(), 1);
  const double before = zoom->contentOffset().x;
  const double toEdge = zoom->maximumContentOffset().x - before;
  ASSERT_GT(toEdge, 100);
  auto slowDrag = [&](double dx) {
    auto finger =
        hand->drag({{screenSize.width - 40, 400}, {screenSize.width - 40 + dx, 400}}, 0.8, false);
    advance(0.2);
    hand->up({finger});
    advance(1.5);
    return shownPage();
  };
  EXPECT_EQ(slowDrag(-60), 3);
  EXPECT_NEAR(zoom->contentOffset().x, before + 60, 1e-6);
  EXPECT_EQ(slowDrag(-(toEdge - 60) - 100), 3);
  EXPECT_NEAR(zoom->contentOffset().x, zoom->maximumContentOffset().x, 1e-6);
  EXPECT_EQ(swipe(-220), 4);
}

TEST_F(GalleryPagingByTouchTest, ARecycledPageStartsUnzoomedShowingNothingOfTheItemBefore) {
  // Page 0 plays a GIF and is zoomed in; two swipes later its controller is
  // taken for page 3, a grey photo that is slow to come.
  const NSDataPtr gif = il_test::AnimatedFile(
      "com.compuserve.gif", {{{255, 0, 0, 255}, 0.1}, {{0, 255, 0, 255}, 0.1}}, 40, 30);
  present({AKPhotoGalleryItem::itemWithImageURL(writeFile("anim.gif", gif)),
           AKPhotoGalleryItem::itemWithImage(Picture(300, 200)),
           AKPhotoGalleryItem::itemWithImage(Picture(300, 200)),
           remote("/grey.jpg", EvenBytes(FlatGreyJPEG(300, 200)), "rest")});
  ASSERT_TRUE(settleUntil([&] { return pictureView()->image() != nullptr; }));
  doubleTap({screenSize.width / 2, screenSize.height / 2});
  advance(1.0);
  auto zoom = page()->scrollView();
  ASSERT_GT(zoom->zoomScale(), 1);
  // Panned to its right edge first, then the page turns.
  const double toEdge = zoom->maximumContentOffset().x - zoom->contentOffset().x;
  auto finger =
      hand->drag({{screenSize.width - 40, 400}, {screenSize.width - 50 - toEdge, 400}}, 0.8, false);
  advance(0.2);
  hand->up({finger});
  advance(1.5);
  EXPECT_EQ(swipe(-220), 1);
  EXPECT_EQ(swipe(-220), 2);
  EXPECT_EQ(swipe(-220), 3);
  EXPECT_EQ(page()->scrollView()->zoomScale(), 1);
  // While its own photo is on the way the page shows none of the GIF.
  for (int frame = 0; frame < 3; ++frame) {
    const Pixel p = pixelOf(screen(), screenSize.width / 2, screenSize.height / 2 - 60);
    EXPECT_LT(p.r + p.g + p.b, 60) << frame;
    advance(0.1);
  }
  server->openGate("rest");
  ASSERT_TRUE(waitForPicture());
  advance(0.1);
  const Pixel grey = pixelOf(screen(), screenSize.width / 2, screenSize.height / 2 - 60);
  EXPECT_NEAR(grey.r, 128, 3);
  EXPECT_NEAR(grey.g, 128, 3);
}

TEST_F(GalleryPagingByTouchTest,
       AnOriginalThatArrivesAfterItsPageWasRecycledLeavesTheNewItemAlone) {
  // Page 0's original is slow; while it downloads the page is swiped away
  // and recycled for page 3, which offers an original of its own.
  auto first = remote("/first.jpg", il_test::StillFile("public.jpeg", TwoBandBitmap(150, 100)));
  setOriginal(first,
              serve("/first-big.jpg", EvenBytes(FlatGreyJPEG(600, 400)), "image/jpeg", "rest"),
              2000000);
  auto fourth = remote("/fourth.jpg", il_test::StillFile("public.jpeg", TwoBandBitmap(150, 100)));
  server->script("/fourth-big.jpg", ScriptedResponse(200, {{"Content-Type", "image/jpeg"}}, "x"));
  setOriginal(fourth, NSURL::URLWithString(server->url("/fourth-big.jpg")), 500);
  present({first, AKPhotoGalleryItem::itemWithImage(Picture(300, 200)),
           AKPhotoGalleryItem::itemWithImage(Picture(300, 200)), fourth});
  ASSERT_TRUE(waitForPicture());
  auto recycled = std::dynamic_pointer_cast<AKPhotoImagePreviewVC>(page());
  auto button = recycled->downloadOriginalImageButton();
  ASSERT_TRUE(waitForOffer(button, text("preview.image.download.original.title") + "(1.91MB)"));
  tap(button);
  ASSERT_TRUE(settleUntil(
      [&] { return button->titleForState(UIControlStateNormal).value_or("") == "50%"; }));

  EXPECT_EQ(swipe(-220), 1);
  EXPECT_EQ(swipe(-220), 2);
  EXPECT_EQ(swipe(-220), 3);
  ASSERT_EQ(page(), recycled);
  const std::string own = text("preview.image.download.original.title") + "( 500B)";
  ASSERT_TRUE(waitForOffer(button, own));
  // The first item's original comes: this page keeps its own picture and
  // its own offer.
  server->openGate("rest");
  ASSERT_TRUE(settleUntil([&] { return server->inFlight() == 0; }));
  advance(1.0);
  EXPECT_FALSE(button->isHidden());
  EXPECT_TRUE(button->isEnabled());
  EXPECT_EQ(button->titleForState(UIControlStateNormal).value_or(""), own);
  EXPECT_EQ(pictureView()->image()->size(), CGSizeMake(150, 100));
}

TEST_F(GalleryPagingByTouchTest, ADragDownAndMostOfTheWayBackDoesNotDismiss) {
  present({AKPhotoGalleryItem::itemWithImage(Picture(300, 200))});
  const CGPoint start{screenSize.width / 2, screenSize.height / 2};
  auto finger = hand->drag({start, {start.x, start.y + 100}, {start.x, start.y + 30}}, 0.8, false);
  advance(0.2);
  hand->up({finger});
  advance(1.5);
  EXPECT_EQ(root->presentedViewController(), gallery);
  EXPECT_EQ(page()->contentView()->superview(), page()->scrollView());
  // The page is back where it was, on an opaque background.
  const Pixel p = pixelOf(screen(), screenSize.width / 2, screenSize.height / 2 - 40);
  EXPECT_GT(p.r, 200);
  EXPECT_NEAR(gallery->view()->backgroundColor()->alpha(), 1, 1e-6);
}
