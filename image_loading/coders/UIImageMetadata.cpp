#include "image_loading/coders/UIImageMetadata.h"

#include <unordered_set>

#include "image_loading/coders/ILImageCoderHelper.h"
#include "image_loading/coders/ILImageCoderOptions.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/foundation/Value.h"
#include "platform/uikit/UIImage.h"

namespace {

// Process-wide keys: the addresses of these statics.
const char kExtendedObjectKey = 0;
const char kDecodedKey = 0;
const char kMemoryCostKey = 0;
const char kLoopCountKey = 0;
const char kFrameCountKey = 0;
const char kFormatKey = 0;
const char kIncrementalKey = 0;
const char kTransformedKey = 0;
const char kDecodeOptionsKey = 0;

const ILImageMetadataSource* sourceOf(const UIImage& image) {
  return dynamic_cast<const ILImageMetadataSource*>(&image);
}

bool readBool(const UIImage& image, const void* key) {
  const Value v = image.associatedObject(key);
  return v.isBool() ? v.asBool() : (v.isNumber() && v.asInt64() != 0);
}

std::optional<uint64_t> readUnsigned(const UIImage& image, const void* key) {
  const Value v = image.associatedObject(key);
  if (!v.isNumber()) return std::nullopt;
  return static_cast<uint64_t>(v.asInt64());
}

bool sameFrame(const UIImagePtr& a, const UIImagePtr& b) {
  return a == b || (a && b && a->isEqual(*b));
}

uint64_t bitmapBytes(const UIImage& image) {
  const CGImageRef& bitmap = image.CGImage();
  return bitmap ? uint64_t(bitmap->bytesPerRow()) * bitmap->height() : 0;
}

}  // namespace

std::shared_ptr<NSObject> il_extendedObject(const UIImage& image) {
  const Value v = image.associatedObject(&kExtendedObjectKey);
  return v.isObject() ? v.asObject() : nullptr;
}

void il_setExtendedObject(UIImage& image, std::shared_ptr<NSObject> object) {
  image.setAssociatedObject(&kExtendedObjectKey, object ? Value(std::move(object)) : Value());
}

bool il_isDecoded(const UIImage& image) { return readBool(image, &kDecodedKey); }
void il_setIsDecoded(UIImage& image, bool decoded) {
  image.setAssociatedObject(&kDecodedKey, Value(decoded));
}

uint64_t il_memoryCost(const UIImage& image) {
  if (auto stored = readUnsigned(image, &kMemoryCostKey)) return *stored;
  if (const ILImageMetadataSource* source = sourceOf(image)) return source->il_computedMemoryCost();
  const uint64_t bytes = bitmapBytes(image);
  const auto& images = image.images();
  if (!images || images->size() < 2) return bytes;
  // Distinct frame objects, each counted once however often it repeats.
  std::unordered_set<const UIImage*> distinct;
  for (const UIImagePtr& frame : *images) distinct.insert(frame.get());
  return bytes * distinct.size();
}

void il_setMemoryCost(UIImage& image, uint64_t cost) {
  image.setAssociatedObject(&kMemoryCostKey, Value(static_cast<int64_t>(cost)));
}

uint64_t il_imageLoopCount(const UIImage& image) {
  if (const ILImageMetadataSource* source = sourceOf(image)) return source->il_imageLoopCount();
  return readUnsigned(image, &kLoopCountKey).value_or(0);
}

void il_setImageLoopCount(UIImage& image, uint64_t loopCount) {
  image.setAssociatedObject(&kLoopCountKey, Value(static_cast<int64_t>(loopCount)));
}

uint64_t il_imageFrameCount(const UIImage& image) {
  if (const ILImageMetadataSource* source = sourceOf(image)) return source->il_imageFrameCount();
  const auto& images = image.images();
  if (!images || images->size() < 2) return 1;
  if (auto stored = readUnsigned(image, &kFrameCountKey)) return *stored;
  uint64_t count = 1;
  for (size_t i = 1; i < images->size(); ++i) {
    if (!sameFrame((*images)[i], (*images)[i - 1])) ++count;
  }
  // Images never change their frames, so the count is kept once computed.
  const_cast<UIImage&>(image).setAssociatedObject(&kFrameCountKey,
                                                  Value(static_cast<int64_t>(count)));
  return count;
}

bool il_isAnimated(const UIImage& image) {
  if (const ILImageMetadataSource* source = sourceOf(image)) return source->il_isAnimated();
  return image.images().has_value();
}

bool il_isVector(const UIImage& image) {
  // Symbols are the only vector-backed images: SVG and PDF data decode to
  // bitmaps.
  return image.isSymbolImage();
}

ILImageFormatCode il_imageFormat(const UIImage& image) {
  if (const ILImageMetadataSource* source = sourceOf(image)) return source->il_imageFormat();
  const Value v = image.associatedObject(&kFormatKey);
  if (v.isNumber()) return v.asInt64();
  const std::string type = CGImageGetUTType(image.CGImage());
  return type.empty() ? ILImageFormatUndefined : il_imageFormatFromUTType(type);
}

void il_setImageFormat(UIImage& image, ILImageFormatCode format) {
  image.setAssociatedObject(&kFormatKey, Value(static_cast<int64_t>(format)));
}

bool il_isIncremental(const UIImage& image) { return readBool(image, &kIncrementalKey); }
void il_setIsIncremental(UIImage& image, bool incremental) {
  image.setAssociatedObject(&kIncrementalKey, Value(incremental));
}

bool il_isTransformed(const UIImage& image) { return readBool(image, &kTransformedKey); }
void il_setIsTransformed(UIImage& image, bool transformed) {
  image.setAssociatedObject(&kTransformedKey, Value(transformed));
}

Value il_decodeOptions(const UIImage& image) {
  Value v = image.associatedObject(&kDecodeOptionsKey);
  return v.isMap() ? v : Value();
}

void il_setDecodeOptions(UIImage& image, const Value& options) {
  // Values are immutable once wrapped, so storing the Value is a copy.
  image.setAssociatedObject(&kDecodeOptionsKey, options);
}

bool il_isThumbnail(const UIImage& image) {
  const CGSize size =
      ILImageCoderOptionSize(il_decodeOptions(image), kILImageCoderDecodeThumbnailPixelSize);
  return size.width > 0 && size.height > 0;
}

bool il_isHighDynamicRange(const UIImage& image) {
  if (NSProcessInfo::processInfo().isOperatingSystemAtLeastVersion({17, 0, 0})) {
    return image.isHighDynamicRange();
  }
  return ILImageCoderHelper::CGImageIsHDR(image.CGImage());
}

void ILImageCopyAssociatedState(const UIImagePtr& source, const UIImagePtr& target) {
  if (!source || !target) return;
  il_setIsIncremental(*target, il_isIncremental(*source));
  il_setIsTransformed(*target, il_isTransformed(*source));
  il_setDecodeOptions(*target, il_decodeOptions(*source));
  il_setImageLoopCount(*target, il_imageLoopCount(*source));
  il_setImageFormat(*target, il_imageFormat(*source));
  il_setIsDecoded(*target, il_isDecoded(*source));
  il_setExtendedObject(*target, il_extendedObject(*source));
}
