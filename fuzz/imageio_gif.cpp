// GIF: our block index and compositing around giflib's LZW decoding.
#include "ImageFuzzSupport.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const uint8_t kMagic[] = {'G', 'I', 'F', '8', '9', 'a'};
  return FuzzImageBytes(data, size, kMagic, sizeof kMagic);
}
