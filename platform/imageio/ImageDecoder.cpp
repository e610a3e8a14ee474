#include "ImageDecoder.h"

#include <cstring>

#include "platform/imageio/BMPDecoder.h"
#include "platform/imageio/GIFDecoder.h"
#include "platform/imageio/HEIFDecoder.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/imageio/JPEGDecoder.h"
#include "platform/imageio/PNGDecoder.h"
#include "platform/imageio/TIFFDecoder.h"
#include "platform/imageio/WebPDecoder.h"

std::string ImageTypeOfData(const uint8_t* d, size_t n) {
  auto starts = [&](const char* s, size_t len) { return n >= len && std::memcmp(d, s, len) == 0; };
  if (starts("\xFF\xD8\xFF", 3)) return "public.jpeg";
  if (starts("\x89PNG\r\n\x1A\n", 8)) return "public.png";
  if (starts("GIF87a", 6) || starts("GIF89a", 6)) return "com.compuserve.gif";
  if (starts("II*\0", 4) || starts("MM\0*", 4)) return "public.tiff";
  if (n >= 12 && starts("RIFF", 4) && std::memcmp(d + 8, "WEBP", 4) == 0)
    return "org.webmproject.webp";
  if (starts("BM", 2) && n >= 18) return "com.microsoft.bmp";
  return HEIFDecoder::typeOfBrands(d, n);
}

const std::vector<std::string>& ImageDecoderTypeIdentifiers() {
  static const std::vector<std::string> types = [] {
    std::vector<std::string> t = {"public.jpeg", "public.png",           "com.compuserve.gif",
                                  "public.tiff", "org.webmproject.webp", "com.microsoft.bmp"};
    if (HEIFDecoder::canDecode("public.heic")) {
      t.insert(t.end(), {"public.heic", "public.heics", "public.heif"});
    }
    if (HEIFDecoder::canDecode("public.avif")) t.push_back("public.avif");
    return t;
  }();
  return types;
}

std::unique_ptr<ImageDecoder> ImageDecoderCreate(std::shared_ptr<const Bytes> data, bool complete,
                                                 CGImageSourceStatus& status) {
  if (!data || data->empty()) {
    status = complete ? kCGImageStatusUnknownType : kCGImageStatusReadingHeader;
    return nullptr;
  }
  const std::string type = ImageTypeOfData(data->data(), data->size());
  std::unique_ptr<ImageDecoder> decoder;
  if (type == "public.jpeg")
    decoder = std::make_unique<JPEGDecoder>(data, complete);
  else if (type == "public.png")
    decoder = std::make_unique<PNGDecoder>(data, complete);
  else if (type == "com.compuserve.gif")
    decoder = std::make_unique<GIFDecoder>(data, complete);
  else if (type == "public.tiff")
    decoder = std::make_unique<TIFFDecoder>(data, complete);
  else if (type == "org.webmproject.webp")
    decoder = std::make_unique<WebPDecoder>(data, complete);
  else if (type == "com.microsoft.bmp")
    decoder = std::make_unique<BMPDecoder>(data, complete);
  else if (!type.empty() && HEIFDecoder::canDecode(type)) {
    decoder = std::make_unique<HEIFDecoder>(data, complete, type);
  }
  if (!decoder) {
    // Too few bytes to tell the type yet is not the same as an unknown type.
    status =
        !complete && data->size() < 32 ? kCGImageStatusReadingHeader : kCGImageStatusUnknownType;
    return nullptr;
  }
  status = decoder->parse();
  if (status == kCGImageStatusInvalidData || status == kCGImageStatusReadingHeader ||
      status == kCGImageStatusUnknownType) {
    return nullptr;
  }
  return decoder;
}

ValueMap ImageFrameBaseProperties(uint32_t width, uint32_t height, bool hasAlpha,
                                  const char* colorModel, int depth) {
  ValueMap props;
  ValueMapSet(props, kCGImagePropertyPixelWidth, Value::integer(width));
  ValueMapSet(props, kCGImagePropertyPixelHeight, Value::integer(height));
  ValueMapSet(props, kCGImagePropertyDepth, Value::integer(depth));
  ValueMapSet(props, kCGImagePropertyHasAlpha, hasAlpha);
  ValueMapSet(props, kCGImagePropertyColorModel, colorModel);
  return props;
}
