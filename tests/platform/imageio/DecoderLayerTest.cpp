// The decoder layer under the image sources: one table of formats, frame
// accessors that check once, animation frames that cost their rectangles,
// and hostile files refused before their pixels cost anything.

#include <gif_lib.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "AllocationCounter.h"
#include "ImageIOTestSupport.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageDecoder.h"
#include "platform/imageio/internal/ImageEncoder.h"
#include "platform/imageio/ImageIOProperties.h"
#include "support/TestEnvironment.h"

namespace decoder_layer_test {

using namespace imageio_test;

namespace {

std::unique_ptr<ImageDecoder> Create(const Bytes& data, bool complete,
                                     CGImageSourceStatus& status) {
  return ImageDecoderCreate(Shared(data), complete, status);
}

// Two kilobytes of deflated zeros.
Bytes DeflatedZeros() {
  const Bytes zeros(2 << 20, 0);
  uLongf size = compressBound(uLong(zeros.size()));
  Bytes out(size);
  compress(out.data(), &size, zeros.data(), uLong(zeros.size()));
  out.resize(size);
  return out;
}

// A PNG declaring `side` x `side` RGBA pixels, with or without its end chunk.
Bytes PNGOf(uint32_t side, bool withEnd, const Bytes& idat = DeflatedZeros()) {
  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes ihdr;
  AppendBE32(ihdr, side);
  AppendBE32(ihdr, side);
  ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});
  AppendChunk(png, "IHDR", ihdr);
  AppendChunk(png, "IDAT", idat);
  if (withEnd) AppendChunk(png, "IEND", {});
  return png;
}

// A lossless WebP whose header declares width x height, padded to `size`.
Bytes WebPBomb(uint32_t width, uint32_t height, size_t size) {
  Bytes body = {0x2F};
  const uint32_t bits = (width - 1) | ((height - 1) << 14);  // no alpha, version 0
  AppendLE32(body, bits);
  body.resize(size - 20, 0);
  Bytes webp = {'R', 'I', 'F', 'F'};
  AppendLE32(webp, uint32_t(4 + 8 + body.size()));
  webp.insert(webp.end(), {'W', 'E', 'B', 'P', 'V', 'P', '8', 'L'});
  AppendLE32(webp, uint32_t(body.size()));
  webp.insert(webp.end(), body.begin(), body.end());
  return webp;
}

}  // namespace

using DecoderLayerTest = PlatformTest;

TEST_F(DecoderLayerTest, SmallPNGAndWebPBombsAreRefusedBeforeDecoding) {
  // Whole files: refused while parsing, which reads headers only.
  struct Case {
    const char* what;
    Bytes data;
  };
  const std::vector<Case> bombs = {{"png", PNGOf(8192, true)},
                                   {"png without its end", PNGOf(8192, false)},
                                   {"webp", WebPBomb(16383, 4096, 2600)}};
  for (const Case& c : bombs) {
    ASSERT_LT(c.data.size(), 4096u) << c.what;
    CGImageSourceStatus status = kCGImageStatusComplete;
    EXPECT_EQ(Create(c.data, true, status), nullptr) << c.what;
    EXPECT_EQ(status, kCGImageStatusInvalidData) << c.what;
  }
  // The same data still arriving: nothing is offered to decode until the
  // data could fill the frame it announces.
  CGImageSourceStatus status = kCGImageStatusComplete;
  EXPECT_EQ(Create(PNGOf(8192, false), false, status), nullptr);
  EXPECT_EQ(status, kCGImageStatusReadingHeader);
  ImageBitmap out;
  // The checks are about proportion: small images with the same data decode.
  const Bytes rows = ZlibRows(Pattern(256, 256, true));
  for (bool withEnd : {false, true}) {
    auto small = Create(PNGOf(256, withEnd, rows), true, status);
    ASSERT_TRUE(small);
    ASSERT_TRUE(small->decodeFrame(0, out));
    EXPECT_EQ(MaxDifference(out, Pattern(256, 256, true)), 0);
  }
  EXPECT_TRUE(Create(WebPBomb(256, 256, 2600), true, status));
}

