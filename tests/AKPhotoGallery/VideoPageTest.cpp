#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

#include "AKPhotoGallery/AKPhotoGallery.h"
#include "AKPhotoGallery/AKPhotoGalleryItem.h"
#include "AKPhotoGallery/internal/AKPhotoGalleryResource.h"
#include "AKPhotoGallery/internal/AKPhotoPDFPreviewVC.h"
#include "AKPhotoGallery/internal/AKPhotoPlayerPreviewVC.h"
#include "AKPhotoGallery/internal/AKPlayerView.h"
#include "GalleryTestSupport.h"
#include "platform/photos/PHAsset.h"
#include "platform/uikit/UIActivityIndicatorView.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UINavigationBar.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UISlider.h"
#include "platform/uikit/UITapGestureRecognizer.h"
#include "platform/uikit/UIWindow.h"
#include "support/ScriptedLocations.h"
#include "support/photos/PhotoLibraryFixture.h"
#include "support/photos/PlaybackFixtures.h"
#include "support/ui/SnapshotTesting.h"
#include "support/ui/UITouchDriver.h"

namespace video_page_test {

namespace {

UIImagePtr Picture(size_t width, size_t height) {
  return UIImage::imageWithCGImage(TwoBandBitmap(width, height), 1, UIImageOrientationUp);
}

double Seconds(const AVPlayerPtr& player) { return CMTimeGetSeconds(player->currentTime()); }

}  // namespace

// Video pages inside a gallery, with a scratch photo library and the
// repository's main bundle.
class VideoPageTest : public PhotoLibraryTest {
 protected:
  void SetUp() override {
    PhotoLibraryTest::SetUp();
    const char* data = std::getenv("QX_TEST_DATA");
    ASSERT_NE(data, nullptr);
    ScriptedLocations::installed().setMainBundlePath(std::string(data) + "/../../resources/Runner.app");
    registerAKPhotoGalleryClasses();
    CGSize screen = UIScreen::mainScreen()->bounds().size;
    window = std::make_shared<UIWindow>(CGRectMake(0, 0, screen.width, screen.height));
    window->makeKeyAndVisible();
    root = std::make_shared<UIViewController>();
    window->setRootViewController(root);
  }
  void TearDown() override {
    for (const auto& page : pages()) {
      if (page->playerView()) page->playerView()->reset();
    }
    // A gallery still on screen keeps itself alive through its transitions.
    if (gallery && root->presentedViewController() == gallery) gallery->dismissGallery();
    advance(4);
    gallery.reset();
    root.reset();
    window.reset();
    // The GIF manager's display link stops at its first tick without views.
    endScreens(0.1);
    PhotoLibraryTest::TearDown();
    ScriptedLocations::installed().setMainBundlePath("");  // last, as in GalleryTest
  }

  NSURLPtr movie(const std::string& name, FixtureMovie fixture = {}) {
    std::string file = path(name);
    EXPECT_TRUE(WriteFixtureMovie(file, fixture)) << file;
    return NSURL::fileURLWithPath(file);
  }
  void open(std::vector<AKPhotoGalleryItemPtr> items, int64_t start, AKPhotoGallerySingleTapMode mode) {
    gallery = std::make_shared<AKPhotoGallery>();
    gallery->setItems(std::move(items));
    gallery->setPresentationIndex(start);
    gallery->setSingleTapMode(mode);
    presentWithPhotoGallery(root, gallery);
    advance(1.0);
  }
  std::shared_ptr<AKPhotoPlayerPreviewVC> pageFor(const AKPhotoGalleryItemPtr& item) {
    return std::dynamic_pointer_cast<AKPhotoPlayerPreviewVC>(gallery->contentVC()->visibleVCForItem(item));
  }
  std::vector<std::shared_ptr<AKPhotoPlayerPreviewVC>> pages() {
    std::vector<std::shared_ptr<AKPhotoPlayerPreviewVC>> found;
    if (!gallery || !gallery->contentVC()) return found;
    for (const auto& page : gallery->contentVC()->visibleVCs()) {
      if (auto video = std::dynamic_pointer_cast<AKPhotoPlayerPreviewVC>(page)) found.push_back(video);
    }
    return found;
  }
  static bool ready(const std::shared_ptr<AKPlayerView>& view) {
    return RunMainLoopUntil([&] {
      auto item = view->playerItem();
      return item && item->status() == AVPlayerItemStatusReadyToPlay && item->isPlaybackBufferFull();
    });
  }

