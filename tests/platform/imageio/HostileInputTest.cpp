#include <gif_lib.h>
#include <gtest/gtest.h>

#include "AllocationCounter.h"
#include "ImageIOTestSupport.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageDecoder.h"
#include "platform/imageio/ImageIOProperties.h"
#include "support/TestEnvironment.h"

namespace hostile_input_test {

using namespace imageio_test;

namespace {

constexpr uint32_t kCanvas = 64;
constexpr size_t kCanvasBytes = size_t(kCanvas) * kCanvas * 4;

// Frames of 16x16 wandering over the canvas, none covering it, so every
// frame depends on all the frames before it.
Bytes WanderingGIF(int count) {
  std::vector<GifFrame> frames;
  for (int i = 0; i < count; ++i) {
    frames.push_back({(i * 7) % 48, (i * 13) % 48, 16, 16, DISPOSE_DO_NOT, 1,
                      NO_TRANSPARENT_COLOR, std::vector<uint8_t>(256, uint8_t(1 + i % 3))});
  }
  return MakeGif(int(kCanvas), int(kCanvas), frames, 0);
}

const Value& ThumbnailOptions() {
  static const Value options =
      Value::map({{kCGImageSourceCreateThumbnailFromImageAlways, true},
                  {kCGImageSourceThumbnailMaxPixelSize, 32}});
  return options;
}

// A PNG of 8192x8192 RGBA whose image data is a few hundred bytes of zeros.
Bytes PNGBomb() {
  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes ihdr;
  AppendBE32(ihdr, 8192);
  AppendBE32(ihdr, 8192);
  ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});
  AppendChunk(png, "IHDR", ihdr);
  ImageBitmap zeros;
  zeros.allocate(8192, 16);
  AppendChunk(png, "IDAT", ZlibRows(zeros));
  AppendChunk(png, "IEND", {});
  return png;
}

void AppendRiffChunk(Bytes& out, const char* fourcc, const Bytes& data) {
  out.insert(out.end(), fourcc, fourcc + 4);
  AppendLE32(out, uint32_t(data.size()));
  out.insert(out.end(), data.begin(), data.end());
  if (data.size() % 2) out.push_back(0);
}

void AppendLE24(Bytes& out, uint32_t v) {
  out.insert(out.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16)});
}

// An animated WebP on a canvas of side x side with `frames` frames of one
// lossless pixel each.
Bytes AnimatedWebPOfTinyFrames(uint32_t side, int frames) {
  const Bytes still = RawEncodeWebP(Solid(1, 1, 255, 0, 0), true);
  const Bytes pixel(still.begin() + 12, still.end());  // its VP8L chunk, header included
  Bytes chunks;
  Bytes vp8x = {0x02, 0, 0, 0};  // animation
  AppendLE24(vp8x, side - 1);
  AppendLE24(vp8x, side - 1);
  AppendRiffChunk(chunks, "VP8X", vp8x);
  AppendRiffChunk(chunks, "ANIM", {0, 0, 0, 0, 0, 0});
  for (int i = 0; i < frames; ++i) {
    Bytes anmf;
    AppendLE24(anmf, uint32_t(i % 64));  // x / 2
    AppendLE24(anmf, 0);
    AppendLE24(anmf, 0);  // width - 1
    AppendLE24(anmf, 0);
    AppendLE24(anmf, 100);  // milliseconds
    anmf.push_back(0);
    anmf.insert(anmf.end(), pixel.begin(), pixel.end());
    AppendRiffChunk(chunks, "ANMF", anmf);
  }
  Bytes webp = {'R', 'I', 'F', 'F'};
  AppendLE32(webp, uint32_t(4 + chunks.size()));
  webp.insert(webp.end(), {'W', 'E', 'B', 'P'});
  webp.insert(webp.end(), chunks.begin(), chunks.end());
  return webp;
}

std::shared_ptr<const Bytes> Prefix(const Bytes& all, size_t size) {
  return Shared(Bytes(all.begin(), all.begin() + std::ptrdiff_t(size)));
}

using HostileInputTest = PlatformTest;

TEST_F(HostileInputTest, ThumbnailsOfEveryFrameGoOnFromTheKeptCanvas) {
  constexpr int kFrames = 600;
  const Bytes gif = WanderingGIF(kFrames);
  auto source = SourceOf(gif);
  ASSERT_TRUE(source);
  ASSERT_EQ(CGImageSourceGetCount(source), size_t(kFrames));
  std::vector<CGImageRef> thumbnails;
  {
    // Redrawing frames 0..i for the thumbnail of frame i allocates a region
    // for each frame drawn: about kFrames^2 / 2 regions in all.
    AllocationCounter counter;
    for (int i = 0; i < kFrames; ++i) {
      thumbnails.push_back(CGImageSourceCreateThumbnailAtIndex(source, size_t(i), ThumbnailOptions()));
      ASSERT_TRUE(thumbnails.back()) << i;
    }
    EXPECT_LT(counter.allocatedBytes(), kFrames * kCanvasBytes * 6);
  }
  // Each is the frame drawn from scratch, scaled; also when asked out of
  // order (back to an earlier frame, the same frame twice).
  auto reference = SourceOf(gif);
  const Value now = Value::map({{kCGImageSourceShouldCacheImmediately, true}});
  for (size_t i : {size_t(0), size_t(1), size_t(299), size_t(kFrames - 1)}) {
    ImageBitmap frame = Pixels(CGImageSourceCreateImageAtIndex(reference, i, now));
    const ImageBitmap expected = ImageBitmapResized(frame, 32, 32);
    EXPECT_EQ(MaxDifference(Pixels(thumbnails[i]), expected), 0) << i;
    for (int again = 0; again < 2; ++again) {
      CGImageRef thumbnail = CGImageSourceCreateThumbnailAtIndex(source, i, ThumbnailOptions());
      ASSERT_TRUE(thumbnail);
      EXPECT_EQ(MaxDifference(Pixels(thumbnail), expected), 0) << i;
    }
  }
}