namespace {

// A progressive grey JPEG of side x side whose scans hold nothing but one
// run of empty blocks each (a few bytes that make the decoder visit every
// block).
Bytes EmptyScans(uint16_t side, int scans) {
  Bytes j = {0xFF, 0xD8, 0xFF, 0xDB, 0, 67, 0};
  j.insert(j.end(), 64, 1);
  j.insert(j.end(), {0xFF, 0xC2, 0, 11, 8});
  AppendBE16(j, side);
  AppendBE16(j, side);
  j.insert(j.end(), {1, 1, 0x11, 0});
  // AC table 0: one code, "0", for a run of 2^14 or more empty blocks.
  j.insert(j.end(), {0xFF, 0xC4, 0, 20, 0x10, 1});
  j.insert(j.end(), 15, 0);
  j.push_back(0xE0);
  const uint32_t blocks = uint32_t(side / 8) * (side / 8);
  for (int s = 0; s < scans; ++s) {
    j.insert(j.end(), {0xFF, 0xDA, 0, 8, 1, 1, 0x00, 1, 63, 0});
    // Runs of exactly 2^14 blocks: the code and fourteen extra bits of 0.
    uint64_t bits = 0;
    int count = 0;
    for (uint32_t left = blocks; left > 0; left -= 16384) {
      bits <<= 15;
      count += 15;
    }
    const int pad = (8 - count % 8) % 8;
    bits = (bits << pad) | ((1u << pad) - 1);
    for (int b = (count + pad) / 8 - 1; b >= 0; --b) j.push_back(uint8_t(bits >> (b * 8)));
  }
  j.insert(j.end(), {0xFF, 0xD9});
  return j;
}

}  // namespace

TEST_F(DecoderLayerTest, ProgressiveScanWorkIsBoundedByTheData) {
  // 1024 x 1024 is 16384 blocks a scan. Forty scans are work the data and the
  // slack cover; three hundred of a dozen bytes each are not.
  CGImageSourceStatus status = kCGImageStatusComplete;
  ImageBitmap out;
  auto few = Create(EmptyScans(1024, 40), true, status);
  ASSERT_TRUE(few);
  EXPECT_TRUE(few->decodeFrame(0, out));
  EXPECT_EQ(out.width, 1024u);
  const Bytes many = EmptyScans(1024, 300);
  EXPECT_LT(many.size(), 4000u);
  auto hostile = Create(many, true, status);
  ASSERT_TRUE(hostile);
  EXPECT_FALSE(hostile->decodeFrame(0, out));
}

namespace {

Bytes Encoded(const char* type, size_t frames) {
  auto data = std::make_shared<Bytes>();
  auto dest = CGImageDestinationCreateWithData(data, type, frames);
  for (size_t i = 0; i < frames; ++i) {
    CGImageDestinationAddImage(dest, MakeImage(Pattern(12, 9, i == 1, uint32_t(i * 40))));
  }
  EXPECT_TRUE(CGImageDestinationFinalize(dest)) << type;
  return *data;
}

// One sample of every type this machine writes (animated where it can be).
std::vector<std::pair<std::string, Bytes>> Samples() {
  std::vector<std::pair<std::string, Bytes>> out;
  for (const std::string& type : ImageEncoderTypeIdentifiers()) {
    if (type == "public.heif") continue;  // written with the HEIC brands
    const bool animates = type == "public.png" || type == "com.compuserve.gif" ||
                          type == "org.webmproject.webp" || type == "public.tiff";
    out.emplace_back(type, Encoded(type.c_str(), animates ? 3 : 1));
  }
  return out;
}

}  // namespace

