// The gallery used as a person uses it: pictures from the web, from files
// and from the photo library, GIFs that play, saving from the long-press
// sheet, the download-original button, the progress ring of a slow load,
// double-tap zoom and the bars.

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <tuple>

#include "AKPhotoGallery/AKPhotoImagePreviewVC.h"
#include "AKPhotoGallery/internal/AKPhotoImageDownloader.h"
#include "AKPhotoGallery/internal/AKPhotoWebVC.h"
#include "GalleryInUse.h"
#include "image_loading/cache/ILImageCache.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Value.h"
#include "platform/photos/PHAsset.h"
#include "platform/photos/PHImageManager.h"
#include "platform/uikit/UIActivityIndicatorView.h"
#include "platform/uikit/UIAlertController.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UINavigationBar.h"
#include "support/FlatJPEG.h"
#include "support/images/ImageLoadingTestSupport.h"
#include "support/photos/MediaFixtures.h"
#include "support/photos/ScriptedMediaProvider.h"
#include "support/qrcode/QRCodePicture.h"
#include "support/ui/SnapshotTesting.h"

namespace gallery_in_use_test {

namespace {

const std::array<uint8_t, 4> kRed{255, 0, 0, 255}, kGreen{0, 255, 0, 255}, kBlue{0, 0, 255, 255};

NSDataPtr ThreeColourGif() {
  return il_test::AnimatedFile("com.compuserve.gif", {{kRed, 0.1}, {kGreen, 0.1}, {kBlue, 0.1}}, 40,
                               30);
}

NSDataPtr Jpeg(size_t width, size_t height) {
  return il_test::StillFile("public.jpeg", TwoBandBitmap(width, height));
}

bool Near(const Pixel& p, const std::array<uint8_t, 4>& c) {
  return std::abs(p.r - c[0]) < 40 && std::abs(p.g - c[1]) < 40 && std::abs(p.b - c[2]) < 40;
}

}  // namespace

TEST_F(GalleryInUseTest, AGifFromTheWebPlaysOnItsPageAndSavesAsItsOwnBytes) {
  const NSDataPtr gif = ThreeColourGif();
  present({AKPhotoGalleryItem::itemWithImageURL(serve("/anim.gif", gif, "image/gif"))});
  ASSERT_TRUE(settleUntil([&] { return pictureView()->image() != nullptr; }));
  // The frames follow one another as time passes.
  std::set<int> seen;
  for (int step = 0; step < 8; ++step) {
    const Pixel p = pixelOf(screen(), screenSize.width / 2, screenSize.height / 2);
    for (int i = 0; i < 3; ++i) {
      if (Near(p, std::array{kRed, kGreen, kBlue}[i])) seen.insert(i);
    }
    advance(0.05);
  }
  EXPECT_EQ(seen.size(), 3u);

  longPressAndChoose(text("preview.image.longPress.saveImage.title"));
  ASSERT_TRUE(settleUntil([&] { return !libraryFiles().empty() && !toast().empty(); }));
  EXPECT_EQ(toast(), text("preview.image.saveImage.result.success"));
  ASSERT_EQ(libraryFiles().size(), 1u);
  EXPECT_TRUE(bytesOf(libraryFiles()[0]) == gif->vector())
      << bytesOf(libraryFiles()[0]).size() << " bytes saved";
}

TEST_F(GalleryInUseTest, SaveImageStoresWhatEachKindOfPageShows) {
  // A GIF file plays and keeps its bytes.
  const NSDataPtr gif = ThreeColourGif();
  present({AKPhotoGalleryItem::itemWithImageURL(writeFile("anim.gif", gif))});
  ASSERT_TRUE(settleUntil([&] { return pictureView()->image() != nullptr; }));
  longPressAndChoose(text("preview.image.longPress.saveImage.title"));
  ASSERT_TRUE(settleUntil([&] { return libraryFiles().size() == 1; }));
  EXPECT_TRUE(bytesOf(libraryFiles()[0]) == gif->vector())
      << bytesOf(libraryFiles()[0]).size() << " bytes saved";
  advance(4);

  // A photo file keeps its bytes too.
  const NSDataPtr jpeg = Jpeg(300, 200);
  present({AKPhotoGalleryItem::itemWithImageURL(writeFile("photo.jpg", jpeg))});
  ASSERT_TRUE(waitForPicture());
  longPressAndChoose(text("preview.image.longPress.saveImage.title"));
  ASSERT_TRUE(settleUntil([&] { return libraryFiles().size() == 2; }));
  bool keptItsBytes = false;
  for (const auto& file : libraryFiles()) keptItsBytes |= bytesOf(file) == jpeg->vector();
  EXPECT_TRUE(keptItsBytes);
  advance(4);

  // A photo from the web is stored as the picture shown: same size, same
  // colours (red above, blue below).
  present(
      {AKPhotoGalleryItem::itemWithImageURL(serve("/photo.jpg", Jpeg(240, 160), "image/jpeg"))});
  ASSERT_TRUE(waitForPicture());
  longPressAndChoose(text("preview.image.longPress.saveImage.title"));
  ASSERT_TRUE(settleUntil([&] { return libraryFiles().size() == 3; }));
  UIImagePtr stored;
  for (const auto& file : libraryFiles()) {
    const Bytes bytes = bytesOf(file);
    if (bytes != gif->vector() && bytes != jpeg->vector()) {
      stored = UIImage::imageWithData(NSData::dataWithBytes(bytes));
    }
  }
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->size(), CGSizeMake(240, 160));
  EXPECT_TRUE(Near(PixelAt(stored->CGImage(), 120, 20), kRed));
  EXPECT_TRUE(Near(PixelAt(stored->CGImage(), 120, 140), kBlue));
  advance(4);

