#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <thread>

#include "support/images/ImageLoadingTestSupport.h"
#include "image_loading/animated/ILAnimatedImage.h"
#include "image_loading/animated/ILAnimatedImagePlayer.h"
#include "image_loading/animated/internal/ILDeviceHelper.h"
#include "image_loading/animated/internal/ILDisplayLink.h"
#include "image_loading/animated/ILImageFramePool.h"
#include "image_loading/animated/internal/ILWeakProxy.h"
#include "platform/foundation/NSOperation.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/PlatformClock.h"
#include "platform/mach/MachHost.h"
#include "platform/quartzcore/CADisplayLink.h"
#include "platform/uikit/UIApplication.h"
#include "support/TestEnvironment.h"

namespace animated_image_player_test {

namespace {

constexpr std::array<uint8_t, 4> kRed{255, 0, 0, 255};
constexpr std::array<uint8_t, 4> kGreen{0, 255, 0, 255};
constexpr std::array<uint8_t, 4> kBlue{0, 0, 255, 255};

// Frames decoded on demand, remembering the threads that decoded them.
class RecordingProvider : public NSObject, public ILAnimatedImageProvider {
 public:
  explicit RecordingProvider(uint64_t frames, double duration = 0.1)
      : frames_(frames), duration_(duration) {}
  UIImagePtr animatedImageFrameAtIndex(uint64_t index) const override {
    std::lock_guard<std::mutex> lock(mutex_);
    threads_.insert(std::this_thread::get_id());
    ++decodes_;
    if (index >= frames_ || failing_ == index) return nullptr;
    return il_test::SolidUIImage(4, 4, {uint8_t(index * 40), 0, 0, 255});
  }
  double animatedImageDurationAtIndex(uint64_t index) const override {
    return index < frames_ ? duration_ : 0;
  }
  NSDataPtr animatedImageData() const override { return nullptr; }
  uint64_t animatedImageFrameCount() const override { return frames_; }
  uint64_t animatedImageLoopCount() const override { return 0; }

  std::set<std::thread::id> threads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
  }
  int decodes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return decodes_;
  }
  void setFailing(uint64_t index) {
    std::lock_guard<std::mutex> lock(mutex_);
    failing_ = index;
  }

 private:
  uint64_t frames_;
  double duration_;
  mutable std::mutex mutex_;
  mutable std::set<std::thread::id> threads_;
  mutable int decodes_ = 0;
  uint64_t failing_ = UINT64_MAX;
};

// A little over one display frame: each step of the manual clock delivers
// exactly one refresh of the display link.
constexpr double kFrame = CADisplayLink::kFrameInterval + 1e-6;
// At ten times the speed a 0.1 s frame lasts less than one refresh, so every
// tick ends a frame.
constexpr double kFastRate = 10;

class AnimatedImagePlayerTest : public PlatformTest {
 protected:
  ILAnimatedImage::Ptr threeFrameGIF(int64_t loops = 0) {
    return ILAnimatedImage::imageWithData(il_test::AnimatedFile(
        "com.compuserve.gif", {{kRed, 0.1}, {kGreen, 0.1}, {kBlue, 0.1}}, 8, 8, loops));
  }

  // One display refresh, then the pool's decode settles.
  void tick(ILAnimatedImagePlayer& player) {
    advance(kFrame);
    settle(player);
  }
  static void settle(ILAnimatedImagePlayer& player) {
    ASSERT_TRUE(player.framePool()->fetchQueue()->waitUntilAllOperationsAreFinished(
        kTestTimeoutSeconds));
  }

  // The main thread stalls for `seconds`: the refresh that fell due meanwhile
  // is delivered late, and the link's next frame is the first one after now.
  static void stall(double seconds) {
    std::thread([seconds] { PlatformClock::advance(seconds); }).join();
    drainMainLoop();
  }

