#pragma once

// Image format codes and their detection from the leading bytes of image
// data (the NSData(ImageContentType) category): pure functions, no state,
// callable from any thread.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/foundation/NSData.h"

using ILImageFormatCode = int64_t;

inline constexpr ILImageFormatCode ILImageFormatUndefined = -1;
inline constexpr ILImageFormatCode ILImageFormatJPEG = 0;
inline constexpr ILImageFormatCode ILImageFormatPNG = 1;
inline constexpr ILImageFormatCode ILImageFormatGIF = 2;
inline constexpr ILImageFormatCode ILImageFormatTIFF = 3;
inline constexpr ILImageFormatCode ILImageFormatWebP = 4;
inline constexpr ILImageFormatCode ILImageFormatHEIC = 5;
inline constexpr ILImageFormatCode ILImageFormatHEIF = 6;
inline constexpr ILImageFormatCode ILImageFormatPDF = 7;
inline constexpr ILImageFormatCode ILImageFormatSVG = 8;
inline constexpr ILImageFormatCode ILImageFormatBMP = 9;
inline constexpr ILImageFormatCode ILImageFormatRAW = 10;

// The format of the data's leading bytes (SVG from its tail); -1 for nil,
// empty or unrecognised data. RAW is never answered from data.
ILImageFormatCode il_imageFormatForImageData(const NSDataPtr& data);
ILImageFormatCode il_imageFormatForImageBytes(const uint8_t* bytes, size_t length);
// The type identifier of a code; "public.image" for -1 and unknown codes.
std::string il_UTTypeFromImageFormat(ILImageFormatCode format);
// The code of a type identifier: exact match first, then conformance to the
// camera-raw type; -1 for nil or anything else.
ILImageFormatCode il_imageFormatFromUTType(const std::optional<std::string>& uti);
