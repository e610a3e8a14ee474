#include "internal/ImageUtils.h"

#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/CGImageSource.h"

bool ImageUtils::hasAlpha(const UIImagePtr& image) {
  if (!image || !image->CGImage()) return false;
  const CGImageAlphaInfo alpha = CGImageGetAlphaInfo(image->CGImage());
  return alpha == kCGImageAlphaPremultipliedLast || alpha == kCGImageAlphaPremultipliedFirst ||
         alpha == kCGImageAlphaLast || alpha == kCGImageAlphaFirst;
}

NSURLPtr ImageUtils::saveTmpImage(const UIImagePtr& image) {
  const bool alpha = hasAlpha(image);
  NSDataPtr data = alpha ? UIImagePNGRepresentation(image) : UIImageJPEGRepresentation(image, 1.0);
  if (!data) return nullptr;
  const std::string path = NSTemporaryDirectory() + "tmp_" +
                           NSProcessInfo::processInfo().globallyUniqueString() +
                           (alpha ? ".png" : ".jpg");
  if (!NSFileManager::defaultManager()->createFileAtPath(path, data->vector())) return nullptr;
  return NSURL::fileURLWithPath(path);
}

Value ImageUtils::getMetaDataFromImageData(const Bytes& data) {
  auto source = CGImageSourceCreateWithBytes(std::make_shared<const Bytes>(data));
  if (!source) return Value();
  return CGImageSourceCopyPropertiesAtIndex(source, 0);
}

std::optional<Bytes> ImageUtils::imageFromImage(const Bytes& data, const Value& metadata) {
  auto source = CGImageSourceCreateWithBytes(std::make_shared<const Bytes>(data));
  if (!source) return std::nullopt;
  const std::string type = CGImageSourceGetType(source);
  if (type.empty()) return std::nullopt;
  auto out = std::make_shared<Bytes>();
  auto destination = CGImageDestinationCreateWithData(out, type, 1);
  if (!destination) return std::nullopt;
  CGImageDestinationAddImageFromSource(destination, source, 0, metadata);
  if (!CGImageDestinationFinalize(destination)) return std::nullopt;
  return *out;
}
