#include "image_loading/categories/internal/UIButtonRemoteCache.h"

#include "platform/foundation/WeakSelf.h"
#include "platform/uikit/UIButton.h"

namespace {

using ButtonSetter = void (UIButton::*)(std::shared_ptr<UIImage>, uint64_t);

void loadIntoButton(UIButton& button, const NSURLPtr& url, uint64_t state,
                    const UIImagePtr& placeholder, ILRemoteImageOptions options,
                    const ILRemoteImageContext& context, ILRemoteImageProgressBlock progress,
                    ILExternalCompletionBlock completed, const std::string& key,
                    ButtonSetter setter) {
  std::weak_ptr<UIButton> weak = WeakFromThis(&button);
  ILSetImageBlock setImage = [weak, state, setter](const UIImagePtr& image, const NSDataPtr&,
                                                   ILImageCacheKind, const NSURLPtr&) {
    if (auto b = weak.lock()) ((*b).*setter)(image, state);
  };
  il_internalSetImageWithURL(button, url, placeholder, options,
                             ILContextWithOperationKey(context, key), std::move(setImage),
                             std::move(progress), ILExternalCompletion(std::move(completed)));
}

NSURLPtr urlUnderKey(const UIButton& button, const std::string& key) {
  auto loadState = il_imageLoadStateForKey(button, key);
  return loadState ? loadState->url() : nullptr;
}

}  // namespace

std::string il_imageOperationKeyForState(uint64_t state) {
  return "UIButtonImageOperation" + std::to_string(state);
}

std::string il_backgroundImageOperationKeyForState(uint64_t state) {
  return "UIButtonBackgroundImageOperation" + std::to_string(state);
}

void il_setImageWithURL(UIButton& button, const NSURLPtr& url, uint64_t state,
                        const UIImagePtr& placeholder, ILRemoteImageOptions options,
                        const ILRemoteImageContext& context, ILRemoteImageProgressBlock progress,
                        ILExternalCompletionBlock completed) {
  loadIntoButton(button, url, state, placeholder, options, context, std::move(progress),
                 std::move(completed), il_imageOperationKeyForState(state), &UIButton::setImage);
}

void il_setImageWithURL(UIButton& button, const NSURLPtr& url, uint64_t state,
                        ILExternalCompletionBlock completed) {
  il_setImageWithURL(button, url, state, nullptr, 0, Value(), nullptr, std::move(completed));
}

void il_setImageWithURL(UIButton& button, const NSURLPtr& url, uint64_t state,
                        const UIImagePtr& placeholder, ILExternalCompletionBlock completed) {
  il_setImageWithURL(button, url, state, placeholder, 0, Value(), nullptr, std::move(completed));
}

void il_setImageWithURL(UIButton& button, const NSURLPtr& url, uint64_t state,
                        const UIImagePtr& placeholder, ILRemoteImageOptions options,
                        ILExternalCompletionBlock completed) {
  il_setImageWithURL(button, url, state, placeholder, options, Value(), nullptr,
                     std::move(completed));
}

void il_setImageWithURL(UIButton& button, const NSURLPtr& url, uint64_t state,
                        const UIImagePtr& placeholder, ILRemoteImageOptions options,
                        ILRemoteImageProgressBlock progress, ILExternalCompletionBlock completed) {
  il_setImageWithURL(button, url, state, placeholder, options, Value(), std::move(progress),
                     std::move(completed));
}

void il_setBackgroundImageWithURL(UIButton& button, const NSURLPtr& url, uint64_t state,
                                  const UIImagePtr& placeholder, ILRemoteImageOptions options,
                                  const ILRemoteImageContext& context,
                                  ILRemoteImageProgressBlock progress,
                                  ILExternalCompletionBlock completed) {
  loadIntoButton(button, url, state, placeholder, options, context, std::move(progress),
                 std::move(completed), il_backgroundImageOperationKeyForState(state),
                 &UIButton::setBackgroundImage);
}

void il_setBackgroundImageWithURL(UIButton& button, const NSURLPtr& url, uint64_t state,
                                  ILExternalCompletionBlock completed) {
  il_setBackgroundImageWithURL(button, url, state, nullptr, 0, Value(), nullptr,
                               std::move(completed));
}

void il_setBackgroundImageWithURL(UIButton& button, const NSURLPtr& url, uint64_t state,
                                  const UIImagePtr& placeholder,
                                  ILExternalCompletionBlock completed) {
  il_setBackgroundImageWithURL(button, url, state, placeholder, 0, Value(), nullptr,
                               std::move(completed));
}

void il_setBackgroundImageWithURL(UIButton& button, const NSURLPtr& url, uint64_t state,
                                  const UIImagePtr& placeholder, ILRemoteImageOptions options,
                                  ILExternalCompletionBlock completed) {
  il_setBackgroundImageWithURL(button, url, state, placeholder, options, Value(), nullptr,
                               std::move(completed));
}

void il_setBackgroundImageWithURL(UIButton& button, const NSURLPtr& url, uint64_t state,
                                  const UIImagePtr& placeholder, ILRemoteImageOptions options,
                                  ILRemoteImageProgressBlock progress,
                                  ILExternalCompletionBlock completed) {
  il_setBackgroundImageWithURL(button, url, state, placeholder, options, Value(),
                               std::move(progress), std::move(completed));
}

NSURLPtr il_imageURLForState(const UIButton& button, uint64_t state) {
  return urlUnderKey(button, il_imageOperationKeyForState(state));
}

NSURLPtr il_backgroundImageURLForState(const UIButton& button, uint64_t state) {
  return urlUnderKey(button, il_backgroundImageOperationKeyForState(state));
}

NSURLPtr il_currentImageURL(const UIButton& button) {
  NSURLPtr url = il_imageURLForState(button, button.state());
  return url ? url : il_imageURLForState(button, UIControlStateNormal);
}

NSURLPtr il_currentBackgroundImageURL(const UIButton& button) {
  NSURLPtr url = il_backgroundImageURLForState(button, button.state());
  return url ? url : il_backgroundImageURLForState(button, UIControlStateNormal);
}

void il_cancelImageLoadForState(UIButton& button, uint64_t state) {
  il_cancelImageLoadOperationWithKey(button, il_imageOperationKeyForState(state));
}

void il_cancelBackgroundImageLoadForState(UIButton& button, uint64_t state) {
  il_cancelImageLoadOperationWithKey(button, il_backgroundImageOperationKeyForState(state));
}
