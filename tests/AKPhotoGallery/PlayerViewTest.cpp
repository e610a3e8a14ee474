#include <gtest/gtest.h>

#include <chrono>
#include <cmath>

#include "AKPhotoGallery/AKPhotoGallery.h"
#include "AKPhotoGallery/AKPhotoGalleryItem.h"
#include "AKPhotoGallery/internal/AKPhotoPlayerPreviewVC.h"
#include "AKPhotoGallery/internal/AKPlayerView.h"
#include "GalleryTestSupport.h"
#include "platform/avfoundation/AVPlaybackProvider.h"
#include "platform/network/NSURLError.h"
#include "platform/uikit/UIActivityIndicatorView.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UINavigationBar.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UISlider.h"
#include "platform/uikit/UIWindow.h"
#include "support/TempFolder.h"
#include <thread>
#include "support/photos/PlaybackFixtures.h"
#include "support/photos/ScriptedPlayback.h"
#include "support/ui/SnapshotTesting.h"
#include "support/ui/UITouchDriver.h"

namespace player_view_test {

namespace {

// The text of the toast shown over `view`, or "" when none shows.
std::string ToastText(const std::shared_ptr<UIView>& view) {
  for (const auto& sub : view->subviews()) {
    if (sub->className() != "UIToolbar") continue;
    for (const auto& inner : sub->subviews()) {
      if (auto label = std::dynamic_pointer_cast<UILabel>(inner)) return label->text();
    }
  }
  return "";
}

double Seconds(const AVPlayerPtr& player) { return CMTimeGetSeconds(player->currentTime()); }

}  // namespace

class PlayerViewTest : public GalleryTest {
 protected:
  void SetUp() override {
    GalleryTest::SetUp();
    registerAKPhotoGalleryClasses();
    window = std::make_shared<UIWindow>(CGRectMake(0, 0, 375, 667));
    window->makeKeyAndVisible();
    page = std::make_shared<UIView>(window->bounds());
    window->addSubview(page);
    player = AKPlayerView::playerView(page->bounds(), page);
    page->insertSubviewAtIndex(player, 0);
  }
  void TearDown() override {
    // Nothing may stay scheduled on the clock: stop playback and let the
    // toasts fade.
    if (player) player->reset();
    advance(4);
    player.reset();
    GalleryTest::TearDown();
  }
  NSURLPtr movie(const std::string& name, FixtureMovie fixture = {}) {
    std::string path = folder.path() + "/" + name;
    EXPECT_TRUE(WriteFixtureMovie(path, fixture)) << path;
    return NSURL::fileURLWithPath(path);
  }
  bool ready() {
    return RunMainLoopUntil([&] {
      auto item = player->playerItem();
      return item && item->status() == AVPlayerItemStatusReadyToPlay && item->isPlaybackBufferFull();
    });
  }
  bool loadSettled() {
    return RunMainLoopUntil([&] { return !player->bufferingIndicator()->isAnimating(); });
  }

