#pragma once

#include "platform/coregraphics/CGGeometry.h"

// The largest rectangle of the aspect ratio of `aspectRatio` that fits inside
// `boundingRect`, centred in it. A ratio with a zero or negative side, or an
// empty bounding rectangle, gives a rectangle of zero size at the centre.
CGRect AVMakeRectWithAspectRatioInsideRect(CGSize aspectRatio, CGRect boundingRect);
