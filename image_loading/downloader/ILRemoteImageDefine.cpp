#include "image_loading/downloader/ILRemoteImageDefine.h"

#include <utility>

#include "platform/foundation/Value.h"

const char* const ILRemoteImageErrorDomain = "ILRemoteImageErrorDomain";
const char* const ILRemoteImageErrorDownloadStatusCodeKey = "ILRemoteImageErrorDownloadStatusCodeKey";
const char* const ILRemoteImageErrorDownloadContentTypeKey =
    "ILRemoteImageErrorDownloadContentTypeKey";
const char* const ILRemoteImageErrorDownloadResponseKey = "ILRemoteImageErrorDownloadResponseKey";

ILRemoteImageOptions ILImageOptionsFromDownloaderOptions(ILDownloadOptions options) {
  ILRemoteImageOptions result = 0;
  if (options & ILDownloadScaleDownLargeImages) result |= ILLoadScaleDownLargeImages;
  // 0x200..0x1000 line up with 0x40000..0x200000.
  constexpr ILDownloadOptions kDecodeBits = ILDownloadAvoidDecodeImage |
                                            ILDownloadDecodeFirstFrameOnly |
                                            ILDownloadPreloadAllFrames |
                                            ILDownloadMatchAnimatedImageClass;
  result |= (options & kDecodeBits) << 9;
  return result;
}

const Value* ILContextValue(const ILRemoteImageContext& context, const char* key) {
  const Value* v = context.find(key);
  return v && !v->isNull() ? v : nullptr;
}

std::shared_ptr<NSObject> ILContextNSObject(const ILRemoteImageContext& context, const char* key) {
  const Value* v = ILContextValue(context, key);
  return v && v->isObject() ? v->asObject() : nullptr;
}

ILRemoteImageContext ILContextSetting(const ILRemoteImageContext& context, const char* key,
                                      Value value) {
  ValueMap map = context.isMap() ? context.asMap() : ValueMap();
  ValueMapSet(map, Value(key), std::move(value));
  return Value(std::move(map));
}

NSErrorPtr ILRemoteImageError(int64_t code, const std::string& description) {
  return ILRemoteImageError(code, description, ValueMap());
}

NSErrorPtr ILRemoteImageError(int64_t code, const std::string& description, ValueMap userInfo) {
  ValueMapSet(userInfo, Value(NSLocalizedDescriptionKey), Value(description));
  return NSError::errorWithDomain(ILRemoteImageErrorDomain, code, Value(std::move(userInfo)));
}

bool ILIsRemoteImageError(const NSErrorPtr& error, int64_t code) {
  return error && error->domain() == ILRemoteImageErrorDomain && error->code() == code;
}