  std::shared_ptr<UIWindow> window;
  std::shared_ptr<UIViewController> root;
  std::shared_ptr<AKPhotoGallery> gallery;
};

TEST_F(VideoPageTest, ToggleModeControlsFollowTheBarsAndStartingPlaybackHidesThem) {
  auto video = AKPhotoGalleryItem::itemWithVideoURL(movie("clip.mp4", {.frames = 91}));
  open({AKPhotoGalleryItem::itemWithImage(Picture(60, 40)), video}, 1,
       AKPhotoGallerySingleTapMode::toggleControlView);
  auto page = pageFor(video);
  ASSERT_TRUE(page);
  auto player = page->playerView();
  ASSERT_TRUE(player);
  EXPECT_EQ(page->contentView(), player);
  EXPECT_EQ(player->controlView()->superview(), page->view());
  EXPECT_EQ(player->controlView()->frame(), page->view()->bounds());
  ASSERT_TRUE(ready(player));
  EXPECT_TRUE(player->url()->isEqual(*video->videoURL()));
  // The bars came up after the first-appearance delay, and the video's
  // controls with them; no close button without a close action.
  EXPECT_FALSE(gallery->isNavigationBarHidden());
  EXPECT_FALSE(page->isControlHidden());
  EXPECT_FALSE(player->controlView()->isHidden());
  EXPECT_TRUE(player->closeButton()->isHidden());
  EXPECT_FALSE(player->autoHidesControlView());
  EXPECT_FALSE(player->tapGesture()->isEnabled());
  EXPECT_EQ(page->contentView()->frame(), page->view()->bounds());
  // No zoom and no ring on a video page.
  EXPECT_EQ(page->scrollView()->minimumZoomScale(), page->scrollView()->maximumZoomScale());
  EXPECT_FALSE(page->indicatorView());

  gallery->hidesControlView();
  EXPECT_TRUE(page->isControlHidden());
  EXPECT_TRUE(player->controlView()->isHidden());
  gallery->showsControlView();
  EXPECT_FALSE(player->controlView()->isHidden());

  // The large play button starts playback and hides the gallery's bars.
  UITouchDriver hand(window);
  hand.tap(player->playButton()->convertPointToView(
      CGPointMake(CGRectGetMidX(player->playButton()->bounds()), CGRectGetMidY(player->playButton()->bounds())),
      nullptr));
  advance(0.5);
  EXPECT_TRUE(player->isPlaying());
  EXPECT_TRUE(gallery->isNavigationBarHidden());
  EXPECT_TRUE(page->isControlHidden());
  EXPECT_TRUE(player->controlView()->isHidden());

  // The setter hides and shows the overlay at once; every new content shows
  // the stored state again.
  page->setIsControlHidden(false);
  EXPECT_FALSE(player->controlView()->isHidden());
  player->controlView()->setHidden(true);
  page->updateContentView(video->videoURL());
  EXPECT_FALSE(player->controlView()->isHidden());
  player->pause();
}

TEST_F(VideoPageTest, DismissModeShowsACloseButtonThatDismissesAndControlsThatHideThemselves) {
  auto video = AKPhotoGalleryItem::itemWithVideoURL(movie("clip.mp4"));
  open({video}, 0, AKPhotoGallerySingleTapMode::dismiss);
  auto page = pageFor(video);
  ASSERT_TRUE(page);
  auto player = page->playerView();
  ASSERT_TRUE(ready(player));
  EXPECT_TRUE(page->isControlHidden());
  EXPECT_TRUE(player->controlView()->isHidden());
  EXPECT_TRUE(player->autoHidesControlView());
  EXPECT_TRUE(player->tapGesture()->isEnabled());
  EXPECT_FALSE(player->closeButton()->isHidden());
  ASSERT_EQ(root->presentedViewController(), gallery);
  // On screen the gallery decides the status bar; leaving, it gives it back.
  EXPECT_TRUE(gallery->modalPresentationCapturesStatusBarAppearance());
  const int64_t updates = gallery->statusBarAppearanceUpdateCount();

  player->controlView()->setHidden(false);
  UITouchDriver hand(window);
  auto close = player->closeButton();
  hand.tap(close->convertPointToView(CGPointMake(20, 20), nullptr));
  advance(1.0);
  EXPECT_FALSE(root->presentedViewController());
  EXPECT_FALSE(gallery->modalPresentationCapturesStatusBarAppearance());
  EXPECT_GT(gallery->statusBarAppearanceUpdateCount(), updates);
  // Once off the screen nothing keeps the gallery alive.
  std::weak_ptr<AKPhotoGallery> weak = gallery;
  gallery.reset();
  EXPECT_TRUE(weak.expired());
}

TEST_F(VideoPageTest, APageScrolledAwayPausesAndAUrlPageComesBackWhereItWas) {
  auto video = AKPhotoGalleryItem::itemWithVideoURL(
      movie("long.mp4", {.framesPerSecond = 2, .frames = 41, .keyFrameInterval = 10}));
  auto photos = std::vector<AKPhotoGalleryItemPtr>{video};
  for (int i = 0; i < 3; ++i) photos.push_back(AKPhotoGalleryItem::itemWithImage(Picture(60, 40)));
  open(photos, 0, AKPhotoGallerySingleTapMode::toggleControlView);
  auto page = pageFor(video);
  auto player = page->playerView();
  ASSERT_TRUE(ready(player));
  auto item = player->playerItem();
  player->play();
  advance(2.0);
  EXPECT_TRUE(player->playButton()->isHidden());
  const double reached = Seconds(player->player());
  EXPECT_NEAR(reached, 2.0, 0.1);

  // The neighbour page becomes current: the video pauses and shows its play button.
  gallery->contentVC()->updateVisibleViews(1, true, false, false);
  EXPECT_FALSE(player->isPlaying());
  EXPECT_FALSE(player->playButton()->isHidden());
  advance(1.0);
  EXPECT_EQ(Seconds(player->player()), reached);

  // Back on the video: the same item at the same place, still paused.
  gallery->contentVC()->updateVisibleViews(0, true, false, false);
  page->viewWillAppear(false);
  drainMainLoop();
  EXPECT_EQ(pageFor(video), page);
  EXPECT_EQ(player->playerItem(), item);
  EXPECT_EQ(Seconds(player->player()), reached);
  EXPECT_FALSE(player->isPlaying());
  EXPECT_TRUE(player->controlView()->isHidden() == page->isControlHidden());

  // Reuse for another item empties the player.
  page->prepareForReuse();
  EXPECT_FALSE(player->url());
  EXPECT_FALSE(player->playerItem());
  EXPECT_FALSE(player->player()->currentItem());
  EXPECT_EQ(player->durationLabel()->text(), "0:00");
}

TEST_F(VideoPageTest, LibraryVideosPlayAndALateAnswerForAReusedPageCarriesTheFetchError) {
  movie("first.mp4");
  movie("second.mp4");
  auto assets = PHAsset::fetchAssetsWithOptions(nullptr);
  ASSERT_EQ(assets->count(), 2);
  auto first = AKPhotoGalleryItem::itemWithAsset(assets->objectAtIndex(0));
  auto second = AKPhotoGalleryItem::itemWithAsset(assets->objectAtIndex(1));
  ASSERT_EQ(first->asset()->mediaType(), PHAssetMediaTypeVideo);
  open({first, second}, 0, AKPhotoGallerySingleTapMode::toggleControlView);
  auto page = pageFor(first);
  ASSERT_TRUE(page);
  ASSERT_TRUE(ready(page->playerView()));
  EXPECT_FALSE(page->playerView()->url());
  EXPECT_TRUE(page->playerView()->asset());

  // A request answered after the page took another asset completes with
  // nothing and the fetch error.
  bool called = false;
  AKPhotoPreviewContent content;
  NSErrorPtr error;
  page->fetchContent(nullptr, [&](AKPhotoPreviewContent c, NSErrorPtr e) {
    called = true;
    content = c;
    error = e;
  });
  page->setItem(second);
  ASSERT_TRUE(RunMainLoopUntil([&] { return called; }));
  EXPECT_FALSE(content);
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code(), -1);
  EXPECT_EQ(error->localizedDescription(),
            AKPhotoGalleryResource::localizedStringWithKey("preview.player.fetch.error"));
  page->setItem(first);

