#pragma once

// Short entry points between data and images through the shared coders
// manager (the UIImage categories MultiFormat, ForceDecode and GIF).

#include <memory>

#include "image_loading/coders/ILImageFormat.h"
#include "platform/foundation/NSData.h"

class UIImage;
using UIImagePtr = std::shared_ptr<UIImage>;

// Scales below 1 count as 1; nullptr for null or undecodable data.
UIImagePtr il_imageWithData(const NSDataPtr& data, double scale = 1, bool firstFrameOnly = false);
// The image encoded in its own format.
NSDataPtr il_imageData(const UIImagePtr& image);
NSDataPtr il_imageDataAsFormat(const UIImagePtr& image, ILImageFormatCode format,
                               double compressionQuality = 1.0, bool firstFrameOnly = false);

// nullptr for an image whose pixels cannot be made.
UIImagePtr il_decodedImageWithImage(const UIImagePtr& image);
// Limit 0: the coder helper's default limit. nullptr as above.
UIImagePtr il_decodedAndScaledDownImageWithImage(const UIImagePtr& image, uint64_t limitBytes = 0);

UIImagePtr il_imageWithGIFData(const NSDataPtr& data);
