#include <memory>
#include <set>
#include <vector>

#include "platform/avfoundation/AVFrameImage.h"
#include "support/TestEnvironment.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace frame_image_test {

namespace {

// A grey 4:2:0 picture of one luma level.
std::shared_ptr<AVFrame> GreyPicture(int width, int height, uint8_t luma) {
  std::shared_ptr<AVFrame> frame(av_frame_alloc(), [](AVFrame* f) { av_frame_free(&f); });
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = width;
  frame->height = height;
  if (av_frame_get_buffer(frame.get(), 0) < 0) return nullptr;
  for (int y = 0; y < height; ++y)
    std::fill_n(frame->data[0] + y * frame->linesize[0], width, luma);
  for (int p = 1; p < 3; ++p) {
    for (int y = 0; y < (height + 1) / 2; ++y) {
      std::fill_n(frame->data[p] + y * frame->linesize[p], (width + 1) / 2, uint8_t(128));
    }
  }
  return frame;
}

// The red byte of the picture's first pixel (R, G, B, X).
int FirstRed(const CGImageRef& image) { return image ? image->pixelData()->data()[0] : -1; }

}  // namespace

using FrameImageTest = PlatformTest;

// A buffer goes to a new picture only once no image holds it: images stay as
// they were converted, at the size of their own picture.
TEST_F(FrameImageTest, BuffersAreWrittenAgainOnlyOnceNoImageHoldsThem) {
  AVFrameImageConverter converter(AVFrameImageLayout::RGBX);
  CGImageRef first = converter.convert(*GreyPicture(40, 30, 40));
  CGImageRef second = converter.convert(*GreyPicture(40, 30, 200));
  ASSERT_TRUE(first && second);
  const int firstRed = FirstRed(first), secondRed = FirstRed(second);
  EXPECT_NE(firstRed, secondRed);
  const Bytes* freed = first->pixelData().get();
  first = nullptr;
  CGImageRef third = converter.convert(*GreyPicture(40, 30, 120));
  EXPECT_EQ(third->pixelData().get(), freed);
  EXPECT_EQ(FirstRed(second), secondRed);

  // More pictures held than buffers kept: each keeps its own.
  std::vector<CGImageRef> held;
  std::vector<int> reds;
  for (size_t i = 0; i < AVFrameImageConverter::kKeptBuffers + 1; ++i) {
    held.push_back(converter.convert(*GreyPicture(40, 30, uint8_t(30 + i * 25))));
    reds.push_back(FirstRed(held.back()));
  }
  for (size_t i = 0; i < held.size(); ++i) EXPECT_EQ(FirstRed(held[i]), reds[i]) << i;
  EXPECT_EQ(FirstRed(second), secondRed);

  // Only the buffers kept are written again; the others went with their
  // images. (Watched weakly, the buffers' memory stays theirs, so a new
  // buffer cannot take the place of one that went.)
  std::set<const Bytes*> before;
  std::vector<std::weak_ptr<const Bytes>> watched;
  for (const auto& image : held) {
    before.insert(image->pixelData().get());
    watched.push_back(image->pixelData());
  }
  held.clear();
  size_t reused = 0;
  for (size_t i = 0; i < AVFrameImageConverter::kKeptBuffers + 1; ++i) {
    held.push_back(converter.convert(*GreyPicture(40, 30, 60)));
    reused += before.count(held.back()->pixelData().get());
  }
  EXPECT_EQ(reused, AVFrameImageConverter::kKeptBuffers);

  // A picture of another size never takes a free buffer of the old size.
  held.clear();
  second = third = nullptr;
  CGImageRef larger = converter.convert(*GreyPicture(80, 60, 90));
  ASSERT_TRUE(larger);
  EXPECT_EQ(larger->width(), 80u);
  EXPECT_EQ(larger->pixelData()->size(), AVScaledBytesPerRow(80) * 60 + kAVScaledBufferSlack);
}

}  // namespace frame_image_test
