#pragma once

// An image view that plays animated images (any image adopting the animated
// image protocol with two frames or more) through its own player instead of
// the platform's frame-array animation. It plays while it is in a window,
// has a superview, is not hidden and not transparent, and pauses (or stops,
// when asked) otherwise; each reported frame goes straight into its layer.
// A growing image that continues the same progressive coder keeps the player
// (an animation still arriving over the network), and an optional
// transformer runs over every frame. Main thread only.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "image_loading/animated/ILAnimatedImagePlayer.h"
#include "platform/uikit/UIImageView.h"

class ILImageTransformer;
class ILProgressiveImageCoder;

class ILAnimatedImageView : public UIImageView {
 public:
  ILAnimatedImageView() : ILAnimatedImageView(CGRectZero) {}
  explicit ILAnimatedImageView(const CGRect& frame) : UIImageView(frame) {}
  // Sized to the image, as the platform's image initialisers do.
  static std::shared_ptr<ILAnimatedImageView> imageViewWithImage(UIImagePtr image,
                                                                 UIImagePtr highlightedImage = nullptr);

  // The platform default mode on a single active core, else the common modes.
  static std::string defaultRunLoopMode();
  std::string runLoopMode();
  void setRunLoopMode(const std::string& mode);
  // Bytes of decoded frames the player may keep; 0 sizes it from memory.
  uint64_t maxBufferSize() const { return maxBufferSize_; }
  void setMaxBufferSize(uint64_t bytes);
  double playbackRate() const { return playbackRate_; }
  void setPlaybackRate(double rate);
  ILAnimatedPlaybackMode playbackMode() const { return playbackMode_; }
  void setPlaybackMode(ILAnimatedPlaybackMode mode);
  // The view's animationRepeatCount replaces the image's loop count.
  bool shouldCustomLoopCount() const { return shouldCustomLoopCount_; }
  void setShouldCustomLoopCount(bool on) { shouldCustomLoopCount_ = on; }
  bool shouldIncrementalLoad() const { return shouldIncrementalLoad_; }
  void setShouldIncrementalLoad(bool on) { shouldIncrementalLoad_ = on; }
  bool clearBufferWhenStopped() const { return clearBufferWhenStopped_; }
  void setClearBufferWhenStopped(bool on) { clearBufferWhenStopped_ = on; }
  bool resetFrameIndexWhenStopped() const { return resetFrameIndexWhenStopped_; }
  void setResetFrameIndexWhenStopped(bool on) { resetFrameIndexWhenStopped_ = on; }
  bool autoPlayAnimatedImage() const { return autoPlayAnimatedImage_; }
  void setAutoPlayAnimatedImage(bool on) { autoPlayAnimatedImage_ = on; }
  // Applied to every frame of the next animated image set.
  const std::shared_ptr<ILImageTransformer>& animationTransformer() const { return transformer_; }
  void setAnimationTransformer(std::shared_ptr<ILImageTransformer> transformer) {
    transformer_ = std::move(transformer);
  }

  bool shouldAnimate() const { return shouldAnimate_; }
  bool isProgressive() const { return isProgressive_; }
  const std::shared_ptr<ILAnimatedImagePlayer>& player() const { return player_; }
  const UIImagePtr& currentFrame() const { return currentFrame_; }
  uint64_t currentFrameIndex() const { return currentFrameIndex_; }
  uint64_t currentLoopCount() const { return currentLoopCount_; }

  // UIImageView.
  void setImage(UIImagePtr image) override;
  void setHighlighted(bool highlighted) override;
  void setAnimationRepeatCount(int64_t count) override;
  void startAnimating() override;
  void stopAnimating() override;
  bool isAnimating() const override;
  bool displayLayer(CALayer& layer) override;

  // UIView.
  void didMoveToSuperview() override;
  void didMoveToWindow() override;
  void setAlpha(double alpha) override;
  void setHidden(bool hidden) override;
  void traitCollectionDidChange(const UITraitCollection& previous) override;

  std::string className() const override { return "ILAnimatedImageView"; }

 private:
  void updateIsProgressiveWithImage(const UIImagePtr& image);
  void resetCurrentFrame();
  void installHandlers();
  void checkPlay();
  bool computeShouldAnimate() const;

  std::optional<std::string> runLoopMode_;
  uint64_t maxBufferSize_ = 0;
  double playbackRate_ = 1;
  ILAnimatedPlaybackMode playbackMode_ = ILAnimatedPlaybackModeForward;
  bool shouldCustomLoopCount_ = false;
  bool shouldIncrementalLoad_ = true;
  bool clearBufferWhenStopped_ = false;
  bool resetFrameIndexWhenStopped_ = false;
  bool autoPlayAnimatedImage_ = true;
  bool shouldAnimate_ = false;
  bool isProgressive_ = false;
  std::shared_ptr<ILAnimatedImagePlayer> player_;
  std::shared_ptr<ILImageTransformer> transformer_;
  UIImagePtr currentFrame_;
  uint64_t currentFrameIndex_ = 0;
  uint64_t currentLoopCount_ = 0;
};

// The coder of an image still being loaded that keeps decoding as data
// arrives: an incremental animated image whose coder decodes progressively;
// nullptr otherwise.
std::shared_ptr<ILProgressiveImageCoder> ILProgressiveCoderOfImage(const UIImagePtr& image);
