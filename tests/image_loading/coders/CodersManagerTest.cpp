#include <gtest/gtest.h>

#include <atomic>

#include "support/images/ImageLoadingTestSupport.h"
#include "image_loading/coders/UIImageMetadata.h"
#include "image_loading/coders/ILImageCodersManager.h"
#include "image_loading/coders/ILImageIOAnimatedCoder.h"
#include "image_loading/coders/ILImageIOCoder.h"
#include "platform/foundation/Value.h"
#include "platform/uikit/UIImage.h"
#include "support/TestEnvironment.h"

namespace coders_manager_test {

namespace {

constexpr std::array<uint8_t, 4> kRed{255, 0, 0, 255};
constexpr std::array<uint8_t, 4> kBlue{0, 0, 255, 255};

// A coder that accepts what it is told to and records what it was asked.
class ScriptedCoder : public NSObject, public ILImageCoder {
 public:
  ScriptedCoder(bool accepts, UIImagePtr answer) : accepts_(accepts), answer_(std::move(answer)) {}
  bool canDecodeFromData(const NSDataPtr&) const override { return accepts_; }
  UIImagePtr decodedImageWithData(const NSDataPtr&, const Value&) const override {
    ++decodes;
    return answer_;
  }
  bool canEncodeToFormat(ILImageFormatCode) const override { return accepts_; }
  NSDataPtr encodedDataWithImage(const UIImagePtr&, ILImageFormatCode, const Value&) const override {
    ++encodes;
    return NSData::dataWithBytes("x", 1);
  }
  mutable std::atomic<int> decodes{0}, encodes{0};

 private:
  bool accepts_;
  UIImagePtr answer_;
};

class CodersManagerTest : public PlatformTest {};

TEST_F(CodersManagerTest, DefaultListRoutesEachFormatToItsCoder) {
  auto manager = ILImageCodersManager::sharedManager();
  EXPECT_EQ(manager, ILImageCodersManager::sharedManager());
  const auto coders = manager->coders();
  ASSERT_EQ(coders.size(), 3u);
  EXPECT_EQ(coders[0], std::static_pointer_cast<ILImageCoder>(ILImageIOCoder::sharedCoder()));
  EXPECT_EQ(coders[2], std::static_pointer_cast<ILImageCoder>(ILImageAPNGCoder::sharedCoder()));

  NSDataPtr apng = il_test::AnimatedFile("public.png", {{kRed, 0.1}, {kBlue, 0.1}});
  NSDataPtr gif = il_test::AnimatedFile("com.compuserve.gif", {{kRed, 0.1}, {kBlue, 0.2}}, 8, 8, 2);
  NSDataPtr webp = il_test::AnimatedFile("org.webmproject.webp", {{kRed, 0.1}, {kBlue, 0.1}});
  NSDataPtr jpeg = il_test::StillFile("public.jpeg", il_test::SolidImage(8, 8, kRed));

  UIImagePtr fromPNG = manager->decodedImageWithData(apng, Value());
  ASSERT_TRUE(fromPNG);
  EXPECT_TRUE(fromPNG->images());  // the APNG coder animates
  EXPECT_EQ(il_imageFormat(*fromPNG), ILImageFormatPNG);
  UIImagePtr fromGIF = manager->decodedImageWithData(gif, Value());
  ASSERT_TRUE(fromGIF && fromGIF->images());
  EXPECT_EQ(il_imageLoopCount(*fromGIF), 2u);
  // The ImageIO coder decodes only the first image of animated WebP.
  UIImagePtr fromWebP = manager->decodedImageWithData(webp, Value());
  ASSERT_TRUE(fromWebP);
  EXPECT_FALSE(fromWebP->images());
  EXPECT_EQ(il_imageFormat(*fromWebP), ILImageFormatWebP);
  UIImagePtr fromJPEG = manager->decodedImageWithData(jpeg, Value());
  ASSERT_TRUE(fromJPEG);
  EXPECT_EQ(il_imageFormat(*fromJPEG), ILImageFormatJPEG);
  EXPECT_TRUE(manager->canDecodeFromData(NSData::dataWithBytes("junk", 4)));
  EXPECT_EQ(manager->decodedImageWithData(NSData::dataWithBytes("junk", 4), Value()), nullptr);
  EXPECT_EQ(manager->decodedImageWithData(nullptr, Value()), nullptr);
}

TEST_F(CodersManagerTest, LaterCodersWinAndTheirFailureIsTheAnswer) {
  auto manager = std::make_shared<ILImageCodersManager>();
  NSDataPtr jpeg = il_test::StillFile("public.jpeg", il_test::SolidImage(8, 8, kRed));
  UIImagePtr scripted = il_test::SolidUIImage(1, 1, kBlue);
  auto winner = std::make_shared<ScriptedCoder>(true, scripted);
  manager->addCoder(winner);
  EXPECT_EQ(manager->decodedImageWithData(jpeg, Value()), scripted);
  EXPECT_TRUE(manager->encodedDataWithImage(scripted, ILImageFormatJPEG, Value()));
  EXPECT_EQ(winner->encodes, 1);

  auto failing = std::make_shared<ScriptedCoder>(true, nullptr);
  manager->addCoder(failing);
  EXPECT_EQ(manager->decodedImageWithData(jpeg, Value()), nullptr);
  EXPECT_EQ(winner->decodes, 1);  // not asked again after the newer coder failed

  auto refusing = std::make_shared<ScriptedCoder>(false, scripted);
  manager->addCoder(refusing);
  EXPECT_EQ(manager->decodedImageWithData(jpeg, Value()), nullptr);
  EXPECT_EQ(refusing->decodes, 0);

  manager->removeCoder(failing);
  manager->removeCoder(refusing);
  EXPECT_EQ(manager->decodedImageWithData(jpeg, Value()), scripted);

  const size_t before = manager->coders().size();
  manager->addCoder(std::make_shared<NSObject>());
  manager->addCoder(nullptr);
  EXPECT_EQ(manager->coders().size(), before);

  // Frames go only to coders that encode frames; empty lists to nobody.
  std::vector<ILImageFrame> frames{ILImageFrame::frameWithImage(scripted, 0.1)};
  EXPECT_EQ(manager->encodedDataWithFrames({}, 0, ILImageFormatGIF, Value()), nullptr);
  NSDataPtr gif = manager->encodedDataWithFrames(frames, 0, ILImageFormatGIF, Value());
  EXPECT_EQ(winner->encodes, 1);
  ASSERT_TRUE(gif);
  EXPECT_EQ(il_imageFormatForImageData(gif), ILImageFormatGIF);

  manager->setCoders({});
  EXPECT_FALSE(manager->canDecodeFromData(jpeg));
  EXPECT_FALSE(manager->canEncodeToFormat(ILImageFormatJPEG));
  EXPECT_EQ(manager->decodedImageWithData(jpeg, Value()), nullptr);
  EXPECT_EQ(manager->encodedDataWithImage(scripted, ILImageFormatJPEG, Value()), nullptr);
}

}  // namespace

}  // namespace coders_manager_test
