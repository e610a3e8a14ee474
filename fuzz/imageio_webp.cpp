// WebP: our use of the demuxer and the animation decoder.
#include "ImageFuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const uint8_t kMagic[] = {'R', 'I', 'F', 'F'};
  return FuzzImageBytes(data, size, kMagic, sizeof kMagic);
}