  std::vector<uint64_t> play(ILAnimatedImagePlayer& player, int ticks) {
    std::vector<uint64_t> shown;
    player.setAnimationFrameHandler([&](uint64_t index, const UIImagePtr&) { shown.push_back(index); });
    player.startPlaying();
    for (int i = 0; i < ticks; ++i) tick(player);
    player.setAnimationFrameHandler(nullptr);
    return shown;
  }

  std::shared_ptr<ILAnimatedImagePlayer> fastPlayer(const ILAnimatedImageProviderPtr& provider) {
    auto player = ILAnimatedImagePlayer::playerWithProvider(provider);
    player->setPlaybackRate(kFastRate);
    return player;
  }
};

TEST_F(AnimatedImagePlayerTest, PlaybackModesOrderTheFrames) {
  auto image = threeFrameGIF();
  ASSERT_TRUE(image);
  auto forward = fastPlayer(image);
  EXPECT_EQ(play(*forward, 7), (std::vector<uint64_t>{0, 1, 2, 0, 1, 2, 0}));
  EXPECT_EQ(forward->currentLoopCount(), 2u);
  forward->stopPlaying();

  auto bounce = fastPlayer(image);
  bounce->setPlaybackMode(ILAnimatedPlaybackModeBounce);
  EXPECT_EQ(play(*bounce, 7), (std::vector<uint64_t>{0, 1, 2, 1, 0, 1, 2}));
  bounce->stopPlaying();

  auto reversedBounce = fastPlayer(image);
  reversedBounce->setPlaybackMode(ILAnimatedPlaybackModeReversedBounce);
  EXPECT_EQ(play(*reversedBounce, 5), (std::vector<uint64_t>{2, 1, 0, 1, 2}));
  reversedBounce->stopPlaying();

  auto reverse = fastPlayer(image);
  reverse->setPlaybackMode(ILAnimatedPlaybackModeReverse);
  std::vector<uint64_t> loops;
  reverse->setAnimationLoopHandler([&](uint64_t count) { loops.push_back(count); });
  EXPECT_EQ(play(*reverse, 4), (std::vector<uint64_t>{2, 1, 0, 2}));
  // Counted when frame 0 became due, not when it was left.
  EXPECT_EQ(loops, (std::vector<uint64_t>{1}));
  reverse->stopPlaying();
}

TEST_F(AnimatedImagePlayerTest, LoopLimitRateAndLateTicks) {
  auto image = threeFrameGIF();
  auto once = fastPlayer(image);
  once->setTotalLoopCount(1);
  EXPECT_EQ(play(*once, 3), (std::vector<uint64_t>{0, 1, 2}));
  EXPECT_FALSE(once->isPlaying());
  EXPECT_EQ(once->currentFrameIndex(), 0u);
  EXPECT_EQ(once->currentFrame(), nullptr);

  // 0.03 s frames: two refreshes end one at rate 1, each refresh one at rate 2.
  auto provider = std::make_shared<RecordingProvider>(4, 0.03);
  auto normal = ILAnimatedImagePlayer::playerWithProvider(provider);
  auto fast = ILAnimatedImagePlayer::playerWithProvider(provider);
  fast->setPlaybackRate(2);
  normal->startPlaying();
  fast->startPlaying();
  tick(*normal);  // both players see every refresh
  settle(*fast);
  EXPECT_EQ(normal->currentFrameIndex(), 0u);
  EXPECT_EQ(fast->currentFrameIndex(), 1u);
  tick(*normal);
  settle(*fast);
  EXPECT_EQ(normal->currentFrameIndex(), 1u);
  EXPECT_EQ(fast->currentFrameIndex(), 2u);
  normal->stopPlaying();
  fast->stopPlaying();

  auto late = ILAnimatedImagePlayer::playerWithProvider(image);
  late->startPlaying();
  tick(*late);
  stall(0.5);
  EXPECT_EQ(late->currentFrameIndex(), 0u);
  tick(*late);  // half a second late: one frame on, at most one frame's time carried
  EXPECT_EQ(late->currentFrameIndex(), 1u);
  EXPECT_DOUBLE_EQ(late->currentTime(), 0.1);
  late->setPlaybackRate(0);
  tick(*late);
  EXPECT_FALSE(late->isPlaying());
  EXPECT_EQ(late->currentFrameIndex(), 0u);
}

