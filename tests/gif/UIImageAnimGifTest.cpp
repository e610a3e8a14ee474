#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "GifTestSupport.h"
#include "gif/UIImageAnimGif.h"
#include "support/images/ImageLoadingTestSupport.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIScreen.h"
#include "support/ScriptedLocations.h"
#include "support/TempFolder.h"
#include "support/TestEnvironment.h"

namespace ui_image_anim_gif_test {

using namespace AnimGif;
using il_test::AnimatedFile;
using il_test::TestFrame;

namespace {

constexpr const char* kGif = "com.compuserve.gif";

// A 1x1 GIF of `frames` images, none with a graphic control block.
NSDataPtr gifWithoutControlBlocks(int frames) {
  std::vector<uint8_t> bytes = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0,
                                0, 0, 0, 255, 255, 255};
  for (int i = 0; i < frames; ++i) {
    const uint8_t image[] = {0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 2, 0x44, 0x01, 0};
    bytes.insert(bytes.end(), image, image + sizeof image);
  }
  bytes.push_back(0x3B);
  return NSData::dataWithBytes(bytes.data(), bytes.size());
}

class GifImageTest : public PlatformTest {
 protected:
  void TearDown() override {
    UIScreen::mainScreen()->setMaximumFramesPerSecond(60);
    PlatformTest::TearDown();
  }

  static int64_t errorCode(const NSErrorPtr& error) { return error ? error->code() : -1; }
};

TEST_F(GifImageTest, CadenceFollowsTheFrameDroppingRule) {
  // Delays 0.5, 0.5, 1.0: with no loss allowed 30-tick slots keep every
  // frame; at level 0.5 one lost frame of three is fine in 60-tick slots.
  auto exact = displayScheduleForDelays({0.5f, 0.5f, 1.0f}, 1.0f, 60);
  ASSERT_TRUE(exact);
  EXPECT_EQ(exact->displayRefreshFactor, 30);
  EXPECT_EQ(exact->imageCount, 4);
  EXPECT_EQ(exact->displayOrder, (std::vector<int64_t>{0, 1, 2, 2}));

  auto half = displayScheduleForDelays({0.5f, 0.5f, 1.0f}, 0.5f, 60);
  ASSERT_TRUE(half);
  EXPECT_EQ(half->displayRefreshFactor, 60);
  EXPECT_EQ(half->imageCount, 2);
  EXPECT_EQ(half->displayOrder, (std::vector<int64_t>{1, 2}));

  // A 120 Hz screen tries two-second slots first, which lose two frames.
  auto fast = displayScheduleForDelays({0.5f, 0.5f, 1.0f}, 0.5f, 120);
  ASSERT_TRUE(fast);
  EXPECT_EQ(fast->displayRefreshFactor, 60);
  EXPECT_EQ(fast->displayOrder, (std::vector<int64_t>{1, 2}));
  // 90 and 240 Hz screens count like 60 Hz ones.
  auto other = displayScheduleForDelays({2.0f}, 1.0f, 90);
  ASSERT_TRUE(other);
  EXPECT_EQ(other->displayRefreshFactor, 60);

  auto single = displayScheduleForDelays({0.5f}, 0.8f, 60);
  ASSERT_TRUE(single);
  EXPECT_EQ(single->displayRefreshFactor, 30);
  EXPECT_EQ(single->imageCount, 1);
  EXPECT_EQ(single->displayOrder, (std::vector<int64_t>{0}));

  // Every delay 0: all frames are lost everywhere, so the finest cadence
  // is taken with nothing to show.
  auto zero = displayScheduleForDelays({0, 0, 0}, 0.8f, 60);
  ASSERT_TRUE(zero);
  EXPECT_EQ(zero->displayRefreshFactor, 1);
  EXPECT_EQ(zero->imageCount, 0);
  EXPECT_TRUE(zero->displayOrder.empty());
}

TEST_F(GifImageTest, LevelsOutsideZeroToOneAreClamped) {
  const std::vector<float> delays = {0.1f, 0.1f, 0.1f, 0.1f};
  // Level 0 (and below, and NaN) accept the coarsest cadence whatever it
  // loses.
  for (float level : {0.0f, -3.0f, std::numeric_limits<float>::quiet_NaN()}) {
    auto s = displayScheduleForDelays(delays, level, 60);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->displayRefreshFactor, 60) << level;
    EXPECT_EQ(s->imageCount, 0) << level;
  }
  auto one = displayScheduleForDelays(delays, 1.0f, 60);
  auto above = displayScheduleForDelays(delays, 7.0f, 60);
  ASSERT_TRUE(one && above);
  EXPECT_EQ(one->displayRefreshFactor, 6);
  EXPECT_EQ(above->displayRefreshFactor, one->displayRefreshFactor);
  EXPECT_EQ(above->displayOrder, one->displayOrder);
}

