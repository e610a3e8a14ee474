#pragma once

// Decoding of downloaded bytes: whole downloads through the same path as
// bytes read from the disk cache, partial ones through a progressive coder
// that lives on the load operation for as long as the load.

#include <memory>

#include "image_loading/cache/ILImageCacheDefine.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/NSURL.h"

class ILProgressiveImageCoder;

// The cache key of a URL under a context: its "cacheKeyFilter", else the
// absolute string; "" for no URL.
std::string ILCacheKeyForURL(const NSURLPtr& url, const ILRemoteImageContext& context);

// Data and URL must be given.
UIImagePtr ILImageLoaderDecodeImageData(const NSDataPtr& imageData, const NSURLPtr& imageURL,
                                        ILRemoteImageOptions options,
                                        const ILRemoteImageContext& context);
// All bytes received so far; nullptr while nothing can be shown. Data, URL
// and operation must be given.
UIImagePtr ILImageLoaderDecodeProgressiveImageData(const NSDataPtr& imageData,
                                                   const NSURLPtr& imageURL, bool finished,
                                                   NSObject* operation,
                                                   ILRemoteImageOptions options,
                                                   const ILRemoteImageContext& context);
std::shared_ptr<ILProgressiveImageCoder> ILImageLoaderGetProgressiveCoder(NSObject* operation);
void ILImageLoaderSetProgressiveCoder(NSObject* operation,
                                      const std::shared_ptr<ILProgressiveImageCoder>& coder);

// Decode options written back into a context and option word: the reverse
// of ILImageDecodeOptionsFromContext.
void ILImageContextFromDecodeOptions(ValueMap& context, ILRemoteImageOptions& options,
                                     const Value& decodeOptions);