TEST_F(AnimatedImagePlayerTest, PauseKeepsPositionAndSeekDecodesAtOnce) {
  auto image = threeFrameGIF();
  auto player = ILAnimatedImagePlayer::playerWithProvider(image);
  play(*player, 2);
  player->pausePlaying();
  EXPECT_FALSE(player->isPlaying());
  const uint64_t index = player->currentFrameIndex();
  tick(*player);
  EXPECT_EQ(player->currentFrameIndex(), index);
  std::vector<uint64_t> shown;
  player->setAnimationFrameHandler([&](uint64_t i, const UIImagePtr& frame) {
    shown.push_back(i);
    EXPECT_TRUE(frame);
  });
  player->seekToFrameAtIndex(2, 5);
  player->seekToFrameAtIndex(3, 0);
  EXPECT_EQ(shown, (std::vector<uint64_t>{2}));
  EXPECT_EQ(player->currentLoopCount(), 5u);
  EXPECT_TRUE(il_test::Near(il_test::PixelAt(player->currentFrame()->CGImage(), 1, 1), kBlue));
  player->clearFrameBuffer();
  EXPECT_EQ(player->framePool()->currentFrameCount(), 0u);
  EXPECT_EQ(ILAnimatedImagePlayer::playerWithProvider(std::make_shared<RecordingProvider>(1)), nullptr);
}

TEST_F(AnimatedImagePlayerTest, DecodesOffTheMainThreadAndRetriesMissingFrames) {
  auto provider = std::make_shared<RecordingProvider>(4);
  auto player = fastPlayer(provider);
  provider->setFailing(2);
  std::vector<uint64_t> shown;
  player->setAnimationFrameHandler([&](uint64_t i, const UIImagePtr&) { shown.push_back(i); });
  player->startPlaying();
  for (int i = 0; i < 6; ++i) tick(*player);
  // Frame 2 never decodes: the player waits on it, asking again each tick.
  EXPECT_EQ(shown, (std::vector<uint64_t>{1}));
  EXPECT_TRUE(player->bufferMiss());
  EXPECT_EQ(player->currentFrameIndex(), 2u);
  const int before = provider->decodes();
  tick(*player);
  EXPECT_GT(provider->decodes(), before);
  provider->setFailing(UINT64_MAX);
  tick(*player);
  tick(*player);
  EXPECT_EQ(shown.back(), 2u);
  EXPECT_FALSE(player->bufferMiss());
  EXPECT_EQ(provider->threads().count(std::this_thread::get_id()), 0u);
  EXPECT_FALSE(provider->threads().empty());
  player->stopPlaying();
}

TEST_F(AnimatedImagePlayerTest, PlayersOfOneProviderShareAPool) {
  auto image = threeFrameGIF();
  auto first = ILAnimatedImagePlayer::playerWithProvider(image);
  auto second = ILAnimatedImagePlayer::playerWithProvider(image);
  ASSERT_EQ(first->framePool(), second->framePool());
  EXPECT_EQ(first->framePool()->registerCount(), 2u);
  auto pool = first->framePool();
  first.reset();
  EXPECT_EQ(pool->registerCount(), 1u);
  EXPECT_EQ(ILImageFramePool::registerProvider(image), pool);
  ILImageFramePool::unregisterProvider(image);
  second.reset();
  EXPECT_EQ(pool->registerCount(), 0u);
  EXPECT_NE(ILImageFramePool::registerProvider(image), pool);
  ILImageFramePool::unregisterProvider(image);
  ILImageFramePool::unregisterProvider(std::make_shared<RecordingProvider>(2));  // never registered
}

