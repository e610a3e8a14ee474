#include "image_loading/coders/UIImageMultiFormat.h"

#include <algorithm>

#include "image_loading/coders/UIImageMetadata.h"
#include "image_loading/coders/ILImageCoderHelper.h"
#include "image_loading/coders/ILImageCoderOptions.h"
#include "image_loading/coders/ILImageCodersManager.h"
#include "image_loading/coders/ILImageIOAnimatedCoder.h"
#include "platform/foundation/Value.h"
#include "platform/uikit/UIImage.h"

UIImagePtr il_imageWithData(const NSDataPtr& data, double scale, bool firstFrameOnly) {
  if (!data) return nullptr;
  const Value options = Value::map({{kILImageCoderDecodeScaleFactor, std::max(1.0, scale)},
                                    {kILImageCoderDecodeFirstFrameOnly, firstFrameOnly}});
  return ILImageCodersManager::sharedManager()->decodedImageWithData(data, options);
}

NSDataPtr il_imageData(const UIImagePtr& image) {
  if (!image) return nullptr;
  if (auto* source = dynamic_cast<const ILImageMetadataSource*>(image.get())) {
    return source->il_imageData();
  }
  return il_imageDataAsFormat(image, il_imageFormat(*image));
}

NSDataPtr il_imageDataAsFormat(const UIImagePtr& image, ILImageFormatCode format,
                               double compressionQuality, bool firstFrameOnly) {
  if (!image) return nullptr;
  if (auto* source = dynamic_cast<const ILImageMetadataSource*>(image.get())) {
    return source->il_imageDataAsFormat(format, compressionQuality, firstFrameOnly);
  }
  const Value options = Value::map({{kILImageCoderEncodeCompressionQuality, compressionQuality},
                                    {kILImageCoderEncodeFirstFrameOnly, firstFrameOnly}});
  return ILImageCodersManager::sharedManager()->encodedDataWithImage(image, format, options);
}

UIImagePtr il_decodedImageWithImage(const UIImagePtr& image) {
  return image ? ILImageCoderHelper::decodedImageWithImage(image) : nullptr;
}

UIImagePtr il_decodedAndScaledDownImageWithImage(const UIImagePtr& image, uint64_t limitBytes) {
  return image ? ILImageCoderHelper::decodedAndScaledDownImageWithImage(image, limitBytes) : nullptr;
}

UIImagePtr il_imageWithGIFData(const NSDataPtr& data) {
  if (!data) return nullptr;
  return ILImageGIFCoder::sharedCoder()->decodedImageWithData(data, Value());
}
