#pragma once

// Image helpers of the file picker (not used by its request paths).

#include <optional>
#include <string>

#include "platform/foundation/NSURL.h"
#include "platform/foundation/Value.h"
#include "platform/uikit/UIImage.h"

class ImageUtils {
 public:
  // True when the bitmap's alpha is premultiplied or straight, first or last.
  static bool hasAlpha(const UIImagePtr& image);
  // The image as a PNG (with alpha) or a quality 1.0 JPEG (without) in a new
  // file of the temporary directory; its file URL, nullptr on failure.
  static NSURLPtr saveTmpImage(const UIImagePtr& image);
  // The properties of the first image of the data; null when there is none.
  static Value getMetaDataFromImageData(const Bytes& data);
  // The first image of the data re-encoded in its own type with `metadata`
  // as its properties; nullopt without a source, a type or a destination.
  static std::optional<Bytes> imageFromImage(const Bytes& data, const Value& metadata);
};
