#pragma once

// Real image files made by the tests through the image I/O stand-in, and
// pixel readers to check what the image library makes of them.

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/coregraphics/CGImage.h"
#include "platform/foundation/NSData.h"
#include "support/TestEnvironment.h"

class UIImage;

namespace il_test {

// 8-bit straight RGBA (kCGImageAlphaLast) filled with one colour.
CGImageRef SolidImage(size_t w, size_t h, std::array<uint8_t, 4> rgba);
// Opaque quadrants: red on the left, blue on the right, green added on top.
CGImageRef PatternImage(size_t w, size_t h);
std::shared_ptr<UIImage> SolidUIImage(size_t w, size_t h, std::array<uint8_t, 4> rgba);

struct TestFrame {
  std::array<uint8_t, 4> rgba;
  double delay = 0.1;  // written as the unclamped delay; < 0 writes none
};
// A file of `type` ("com.compuserve.gif", "public.png", "org.webmproject.webp")
// with one image per frame; loopCount < 0 writes none.
NSDataPtr AnimatedFile(const char* type, const std::vector<TestFrame>& frames, size_t w = 8,
                       size_t h = 8, int64_t loopCount = 0);
NSDataPtr StillFile(const char* type, const CGImageRef& image, int64_t exifOrientation = 1,
                    double quality = 0.9);
// A one-page PDF of the given media box, filled red.
NSDataPtr PDFFile(double width, double height, int pages = 1);

// A HEIC of w x h (made through the image I/O stand-in) whose structure,
// sizes and parameter sets read as a good file's, but whose coded pictures
// (the image's, or each tile's of a grid) claim more bytes than the file
// holds: every decode of it fails. nullptr when the HEIC could not be made or its structure is
// not the one expected.
NSDataPtr UndecodableHEIC(size_t w, size_t h);

// Straight RGBA of one pixel, whatever the bitmap's layout.
std::array<uint8_t, 4> PixelAt(const CGImageRef& image, size_t x, size_t y);
bool Near(std::array<uint8_t, 4> a, std::array<uint8_t, 4> b, int tolerance = 8);

using ::RunMainLoopUntil;  // from the test environment

}  // namespace il_test