TEST_F(DecoderLayerTest, OneTableSniffsListsAndCreatesEveryFormat) {
  const auto& registry = ImageDecoderRegistry();
  std::vector<std::string> available;
  for (const ImageDecoderDescriptor& d : registry) {
    if (!d.available || d.available(d.type)) available.push_back(d.type);
  }
  EXPECT_EQ(ImageDecoderTypeIdentifiers(), available);
  EXPECT_EQ(CGImageSourceCopyTypeIdentifiers(), available);
  const auto samples = Samples();
  EXPECT_GE(samples.size(), 6u);
  for (const auto& [type, data] : samples) {
    EXPECT_NE(std::find(available.begin(), available.end(), type), available.end()) << type;
    // Exactly one entry claims the bytes, and it makes a decoder of its type.
    size_t claims = 0;
    for (const ImageDecoderDescriptor& d : registry) claims += d.sniff(data.data(), data.size(), d.type);
    EXPECT_EQ(claims, 1u) << type;
    EXPECT_EQ(ImageTypeOfData(data.data(), data.size()), type);
    CGImageSourceStatus status = kCGImageStatusInvalidData;
    auto decoder = Create(data, true, status);
    ASSERT_TRUE(decoder) << type;
    EXPECT_EQ(decoder->typeIdentifier(), type);
    EXPECT_EQ(status, kCGImageStatusComplete) << type;
  }
  CGImageSourceStatus status = kCGImageStatusComplete;
  EXPECT_FALSE(Create(Bytes(40, 'x'), true, status));
  EXPECT_EQ(status, kCGImageStatusUnknownType);
}

TEST_F(DecoderLayerTest, FrameAccessorsCheckTheIndexForEveryFormat) {
  for (const auto& [type, data] : Samples()) {
    CGImageSourceStatus status;
    auto decoder = Create(data, true, status);
    ASSERT_TRUE(decoder) << type;
    const size_t n = decoder->frameCount();
    ASSERT_GE(n, 1u) << type;
    ImageBitmap out;
    for (size_t index : {n, n + 1, ImageDecoder::kNoFrame}) {
      EXPECT_TRUE(decoder->frameProperties(index).empty()) << type;
      EXPECT_EQ(decoder->frameStatus(index), kCGImageStatusUnknownType) << type;
      EXPECT_FALSE(decoder->decodeFrame(index, out)) << type;
      EXPECT_FALSE(decoder->decodeFrameScaled(index, 1, 1, out)) << type;
      EXPECT_TRUE(decoder->embeddedThumbnail(index).empty()) << type;
    }
    // In range, every frame decodes at the size its properties announce,
    // with or without a prior frame held.
    for (size_t i = 0; i < n; ++i) {
      const ValueMap props = decoder->frameProperties(i);
      EXPECT_EQ(decoder->frameStatus(i), kCGImageStatusComplete) << type;
      ASSERT_TRUE(decoder->decodeFrame(i, out, i == 0 ? ImageDecoder::kNoFrame : i - 1)) << type;
      EXPECT_EQ(out.width, uint32_t(ValueMapFind(props, kCGImagePropertyPixelWidth)->asInt64()));
      EXPECT_EQ(out.height, uint32_t(ValueMapFind(props, kCGImagePropertyPixelHeight)->asInt64()));
    }
  }
}

namespace {

constexpr uint32_t kCanvas = 512;
constexpr size_t kCanvasBytes = size_t(kCanvas) * kCanvas * 4;

// Frame 0 fills the canvas (red); then small frames, each with another
// disposal: green at (100, 100) restored after, blue at (300, 300) cleared
// after, green at the corner left.
struct SmallFrame {
  uint32_t x, y, side;
  int gifDisposal, pngDispose;
  uint8_t colour;  // palette index
};
const SmallFrame kFrames[] = {
    {100, 100, 8, 3, 2, 2}, {300, 300, 8, 2, 1, 3}, {0, 0, 4, 1, 0, 2}};

// The first `count` frames (all four by default).
Bytes AnimatedGIF(size_t count = 4) {
  std::vector<GifFrame> frames = {
      {0, 0, int(kCanvas), int(kCanvas), 1, 5, -1, std::vector<uint8_t>(kCanvasBytes / 4, 1)}};
  for (const SmallFrame& f : kFrames) {
    if (frames.size() == count) break;
    frames.push_back({int(f.x), int(f.y), int(f.side), int(f.side), f.gifDisposal, 5, -1,
                      std::vector<uint8_t>(size_t(f.side) * f.side, f.colour)});
  }
  return MakeGif(int(kCanvas), int(kCanvas), frames, 0);
}

Bytes AnimatedPNG() {
  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes ihdr, actl;
  AppendBE32(ihdr, kCanvas);
  AppendBE32(ihdr, kCanvas);
  ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});
  AppendChunk(png, "IHDR", ihdr);
  AppendBE32(actl, 4);
  AppendBE32(actl, 0);
  AppendChunk(png, "acTL", actl);
  uint32_t seq = 0;
  auto control = [&](uint32_t x, uint32_t y, uint32_t side, uint8_t dispose) {
    Bytes fc;
    for (uint32_t v : {seq++, side, side, x, y}) AppendBE32(fc, v);
    fc.insert(fc.end(), {0, 5, 0, 100, dispose, 1});
    AppendChunk(png, "fcTL", fc);
  };
  control(0, 0, kCanvas, 0);
  AppendChunk(png, "IDAT", ZlibRows(Solid(kCanvas, kCanvas, 255, 0, 0)));
  const uint8_t rgb[4][3] = {{0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}};
  for (const SmallFrame& f : kFrames) {
    control(f.x, f.y, f.side, uint8_t(f.pngDispose));
    Bytes fd;
    AppendBE32(fd, seq++);
    const uint8_t* c = rgb[f.colour];
    const Bytes rows = ZlibRows(Solid(f.side, f.side, c[0], c[1], c[2]));
    fd.insert(fd.end(), rows.begin(), rows.end());
    AppendChunk(png, "fdAT", fd);
  }
  AppendChunk(png, "IEND", {});
  return png;
}

}  // namespace