  // Video and PDF pages offer no sheet at all.
  ASSERT_TRUE(WriteFixtureVideo(folder_->path() + "/clip.mp4", 64, 48, 5));
  present({AKPhotoGalleryItem::itemWithVideoURL(
      NSURL::fileURLWithPath(folder_->path() + "/clip.mp4"))});
  EXPECT_FALSE(longPressSheet());
  present({AKPhotoGalleryItem::itemWithPdfURL(
      NSURL::fileURLWithPath(std::string(std::getenv("QX_TEST_DATA")) + "/pdfkit/two-pages.pdf"))});
  EXPECT_FALSE(longPressSheet());
}

TEST_F(GalleryInUseTest, SavingWithoutAccessToPhotosStoresNothingAndSaysWhy) {
  setenv("QX_PHOTO_AUTHORIZATION", "denied", 1);
  present({AKPhotoGalleryItem::itemWithImage(
      UIImage::imageWithCGImage(TwoBandBitmap(300, 200), 1, UIImageOrientationUp))});
  longPressAndChoose(text("preview.image.longPress.saveImage.title"));
  ASSERT_TRUE(settleUntil([&] { return !toast().empty(); }));
  EXPECT_EQ(toast(), text("preview.image.saveImage.permission.error"));
  EXPECT_TRUE(libraryFiles().empty());
}

namespace {

// A JPEG of even length, so that a server sending half and waiting has sent
// exactly half.
NSDataPtr EvenJpeg(size_t width, size_t height) {
  Bytes bytes = Jpeg(width, height)->vector();
  if (bytes.size() % 2) bytes.push_back(0);
  return NSData::dataWithBytes(std::move(bytes));
}

}  // namespace

TEST_F(GalleryInUseTest, ASlowPhotoShowsItsRingFillingAsItArrives) {
  present({AKPhotoGalleryItem::itemWithImageURL(
      serve("/slow.jpg", EvenJpeg(300, 200), "image/jpeg", "rest"))});
  // Half the picture has come: the ring shows in the middle of the page,
  // its arc round the right half.
  const double cx = screenSize.width / 2, cy = screenSize.height / 2;
  ASSERT_TRUE(settleUntil([&] {
    const Pixel right = pixelOf(screen(), cx + 16, cy);
    return right.r > 200 && right.g > 200;
  }));
  const UIImagePtr half = screen();
  SaveSnapshot(half, "gallery-slow-photo-half");
  const Pixel top = pixelOf(half, cx, cy - 18.5), left = pixelOf(half, cx - 16, cy);
  EXPECT_GT(top.r, 200);  // the thin full circle
  EXPECT_LT(left.r, 60);  // no arc yet on the left
  EXPECT_LT(pixelOf(half, cx, cy).r, 60);

  server->openGate("rest");
  ASSERT_TRUE(waitForPicture());
  advance(0.1);
  // The picture replaced the ring.
  EXPECT_TRUE(Near(pixelOf(screen(), cx, cy - 40), kRed));
  EXPECT_TRUE(Near(pixelOf(screen(), cx, cy + 40), kBlue));
}