TEST_F(AnimatedImagePlayerTest, RunLoopModeMovesTheRunningClock) {
  auto player = fastPlayer(threeFrameGIF());
  player->setRunLoopMode("first");  // no clock yet: only stored
  player->startPlaying();
  tick(*player);
  EXPECT_EQ(player->currentFrameIndex(), 1u);
  player->setRunLoopMode("second");
  tick(*player);
  EXPECT_EQ(player->currentFrameIndex(), 2u);
  // Out of every mode the clock gets no refresh, though it still runs.
  player->setRunLoopMode("");
  EXPECT_EQ(player->runLoopMode(), "");
  tick(*player);
  tick(*player);
  EXPECT_TRUE(player->isPlaying());
  EXPECT_EQ(player->currentFrameIndex(), 2u);
  player->setRunLoopMode(ILAnimatedImagePlayer::defaultRunLoopMode());
  tick(*player);
  EXPECT_EQ(player->currentFrameIndex(), 0u);
  player->stopPlaying();
}

TEST_F(AnimatedImagePlayerTest, MemoryWarningsEmptyThePoolAndRefusedStatisticsReadAsNoFreeMemory) {
  auto provider = std::make_shared<RecordingProvider>(3);
  auto pool = ILImageFramePool::registerProvider(provider);
  pool->setFrame(il_test::SolidUIImage(1, 1, kRed), 0);
  UIApplication::sharedApplication()->simulateMemoryWarning();
  EXPECT_EQ(pool->currentFrameCount(), 0u);
  ILImageFramePool::unregisterProvider(provider);

  EXPECT_GT(ILDeviceHelper::totalMemory(), 0u);
  MachHostSetMemoryProvider(std::make_shared<MachMeminfoFile>("/nonexistent/meminfo"));
  EXPECT_EQ(ILDeviceHelper::freeMemory(), 0u);
}

TEST_F(AnimatedImagePlayerTest, BufferCountFromMemoryFigures) {
  const uint64_t GiB = 1ull << 30, MiB = 1ull << 20;
  EXPECT_EQ(ILAnimatedImagePlayer::maxBufferCountFor(4 * MiB, 0, 4 * GiB, GiB), 153u);
  EXPECT_EQ(ILAnimatedImagePlayer::maxBufferCountFor(4 * MiB, 0, GiB, 4 * GiB), 51u);
  EXPECT_EQ(ILAnimatedImagePlayer::maxBufferCountFor(4 * MiB, 10 * MiB, 0, 0), 2u);
  EXPECT_EQ(ILAnimatedImagePlayer::maxBufferCountFor(4 * MiB, 0, 0, 0), 1u);
}

TEST_F(AnimatedImagePlayerTest, FullPoolEvictsNeighboursAndDropsBusyRequests) {
  auto provider = std::make_shared<RecordingProvider>(8);
  auto pool = ILImageFramePool::registerProvider(provider);
  pool->setMaxBufferCount(1);
  pool->setFrame(il_test::SolidUIImage(1, 1, kRed), 1);
  pool->setFrame(il_test::SolidUIImage(1, 1, kRed), 3);
  pool->setFrame(il_test::SolidUIImage(1, 1, kRed), UINT64_MAX);
  pool->prefetchFrameAtIndex(0);
  ASSERT_TRUE(pool->fetchQueue()->waitUntilAllOperationsAreFinished(kTestTimeoutSeconds));
  EXPECT_EQ(pool->frameAtIndex(1), nullptr);
  EXPECT_EQ(pool->frameAtIndex(UINT64_MAX), nullptr);
  EXPECT_TRUE(pool->frameAtIndex(3));
  EXPECT_TRUE(pool->frameAtIndex(0));
  pool->fetchQueue()->setSuspended(true);
  pool->prefetchFrameAtIndex(5);
  pool->prefetchFrameAtIndex(6);
  EXPECT_EQ(pool->fetchQueue()->operationCount(), 1);
  pool->fetchQueue()->setSuspended(false);
  ASSERT_TRUE(pool->fetchQueue()->waitUntilAllOperationsAreFinished(kTestTimeoutSeconds));
  EXPECT_TRUE(pool->frameAtIndex(5));
  EXPECT_EQ(pool->frameAtIndex(6), nullptr);
  ILImageFramePool::unregisterProvider(provider);
}

