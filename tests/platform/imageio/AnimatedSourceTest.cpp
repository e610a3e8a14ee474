#include <gif_lib.h>
#include <gtest/gtest.h>
#include <webp/demux.h>
#include <webp/encode.h>
#include <webp/mux.h>

#include <cstring>

#include "ImageIOTestSupport.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageIOProperties.h"
#include "support/TestEnvironment.h"

namespace animated_source_test {

using namespace imageio_test;

namespace {

std::vector<int> Px(const ImageBitmap& b, uint32_t x, uint32_t y) {
  const uint8_t* p = b.row(y) + x * 4;
  return {p[0], p[1], p[2], p[3]};
}

double Delay(const CGImageSourceRef& s, size_t i, const char* dict, const char* key) {
  const Value p = CGImageSourceCopyPropertiesAtIndex(s, i);
  const Value* d = p.find(dict);
  const Value* v = d ? d->find(key) : nullptr;
  return v ? v->asDouble() : -1;
}

}  // namespace

using AnimatedSourceTest = PlatformTest;

TEST_F(AnimatedSourceTest, GIFFramesAreCompositedWithDisposalAndTimed) {
  // 4x4 canvas. Frame 0: all red. Frame 1: 2x2 green at (1,1), restore to
  // background after. Frame 2: 2x2 at (2,2), index 0 transparent, blue at its
  // last pixel, restore to previous after. Frame 3: 1x1 black at (0,0), no
  // graphic control.
  const std::vector<GifFrame> frames = {
      {0, 0, 4, 4, DISPOSE_DO_NOT, 0, NO_TRANSPARENT_COLOR, std::vector<uint8_t>(16, 1)},
      {1, 1, 2, 2, DISPOSE_BACKGROUND, 1, NO_TRANSPARENT_COLOR, std::vector<uint8_t>(4, 2)},
      {2, 2, 2, 2, DISPOSE_PREVIOUS, 5, 0, {0, 0, 0, 3}},
      {0, 0, 1, 1, DISPOSE_DO_NOT, -1, NO_TRANSPARENT_COLOR, {0}},
  };
  const Bytes gif = MakeGif(4, 4, frames, 0);
  auto source = SourceOf(gif);
  ASSERT_TRUE(source);
  ASSERT_EQ(CGImageSourceGetCount(source), 4u);
  const Value container = CGImageSourceCopyProperties(source);
  EXPECT_EQ(
      container.find(kCGImagePropertyGIFDictionary)->find(kCGImagePropertyGIFLoopCount)->asInt64(),
      0);
  // Delays: 0 and 0.01 s are clamped, the raw value is kept beside; no
  // control block means a delay of 0, clamped like any other.
  EXPECT_DOUBLE_EQ(Delay(source, 0, kCGImagePropertyGIFDictionary, "DelayTime"), 0.1);
  EXPECT_DOUBLE_EQ(Delay(source, 0, kCGImagePropertyGIFDictionary, "UnclampedDelayTime"), 0);
  EXPECT_DOUBLE_EQ(Delay(source, 1, kCGImagePropertyGIFDictionary, "DelayTime"), 0.1);
  EXPECT_DOUBLE_EQ(Delay(source, 1, kCGImagePropertyGIFDictionary, "UnclampedDelayTime"), 0.01);
  EXPECT_DOUBLE_EQ(Delay(source, 2, kCGImagePropertyGIFDictionary, "DelayTime"), 0.05);
  EXPECT_DOUBLE_EQ(Delay(source, 3, kCGImagePropertyGIFDictionary, "DelayTime"), 0.1);
  EXPECT_DOUBLE_EQ(Delay(source, 3, kCGImagePropertyGIFDictionary, "UnclampedDelayTime"), 0);
  EXPECT_TRUE(CGImageSourceCopyPropertiesAtIndex(source, 3).find(kCGImagePropertyGIFDictionary));

  const std::vector<int> red = {255, 0, 0, 255}, green = {0, 255, 0, 255}, blue = {0, 0, 255, 255},
                         clear = {0, 0, 0, 0}, black = {0, 0, 0, 255};
  std::vector<ImageBitmap> f(4);
  for (size_t i = 0; i < 4; ++i) f[i] = Pixels(CGImageSourceCreateImageAtIndex(source, i));
  EXPECT_EQ(Px(f[0], 0, 0), red);
  EXPECT_EQ(Px(f[1], 1, 1), green);
  EXPECT_EQ(Px(f[1], 0, 0), red);
  EXPECT_EQ(Px(f[2], 1, 1), clear);  // frame 1 restored to background
  EXPECT_EQ(Px(f[2], 2, 2), clear);  // transparent index shows the canvas
  EXPECT_EQ(Px(f[2], 3, 3), blue);
  EXPECT_EQ(Px(f[2], 3, 0), red);
  EXPECT_EQ(Px(f[3], 3, 3), red);  // frame 2 restored to what was before it
  EXPECT_EQ(Px(f[3], 1, 1), clear);
  EXPECT_EQ(Px(f[3], 0, 0), black);
  // Out of order access gives the same frames.
  EXPECT_EQ(MaxDifference(Pixels(CGImageSourceCreateImageAtIndex(source, 1)), f[1]), 0);
  EXPECT_EQ(MaxDifference(Pixels(CGImageSourceCreateImageAtIndex(source, 3)), f[3]), 0);
  CGImageSourceRemoveCacheAtIndex(source, 0);
  EXPECT_EQ(MaxDifference(Pixels(CGImageSourceCreateImageAtIndex(source, 2)), f[2]), 0);

  // A still GIF without the loop extension has no loop count.
  const Bytes still = MakeGif(2, 2, {{0, 0, 2, 2, 0, -1, NO_TRANSPARENT_COLOR, {1, 2, 3, 0}}}, -1);
  auto s = SourceOf(still);
  ASSERT_TRUE(s);
  EXPECT_EQ(CGImageSourceGetCount(s), 1u);
  EXPECT_FALSE(
      CGImageSourceCopyProperties(s).find(kCGImagePropertyGIFDictionary)->find("LoopCount"));
  const ImageBitmap p = Pixels(CGImageSourceCreateImageAtIndex(s, 0));
  EXPECT_EQ(Px(p, 1, 0), green);
  EXPECT_EQ(Px(p, 0, 1), blue);
}

namespace {

Bytes FrameControl(uint32_t seq, uint32_t w, uint32_t h, uint32_t x, uint32_t y, uint16_t num,
                   uint16_t den, uint8_t dispose, uint8_t blend) {
  Bytes b;
  for (uint32_t v : {seq, w, h, x, y}) {
    Bytes be = BE32(v);
    b.insert(b.end(), be.begin(), be.end());
  }
  b.insert(b.end(),
           {uint8_t(num >> 8), uint8_t(num), uint8_t(den >> 8), uint8_t(den), dispose, blend});
  return b;
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes IHDR(uint32_t w, uint32_t h) { return Concat(Concat(BE32(w), BE32(h)), {8, 6, 0, 0, 0}); }

// Canvas 4x4. Frame 0 (IDAT): opaque red, dispose background. Frame 1: 2x2
// at (2,2) half-transparent blue blended over, dispose previous. Frame 2:
// 1x1 at (0,0) green, source.
Bytes MakeAPNG(uint32_t framesDeclared = 3, uint32_t plays = 2, uint32_t frame1X = 2,
               uint32_t secondSeq = 1) {
  Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  AppendChunk(out, "IHDR", IHDR(4, 4));
  AppendChunk(out, "acTL", Concat(BE32(framesDeclared), BE32(plays)));
  AppendChunk(out, "fcTL", FrameControl(0, 4, 4, 0, 0, 1, 10, 1, 0));
  AppendChunk(out, "IDAT", ZlibRows(Solid(4, 4, 255, 0, 0)));
  AppendChunk(out, "fcTL", FrameControl(secondSeq, 2, 2, frame1X, 2, 0, 0, 2, 1));
  AppendChunk(out, "fdAT", Concat(BE32(secondSeq + 1), ZlibRows(Solid(2, 2, 0, 0, 255, 128))));
  AppendChunk(out, "fcTL", FrameControl(secondSeq + 2, 1, 1, 0, 0, 33, 1000, 0, 0));
  AppendChunk(out, "fdAT", Concat(BE32(secondSeq + 3), ZlibRows(Solid(1, 1, 0, 255, 0))));
  AppendChunk(out, "IEND", {});
  return out;
}

}  // namespace

TEST_F(AnimatedSourceTest, APNGFramesAreCompositedWithDisposeAndBlend) {
  auto source = SourceOf(MakeAPNG());
  ASSERT_TRUE(source);
  EXPECT_EQ(CGImageSourceGetType(source), "public.png");
  ASSERT_EQ(CGImageSourceGetCount(source), 3u);
  const Value container = CGImageSourceCopyProperties(source);
  const Value* png = container.find(kCGImagePropertyPNGDictionary);
  ASSERT_TRUE(png);
  EXPECT_EQ(png->find(kCGImagePropertyAPNGLoopCount)->asInt64(), 2);
  EXPECT_DOUBLE_EQ(Delay(source, 0, kCGImagePropertyPNGDictionary, "DelayTime"), 0.1);
  EXPECT_DOUBLE_EQ(Delay(source, 1, kCGImagePropertyPNGDictionary, "UnclampedDelayTime"), 0);
  EXPECT_DOUBLE_EQ(Delay(source, 1, kCGImagePropertyPNGDictionary, "DelayTime"), 0.1);
  EXPECT_DOUBLE_EQ(Delay(source, 2, kCGImagePropertyPNGDictionary, "DelayTime"), 0.033);
  std::vector<ImageBitmap> f(3);
  for (size_t i = 0; i < 3; ++i) f[i] = Pixels(CGImageSourceCreateImageAtIndex(source, i));
  EXPECT_EQ(Px(f[0], 3, 3), (std::vector<int>{255, 0, 0, 255}));
  // Frame 0 was cleared: blue over transparent stays half-transparent blue.
  EXPECT_EQ(Px(f[1], 3, 3), (std::vector<int>{0, 0, 255, 128}));
  EXPECT_EQ(Px(f[1], 0, 0), (std::vector<int>{0, 0, 0, 0}));
  // Frame 1 restored to the cleared canvas; frame 2 paints one green pixel.
  EXPECT_EQ(Px(f[2], 3, 3), (std::vector<int>{0, 0, 0, 0}));
  EXPECT_EQ(Px(f[2], 0, 0), (std::vector<int>{0, 255, 0, 255}));
  EXPECT_EQ(MaxDifference(Pixels(CGImageSourceCreateImageAtIndex(source, 1)), f[1]), 0);
}

TEST_F(AnimatedSourceTest, APNGBlendOverMixesStraightAlpha) {
  Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  AppendChunk(out, "IHDR", IHDR(1, 1));
  AppendChunk(out, "acTL", Concat(BE32(2), BE32(0)));
  AppendChunk(out, "fcTL", FrameControl(0, 1, 1, 0, 0, 1, 10, 0, 0));
  AppendChunk(out, "IDAT", ZlibRows(Solid(1, 1, 255, 0, 0, 255)));
  AppendChunk(out, "fcTL", FrameControl(1, 1, 1, 0, 0, 1, 10, 0, 1));
  AppendChunk(out, "fdAT", Concat(BE32(2), ZlibRows(Solid(1, 1, 0, 0, 255, 51))));
  AppendChunk(out, "IEND", {});
  auto source = SourceOf(out);
  ASSERT_TRUE(source);
  // 20% blue over opaque red.
  EXPECT_EQ(Px(Pixels(CGImageSourceCreateImageAtIndex(source, 1)), 0, 0),
            (std::vector<int>{204, 0, 51, 255}));
}

TEST_F(AnimatedSourceTest, CraftedAPNGFrameListsAreRefused) {
  EXPECT_TRUE(SourceOf(MakeAPNG()));
  EXPECT_FALSE(SourceOf(MakeAPNG(4))) << "fewer frames than declared";
  EXPECT_FALSE(SourceOf(MakeAPNG(2))) << "more frames than declared";
  EXPECT_FALSE(SourceOf(MakeAPNG(3, 0, 3))) << "frame outside the canvas";
  EXPECT_FALSE(SourceOf(MakeAPNG(3, 0, 2, 5))) << "sequence numbers out of order";
  EXPECT_FALSE(SourceOf(MakeAPNG(0))) << "no frames";
  EXPECT_FALSE(SourceOf(MakeAPNG(100000))) << "too many frames";
  // A damaged frame control chunk (bad checksum).
  Bytes bad = MakeAPNG();
  bad[8 + 25 + 20 + 12] ^= 0xFF;
  EXPECT_FALSE(SourceOf(bad));
  // A plain PNG read by the same decoder is one frame without a loop count.
  auto plain = SourceOf(RawEncodePNG(Pattern(3, 3, false)));
  EXPECT_EQ(CGImageSourceGetCount(plain), 1u);
  EXPECT_TRUE(CGImageSourceCopyProperties(plain).find(kCGImagePropertyPNGDictionary) == nullptr);
}

TEST_F(AnimatedSourceTest, AnimatedWebPMatchesLibwebpAnimationDecoder) {
  WebPAnimEncoderOptions options;
  WebPAnimEncoderOptionsInit(&options);
  options.anim_params.loop_count = 3;
  WebPAnimEncoder* enc = WebPAnimEncoderNew(24, 16, &options);
  WebPConfig config;
  WebPConfigInit(&config);
  config.lossless = 1;
  const int durations[3] = {40, 120, 5};
  int ts = 0;
  for (int i = 0; i < 3; ++i) {
    ImageBitmap b = Pattern(24, 16, true, uint32_t(i * 50));
    WebPPicture pic;
    WebPPictureInit(&pic);
    pic.use_argb = 1;
    pic.width = 24;
    pic.height = 16;
    WebPPictureImportRGBA(&pic, b.pixels.data(), 24 * 4);
    WebPAnimEncoderAdd(enc, &pic, ts, &config);
    WebPPictureFree(&pic);
    ts += durations[i];
  }
  WebPAnimEncoderAdd(enc, nullptr, ts, nullptr);
  WebPData data;
  WebPDataInit(&data);
  ASSERT_TRUE(WebPAnimEncoderAssemble(enc, &data));
  const Bytes webp(data.bytes, data.bytes + data.size);
  WebPDataClear(&data);
  WebPAnimEncoderDelete(enc);

  auto source = SourceOf(webp);
  ASSERT_TRUE(source);
  ASSERT_EQ(CGImageSourceGetCount(source), 3u);
  EXPECT_EQ(CGImageSourceCopyProperties(source)
                .find(kCGImagePropertyWebPDictionary)
                ->find("LoopCount")
                ->asInt64(),
            3);
  EXPECT_DOUBLE_EQ(Delay(source, 1, kCGImagePropertyWebPDictionary, "UnclampedDelayTime"), 0.12);
  EXPECT_DOUBLE_EQ(Delay(source, 2, kCGImagePropertyWebPDictionary, "DelayTime"), 0.1);
  EXPECT_DOUBLE_EQ(Delay(source, 2, kCGImagePropertyWebPDictionary, "UnclampedDelayTime"), 0.005);

  WebPAnimDecoderOptions dopt;
  WebPAnimDecoderOptionsInit(&dopt);
  dopt.color_mode = MODE_RGBA;
  WebPData in{webp.data(), webp.size()};
  WebPAnimDecoder* dec = WebPAnimDecoderNew(&in, &dopt);
  std::vector<ImageBitmap> reference;
  uint8_t* buf = nullptr;
  int timestamp = 0;
  while (WebPAnimDecoderGetNext(dec, &buf, &timestamp)) {
    ImageBitmap b;
    b.allocate(24, 16);
    std::memcpy(b.pixels.data(), buf, b.pixels.size());
    reference.push_back(std::move(b));
  }
  WebPAnimDecoderDelete(dec);
  ASSERT_EQ(reference.size(), 3u);
  for (size_t i : {2, 0, 1}) {
    EXPECT_EQ(MaxDifference(Pixels(CGImageSourceCreateImageAtIndex(source, i)), reference[i]), 0)
        << i;
  }
}

TEST_F(AnimatedSourceTest, InterlacedGIFMatchesGiflib) {
  // Rows written in the four interlace passes; giflib's own reader puts them back.
  const int w = 5, h = 11;
  std::vector<uint8_t> indices(w * h);
  for (int i = 0; i < w * h; ++i) indices[i] = uint8_t((i / w + i % w) % 4);
  Bytes out;
  int err = 0;
  GifFileType* gif = EGifOpen(&out, GifAppendToBytes, &err);
  GifColorType colors[4] = {{0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
  ColorMapObject* map = GifMakeMapObject(4, colors);
  EGifPutScreenDesc(gif, w, h, 2, 0, map);
  EGifPutImageDesc(gif, 0, 0, w, h, true, nullptr);
  for (int pass = 0; pass < 4; ++pass) {
    const int start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
    for (int y = start[pass]; y < h; y += step[pass]) EGifPutLine(gif, &indices[y * w], w);
  }
  EGifCloseFile(gif, &err);
  GifFreeMapObject(map);
  const ImageBitmap ours = Pixels(CGImageSourceCreateImageAtIndex(SourceOf(out), 0));
  ASSERT_EQ(ours.height, uint32_t(h));
  struct Reader {
    const Bytes* d;
    size_t pos;
  } reader{&out, 0};
  GifFileType* in = DGifOpen(
      &reader,
      [](GifFileType* g, GifByteType* b, int n) {
        auto* r = static_cast<Reader*>(g->UserData);
        const int c = int(std::min<size_t>(size_t(n), r->d->size() - r->pos));
        std::memcpy(b, r->d->data() + r->pos, size_t(c));
        r->pos += size_t(c);
        return c;
      },
      &err);
  ASSERT_EQ(DGifSlurp(in), GIF_OK);
  const SavedImage& frame = in->SavedImages[0];
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const GifColorType c = in->SColorMap->Colors[frame.RasterBits[y * w + x]];
      EXPECT_EQ(Px(ours, x, y), (std::vector<int>{c.Red, c.Green, c.Blue, 255})) << x << "," << y;
    }
  }
  DGifCloseFile(in, &err);
}

}  // namespace animated_source_test
