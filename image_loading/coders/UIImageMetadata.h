#pragma once

// The image library's per-image facts, kept with the image in its
// associated-object table (the UIImage categories ExtendedCacheData,
// ForceDecode's flag, MemoryCacheCost and Metadata). Each reads as nil, NO
// or 0 when never set. Safe from any thread.

#include <cstdint>
#include <memory>
#include <vector>

#include "image_loading/coders/ILImageFormat.h"
#include "platform/foundation/NSData.h"

class UIImage;
using UIImagePtr = std::shared_ptr<UIImage>;

// Image classes that answer some facts themselves (the animated image class
// keeps its encoded data and coder instead of a frame list).
class ILImageMetadataSource {
 public:
  virtual ~ILImageMetadataSource() = default;
  virtual bool il_isAnimated() const = 0;
  virtual uint64_t il_imageFrameCount() const = 0;
  virtual uint64_t il_imageLoopCount() const = 0;
  virtual ILImageFormatCode il_imageFormat() const = 0;
  // The cost when none was recorded with il_setMemoryCost.
  virtual uint64_t il_computedMemoryCost() const = 0;
  virtual NSDataPtr il_imageData() const = 0;
  virtual NSDataPtr il_imageDataAsFormat(ILImageFormatCode format, double compressionQuality,
                                         bool firstFrameOnly) const = 0;
};

// ExtendedCacheData: any object, held strongly.
std::shared_ptr<NSObject> il_extendedObject(const UIImage& image);
void il_setExtendedObject(UIImage& image, std::shared_ptr<NSObject> object);

bool il_isDecoded(const UIImage& image);
void il_setIsDecoded(UIImage& image, bool decoded);

// Recorded cost, else bytes per row × height of the bitmap times the number
// of distinct frames of an animated image.
uint64_t il_memoryCost(const UIImage& image);
void il_setMemoryCost(UIImage& image, uint64_t cost);

uint64_t il_imageLoopCount(const UIImage& image);
void il_setImageLoopCount(UIImage& image, uint64_t loopCount);
// 1 for a still image; consecutive repeats of one frame count once.
uint64_t il_imageFrameCount(const UIImage& image);
bool il_isAnimated(const UIImage& image);
bool il_isVector(const UIImage& image);
// Recorded format, else the format of the bitmap's source type.
ILImageFormatCode il_imageFormat(const UIImage& image);
void il_setImageFormat(UIImage& image, ILImageFormatCode format);
bool il_isIncremental(const UIImage& image);
void il_setIsIncremental(UIImage& image, bool incremental);
bool il_isTransformed(const UIImage& image);
void il_setIsTransformed(UIImage& image, bool transformed);
// A copy of the options map; null when none (or not a map) was stored.
Value il_decodeOptions(const UIImage& image);
void il_setDecodeOptions(UIImage& image, const Value& options);
// Decode options hold a thumbnail pixel size with both sides above 0.
bool il_isThumbnail(const UIImage& image);
bool il_isHighDynamicRange(const UIImage& image);

// Copies incremental, transformed, decode options, loop count, format,
// decoded flag and extended object, in that order, when both are non-null.
void ILImageCopyAssociatedState(const UIImagePtr& source, const UIImagePtr& target);