TEST_F(GalleryInUseTest, TheOriginalOfARemotePhotoDownloadsFromItsButton) {
  auto item =
      AKPhotoGalleryItem::itemWithImageURL(serve("/small.jpg", Jpeg(150, 100), "image/jpeg"));
  const NSURLPtr original = serve("/big.jpg", EvenJpeg(600, 400), "image/jpeg", "rest");
  item->setExtraInfo(
      Value::map({{AKPhotoGalleryItemConstant::extraInfoKeyRemoteImageOriginalURL().c_str(),
                   Value(std::static_pointer_cast<NSObject>(original))},
                  {AKPhotoGalleryItemConstant::extraInfoKeyRemoteImageOriginalSize().c_str(),
                   Value::integer(2000000)}}));
  present({item});
  ASSERT_TRUE(waitForPicture());
  auto page = std::dynamic_pointer_cast<AKPhotoImagePreviewVC>(this->page());
  auto button = page->downloadOriginalImageButton();
  ASSERT_TRUE(waitForOffer(button, text("preview.image.download.original.title") + "(1.91MB)"));
  EXPECT_EQ(pictureView()->image()->size(), CGSizeMake(150, 100));
  SaveSnapshot(screen(), "gallery-download-original");

  tap(button);
  ASSERT_TRUE(settleUntil(
      [&] { return button->titleForState(UIControlStateNormal).value_or("") == "50%"; }));
  EXPECT_FALSE(button->isEnabled());
  server->openGate("rest");
  ASSERT_TRUE(settleUntil([&] {
    return button->isHidden() && pictureView()->image() &&
           pictureView()->image()->size() == CGSizeMake(600, 400);
  }));

  // An original that cannot be had gives the button back as it was.
  auto other =
      AKPhotoGalleryItem::itemWithImageURL(serve("/other.jpg", Jpeg(150, 100), "image/jpeg"));
  server->script("/gone.jpg", ScriptedResponse(404, {}, "gone"));
  other->setExtraInfo(
      Value::map({{AKPhotoGalleryItemConstant::extraInfoKeyRemoteImageOriginalURL().c_str(),
                   Value(std::static_pointer_cast<NSObject>(
                       NSURL::URLWithString(server->url("/gone.jpg"))))}}));
  present({other});
  ASSERT_TRUE(waitForPicture());
  page = std::dynamic_pointer_cast<AKPhotoImagePreviewVC>(this->page());
  button = page->downloadOriginalImageButton();
  ASSERT_TRUE(waitForOffer(button, text("preview.image.download.original.title")));
  tap(button);
  ASSERT_TRUE(
      settleUntil([&] { return server->requestCount("/gone.jpg") == 1 && button->isEnabled(); }));
  EXPECT_EQ(button->titleForState(UIControlStateNormal).value_or(""),
            text("preview.image.download.original.title"));
  EXPECT_FALSE(button->isHidden());
  EXPECT_EQ(pictureView()->image()->size(), CGSizeMake(150, 100));
}

