#include <gtest/gtest.h>

#include "platform/coregraphics/CGContext.h"
#include "platform/coregraphics/CGDataProvider.h"
#include "platform/coregraphics/CGPixelLayout.h"
#include "support/TestEnvironment.h"

namespace cg_pixel_layout_test {

namespace {

Bytes convert(size_t bpc, size_t bpp, uint32_t info, Bytes pixels) {
  size_t bytesPerRow = pixels.size();  // one pixel row
  auto image = CGImage::create(bytesPerRow * 8 / bpp, 1, bpc, bpp, bytesPerRow, info,
                               std::make_shared<const Bytes>(std::move(pixels)));
  EXPECT_TRUE(image);
  auto out = image ? CGImageCopyPremultipliedRGBA(*image) : nullptr;
  return out ? *out : Bytes();
}

using CGPixelLayoutTest = PlatformTest;

TEST_F(CGPixelLayoutTest, ByteOrdersPlaceTheChannels) {
  CGPixelLayout bgra =
      CGPixelLayout::forBitmapInfo(kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Little);
  EXPECT_EQ((std::array{bgra.r, bgra.g, bgra.b, bgra.a}), (std::array{2, 1, 0, 3}));
  CGPixelLayout argb = CGPixelLayout::forBitmapInfo(kCGImageAlphaFirst);
  EXPECT_EQ((std::array{argb.r, argb.g, argb.b, argb.a}), (std::array{1, 2, 3, 0}));
  EXPECT_FALSE(argb.premultiplied);
  CGPixelLayout abgr =
      CGPixelLayout::forBitmapInfo(kCGImageAlphaNoneSkipLast | kCGBitmapByteOrder32Little);
  EXPECT_EQ((std::array{abgr.r, abgr.g, abgr.b, abgr.a}), (std::array{3, 2, 1, -1}));
  EXPECT_FALSE(CGPixelLayout::forBitmapInfo(kCGImageAlphaOnly).valid);
  EXPECT_FALSE(CGPixelLayout::forBitmapInfo(kCGImageAlphaLast | kCGBitmapFloatComponents).valid);
}

TEST_F(CGPixelLayoutTest, EveryReadableDepthConvertsToPremultipliedRGBA) {
  // 32-bit straight alpha, little-endian words: B G R A in memory.
  EXPECT_EQ(convert(8, 32, kCGImageAlphaFirst | kCGBitmapByteOrder32Little, {50, 100, 200, 128}),
            (Bytes{100, 50, 25, 128}));
  // Grey, grey + alpha (first), RGB without alpha, alpha only.
  EXPECT_EQ(convert(8, 8, kCGImageAlphaNone, {77}), (Bytes{77, 77, 77, 255}));
  EXPECT_EQ(convert(8, 16, kCGImageAlphaPremultipliedFirst, {128, 64}), (Bytes{64, 64, 64, 128}));
  EXPECT_EQ(convert(8, 24, kCGImageAlphaNone, {1, 2, 3}), (Bytes{1, 2, 3, 255}));
  EXPECT_EQ(convert(8, 8, kCGImageAlphaOnly, {200}), (Bytes{0, 0, 0, 200}));
  // 16 bits per component, big-endian unless asked otherwise.
  EXPECT_EQ(convert(16, 64, kCGImageAlphaLast, {0xFF, 0xFF, 0x80, 0x00, 0x00, 0x00, 0xFF, 0xFF}),
            (Bytes{255, 128, 0, 255}));
  EXPECT_EQ(convert(16, 16, kCGImageAlphaNone | kCGBitmapByteOrder16Little, {0x00, 0x80}),
            (Bytes{128, 128, 128, 255}));
  // Floating-point components are not read.
  auto floats = CGImage::create(1, 1, 32, 128, 16, kCGImageAlphaLast | kCGBitmapFloatComponents,
                                std::make_shared<const Bytes>(16, 0));
  EXPECT_FALSE(CGImageCopyPremultipliedRGBA(*floats));
  // ... and so draw nothing, without failing.
  auto c = CGBitmapContextCreate(nullptr, 1, 1, 8, 0, CGColorSpaceCreateDeviceRGB(),
                                 kCGImageAlphaPremultipliedLast);
  CGContextDrawImage(c, CGRectMake(0, 0, 1, 1), floats);
  EXPECT_EQ(c->data()[3], 0);
}

TEST_F(CGPixelLayoutTest, GreyImagesDrawIntoColourContexts) {
  auto grey = CGImage::create(2, 1, 8, 8, 2, kCGImageAlphaNone,
                              std::make_shared<const Bytes>(Bytes{0, 200}));
  auto c = CGBitmapContextCreate(nullptr, 2, 1, 8, 0, CGColorSpaceCreateDeviceRGB(),
                                 kCGImageAlphaPremultipliedLast);
  CGContextDrawImage(c, CGRectMake(0, 0, 2, 1), grey);
  EXPECT_EQ(c->data()[4], 200);
  EXPECT_EQ(c->data()[6], 200);
  EXPECT_EQ(c->data()[3], 255);
}

TEST_F(CGPixelLayoutTest, ProvidersShareALazyDecode) {
  int calls = 0;
  auto lazy = CGImage::createLazy(1, 1, 8, 32, 4, kCGImageAlphaLast, [&] {
    ++calls;
    return std::make_shared<const Bytes>(Bytes{10, 20, 30, 40});
  });
  auto provider = CGImageGetDataProvider(lazy);
  // Same pixels, another alpha reading, still undecoded.
  auto copy =
      CGImageCreate(1, 1, 8, 32, 4, CGImageGetColorSpace(lazy), kCGImageAlphaPremultipliedLast,
                    provider, nullptr, true, kCGRenderingIntentDefault);
  ASSERT_TRUE(copy);
  EXPECT_TRUE(copy->isLazy());
  EXPECT_EQ(calls, 0);
  EXPECT_EQ((*copy->pixelData())[3], 40);
  EXPECT_EQ((*CGDataProviderCopyData(provider))[0], 10);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(lazy->isLazy());
  EXPECT_EQ(CGColorSpaceGetName(CGImageGetColorSpace(copy)), kCGColorSpaceSRGB);
  // A provider too short for the asked geometry is refused.
  auto shortData = CGDataProviderCreateWithData(std::make_shared<const Bytes>(Bytes{1, 2}));
  EXPECT_FALSE(CGImageCreate(1, 1, 8, 32, 4, nullptr, kCGImageAlphaLast, shortData, nullptr, true,
                             kCGRenderingIntentDefault));
}

}  // namespace

}  // namespace cg_pixel_layout_test
