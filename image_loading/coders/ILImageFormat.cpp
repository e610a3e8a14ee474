#include "image_loading/coders/ILImageFormat.h"

#include <array>
#include <cstring>
#include <string_view>

#include "platform/imageio/UTType.h"

namespace {

constexpr std::array<const char*, 11> kTypes = {
    "public.jpeg",         "public.png",  "com.compuserve.gif",
    "public.tiff",         "org.webmproject.webp", "public.heic",
    "public.heif",         "com.adobe.pdf",        "public.svg-image",
    "com.microsoft.bmp",   "public.camera-raw-image"};

bool bytesEqual(const uint8_t* bytes, const char* text, size_t n) {
  return std::memcmp(bytes, text, n) == 0;
}

ILImageFormatCode riffFormat(const uint8_t* bytes, size_t length) {
  // Compared byte-wise: the size field between the two tags is binary and
  // must not spoil a text comparison.
  if (length < 12) return ILImageFormatUndefined;
  return bytesEqual(bytes, "RIFF", 4) && bytesEqual(bytes + 8, "WEBP", 4) ? ILImageFormatWebP
                                                                          : ILImageFormatUndefined;
}

ILImageFormatCode isoBoxFormat(const uint8_t* bytes, size_t length) {
  if (length < 12) return ILImageFormatUndefined;
  const std::string_view brand(reinterpret_cast<const char*>(bytes + 4), 8);
  for (const char* heic : {"ftypheic", "ftypheix", "ftyphevc", "ftyphevx"}) {
    if (brand == heic) return ILImageFormatHEIC;
  }
  if (brand == "ftypmif1" || brand == "ftypmsf1") return ILImageFormatHEIF;
  return ILImageFormatUndefined;
}

ILImageFormatCode svgFormat(const uint8_t* bytes, size_t length) {
  static constexpr std::string_view kClose = "</svg>";
  const size_t window = std::min<size_t>(100, length);
  const std::string_view tail(reinterpret_cast<const char*>(bytes + length - window), window);
  return tail.rfind(kClose) != std::string_view::npos ? ILImageFormatSVG : ILImageFormatUndefined;
}

}  // namespace

ILImageFormatCode il_imageFormatForImageBytes(const uint8_t* bytes, size_t length) {
  if (!bytes || length == 0) return ILImageFormatUndefined;
  switch (bytes[0]) {
    case 0xFF:
      return ILImageFormatJPEG;
    case 0x89:
      return ILImageFormatPNG;
    case 0x47:
      return ILImageFormatGIF;
    case 0x49:
    case 0x4D:
      return ILImageFormatTIFF;
    case 0x42:
      return ILImageFormatBMP;
    case 0x52:
      return riffFormat(bytes, length);
    case 0x00:
      return isoBoxFormat(bytes, length);
    case 0x25:
      return length >= 4 && bytesEqual(bytes + 1, "PDF", 3) ? ILImageFormatPDF
                                                             : ILImageFormatUndefined;
    case 0x3C:
      return svgFormat(bytes, length);
    default:
      return ILImageFormatUndefined;
  }
}

ILImageFormatCode il_imageFormatForImageData(const NSDataPtr& data) {
  if (!data) return ILImageFormatUndefined;
  return il_imageFormatForImageBytes(data->bytes(), data->length());
}

std::string il_UTTypeFromImageFormat(ILImageFormatCode format) {
  if (format < 0 || format >= static_cast<ILImageFormatCode>(kTypes.size())) return kUTTypeImage;
  return kTypes[static_cast<size_t>(format)];
}

ILImageFormatCode il_imageFormatFromUTType(const std::optional<std::string>& uti) {
  if (!uti) return ILImageFormatUndefined;
  for (ILImageFormatCode code = 0; code <= ILImageFormatBMP; ++code) {
    if (*uti == kTypes[static_cast<size_t>(code)]) return code;
  }
  return UTTypeConformsTo(*uti, kUTTypeRawImage) ? ILImageFormatRAW : ILImageFormatUndefined;
}