// What the image cache's disk holds once a page has shown its picture: a
// library photo is on the device already and is not encoded again (a HEIC
// photo took seconds and hundreds of megabytes to encode as HEIC); a remote
// picture keeps the bytes it came as.
TEST_F(GalleryInUseTest, LibraryPhotosStayOffTheDiskCacheAndRemotePicturesKeepTheirBytes) {
  // Stored: encoding HEIC takes x265, slow and unclean under valgrind.
  const NSDataPtr heic = NSData::dataWithContentsOfFile(std::string(std::getenv("QX_TEST_DATA")) +
                                                        "/imageio/hues-64x48.heic");
  const NSDataPtr jpeg = Jpeg(300, 200);
  ASSERT_TRUE(heic && heic->writeToFile(path("photo.heic"), true));
  ASSERT_TRUE(jpeg->writeToFile(path("photo.jpg"), true));
  auto assets = PHAsset::fetchAssetsWithOptions(nullptr);
  ASSERT_EQ(assets->count(), 2);
  struct Case {
    std::string name;
    AKPhotoGalleryItemPtr item;
    std::string key;
    NSDataPtr onDisk;  // null: nothing
  };
  std::vector<Case> cases;
  for (int64_t i = 0; i < assets->count(); ++i) {
    auto asset = assets->objectAtIndex(i);
    cases.push_back({"library photo " + std::to_string(i), AKPhotoGalleryItem::itemWithAsset(asset),
                     asset->localIdentifier(), nullptr});
  }
  for (const auto& [name, bytes, type] :
       {std::tuple{"/photo.heic", heic, "image/heic"}, {"/photo.jpg", jpeg, "image/jpeg"}}) {
    const NSURLPtr url = serve(name, bytes, type);
    cases.push_back({std::string("remote ") + name, AKPhotoGalleryItem::itemWithImageURL(url),
                     url->absoluteString(), bytes});
  }
  auto cache = ILImageCache::sharedImageCache();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    present({c.item});
    ASSERT_TRUE(waitForPicture());
    EXPECT_TRUE(cache->imageFromMemoryCacheForKey(c.key));
    // A store to disk encodes off the main thread and then writes on the
    // cache's queue: both have run once the workers are idle.
    ASSERT_TRUE(RunMainLoopUntil(DispatchWorkersIdle));
    const NSDataPtr stored = cache->diskImageDataForKey(c.key);
    if (!c.onDisk) {
      EXPECT_FALSE(stored) << stored->length() << " bytes on disk";
    } else {
      ASSERT_TRUE(stored);
      EXPECT_TRUE(stored->vector() == c.onDisk->vector());
    }
  }
}

// A page asked for twice while its photo is being made (as the gallery
// opens) waits for that one: the library renders it once, and both calls
// have its picture and its progress. Asked again once it is answered, the
// library renders it anew.
TEST_F(GalleryInUseTest, CallsForALibraryPhotoBeingMadeShareItsRendering) {
  ASSERT_TRUE(Jpeg(30, 20)->writeToFile(path("photo.jpg"), true));
  auto assets = PHAsset::fetchAssetsWithOptions(nullptr);
  ASSERT_EQ(assets->count(), 1);
  auto provider = std::make_shared<ScriptedMediaProvider>();
  ScriptedAnswer answer;
  answer.thread = ScriptedAnswer::Thread::Main;  // after both calls below
  answer.progress = {0.5};
  answer.image = UIImage::imageWithCGImage(TwoBandBitmap(30, 20), 1, UIImageOrientationUp);
  provider->setDefaultAnswer(answer);
  PHImageManager::setDefaultMediaProvider(provider);
  auto downloader = AKPhotoImageAssetDownloader::shared();
  std::vector<UIImagePtr> images;
  std::vector<float> progress;
  auto ask = [&] {
    downloader->downloadImage(
        assets->objectAtIndex(0), [&](float value) { progress.push_back(value); },
        [&](UIImagePtr image, NSDataPtr, NSErrorPtr) { images.push_back(image); });
  };
  ask();
  ask();
  ASSERT_TRUE(RunMainLoopUntil([&] { return images.size() == 2; }));
  EXPECT_EQ(provider->calls().size(), 1u);
  EXPECT_EQ(images[0], answer.image);
  EXPECT_EQ(images[1], answer.image);
  EXPECT_EQ(progress, (std::vector<float>{0.5f, 0.5f}));
  ask();
  ASSERT_TRUE(RunMainLoopUntil([&] { return images.size() == 3; }));
  EXPECT_EQ(provider->calls().size(), 2u);
  PHImageManager::setDefaultMediaProvider(nullptr);
}

