#include "image_loading/animated/ILAnimatedImagePlayer.h"

#include <cmath>

#include "image_loading/animated/internal/ILDeviceHelper.h"
#include "image_loading/animated/internal/ILDisplayLink.h"
#include "image_loading/animated/ILImageFramePool.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/uikit/UIImage.h"

namespace {

constexpr const char* kDefaultRunLoopMode = "kCFRunLoopDefaultMode";
constexpr const char* kCommonRunLoopModes = "kCFRunLoopCommonModes";
constexpr uint64_t kUnmeasuredFrameBytes = 1024;

}  // namespace

ILAnimatedImagePlayer::ILAnimatedImagePlayer(ILAnimatedImageProviderPtr provider)
    : provider_(std::move(provider)) {}

std::shared_ptr<ILAnimatedImagePlayer> ILAnimatedImagePlayer::playerWithProvider(
    const ILAnimatedImageProviderPtr& provider) {
  if (!provider || provider->animatedImageFrameCount() < 2) return nullptr;
  auto player = std::make_shared<ILAnimatedImagePlayer>(provider);
  player->totalFrameCount_ = provider->animatedImageFrameCount();
  player->totalLoopCount_ = provider->animatedImageLoopCount();
  player->framePool_ = ILImageFramePool::registerProvider(provider);
  return player;
}

ILAnimatedImagePlayer::~ILAnimatedImagePlayer() {
  ILImageFramePool::unregisterProvider(provider_);
}

std::string ILAnimatedImagePlayer::defaultRunLoopMode() {
  return NSProcessInfo::processInfo().activeProcessorCount() > 1 ? kCommonRunLoopModes
                                                                 : kDefaultRunLoopMode;
}

std::string ILAnimatedImagePlayer::runLoopMode() {
  if (!runLoopMode_) runLoopMode_ = defaultRunLoopMode();
  return *runLoopMode_;
}

void ILAnimatedImagePlayer::setRunLoopMode(const std::string& mode) {
  if (runLoopMode_ && *runLoopMode_ == mode) return;
  if (displayLink_) {
    if (runLoopMode_) displayLink_->removeFromRunLoop(&NSRunLoop::mainRunLoop(), *runLoopMode_);
    displayLink_->addToRunLoop(&NSRunLoop::mainRunLoop(), mode);
  }
  runLoopMode_ = mode;
}

ILDisplayLink& ILAnimatedImagePlayer::displayLink() {
  if (!displayLink_) {
    std::weak_ptr<ILAnimatedImagePlayer> weak =
        std::static_pointer_cast<ILAnimatedImagePlayer>(shared_from_this());
    displayLink_ = ILDisplayLink::displayLinkWithTarget(weak, [weak](ILDisplayLink& link) {
      if (auto player = weak.lock()) player->displayDidRefresh(link);
    });
    displayLink_->addToRunLoop(&NSRunLoop::mainRunLoop(), runLoopMode());
    displayLink_->stop();
  }
  return *displayLink_;
}

bool ILAnimatedImagePlayer::isPlaying() const { return displayLink_ && displayLink_->isRunning(); }

void ILAnimatedImagePlayer::startPlaying() {
  QX_DCHECK_MAIN_THREAD();
  displayLink().start();
  if (currentFrameIndex_ != 0) return;
  if (playbackMode_ == ILAnimatedPlaybackModeReverse ||
      playbackMode_ == ILAnimatedPlaybackModeReversedBounce) {
    currentFrameIndex_ = totalFrameCount_ - 1;
  }
  // An image provider shows its own bitmap at the first tick, without
  // waiting for a decode.
  auto image = std::dynamic_pointer_cast<UIImage>(provider_);
  if (!currentFrame_ && image && image->CGImage()) {
    UIImagePtr poster =
        UIImage::imageWithCGImage(image->CGImage(), image->scale(), image->imageOrientation());
    calculateMaxBufferCountWithFrame(poster);
    needsDisplayWhenImageBecomesAvailable_ = true;
    framePool_->setFrame(poster, currentFrameIndex_);
  }
}

void ILAnimatedImagePlayer::pausePlaying() {
  QX_DCHECK_MAIN_THREAD();
  if (displayLink_) displayLink_->stop();
}

void ILAnimatedImagePlayer::stopPlaying() {
  QX_DCHECK_MAIN_THREAD();
  if (displayLink_) displayLink_->stop();
  resetFrameStatus();
}

void ILAnimatedImagePlayer::resetFrameStatus() {
  currentFrame_ = nullptr;
  currentTime_ = 0;
  bufferMiss_ = false;
  needsDisplayWhenImageBecomesAvailable_ = false;
  currentFrameIndex_ = 0;
  currentLoopCount_ = 0;
}

