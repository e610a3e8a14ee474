#include <gtest/gtest.h>

#include "GifTestSupport.h"
#include "gif/AnimGifManager.h"
#include "gif/UIImageAnimGif.h"
#include "gif/UIImageViewAnimGif.h"
#include "support/images/ImageLoadingTestSupport.h"
#include "platform/coregraphics/CGImage.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIWindow.h"
#include "support/TestEnvironment.h"
#include "support/ui/SnapshotTesting.h"

namespace gif_playback_test {

using namespace AnimGif;
using namespace gif_test;

namespace {

class GifPlaybackTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    AlignToMidFrame();
    window = std::make_shared<UIWindow>(UIScreen::mainScreen()->bounds());
    recorder = std::make_shared<RecordingDelegate>();
  }

  void TearDown() override {
    EXPECT_FALSE(recorder->offMainThread) << "delegate messages belong to the main thread";
    // Views and managers hold each other until a manager lets go.
    for (auto& m : managers) m->clear();
    managers.clear();
    PlatformTest::TearDown();
  }

  AnimGifManagerPtr makeManager(int64_t limit) {
    managers.push_back(std::make_shared<AnimGifManager>(limit));
    return managers.back();
  }

  UIImageViewPtr makeView(CGRect frame = CGRectMake(10, 10, 100, 100)) {
    auto view = std::make_shared<UIImageView>(frame);
    window->addSubview(view);
    setDelegate(view, recorder);
    return view;
  }

  static UIImagePtr gif(const std::vector<double>& delays, float level = 1.0f, size_t side = 8) {
    auto image = imageWithGifData(SolidFramesGif(delays, side, side), level);
    EXPECT_TRUE(image && imageCount(*image));
    return image;
  }

  using Events = std::vector<std::string>;

  std::shared_ptr<UIWindow> window;
  std::shared_ptr<RecordingDelegate> recorder;
  std::vector<AnimGifManagerPtr> managers;
};

// Delays 0.1, 0.2, 0 (read as the clamped 0.1) and 0.05 s make five slots
// of five ticks: frames 0, 1, 1, 2, 3. A tick shows the frame that the
// previous tick chose, so the first tick shows the first source frame.
int expectedMixedFrame(int tick) {
  static const int order[] = {0, 1, 1, 2, 3};
  return tick == 1 ? 0 : order[((tick - 2) / 5) % 5];
}

TEST_F(GifPlaybackTest, PlaysAtTheCadenceOfItsDelays) {
  auto manager = makeManager(50);
  auto mixed = gif({0.1, 0.2, 0.0, 0.05});
  ASSERT_EQ(displayRefreshFactor(*mixed), 5);
  ASSERT_EQ(displayOrder(*mixed), (std::vector<int64_t>{0, 1, 1, 2, 3}));

  // Two views share the manager: one caches its frames (it loops forever),
  // the other (four loops) decodes each slot from the source.
  auto cached = makeView();
  auto uncached = makeView(CGRectMake(150, 10, 100, 100));
  setGifImage(cached, mixed, manager, -1);
  setGifImage(uncached, mixed, manager, 4);
  EXPECT_EQ(recorder->events, (Events{"start", "start"}));
  EXPECT_TRUE(frameCacheBuilt(*cached));
  EXPECT_FALSE(frameCacheBuilt(*uncached));
  EXPECT_TRUE(isAnimatingGif(*cached));
  EXPECT_TRUE(displaying(*cached));
  EXPECT_EQ(FrameOf(currentImage(*cached)), 0);
  EXPECT_EQ(ShownFrame(*cached), -1) << "nothing is shown before the first tick";

  recorder->events.clear();
  // Each source frame is composited once a loop, however many ticks, slots
  // and views show it (slots 1 and 2 both show frame 1): over the first loop
  // the pixels shown change three times. The last pixels are held, so new
  // ones cannot take their address.
  auto pixelsOf = [](const UIImagePtr& image) { return image->CGImage()->pixelData(); };
  auto lastCached = pixelsOf(currentImage(*cached));
  auto lastUncached = pixelsOf(currentImage(*uncached));
  int cachedChanges = 0, uncachedChanges = 0;
  for (int tick = 1; tick <= 60; ++tick) {
    Tick();
    if (tick <= 25) {
      cachedChanges += pixelsOf(currentImage(*cached)) != lastCached;
      uncachedChanges += pixelsOf(currentImage(*uncached)) != lastUncached;
      lastCached = pixelsOf(currentImage(*cached));
      lastUncached = pixelsOf(currentImage(*uncached));
    }
    ASSERT_EQ(ShownFrame(*cached), expectedMixedFrame(tick)) << "tick " << tick;
    ASSERT_EQ(ShownFrame(*uncached), expectedMixedFrame(tick)) << "tick " << tick;
    if (tick == 24) {
      EXPECT_TRUE(recorder->events.empty());
    }
    if (tick == 25) {
      EXPECT_EQ(recorder->events, (Events{"loop", "loop"}));
    }
  }
  EXPECT_EQ(recorder->events, (Events{"loop", "loop", "loop", "loop"}));
  EXPECT_EQ(cachedChanges, 3);
  EXPECT_EQ(uncachedChanges, 3);
  EXPECT_EQ(loopCount(*cached), -1);
  EXPECT_EQ(loopCount(*uncached), 2);
  EXPECT_EQ(currentFrameIndex(*cached), (60 / 5) % 5);
}

