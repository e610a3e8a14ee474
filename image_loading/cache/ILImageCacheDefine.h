#pragma once

// The option bits and context keys the caches read, the translations between
// load options and cache lookup options, and the decoding of cached bytes.
// A context is a Value map with string keys; object values (callback queue,
// coder) are held as NSObject values.

#include <cstdint>
#include <string>

#include "platform/foundation/NSData.h"
#include "platform/foundation/ValueFwd.h"

class NSURL;
class UIImage;
using UIImagePtr = std::shared_ptr<UIImage>;
class ILProgressiveImageCoder;

using ILRemoteImageOptions = uint64_t;
inline constexpr ILRemoteImageOptions ILRemoteImageScaleDownLargeImages = 0x800;
inline constexpr ILRemoteImageOptions ILRemoteImageQueryMemoryData = 0x1000;
inline constexpr ILRemoteImageOptions ILRemoteImageQueryMemoryDataSync = 0x2000;
inline constexpr ILRemoteImageOptions ILRemoteImageQueryDiskDataSync = 0x4000;
inline constexpr ILRemoteImageOptions ILRemoteImageAvoidDecodeImage = 0x40000;
inline constexpr ILRemoteImageOptions ILRemoteImageDecodeFirstFrameOnly = 0x80000;
inline constexpr ILRemoteImageOptions ILRemoteImagePreloadAllFrames = 0x100000;
inline constexpr ILRemoteImageOptions ILRemoteImageMatchAnimatedImageClass = 0x200000;

using ILImageCacheLookupOptions = uint64_t;
inline constexpr ILImageCacheLookupOptions ILImageCacheQueryMemoryData = 0x1;
inline constexpr ILImageCacheLookupOptions ILImageCacheQueryMemoryDataSync = 0x2;
inline constexpr ILImageCacheLookupOptions ILImageCacheQueryDiskDataSync = 0x4;
inline constexpr ILImageCacheLookupOptions ILImageCacheScaleDownLargeImages = 0x8;
inline constexpr ILImageCacheLookupOptions ILImageCacheAvoidDecodeImage = 0x10;
inline constexpr ILImageCacheLookupOptions ILImageCacheDecodeFirstFrameOnly = 0x20;
inline constexpr ILImageCacheLookupOptions ILImageCachePreloadAllFrames = 0x40;
inline constexpr ILImageCacheLookupOptions ILImageCacheMatchAnimatedImageClass = 0x80;

using ILRemoteImageContext = Value;
inline constexpr const char* ILRemoteImageContextCallbackQueue = "callbackQueue";
inline constexpr const char* ILRemoteImageContextImageCoder = "imageCoder";
inline constexpr const char* ILRemoteImageContextImageEncodeOptions = "imageEncodeOptions";
inline constexpr const char* ILRemoteImageContextAnimatedImageClass = "animatedImageClass";
inline constexpr const char* ILRemoteImageContextImageForceDecodePolicy = "imageForceDecodePolicy";
inline constexpr const char* ILRemoteImageContextImageScaleFactor = "imageScaleFactor";
inline constexpr const char* ILRemoteImageContextImagePreserveAspectRatio =
    "imagePreserveAspectRatio";
inline constexpr const char* ILRemoteImageContextImageThumbnailPixelSize =
    "imageThumbnailPixelSize";
inline constexpr const char* ILRemoteImageContextImageTypeIdentifierHint =
    "imageTypeIdentifierHint";
inline constexpr const char* ILRemoteImageContextImageScaleDownLimitBytes =
    "imageScaleDownLimitBytes";
inline constexpr const char* ILRemoteImageContextImageDecodeToHDR = "imageDecodeToHDR";
inline constexpr const char* ILRemoteImageContextImageDecodeOptions = "imageDecodeOptions";
inline constexpr const char* ILRemoteImageContextCacheKeyFilter = "cacheKeyFilter";

ILImageCacheLookupOptions ILImageCacheOptionsFromImageOptions(ILRemoteImageOptions options);
ILRemoteImageOptions ILImageOptionsFromCacheOptions(ILImageCacheLookupOptions options);

// 2 or 3 for a "@2x." / "@3x." marker in the key (percent-encoded in web
// URLs), else 1.
double ILScaleFactorInCacheKey(const std::string& key);

// The coders' decode options for a load.
Value ILImageDecodeOptionsFromContext(const ILRemoteImageContext& context,
                                      ILRemoteImageOptions options, const std::string& cacheKey);
// The same where the key may be the text of `keyURL` (null: not known): the
// URL's own parts then serve, and the key is not parsed again.
Value ILImageDecodeOptionsFromContext(const ILRemoteImageContext& context,
                                      ILRemoteImageOptions options, const std::string& cacheKey,
                                      const NSURL* keyURL);

// Bytes read from the disk cache to an image: an instance of the context's
// animated image class when there is one (unless first frame only), else
// through the context's coder or the shared coders manager; force-decoded as
// the options and context say.
UIImagePtr ILImageCacheDecodeImageData(const NSDataPtr& imageData, const std::string& cacheKey,
                                       ILRemoteImageOptions options,
                                       const ILRemoteImageContext& context);
// The same with the decode options already made from this context, options
// and key (ILImageDecodeOptionsFromContext), for a caller that keeps them.
UIImagePtr ILImageCacheDecodeImageDataWithDecodeOptions(const NSDataPtr& imageData,
                                                        const Value& decodeOptions,
                                                        ILRemoteImageOptions options,
                                                        const ILRemoteImageContext& context);

// What a progressive coder shows after an update: with an animated image
// class in the context (and not first frame only) and a coder that can
// animate, an instance of that class over the coder; else the coder's own
// partial image. nullptr when the class must match and cannot be made.
UIImagePtr ILImageIncrementalDecodedImage(const std::shared_ptr<ILProgressiveImageCoder>& coder,
                                          ILRemoteImageOptions options,
                                          const ILRemoteImageContext& context,
                                          const Value& decodeOptions);