void ILAnimatedImagePlayer::seekToFrameAtIndex(uint64_t index, uint64_t loopCount) {
  if (index >= totalFrameCount_) return;
  currentFrameIndex_ = index;
  currentLoopCount_ = loopCount;
  currentFrame_ = provider_->animatedImageFrameAtIndex(index);
  if (frameHandler_) frameHandler_(currentFrameIndex_, currentFrame_);
}

void ILAnimatedImagePlayer::clearFrameBuffer() { framePool_->removeAllFrames(); }

uint64_t ILAnimatedImagePlayer::nextIndex(uint64_t i) {
  const uint64_t n = totalFrameCount_;
  switch (playbackMode_) {
    case ILAnimatedPlaybackModeReverse:
      return i == 0 ? n - 1 : i - 1;
    case ILAnimatedPlaybackModeBounce:
    case ILAnimatedPlaybackModeReversedBounce:
      if (i == n - 1 || i == 0) shouldReverse_ = i != 0;
      return shouldReverse_ ? (i - 1) % n : (i + 1) % n;
    default:
      return (i + 1) % n;
  }
}

void ILAnimatedImagePlayer::displayDidRefresh(ILDisplayLink& link) {
  QX_DCHECK_MAIN_THREAD();
  if (!isPlaying()) return;
  if (totalFrameCount_ <= 1 || !(playbackRate_ > 0)) {
    stopPlaying();
    return;
  }
  const uint64_t i = currentFrameIndex_;
  const uint64_t j = nextIndex(i);
  if (needsDisplayWhenImageBecomesAvailable_) {
    if (UIImagePtr frame = framePool_->frameAtIndex(i)) {
      currentFrame_ = frame;
      if (frameHandler_) frameHandler_(i, frame);
      bufferMiss_ = false;
      needsDisplayWhenImageBecomesAvailable_ = false;
    } else {
      bufferMiss_ = true;
    }
  }
  if (bufferMiss_) {
    // Time stands still until the frame due arrives.
    if (isPlaying()) prefetch(i, j);
    return;
  }
  currentTime_ += link.duration();
  const double duration = provider_->animatedImageDurationAtIndex(i) / playbackRate_;
  if (currentTime_ < duration) {
    prefetch(i, j);
    return;
  }
  // Move at most one frame per tick, carrying at most one frame's time.
  needsDisplayWhenImageBecomesAvailable_ = true;
  currentFrameIndex_ = j;
  currentTime_ -= duration;
  currentTime_ = std::min(currentTime_, provider_->animatedImageDurationAtIndex(j) / playbackRate_);
  if (j == 0) {
    ++currentLoopCount_;
    if (loopHandler_) loopHandler_(currentLoopCount_);
    if (totalLoopCount_ != 0 && currentLoopCount_ >= totalLoopCount_) {
      stopPlaying();
      return;
    }
  }
  if (isPlaying()) prefetch(i, j);
}

void ILAnimatedImagePlayer::prefetch(uint64_t i, uint64_t j) {
  const uint64_t wanted = bufferMiss_ ? i : j;
  if (!bufferMiss_ && framePool_->frameAtIndex(j)) return;
  if (framePool_->currentFrameCount() >= totalFrameCount_) return;
  calculateMaxBufferCountWithFrame(currentFrame_);
  framePool_->prefetchFrameAtIndex(wanted);
}

uint64_t ILAnimatedImagePlayer::maxBufferCountFor(uint64_t frameBytes, uint64_t maxBufferSize,
                                                  uint64_t totalMemory, uint64_t freeMemory) {
  const uint64_t budget =
      maxBufferSize != 0
          ? maxBufferSize
          : uint64_t(std::min(double(totalMemory) * 0.2, double(freeMemory) * 0.6));
  return std::max<uint64_t>(1, budget / std::max<uint64_t>(frameBytes, 1));
}

void ILAnimatedImagePlayer::calculateMaxBufferCountWithFrame(const UIImagePtr& frame) {
  uint64_t bytes = currentFrameBytes_;
  if (bytes == 0) {
    const auto& bitmap = frame ? frame->CGImage() : nullptr;
    bytes = bitmap ? uint64_t(bitmap->bytesPerRow()) * bitmap->height() : 0;
    if (bytes != 0) currentFrameBytes_ = bytes;
  }
  if (bytes == 0) bytes = kUnmeasuredFrameBytes;
  const bool needsMemoryFigures = maxBufferSize_ == 0;
  framePool_->setMaxBufferCount(maxBufferCountFor(
      bytes, maxBufferSize_, needsMemoryFigures ? ILDeviceHelper::totalMemory() : 0,
      needsMemoryFigures ? ILDeviceHelper::freeMemory() : 0));
}
