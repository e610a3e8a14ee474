#pragma once

// Redrawing images read from files into fresh bitmaps before they are cached
// and shown, so the page never decodes on the main thread. Images whose
// pixels exceed 60 MiB are not redrawn whole but downsized tile by tile to
// about 15 Mi pixels, keeping the peak memory near one tile plus the result.

#include <memory>

class UIImage;

// The image redrawn at its own pixel size, scale and orientation; the input
// itself when it has no bitmap or nothing can be drawn; nullptr when its
// bitmap's pixels cannot be made (here and below).
std::shared_ptr<UIImage> decodedImage(const std::shared_ptr<UIImage>& image);

// The image reduced to about 15 x 2^20 pixels (the same factor on both
// sides), drawn in tiles of about 5 x 2^20 source pixels; scale 1, shown
// upright. The input when a step fails or the image is too wide to tile.
std::shared_ptr<UIImage> downsizedLargeImage(const std::shared_ptr<UIImage>& image);