TEST_F(GifImageTest, CadencesNeedingHugeSlotListsAreRefused) {
  // Alternating eleven-minute and 10 ms frames keep every frame at no
  // cadence; the finest would need 2.4 million slots for a loop of eleven
  // hours. The finest that stays within the limit is taken instead.
  std::vector<float> delays;
  for (int i = 0; i < 60; ++i) {
    delays.push_back(655.35f);
    delays.push_back(0.01f);
  }
  auto s = displayScheduleForDelays(delays, 1.0f, 60);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->displayRefreshFactor, 10);
  EXPECT_LE(s->imageCount, kMaxDisplaySlots);
  EXPECT_GT(s->imageCount, 200000);
  EXPECT_EQ(static_cast<int64_t>(s->displayOrder.size()), s->imageCount);

  // A loop too long for any cadence has no usable timing.
  std::vector<float> endless(10000, 655.35f);
  EXPECT_FALSE(displayScheduleForDelays(endless, 1.0f, 60));
  auto data = AnimatedFile(kGif, {{{255, 0, 0, 255}, 655.35}, {{0, 0, 255, 255}, 655.35}});
  ASSERT_TRUE(data);
  auto fine = std::make_shared<UIImage>();
  EXPECT_TRUE(setGifFromData(*fine, data, 1.0f));
  EXPECT_EQ(imageCount(*fine), 1310);
}

TEST_F(GifImageTest, ParsesDelaysAndEstimatesTheCache) {
  // A written delay of 0 reads back as unclamped 0 and clamped 0.1, and
  // takes 0.1; 0.05 is taken unclamped.
  auto data = AnimatedFile(kGif,
                           {{{255, 0, 0, 255}, 0.1},
                            {{0, 255, 0, 255}, 0.2},
                            {{0, 0, 255, 255}, 0.0},
                            {{255, 255, 0, 255}, 0.05}},
                           500, 500);
  ASSERT_TRUE(data);
  NSErrorPtr error;
  auto image = imageWithGifData(data, LevelOfIntegrity::highestNoFrameSkipping, &error);
  ASSERT_TRUE(image);
  EXPECT_FALSE(error);
  EXPECT_EQ(imageData(*image), data);
  ASSERT_TRUE(imageSource(*image));
  EXPECT_EQ(CGImageSourceGetCount(imageSource(*image)), 4u);
  EXPECT_EQ(displayRefreshFactor(*image), 5);
  EXPECT_EQ(imageCount(*image), 5);
  EXPECT_EQ(displayOrder(*image), (std::vector<int64_t>{0, 1, 1, 2, 3}));
  EXPECT_EQ(framesCount(*image), 5);
  EXPECT_EQ(displayOrderFrame(*image, 2), 1);
  EXPECT_FALSE(displayOrderFrame(*image, 5));
  EXPECT_FALSE(displayOrderFrame(*image, -1));
  // 500 x 500 x 4 bytes for each of five slots.
  EXPECT_EQ(imageSize(*image), 5);
  // The image's own bitmap stays empty.
  EXPECT_FALSE(image->CGImage());

  // 10 ms, which the image source clamps to 100 ms, is used unclamped.
  auto quick = AnimatedFile(kGif, {{{255, 0, 0, 255}, 0.01}, {{0, 255, 0, 255}, 0.1}});
  auto quickImage = imageWithGifData(quick, 1.0f);
  ASSERT_TRUE(quickImage);
  EXPECT_DOUBLE_EQ(CGImageSourceCopyPropertiesAtIndex(imageSource(*quickImage), 0)
                       .find(kCGImagePropertyGIFDictionary)
                       ->find(kCGImagePropertyGIFDelayTime)
                       ->asDouble(),
                   0.1);
  // Taken clamped, both frames would last a tenth; unclamped, the first
  // ends inside the first sixtieth and is dropped.
  EXPECT_EQ(displayRefreshFactor(*quickImage), 1);
  EXPECT_EQ(displayOrder(*quickImage), (std::vector<int64_t>{1, 1, 1, 1, 1, 1}));

  clear(*image);
  EXPECT_FALSE(imageSource(*image));
  EXPECT_FALSE(imageData(*image));
  EXPECT_FALSE(displayOrder(*image));
  EXPECT_FALSE(imageCount(*image));
  EXPECT_FALSE(displayRefreshFactor(*image));
  EXPECT_FALSE(imageSize(*image));
  EXPECT_EQ(framesCount(*image), 0);
}

