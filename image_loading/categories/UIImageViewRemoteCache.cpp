#include "image_loading/categories/internal/UIImageViewRemoteCache.h"

#include "platform/foundation/WeakSelf.h"
#include "platform/uikit/UIImageView.h"

void il_setImageWithURL(UIImageView& view, const NSURLPtr& url, const UIImagePtr& placeholder,
                        ILRemoteImageOptions options, const ILRemoteImageContext& context,
                        ILRemoteImageProgressBlock progress, ILExternalCompletionBlock completed) {
  il_internalSetImageWithURL(view, url, placeholder, options, context, nullptr,
                             std::move(progress), ILExternalCompletion(std::move(completed)));
}

void il_setImageWithURL(UIImageView& view, const NSURLPtr& url,
                        ILExternalCompletionBlock completed) {
  il_setImageWithURL(view, url, nullptr, 0, Value(), nullptr, std::move(completed));
}

void il_setImageWithURL(UIImageView& view, const NSURLPtr& url, const UIImagePtr& placeholder,
                        ILExternalCompletionBlock completed) {
  il_setImageWithURL(view, url, placeholder, 0, Value(), nullptr, std::move(completed));
}

void il_setImageWithURL(UIImageView& view, const NSURLPtr& url, const UIImagePtr& placeholder,
                        ILRemoteImageOptions options, ILExternalCompletionBlock completed) {
  il_setImageWithURL(view, url, placeholder, options, Value(), nullptr, std::move(completed));
}

void il_setImageWithURL(UIImageView& view, const NSURLPtr& url, const UIImagePtr& placeholder,
                        ILRemoteImageOptions options, ILRemoteImageProgressBlock progress,
                        ILExternalCompletionBlock completed) {
  il_setImageWithURL(view, url, placeholder, options, Value(), std::move(progress),
                     std::move(completed));
}

NSURLPtr il_currentImageURL(const UIImageView& view) {
  auto state = il_imageLoadStateForKey(view, view.className());
  return state ? state->url() : nullptr;
}

void il_cancelCurrentImageLoad(UIImageView& view) {
  il_cancelImageLoadOperationWithKey(view, view.className());
}

void il_setHighlightedImageWithURL(UIImageView& view, const NSURLPtr& url,
                                   ILRemoteImageOptions options,
                                   const ILRemoteImageContext& context,
                                   ILRemoteImageProgressBlock progress,
                                   ILExternalCompletionBlock completed) {
  std::weak_ptr<UIImageView> weak = WeakFromThis(&view);
  ILSetImageBlock setHighlighted = [weak](const UIImagePtr& image, const NSDataPtr&,
                                          ILImageCacheKind, const NSURLPtr&) {
    if (auto v = weak.lock()) v->setHighlightedImage(image);
  };
  il_internalSetImageWithURL(view, url, nullptr, options,
                             ILContextWithOperationKey(context, ILHighlightedImageOperationKey),
                             std::move(setHighlighted), std::move(progress),
                             ILExternalCompletion(std::move(completed)));
}

void il_setHighlightedImageWithURL(UIImageView& view, const NSURLPtr& url,
                                   ILExternalCompletionBlock completed) {
  il_setHighlightedImageWithURL(view, url, 0, Value(), nullptr, std::move(completed));
}

void il_setHighlightedImageWithURL(UIImageView& view, const NSURLPtr& url,
                                   ILRemoteImageOptions options,
                                   ILExternalCompletionBlock completed) {
  il_setHighlightedImageWithURL(view, url, options, Value(), nullptr, std::move(completed));
}

void il_setHighlightedImageWithURL(UIImageView& view, const NSURLPtr& url,
                                   ILRemoteImageOptions options,
                                   ILRemoteImageProgressBlock progress,
                                   ILExternalCompletionBlock completed) {
  il_setHighlightedImageWithURL(view, url, options, Value(), std::move(progress),
                                std::move(completed));
}

NSURLPtr il_currentHighlightedImageURL(const UIImageView& view) {
  auto state = il_imageLoadStateForKey(view, ILHighlightedImageOperationKey);
  return state ? state->url() : nullptr;
}

void il_cancelCurrentHighlightedImageLoad(UIImageView& view) {
  il_cancelImageLoadOperationWithKey(view, ILHighlightedImageOperationKey);
}
