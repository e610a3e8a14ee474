#include "image_loading/cache/ILImageCacheDefine.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "image_loading/animated/ILAnimatedImage.h"
#include "image_loading/coders/ILImageCoder.h"
#include "image_loading/coders/ILImageCoderHelper.h"
#include "image_loading/coders/ILImageCoderOptions.h"
#include "image_loading/coders/ILImageCodersManager.h"
#include "image_loading/coders/UIImageMetadata.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/Value.h"
#include "platform/uikit/UIImage.h"

namespace {

// Fixed bit moves between the two option words, (load bit, lookup bit).
constexpr std::pair<ILRemoteImageOptions, ILImageCacheLookupOptions> kSharedBits[] = {
    {ILRemoteImageScaleDownLargeImages, ILImageCacheScaleDownLargeImages},
    {ILRemoteImageAvoidDecodeImage, ILImageCacheAvoidDecodeImage},
    {ILRemoteImageDecodeFirstFrameOnly, ILImageCacheDecodeFirstFrameOnly},
    {ILRemoteImagePreloadAllFrames, ILImageCachePreloadAllFrames},
    {ILRemoteImageMatchAnimatedImageClass, ILImageCacheMatchAnimatedImageClass},
};
constexpr std::pair<ILRemoteImageOptions, ILImageCacheLookupOptions> kQueryBits[] = {
    {ILRemoteImageQueryMemoryData, ILImageCacheQueryMemoryData},
    {ILRemoteImageQueryMemoryDataSync, ILImageCacheQueryMemoryDataSync},
    {ILRemoteImageQueryDiskDataSync, ILImageCacheQueryDiskDataSync},
};

const Value* contextValue(const ILRemoteImageContext& context, const char* key) {
  const Value* v = context.find(key);
  return v && !v->isNull() ? v : nullptr;
}

// Keys are compared as text in place: a Value made of the key for each entry
// cost more than the rest of the decode options together. Only the caller's
// base options can hold the key already (each key is set once).
void setOrRemove(ValueMap& map, bool fromBase, std::string_view key, const Value* value) {
  if (fromBase) {
    std::erase_if(map, [key](const auto& item) {
      return item.first.isString() && item.first.asString() == key;
    });
  }
  if (value) map.emplace_back(Value(key), *value);
}

// The extension of the path NSURL would give for the key (the key itself
// when it is no URL), read off the key's path part in place: building the
// URL only for this cost a download more than the rest of its options.
std::string keyPathExtension(const std::string& key, const NSURL* keyURL) {
  std::string_view path = key;
  std::optional<std::string> decoded;
  // A key that is the text of a URL already parsed needs no parse of its own.
  const auto encoded = keyURL && keyURL->absoluteString() == key
                           ? std::optional<std::string_view>(keyURL->percentEncodedPath())
                           : NSURL::percentEncodedPathOfString(key);
  if (encoded) {
    path = *encoded;
    if (path.find('%') != std::string_view::npos) {
      decoded = stringByRemovingPercentEncoding(path);
      if (decoded) path = *decoded;
    }
    if (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  }
  const size_t slash = path.find_last_of('/');
  const size_t dot = path.find_last_of('.');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash + 2))
    return {};
  return std::string(path.substr(dot + 1));
}

// The decode options themselves, from what the context and key give.
Value makeDecodeOptions(const ILRemoteImageContext& context, bool firstFrameOnly, double scale,
                        const std::optional<Value>& limit, const Value* typeHint,
                        const std::optional<Value>& extensionHint);

}  // namespace

ILImageCacheLookupOptions ILImageCacheOptionsFromImageOptions(ILRemoteImageOptions options) {
  ILImageCacheLookupOptions result = 0;
  for (const auto& [load, lookup] : kSharedBits)
    if (options & load) result |= lookup;
  for (const auto& [load, lookup] : kQueryBits)
    if (options & load) result |= lookup;
  return result;
}

ILRemoteImageOptions ILImageOptionsFromCacheOptions(ILImageCacheLookupOptions options) {
  ILRemoteImageOptions result = 0;
  for (const auto& [load, lookup] : kSharedBits)
    if (options & lookup) result |= load;
  return result;
}

double ILScaleFactorInCacheKey(const std::string& key) {
  if (key.size() < 8) return 1;
  const bool web = key.rfind("http://", 0) == 0 || key.rfind("https://", 0) == 0;
  constexpr struct {
    double scale;
    std::string_view plain, escaped;
  } kMarks[] = {{2, "@2x.", "%402x."}, {3, "@3x.", "%403x."}};
  for (const auto& mark : kMarks) {
    if (key.find(mark.plain) != std::string::npos) return mark.scale;
    if (web && key.find(mark.escaped) != std::string::npos) return mark.scale;
  }
  return 1;
}

