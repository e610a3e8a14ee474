#pragma once

// Keys of the option dictionaries given to coders (Value maps with string
// keys) and readers that apply each key's default. Size values are maps
// {"width": w, "height": h}, made with ILImageCoderSizeValue.

#include "platform/coregraphics/CGGeometry.h"
#include "platform/foundation/ValueFwd.h"

// Decoding.
inline constexpr const char* kILImageCoderDecodeScaleFactor = "decodeScaleFactor";
inline constexpr const char* kILImageCoderDecodeThumbnailPixelSize = "decodeThumbnailPixelSize";
inline constexpr const char* kILImageCoderDecodePreserveAspectRatio = "decodePreserveAspectRatio";
inline constexpr const char* kILImageCoderDecodeUseLazyDecoding = "decodeUseLazyDecoding";
inline constexpr const char* kILImageCoderDecodeScaleDownLimitBytes = "decodeScaleDownLimitBytes";
inline constexpr const char* kILImageCoderDecodeToHDR = "decodeToHDR";
inline constexpr const char* kILImageCoderDecodeTypeIdentifierHint = "decodeTypeIdentifierHint";
inline constexpr const char* kILImageCoderDecodeFileExtensionHint = "decodeFileExtensionHint";
inline constexpr const char* kILImageCoderDecodeFirstFrameOnly = "decodeFirstFrameOnly";
// Encoding.
inline constexpr const char* kILImageCoderEncodeFirstFrameOnly = "encodeFirstFrameOnly";
inline constexpr const char* kILImageCoderEncodeCompressionQuality = "encodeCompressionQuality";
inline constexpr const char* kILImageCoderEncodeBackgroundColor = "encodeBackgroundColor";
inline constexpr const char* kILImageCoderEncodeMaxPixelSize = "encodeMaxPixelSize";
inline constexpr const char* kILImageCoderEncodeToHDR = "encodeToHDR";
inline constexpr const char* kILImageCoderEncodeMaxFileSize = "encodeMaxFileSize";
inline constexpr const char* kILImageCoderEncodeEmbedThumbnail = "encodeEmbedThumbnail";

Value ILImageCoderSizeValue(CGSize size);
// Zero for a missing or malformed value.
CGSize ILImageCoderSizeFromValue(const Value* value);

// Readers over an options map (a null or non-map Value reads as empty).
double ILImageCoderOptionDouble(const Value& options, const char* key, double fallback);
bool ILImageCoderOptionBool(const Value& options, const char* key, bool fallback);
uint64_t ILImageCoderOptionUnsigned(const Value& options, const char* key, uint64_t fallback);
CGSize ILImageCoderOptionSize(const Value& options, const char* key);
// "decodeScaleFactor" with values below 1 (and missing ones) read as 1.
double ILImageCoderOptionScale(const Value& options);
// A copy of the map with one key set.
Value ILImageCoderOptionsSetting(const Value& options, const char* key, Value value);
