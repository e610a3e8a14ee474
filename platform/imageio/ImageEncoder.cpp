#include "internal/ImageEncoder.h"

#include <cmath>

namespace {

// Single-image formats take the first frame; ImageEncode has checked there is one.
bool EncodeFirstJPEG(const std::vector<EncodeFrame>& frames, const EncodeSettings& settings,
                     Bytes& out) {
  return EncodeJPEG(frames.front(), settings, out);
}

bool EncodeFirstBMP(const std::vector<EncodeFrame>& frames, const EncodeSettings&, Bytes& out) {
  return EncodeBMP(frames.front(), out);
}

const ImageEncoderDescriptor* DescriptorOf(const std::string& type) {
  for (const ImageEncoderDescriptor& d : ImageEncoderRegistry()) {
    if (type == d.type) return &d;
  }
  return nullptr;
}

bool Available(const ImageEncoderDescriptor& d) { return !d.available || d.available(); }

}  // namespace

const std::vector<ImageEncoderDescriptor>& ImageEncoderRegistry() {
  static const std::vector<ImageEncoderDescriptor> registry = {
      {"public.jpeg", true, EncodeFirstJPEG},
      {"public.png", false, EncodePNG},
      {"com.compuserve.gif", false, EncodeGIF},
      {"org.webmproject.webp", true, EncodeWebP},
      {"public.tiff", false, EncodeTIFF},
      {"com.microsoft.bmp", false, EncodeFirstBMP},
      {"public.heic", true, EncodeHEIF, HEIFCanEncode},
      {"public.heif", true, EncodeHEIF, HEIFCanEncode},
  };
  return registry;
}

bool ImageEncode(const std::string& type, const std::vector<EncodeFrame>& frames,
                 const EncodeSettings& settings, Bytes& out) {
  out.clear();
  if (frames.empty() || frames.front().bitmap.empty()) return false;
  const ImageEncoderDescriptor* d = DescriptorOf(type);
  return d && Available(*d) && d->encode(frames, settings, out);
}

const std::vector<std::string>& ImageEncoderTypeIdentifiers() {
  static const std::vector<std::string> types = [] {
    std::vector<std::string> t;
    for (const ImageEncoderDescriptor& d : ImageEncoderRegistry()) {
      if (Available(d)) t.push_back(d.type);
    }
    return t;
  }();
  return types;
}

bool ImageEncoderIsLossy(const std::string& type) {
  const ImageEncoderDescriptor* d = DescriptorOf(type);
  return d && d->lossy;
}

uint32_t EncodeDelayUnits(double seconds, double unitsPerSecond, uint32_t max) {
  const double units = std::round(seconds * unitsPerSecond);
  if (!(units > 0)) return 0;
  return units >= double(max) ? max : uint32_t(units);
}
