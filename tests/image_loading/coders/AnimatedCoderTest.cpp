#include <gtest/gtest.h>

#include <random>

#include "platform/foundation/Value.h"
#include "support/images/ImageLoadingTestSupport.h"
#include "image_loading/coders/UIImageMetadata.h"
#include "image_loading/coders/ILImageCoderHelper.h"
#include "image_loading/coders/ILImageCoderOptions.h"
#include "image_loading/coders/ILImageIOAnimatedCoder.h"
#include "platform/coregraphics/CGPixelLayout.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/uikit/UIImage.h"
#include "support/TestEnvironment.h"

namespace animated_coder_test {

namespace {

using il_test::AnimatedFile;
using il_test::Near;
using il_test::PixelAt;

constexpr std::array<uint8_t, 4> kRed{255, 0, 0, 255};
constexpr std::array<uint8_t, 4> kGreen{0, 255, 0, 255};
constexpr std::array<uint8_t, 4> kBlue{0, 0, 255, 255};

class AnimatedCoderTest : public PlatformTest {};

TEST_F(AnimatedCoderTest, GIFDurationsAreClampedAndLoopCountDefaultsPerFormat) {
  NSDataPtr gif = AnimatedFile("com.compuserve.gif",
                               {{kRed, 0.01}, {kGreen, 0}, {kBlue, 0.05}, {kRed, 0.02}, {kGreen, -1}},
                               8, 8, -1);
  ASSERT_TRUE(gif);
  auto coder = ILImageGIFCoder::sharedCoder();
  auto provider = coder->initWithAnimatedImageData(gif, Value());
  ASSERT_TRUE(provider);
  ASSERT_EQ(provider->animatedImageFrameCount(), 5u);
  EXPECT_DOUBLE_EQ(provider->animatedImageDurationAtIndex(0), 0.1);
  EXPECT_DOUBLE_EQ(provider->animatedImageDurationAtIndex(1), 0.1);
  EXPECT_NEAR(provider->animatedImageDurationAtIndex(2), 0.05, 1e-9);
  EXPECT_NEAR(provider->animatedImageDurationAtIndex(3), 0.02, 1e-9);
  EXPECT_DOUBLE_EQ(provider->animatedImageDurationAtIndex(4), 0.1);
  EXPECT_EQ(provider->animatedImageLoopCount(), 1u);  // GIF without a loop count plays once
  EXPECT_EQ(provider->animatedImageDurationAtIndex(5), 0);
  EXPECT_EQ(provider->animatedImageFrameAtIndex(5), nullptr);
  UIImagePtr third = provider->animatedImageFrameAtIndex(2);
  ASSERT_TRUE(third);
  EXPECT_TRUE(Near(PixelAt(third->CGImage(), 3, 3), kBlue));
  EXPECT_EQ(il_imageFormat(*third), ILImageFormatGIF);

  NSDataPtr png = AnimatedFile("public.png", {{kRed, 0.011}, {kGreen, 0.3}}, 8, 8, -1);
  auto apng = ILImageAPNGCoder::sharedCoder()->initWithAnimatedImageData(png, Value());
  ASSERT_TRUE(apng);
  EXPECT_EQ(apng->animatedImageLoopCount(), 0u);
  EXPECT_NEAR(apng->animatedImageDurationAtIndex(0), 0.011, 1e-6);  // at the threshold: kept
  EXPECT_NEAR(apng->animatedImageDurationAtIndex(1), 0.3, 0.01);

  NSDataPtr webp = AnimatedFile("org.webmproject.webp", {{kRed, 0.07}, {kBlue, 0.09}}, 8, 8, 3);
  auto awebp = ILImageAWebPCoder::sharedCoder()->initWithAnimatedImageData(webp, Value());
  ASSERT_TRUE(awebp);
  EXPECT_EQ(awebp->animatedImageLoopCount(), 3u);
  EXPECT_EQ(awebp->animatedImageFrameCount(), 2u);
  EXPECT_TRUE(Near(PixelAt(awebp->animatedImageFrameAtIndex(1)->CGImage(), 1, 1), kBlue, 12));
}

TEST_F(AnimatedCoderTest, OneShotDecodeBuildsAnimatedImageOrFirstFrame) {
  NSDataPtr gif = AnimatedFile("com.compuserve.gif", {{kRed, 0.1}, {kGreen, 0.2}}, 8, 8, 4);
  UIImagePtr image = ILImageGIFCoder::sharedCoder()->decodedImageWithData(gif, Value());
  ASSERT_TRUE(image);
  ASSERT_TRUE(image->images());
  EXPECT_EQ(image->images()->size(), 3u);  // red once, green twice (100 ms steps)
  EXPECT_NEAR(image->duration(), 0.3, 1e-9);
  EXPECT_EQ(il_imageLoopCount(*image), 4u);
  EXPECT_EQ(il_imageFormat(*image), ILImageFormatGIF);

  UIImagePtr first = ILImageGIFCoder::sharedCoder()->decodedImageWithData(
      gif, Value::map({{kILImageCoderDecodeFirstFrameOnly, true}}));
  ASSERT_TRUE(first);
  EXPECT_FALSE(first->images());
  EXPECT_TRUE(Near(PixelAt(first->CGImage(), 0, 0), kRed));

  // A single-frame PNG through the APNG coder is a plain image.
  NSDataPtr still = il_test::StillFile("public.png", il_test::SolidImage(4, 4, kBlue));
  UIImagePtr plain = ILImageAPNGCoder::sharedCoder()->decodedImageWithData(still, Value());
  ASSERT_TRUE(plain);
  EXPECT_FALSE(plain->images());
  EXPECT_EQ(il_imageFormat(*plain), ILImageFormatPNG);
  EXPECT_EQ(plain->scale(), 1);

  UIImagePtr scaled = ILImageAPNGCoder::sharedCoder()->decodedImageWithData(
      still, Value::map({{kILImageCoderDecodeScaleFactor, 3.0}}));
  EXPECT_EQ(scaled->scale(), 3);
  EXPECT_EQ(ILImageAPNGCoder::sharedCoder()->decodedImageWithData(nullptr, Value()), nullptr);
}

TEST_F(AnimatedCoderTest, TypeHintRejectedByPlatformFallsBackToNoHint) {
  NSDataPtr gif = AnimatedFile("com.compuserve.gif", {{kRed, 0.1}, {kGreen, 0.1}});
  auto coder = ILImageGIFCoder::sharedCoder();
  EXPECT_TRUE(coder->decodedImageWithData(
      gif, Value::map({{kILImageCoderDecodeTypeIdentifierHint, "com.example.nothing"}})));
  EXPECT_TRUE(coder->decodedImageWithData(
      gif, Value::map({{kILImageCoderDecodeTypeIdentifierHint, Value()},
                       {kILImageCoderDecodeFileExtensionHint, "jpg"}})));
  EXPECT_EQ(ILImageIOCoding::typeHint(Value::map({{kILImageCoderDecodeFileExtensionHint, "gif"}})),
            std::optional<std::string>("com.compuserve.gif"));
  EXPECT_EQ(ILImageIOCoding::typeHint(Value::map({{kILImageCoderDecodeFileExtensionHint, "zzq"}})),
            std::nullopt);
  EXPECT_EQ(ILImageIOCoding::typeHint(Value::map({{kILImageCoderDecodeTypeIdentifierHint, Value()},
                                                 {kILImageCoderDecodeFileExtensionHint, "gif"}})),
            std::nullopt);
}

// A handed source serves the first source of its own data on this thread
// while the scope lasts, and nothing else: other data, a second decode and
// decodes after the scope get sources of their own.
TEST_F(AnimatedCoderTest, HandedSourceServesOneSourceOfItsOwnData) {
  const NSDataPtr wide = il_test::StillFile("public.png", il_test::PatternImage(6, 2));
  const NSDataPtr tall = il_test::StillFile("public.png", il_test::PatternImage(2, 6));
  const CGImageSourceRef handed = CGImageSourceCreateWithData(wide);
  ASSERT_TRUE(handed);
  auto width = [](const CGImageSourceRef& source) {
    CGImageSourceImageGeometry geometry;
    return source && CGImageSourceGetGeometryAtIndex(source, 0, &geometry) ? geometry.frame.width
                                                                           : 0u;
  };
  {
    const ILImageIOCoding::HandedSource scope(wide, handed);
    EXPECT_EQ(width(ILImageIOCoding::createSource(tall, std::nullopt)), 2u);
    {
      // An inner scope without a source leaves the outer one's in place.
      const ILImageIOCoding::HandedSource inner(tall, nullptr);
    }
    EXPECT_EQ(ILImageIOCoding::createSource(wide, "com.example.unreadable"), handed);
    const CGImageSourceRef second = ILImageIOCoding::createSource(wide, "public.png");
    EXPECT_NE(second, handed);
    EXPECT_EQ(width(second), 6u);
  }
  EXPECT_NE(ILImageIOCoding::createSource(wide, std::nullopt), handed);
  const ILImageIOCoding::HandedSource again(wide, handed);
  { const ILImageIOCoding::HandedSource inner(tall, CGImageSourceCreateWithData(tall)); }
  // The outer scope's source is back once the inner one ends.
  EXPECT_EQ(ILImageIOCoding::createSource(wide, std::nullopt), handed);
  // A coder's decode takes the handed source, whatever hint its options give.
  const ILImageIOCoding::HandedSource forCoder(wide, handed);
  UIImagePtr image = ILImageAPNGCoder::sharedCoder()->decodedImageWithData(
      wide, Value::map({{kILImageCoderDecodeFileExtensionHint, "jpg"}}));
  ASSERT_TRUE(image);
  EXPECT_EQ(image->CGImage()->width(), 6u);
  EXPECT_NE(ILImageIOCoding::createSource(wide, std::nullopt), handed);
}

TEST_F(AnimatedCoderTest, ThumbnailsKeepRatioOrStretchAndSmallFramesStayFull) {
  NSDataPtr png = il_test::StillFile("public.png", il_test::PatternImage(400, 200), 6);
  CGImageSourceRef source = CGImageSourceCreateWithData(png);
  ASSERT_TRUE(source);
  UIImagePtr kept = ILImageIOAnimatedCoder::createFrameAtIndex(0, source, 1, true, {100, 100},
                                                               true, false, false);
  ASSERT_TRUE(kept);
  // Upright already: the orientation 6 turned the 400x200 frame on its side.
  EXPECT_EQ(kept->imageOrientation(), UIImageOrientationUp);
  EXPECT_EQ(std::max(kept->CGImage()->width(), kept->CGImage()->height()), 100u);
  UIImagePtr stretched = ILImageIOAnimatedCoder::createFrameAtIndex(0, source, 1, false, {100, 100},
                                                                    true, false, false);
  ASSERT_TRUE(stretched);
  EXPECT_EQ(stretched->CGImage()->width(), 100u);
  EXPECT_EQ(stretched->CGImage()->height(), 100u);
  EXPECT_EQ(stretched->imageOrientation(), UIImageOrientationRight);
  UIImagePtr full = ILImageIOAnimatedCoder::createFrameAtIndex(0, source, 2, true, {1000, 1000},
                                                               true, false, false);
  EXPECT_EQ(full->CGImage()->width(), 400u);
  EXPECT_EQ(full->scale(), 2);
  // Not lazy once redrawn: the decoded flag follows.
  UIImagePtr eager = ILImageIOAnimatedCoder::createFrameAtIndex(0, source, 1, true, {0, 0}, false,
                                                                false, false);
  EXPECT_TRUE(il_isDecoded(*eager));
  EXPECT_FALSE(ILImageCoderHelper::CGImageIsLazy(eager->CGImage()));
}

TEST_F(AnimatedCoderTest, ScaleDownLimitShrinksEveryFrameOfTheProvider) {
  NSDataPtr gif = AnimatedFile("com.compuserve.gif", {{kRed, 0.1}, {kGreen, 0.1}}, 64, 32);
  auto provider = ILImageGIFCoder::sharedCoder()->initWithAnimatedImageData(
      gif, Value::map({{kILImageCoderDecodeScaleDownLimitBytes, int64_t(64 * 32 * 4 * 2 / 4)}}));
  ASSERT_TRUE(provider);
  UIImagePtr frame = provider->animatedImageFrameAtIndex(1);
  ASSERT_TRUE(frame);
  // A quarter of the bytes over two frames: half each side.
  EXPECT_LE(frame->CGImage()->width(), 32u);
  EXPECT_LE(frame->CGImage()->height(), 16u);
}

// A GIF of `frames` one-pixel frames on a width x height canvas, 23 bytes a
// frame: a quarter of a megabyte holds ten thousand frames on 64 megapixels.
NSDataPtr TinyFramesGIF(uint16_t width, uint16_t height, int frames) {
  Bytes gif = {'G', 'I', 'F', '8', '9', 'a', uint8_t(width), uint8_t(width >> 8),
               uint8_t(height), uint8_t(height >> 8), 0x80, 0, 0,
               0, 0, 0, 255, 0, 0};  // two colours: black, red
  for (int i = 0; i < frames; ++i) {
    const uint16_t x = uint16_t(i % width);
    gif.insert(gif.end(), {0x21, 0xF9, 4, 4, 10, 0, 0, 0});  // 0.1 s, drawn over
    gif.insert(gif.end(), {0x2C, uint8_t(x), uint8_t(x >> 8), 0, 0, 1, 0, 1, 0, 0});
    gif.insert(gif.end(), {2, 2, 0x4C, 0x01, 0});  // one pixel of colour 1
  }
  gif.push_back(0x3B);
  return NSData::dataWithBytes(std::move(gif));
}

TEST_F(AnimatedCoderTest, DecodingEveryFrameAtOnceHasAPixelBudget) {
  auto coder = ILImageGIFCoder::sharedCoder();
  const Value eager = Value::map({{kILImageCoderDecodeUseLazyDecoding, false}});
  const Value thumbnails = Value::map({{kILImageCoderDecodeThumbnailPixelSize,
                                        ILImageCoderSizeValue({64, 64})}});
  // Ten thousand frames on 64 megapixels: every frame drawn at once would
  // be 2.5 TB of frames and hours of work. Refused at once, eagerly or as
  // thumbnails (made at once too); lazily, nothing is drawn before it shows.
  NSDataPtr hostile = TinyFramesGIF(8192, 8192, 10000);
  ASSERT_LT(hostile->length(), 256u * 1024);
  EXPECT_EQ(coder->decodedImageWithData(hostile, eager), nullptr);
  EXPECT_EQ(coder->decodedImageWithData(hostile, thumbnails), nullptr);
  UIImagePtr lazy = coder->decodedImageWithData(hostile, Value());
  ASSERT_TRUE(lazy && lazy->images());
  EXPECT_EQ(lazy->images()->size(), 10000u);
  EXPECT_TRUE(ILImageCoderHelper::CGImageIsLazy(lazy->images()->back()->CGImage()));

  // Just over the budget of 128 Mi canvas pixels in all.
  const uint64_t side = 1024, frames = kILImageIOAnimatedMaxUpFrontPixels / (side * side);
  NSDataPtr over = TinyFramesGIF(uint16_t(side), uint16_t(side), int(frames + 1));
  EXPECT_EQ(coder->decodedImageWithData(over, thumbnails), nullptr);
  // Exactly at it is drawn.
  UIImagePtr at = coder->decodedImageWithData(TinyFramesGIF(uint16_t(side), uint16_t(side), int(frames)),
                                              thumbnails);
  ASSERT_TRUE(at && at->images());
  EXPECT_EQ(at->images()->size(), frames);
  // A thumbnail smaller than the frames on one side only still draws every
  // frame now: a wide strip over the budget is refused too.
  NSDataPtr strip = TinyFramesGIF(8192, 64, 300);
  EXPECT_EQ(coder->decodedImageWithData(
                strip, Value::map({{kILImageCoderDecodeThumbnailPixelSize,
                                    ILImageCoderSizeValue({256, 8192})}})),
            nullptr);

  // Thousands of small frames are within it, and each thumbnail is its frame.
  UIImagePtr small = coder->decodedImageWithData(
      TinyFramesGIF(8, 8, 3000),
      Value::map({{kILImageCoderDecodeThumbnailPixelSize, ILImageCoderSizeValue({4, 4})},
                  {kILImageCoderDecodeUseLazyDecoding, false}}));
  ASSERT_TRUE(small);
  ASSERT_EQ(small->images()->size(), 3000u);
  EXPECT_EQ(small->images()->back()->CGImage()->width(), 4u);
}

TEST_F(AnimatedCoderTest, IncrementalDecodeEndsOnlyWithAFinishedUpdate) {
  NSDataPtr gif = AnimatedFile("com.compuserve.gif", {{kRed, 0.1}, {kGreen, 0.1}, {kBlue, 0.1}});
  auto prototype = ILImageGIFCoder::sharedCoder();
  auto incremental =
      std::dynamic_pointer_cast<ILImageIOAnimatedCoder>(prototype->initIncrementalWithOptions(Value()));
  ASSERT_TRUE(incremental);
  EXPECT_EQ(incremental->incrementalDecodedImageWithOptions(Value()), nullptr);
  const size_t half = gif->length() / 2;
  incremental->updateIncrementalData(NSData::dataWithBytes(gif->bytes(), half), false);
  EXPECT_TRUE(incremental->incrementalDecodedImageWithOptions(Value()));
  // The first partial chunk did not end the decode: the rest still arrives.
  incremental->updateIncrementalData(gif, true);
  EXPECT_EQ(incremental->animatedImageFrameCount(), 3u);
  EXPECT_TRUE(Near(PixelAt(incremental->animatedImageFrameAtIndex(2)->CGImage(), 0, 0), kBlue));
  // After the finished update nothing more is taken.
  incremental->updateIncrementalData(NSData::dataWithBytes(gif->bytes(), 10), false);
  EXPECT_EQ(incremental->animatedImageFrameCount(), 3u);
  EXPECT_EQ(incremental->animatedImageData(), gif);
}

TEST_F(AnimatedCoderTest, ProgressiveDecodeInRandomChunksEqualsOneShot) {
  NSDataPtr png = AnimatedFile("public.png", {{kRed, 0.1}, {kGreen, 0.2}, {kBlue, 0.3}}, 24, 16);
  UIImagePtr oneShot = ILImageAPNGCoder::sharedCoder()->decodedImageWithData(
      png, Value::map({{kILImageCoderDecodeFirstFrameOnly, true}}));
  ASSERT_TRUE(oneShot);
  std::mt19937 random(12);
  for (int round = 0; round < 8; ++round) {
    auto coder = ILImageAPNGCoder::sharedCoder()->initIncrementalWithOptions(Value());
    size_t received = 0;
    while (received < png->length()) {
      received = std::min(png->length(), received + 1 + random() % 200);
      coder->updateIncrementalData(NSData::dataWithBytes(png->bytes(), received),
                                   received == png->length());
      coder->incrementalDecodedImageWithOptions(Value());
    }
    UIImagePtr last = coder->incrementalDecodedImageWithOptions(Value());
    ASSERT_TRUE(last);
    EXPECT_EQ(*CGImageCopyPremultipliedRGBA(*last->CGImage()),
              *CGImageCopyPremultipliedRGBA(*oneShot->CGImage()));
  }
}

TEST_F(AnimatedCoderTest, EncodingPicksTypeByFrameCountAndHonoursOptions) {
  auto gif = ILImageGIFCoder::sharedCoder();
  UIImagePtr still = il_test::SolidUIImage(6, 6, kRed);
  EXPECT_EQ(gif->encodedDataWithImage(still, ILImageFormatPNG, Value()), nullptr);
  EXPECT_EQ(gif->encodedDataWithImage(nullptr, ILImageFormatGIF, Value()), nullptr);
  NSDataPtr one = gif->encodedDataWithImage(still, ILImageFormatGIF, Value());
  ASSERT_TRUE(one);
  EXPECT_EQ(CGImageSourceGetType(CGImageSourceCreateWithData(one)), "com.compuserve.gif");
  EXPECT_EQ(CGImageSourceGetCount(CGImageSourceCreateWithData(one)), 1u);

  std::vector<ILImageFrame> frames{ILImageFrame::frameWithImage(still, 0.2),
                                   ILImageFrame::frameWithImage(il_test::SolidUIImage(6, 6, kBlue), 0.3)};
  NSDataPtr two = gif->encodedDataWithFrames(frames, 5, ILImageFormatGIF, Value());
  auto reread = gif->initWithAnimatedImageData(two, Value());
  ASSERT_TRUE(reread);
  EXPECT_EQ(reread->animatedImageFrameCount(), 2u);
  EXPECT_EQ(reread->animatedImageLoopCount(), 5u);
  EXPECT_NEAR(reread->animatedImageDurationAtIndex(1), 0.3, 0.01);
  NSDataPtr firstOnly = gif->encodedDataWithFrames(
      frames, 0, ILImageFormatGIF, Value::map({{kILImageCoderEncodeFirstFrameOnly, true}}));
  EXPECT_EQ(CGImageSourceGetCount(CGImageSourceCreateWithData(firstOnly)), 1u);
  EXPECT_EQ(gif->encodedDataWithFrames({}, 0, ILImageFormatGIF, Value()), nullptr);

  // A requested file size takes the place of the quality.
  const ValueMap sized = ILImageIOCoding::encodeProperties(
      still->CGImage(), Value::map({{kILImageCoderEncodeMaxFileSize, int64_t(2000)},
                                    {kILImageCoderEncodeCompressionQuality, 0.5}}));
  EXPECT_EQ(ValueMapFind(sized, kCGImageDestinationLossyCompressionQuality), nullptr);
  ASSERT_TRUE(ValueMapFind(sized, kCGImageDestinationRequestedFileSize));
  const ValueMap plain = ILImageIOCoding::encodeProperties(
      il_test::SolidImage(400, 200, kRed),
      Value::map({{kILImageCoderEncodeMaxPixelSize, ILImageCoderSizeValue({100, 100})}}));
  ASSERT_TRUE(ValueMapFind(plain, kCGImageDestinationImageMaxPixelSize));
  EXPECT_EQ(ValueMapFind(plain, kCGImageDestinationImageMaxPixelSize)->asDouble(), 100);
  EXPECT_EQ(ValueMapFind(plain, kCGImageDestinationLossyCompressionQuality)->asDouble(), 1.0);
  const ValueMap fits = ILImageIOCoding::encodeProperties(
      il_test::SolidImage(40, 20, kRed),
      Value::map({{kILImageCoderEncodeMaxPixelSize, ILImageCoderSizeValue({100, 100})}}));
  EXPECT_EQ(ValueMapFind(fits, kCGImageDestinationImageMaxPixelSize), nullptr);
}

TEST_F(AnimatedCoderTest, FormatQuestionsPerSubclass) {
  NSDataPtr gif = AnimatedFile("com.compuserve.gif", {{kRed, 0.1}});
  NSDataPtr webp = AnimatedFile("org.webmproject.webp", {{kRed, 0.1}});
  EXPECT_TRUE(ILImageGIFCoder::sharedCoder()->canDecodeFromData(gif));
  EXPECT_FALSE(ILImageAPNGCoder::sharedCoder()->canDecodeFromData(gif));
  EXPECT_TRUE(ILImageAWebPCoder::sharedCoder()->canDecodeFromData(webp));
  EXPECT_TRUE(ILImageAWebPCoder::sharedCoder()->canEncodeToFormat(ILImageFormatWebP));
  EXPECT_FALSE(ILImageAWebPCoder::sharedCoder()->canEncodeToFormat(ILImageFormatGIF));
  EXPECT_EQ(ILImageHEICCoder::sharedCoder()->animatedImageUTType(), "public.heics");
  EXPECT_EQ(ILImageHEICCoder::sharedCoder()->canDecodeFromData(webp), false);
  EXPECT_EQ(ILImageHEICCoder::sharedCoder()->canEncodeToFormat(ILImageFormatHEIF),
            ILImageIOAnimatedCoder::canEncodeToFormatType(ILImageFormatHEIF));
}

TEST_F(AnimatedCoderTest, OptionReadersSaturateAndDefault) {
  const Value options = Value::map({{"huge", 1e30}, {"negative", -5.0}, {"count", int64_t(7)},
                                    {"flag", int64_t(1)}, {"text", "yes"},
                                    {kILImageCoderDecodeScaleFactor, 0.25}});
  EXPECT_EQ(ILImageCoderOptionUnsigned(options, "huge", 0), UINT64_MAX);
  EXPECT_EQ(ILImageCoderOptionUnsigned(options, "negative", 9), 0u);
  EXPECT_EQ(ILImageCoderOptionUnsigned(options, "count", 0), 7u);
  EXPECT_EQ(ILImageCoderOptionUnsigned(options, "missing", 9), 9u);
  EXPECT_TRUE(ILImageCoderOptionBool(options, "flag", false));
  EXPECT_TRUE(ILImageCoderOptionBool(options, "text", true));  // not a boolean: the default
  EXPECT_EQ(ILImageCoderOptionScale(options), 1);
  EXPECT_EQ(ILImageCoderOptionScale(Value()), 1);
  EXPECT_EQ(ILImageCoderSizeFromValue(nullptr).width, 0);
  const Value size = ILImageCoderSizeValue({3, 4});
  EXPECT_EQ(ILImageCoderSizeFromValue(&size).height, 4);
}

class AnimatedCoderDeathTest : public PlatformTest {};

TEST_F(AnimatedCoderDeathTest, BaseClassAndMisuseStop) {
  auto gif = ILImageGIFCoder::sharedCoder();
  EXPECT_DEATH(gif->updateIncrementalData(nullptr, false), "Invalid parameter not satisfying");
  ILImageIOAnimatedCoder base;
  EXPECT_DEATH(base.imageFormat(), "you must override imageFormat method");
}

}  // namespace

}  // namespace animated_coder_test
