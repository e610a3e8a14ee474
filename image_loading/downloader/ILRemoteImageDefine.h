#pragma once

// What a load carries from the image manager down to the downloader: the
// load option bits, the downloader's own option bits, the context keys read
// along the way, and the library's error domain with its codes.

#include <cstdint>
#include <string>

#include "image_loading/cache/ILImageCacheDefine.h"
#include "platform/foundation/NSError.h"

// Load options of the image manager (ILRemoteImageOptions).
inline constexpr ILRemoteImageOptions ILLoadRetryFailed = 0x1;
inline constexpr ILRemoteImageOptions ILLoadLowPriority = 0x2;
inline constexpr ILRemoteImageOptions ILLoadProgressive = 0x4;
inline constexpr ILRemoteImageOptions ILLoadRefreshCached = 0x8;
inline constexpr ILRemoteImageOptions ILLoadContinueInBackground = 0x10;
inline constexpr ILRemoteImageOptions ILLoadHandleCookies = 0x20;
inline constexpr ILRemoteImageOptions ILLoadAllowInvalidCertificates = 0x40;
inline constexpr ILRemoteImageOptions ILLoadHighPriority = 0x80;
inline constexpr ILRemoteImageOptions ILLoadDelayPlaceholder = 0x100;
inline constexpr ILRemoteImageOptions ILLoadTransformAnimatedImage = 0x200;
inline constexpr ILRemoteImageOptions ILLoadAvoidAutoSetImage = 0x400;
inline constexpr ILRemoteImageOptions ILLoadScaleDownLargeImages = 0x800;
inline constexpr ILRemoteImageOptions ILLoadQueryMemoryData = 0x1000;
inline constexpr ILRemoteImageOptions ILLoadQueryMemoryDataSync = 0x2000;
inline constexpr ILRemoteImageOptions ILLoadQueryDiskDataSync = 0x4000;
inline constexpr ILRemoteImageOptions ILLoadFromCacheOnly = 0x8000;
inline constexpr ILRemoteImageOptions ILLoadFromLoaderOnly = 0x10000;
inline constexpr ILRemoteImageOptions ILLoadForceTransition = 0x20000;
inline constexpr ILRemoteImageOptions ILLoadAvoidDecodeImage = 0x40000;
inline constexpr ILRemoteImageOptions ILLoadDecodeFirstFrameOnly = 0x80000;
inline constexpr ILRemoteImageOptions ILLoadPreloadAllFrames = 0x100000;
inline constexpr ILRemoteImageOptions ILLoadMatchAnimatedImageClass = 0x200000;
inline constexpr ILRemoteImageOptions ILLoadWaitStoreCache = 0x400000;
inline constexpr ILRemoteImageOptions ILLoadTransformVectorImage = 0x800000;
inline constexpr ILRemoteImageOptions ILLoadAvoidAutoCancelImage = 0x1000000;
inline constexpr ILRemoteImageOptions ILLoadWaitTransition = 0x2000000;

// Options of one download.
using ILDownloadOptions = uint64_t;
inline constexpr ILDownloadOptions ILDownloadLowPriority = 0x1;
inline constexpr ILDownloadOptions ILDownloadProgressive = 0x2;
inline constexpr ILDownloadOptions ILDownloadUseURLCache = 0x4;
inline constexpr ILDownloadOptions ILDownloadIgnoreCachedResponse = 0x8;
inline constexpr ILDownloadOptions ILDownloadContinueInBackground = 0x10;
inline constexpr ILDownloadOptions ILDownloadHandleCookies = 0x20;
inline constexpr ILDownloadOptions ILDownloadAllowInvalidCertificates = 0x40;
inline constexpr ILDownloadOptions ILDownloadHighPriority = 0x80;
inline constexpr ILDownloadOptions ILDownloadScaleDownLargeImages = 0x100;
inline constexpr ILDownloadOptions ILDownloadAvoidDecodeImage = 0x200;
inline constexpr ILDownloadOptions ILDownloadDecodeFirstFrameOnly = 0x400;
inline constexpr ILDownloadOptions ILDownloadPreloadAllFrames = 0x800;
inline constexpr ILDownloadOptions ILDownloadMatchAnimatedImageClass = 0x1000;

