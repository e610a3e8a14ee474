#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <thread>

#include "../ImageLoadingTestSupport.h"
#include "ManualDisplayLink.h"
#include "image_loading/animated/ILAnimatedImage.h"
#include "image_loading/animated/ILAnimatedImagePlayer.h"
#include "image_loading/animated/ILDeviceHelper.h"
#include "image_loading/animated/ILImageFramePool.h"
#include "platform/foundation/NSOperation.h"
#include "platform/mach/MachHost.h"
#include "platform/uikit/UIApplication.h"
#include "support/TestEnvironment.h"

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

// A refresh a little longer than the 0.1 s frames, so that every tick ends a
// frame whatever the rounding of the clock's sums.
constexpr double kTick = 0.11;

class AnimatedImagePlayerTest : public PlatformTest {
 protected:
  // After the environment's reset, which restores the default link factory.
  void SetUp() override {
    PlatformTest::SetUp();
    links_ = std::make_unique<ManualDisplayLinks>(kTick);
  }
  void TearDown() override {
    links_.reset();
    PlatformTest::TearDown();
  }

  ILAnimatedImage::Ptr threeFrameGIF(int64_t loops = 0) {
    return ILAnimatedImage::imageWithData(il_test::AnimatedFile(
        "com.compuserve.gif", {{kRed, 0.1}, {kGreen, 0.1}, {kBlue, 0.1}}, 8, 8, loops));
  }

  // One refresh `dt` after the previous, then the pool's decode settles.
  void tick(ILAnimatedImagePlayer& player, double dt = kTick) {
    now_ += dt;
    links_->last().refreshAt(now_);
    ASSERT_TRUE(player.framePool()->fetchQueue()->waitUntilAllOperationsAreFinished(
        kTestTimeoutSeconds));
  }

  std::vector<uint64_t> play(ILAnimatedImagePlayer& player, int ticks) {
    std::vector<uint64_t> shown;
    player.setAnimationFrameHandler([&](uint64_t index, const UIImagePtr&) { shown.push_back(index); });
    player.startPlaying();
    for (int i = 0; i < ticks; ++i) tick(player);
    player.setAnimationFrameHandler(nullptr);
    return shown;
  }

  std::unique_ptr<ManualDisplayLinks> links_;
  double now_ = 100;
};

TEST_F(AnimatedImagePlayerTest, PlaybackModesOrderTheFrames) {
  auto image = threeFrameGIF();
  ASSERT_TRUE(image);
  auto forward = ILAnimatedImagePlayer::playerWithProvider(image);
  EXPECT_EQ(play(*forward, 7), (std::vector<uint64_t>{0, 1, 2, 0, 1, 2, 0}));
  EXPECT_EQ(forward->currentLoopCount(), 2u);
  forward->stopPlaying();

  auto bounce = ILAnimatedImagePlayer::playerWithProvider(image);
  bounce->setPlaybackMode(ILAnimatedPlaybackModeBounce);
  EXPECT_EQ(play(*bounce, 7), (std::vector<uint64_t>{0, 1, 2, 1, 0, 1, 2}));
  bounce->stopPlaying();

  auto reversedBounce = ILAnimatedImagePlayer::playerWithProvider(image);
  reversedBounce->setPlaybackMode(ILAnimatedPlaybackModeReversedBounce);
  EXPECT_EQ(play(*reversedBounce, 5), (std::vector<uint64_t>{2, 1, 0, 1, 2}));
  reversedBounce->stopPlaying();

  auto reverse = ILAnimatedImagePlayer::playerWithProvider(image);
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
  auto once = ILAnimatedImagePlayer::playerWithProvider(image);
  once->setTotalLoopCount(1);
  EXPECT_EQ(play(*once, 3), (std::vector<uint64_t>{0, 1, 2}));
  EXPECT_FALSE(once->isPlaying());
  EXPECT_EQ(once->currentFrameIndex(), 0u);
  EXPECT_EQ(once->currentFrame(), nullptr);

  auto fast = ILAnimatedImagePlayer::playerWithProvider(image);
  fast->setPlaybackRate(2);
  std::vector<uint64_t> shown;
  fast->setAnimationFrameHandler([&](uint64_t index, const UIImagePtr&) { shown.push_back(index); });
  fast->startPlaying();
  tick(*fast, 0.06);  // first tick: the nominal interval, past the halved 0.05 s frame
  tick(*fast, 0.06);
  tick(*fast, 0.06);
  EXPECT_EQ(shown, (std::vector<uint64_t>{0, 1, 2}));
  fast->stopPlaying();

  auto late = ILAnimatedImagePlayer::playerWithProvider(image);
  late->startPlaying();
  tick(*late);
  tick(*late, 0.5);  // half a second late: one frame on, at most 0.1 s carried
  EXPECT_EQ(late->currentFrameIndex(), 2u);
  EXPECT_NEAR(late->currentTime(), 0.1, 1e-9);
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
  auto player = ILAnimatedImagePlayer::playerWithProvider(provider);
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
  auto player = ILAnimatedImagePlayer::playerWithProvider(threeFrameGIF());
  player->setRunLoopMode("first");  // no clock yet: only stored
  player->startPlaying();
  ManualDisplayLink& link = links_->last();
  player->setRunLoopMode("first");
  player->setRunLoopMode("second");
  player->setRunLoopMode("");
  EXPECT_EQ(link.modes, (std::vector<std::string>{"+first", "-first", "+second", "-second"}));
  EXPECT_EQ(player->runLoopMode(), "");
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
  MachHostSetStatisticsFailure(true);
  EXPECT_EQ(ILDeviceHelper::freeMemory(), 0u);
  MachHostSetStatisticsFailure(false);
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
  clock->addToRunLoop("kCFRunLoopCommonModes");
  clock->addToRunLoop("");
  EXPECT_EQ(links_->last().modes, (std::vector<std::string>{"+kCFRunLoopCommonModes"}));
  links_->last().refreshAt(1);
  EXPECT_TRUE(durations.empty());  // not started
  clock->start();
  links_->last().refreshAt(1);
  links_->last().refreshAt(1.25);
  clock->stop();
  clock->start();
  links_->last().refreshAt(3);
  EXPECT_EQ(durations.size(), 3u);
  EXPECT_DOUBLE_EQ(durations[0], kTick);
  EXPECT_NEAR(durations[1], 0.25, 1e-12);
  EXPECT_DOUBLE_EQ(durations[2], kTick);
  target.reset();
  links_->last().refreshAt(4);
  EXPECT_EQ(durations.size(), 3u);  // the target is gone
}

}  // namespace