TEST_F(AnimatedImagePlayerTest, ClockMeasuresBetweenRefreshesAndForgetsOnStop) {
  auto target = std::make_shared<int>(0);
  std::vector<double> durations;
  auto clock = ILDisplayLink::displayLinkWithTarget(
      target, [&](ILDisplayLink& link) { durations.push_back(link.duration()); });
  clock->addToRunLoop(nullptr, "kCFRunLoopCommonModes");  // no run loop: ignored
  clock->addToRunLoop(&NSRunLoop::mainRunLoop(), "");     // no mode: ignored
  advance(kFrame);
  EXPECT_TRUE(durations.empty());
  clock->addToRunLoop(&NSRunLoop::mainRunLoop(), "kCFRunLoopCommonModes");
  clock->stop();
  advance(kFrame);
  EXPECT_TRUE(durations.empty());  // stopped
  clock->start();
  advance(kFrame);
  advance(kFrame);
  stall(0.25);
  advance(kFrame);
  clock->stop();
  clock->start();
  advance(kFrame);
  ASSERT_EQ(durations.size(), 5u);
  EXPECT_DOUBLE_EQ(durations[0], CADisplayLink::kFrameInterval);  // first after a start
  EXPECT_NEAR(durations[1], CADisplayLink::kFrameInterval, 1e-9);
  EXPECT_NEAR(durations[2], CADisplayLink::kFrameInterval, 1e-9);  // delivered late
  EXPECT_NEAR(durations[3], 0.25, 1e-9);  // the frame after the stall: 15 frames on
  EXPECT_DOUBLE_EQ(durations[4], CADisplayLink::kFrameInterval);
  target.reset();
  advance(kFrame);
  EXPECT_EQ(durations.size(), 5u);  // the target is gone
  // The link reaches the clock through a weak proxy: dropping the clock
  // ends the link.
  std::weak_ptr<ILDisplayLink> weakClock = clock;
  clock.reset();
  EXPECT_TRUE(weakClock.expired());
  EXPECT_EQ(PlatformClock::pendingCount(), 0u);
}

TEST_F(AnimatedImagePlayerTest, WeakProxyForwardsOnlyWhileTheTargetLives) {
  auto target = std::make_shared<RecordingProvider>(3);
  auto proxy = ILWeakProxy::proxyWithTarget(target);
  auto count = [](RecordingProvider& p) { return p.animatedImageFrameCount(); };
  EXPECT_EQ(proxy->send<RecordingProvider>(count), 3u);
  EXPECT_EQ(proxy->send<ILAnimatedImage>([](ILAnimatedImage&) { return 7; }), 0);  // not a T
  EXPECT_TRUE(proxy->isEqual(*target));
  EXPECT_EQ(proxy->hash(), target->hash());
  EXPECT_EQ(proxy->className(), target->className());
  EXPECT_TRUE(proxy->targetIsKindOf<ILAnimatedImageProvider>());
  EXPECT_TRUE(proxy->isProxy());
  target.reset();
  EXPECT_EQ(proxy->target(), nullptr);
  EXPECT_EQ(proxy->send<RecordingProvider>(count), 0u);
  EXPECT_EQ(proxy->send<RecordingProvider>([](RecordingProvider& p) { return p.animatedImageFrameAtIndex(0); }),
            nullptr);
  EXPECT_FALSE(proxy->targetIsKindOf<ILAnimatedImageProvider>());
  EXPECT_FALSE(proxy->isEqual(*proxy));
  EXPECT_EQ(proxy->hash(), 0u);
  EXPECT_EQ(proxy->className(), "");
  EXPECT_EQ(proxy->description(), "");
}

}  // namespace

}  // namespace animated_image_player_test