TEST_F(GifPlaybackTest, CountsLoopsAndStopsOnTheLastFrame) {
  auto manager = makeManager(50);
  // Two frames of 0.1 s: two slots of six ticks, twelve ticks a loop.
  auto two = gif({0.1, 0.1});
  ASSERT_EQ(displayRefreshFactor(*two), 6);
  auto view = makeView();
  setGifImage(view, two, manager, 3);
  recorder->events.clear();

  Tick(12);
  EXPECT_EQ(recorder->events, (Events{"loop"}));
  EXPECT_EQ(loopCount(*view), 2);
  Tick(12);
  EXPECT_EQ(recorder->events, (Events{"loop", "loop"}));
  Tick(11);
  EXPECT_TRUE(displaying(*view));
  Tick();
  EXPECT_EQ(recorder->events, (Events{"loop", "loop", "stop"}));
  EXPECT_EQ(loopCount(*view), 0);
  EXPECT_FALSE(displaying(*view));
  EXPECT_TRUE(isAnimatingGif(*view));

  // The last frame of the loop stays; nothing more is counted.
  for (int i = 0; i < 30; ++i) {
    Tick();
    ASSERT_EQ(ShownFrame(*view), 1);
  }
  EXPECT_EQ(recorder->events, (Events{"loop", "loop", "stop"}));
  EXPECT_EQ(currentFrameIndex(*view), 0);
  EXPECT_TRUE(manager->containsImageView(view));

  // A single loop: one stop message and the end of stepping in that tick.
  auto once = makeView(CGRectMake(0, 200, 50, 50));
  setGifImage(once, two, manager, 1);
  recorder->events.clear();
  Tick(12);
  EXPECT_EQ(recorder->events, (Events{"stop"}));
  EXPECT_EQ(loopCount(*once), 0);
  EXPECT_FALSE(displaying(*once));

  // No loop at all: the first tick shows frame 0 and ends stepping.
  auto none = makeView(CGRectMake(0, 300, 50, 50));
  setGifImage(none, two, manager, 0);
  recorder->events.clear();
  Tick();
  EXPECT_EQ(ShownFrame(*none), 0);
  EXPECT_FALSE(displaying(*none));
  Tick(30);
  EXPECT_EQ(ShownFrame(*none), 0);
  EXPECT_TRUE(recorder->events.empty());
}

TEST_F(GifPlaybackTest, AOneTickLoopWithNoLoopsLeftStaysStopped) {
  auto manager = makeManager(50);
  auto flash = gif({0.1, 0.1});
  // One slot of one tick: every tick ends a loop.
  setImageCount(*flash, 1);
  setDisplayRefreshFactor(*flash, 1);
  setDisplayOrder(*flash, std::vector<int64_t>{0});
  auto view = makeView();
  setGifImage(view, flash, manager, 0);
  recorder->events.clear();
  Tick(5);
  EXPECT_TRUE(recorder->events.empty());
  EXPECT_EQ(loopCount(*view), 0);
  EXPECT_FALSE(displaying(*view));

  setGifImage(view, flash, manager, 2);
  EXPECT_TRUE(recorder->events.empty()) << "an already managed view is not started again";
  Tick(5);
  EXPECT_EQ(recorder->events, (Events{"loop", "stop"}));
  EXPECT_EQ(loopCount(*view), 0);
}

