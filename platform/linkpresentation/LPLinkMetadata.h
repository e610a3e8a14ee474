#pragma once

// What a link preview shows: a title, the URL it stands for, and providers
// of its icon and image.

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/NSItemProvider.h"
#include "platform/foundation/NSURL.h"

class LPLinkMetadata : public NSObject {
 public:
  const std::optional<std::string>& title() const { return title_; }
  void setTitle(std::optional<std::string> title) { title_ = std::move(title); }
  // The URL the preview was asked for.
  const NSURLPtr& originalURL() const { return originalURL_; }
  void setOriginalURL(NSURLPtr url) { originalURL_ = std::move(url); }
  // The URL it ended up at, after redirects.
  const NSURLPtr& URL() const { return url_; }
  void setURL(NSURLPtr url) { url_ = std::move(url); }
  const std::shared_ptr<NSItemProvider>& iconProvider() const { return iconProvider_; }
  void setIconProvider(std::shared_ptr<NSItemProvider> p) { iconProvider_ = std::move(p); }
  const std::shared_ptr<NSItemProvider>& imageProvider() const { return imageProvider_; }
  void setImageProvider(std::shared_ptr<NSItemProvider> p) { imageProvider_ = std::move(p); }

 private:
  std::optional<std::string> title_;
  NSURLPtr originalURL_;
  NSURLPtr url_;
  std::shared_ptr<NSItemProvider> iconProvider_;
  std::shared_ptr<NSItemProvider> imageProvider_;
};
