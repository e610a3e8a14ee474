// QR detection: the input as an image file, and as raw grey pixels (the
// first byte is the width less one), so ZBar sees hostile pixels directly.
#include <cstddef>
#include <cstdint>

#include "platform/coreimage/CIDetector.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto detector = CIDetector::detectorOfType(CIDetectorTypeQRCode, nullptr);
  if (auto image = CIImage::imageWithData(NSData::dataWithBytes(Bytes(data, data + size)))) {
    detector->featuresInImage(image);
  }
  if (size < 2) return 0;
  const size_t width = size_t(data[0]) + 1, height = (size - 1) / width;
  if (height == 0) return 0;
  auto pixels = std::make_shared<Bytes>(width * height * 4, 255);
  for (size_t i = 0; i < width * height; ++i) {
    (*pixels)[i * 4] = (*pixels)[i * 4 + 1] = (*pixels)[i * 4 + 2] = data[1 + i];
  }
  auto bitmap =
      CGImage::create(width, height, 8, 32, width * 4, kCGImageAlphaNoneSkipLast, pixels);
  detector->featuresInImage(CIImage::imageWithCGImage(bitmap));
  return 0;
}