TEST_F(GifImageTest, BadDataGivesTheParseErrors) {
  NSErrorPtr error;
  // Bytes of no image type: no error, nothing stored.
  auto garbage = NSData::dataWithBytes(std::string("<html>not found</html>").data(), 22);
  auto empty = imageWithGifData(garbage, 0.8f, &error);
  ASSERT_TRUE(empty);
  EXPECT_FALSE(error);
  EXPECT_FALSE(imageData(*empty));
  EXPECT_FALSE(imageSource(*empty));
  EXPECT_EQ(framesCount(*empty), 0);
  EXPECT_TRUE(imageWithGifData(nullptr, 0.8f, &error));
  EXPECT_FALSE(error);

  // Images without a graphic control block have a delay of 0, which takes
  // the clamped tenth of a second: they animate like any other GIF.
  auto untimed = imageWithGifData(gifWithoutControlBlocks(3), 1.0f, &error);
  ASSERT_TRUE(untimed);
  EXPECT_FALSE(error);
  EXPECT_EQ(displayRefreshFactor(*untimed), 6);
  EXPECT_EQ(displayOrder(*untimed), (std::vector<int64_t>{0, 1, 2}));

  EXPECT_EQ(GifParseErrorMake(GifParseError::noTimingInfo)->domain(), GifParseErrorDomain);
  EXPECT_EQ(GifParseErrorMake(GifParseError::noTimingInfo)->localizedDescription(),
            "Invalid gif file ");

  // A PNG makes a source, but its frames have no GIF dictionary. The source
  // and the bytes stay stored, without a schedule.
  auto png = il_test::StillFile("public.png", il_test::SolidImage(4, 4, {0, 0, 255, 255}));
  auto image = std::make_shared<UIImage>();
  EXPECT_FALSE(setGifFromData(*image, png, 0.8f, &error));
  EXPECT_EQ(errorCode(error), int64_t(GifParseError::noGifDictionary));
  EXPECT_EQ(imageData(*image), png);
  EXPECT_TRUE(imageSource(*image));
  EXPECT_FALSE(imageCount(*image));

  // Parsing good bytes and then bad ones leaves no stale schedule behind.
  auto gif = AnimatedFile(kGif, {{{255, 0, 0, 255}, 0.1}, {{0, 255, 0, 255}, 0.1}});
  ASSERT_TRUE(setGifFromData(*image, gif, 0.8f));
  EXPECT_TRUE(imageCount(*image));
  EXPECT_FALSE(setGifFromData(*image, png, 0.8f));
  EXPECT_FALSE(imageCount(*image));
  EXPECT_FALSE(displayOrder(*image));
  EXPECT_FALSE(imageSize(*image));

  // The image source refuses a GIF without any frame, so that is the
  // quiet case too (URL loads turn it into a failure).
  error = nullptr;
  auto noFrames = imageWithGifData(gif_test::FramelessGif(), 0.8f, &error);
  ASSERT_TRUE(noFrames);
  EXPECT_FALSE(error);
  EXPECT_FALSE(imageData(*noFrames));

  EXPECT_EQ(GifParseErrorMake(GifParseError::invalidFilename)->localizedDescription(),
            "Invalid file name");
  EXPECT_EQ(GifParseErrorMake(GifParseError::noProperties)->code(), 2);
}

TEST_F(GifImageTest, TruncatedAndAbsurdFilesNeverCrash) {
  auto gif = AnimatedFile(kGif,
                          {{{255, 0, 0, 255}, 0.1}, {{0, 255, 0, 255}, 0.1},
                           {{0, 0, 255, 255}, 0.1}},
                          64, 64);
  ASSERT_TRUE(gif);
  // Cut inside the header: no source. Cut inside the frames: what arrived
  // plays, and every slot names a frame the source has.
  for (size_t cut : {size_t(6), size_t(13)}) {
    NSErrorPtr error;
    auto image = imageWithGifData(NSData::dataWithBytes(gif->bytes(), cut), 0.8f, &error);
    ASSERT_TRUE(image);
    EXPECT_FALSE(error);
    EXPECT_FALSE(imageSource(*image)) << cut;
  }
  for (size_t cut : {gif->length() / 2, gif->length() - 1}) {
    NSErrorPtr error;
    auto image = imageWithGifData(NSData::dataWithBytes(gif->bytes(), cut), 0.8f, &error);
    ASSERT_TRUE(image) << cut;
    EXPECT_FALSE(error) << cut;
    ASSERT_TRUE(imageSource(*image)) << cut;
    const size_t frames = CGImageSourceGetCount(imageSource(*image));
    EXPECT_GE(frames, 1u) << cut;
    EXPECT_EQ(framesCount(*image), static_cast<int64_t>(frames)) << cut;
    for (int64_t frame : displayOrder(*image).value_or(std::vector<int64_t>{})) {
      EXPECT_LT(static_cast<size_t>(frame), frames) << cut;
    }
  }
  // A screen of 65535 x 65535 pixels in a few bytes is refused before any
  // pixel is allocated.
  uint8_t huge[] = {'G', 'I', 'F', '8', '9', 'a', 0xFF, 0xFF, 0xFF, 0xFF, 0x80, 0, 0,
                    0, 0, 0, 255, 255, 255, 0x2C, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0,
                    2, 2, 0x44, 0x01, 0, 0x3B};
  NSErrorPtr error;
  auto image = imageWithGifData(NSData::dataWithBytes(huge, sizeof huge), 0.8f, &error);
  ASSERT_TRUE(image);
  EXPECT_FALSE(error);
  EXPECT_FALSE(imageSource(*image));
  EXPECT_FALSE(imageSize(*image));
}

