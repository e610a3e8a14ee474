#include "image_loading/categories/internal/ILAnimatedImageViewRemoteCache.h"

#include "image_loading/animated/ILAnimatedImage.h"
#include "image_loading/animated/internal/ILAnimatedImageView.h"

void il_setImageWithURL(ILAnimatedImageView& view, const NSURLPtr& url,
                        const UIImagePtr& placeholder, ILRemoteImageOptions options,
                        const ILRemoteImageContext& context, ILRemoteImageProgressBlock progress,
                        ILExternalCompletionBlock completed) {
  const ILAnimatedImageClassPtr& imageClass = ILAnimatedImage::imageClass();
  ILRemoteImageContext withClass = ILContextSetting(
      context, ILRemoteImageContextAnimatedImageClass, Value(std::shared_ptr<NSObject>(imageClass)));
  il_internalSetImageWithURL(view, url, placeholder, options, withClass, nullptr,
                             std::move(progress), ILExternalCompletion(std::move(completed)));
}

void il_setImageWithURL(ILAnimatedImageView& view, const NSURLPtr& url,
                        ILExternalCompletionBlock completed) {
  il_setImageWithURL(view, url, nullptr, 0, Value(), nullptr, std::move(completed));
}

void il_setImageWithURL(ILAnimatedImageView& view, const NSURLPtr& url,
                        const UIImagePtr& placeholder, ILExternalCompletionBlock completed) {
  il_setImageWithURL(view, url, placeholder, 0, Value(), nullptr, std::move(completed));
}

void il_setImageWithURL(ILAnimatedImageView& view, const NSURLPtr& url,
                        const UIImagePtr& placeholder, ILRemoteImageOptions options,
                        ILExternalCompletionBlock completed) {
  il_setImageWithURL(view, url, placeholder, options, Value(), nullptr, std::move(completed));
}

void il_setImageWithURL(ILAnimatedImageView& view, const NSURLPtr& url,
                        const UIImagePtr& placeholder, ILRemoteImageOptions options,
                        ILRemoteImageProgressBlock progress, ILExternalCompletionBlock completed) {
  il_setImageWithURL(view, url, placeholder, options, Value(), std::move(progress),
                     std::move(completed));
}
