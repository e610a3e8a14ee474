#pragma once

// A caller's say over the response of a download before it is checked: the
// block may return another response, or nullptr to fail the download.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/NSObject.h"
#include "platform/network/NSURLRequest.h"

class ILRemoteImageDownloaderResponseModifierProtocol : public NSObject {
 public:
  virtual NSHTTPURLResponsePtr modifiedResponseWithResponse(
      const NSHTTPURLResponsePtr& response) = 0;
};
using ILRemoteImageDownloaderResponseModifierPtr =
    std::shared_ptr<ILRemoteImageDownloaderResponseModifierProtocol>;

class ILRemoteImageDownloaderResponseModifier
    : public ILRemoteImageDownloaderResponseModifierProtocol {
 public:
  using Block = std::function<NSHTTPURLResponsePtr(const NSHTTPURLResponsePtr&)>;

  explicit ILRemoteImageDownloaderResponseModifier(Block block) : block_(std::move(block)) {}
  static std::shared_ptr<ILRemoteImageDownloaderResponseModifier> responseModifierWithBlock(
      Block block);
  // A response with the same URL, this status, and the received header
  // fields overlaid with these (given values win). The version ("HTTP/1.1"
  // when none) is kept for callers; responses here do not carry one.
  static std::shared_ptr<ILRemoteImageDownloaderResponseModifier> modifierWithStatusCode(
      int64_t statusCode, std::optional<std::string> version, NSHTTPHeaderFields headers);
  static std::shared_ptr<ILRemoteImageDownloaderResponseModifier> modifierWithStatusCode(
      int64_t statusCode);
  static std::shared_ptr<ILRemoteImageDownloaderResponseModifier> modifierWithVersion(
      std::optional<std::string> version);
  static std::shared_ptr<ILRemoteImageDownloaderResponseModifier> modifierWithHeaders(
      NSHTTPHeaderFields headers);

  const Block& block() const { return block_; }
  NSHTTPURLResponsePtr modifiedResponseWithResponse(const NSHTTPURLResponsePtr& response) override;

 private:
  Block block_;
};