TEST_F(GifPlaybackTest, ViewsOffScreenStopAndResumeWhereTheyWere) {
  auto manager = makeManager(50);
  auto mixed = gif({0.1, 0.2, 0.0, 0.05});
  auto view = makeView();
  setGifImage(view, mixed, manager, -1);
  Tick(7);
  ASSERT_TRUE(frameCacheBuilt(*view));
  EXPECT_EQ(currentFrameIndex(*view), 1);

  // Hidden: the tick that finds it hidden still steps, then it stops and
  // drops its frames.
  view->setHidden(true);
  Tick();
  EXPECT_FALSE(displaying(*view));
  EXPECT_FALSE(frameCacheBuilt(*view));
  Tick(20);
  EXPECT_EQ(currentFrameIndex(*view), 1);
  EXPECT_EQ(ShownFrame(*view), 1);
  view->setHidden(false);
  Tick();  // comes back: the cache is rebuilt, no step yet
  EXPECT_TRUE(displaying(*view));
  EXPECT_TRUE(frameCacheBuilt(*view));
  EXPECT_EQ(currentFrameIndex(*view), 1);
  Tick(2);  // eight steps before, two now: slot 2
  EXPECT_EQ(currentFrameIndex(*view), 2);

  // Outside every window, though still in a view tree.
  auto container = UIView::viewWithFrame(CGRectMake(0, 0, 300, 300));
  view->removeFromSuperview();
  container->addSubview(view);
  Tick();
  EXPECT_FALSE(displaying(*view));
  const int64_t slot = currentFrameIndex(*view);
  Tick(10);
  EXPECT_EQ(currentFrameIndex(*view), slot);
  EXPECT_TRUE(manager->containsImageView(view));
  window->addSubview(container);
  Tick();
  EXPECT_TRUE(displaying(*view));

  // Entirely beyond the screen's bounds, then just touching them again.
  view->setFrame(CGRectMake(2000, 10, 100, 100));
  Tick();
  EXPECT_FALSE(displaying(*view));
  view->setFrame(CGRectMake(380, 10, 100, 100));
  Tick();
  EXPECT_TRUE(displaying(*view));

  // Out of the view tree: the view's own step leaves the manager, and the
  // tick after that finds no view and stops the link.
  view->removeFromSuperview();
  Tick(2);
  EXPECT_FALSE(manager->containsImageView(view));
  EXPECT_EQ(PlatformClock::pendingCount(), 1u);
  Tick();
  EXPECT_EQ(PlatformClock::pendingCount(), 0u);

  // A paused view out of the tree is dropped by the manager's tick.
  auto paused = makeView();
  setGifImage(paused, mixed, manager, -1);
  stopAnimatingGif(paused);
  EXPECT_FALSE(isAnimatingGif(*paused));
  Tick(3);
  EXPECT_EQ(currentFrameIndex(*paused), 0);
  EXPECT_TRUE(manager->containsImageView(paused));
  paused->removeFromSuperview();
  Tick();
  EXPECT_FALSE(manager->containsImageView(paused));
}

