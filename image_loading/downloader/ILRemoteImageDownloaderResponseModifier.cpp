#include "image_loading/downloader/ILRemoteImageDownloaderResponseModifier.h"

#include <utility>

std::shared_ptr<ILRemoteImageDownloaderResponseModifier>
ILRemoteImageDownloaderResponseModifier::responseModifierWithBlock(Block block) {
  return std::make_shared<ILRemoteImageDownloaderResponseModifier>(std::move(block));
}

std::shared_ptr<ILRemoteImageDownloaderResponseModifier>
ILRemoteImageDownloaderResponseModifier::modifierWithStatusCode(int64_t statusCode,
                                                                std::optional<std::string> version,
                                                                NSHTTPHeaderFields headers) {
  (void)version;  // responses here carry no HTTP version
  return responseModifierWithBlock(
      [statusCode, headers = std::move(headers)](
          const NSHTTPURLResponsePtr& response) -> NSHTTPURLResponsePtr {
        if (!response) return nullptr;
        NSHTTPHeaderFields fields = response->allHeaderFields();
        for (const auto& [field, value] : headers) fields[field] = value;
        return std::make_shared<NSHTTPURLResponse>(response->URL(), statusCode, std::move(fields));
      });
}

std::shared_ptr<ILRemoteImageDownloaderResponseModifier>
ILRemoteImageDownloaderResponseModifier::modifierWithStatusCode(int64_t statusCode) {
  return modifierWithStatusCode(statusCode, std::nullopt, {});
}

std::shared_ptr<ILRemoteImageDownloaderResponseModifier>
ILRemoteImageDownloaderResponseModifier::modifierWithVersion(std::optional<std::string> version) {
  return modifierWithStatusCode(200, std::move(version), {});
}

std::shared_ptr<ILRemoteImageDownloaderResponseModifier>
ILRemoteImageDownloaderResponseModifier::modifierWithHeaders(NSHTTPHeaderFields headers) {
  return modifierWithStatusCode(200, std::nullopt, std::move(headers));
}

NSHTTPURLResponsePtr ILRemoteImageDownloaderResponseModifier::modifiedResponseWithResponse(
    const NSHTTPURLResponsePtr& response) {
  return block_ ? block_(response) : nullptr;
}
