// Animated PNG: the chunk parser, frame re-wrapping and compositing are ours.
#include "ImageFuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const uint8_t kMagic[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  return FuzzImageBytes(data, size, kMagic, sizeof kMagic);
}
