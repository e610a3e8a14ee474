#pragma once

// A caller's last word on the request of a download: the block may return a
// changed request, or nullptr to call the download off.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/NSObject.h"
#include "platform/network/NSURLRequest.h"

class ILRemoteImageDownloaderRequestModifierProtocol : public NSObject {
 public:
  virtual NSURLRequestPtr modifiedRequestWithRequest(const NSURLRequestPtr& request) = 0;
};
using ILRemoteImageDownloaderRequestModifierPtr =
    std::shared_ptr<ILRemoteImageDownloaderRequestModifierProtocol>;

class ILRemoteImageDownloaderRequestModifier
    : public ILRemoteImageDownloaderRequestModifierProtocol {
 public:
  using Block = std::function<NSURLRequestPtr(const NSURLRequestPtr&)>;

  explicit ILRemoteImageDownloaderRequestModifier(Block block) : block_(std::move(block)) {}
  static std::shared_ptr<ILRemoteImageDownloaderRequestModifier> requestModifierWithBlock(
      Block block);
  // The request with this method ("GET" when none) and these headers set
  // over its own. Requests here carry no body, so there is none to set.
  static std::shared_ptr<ILRemoteImageDownloaderRequestModifier> modifierWithMethod(
      std::optional<std::string> method, NSHTTPHeaderFields headers);
  static std::shared_ptr<ILRemoteImageDownloaderRequestModifier> modifierWithMethod(
      std::optional<std::string> method);
  static std::shared_ptr<ILRemoteImageDownloaderRequestModifier> modifierWithHeaders(
      NSHTTPHeaderFields headers);

  const Block& block() const { return block_; }
  NSURLRequestPtr modifiedRequestWithRequest(const NSURLRequestPtr& request) override;

 private:
  Block block_;
};
