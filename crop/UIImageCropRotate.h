#pragma once

// The CropRotate category of UIImage: the crop of an image turned by a
// quarter-turn angle, optionally cut to the ellipse inscribed in the frame.
// The frame is in the image's points, in the space of the image turned by
// the angle with the turned image's bounding box at the origin.

#include <cstdint>
#include <memory>

#include "platform/coregraphics/CGGeometry.h"

class UIImage;

// A new image as large in points as the frame, at the receiver's scale,
// orientation up; opaque unless the clip is circular or the receiver has
// alpha. Pixel-aligned crops of an upright 8-bit image at angle 0 or a
// quarter turn are copied (and masked) directly; anything else is drawn.
std::shared_ptr<UIImage> croppedImageWithFrame(const UIImage& image, CGRect frame, int64_t angle,
                                               bool circularClip);

// Whether the image's bitmap has an alpha channel (skipped alpha counts as none).
bool hasAlpha(const UIImage& image);

// The two ways to the pixels, for callers that need one in particular:
// drawing through a Core Graphics renderer works for every input;
// copying answers nullptr when the crop is not a whole-pixel quarter-turn
// copy of an upright 8-bit, 32-bit-per-pixel bitmap lying inside it.
std::shared_ptr<UIImage> CRCroppedImageByDrawing(const UIImage& image, CGRect frame,
                                                 int64_t angle, bool circularClip);
std::shared_ptr<UIImage> CRCroppedImageByCopying(const UIImage& image, CGRect frame,
                                                 int64_t angle, bool circularClip);
