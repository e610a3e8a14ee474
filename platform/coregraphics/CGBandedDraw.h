#pragma once

// The one tiled downscaler: a large image drawn smaller into a context a
// band of full-width source rows at a time, so that only one band of the
// source is decoded at once (a lazy image decodes just the rows asked for)
// and the peak memory stays near one band plus the destination.

#include <cstddef>

#include "platform/coregraphics/CGContext.h"
#include "platform/coregraphics/CGImage.h"

// Fills the rectangle (0, 0, destWidth, destHeight) of the context's user
// space, y up, with `image` scaled by `scale` (destination pixels per source
// pixel), in bands of `bandRows` source rows (at least 1; a fractional
// height keeps each band at its exact row). Bands reach two destination rows
// into the next one so that no seam shows between them; the first band
// starts at the image's first row and the last one ends at its last row.
void CGContextDrawImageInBands(const CGContextRef& context, const CGImageRef& image,
                               size_t destWidth, size_t destHeight, double scale, double bandRows);
