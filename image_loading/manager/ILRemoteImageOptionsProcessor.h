#pragma once

// Rewrites the options and context of each load before the manager acts on
// them, so an application can set its policy in one place.

#include <functional>
#include <memory>

#include "image_loading/downloader/ILRemoteImageDefine.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/Value.h"

class ILRemoteImageOptionsResult : public NSObject {
 public:
  ILRemoteImageOptionsResult(ILRemoteImageOptions options, ILRemoteImageContext context)
      : options_(options), context_(std::move(context)) {}
  ILRemoteImageOptions options() const { return options_; }
  const ILRemoteImageContext& context() const { return context_; }

 private:
  ILRemoteImageOptions options_;
  ILRemoteImageContext context_;
};
using ILRemoteImageOptionsResultPtr = std::shared_ptr<ILRemoteImageOptionsResult>;

class ILRemoteImageOptionsProcessorProtocol : public NSObject {
 public:
  virtual ILRemoteImageOptionsResultPtr processedResultForURL(
      const NSURLPtr& url, ILRemoteImageOptions options, const ILRemoteImageContext& context) = 0;
};
using ILRemoteImageOptionsProcessorPtr = std::shared_ptr<ILRemoteImageOptionsProcessorProtocol>;

class ILRemoteImageOptionsProcessor : public ILRemoteImageOptionsProcessorProtocol {
 public:
  using Block = std::function<ILRemoteImageOptionsResultPtr(
      const NSURLPtr&, ILRemoteImageOptions, const ILRemoteImageContext&)>;

  explicit ILRemoteImageOptionsProcessor(Block block) : block_(std::move(block)) {}
  static std::shared_ptr<ILRemoteImageOptionsProcessor> optionsProcessorWithBlock(Block block);

  ILRemoteImageOptionsResultPtr processedResultForURL(const NSURLPtr& url,
                                                      ILRemoteImageOptions options,
                                                      const ILRemoteImageContext& context) override;

 private:
  Block block_;
};