TEST_F(DecoderLayerTest, AnimationFramesCostTheirRectanglesNotTheCanvas) {
  for (const auto& [name, data] :
       {std::pair<const char*, Bytes>{"gif", AnimatedGIF()}, {"apng", AnimatedPNG()}}) {
    CGImageSourceStatus status;
    auto decoder = Create(data, true, status);
    ASSERT_TRUE(decoder) << name;
    ASSERT_EQ(decoder->frameCount(), 4u) << name;
    ImageBitmap canvas;
    {
      AllocationCounter fresh;
      ASSERT_TRUE(decoder->decodeFrame(0, canvas)) << name;
      EXPECT_GE(fresh.peakBytes(), kCanvasBytes) << name;
    }
    // A pixel no frame's rectangle reaches: drawing over the canvas leaves
    // it as the caller left it, redrawing the canvas would not.
    const uint8_t mark[4] = {1, 2, 3, 4};
    std::memcpy(canvas.row(500) + 10 * 4, mark, 4);
    for (size_t i = 1; i < 4; ++i) {
      AllocationCounter step;
      ASSERT_TRUE(decoder->decodeFrame(i, canvas, i - 1)) << name << i;
      EXPECT_LT(step.peakBytes(), kCanvasBytes / 64) << name << " frame " << i;
      EXPECT_EQ(std::memcmp(canvas.row(500) + 10 * 4, mark, 4), 0) << name << i;
      // Everything else is the frame as decoded from scratch.
      ImageBitmap scratch;
      ASSERT_TRUE(decoder->decodeFrame(i, scratch)) << name << i;
      std::memcpy(scratch.row(500) + 10 * 4, mark, 4);
      EXPECT_EQ(MaxDifference(canvas, scratch), 0) << name << i;
    }
    // Frame 1 was restored, frame 2 cleared, frame 3 left.
    auto px = [&](uint32_t x, uint32_t y) {
      const uint8_t* p = canvas.row(y) + x * 4;
      return std::vector<int>{p[0], p[1], p[2], p[3]};
    };
    EXPECT_EQ(px(103, 103), (std::vector<int>{255, 0, 0, 255})) << name;
    EXPECT_EQ(px(303, 303), (std::vector<int>{0, 0, 0, 0})) << name;
    EXPECT_EQ(px(1, 1), (std::vector<int>{0, 255, 0, 255})) << name;
  }
}

TEST_F(DecoderLayerTest, SourcesDrawFramesInPlaceOnceTheirImagesAreGone) {
  const Value now = Value::map({{kCGImageSourceShouldCacheImmediately, true}});
  auto source = SourceOf(AnimatedPNG());
  ASSERT_TRUE(source);
  CGImageRef held = CGImageSourceCreateImageAtIndex(source, 0, now);
  ASSERT_TRUE(held);
  {
    // Frame 0 is still shown: its pixels stay as they are, frame 1 gets a copy.
    AllocationCounter copy;
    CGImageRef next = CGImageSourceCreateImageAtIndex(source, 1, now);
    ASSERT_TRUE(next);
    EXPECT_GE(copy.peakBytes(), kCanvasBytes);
    EXPECT_EQ(Pixels(held).row(103)[1], 0) << "frame 0 untouched by frame 1";
    EXPECT_EQ(Pixels(next).row(103)[103 * 4 + 1], 255);
  }
  held.reset();
  for (size_t i = 2; i < 4; ++i) {
    AllocationCounter inPlace;
    ASSERT_TRUE(CGImageSourceCreateImageAtIndex(source, i, now));
    EXPECT_LT(inPlace.peakBytes(), kCanvasBytes / 64) << i;
  }
}