TEST_F(GalleryInUseTest, DoubleTapZoomsInAboutTheTappedPointAndOutAgain) {
  // A picture of the screen's shape fills the page, so page and picture
  // points coincide before the zoom.
  present({AKPhotoGalleryItem::itemWithImage(
      UIImage::imageWithCGImage(TwoBandBitmap(size_t(screenSize.width), size_t(screenSize.height)),
                                1, UIImageOrientationUp))});
  auto scroll = page()->scrollView();
  for (const CGPoint finger :
       {CGPointMake(60, 120), CGPointMake(screenSize.width - 60, screenSize.height - 64)}) {
    doubleTap(finger);
    advance(1.0);
    EXPECT_NEAR(scroll->zoomScale(), 4, 1e-9);
    // The picture point that was under the finger is under it still: the
    // offset is three times the finger's point.
    const CGPoint offset = scroll->contentOffset();
    EXPECT_NEAR(offset.x, 3 * finger.x, 1e-6);
    EXPECT_NEAR(offset.y, 3 * finger.y, 1e-6);
    doubleTap(finger);
    advance(1.0);
    EXPECT_EQ(scroll->zoomScale(), 1);
    EXPECT_EQ(scroll->contentOffset(), CGPointZero);
  }
}

TEST_F(GalleryInUseTest, TheBarReachesUpUnderTheStatusBarWhenItComesIn) {
  present({AKPhotoGalleryItem::itemWithImage(
      UIImage::imageWithCGImage(TwoBandBitmap(300, 200), 1, UIImageOrientationUp))});
  auto bar = gallery->navigationBar();
  ASSERT_FALSE(bar->isHidden());
  ASSERT_GT(bar->frame().origin.y, 0);
  // Under the status bar the screen shows the bar's own colour, not black,
  // as it slides in and once it is in, whether it came in slowly (the first
  // appearance) or at once (a tap).
  auto barColourUnderTheStatusBar = [&] {
    const UIImagePtr shot = screen();
    const double x = screenSize.width - 8;
    const Pixel inBar = pixelOf(shot, x, bar->frame().origin.y + 4);
    const Pixel above = pixelOf(shot, x, bar->frame().origin.y / 2);
    return std::abs(inBar.r - above.r) < 8 && std::abs(inBar.g - above.g) < 8 && inBar.r > 100;
  };
  SaveSnapshot(screen(), "gallery-bar-at-first");
  EXPECT_TRUE(barColourUnderTheStatusBar());
  tap(page()->view());
  advance(0.5);
  ASSERT_TRUE(bar->isHidden() || bar->frame().origin.y < 0);
  tap(page()->view());
  advance(0.5);
  EXPECT_TRUE(barColourUnderTheStatusBar());
}

TEST_F(GalleryInUseTest, ACameraPhotoPastTheDecodeLimitIsShownScaledDown) {
  // 12000 x 9000, flat grey: far past what may be decoded whole.
  const Bytes photo = FlatGreyJPEG(12000, 9000);
  present({AKPhotoGalleryItem::itemWithImageURL(
      writeFile("camera.jpg", NSData::dataWithBytes(photo)))});
  // A sanitized build on a busy machine takes longer than one wait to read
  // 108 megapixels: ThreadSanitizer on two cores takes over a minute. The
  // waits stay within the test's own time limit.
  bool arrived = false;
  for (int wait = 0; wait < 24 && !arrived; ++wait) arrived = waitForPicture();
  ASSERT_TRUE(arrived);
  const CGSize shown = pictureView()->image()->size();
  EXPECT_NEAR(shown.width / shown.height, 12000.0 / 9000, 0.01);
  EXPECT_LE(shown.width * shown.height, 16.0 * (1 << 20));
  // Grey across the page's width, where the failure picture would leave black.
  const UIImagePtr shot = screen();
  SaveSnapshot(shot, "gallery-camera-photo");
  for (double x : {10.0, screenSize.width / 2, screenSize.width - 10}) {
    const Pixel p = pixelOf(shot, x, screenSize.height / 2);
    EXPECT_NEAR(p.r, 128, 3) << x;
    EXPECT_NEAR(p.b, 128, 3) << x;
  }
}

namespace {

// Whether the 7 x 7 modules of 8 pixels from this module on are a QR
// finder pattern: a black ring, a white ring, a black middle.
bool IsFinder(const CGImageRef& code, size_t column, size_t row) {
  for (size_t y = 0; y < 7; ++y) {
    for (size_t x = 0; x < 7; ++x) {
      const bool black =
          x == 0 || x == 6 || y == 0 || y == 6 || (x >= 2 && x <= 4 && y >= 2 && y <= 4);
      if ((PixelAt(code, (column + x) * 8 + 4, (row + y) * 8 + 4).r < 128) != black) return false;
    }
  }
  return true;
}

}  // namespace

