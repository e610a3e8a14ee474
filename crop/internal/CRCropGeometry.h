#pragma once

// Small helpers the crop screen's geometry shares.

#include <cmath>

#include "platform/coregraphics/CGGeometry.h"

class UIImage;

// Whole points as the platform rounds them: through a 32-bit float.
inline double CRFloor(double v) { return std::floor(static_cast<float>(v)); }
inline double CRCeil(double v) { return std::ceil(static_cast<float>(v)); }
inline double CRRound(double v) { return std::round(static_cast<float>(v)); }

// Stops the process for a missing image or one without pixels to crop: a
// zero width or height would turn every fit and zoom into inf or NaN.
void CRRequireCroppableImage(const UIImage* image);