TEST_F(GifPlaybackTest, SharedBudgetSwitchesCachesAndNeverDrifts) {
  auto manager = makeManager(3);
  // 500 x 500 frames: 1 MB a slot. Two slots of 0.5 s make 2 MB, one slot 1 MB.
  auto big = gif({0.5, 0.5}, 0.8f, 500);
  auto small = gif({0.1}, 0.8f, 500);
  ASSERT_EQ(imageSize(*big), 2);
  ASSERT_EQ(imageSize(*small), 1);

  auto a = makeView();
  setGifImage(a, big, manager, -1);
  EXPECT_EQ(manager->totalGifSize(), 2);
  EXPECT_TRUE(frameCacheBuilt(*a));

  auto b = makeView(CGRectMake(150, 10, 100, 100));
  setGifImage(b, big, manager, -1);
  EXPECT_EQ(manager->totalGifSize(), 4);
  EXPECT_FALSE(manager->haveCache());
  EXPECT_FALSE(frameCacheBuilt(*a));
  EXPECT_FALSE(frameCacheBuilt(*b));
  Tick(32);  // both still play, from the source
  EXPECT_EQ(ShownFrame(*a), 1);
  EXPECT_EQ(ShownFrame(*b), 1);

  manager->deleteImageView(b);
  EXPECT_EQ(manager->totalGifSize(), 2);
  EXPECT_TRUE(manager->haveCache());
  EXPECT_TRUE(frameCacheBuilt(*a));

  // Exactly at the limit caching stays allowed.
  auto c = makeView(CGRectMake(0, 200, 100, 100));
  setGifImage(c, small, manager, 5);
  EXPECT_EQ(manager->totalGifSize(), 3);
  EXPECT_TRUE(manager->haveCache());
  EXPECT_TRUE(frameCacheBuilt(*c));

  // Replacing a managed view's GIF moves the budget by the difference and
  // restarts the counters, without a new start message.
  Tick(3);
  recorder->events.clear();
  setGifImage(a, small, manager, -1);
  EXPECT_EQ(manager->totalGifSize(), 2);
  EXPECT_TRUE(recorder->events.empty());
  EXPECT_EQ(currentFrameIndex(*a), 0);
  EXPECT_TRUE(displaying(*a));
  EXPECT_TRUE(isAnimatingGif(*a));
  setGifImage(a, big, manager, -1);
  EXPECT_EQ(manager->totalGifSize(), 3);
  // Adding a managed view again neither lists nor counts it twice.
  EXPECT_FALSE(manager->addImageView(a));
  EXPECT_EQ(manager->totalGifSize(), 3);

  // A view emptied of its GIF still takes back exactly what it added.
  AnimGif::clear(c);
  EXPECT_FALSE(gifImage(*c));
  manager->deleteImageView(c);
  EXPECT_EQ(manager->totalGifSize(), 2);
  manager->deleteImageView(c);
  EXPECT_EQ(manager->totalGifSize(), 2);

  // A size set below zero counts as nothing rather than making room.
  auto odd = gif({0.1, 0.1});
  setImageSize(*odd, -10);
  auto d = makeView(CGRectMake(0, 400, 50, 50));
  setGifImage(d, odd, manager, -1);
  EXPECT_EQ(manager->totalGifSize(), 2);
  manager->deleteImageView(d);

  // Over the limit, then cleared: nothing is managed, so nothing counts.
  setGifImage(b, big, manager, -1);
  EXPECT_FALSE(manager->haveCache());
  manager->clear();
  EXPECT_EQ(manager->totalGifSize(), 0);
  EXPECT_TRUE(manager->haveCache());
  EXPECT_FALSE(manager->containsImageView(a));
  EXPECT_FALSE(gifImage(*a));
  EXPECT_FALSE(animationManager(*a));
  EXPECT_FALSE(a->image());
  EXPECT_FALSE(imageData(*big)) << "clearing empties the GIF images too";
  EXPECT_EQ(PlatformClock::pendingCount(), 0u);
}

TEST_F(GifPlaybackTest, OnlyViewsThatLoopOftenCacheFrames) {
  auto manager = makeManager(50);
  auto two = gif({0.1, 0.1});
  auto four = makeView();
  auto five = makeView();
  auto forever = makeView();
  setGifImage(four, two, manager, 4);
  setGifImage(five, two, manager, 5);
  setGifImage(forever, two, manager, -1);
  EXPECT_FALSE(manager->hasCache(four));
  EXPECT_FALSE(frameCacheBuilt(*four));
  EXPECT_TRUE(frameCacheBuilt(*five));
  EXPECT_TRUE(frameCacheBuilt(*forever));
  EXPECT_FALSE(manager->hasCache(std::make_shared<UIImageView>()));
}

TEST_F(GifPlaybackTest, StillGifsAndOtherManagersLeaveTheManager) {
  auto first = makeManager(50);
  auto second = makeManager(50);
  auto two = gif({0.1, 0.1});
  auto view = makeView();
  setGifImage(view, two, first, -1);
  recorder->events.clear();

  // Moving to another manager leaves the first, which would step it too.
  setGifImage(view, two, second, -1);
  EXPECT_FALSE(first->containsImageView(view));
  EXPECT_TRUE(second->containsImageView(view));
  EXPECT_EQ(recorder->events, (Events{"start"}));
  EXPECT_EQ(animationManager(*view), second);

  // At level 0 the coarsest cadence is taken even when it keeps no frame:
  // the GIF has no slots and shows as a still image.
  auto still = imageWithGifData(SolidFramesGif({0.1, 0.1}), 0.0f);
  ASSERT_TRUE(still);
  ASSERT_EQ(imageCount(*still), 0);
  setGifImage(view, still, second, -1);
  EXPECT_FALSE(second->containsImageView(view));
  EXPECT_EQ(ShownFrame(*view), 0);
  Tick(20);
  EXPECT_EQ(ShownFrame(*view), 0) << "no tick replaces the still image";

  auto fresh = makeView();
  setGifImage(fresh, still, second, -1);
  EXPECT_FALSE(gifImage(*fresh));
  EXPECT_FALSE(second->containsImageView(fresh));

  // A plain image takes the view out of the manager.
  setGifImage(view, two, second, -1);
  auto plain = il_test::SolidUIImage(4, 4, kColors[3]);
  setImage(view, plain, second, -1);
  EXPECT_FALSE(second->containsImageView(view));
  EXPECT_EQ(view->image(), plain);
  setImage(view, two, second, -1);
  EXPECT_TRUE(second->containsImageView(view));

  // An image without a source is loaded but not managed.
  auto bare = makeView();
  setGifImage(bare, il_test::SolidUIImage(4, 4, kColors[0]), second, -1);
  EXPECT_FALSE(second->containsImageView(bare));
  EXPECT_FALSE(currentImage(*bare));
}

