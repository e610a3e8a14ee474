// Progressive decoding of hostile bytes split into chunks at points the input
// chooses: the first byte is the number of splits, the next bytes their
// positions; the rest is the image data, fed to the static coder and to the
// animated coder of its format.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "image_loading/coders/ILImageIOAnimatedCoder.h"
#include "image_loading/coders/ILImageIOCoder.h"
#include "platform/foundation/Value.h"

namespace {

void feed(ILProgressiveImageCoder& coder, const std::vector<uint8_t>& image,
          const std::vector<size_t>& splits) {
  for (size_t end : splits) {
    coder.updateIncrementalData(NSData::dataWithBytes(image.data(), end), false);
    coder.incrementalDecodedImageWithOptions(Value());
  }
  coder.updateIncrementalData(NSData::dataWithBytes(image.data(), image.size()), true);
  coder.incrementalDecodedImageWithOptions(Value());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t count = std::min<size_t>(data[0] % 8, size - 1);
  const std::vector<uint8_t> image(data + 1 + count, data + size);
  if (image.empty()) return 0;
  std::vector<size_t> splits;
  for (size_t i = 0; i < count; ++i) splits.push_back(data[1 + i] * image.size() / 256);
  std::sort(splits.begin(), splits.end());
  auto still = ILImageIOCoder::sharedCoder()->initIncrementalWithOptions(Value());
  feed(*still, image, splits);
  NSDataPtr whole = NSData::dataWithBytes(image.data(), image.size());
  for (std::shared_ptr<ILImageIOAnimatedCoder> prototype :
       {std::shared_ptr<ILImageIOAnimatedCoder>(ILImageGIFCoder::sharedCoder()),
        std::shared_ptr<ILImageIOAnimatedCoder>(ILImageAPNGCoder::sharedCoder()),
        std::shared_ptr<ILImageIOAnimatedCoder>(ILImageAWebPCoder::sharedCoder())}) {
    if (!prototype->canIncrementalDecodeFromData(whole)) continue;
    auto animated = prototype->initIncrementalWithOptions(Value());
    feed(*animated, image, splits);
    auto provider = std::dynamic_pointer_cast<ILImageIOAnimatedCoder>(animated);
    for (uint64_t i = 0; i < std::min<uint64_t>(provider->animatedImageFrameCount(), 3); ++i) {
      provider->animatedImageFrameAtIndex(i);
    }
  }
  return 0;
}
