// Bitmaps: the whole decoder is ours.
#include "ImageFuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const uint8_t kMagic[] = {'B', 'M'};
  return FuzzImageBytes(data, size, kMagic, sizeof kMagic);
}
