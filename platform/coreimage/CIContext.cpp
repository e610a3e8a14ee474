#include "CIContext.h"

#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/ImageIOProperties.h"

std::shared_ptr<CIContext> CIContext::context() { return std::make_shared<CIContext>(); }

CGImageRef CIContext::createCGImage(const CIImageRef& image, CGRect fromRect) const {
  if (!image || CGRectIsInfinite(fromRect)) return nullptr;
  if (image->cgImage() && CGRectEqualToRect(CGRectIntegral(fromRect), image->extent())) {
    return image->cgImage();
  }
  return image->imageByCroppingToRect(fromRect)->cgImage();
}

NSDataPtr CIContext::JPEGRepresentationOfImage(const CIImageRef& image, const std::string&,
                                               const Value& options) const {
  if (!image || !image->cgImage()) return nullptr;
  auto data = std::make_shared<Bytes>();
  auto dest = CGImageDestinationCreateWithData(data, "public.jpeg", 1);
  ValueMap props;
  for (const char* key :
       {kCGImagePropertyOrientation, kCGImagePropertyTIFFDictionary, kCGImagePropertyExifDictionary,
        kCGImagePropertyGPSDictionary, kCGImagePropertyDPIWidth, kCGImagePropertyDPIHeight}) {
    if (const Value* v = image->properties().find(key)) ValueMapSet(props, key, *v);
  }
  if (const Value* q = options.find(kCGImageDestinationLossyCompressionQuality)) {
    ValueMapSet(props, kCGImageDestinationLossyCompressionQuality, *q);
  }
  CGImageDestinationAddImage(dest, image->cgImage(), Value(std::move(props)));
  if (!CGImageDestinationFinalize(dest)) return nullptr;
  return NSData::dataWithBytes(std::move(*data));
}