Value ILImageDecodeOptionsFromContext(const ILRemoteImageContext& context,
                                      ILRemoteImageOptions options, const std::string& cacheKey) {
  return ILImageDecodeOptionsFromContext(context, options, cacheKey, nullptr);
}

Value ILImageDecodeOptionsFromContext(const ILRemoteImageContext& context,
                                      ILRemoteImageOptions options, const std::string& cacheKey,
                                      const NSURL* keyURL) {
  double scale = ILScaleFactorInCacheKey(cacheKey);
  if (const Value* s = contextValue(context, ILRemoteImageContextImageScaleFactor);
      s && s->isNumber() && s->asDouble() >= 1) {
    scale = s->asDouble();
  }
  std::optional<Value> limit;
  if (const Value* l = contextValue(context, ILRemoteImageContextImageScaleDownLimitBytes)) {
    limit = *l;
  } else if (options & ILRemoteImageScaleDownLargeImages) {
    limit = Value::integer(static_cast<int64_t>(ILImageCoderHelper::defaultScaleDownLimitBytes()));
  }
  const Value* typeHint = contextValue(context, ILRemoteImageContextImageTypeIdentifierHint);
  std::optional<Value> extensionHint;
  if (!typeHint) {
    std::string ext = keyPathExtension(cacheKey, keyURL);
    if (!ext.empty()) extensionHint = Value(ext);
  }
  const bool firstFrameOnly = options & ILRemoteImageDecodeFirstFrameOnly;
  // What a key and options give is the same for each download of one
  // context: the last answer made on this thread is handed out again while
  // the context is the very same map and the rest is equal. The context is
  // held weakly, so that nothing it holds is kept alive for this.
  struct Made {
    bool made = false;
    bool emptyContext = false;
    std::weak_ptr<const ValueMap> context;
    bool firstFrameOnly = false;
    double scale = 0;
    std::optional<Value> limit;
    std::optional<Value> extensionHint;
    Value options;
  };
  thread_local Made last;
  std::shared_ptr<const ValueMap> payload = context.mapPayload();
  const bool emptyContext = context.isNull();
  if (!emptyContext && !payload) {
    return makeDecodeOptions(context, firstFrameOnly, scale, limit, typeHint, extensionHint);
  }
  if (last.made && last.emptyContext == emptyContext &&
      (emptyContext || last.context.lock() == payload) && last.firstFrameOnly == firstFrameOnly &&
      last.scale == scale && last.limit == limit && last.extensionHint == extensionHint) {
    return last.options;
  }
  Value made = makeDecodeOptions(context, firstFrameOnly, scale, limit, typeHint, extensionHint);
  last.made = true;
  last.emptyContext = emptyContext;
  last.context = payload;
  last.firstFrameOnly = firstFrameOnly;
  last.scale = scale;
  last.limit = std::move(limit);
  last.extensionHint = std::move(extensionHint);
  last.options = made;
  return made;
}

namespace {

Value makeDecodeOptions(const ILRemoteImageContext& context, bool firstFrameOnly, double scale,
                        const std::optional<Value>& limit, const Value* typeHint,
                        const std::optional<Value>& extensionHint) {
  const Value* base = contextValue(context, ILRemoteImageContextImageDecodeOptions);
  const Value* hdr = contextValue(context, ILRemoteImageContextImageDecodeToHDR);
  if (!hdr && base) hdr = base->find(kILImageCoderDecodeToHDR);

  ValueMap map = base && base->isMap() ? base->asMap() : ValueMap();
  const bool fromBase = !map.empty();
  map.reserve(map.size() + 8);
  const Value firstFrame(firstFrameOnly);
  const Value scaleValue(scale);
  setOrRemove(map, fromBase, kILImageCoderDecodeFirstFrameOnly, &firstFrame);
  setOrRemove(map, fromBase, kILImageCoderDecodeScaleFactor, &scaleValue);
  setOrRemove(map, fromBase, kILImageCoderDecodePreserveAspectRatio,
              contextValue(context, ILRemoteImageContextImagePreserveAspectRatio));
  setOrRemove(map, fromBase, kILImageCoderDecodeThumbnailPixelSize,
              contextValue(context, ILRemoteImageContextImageThumbnailPixelSize));
  setOrRemove(map, fromBase, kILImageCoderDecodeTypeIdentifierHint, typeHint);
  setOrRemove(map, fromBase, kILImageCoderDecodeFileExtensionHint,
              extensionHint ? &*extensionHint : nullptr);
  setOrRemove(map, fromBase, kILImageCoderDecodeScaleDownLimitBytes, limit ? &*limit : nullptr);
  setOrRemove(map, fromBase, kILImageCoderDecodeToHDR, hdr);
  return Value(std::move(map));
}

}  // namespace

