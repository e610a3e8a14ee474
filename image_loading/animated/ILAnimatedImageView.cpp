#include "image_loading/animated/internal/ILAnimatedImageView.h"

#include "image_loading/animated/ILAnimatedImage.h"
#include "image_loading/animated/internal/ILAnimatedImageFrameProvider.h"
#include "image_loading/coders/UIImageMetadata.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/uikit/UIWindow.h"

std::shared_ptr<ILProgressiveImageCoder> ILProgressiveCoderOfImage(const UIImagePtr& image) {
  auto animated = std::dynamic_pointer_cast<ILAnimatedImageProtocol>(image);
  if (!animated || !il_isIncremental(*image)) return nullptr;
  return std::dynamic_pointer_cast<ILProgressiveImageCoder>(animated->animatedCoder());
}

std::shared_ptr<ILAnimatedImageView> ILAnimatedImageView::imageViewWithImage(
    UIImagePtr image, UIImagePtr highlightedImage) {
  auto view = std::make_shared<ILAnimatedImageView>(
      image ? CGRect{CGPointZero, image->size()} : CGRectZero);
  view->setHighlightedImage(std::move(highlightedImage));
  view->setImage(std::move(image));
  return view;
}

std::string ILAnimatedImageView::defaultRunLoopMode() {
  return ILAnimatedImagePlayer::defaultRunLoopMode();
}

std::string ILAnimatedImageView::runLoopMode() {
  if (!runLoopMode_) runLoopMode_ = defaultRunLoopMode();
  return *runLoopMode_;
}

void ILAnimatedImageView::setRunLoopMode(const std::string& mode) {
  runLoopMode_ = mode;
  if (player_) player_->setRunLoopMode(mode);
}

void ILAnimatedImageView::setMaxBufferSize(uint64_t bytes) {
  maxBufferSize_ = bytes;
  if (player_) player_->setMaxBufferSize(bytes);
}

void ILAnimatedImageView::setPlaybackRate(double rate) {
  playbackRate_ = rate;
  if (player_) player_->setPlaybackRate(rate);
}

void ILAnimatedImageView::setPlaybackMode(ILAnimatedPlaybackMode mode) {
  playbackMode_ = mode;
  if (player_) player_->setPlaybackMode(mode);
}

void ILAnimatedImageView::resetCurrentFrame() {
  currentFrame_ = nullptr;
  currentFrameIndex_ = 0;
  currentLoopCount_ = 0;
}

void ILAnimatedImageView::updateIsProgressiveWithImage(const UIImagePtr& image) {
  isProgressive_ = false;
  if (!shouldIncrementalLoad_) return;
  auto coder = ILProgressiveCoderOfImage(image);
  if (!coder) return;
  // A growing image continues the one shown only when it decodes through the
  // very same coder.
  isProgressive_ = !this->image() || ILProgressiveCoderOfImage(this->image()) == coder;
}

void ILAnimatedImageView::setImage(UIImagePtr image) {
  QX_DCHECK_MAIN_THREAD();
  if (image == this->image()) return;
  updateIsProgressiveWithImage(image);
  if (!isProgressive_) {
    player_.reset();
    resetCurrentFrame();
  }
  UIImageView::setImage(image);
  auto animated = std::dynamic_pointer_cast<ILAnimatedImageProtocol>(image);
  if (animated && animated->animatedImageFrameCount() >= 2) {
    if (player_) {
      player_->setTotalFrameCount(animated->animatedImageFrameCount());
    } else {
      ILAnimatedImageProviderPtr provider = animated;
      if (isProgressive_) provider = animated->animatedCoder();
      if (transformer_) {
        provider = std::make_shared<ILAnimatedImageFrameProvider>(provider, transformer_);
      }
      player_ = ILAnimatedImagePlayer::playerWithProvider(provider);
      if (!player_) return;
    }
    if (shouldCustomLoopCount_) player_->setTotalLoopCount(uint64_t(animationRepeatCount()));
    player_->setRunLoopMode(runLoopMode());
    player_->setMaxBufferSize(maxBufferSize_);
    player_->setPlaybackRate(playbackRate_);
    player_->setPlaybackMode(playbackMode_);
    installHandlers();
    UIImageView::setHighlighted(false);
    stopAnimating();
    checkPlay();
  }
  layer()->setNeedsDisplay();
}

