#include <gtest/gtest.h>

#include <set>

#include "ImageIOTestSupport.h"
#include "platform/imageio/ColorQuantizer.h"
#include "platform/imageio/ImageBitmap.h"
#include "support/TestEnvironment.h"

namespace image_bitmap_test {

using namespace imageio_test;

namespace {

// 3x2 image whose pixel (x, y) holds its own coordinates.
ImageBitmap Coordinates() {
  ImageBitmap b;
  b.allocate(3, 2);
  for (uint32_t y = 0; y < 2; ++y) {
    for (uint32_t x = 0; x < 3; ++x) {
      uint8_t* p = b.row(y) + x * 4;
      p[0] = uint8_t(x);
      p[1] = uint8_t(y);
      p[3] = 255;
    }
  }
  return b;
}

}  // namespace

using ImageBitmapTest = PlatformTest;

TEST_F(ImageBitmapTest, OrientationsTurnTheStoredImageUpright) {
  // Where the stored top-left pixel (0,0) and top-right pixel (2,0) end up,
  // by the EXIF definition of each orientation.
  struct Case {
    int orientation;
    uint32_t w, h;
    uint32_t tlX, tlY, trX, trY;
  };
  const Case cases[] = {{1, 3, 2, 0, 0, 2, 0}, {2, 3, 2, 2, 0, 0, 0}, {3, 3, 2, 2, 1, 0, 1},
                        {4, 3, 2, 0, 1, 2, 1}, {5, 2, 3, 0, 0, 0, 2}, {6, 2, 3, 1, 0, 1, 2},
                        {7, 2, 3, 1, 2, 1, 0}, {8, 2, 3, 0, 2, 0, 0}};
  for (const Case& c : cases) {
    const ImageBitmap out = ImageBitmapApplyingOrientation(Coordinates(), c.orientation);
    ASSERT_EQ(out.width, c.w) << c.orientation;
    ASSERT_EQ(out.height, c.h) << c.orientation;
    const uint8_t* tl = out.row(c.tlY) + c.tlX * 4;
    const uint8_t* tr = out.row(c.trY) + c.trX * 4;
    EXPECT_EQ(tl[0] + tl[1], 0) << c.orientation;
    EXPECT_EQ(tr[0], 2) << c.orientation;
    EXPECT_EQ(tr[1], 0) << c.orientation;
  }
}

TEST_F(ImageBitmapTest, ResizingAveragesAreasAndIgnoresTransparentColour) {
  // Left half white, right half black: halving gives pure columns, a 1-pixel
  // result the average.
  ImageBitmap b = Solid(4, 2, 255, 255, 255);
  for (uint32_t y = 0; y < 2; ++y) {
    for (uint32_t x = 2; x < 4; ++x) std::fill_n(b.row(y) + x * 4, 3, 0);
  }
  const ImageBitmap half = ImageBitmapResized(b, 2, 1);
  EXPECT_EQ(half.row(0)[0], 255);
  EXPECT_EQ(half.row(0)[4], 0);
  EXPECT_EQ(ImageBitmapResized(b, 1, 1).row(0)[0], 128);
  // A fully transparent red pixel next to opaque blue does not tint it.
  ImageBitmap mixed = Solid(2, 1, 0, 0, 255);
  mixed.row(0)[0] = 255;
  mixed.row(0)[2] = 0;
  mixed.row(0)[3] = 0;
  const ImageBitmap one = ImageBitmapResized(mixed, 1, 1);
  EXPECT_EQ(one.row(0)[0], 0);
  EXPECT_EQ(one.row(0)[2], 255);
  EXPECT_EQ(one.row(0)[3], 128);
  uint32_t w = 0, h = 0;
  ImageBitmapFitSize(400, 200, 100, w, h);
  EXPECT_EQ(w, 100u);
  EXPECT_EQ(h, 50u);
  ImageBitmapFitSize(50, 20, 100, w, h);
  EXPECT_EQ(w, 50u);
  ImageBitmapFitSize(1000, 1, 10, w, h);
  EXPECT_EQ(h, 1u);
}

TEST_F(ImageBitmapTest, QuantiserKeepsFewColoursAndBoundsTheErrorOfMany) {
  const ImageBitmap many = Pattern(64, 64, false);
  std::set<uint32_t> distinct;
  for (size_t i = 0; i < many.pixels.size(); i += 4) {
    distinct.insert((many.pixels[i] << 16) | (many.pixels[i + 1] << 8) | many.pixels[i + 2]);
  }
  ASSERT_GT(distinct.size(), 256u);
  const QuantizedImage q = ColorQuantize(many);
  EXPECT_LE(q.palette.size(), 256u * 3);
  EXPECT_EQ(q.transparentIndex, -1);
  double error = 0;
  for (size_t i = 0; i < q.indices.size(); ++i) {
    for (int c = 0; c < 3; ++c)
      error += std::abs(q.palette[q.indices[i] * 3 + c] - many.pixels[i * 4 + c]);
  }
  EXPECT_LT(error / (q.indices.size() * 3), 8.0);
  // Transparency gets its own entry after the colours.
  const QuantizedImage clear = ColorQuantize(Solid(3, 3, 9, 9, 9, 0));
  EXPECT_EQ(clear.transparentIndex, 1);
  EXPECT_EQ(clear.indices[4], 1);
}

TEST_F(ImageBitmapTest, CGImagesOfEveryLayoutBecomeStraightRGBA) {
  // One pixel of straight (250, 100, 50) at alpha 51, premultiplied (50, 20, 10).
  auto convert = [](uint32_t info, Bytes bytes, size_t bitsPerPixel = 32) {
    const size_t bpp = bitsPerPixel / 8;
    // Two pixels a row and a padded row, so rows are read at their own stride.
    Bytes rows(2 * (2 * bpp + 4), 0);
    for (size_t row = 0; row < 2; ++row) {
      for (size_t x = 0; x < 2; ++x) {
        std::copy(bytes.begin(), bytes.end(), rows.begin() + long(row * (2 * bpp + 4) + x * bpp));
      }
    }
    auto image = CGImage::create(2, 2, 8, bitsPerPixel, 2 * bpp + 4, info,
                                 std::make_shared<const Bytes>(rows));
    ImageBitmap out;
    EXPECT_TRUE(ImageBitmapFromCGImage(image, out));
    EXPECT_EQ(out.width, 2u);
    EXPECT_EQ(out.pixels.size(), 16u);
    // Every pixel alike.
    for (size_t i = 4; i < out.pixels.size(); ++i) EXPECT_EQ(out.pixels[i], out.pixels[i % 4]);
    return std::make_pair(Bytes(out.pixels.begin(), out.pixels.begin() + 4), out.hasAlpha);
  };
  using Result = std::pair<Bytes, bool>;
  const Result straight{{250, 100, 50, 51}, true};
  EXPECT_EQ(convert(kCGImageAlphaLast, {250, 100, 50, 51}), straight);
  EXPECT_EQ(convert(kCGImageAlphaPremultipliedLast, {50, 20, 10, 51}), straight);
  EXPECT_EQ(convert(kCGImageAlphaPremultipliedFirst, {51, 50, 20, 10}), straight);
  EXPECT_EQ(convert(kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Little,
                    {10, 20, 50, 51}),
            straight);
  EXPECT_EQ(convert(kCGImageAlphaFirst | kCGBitmapByteOrder32Little, {50, 100, 250, 51}),
            straight);
  // Without alpha the padding byte is not kept, whatever it holds.
  const Result opaque{{200, 100, 50, 255}, false};
  EXPECT_EQ(convert(kCGImageAlphaNoneSkipLast, {200, 100, 50, 7}), opaque);
  EXPECT_EQ(convert(kCGImageAlphaNoneSkipFirst, {7, 200, 100, 50}), opaque);
  EXPECT_EQ(convert(kCGImageAlphaNone, {200, 100, 50}, 24), opaque);
  // Only-alpha images and missing images are refused.
  ImageBitmap out;
  EXPECT_FALSE(ImageBitmapFromCGImage(
      CGImage::create(1, 1, 8, 32, 4, kCGImageAlphaOnly, std::make_shared<const Bytes>(4)), out));
  EXPECT_FALSE(ImageBitmapFromCGImage(nullptr, out));
}

}  // namespace image_bitmap_test