namespace {

ILImageCoderPtr contextCoder(const ILRemoteImageContext& context) {
  const Value* c = contextValue(context, ILRemoteImageContextImageCoder);
  return c && c->isObject() ? std::dynamic_pointer_cast<ILImageCoder>(c->asObject()) : nullptr;
}

ILAnimatedImageClassPtr animatedImageClass(const ILRemoteImageContext& context,
                                           ILRemoteImageOptions options) {
  if (options & ILRemoteImageDecodeFirstFrameOnly) return nullptr;
  const Value* c = contextValue(context, ILRemoteImageContextAnimatedImageClass);
  return c && c->isObject() ? std::dynamic_pointer_cast<ILAnimatedImageClass>(c->asObject())
                            : nullptr;
}

double decodeScale(const Value& decodeOptions) {
  const Value* s = decodeOptions.find(kILImageCoderDecodeScaleFactor);
  return s && s->isNumber() ? s->asDouble() : 1;
}

UIImagePtr forceDecoded(const UIImagePtr& image, ILRemoteImageOptions options,
                        const ILRemoteImageContext& context, const Value& decodeOptions) {
  ILImageForceDecodePolicy policy = ILImageForceDecodePolicyAutomatic;
  if (options & ILRemoteImageAvoidDecodeImage) {
    policy = ILImageForceDecodePolicyNever;
  } else if (const Value* p = contextValue(context, ILRemoteImageContextImageForceDecodePolicy);
             p && p->isNumber()) {
    policy = static_cast<ILImageForceDecodePolicy>(p->asInt64());
  }
  UIImagePtr decoded = ILImageCoderHelper::decodedImageWithImage(image, policy);
  if (decoded) il_setDecodeOptions(*decoded, decodeOptions);
  return decoded;
}

}  // namespace

UIImagePtr ILImageCacheDecodeImageData(const NSDataPtr& imageData, const std::string& cacheKey,
                                       ILRemoteImageOptions options,
                                       const ILRemoteImageContext& context) {
  NSParameterAssert(imageData);
  return ILImageCacheDecodeImageDataWithDecodeOptions(
      imageData, ILImageDecodeOptionsFromContext(context, options, cacheKey), options, context);
}

UIImagePtr ILImageCacheDecodeImageDataWithDecodeOptions(const NSDataPtr& imageData,
                                                        const Value& decodeOptions,
                                                        ILRemoteImageOptions options,
                                                        const ILRemoteImageContext& context) {
  NSParameterAssert(imageData);
  UIImagePtr image;
  if (ILAnimatedImageClassPtr imageClass = animatedImageClass(context, options)) {
    image = imageClass->imageWithData(imageData, decodeScale(decodeOptions), decodeOptions);
    if (image && (options & ILRemoteImagePreloadAllFrames)) {
      if (auto* animated = dynamic_cast<ILAnimatedImageProtocol*>(image.get())) {
        animated->preloadAllFrames();
      }
    }
    if (!image && (options & ILRemoteImageMatchAnimatedImageClass)) return nullptr;
  }
  if (!image) {
    ILImageCoderPtr coder = contextCoder(context);
    if (!coder) coder = ILImageCodersManager::sharedManager();
    image = coder->decodedImageWithData(imageData, decodeOptions);
  }
  if (!image) return nullptr;
  return forceDecoded(image, options, context, decodeOptions);
}

UIImagePtr ILImageIncrementalDecodedImage(const std::shared_ptr<ILProgressiveImageCoder>& coder,
                                          ILRemoteImageOptions options,
                                          const ILRemoteImageContext& context,
                                          const Value& decodeOptions) {
  if (!coder) return nullptr;
  if (ILAnimatedImageClassPtr imageClass = animatedImageClass(context, options)) {
    if (auto animatedCoder = std::dynamic_pointer_cast<ILAnimatedImageCoder>(coder)) {
      if (UIImagePtr image =
              imageClass->imageWithAnimatedCoder(animatedCoder, decodeScale(decodeOptions))) {
        return image;
      }
      if (options & ILRemoteImageMatchAnimatedImageClass) return nullptr;
    }
  }
  return coder->incrementalDecodedImageWithOptions(decodeOptions);
}
