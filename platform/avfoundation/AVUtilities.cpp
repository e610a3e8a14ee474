#include "platform/avfoundation/AVUtilities.h"

#include <cmath>

CGRect AVMakeRectWithAspectRatioInsideRect(CGSize aspectRatio, CGRect boundingRect) {
  CGRect box = CGRectStandardize(boundingRect);
  CGPoint centre{box.origin.x + box.size.width / 2, box.origin.y + box.size.height / 2};
  if (!(aspectRatio.width > 0) || !(aspectRatio.height > 0) || !(box.size.width > 0) ||
      !(box.size.height > 0)) {
    return CGRectMake(centre.x, centre.y, 0, 0);
  }
  double scale = std::min(box.size.width / aspectRatio.width, box.size.height / aspectRatio.height);
  double w = aspectRatio.width * scale, h = aspectRatio.height * scale;
  return CGRectMake(centre.x - w / 2, centre.y - h / 2, w, h);
}
