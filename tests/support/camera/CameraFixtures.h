#pragma once

// Sources for the camera tests, written with the real media libraries.
// The pictures encode where each pixel is: red grows to the right, green
// downwards, and blue tells the frame (frame i has blue 40 + 60 * i, mod 256).

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "platform/coregraphics/CGImage.h"

namespace camera_test {

// The RGBA pattern of frame `index` at width x height.
CGImageRef PatternFrame(int width, int height, int index);
// The frame index a blue value shows, or -1.
int FrameOfBlue(int blue);

// Sizes whose rows are no multiple of the vectors libswscale stores (4 to 16
// pixels): the camera's and a phone video's portrait sizes, odd ones, one pixel.
struct FrameSize {
  int width, height;
};
inline constexpr FrameSize kUnalignedFrameSizes[] = {
    {120, 160}, {360, 640}, {30, 20}, {1, 1}, {17, 9}};

// An MJPEG clip of `frames` frames at `fps`, in the container its name's extension
// says (".avi", ".mov"); false when writing failed. A `rotation` (clockwise
// degrees, in a container that keeps one) is shown when the clip is played.
bool WriteClip(const std::string& path, int width, int height, int frames, int fps,
               int rotation = 0);
// One JPEG still of frame 0 (through the image library).
bool WriteStill(const std::string& path, int width, int height, int quality = 90);

// The straight RGBA pixel at (x, y) of an image.
struct RGBA {
  int r, g, b, a;
};
RGBA PixelAt(const CGImageRef& image, int x, int y);

// Whether `image` is width x height and shows frame `index` of the pattern at
// its corners and centre, each component within `tolerance` (the clips' 4:2:0
// chroma shares one sample between rows, a whole step of the gradient apart
// in a picture 9 rows high).
testing::AssertionResult ShowsPattern(const CGImageRef& image, int width, int height, int index,
                                      int tolerance = 32);

}  // namespace camera_test
