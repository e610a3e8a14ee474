#pragma once

// Sources for the camera tests, written with the real media libraries.
// The pictures encode where each pixel is: red grows to the right, green
// downwards, and blue tells the frame (frame i has blue 40 + 60 * i, mod 256).

#include <cstdint>
#include <string>

#include "platform/coregraphics/CGImage.h"

namespace camera_test {

// The RGBA pattern of frame `index` at width x height.
CGImageRef PatternFrame(int width, int height, int index);
// The frame index a blue value shows, or -1.
int FrameOfBlue(int blue);

// An MJPEG clip in AVI of `frames` frames at `fps`; false when writing failed.
bool WriteClip(const std::string& path, int width, int height, int frames, int fps);
// One JPEG still of frame 0 (through the image library).
bool WriteStill(const std::string& path, int width, int height, int quality = 90);

// The straight RGBA pixel at (x, y) of an image.
struct RGBA {
  int r, g, b, a;
};
RGBA PixelAt(const CGImageRef& image, int x, int y);

}  // namespace camera_test
