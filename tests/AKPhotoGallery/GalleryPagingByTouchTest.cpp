// Turning the gallery's pages with a finger, and what a page that is
// recycled for another item shows: swipes over photo, video and PDF pages,
// a zoomed photo panned to its edge first, recycled pages that start afresh
// and answers for an item a page no longer shows.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "AKPhotoGallery/AKPhotoGalleryContentVC.h"
#include "AKPhotoGallery/AKPhotoImagePreviewVC.h"
#include "AKPhotoGallery/internal/AKPhotoWebVC.h"
#include "GalleryInUse.h"
#include "image_loading/cache/ILImageCache.h"
#include "platform/foundation/Value.h"
#include "platform/photos/PHAsset.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UINavigationBar.h"
#include "support/FlatJPEG.h"
#include "support/images/ImageLoadingTestSupport.h"
#include "support/photos/MediaFixtures.h"
#include "support/qrcode/QRCodePicture.h"
#include "support/ui/SnapshotTesting.h"

namespace gallery_paging_by_touch_test {

namespace {

UIImagePtr Picture(size_t width, size_t height) {
  return UIImage::imageWithCGImage(TwoBandBitmap(width, height), 1, UIImageOrientationUp);
}

NSDataPtr EvenBytes(Bytes bytes) {
  if (bytes.size() % 2) bytes.push_back(0);
  return NSData::dataWithBytes(std::move(bytes));
}

// A file on a slow disk: a pipe lies in its place, so whoever reads it
// waits until the test hands over the bytes.
class SlowDiskFile {
 public:
  explicit SlowDiskFile(std::string path) : path_(std::move(path)) {
    made_ = ::mkfifo(path_.c_str(), 0600) == 0;
  }
  // A reader still waiting (a test that stopped early) is let go with an
  // empty file; one that comes later finds no file.
  ~SlowDiskFile() {
    const int fd = ::open(path_.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ::unlink(path_.c_str());
    if (fd >= 0) ::close(fd);
  }
  bool made() const { return made_; }
  // Waits (bounded) until the reader has come, then gives it the bytes and
  // the file's end.
  bool deliver(const std::string& bytes) {
    int fd = -1;
    RunMainLoopUntil([&] {
      fd = ::open(path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
      return fd >= 0;
    });
    if (fd < 0) return false;
    const bool written = ::write(fd, bytes.data(), bytes.size()) == ssize_t(bytes.size());
    ::close(fd);
    return written;
  }

 private:
  std::string path_;
  bool made_ = false;
};

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

TEST_F(GalleryPagingByTouchTest,
       AnOriginalReadFromDiskAfterItsPageWasRecycledForALibraryPhotoNeverShowsThere) {
  // The library holds a photo of a code naming a page on the local server.
  server->script("/codes.html", ScriptedResponse(200, {{"Content-Type", "text/html"}},
                                                 "<html><head><title>Codes</title></head></html>"));
  const std::string address = server->url("/codes.html");
  ASSERT_TRUE(il_test::StillFile("public.png", QRCodePicture(address))
                  ->writeToFile(path("code.png"), true));
  auto assets = PHAsset::fetchAssetsWithOptions(nullptr);
  ASSERT_EQ(assets->count(), 1);
  auto photo = AKPhotoGalleryItem::itemWithAsset(assets->objectAtIndex(0));

  // Earlier the person had the first item's original from its button; a
  // memory warning has since emptied the memory cache, so only the disk
  // holds it.
  auto first = remote("/first.jpg", il_test::StillFile("public.jpeg", TwoBandBitmap(150, 100)));
  const NSURLPtr original =
      serve("/first-big.jpg", NSData::dataWithBytes(FlatGreyJPEG(600, 400)), "image/jpeg");
  setOriginal(first, original, 2000000);
  present({first});
  ASSERT_TRUE(waitForPicture());
  auto button =
      std::dynamic_pointer_cast<AKPhotoImagePreviewVC>(page())->downloadOriginalImageButton();
  ASSERT_TRUE(waitForOffer(button, text("preview.image.download.original.title") + "(1.91MB)"));
  tap(button);
  ASSERT_TRUE(settleUntil([&] { return pictureView()->image()->size() == CGSizeMake(600, 400); }));
  auto cache = ILImageCache::sharedImageCache();
  const std::string key = original->absoluteString();
  ASSERT_TRUE(RunMainLoopUntil([&] { return cache->diskImageDataExistsWithKey(key); }));
  UIApplication::sharedApplication()->simulateMemoryWarning();
  ASSERT_FALSE(cache->imageFromMemoryCacheForKey(key));

  // The cache's disk is busy with a slow read when the gallery opens again,
  // so the first page's question for its original waits; meanwhile three
  // swipes recycle that page for the library photo.
  const std::string slowKey = "slow read before " + key;
  SlowDiskFile slow(cache->cachePathForKey(slowKey));
  ASSERT_TRUE(slow.made());
  bool slowAnswered = false;
  cache->diskImageDataQueryForKey(slowKey, [&](NSDataPtr) { slowAnswered = true; });
  present({first, AKPhotoGalleryItem::itemWithImage(Picture(300, 200)),
           AKPhotoGalleryItem::itemWithImage(Picture(300, 200)), photo});
  auto recycled = page();
  EXPECT_EQ(swipe(-220), 1);
  EXPECT_EQ(swipe(-220), 2);
  EXPECT_EQ(swipe(-220), 3);
  ASSERT_EQ(page(), recycled);

  // The disk answers: the slow read, then the original, for an item this
  // page no longer shows; the photo comes after.
  ASSERT_TRUE(slow.deliver("slow"));
  ASSERT_TRUE(settleUntil([&] { return slowAnswered; }));
  ASSERT_TRUE(waitForPicture());
  auto codePage = std::dynamic_pointer_cast<AKPhotoImagePreviewVC>(page());
  EXPECT_EQ(codePage->detectStringFromImage(), address);

  // The person opens the code's page and comes back; the photo's page
  // loads again as it reappears.
  longPressAndChoose(text("preview.image.extractQRCode.title"));
  advance(1.0);
  auto web = std::dynamic_pointer_cast<AKPhotoWebVC>(gallery->topViewController());
  ASSERT_TRUE(web);
  ASSERT_TRUE(settleUntil([&] { return web->hasFinished(); }));
  EXPECT_EQ(web->title(), "Codes");
  tap(gallery->navigationBar()->backButton());
  advance(1.0);
  ASSERT_EQ(gallery->topViewController(), gallery->contentVC());
  // An answer of the disk's own, asked for last, lands after all the others
  // (twice over, for answers that hop once more to the main thread).
  for (int round = 0; round < 2; ++round) {
    bool drained = false;
    cache->diskImageDataQueryForKey("", [&](NSDataPtr) { drained = true; });
    ASSERT_TRUE(settleUntil([&] { return drained; }));
  }
  advance(0.1);

  // Still the code, never the grey original.
  ASSERT_EQ(page(), codePage);
  EXPECT_EQ(codePage->detectStringFromImage(), address);
  EXPECT_NE(pictureView()->image()->size(), CGSizeMake(600, 400));
  const UIImagePtr shot = screen();
  SaveSnapshot(shot, "gallery-recycled-code-page");
  for (double dx : {-60.0, 0.0, 60.0}) {
    const Pixel p = pixelOf(shot, screenSize.width / 2 + dx, screenSize.height / 2);
    EXPECT_TRUE(p.r < 60 || p.r > 200) << dx << ": " << p.r;
  }
  forget(photo->asset()->localIdentifier());
}

}  // namespace gallery_paging_by_touch_test
