#pragma once

// What the gallery's tests share: the shipped main bundle (with the gallery's
// resource bundle) made current, and small pictures to show.

#include <memory>
#include <string>

#include "platform/coregraphics/CGImage.h"
#include "support/TestEnvironment.h"

class UIImage;

// The test environment with the repository's main bundle current.
class GalleryTest : public PlatformTest {
 protected:
  void SetUp() override;
  void TearDown() override;
};

// A width x height bitmap, opaque, whose top half is red and bottom half blue.
CGImageRef TwoBandBitmap(size_t width, size_t height);
// RGBA of one pixel of a bitmap (straight alpha), x and y from the top left.
struct Pixel {
  int r, g, b, a;
};
Pixel PixelAt(const CGImageRef& image, size_t x, size_t y);
// The image drawn upright at its pixel size.
CGImageRef RenderUpright(const std::shared_ptr<UIImage>& image);
