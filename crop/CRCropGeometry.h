#pragma once

// Small helpers the crop screen's geometry shares.

#include <cmath>

#include "platform/coregraphics/CGGeometry.h"

class UIImage;
class UIView;

// Whole points as the platform rounds them: through a 32-bit float.
inline double CRFloor(double v) { return std::floor(static_cast<float>(v)); }
inline double CRCeil(double v) { return std::ceil(static_cast<float>(v)); }

// Gives a possibly transformed view the frame as the platform does: the
// bounds take the size whose transformed box is the frame, the centre the
// frame's middle. Plain views just take the frame.
void CRSetFrameThroughTransform(UIView& view, const CGRect& frame);

// Stops the process for a missing image or one without pixels to crop: a
// zero width or height would turn every fit and zoom into inf or NaN.
void CRRequireCroppableImage(const UIImage* image);
