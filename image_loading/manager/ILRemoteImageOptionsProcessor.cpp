#include "image_loading/manager/ILRemoteImageOptionsProcessor.h"

#include <utility>

std::shared_ptr<ILRemoteImageOptionsProcessor>
ILRemoteImageOptionsProcessor::optionsProcessorWithBlock(Block block) {
  return std::make_shared<ILRemoteImageOptionsProcessor>(std::move(block));
}

ILRemoteImageOptionsResultPtr ILRemoteImageOptionsProcessor::processedResultForURL(
    const NSURLPtr& url, ILRemoteImageOptions options, const ILRemoteImageContext& context) {
  return block_ ? block_(url, options, context) : nullptr;
}