// The decode bits of download options as load options.
ILRemoteImageOptions ILImageOptionsFromDownloaderOptions(ILDownloadOptions options);

// Context keys of the manager and the downloader (besides those of the caches).
inline constexpr const char* ILRemoteImageContextImageCache = "imageCache";
inline constexpr const char* ILRemoteImageContextImageLoader = "imageLoader";
inline constexpr const char* ILRemoteImageContextImageTransformer = "imageTransformer";
inline constexpr const char* ILRemoteImageContextCacheSerializer = "cacheSerializer";
inline constexpr const char* ILRemoteImageContextQueryCacheType = "queryCacheType";
inline constexpr const char* ILRemoteImageContextStoreCacheType = "storeCacheType";
inline constexpr const char* ILRemoteImageContextOriginalQueryCacheType = "originalQueryCacheType";
inline constexpr const char* ILRemoteImageContextOriginalStoreCacheType = "originalStoreCacheType";
inline constexpr const char* ILRemoteImageContextOriginalImageCache = "originalImageCache";
inline constexpr const char* ILRemoteImageContextLoaderCachedImage = "loaderCachedImage";
inline constexpr const char* ILRemoteImageContextDownloadRequestModifier = "downloadRequestModifier";
inline constexpr const char* ILRemoteImageContextDownloadResponseModifier =
    "downloadResponseModifier";
inline constexpr const char* ILRemoteImageContextDownloadDecryptor = "downloadDecryptor";

// A context value that is set and not null, else nullptr.
const Value* ILContextValue(const ILRemoteImageContext& context, const char* key);
// The object under a context key, else nullptr.
std::shared_ptr<NSObject> ILContextNSObject(const ILRemoteImageContext& context, const char* key);
// The object under a context key as T, else nullptr.
template <typename T>
std::shared_ptr<T> ILContextObject(const ILRemoteImageContext& context, const char* key) {
  return std::dynamic_pointer_cast<T>(ILContextNSObject(context, key));
}
// A copy of the context (a map, or empty) with the key set.
ILRemoteImageContext ILContextSetting(const ILRemoteImageContext& context, const char* key,
                                      Value value);

extern const char* const ILRemoteImageErrorDomain;
extern const char* const ILRemoteImageErrorDownloadStatusCodeKey;
extern const char* const ILRemoteImageErrorDownloadContentTypeKey;
extern const char* const ILRemoteImageErrorDownloadResponseKey;

inline constexpr int64_t ILRemoteImageErrorInvalidURL = 1000;
inline constexpr int64_t ILRemoteImageErrorBadImageData = 1001;
inline constexpr int64_t ILRemoteImageErrorCacheNotModified = 1002;
inline constexpr int64_t ILRemoteImageErrorBlackListed = 1003;
inline constexpr int64_t ILRemoteImageErrorInvalidDownloadOperation = 2000;
inline constexpr int64_t ILRemoteImageErrorInvalidDownloadStatusCode = 2001;
inline constexpr int64_t ILRemoteImageErrorCancelled = 2002;
inline constexpr int64_t ILRemoteImageErrorInvalidDownloadResponse = 2003;
inline constexpr int64_t ILRemoteImageErrorInvalidDownloadContentType = 2004;

// An error of the library's domain with its description (and more user info).
NSErrorPtr ILRemoteImageError(int64_t code, const std::string& description);
NSErrorPtr ILRemoteImageError(int64_t code, const std::string& description, ValueMap userInfo);
bool ILIsRemoteImageError(const NSErrorPtr& error, int64_t code);