TEST_F(GifPlaybackTest, TheLinkStopsOnTheTickAfterTheLastViewLeaves) {
  auto manager = makeManager(50);
  auto view = makeView();
  setGifImage(view, gif({0.1, 0.1}), manager, -1);
  EXPECT_EQ(PlatformClock::pendingCount(), 1u);
  manager->deleteImageView(view);
  EXPECT_EQ(PlatformClock::pendingCount(), 1u);
  Tick();
  EXPECT_EQ(PlatformClock::pendingCount(), 0u);
  EXPECT_TRUE(manager->addImageView(view));
  EXPECT_EQ(PlatformClock::pendingCount(), 1u);
  manager->stopTimer();
  EXPECT_EQ(PlatformClock::pendingCount(), 0u);
  // Adding a managed view again restarts a stopped link.
  EXPECT_FALSE(manager->addImageView(view));
  EXPECT_EQ(PlatformClock::pendingCount(), 1u);
  manager->deleteImageView(view);

  // A manager that goes away takes its link with it.
  {
    auto lone = std::make_shared<AnimGifManager>(10);
    lone->startTimerIfNeeded();
    EXPECT_EQ(PlatformClock::pendingCount(), 2u);
  }
  EXPECT_EQ(PlatformClock::pendingCount(), 1u);
  manager->stopTimer();
}

TEST_F(GifPlaybackTest, AClearedViewLeavesItsManager) {
  auto manager = makeManager(50);
  auto big = gif({0.1, 0.1}, 1.0f, 1000);
  auto view = makeView();
  auto other = makeView();
  setGifImage(view, big, manager, -1);
  setGifImage(other, gif({0.1, 0.1}), manager, -1);
  ASSERT_GT(manager->totalGifSize(), 0);

  clear(view);
  view->removeFromSuperview();
  EXPECT_FALSE(manager->containsImageView(view));
  EXPECT_TRUE(manager->containsImageView(other));
  EXPECT_EQ(manager->totalGifSize(), 0) << "the cleared view's frames are no longer counted";
  EXPECT_FALSE(animationManager(*view));

  // With the last view cleared too, the link stops on the next tick.
  clear(other);
  other->removeFromSuperview();
  Tick(3);
  EXPECT_EQ(PlatformClock::pendingCount(), 0u);
}

