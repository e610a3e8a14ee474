#pragma once

// Plays any frame provider: a display-link clock on the main run loop decides
// from the frame durations and the playback rate which frame is due, the
// frame pool shared by every player of the same provider decodes the next
// frames ahead on its fetch queue (never on the main thread), and two
// callbacks report every shown frame and every completed loop. Main thread
// only; it draws nothing itself.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "image_loading/coders/ILImageCoder.h"
#include "platform/foundation/NSObject.h"

class ILDisplayLink;
class ILImageFramePool;

enum ILAnimatedPlaybackMode : uint64_t {
  ILAnimatedPlaybackModeForward = 0,
  ILAnimatedPlaybackModeReverse = 1,
  ILAnimatedPlaybackModeBounce = 2,
  ILAnimatedPlaybackModeReversedBounce = 3,
};

class ILAnimatedImagePlayer : public NSObject {
 public:
  using FrameHandler = std::function<void(uint64_t index, const UIImagePtr& frame)>;
  using LoopHandler = std::function<void(uint64_t loopCount)>;

  // nullptr for a provider with fewer than 2 frames.
  static std::shared_ptr<ILAnimatedImagePlayer> playerWithProvider(
      const ILAnimatedImageProviderPtr& provider);
  ~ILAnimatedImagePlayer() override;

  void startPlaying();
  // Position, time and loop count stay.
  void pausePlaying();
  // Back to frame 0 with no current frame and no loops.
  void stopPlaying();
  // Decodes the frame at once on the caller's thread; ignored past the end.
  void seekToFrameAtIndex(uint64_t index, uint64_t loopCount);
  void clearFrameBuffer();
  bool isPlaying() const;

  // The platform default mode on a single active core, else the common modes.
  static std::string defaultRunLoopMode();
  std::string runLoopMode();
  void setRunLoopMode(const std::string& mode);

  UIImagePtr currentFrame() const { return currentFrame_; }
  uint64_t currentFrameIndex() const { return currentFrameIndex_; }
  uint64_t currentLoopCount() const { return currentLoopCount_; }
  uint64_t totalFrameCount() const { return totalFrameCount_; }
  void setTotalFrameCount(uint64_t count) { totalFrameCount_ = count; }
  uint64_t totalLoopCount() const { return totalLoopCount_; }
  void setTotalLoopCount(uint64_t count) { totalLoopCount_ = count; }
  double playbackRate() const { return playbackRate_; }
  void setPlaybackRate(double rate) { playbackRate_ = rate; }
  ILAnimatedPlaybackMode playbackMode() const { return playbackMode_; }
  void setPlaybackMode(ILAnimatedPlaybackMode mode) { playbackMode_ = mode; }
  uint64_t maxBufferSize() const { return maxBufferSize_; }
  void setMaxBufferSize(uint64_t bytes) { maxBufferSize_ = bytes; }
  bool bufferMiss() const { return bufferMiss_; }
  double currentTime() const { return currentTime_; }
  void setAnimationFrameHandler(FrameHandler handler) { frameHandler_ = std::move(handler); }
  void setAnimationLoopHandler(LoopHandler handler) { loopHandler_ = std::move(handler); }
  const std::shared_ptr<ILImageFramePool>& framePool() const { return framePool_; }
  const ILAnimatedImageProviderPtr& animatedProvider() const { return provider_; }

  // How many frames of `frameBytes` fit the budget: `maxBufferSize` when not
  // zero, else the smaller of 20% of total and 60% of free memory; at least 1.
  static uint64_t maxBufferCountFor(uint64_t frameBytes, uint64_t maxBufferSize,
                                    uint64_t totalMemory, uint64_t freeMemory);

  std::string className() const override { return "ILAnimatedImagePlayer"; }

  // Use playerWithProvider.
  explicit ILAnimatedImagePlayer(ILAnimatedImageProviderPtr provider);

 private:
  ILDisplayLink& displayLink();
  void displayDidRefresh(ILDisplayLink& link);
  uint64_t nextIndex(uint64_t index);
  void prefetch(uint64_t index, uint64_t next);
  void calculateMaxBufferCountWithFrame(const UIImagePtr& frame);
  void resetFrameStatus();

  std::optional<std::string> runLoopMode_;
  bool bufferMiss_ = false;
  bool needsDisplayWhenImageBecomesAvailable_ = false;
  bool shouldReverse_ = false;
  UIImagePtr currentFrame_;
  uint64_t currentFrameIndex_ = 0;
  uint64_t currentLoopCount_ = 0;
  uint64_t totalFrameCount_ = 0;
  uint64_t totalLoopCount_ = 0;
  double playbackRate_ = 1;
  ILAnimatedPlaybackMode playbackMode_ = ILAnimatedPlaybackModeForward;
  uint64_t maxBufferSize_ = 0;
  FrameHandler frameHandler_;
  LoopHandler loopHandler_;
  std::shared_ptr<ILImageFramePool> framePool_;
  ILAnimatedImageProviderPtr provider_;
  uint64_t currentFrameBytes_ = 0;
  double currentTime_ = 0;
  std::shared_ptr<ILDisplayLink> displayLink_;
};
