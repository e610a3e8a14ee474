// The coders manager's one-shot decode and the animated image class over
// hostile bytes; the first byte chooses decode options.
#include <cstdint>

#include "image_loading/animated/ILAnimatedImage.h"
#include "image_loading/coders/ILImageCoderOptions.h"
#include "image_loading/coders/ILImageCodersManager.h"
#include "platform/foundation/Value.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const uint8_t flags = data[0];
  NSDataPtr bytes = NSData::dataWithBytes(data + 1, size - 1);
  ValueMap options;
  if (flags & 1) ValueMapSet(options, Value(kILImageCoderDecodeFirstFrameOnly), Value(true));
  if (flags & 2) {
    ValueMapSet(options, Value(kILImageCoderDecodeThumbnailPixelSize),
                ILImageCoderSizeValue({double(flags % 17 + 1), double(flags % 5 + 1)}));
  }
  if (flags & 4) ValueMapSet(options, Value(kILImageCoderDecodeScaleDownLimitBytes), Value::integer(4096));
  if (flags & 8) ValueMapSet(options, Value(kILImageCoderDecodeUseLazyDecoding), Value(false));
  ILImageCodersManager::sharedManager()->decodedImageWithData(bytes, Value(options));
  if (flags & 16) {
    if (auto image = ILAnimatedImage::imageWithData(bytes, 1, Value(options))) {
      const uint64_t count = image->animatedImageFrameCount();
      for (uint64_t i = 0; i < count && i < 4; ++i) image->animatedImageFrameAtIndex(i);
    }
  }
  return 0;
}