TEST_F(GifPlaybackTest, SteppingThroughSlotsByHand) {
  auto manager = makeManager(50);
  auto ten = gif(std::vector<double>(10, 0.1));
  ASSERT_EQ(framesCount(*ten), 10);
  auto view = makeView();
  setGifImage(view, ten, manager, 4);  // no frame cache: frames come from the source
  stopAnimatingGif(view);

  showFrameForIndexDelta(view, -1);
  EXPECT_EQ(currentFrameIndex(*view), 9);
  EXPECT_EQ(FrameOf(currentImage(*view)), 9);
  showFrameAtIndex(view, 0);
  showFrameForIndexDelta(view, 25);
  EXPECT_EQ(currentFrameIndex(*view), 5);
  EXPECT_EQ(FrameOf(currentImage(*view)), 5);
  showFrameForIndexDelta(view, -26);
  EXPECT_EQ(currentFrameIndex(*view), 9);
  Tick();
  EXPECT_EQ(ShownFrame(*view), 9) << "a paused view shows the frame it was given";

  EXPECT_EQ(FrameOf(frameAtIndex(*view, 3)), 3);
  EXPECT_FALSE(frameAtIndex(*view, 10)->CGImage());
  EXPECT_FALSE(frameAtIndex(*view, -1)->CGImage());
  auto bare = std::make_shared<UIImageView>();
  EXPECT_FALSE(frameAtIndex(*bare, 0)->CGImage());
  showFrameForIndexDelta(bare, 3);
  EXPECT_EQ(currentFrameIndex(*bare), 0);
  // A GIF whose display order is empty leaves the slot where it is.
  auto empty = imageWithGifData(SolidFramesGif({0.1, 0.1}), 0.0f);
  ASSERT_EQ(framesCount(*empty), 0);
  setGifImage(bare, empty);
  showFrameForIndexDelta(bare, 3);
  EXPECT_EQ(currentFrameIndex(*bare), 0);

  // New bytes parsed into the playing GIF image show from their own source,
  // even where the slot names the same frame number.
  showFrameAtIndex(view, 0);
  EXPECT_EQ(FrameOf(currentImage(*view)), 0);
  ASSERT_TRUE(setGifFromData(*ten, SolidFramesGif(std::vector<double>(10, 0.1), 8, 8, 5), 1.0f));
  showFrameAtIndex(view, 0);
  EXPECT_EQ(FrameOf(currentImage(*view)), 5);

  startAnimatingGif(view);
  EXPECT_TRUE(isAnimatingGif(*view));
  EXPECT_TRUE(isDisplayedInScreen(*view, view.get()));
  EXPECT_FALSE(isDisplayedInScreen(*view, nullptr));
  EXPECT_FALSE(isDiscarded(view.get()));
  EXPECT_TRUE(isDiscarded(bare.get()));
  EXPECT_TRUE(isDiscarded(nullptr));
}

TEST_F(GifPlaybackTest, TheDefaultManagerIsSharedAndReplaceable) {
  auto shared = AnimGifManager::defaultManager();
  EXPECT_EQ(AnimGifManager::defaultManager(), shared);
  EXPECT_EQ(shared->memoryLimit(), 50);
  EXPECT_TRUE(shared->haveCache());
  EXPECT_EQ(shared->totalGifSize(), 0);
  EXPECT_EQ(shared->mode(), "kCFRunLoopCommonModes");
  auto mine = std::make_shared<AnimGifManager>(7);
  AnimGifManager::setDefaultManager(mine);
  EXPECT_EQ(AnimGifManager::defaultManager(), mine);
  AnimGifManager::setDefaultManager(nullptr);
  auto fresh = AnimGifManager::defaultManager();
  EXPECT_NE(fresh, mine);
  EXPECT_EQ(fresh->memoryLimit(), 50);
}

TEST_F(GifPlaybackTest, RendersTheFramesAsPixels) {
  auto manager = makeManager(50);
  auto square = imageWithGifData(MovingSquareGif(4), 1.0f);
  ASSERT_TRUE(square);
  ASSERT_EQ(displayRefreshFactor(*square), 6);
  // Four times the GIF's size, drawn at 2x: a GIF pixel is 8 device pixels.
  auto view = makeView(CGRectMake(20, 40, 128, 64));
  setGifImage(view, square, manager, -1);
  const std::array<uint8_t, 4> red = {255, 0, 0, 255}, white = {255, 255, 255, 255};
  // Slots of six ticks; the frame of slot k shows from tick 6k + 2.
  for (int slot = 0; slot < 4; ++slot) {
    Tick(slot == 0 ? 2 : 6);
    auto picture = RenderView(*view, 2);
    ASSERT_TRUE(picture && picture->CGImage());
    ASSERT_EQ(picture->CGImage()->width(), 256u);
    SaveSnapshot(picture, "gif_playback_slot" + std::to_string(slot));
    for (int x = 0; x < 4; ++x) {
      const auto pixel = il_test::PixelAt(picture->CGImage(), size_t(64 * x + 32), 64);
      EXPECT_TRUE(il_test::Near(pixel, x == slot ? red : white))
          << "slot " << slot << ", square position " << x;
    }
    EXPECT_TRUE(il_test::Near(il_test::PixelAt(picture->CGImage(), size_t(64 * slot + 32), 16),
                              white));
  }
  // The window as a whole: the view at its place, the square in its last
  // position.
  auto whole = RenderView(*window, 1);
  SaveSnapshot(whole, "gif_playback_window");
  EXPECT_TRUE(il_test::Near(il_test::PixelAt(whole->CGImage(), 20 + 112, 40 + 32), red));
  EXPECT_TRUE(il_test::Near(il_test::PixelAt(whole->CGImage(), 20 + 16, 40 + 32), white));
}

}  // namespace

}  // namespace gif_playback_test
