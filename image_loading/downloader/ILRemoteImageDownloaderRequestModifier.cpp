#include "image_loading/downloader/ILRemoteImageDownloaderRequestModifier.h"

#include <utility>

std::shared_ptr<ILRemoteImageDownloaderRequestModifier>
ILRemoteImageDownloaderRequestModifier::requestModifierWithBlock(Block block) {
  return std::make_shared<ILRemoteImageDownloaderRequestModifier>(std::move(block));
}

std::shared_ptr<ILRemoteImageDownloaderRequestModifier>
ILRemoteImageDownloaderRequestModifier::modifierWithMethod(std::optional<std::string> method,
                                                           NSHTTPHeaderFields headers) {
  std::string verb = method.value_or("GET");
  return requestModifierWithBlock(
      [verb, headers = std::move(headers)](const NSURLRequestPtr& request) -> NSURLRequestPtr {
        if (!request) return nullptr;
        NSMutableURLRequestPtr copy = request->mutableCopy();
        copy->setHTTPMethod(verb);
        for (const auto& [field, value] : headers) copy->setValueForHTTPHeaderField(value, field);
        return copy;
      });
}

std::shared_ptr<ILRemoteImageDownloaderRequestModifier>
ILRemoteImageDownloaderRequestModifier::modifierWithMethod(std::optional<std::string> method) {
  return modifierWithMethod(std::move(method), {});
}

std::shared_ptr<ILRemoteImageDownloaderRequestModifier>
ILRemoteImageDownloaderRequestModifier::modifierWithHeaders(NSHTTPHeaderFields headers) {
  return modifierWithMethod(std::nullopt, std::move(headers));
}

NSURLRequestPtr ILRemoteImageDownloaderRequestModifier::modifiedRequestWithRequest(
    const NSURLRequestPtr& request) {
  return block_ ? block_(request) : nullptr;
}
