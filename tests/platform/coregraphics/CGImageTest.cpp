#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

#include "platform/coregraphics/CGBandedDraw.h"
#include "platform/coregraphics/CGContext.h"
#include "platform/coregraphics/CGDataProvider.h"
#include "platform/coregraphics/CGImage.h"
#include "platform/coregraphics/CGPixelLayout.h"
#include "support/TestEnvironment.h"

namespace cg_image_test {

namespace {

std::shared_ptr<const Bytes> rampPixels(size_t w, size_t h, size_t rowBytes) {
  auto bytes = std::make_shared<Bytes>(rowBytes * h, 0);
  for (size_t y = 0; y < h; ++y)
    for (size_t x = 0; x < w; ++x) {
      uint8_t* p = bytes->data() + y * rowBytes + x * 4;
      p[0] = static_cast<uint8_t>(x);
      p[1] = static_cast<uint8_t>(y);
      p[2] = 7;
      p[3] = 255;
    }
  return bytes;
}

using CGImageTest = PlatformTest;

TEST_F(CGImageTest, CreateValidatesGeometryAndBuffer) {
  auto ok = CGImage::create(4, 3, 8, 32, 20, kCGImageAlphaPremultipliedLast, rampPixels(4, 3, 20));
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->width(), 4u);
  EXPECT_EQ(ok->bytesPerRow(), 20u);
  EXPECT_EQ(ok->alphaInfo(), kCGImageAlphaPremultipliedLast);
  EXPECT_EQ(ok->byteOrder(), kCGBitmapByteOrderDefault);
  EXPECT_FALSE(ok->isLazy());
  // Rows shorter than a pixel row, a short buffer, zero sizes: refused.
  EXPECT_FALSE(CGImage::create(4, 3, 8, 32, 12, 1, rampPixels(4, 3, 20)));
  EXPECT_FALSE(CGImage::create(4, 4, 8, 32, 20, 1, rampPixels(4, 3, 20)));
  EXPECT_FALSE(CGImage::create(0, 3, 8, 32, 20, 1, rampPixels(4, 3, 20)));
  EXPECT_FALSE(CGImage::create(4, 3, 8, 32, 16, 1, nullptr));
  // The last row may stop at its last pixel.
  auto tight = std::make_shared<Bytes>(20 * 2 + 16);
  EXPECT_TRUE(CGImage::create(4, 3, 8, 32, 20, 1, tight));
  auto bgra =
      CGImage::create(4, 3, 8, 32, 16, kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Little,
                      rampPixels(4, 3, 16));
  EXPECT_EQ(bgra->alphaInfo(), kCGImageAlphaPremultipliedFirst);
  EXPECT_EQ(bgra->byteOrder(), kCGBitmapByteOrder32Little);
}

TEST_F(CGImageTest, LazyProviderRunsOnceAcrossThreadsAndDescriptionTracksIt) {
  std::atomic<int> calls{0};
  auto image = CGImage::createLazy(8, 8, 8, 32, 32, kCGImageAlphaNoneSkipLast, [&] {
    ++calls;
    return rampPixels(8, 8, 32);
  });
  ASSERT_TRUE(image);
  EXPECT_TRUE(image->isLazy());
  EXPECT_NE(image->description().find("(IP)"), std::string::npos);
  std::vector<std::thread> threads;
  std::vector<std::shared_ptr<const Bytes>> seen(4);
  for (int i = 0; i < 4; ++i) threads.emplace_back([&, i] { seen[i] = image->pixelData(); });
  for (auto& t : threads) t.join();
  EXPECT_EQ(calls.load(), 1);
  for (auto& s : seen) EXPECT_EQ(s.get(), seen[0].get());
  EXPECT_FALSE(image->isLazy());
  std::string first = image->description().substr(0, image->description().find('\n'));
  EXPECT_NE(first.find("(DP)"), std::string::npos);
  EXPECT_EQ((*image->pixelData())[9 * 4 + 0], 1);  // pixel (1,1)
}

TEST_F(CGImageTest, AFailedProviderLeavesNoPixelsForGoodAndEveryReaderSeesNone) {
  // A provider that fails, or hands out one byte less than the bitmap needs,
  // leaves no pixels: nothing of the image's size stands in for them. At
  // exactly the bytes needed the pixels are taken.
  const size_t needed = CGImage::requiredBytes(3, 32, 4, 20);
  struct Case {
    const char* name;
    std::function<std::shared_ptr<const Bytes>()> provider;
    bool hasPixels;
  };
  const std::vector<Case> cases = {
      {"null", [] { return std::shared_ptr<const Bytes>(); }, false},
      {"empty", [] { return std::make_shared<const Bytes>(); }, false},
      {"one byte short", [&] { return std::make_shared<const Bytes>(needed - 1, 9); }, false},
      {"exactly enough", [&] { return std::make_shared<const Bytes>(needed, 9); }, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::atomic<int> calls{0};
    auto image = CGImage::createLazy(4, 3, 8, 32, 20, kCGImageAlphaPremultipliedLast, [&] {
      ++calls;
      return c.provider();
    });
    ASSERT_TRUE(image);
    EXPECT_FALSE(image->hasNoPixels());  // not asked yet
    std::vector<std::thread> threads;
    std::vector<std::shared_ptr<const Bytes>> seen(4);
    for (int i = 0; i < 4; ++i) threads.emplace_back([&, i] { seen[i] = image->pixelData(); });
    for (auto& t : threads) t.join();
    for (auto& s : seen) EXPECT_EQ(s != nullptr, c.hasPixels);
    // Once failed, failed for good: the provider is never asked again.
    EXPECT_EQ(image->pixelData() != nullptr, c.hasPixels);
    EXPECT_EQ(calls.load(), 1);
    EXPECT_FALSE(image->isLazy());
    EXPECT_EQ(image->hasNoPixels(), !c.hasPixels);
    EXPECT_EQ(CGImageCopyPremultipliedRGBA(*image) != nullptr, c.hasPixels);
    EXPECT_EQ(CGPixelSource::of(*image).layout.valid, c.hasPixels);
    EXPECT_EQ(CGDataProviderCopyData(CGImageGetDataProvider(image)) != nullptr, c.hasPixels);
    // A cut of it, and a bitmap made over its data provider, have nothing either.
    EXPECT_EQ(CGImageCreateWithImageInRect(image, CGRectMake(1, 1, 2, 2)) != nullptr, c.hasPixels);
    EXPECT_EQ(CGImageCreate(4, 3, 8, 32, 20, nullptr, kCGImageAlphaPremultipliedLast,
                            CGImageGetDataProvider(image), nullptr, true,
                            kCGRenderingIntentDefault) != nullptr,
              c.hasPixels);
  }
}

TEST_F(CGImageTest, BitmapsMadeFromAFailingImageBeforeItsDecodeHaveNoPixelsEither) {
  std::atomic<int> calls{0};
  auto failing = [&] {
    return CGImage::createLazy(40, 30, 8, 32, 160, kCGImageAlphaPremultipliedLast, [&] {
      ++calls;
      return std::shared_ptr<const Bytes>();
    });
  };
  // Cut while lazy: the cut stays lazy, and its decode finds nothing.
  auto image = failing();
  auto cut = CGImageCreateWithImageInRect(image, CGRectMake(2, 3, 10, 10));
  ASSERT_TRUE(cut && cut->isLazy());
  EXPECT_FALSE(cut->pixelData());
  EXPECT_TRUE(image->hasNoPixels() && cut->hasNoPixels());
  // A bitmap over the lazy image's data provider shares its failure.
  auto other = failing();
  auto shared = CGImageCreate(40, 30, 8, 32, 160, nullptr, kCGImageAlphaPremultipliedLast,
                              CGImageGetDataProvider(other), nullptr, true,
                              kCGRenderingIntentDefault);
  ASSERT_TRUE(shared && shared->isLazy());
  EXPECT_FALSE(shared->pixelData());
  EXPECT_EQ(calls.load(), 2);  // one decode per image, whoever reads it
}

TEST_F(CGImageTest, DrawingAnImageWithoutPixelsDrawsNothing) {
  auto canvas = CGBitmapContextCreate(nullptr, 16, 16, 8, 64, CGColorSpaceCreateDeviceRGB(),
                                      kCGImageAlphaPremultipliedLast);
  ASSERT_TRUE(canvas);
  CGContextSetRGBFillColor(canvas, 0, 0, 1, 1);
  CGContextFillRect(canvas, CGRectMake(0, 0, 16, 16));
  const auto* pixels = static_cast<const uint8_t*>(CGBitmapContextGetData(canvas));
  const Bytes before(pixels, pixels + 16 * 64);
  std::atomic<int> calls{0};
  auto image = CGImage::createLazy(64, 64, 8, 32, 256, kCGImageAlphaPremultipliedLast, [&] {
    ++calls;
    return std::shared_ptr<const Bytes>();
  });
  // Whole, in bands (each band a cut of the image), and scaled: nothing
  // changes, and the failed decode is not tried again band after band.
  CGContextDrawImage(canvas, CGRectMake(0, 0, 16, 16), image);
  CGContextDrawImageInBands(canvas, image, 16, 16, 0.25, 8);
  auto banded = CGImage::createLazy(64, 64, 8, 32, 256, kCGImageAlphaPremultipliedLast, [&] {
    ++calls;
    return std::shared_ptr<const Bytes>();
  });
  CGContextDrawImageInBands(canvas, banded, 16, 16, 0.25, 8);
  EXPECT_EQ(calls.load(), 2);
  EXPECT_EQ(Bytes(pixels, pixels + 16 * 64), before);
}

TEST_F(CGImageTest, SubImageCopiesTheRectAndKeepsLaziness) {
  auto image = CGImage::create(4, 3, 8, 32, 20, 1, rampPixels(4, 3, 20));
  image->setUTType("public.png");
  auto sub = CGImageCreateWithImageInRect(image, CGRectMake(1.5, 1, 2, 5));
  ASSERT_TRUE(sub);
  // Made integral (1..4) and clipped to the image (rows 1..2).
  EXPECT_EQ(sub->width(), 3u);
  EXPECT_EQ(sub->height(), 2u);
  const Bytes& p = *sub->pixelData();
  EXPECT_EQ(p[0], 1);
  EXPECT_EQ(p[1], 1);
  EXPECT_EQ(p[sub->bytesPerRow() + 2 * 4], 3);
  EXPECT_EQ(p[sub->bytesPerRow() + 1], 2);
  EXPECT_EQ(CGImageCreateWithImageInRect(image, CGRectMake(0, 0, 4, 3)), image);
  EXPECT_FALSE(CGImageCreateWithImageInRect(image, CGRectMake(10, 10, 2, 2)));
  EXPECT_FALSE(CGImageCreateWithImageInRect(nullptr, CGRectMake(0, 0, 1, 1)));

  auto lazy = CGImage::createLazy(4, 3, 8, 32, 20, 1, [] { return rampPixels(4, 3, 20); });
  auto lazySub = CGImageCreateWithImageInRect(lazy, CGRectMake(2, 0, 2, 2));
  EXPECT_TRUE(lazySub->isLazy());
  EXPECT_TRUE(lazy->isLazy());
  EXPECT_EQ((*lazySub->pixelData())[4], 3);
  EXPECT_FALSE(lazy->isLazy());
}

}  // namespace

}  // namespace cg_image_test