  // An item with both a URL and a library video plays the URL, handed over
  // before fetchContent returns.
  auto both = AKPhotoGalleryItem::itemWithVideoURL(NSURL::fileURLWithPath(path("first.mp4")));
  both->setAsset(assets->objectAtIndex(1));
  page->setItem(both);
  called = false;
  page->fetchContent(nullptr, [&](AKPhotoPreviewContent c, NSErrorPtr e) {
    called = true;
    content = c;
    error = e;
  });
  EXPECT_TRUE(called);
  EXPECT_EQ(content, both->videoURL());
  EXPECT_FALSE(error);

  // Neither: the load never completes.
  page->setItem(AKPhotoGalleryItem::item());
  called = false;
  page->fetchContent(nullptr, [&](AKPhotoPreviewContent, NSErrorPtr) { called = true; });
  drainMainLoop();
  EXPECT_FALSE(called);
}

TEST_F(VideoPageTest, VideoPageWithItsControlsOverAFrame) {
  auto video = AKPhotoGalleryItem::itemWithVideoURL(
      movie("frame.mp4", {.width = 320, .height = 180, .frames = 61}));
  open({AKPhotoGalleryItem::itemWithImage(Picture(60, 40)), video}, 1,
       AKPhotoGallerySingleTapMode::toggleControlView);
  auto page = pageFor(video);
  auto player = page->playerView();
  ASSERT_TRUE(ready(player));
  player->play();
  advance(1.4);
  player->pause();
  drainMainLoop();
  EXPECT_NEAR(Seconds(player->player()), 1.4, 1e-6);
  EXPECT_EQ(player->startTimeLabel()->text(), "00:01");
  EXPECT_TRUE(player->playButton()->isHidden());
  EXPECT_EQ(gallery->contentVC()->navigationItem()->title(), "2/2");
  auto picture = RenderView(*gallery->view(), 1);
  SaveSnapshot(picture, "gallery-video-page");
  EXPECT_TRUE(MatchesGolden(picture, "AKPhotoGallery/gallery-video-page.png", 8, 400));
}

