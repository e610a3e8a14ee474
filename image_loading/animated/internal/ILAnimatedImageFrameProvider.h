#pragma once

// A frame provider that runs every frame of another provider through an
// image transformer. Two wrappers of the same provider with transformers of
// equal keys are equal, so their players share one frame pool.

#include <memory>

#include "image_loading/coders/ILImageCoder.h"
#include "platform/foundation/NSObject.h"

class ILImageTransformer;

class ILAnimatedImageFrameProvider : public NSObject, public ILAnimatedImageProvider {
 public:
  ILAnimatedImageFrameProvider(ILAnimatedImageProviderPtr provider,
                               std::shared_ptr<ILImageTransformer> transformer);

  const ILAnimatedImageProviderPtr& provider() const { return provider_; }
  const std::shared_ptr<ILImageTransformer>& transformer() const { return transformer_; }

  UIImagePtr animatedImageFrameAtIndex(uint64_t index) const override;
  double animatedImageDurationAtIndex(uint64_t index) const override;
  NSDataPtr animatedImageData() const override;
  uint64_t animatedImageFrameCount() const override;
  uint64_t animatedImageLoopCount() const override;

  bool isEqual(const NSObject& other) const override;
  size_t hash() const override;
  std::string className() const override { return "ILAnimatedImageFrameProvider"; }

 private:
  ILAnimatedImageProviderPtr provider_;
  std::shared_ptr<ILImageTransformer> transformer_;
};