TEST_F(HostileInputTest, IncrementalSourcesRefuseBombsOnEveryUpdate) {
  // A small bomb fed a few bytes at a time: no update gives a frame to
  // decode, so nothing of its 256 MB canvas is ever allocated, and the final
  // update refuses it for good.
  const Bytes bomb = PNGBomb();
  ASSERT_LT(bomb.size(), 2048u);
  auto source = CGImageSourceCreateIncremental();
  AllocationCounter counter;
  for (size_t size = 16; size < bomb.size() + 16; size += 16) {
    const bool final = size >= bomb.size();
    CGImageSourceUpdateBytes(source, Prefix(bomb, std::min(size, bomb.size())), final);
    EXPECT_EQ(CGImageSourceGetCount(source), 0u) << size;
    EXPECT_FALSE(CGImageSourceCreateImageAtIndex(source, 0)) << size;
    EXPECT_FALSE(CGImageSourceCreateThumbnailAtIndex(source, 0, ThumbnailOptions())) << size;
  }
  EXPECT_LT(counter.peakBytes(), size_t{1} << 20);
  EXPECT_EQ(CGImageSourceGetStatus(source), kCGImageStatusInvalidData);

  // A 64-megapixel animation of one-pixel frames fed in halves: its canvas
  // is refused on the first half already, and the refused final update
  // leaves nothing to decode.
  const Bytes webp = AnimatedWebPOfTinyFrames(8192, 999);
  auto animation = CGImageSourceCreateIncremental();
  CGImageSourceUpdateBytes(animation, Prefix(webp, webp.size() / 2), false);
  EXPECT_EQ(CGImageSourceGetCount(animation), 0u);
  CGImageSourceUpdateBytes(animation, Shared(webp), true);
  EXPECT_EQ(CGImageSourceGetCount(animation), 0u);
  EXPECT_FALSE(CGImageSourceCreateImageAtIndex(animation, 0));
  EXPECT_EQ(CGImageSourceGetStatus(animation), kCGImageStatusInvalidData);
  // The same frames on a canvas their data can fill are read.
  EXPECT_EQ(CGImageSourceGetCount(SourceOf(AnimatedWebPOfTinyFrames(128, 999))), 999u);

  // A still lossless picture far larger than its data could describe is
  // held back while it arrives (its one frame is not known yet, so the
  // canvas stands in), and refused once whole.
  const Bytes still = RawEncodeWebP(Solid(4096, 4096, 0, 0, 255), true);
  ASSERT_LT(still.size(), 4096u);
  auto arriving = CGImageSourceCreateIncremental();
  CGImageSourceUpdateBytes(arriving, Prefix(still, still.size() / 2), false);
  EXPECT_EQ(CGImageSourceGetStatus(arriving), kCGImageStatusReadingHeader);
  EXPECT_FALSE(CGImageSourceCreateImageAtIndex(arriving, 0));
  CGImageSourceUpdateBytes(arriving, Shared(still), true);
  EXPECT_EQ(CGImageSourceGetStatus(arriving), kCGImageStatusInvalidData);
}

TEST_F(HostileInputTest, ARefusedFinalUpdateEndsTheSource) {
  const Bytes gif = WanderingGIF(4);
  auto source = CGImageSourceCreateIncremental();
  CGImageSourceUpdateBytes(source, Prefix(gif, gif.size() - 1), false);
  ASSERT_EQ(CGImageSourceGetCount(source), 4u);
  ASSERT_TRUE(CGImageSourceCreateImageAtIndex(source, 0));
  // The last update announces a canvas of no pixels: the frames read from
  // the earlier data are not shown in its place.
  Bytes broken = gif;
  broken[6] = broken[7] = 0;
  CGImageSourceUpdateBytes(source, Shared(broken), true);
  EXPECT_EQ(CGImageSourceGetStatus(source), kCGImageStatusInvalidData);
  EXPECT_EQ(CGImageSourceGetCount(source), 0u);
  EXPECT_FALSE(CGImageSourceCreateImageAtIndex(source, 0));
  // A refused update that is not the last keeps what was read.
  auto open = CGImageSourceCreateIncremental();
  CGImageSourceUpdateBytes(open, Prefix(gif, gif.size() - 1), false);
  CGImageSourceUpdateBytes(open, Shared(broken), false);
  EXPECT_EQ(CGImageSourceGetCount(open), 4u);
  CGImageSourceUpdateBytes(open, Shared(gif), true);
  EXPECT_EQ(CGImageSourceGetStatus(open), kCGImageStatusComplete);
}

}  // namespace

}  // namespace hostile_input_test