  TempFolder folder;
  std::shared_ptr<UIWindow> window;
  std::shared_ptr<UIView> page;
  std::shared_ptr<AKPlayerView> player;
};

TEST_F(PlayerViewTest, PlaysAFileShowsItsTimesHidesTheControlsAndStartsOverAfterTheEnd) {
  EXPECT_EQ(player->controlView()->superview(), page);
  EXPECT_EQ(player->controlView()->frame(), page->bounds());
  EXPECT_TRUE(player->closeButton()->isHidden());
  // The spinner turns while the asset loads.
  auto scripted = std::make_shared<ScriptedPlaybackProvider>();
  AVPlaybackProvider::setShared(scripted);
  scripted->holdLoading();
  player->setUrl(movie("clip.mp4", {.frames = 91}));
  ASSERT_TRUE(RunMainLoopUntil([&] { return scripted->waiting() == 1; }));
  drainMainLoop();
  EXPECT_TRUE(player->bufferingIndicator()->isAnimating());
  EXPECT_FALSE(player->playerItem());
  scripted->releaseLoading();
  ASSERT_TRUE(ready());
  EXPECT_FALSE(player->bufferingIndicator()->isAnimating());
  EXPECT_EQ(player->timeSlider()->maximumValue(), 3);
  EXPECT_EQ(player->durationLabel()->text(), "00:03");
  EXPECT_EQ(player->startTimeLabel()->text(), "00:00");
  EXPECT_TRUE(player->playPauseButton()->isEnabled());
  EXPECT_TRUE(player->timeSlider()->isEnabled());

  int began = 0;
  player->setBeginPlayBlock([&] { ++began; });
  player->setControlHidden(false);
  UITouchDriver hand(window);
  hand.tap(player->playButton()->center());
  EXPECT_EQ(began, 1);
  EXPECT_TRUE(player->isPlaying());
  EXPECT_TRUE(player->controlView()->isHidden());
  EXPECT_TRUE(player->playPauseButton()->isSelected());
  EXPECT_FALSE(player->playButton()->isHidden());

  advance(1.0);
  EXPECT_TRUE(player->playButton()->isHidden());
  EXPECT_EQ(player->startTimeLabel()->text(), "00:01");
  EXPECT_NEAR(player->timeSlider()->value(), 1.0, 0.15);

  advance(2.5);
  EXPECT_FALSE(player->isPlaying());
  EXPECT_TRUE(player->isFinishedPlaying());
  EXPECT_FALSE(player->playButton()->isHidden());
  EXPECT_FALSE(player->playPauseButton()->isSelected());
  EXPECT_NEAR(Seconds(player->player()), 3, 1e-6);

  // Playing again starts from the beginning.
  player->play();
  ASSERT_TRUE(RunMainLoopUntil([&] { return Seconds(player->player()) < 0.5; }));
  EXPECT_FALSE(player->isFinishedPlaying());
  EXPECT_TRUE(player->isPlaying());
  player->pause();
  EXPECT_FALSE(player->isPlaying());

  player->reset();
  EXPECT_FALSE(player->url());
  EXPECT_FALSE(player->asset());
  EXPECT_FALSE(player->playerItem());
  EXPECT_FALSE(player->player()->currentItem());
  EXPECT_FALSE(player->playButton()->isHidden());
  EXPECT_FALSE(player->playPauseButton()->isEnabled());
  EXPECT_FALSE(player->timeSlider()->isEnabled());
  EXPECT_EQ(player->timeSlider()->value(), 0);
  EXPECT_EQ(player->startTimeLabel()->text(), "0:00");
  EXPECT_EQ(player->durationLabel()->text(), "0:00");
  AVPlaybackProvider::setShared(nullptr);
}

TEST_F(PlayerViewTest, ControlsHideThreeAndAHalfSecondsAfterBeingShownWhilePlayingOnly) {
  player->setUrl(movie("long.mp4", {.framesPerSecond = 2, .frames = 40, .keyFrameInterval = 10}));
  ASSERT_TRUE(ready());
  player->setControlHidden(false);
  player->play();
  ASSERT_TRUE(player->hidesControlViewTimer());
  advance(3.4);
  EXPECT_FALSE(player->controlView()->isHidden());
  advance(0.2);
  EXPECT_TRUE(player->controlView()->isHidden());

  // A tap on the video shows them again and restarts the wait.
  UITouchDriver hand(window);
  hand.tap({100, 200});
  advance(0.5);
  EXPECT_FALSE(player->controlView()->isHidden());
  advance(3.5);
  EXPECT_TRUE(player->controlView()->isHidden());

  // Pausing drops the pending hide.
  hand.tap({100, 200});
  advance(0.5);
  ASSERT_TRUE(player->hidesControlViewTimer());
  player->playPauseButtonWasPressed();
  EXPECT_FALSE(player->isPlaying());
  EXPECT_FALSE(player->hidesControlViewTimer());
  advance(5);
  EXPECT_FALSE(player->controlView()->isHidden());

  // Without auto-hide no timer is ever made and pausing leaves the controls.
  player->setAutoHidesControlView(false);
  player->playPauseButtonWasPressed();
  EXPECT_TRUE(player->isPlaying());
  EXPECT_FALSE(player->hidesControlViewTimer());
  player->playAndHidesControlView();
  EXPECT_FALSE(player->controlView()->isHidden());
  player->pause();
  EXPECT_FALSE(player->controlView()->isHidden());

  // With tap-to-toggle off a tap on the video leaves the controls alone.
  player->setTapToToggleControlView(false);
  hand.tap({100, 200});
  advance(0.5);
  EXPECT_FALSE(player->controlView()->isHidden());
}

TEST_F(PlayerViewTest, SliderTapSeeksToItsFractionAndDraggingPausesSeeksAndPlays) {
  player->setUrl(movie("two-minutes.mp4", {.framesPerSecond = 1, .frames = 121, .keyFrameInterval = 10}));
  ASSERT_TRUE(ready());
  EXPECT_EQ(player->durationLabel()->text(), "02:00");
  player->setControlHidden(false);
  auto slider = player->timeSlider();
  const CGRect frame = slider->convertRectToView(slider->bounds(), nullptr);
  UITouchDriver hand(window);
  hand.tap({frame.origin.x + frame.size.width * 0.25, CGRectGetMidY(frame)});
  advance(0.5);
  EXPECT_NEAR(slider->value(), 30, 1e-9);
  ASSERT_TRUE(RunMainLoopUntil([&] { return std::fabs(Seconds(player->player()) - 30) < 0.6; }));
  EXPECT_TRUE(player->isPlaying());

  // Dragging the thumb: paused while held, each move seeks to whole seconds,
  // playing again once let go.
  const CGRect thumb = slider->thumbRectForBounds(slider->bounds(), slider->trackRectForBounds(slider->bounds()),
                                                  slider->value());
  const CGPoint start = slider->convertPointToView({CGRectGetMidX(thumb), CGRectGetMidY(thumb)}, nullptr);
  auto touches = hand.down({start});
  hand.move(touches, {{start.x + 30, start.y}});
  EXPECT_FALSE(player->isPlaying());
  const double held = slider->value();
  EXPECT_GT(held, 30);
  ASSERT_TRUE(RunMainLoopUntil([&] { return std::fabs(Seconds(player->player()) - std::trunc(held)) < 1e-6; }));
  hand.up(touches);
  EXPECT_TRUE(player->isPlaying());
  player->pause();

  // Seeks cut to whole seconds toward zero; no number seeks to the start.
  player->setCurrentTime(59.9);
  ASSERT_TRUE(RunMainLoopUntil([&] { return Seconds(player->player()) == 59; }));
  player->setCurrentTime(std::nan(""));
  ASSERT_TRUE(RunMainLoopUntil([&] { return Seconds(player->player()) == 0; }));
}

TEST_F(PlayerViewTest, TimesReadAsMinutesAndSecondsAndTheBarKeepsClearOfTheHomeIndicator) {
  EXPECT_EQ(player->createTimeString(-3), player->createTimeString(0));
  EXPECT_EQ(player->createTimeString(0), "00:00");
  EXPECT_EQ(player->createTimeString(59.9), "00:59");
  EXPECT_EQ(player->createTimeString(65), "01:05");
  EXPECT_EQ(player->createTimeString(3725), "62:05");
  EXPECT_EQ(player->createTimeString(std::nan("")), "00:00");

  auto barOf = [](const std::shared_ptr<AKPlayerView>& view) {
    return view->playPauseButton()->superview();
  };
  UIScreen::mainScreen()->setBounds(CGRectMake(0, 0, 375, 667));
  auto flat = AKPlayerView::playerView(CGRectMake(0, 0, 375, 667), nullptr);
  EXPECT_EQ(barOf(flat)->frame(), CGRectMake(0, 627, 375, 40));
  UIScreen::mainScreen()->setBounds(CGRectMake(0, 0, 375, 812));
  auto tall = AKPlayerView::playerView(CGRectMake(0, 0, 375, 812), nullptr);
  EXPECT_EQ(tall->controlView()->superview(), tall);
  EXPECT_EQ(barOf(tall)->frame(), CGRectMake(0, 812 - 34 - 40, 375, 40));
  // The slider takes the room the labels leave.
  barOf(tall)->layoutIfNeeded();
  EXPECT_EQ(tall->timeSlider()->frame(), CGRectMake(125, 0, 175, 40));
  EXPECT_EQ(tall->durationLabel()->frame().origin.x, 315);
  EXPECT_EQ(tall->durationLabel()->frame().size.width, 50);
  EXPECT_EQ(tall->startTimeLabel()->frame().size.width, 50);
}

TEST_F(PlayerViewTest, EmptyPartsOfTheOverlayLetTouchesThroughItsControlsDoNot) {
  player->setCloseBlock([] {});
  player->setControlHidden(false);
  auto overlay = player->controlView();
  EXPECT_FALSE(overlay->hitTest({100, 150}, nullptr));
  EXPECT_EQ(window->hitTest({100, 150}, nullptr), player);
  auto close = player->closeButton();
  EXPECT_FALSE(close->isHidden());
  EXPECT_EQ(window->hitTest(close->center(), nullptr), close);
  player->setCloseBlock(nullptr);
  EXPECT_TRUE(close->isHidden());
}

TEST_F(PlayerViewTest, TheSameUrlLoadsOnceUnlessTheLoadFailed) {
  auto url = movie("once.mp4");
  player->setUrl(url);
  ASSERT_TRUE(ready());
  auto asset = player->asset();
  auto item = player->playerItem();
  player->setUrl(NSURL::fileURLWithPath(url->path()));
  drainMainLoop();
  EXPECT_EQ(player->asset(), asset);
  EXPECT_EQ(player->playerItem(), item);
  // The same asset again does nothing; none removes the item and keeps the spinner.
  player->setAsset(asset);
  EXPECT_EQ(player->playerItem(), item);
  player->bufferingIndicator()->startAnimating();
  player->setAsset(nullptr);
  EXPECT_FALSE(player->playerItem());
  EXPECT_FALSE(player->player()->currentItem());
  EXPECT_TRUE(player->bufferingIndicator()->isAnimating());
  player->bufferingIndicator()->stopAnimating();

  auto missing = NSURL::fileURLWithPath(folder.path() + "/missing.mp4");
  player->setUrl(missing);
  ASSERT_TRUE(RunMainLoopUntil([&] { return player->error() != nullptr; }));
  EXPECT_EQ(player->error()->code(), NSURLErrorFileDoesNotExist);
  EXPECT_FALSE(player->bufferingIndicator()->isAnimating());
  EXPECT_EQ(ToastText(player), "");
  auto failed = player->asset();
  player->setUrl(missing);
  ASSERT_TRUE(RunMainLoopUntil([&] { return player->asset() != failed && player->asset() != nullptr; }));
}

TEST_F(PlayerViewTest, PlayAfterAFailureShowsAnAddressErrorAndRetriesAnyOtherOnce) {
  // A file that does not exist cannot be cured by a retry: a toast.
  player->setUrl(NSURL::fileURLWithPath(folder.path() + "/missing.mp4"));
  ASSERT_TRUE(RunMainLoopUntil([&] { return player->error() != nullptr; }));
  auto failedAsset = player->asset();
  player->play();
  EXPECT_EQ(ToastText(player), player->error()->localizedDescription());
  EXPECT_FALSE(player->autoPlayOrShowErrorOnce());
  EXPECT_EQ(player->asset(), failedAsset);
  advance(3.5);
  EXPECT_EQ(ToastText(player), "");

  // An error belongs to the asset it came from: another video plays.
  player->setUrl(movie("fine.mp4"));
  ASSERT_TRUE(ready());
  EXPECT_FALSE(player->error());
  player->play();
  EXPECT_TRUE(player->isPlaying());
  EXPECT_EQ(ToastText(player), "");
  player->pause();

  // Any other error reloads once and plays as soon as the new item is ready.
  auto scripted = std::make_shared<ScriptedPlaybackProvider>();
  AVPlaybackProvider::setShared(scripted);
  scripted->failLoadingWith(NSError::errorWithDomain(NSURLErrorDomain, NSURLErrorCannotConnectToHost));
  auto url = movie("flaky.mp4");
  player->setUrl(url);
  ASSERT_TRUE(RunMainLoopUntil([&] { return player->error() != nullptr; }));
  EXPECT_EQ(player->error()->code(), NSURLErrorCannotConnectToHost);
  EXPECT_FALSE(player->playerItem());
  scripted->failLoadingWith(nullptr);
  player->play();
  EXPECT_TRUE(player->autoPlayOrShowErrorOnce());
  EXPECT_FALSE(player->error());
  ASSERT_TRUE(RunMainLoopUntil([&] { return player->isPlaying(); }));
  EXPECT_FALSE(player->autoPlayOrShowErrorOnce());
  EXPECT_TRUE(player->url()->isEqual(*url));
  EXPECT_EQ(ToastText(player), "");
  player->pause();

  // A retry that fails again tells the user at once.
  scripted->failLoadingWith(NSError::errorWithDomain(NSURLErrorDomain, NSURLErrorTimedOut));
  player->setUrl(movie("flaky-again.mp4"));
  ASSERT_TRUE(RunMainLoopUntil([&] { return player->error() != nullptr; }));
  EXPECT_EQ(ToastText(player), "");
  player->play();
  ASSERT_TRUE(RunMainLoopUntil([&] { return !ToastText(player).empty(); }));
  EXPECT_EQ(ToastText(player), NSError::errorWithDomain(NSURLErrorDomain, NSURLErrorTimedOut)
                                   ->localizedDescription());
  AVPlaybackProvider::setShared(nullptr);
}

TEST_F(PlayerViewTest, AnAnswerForAnAssetNoLongerShownChangesNothing) {
  auto first = AVURLAsset::URLAssetWithURL(movie("first.mp4"));
  player->setAsset(first);
  // The keys load off the main thread; the answer is then on its way to
  // the main queue, which this test does not run yet.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (first->statusOfValueForKey("duration", nullptr) != AVKeyValueStatusLoaded &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  ASSERT_EQ(first->statusOfValueForKey("duration", nullptr), AVKeyValueStatusLoaded);
  player->setAsset(nullptr);
  // Let the stale answer arrive (a bounded wait: it is already queued or
  // about to be).
  const auto settle = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
  while (std::chrono::steady_clock::now() < settle && !player->playerItem()) drainMainLoop();
  EXPECT_FALSE(player->playerItem());
  EXPECT_FALSE(player->player()->currentItem());
}

}  // namespace player_view_test
