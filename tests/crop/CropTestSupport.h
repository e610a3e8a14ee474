#pragma once

// Images and screens shared by the crop screen's tests.

#include <memory>

#include "platform/uikit/UIImage.h"

class UIWindow;

// A w×h-point picture at `scale` with a gradient, a grid and a disc, so that
// crops, turns and clips are easy to tell apart by eye. Opaque.
UIImagePtr CropTestPicture(double w, double h, double scale = 1);

// A phone window (375 × 667 points, no notch), key and visible.
std::shared_ptr<UIWindow> CropTestWindow();