void ILAnimatedImageView::installHandlers() {
  std::weak_ptr<ILAnimatedImageView> weak = WeakFromThis(this);
  player_->setAnimationFrameHandler(
      WeakBind(weak, [](ILAnimatedImageView& view, uint64_t index, const UIImagePtr& frame) {
        view.currentFrameIndex_ = index;
        view.currentFrame_ = frame;
        view.layer()->setNeedsDisplay();
      }));
  player_->setAnimationLoopHandler(WeakBind(weak, [](ILAnimatedImageView& view, uint64_t loops) {
    if (!view.isProgressive_) {
      view.currentLoopCount_ = loops;
      return;
    }
    // The rest of the animation has not arrived: rest on the last frame that
    // has until a longer image is set.
    auto player = view.player_;
    player->seekToFrameAtIndex(player->totalFrameCount() - 1, 0);
    player->pausePlaying();
  }));
}

bool ILAnimatedImageView::computeShouldAnimate() const {
  return player_ && window() && superview() && !isHidden() && alpha() > 0;
}

void ILAnimatedImageView::checkPlay() {
  if (!player_ || !autoPlayAnimatedImage_) return;
  shouldAnimate_ = computeShouldAnimate();
  if (shouldAnimate_) {
    startAnimating();
  } else {
    stopAnimating();
  }
}

void ILAnimatedImageView::startAnimating() {
  if (!player_) {
    UIImageView::startAnimating();
    return;
  }
  shouldAnimate_ = computeShouldAnimate();
  if (shouldAnimate_) player_->startPlaying();
}

void ILAnimatedImageView::stopAnimating() {
  if (!player_) {
    UIImageView::stopAnimating();
    return;
  }
  if (resetFrameIndexWhenStopped_) {
    player_->stopPlaying();
  } else {
    player_->pausePlaying();
  }
  if (clearBufferWhenStopped_) player_->clearFrameBuffer();
}

bool ILAnimatedImageView::isAnimating() const {
  return player_ ? player_->isPlaying() : UIImageView::isAnimating();
}

void ILAnimatedImageView::setHighlighted(bool highlighted) {
  // A playing animation has no highlighted look.
  if (!player_) UIImageView::setHighlighted(highlighted);
}

void ILAnimatedImageView::setAnimationRepeatCount(int64_t count) {
  UIImageView::setAnimationRepeatCount(count);
  if (shouldCustomLoopCount_ && player_) player_->setTotalLoopCount(uint64_t(animationRepeatCount()));
}

bool ILAnimatedImageView::displayLayer(CALayer& layer) {
  if (!currentFrame_) return UIImageView::displayLayer(layer);
  layer.setContentsScale(currentFrame_->scale());
  layer.setContents(currentFrame_->CGImage());
  return true;
}

void ILAnimatedImageView::didMoveToSuperview() {
  UIImageView::didMoveToSuperview();
  checkPlay();
}

void ILAnimatedImageView::didMoveToWindow() {
  UIImageView::didMoveToWindow();
  checkPlay();
}

void ILAnimatedImageView::setAlpha(double alpha) {
  UIImageView::setAlpha(alpha);
  checkPlay();
}

void ILAnimatedImageView::setHidden(bool hidden) {
  UIImageView::setHidden(hidden);
  checkPlay();
}

void ILAnimatedImageView::traitCollectionDidChange(const UITraitCollection& previous) {
  UIImageView::traitCollectionDidChange(previous);
  layer()->setNeedsDisplay();
}
