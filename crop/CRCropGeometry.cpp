#include "crop/internal/CRCropGeometry.h"

#include "platform/foundation/Fatal.h"
#include "platform/uikit/UIImage.h"

void CRRequireCroppableImage(const UIImage* image) {
  if (!image) FatalStop("Invalid parameter not satisfying: image");
  CGSize size = image->size();
  if (!(size.width > 0) || !(size.height > 0)) {
    FatalStop("Invalid parameter not satisfying: image.size.width > 0 && image.size.height > 0");
  }
}
