#include "ImageEncoder.h"

#include <cmath>

bool ImageEncode(const std::string& type, const std::vector<EncodeFrame>& frames,
                 const EncodeSettings& settings, Bytes& out) {
  out.clear();
  if (frames.empty() || frames.front().bitmap.empty()) return false;
  if (type == "public.jpeg") return EncodeJPEG(frames.front(), settings, out);
  if (type == "public.png") return EncodePNG(frames, settings, out);
  if (type == "com.compuserve.gif") return EncodeGIF(frames, settings, out);
  if (type == "org.webmproject.webp") return EncodeWebP(frames, settings, out);
  if (type == "public.tiff") return EncodeTIFF(frames, settings, out);
  if (type == "com.microsoft.bmp") return EncodeBMP(frames.front(), out);
  if ((type == "public.heic" || type == "public.heif") && HEIFCanEncode()) {
    return EncodeHEIF(frames, settings, out);
  }
  return false;
}

const std::vector<std::string>& ImageEncoderTypeIdentifiers() {
  static const std::vector<std::string> types = [] {
    std::vector<std::string> t = {"public.jpeg",          "public.png",  "com.compuserve.gif",
                                  "org.webmproject.webp", "public.tiff", "com.microsoft.bmp"};
    if (HEIFCanEncode()) t.insert(t.end(), {"public.heic", "public.heif"});
    return t;
  }();
  return types;
}

bool ImageEncoderIsLossy(const std::string& type) {
  return type == "public.jpeg" || type == "org.webmproject.webp" || type == "public.heic" ||
         type == "public.heif";
}

uint32_t EncodeDelayUnits(double seconds, double unitsPerSecond, uint32_t max) {
  const double units = std::round(seconds * unitsPerSecond);
  if (!(units > 0)) return 0;
  return units >= double(max) ? max : uint32_t(units);
}
