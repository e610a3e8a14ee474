#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/coregraphics/CGImage.h"
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

TEST_F(CGImageTest, FailingProviderReadsTransparent) {
  auto image = CGImage::createLazy(2, 2, 8, 32, 8, 1, [] { return nullptr; });
  auto data = image->pixelData();
  ASSERT_EQ(data->size(), 16u);
  for (uint8_t b : *data) EXPECT_EQ(b, 0);
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