TEST_F(GalleryInUseTest, AWebPageFromACodeThatStopsLoadingShowsWhyUnlessThePersonLeft) {
  // A photo of a code that names a page on the local server.
  const std::string address = server->url("/page.html");
  const CGImageRef code = QRCodePicture(address);
  ASSERT_TRUE(code);
  // Upright, inside its quiet zone of four white modules: finders at three
  // corners, none at the bottom right.
  const size_t last = CGImageGetWidth(code) / 8 - 4 - 7;
  EXPECT_TRUE(IsFinder(code, 4, 4) && IsFinder(code, last, 4) && IsFinder(code, 4, last));
  EXPECT_FALSE(IsFinder(code, last, last));
  for (size_t at = 0; at < CGImageGetWidth(code); at += 8) {
    EXPECT_GT(PixelAt(code, at, 3 * 8 + 4).r, 128) << at;
    EXPECT_GT(PixelAt(code, 3 * 8 + 4, at).r, 128) << at;
  }
  present({AKPhotoGalleryItem::itemWithImage(
      UIImage::imageWithCGImage(code, 1, UIImageOrientationUp))});
  auto openTheCode = [&] {
    longPressAndChoose(text("preview.image.extractQRCode.title"));
    advance(1.0);  // the screen slides in
    return std::dynamic_pointer_cast<AKPhotoWebVC>(gallery->topViewController());
  };

  // The server does not answer; the person leaves while the page loads, and
  // the load ends with the screen (the server sees the client hang up).
  ScriptedResponse silent(200, {{"Content-Type", "text/html"}}, "<title>never</title>");
  silent.hang = true;
  server->script("/page.html", silent);
  auto web = openTheCode();
  ASSERT_TRUE(web);
  EXPECT_EQ(web->urlString(), address);
  ASSERT_TRUE(server->waitForInFlight(1));
  drainMainLoop();
  EXPECT_TRUE(web->spinner()->isAnimating());
  EXPECT_TRUE(web->errorLabel()->isHidden());
  tap(gallery->navigationBar()->backButton());
  advance(1.0);
  EXPECT_EQ(gallery->topViewController(), gallery->contentVC());
  EXPECT_TRUE(web->errorLabel()->isHidden());
  web.reset();
  EXPECT_TRUE(server->waitForInFlight(0));

  // Again; this time the server goes away before answering: the failure's
  // description shows in the middle of the screen and the spinner stops.
  ScriptedResponse goesAway(200, {{"Content-Type", "text/html"}}, "<title>never</title>");
  goesAway.gate = "away";
  goesAway.closeAtGate = true;
  server->script("/page.html", goesAway);
  web = openTheCode();
  ASSERT_TRUE(web);
  ASSERT_TRUE(server->waitForInFlight(1));
  drainMainLoop();
  EXPECT_TRUE(web->spinner()->isAnimating());
  EXPECT_TRUE(web->errorLabel()->isHidden());
  // The spinner turns in the middle of the screen.
  const UIImagePtr loading = screen();
  SaveSnapshot(loading, "gallery-qr-web-loading");
  int grey = 0;
  for (double y = -10; y < 10; y += 1) {
    for (double x = -10; x < 10; x += 1) {
      grey += pixelOf(loading, screenSize.width / 2 + x, screenSize.height / 2 + y).r < 200;
    }
  }
  EXPECT_GT(grey, 10);
  server->openGate("away");
  ASSERT_TRUE(settleUntil([&] { return !web->errorLabel()->isHidden(); }));
  EXPECT_FALSE(web->spinner()->isAnimating());
  EXPECT_FALSE(web->hasFinished());
  EXPECT_EQ(web->errorLabel()->text(), "Server returned nothing (no headers, no data)");
  EXPECT_EQ(web->errorLabel()->frame(), web->view()->bounds());
  const UIImagePtr shot = screen();
  SaveSnapshot(shot, "gallery-qr-web-failed");
  // Dark text on the white page, across the middle of the screen.
  int dark = 0;
  for (double y = -20; y < 20; y += 2) {
    for (double x = 10; x < screenSize.width - 10; x += 2) {
      dark += pixelOf(shot, x, screenSize.height / 2 + y).r < 128;
    }
  }
  EXPECT_GT(dark, 50);
}

}  // namespace gallery_in_use_test