TEST_F(DecoderLayerTest, SourcesKeepTheLastFrameForItsNextAsking) {
  const Value now = Value::map({{kCGImageSourceShouldCacheImmediately, true}});
  auto source = SourceOf(AnimatedGIF());
  ASSERT_TRUE(source);
  for (size_t i = 0; i < 3; ++i) ASSERT_TRUE(CGImageSourceCreateImageAtIndex(source, i, now));
  CGImageRef shown = CGImageSourceCreateImageAtIndex(source, 2, now);
  ASSERT_TRUE(shown);
  const ImageBitmap expected = Pixels(shown);
  // Asked again, shown or not, frame 2 is not composited anew from frame 0.
  for (bool held : {true, false}) {
    if (!held) shown.reset();
    AllocationCounter again;
    CGImageRef image = CGImageSourceCreateImageAtIndex(source, 2, now);
    ASSERT_TRUE(image);
    EXPECT_LT(again.peakBytes(), kCanvasBytes / 64) << held;
    EXPECT_EQ(MaxDifference(Pixels(image), expected), 0) << held;
  }
}

TEST_F(DecoderLayerTest, IncrementalSourcesGoOnFromTheLastFrameAcrossUpdates) {
  const Value now = Value::map({{kCGImageSourceShouldCacheImmediately, true}});
  const Bytes all = AnimatedGIF();
  // The data up to the end of frame 2 (a GIF of three frames less its trailer).
  Bytes part = AnimatedGIF(3);
  part.pop_back();
  ASSERT_TRUE(std::equal(part.begin(), part.end(), all.begin()));

  auto source = CGImageSourceCreateIncremental();
  CGImageSourceUpdateBytes(source, Shared(part), false);
  ASSERT_EQ(CGImageSourceGetCount(source), 3u);
  ASSERT_EQ(CGImageSourceGetStatusAtIndex(source, 2), kCGImageStatusComplete);
  for (size_t i = 0; i < 3; ++i) ASSERT_TRUE(CGImageSourceCreateImageAtIndex(source, i, now));

  CGImageSourceUpdateBytes(source, Shared(all), true);
  CGImageRef last;
  {
    AllocationCounter next;
    last = CGImageSourceCreateImageAtIndex(source, 3, now);
    ASSERT_TRUE(last);
    EXPECT_LT(next.peakBytes(), kCanvasBytes / 64);
  }
  auto whole = SourceOf(all);
  EXPECT_EQ(MaxDifference(Pixels(last), Pixels(CGImageSourceCreateImageAtIndex(whole, 3, now))),
            0);

  // A frame that had only part of its data (the first, shown while it
  // arrives) is not gone on from: the next frame is drawn from the new data.
  auto fresh = CGImageSourceCreateIncremental();
  const Bytes firstHalf(all.begin(), all.begin() + std::ptrdiff_t(all.size() / 2));
  CGImageSourceUpdateBytes(fresh, Shared(firstHalf), false);
  ASSERT_EQ(CGImageSourceGetCount(fresh), 1u);
  ASSERT_EQ(CGImageSourceGetStatusAtIndex(fresh, 0), kCGImageStatusIncomplete);
  ASSERT_TRUE(CGImageSourceCreateImageAtIndex(fresh, 0, now));
  CGImageSourceUpdateBytes(fresh, Shared(all), true);
  EXPECT_EQ(MaxDifference(Pixels(CGImageSourceCreateImageAtIndex(fresh, 1, now)),
                          Pixels(CGImageSourceCreateImageAtIndex(whole, 1, now))),
            0);
}

}  // namespace decoder_layer_test