TEST_F(GifImageTest, NamedResourcesAndFallbacks) {
  TempFolder folder;
  auto gif = AnimatedFile(kGif, {{{255, 0, 0, 255}, 0.1}, {{0, 255, 0, 255}, 0.1}});
  folder.writeFile("spin.gif", gif->vector());
  folder.writeFile("upper.GIF.gif", gif->vector());
  folder.writeFile(".gif.gif", gif->vector());
  folder.makeFolder("broken.gif");
  auto bundle = NSBundle::bundleWithPath(folder.path());
  ASSERT_TRUE(bundle);

  NSErrorPtr error;
  // With and without the lower-case extension.
  for (const char* name : {"spin", "spin.gif"}) {
    auto image = imageWithGifName(name, 0.8f, bundle, &error);
    ASSERT_TRUE(image) << name;
    EXPECT_EQ(framesCount(*image), 2) << name;
  }
  // An upper-case extension is not the extension: ".gif" is appended.
  auto upper = imageWithGifName("upper.GIF", 0.8f, bundle, &error);
  ASSERT_TRUE(upper);
  EXPECT_EQ(framesCount(*upper), 2);
  // Nor is a name that only begins with a dot: ".gif" means ".gif.gif".
  auto dotted = imageWithGifName(".gif", 0.8f, bundle, &error);
  ASSERT_TRUE(dotted);
  EXPECT_EQ(framesCount(*dotted), 2);

  EXPECT_FALSE(imageWithGifName("missing", 0.8f, bundle, &error));
  EXPECT_EQ(errorCode(error), int64_t(GifParseError::invalidFilename));

  // Found but unreadable: an empty image, no error.
  error = nullptr;
  auto unreadable = imageWithGifName("broken", 0.8f, bundle, &error);
  ASSERT_TRUE(unreadable);
  EXPECT_FALSE(error);
  EXPECT_FALSE(imageData(*unreadable));

  auto plain = std::make_shared<UIImage>();
  EXPECT_TRUE(setGif(*plain, "spin", bundle));
  EXPECT_EQ(displayRefreshFactor(*plain), 6);

  // The lenient forms fall back to the platform's plain images.
  auto png = il_test::StillFile("public.png", il_test::SolidImage(3, 2, {0, 0, 255, 255}));
  auto still = imageWithImageData(png, 0.8f);
  ASSERT_TRUE(still);
  ASSERT_TRUE(still->CGImage());
  EXPECT_EQ(still->CGImage()->width(), 3u);
  EXPECT_FALSE(imageWithImageData(NSData::dataWithBytes(std::string("nope").data(), 4), 0.8f)
                   ->CGImage());
  EXPECT_EQ(framesCount(*imageWithImageData(gif, 0.8f)), 2);

  TempFolder mainFolder;
  mainFolder.writeFile("still.png", png->vector());
  ScriptedLocations::installed().setMainBundlePath(mainFolder.path());
  auto named = imageWithImageName("still", 0.8f, bundle);
  ScriptedLocations::installed().setMainBundlePath("");
  ASSERT_TRUE(named);
  ASSERT_TRUE(named->CGImage());
  EXPECT_EQ(named->CGImage()->width(), 3u);
  EXPECT_FALSE(imageWithImageName("nowhere", 0.8f, bundle));
  auto namedGif = imageWithImageName("spin", 0.8f, bundle);
  ASSERT_TRUE(namedGif);
  EXPECT_EQ(framesCount(*namedGif), 2);
}

}  // namespace

}  // namespace ui_image_anim_gif_test