TEST_F(VideoPageTest, PagingAThousandTimesAcrossPhotosGifsVideosAndPdfsKeepsThreePagesAlive) {
  ASSERT_TRUE(WriteFixtureImage(path("anim.gif"), "com.compuserve.gif", 40, 30));
  auto pdf = NSURL::fileURLWithPath(std::string(std::getenv("QX_TEST_DATA")) + "/pdfkit/two-pages.pdf");
  auto video = movie("clip.mp4", {.frames = 31});
  std::vector<AKPhotoGalleryItemPtr> items;
  for (int i = 0; i < 2; ++i) {
    items.push_back(AKPhotoGalleryItem::itemWithImage(Picture(60, 40)));
    items.push_back(AKPhotoGalleryItem::itemWithImageURL(NSURL::fileURLWithPath(path("anim.gif"))));
    items.push_back(AKPhotoGalleryItem::itemWithVideoURL(video));
    items.push_back(AKPhotoGalleryItem::itemWithPdfURL(pdf));
  }
  open(items, 0, AKPhotoGallerySingleTapMode::toggleControlView);
  auto content = gallery->contentVC();
  std::set<const AKPhotoBasePreviewVC*> made;
  int64_t index = 0, step = 1;
  for (int turn = 0; turn < 1000; ++turn) {
    if (index + step < 0 || index + step >= static_cast<int64_t>(items.size())) step = -step;
    index += step;
    content->updateVisibleViews(index, true, false, false);
    if (auto page = content->currentVC()) page->viewWillAppear(false);
    drainMainLoop();
    ASSERT_LE(content->visibleVCs().size(), 3u);
    for (const auto& page : content->visibleVCs()) made.insert(page.get());
  }
  // Pages are recycled by class: a handful were ever made.
  EXPECT_LE(made.size(), 9u);
  // Every load still under way ends before the test does.
  ASSERT_TRUE(RunMainLoopUntil([&] {
    for (const auto& page : content->visibleVCs()) {
      if (auto video = std::dynamic_pointer_cast<AKPhotoPlayerPreviewVC>(page)) {
        if (video->playerView()->bufferingIndicator()->isAnimating()) return false;
      }
      if (auto document = std::dynamic_pointer_cast<AKPhotoPDFPreviewVC>(page)) {
        if (document->pdfView()->bufferingIndicator()->isAnimating()) return false;
      }
    }
    return true;
  }));
}

}  // namespace video_page_test
