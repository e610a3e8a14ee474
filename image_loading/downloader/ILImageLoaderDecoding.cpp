#include "image_loading/downloader/internal/ILImageLoaderDecoding.h"

#include <utility>

#include "image_loading/coders/UIImageMetadata.h"
#include "image_loading/coders/ILImageCoder.h"
#include "image_loading/coders/ILImageCoderHelper.h"
#include "image_loading/coders/ILImageCoderOptions.h"
#include "image_loading/coders/ILImageCodersManager.h"
#include "image_loading/downloader/ILRemoteImageDefine.h"
#include "image_loading/cache/ILRemoteImageCacheKeyFilter.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/UTType.h"
#include "platform/uikit/UIImage.h"

namespace {

// The address is the association key.
const char kProgressiveCoderKey = 0;

ILImageForceDecodePolicy forceDecodePolicy(ILRemoteImageOptions options,
                                           const ILRemoteImageContext& context) {
  if (options & ILLoadAvoidDecodeImage) return ILImageForceDecodePolicyNever;
  if (const Value* p = ILContextValue(context, ILRemoteImageContextImageForceDecodePolicy)) {
    return static_cast<ILImageForceDecodePolicy>(p->asInt64());
  }
  return ILImageForceDecodePolicyAutomatic;
}

std::shared_ptr<ILProgressiveImageCoder> makeProgressiveCoder(const NSDataPtr& data,
                                                              const ILRemoteImageContext& context,
                                                              const Value& decodeOptions) {
  if (auto coder = ILContextObject<ILProgressiveImageCoder>(context, ILRemoteImageContextImageCoder)) {
    return coder->initIncrementalWithOptions(decodeOptions);
  }
  const auto coders = ILImageCodersManager::sharedManager()->coders();
  for (auto it = coders.rbegin(); it != coders.rend(); ++it) {
    auto progressive = std::dynamic_pointer_cast<ILProgressiveImageCoder>(*it);
    if (progressive && progressive->canIncrementalDecodeFromData(data)) {
      return progressive->initIncrementalWithOptions(decodeOptions);
    }
  }
  return nullptr;
}

void setOrRemove(ValueMap& map, const char* key, const Value* value) {
  std::erase_if(map, [key](const auto& item) { return item.first == Value(key); });
  if (value && !value->isNull()) map.emplace_back(Value(key), *value);
}

}  // namespace

std::string ILCacheKeyForURL(const NSURLPtr& url, const ILRemoteImageContext& context) {
  if (!url) return "";
  if (auto filter = ILContextObject<ILRemoteImageCacheKeyFilterProtocol>(
          context, ILRemoteImageContextCacheKeyFilter)) {
    return filter->cacheKeyForURL(url);
  }
  return url->absoluteString();
}

UIImagePtr ILImageLoaderDecodeImageData(const NSDataPtr& imageData, const NSURLPtr& imageURL,
                                        ILRemoteImageOptions options,
                                        const ILRemoteImageContext& context) {
  NSParameterAssert(imageData);
  NSParameterAssert(imageURL);
  return ILImageCacheDecodeImageData(imageData, ILCacheKeyForURL(imageURL, context), options,
                                     context);
}

UIImagePtr ILImageLoaderDecodeProgressiveImageData(const NSDataPtr& imageData,
                                                   const NSURLPtr& imageURL, bool finished,
                                                   NSObject* operation,
                                                   ILRemoteImageOptions options,
                                                   const ILRemoteImageContext& context) {
  NSParameterAssert(imageData);
  NSParameterAssert(imageURL);
  NSParameterAssert(operation);
  const Value decodeOptions =
      ILImageDecodeOptionsFromContext(context, options, ILCacheKeyForURL(imageURL, context));
  std::shared_ptr<ILProgressiveImageCoder> coder = ILImageLoaderGetProgressiveCoder(operation);
  if (!coder) {
    coder = makeProgressiveCoder(imageData, context, decodeOptions);
    ILImageLoaderSetProgressiveCoder(operation, coder);
  }
  if (!coder) return nullptr;
  coder->updateIncrementalData(imageData, finished);
  UIImagePtr image = ILImageIncrementalDecodedImage(coder, options, context, decodeOptions);
  if (!image) return nullptr;
  UIImagePtr decoded =
      ILImageCoderHelper::decodedImageWithImage(image, forceDecodePolicy(options, context));
  if (!decoded) return nullptr;
  il_setDecodeOptions(*decoded, decodeOptions);
  il_setIsIncremental(*decoded, !finished);
  return decoded;
}

std::shared_ptr<ILProgressiveImageCoder> ILImageLoaderGetProgressiveCoder(NSObject* operation) {
  NSParameterAssert(operation);
  const Value value = operation->associatedObject(&kProgressiveCoderKey);
  return value.isObject() ? value.objectAs<ILProgressiveImageCoder>() : nullptr;
}

void ILImageLoaderSetProgressiveCoder(NSObject* operation,
                                      const std::shared_ptr<ILProgressiveImageCoder>& coder) {
  NSParameterAssert(operation);
  auto object = std::dynamic_pointer_cast<NSObject>(coder);
  operation->setAssociatedObject(&kProgressiveCoderKey, object ? Value(object) : Value());
}

void ILImageContextFromDecodeOptions(ValueMap& context, ILRemoteImageOptions& options,
                                     const Value& decodeOptions) {
  const Value* firstFrame = decodeOptions.find(kILImageCoderDecodeFirstFrameOnly);
  if (firstFrame && firstFrame->asBool()) {
    options |= ILLoadDecodeFirstFrameOnly;
  } else {
    options &= ~ILLoadDecodeFirstFrameOnly;
  }
  setOrRemove(context, ILRemoteImageContextImageScaleFactor,
              decodeOptions.find(kILImageCoderDecodeScaleFactor));
  setOrRemove(context, ILRemoteImageContextImagePreserveAspectRatio,
              decodeOptions.find(kILImageCoderDecodePreserveAspectRatio));
  setOrRemove(context, ILRemoteImageContextImageThumbnailPixelSize,
              decodeOptions.find(kILImageCoderDecodeThumbnailPixelSize));
  setOrRemove(context, ILRemoteImageContextImageScaleDownLimitBytes,
              decodeOptions.find(kILImageCoderDecodeScaleDownLimitBytes));
  setOrRemove(context, ILRemoteImageContextImageDecodeToHDR,
              decodeOptions.find(kILImageCoderDecodeToHDR));
  std::optional<Value> typeHint;
  if (const Value* hint = decodeOptions.find(kILImageCoderDecodeTypeIdentifierHint)) {
    typeHint = *hint;
  } else if (const Value* ext = decodeOptions.find(kILImageCoderDecodeFileExtensionHint);
             ext && ext->isString()) {
    std::string type = UTTypeCreatePreferredIdentifierForTag(kUTTagClassFilenameExtension,
                                                             ext->asString(), "public.image");
    if (!type.empty() && !UTTypeIsDynamic(type)) typeHint = Value(type);
  }
  setOrRemove(context, ILRemoteImageContextImageTypeIdentifierHint,
              typeHint ? &*typeHint : nullptr);
}
