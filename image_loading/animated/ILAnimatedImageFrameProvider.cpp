#include "image_loading/animated/internal/ILAnimatedImageFrameProvider.h"

#include <functional>

#include "image_loading/transformers/ILImageTransformer.h"

ILAnimatedImageFrameProvider::ILAnimatedImageFrameProvider(
    ILAnimatedImageProviderPtr provider, std::shared_ptr<ILImageTransformer> transformer)
    : provider_(std::move(provider)), transformer_(std::move(transformer)) {}

UIImagePtr ILAnimatedImageFrameProvider::animatedImageFrameAtIndex(uint64_t index) const {
  UIImagePtr frame = provider_->animatedImageFrameAtIndex(index);
  if (!frame || !transformer_) return frame;
  return transformer_->transformedImageWithImage(frame, "");
}

double ILAnimatedImageFrameProvider::animatedImageDurationAtIndex(uint64_t index) const {
  return provider_->animatedImageDurationAtIndex(index);
}

NSDataPtr ILAnimatedImageFrameProvider::animatedImageData() const {
  return provider_->animatedImageData();
}

uint64_t ILAnimatedImageFrameProvider::animatedImageFrameCount() const {
  return provider_->animatedImageFrameCount();
}

uint64_t ILAnimatedImageFrameProvider::animatedImageLoopCount() const {
  return provider_->animatedImageLoopCount();
}

namespace {
std::string keyOf(const std::shared_ptr<ILImageTransformer>& transformer) {
  return transformer ? transformer->transformerKey() : std::string();
}
}  // namespace

bool ILAnimatedImageFrameProvider::isEqual(const NSObject& other) const {
  if (this == &other) return true;
  auto* wrapper = dynamic_cast<const ILAnimatedImageFrameProvider*>(&other);
  return wrapper && wrapper->provider_ == provider_ &&
         keyOf(wrapper->transformer_) == keyOf(transformer_);
}

size_t ILAnimatedImageFrameProvider::hash() const {
  // Wrapping unsigned arithmetic, as equal wrappers must hash alike.
  const size_t providerHash = std::hash<const void*>()(provider_.get());
  return 31 * (31 + providerHash) + std::hash<std::string>()(keyOf(transformer_));
}
