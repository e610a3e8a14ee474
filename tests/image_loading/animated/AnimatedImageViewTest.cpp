#include <gtest/gtest.h>

#include "platform/foundation/Value.h"
#include "support/images/ImageLoadingTestSupport.h"
#include "image_loading/animated/ILAnimatedImage.h"
#include "image_loading/animated/internal/ILAnimatedImageView.h"
#include "image_loading/animated/ILImageFramePool.h"
#include "image_loading/coders/UIImageMetadata.h"
#include "image_loading/coders/ILImageIOAnimatedCoder.h"
#include "image_loading/transformers/ILImageTransformer.h"
#include "platform/foundation/NSOperation.h"
#include "platform/quartzcore/CADisplayLink.h"
#include "platform/uikit/UIWindow.h"
#include "support/TestEnvironment.h"
#include "support/ui/SnapshotTesting.h"

namespace animated_image_view_test {

namespace {

constexpr std::array<uint8_t, 4> kRed{255, 0, 0, 255};
constexpr std::array<uint8_t, 4> kGreen{0, 255, 0, 255};
constexpr std::array<uint8_t, 4> kBlue{0, 0, 255, 255};
constexpr std::array<uint8_t, 4> kYellow{255, 255, 0, 255};
const std::vector<std::array<uint8_t, 4>> kColors{kRed, kGreen, kBlue, kYellow};

// A little over one display frame: one refresh of the display link per step.
constexpr double kFrame = CADisplayLink::kFrameInterval + 1e-6;

std::array<uint8_t, 4> pixel(const std::vector<uint8_t>& rgba, size_t width, size_t x, size_t y) {
  const uint8_t* p = &rgba[(y * width + x) * 4];
  return {p[0], p[1], p[2], p[3]};
}

class AnimatedImageViewTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    window = std::make_shared<UIWindow>(CGRectMake(0, 0, 60, 60));
    window->setBackgroundColor(UIColor::whiteColor());
    window->makeKeyAndVisible();
  }
  void TearDown() override {
    window.reset();
    PlatformTest::TearDown();
  }

  static NSDataPtr gifData(size_t frames, int64_t loops = 0) {
    std::vector<il_test::TestFrame> list;
    for (size_t i = 0; i < frames; ++i) list.push_back({kColors[i], 0.1});
    return il_test::AnimatedFile("com.compuserve.gif", list, 8, 8, loops);
  }
  static ILAnimatedImage::Ptr gif(size_t frames, int64_t loops = 0) {
    return ILAnimatedImage::imageWithData(gifData(frames, loops));
  }

  // A view in the window; at ten times the speed every refresh ends a 0.1 s frame.
  std::shared_ptr<ILAnimatedImageView> makeView(bool inWindow = true) {
    auto view = std::make_shared<ILAnimatedImageView>(CGRectMake(10, 10, 40, 40));
    view->setPlaybackRate(10);
    if (inWindow) window->addSubview(view);
    return view;
  }

  // One display refresh, then the frame pool's decode settles.
  static void tick(const ILAnimatedImageView& view, int count = 1) {
    for (int i = 0; i < count; ++i) {
      advance(kFrame);
      if (!view.player()) continue;
      ASSERT_TRUE(view.player()->framePool()->fetchQueue()->waitUntilAllOperationsAreFinished(
          kTestTimeoutSeconds));
    }
  }

  // The colour the window shows at the middle of the view, rendered to a PNG
  // kept under `name`.
  std::array<uint8_t, 4> shownColor(const std::string& name) {
    UIImagePtr picture = RenderView(*window, 1);
    SaveSnapshot(picture, name);
    return pixel(RGBAPixels(picture->CGImage()), 60, 30, 30);
  }

  std::shared_ptr<UIWindow> window;
};

TEST_F(AnimatedImageViewTest, PlaysInAVisibleWindowAndPausesWhenHiddenOrTransparent) {
  auto view = makeView(false);
  view->setImage(gif(3));
  ASSERT_TRUE(view->player());
  EXPECT_FALSE(view->isAnimating());  // not in a window yet

  window->addSubview(view);
  EXPECT_TRUE(view->shouldAnimate());
  EXPECT_TRUE(view->isAnimating());
  tick(*view);  // the first frame, shown at once from the image's own bitmap
  EXPECT_EQ(view->currentFrameIndex(), 0u);
  EXPECT_TRUE(il_test::Near(shownColor("animated_view_frame0"), kRed));
  tick(*view);
  EXPECT_EQ(view->currentFrameIndex(), 1u);
  EXPECT_TRUE(il_test::Near(shownColor("animated_view_frame1"), kGreen));

  view->setHidden(true);
  EXPECT_FALSE(view->isAnimating());
  tick(*view, 3);
  EXPECT_EQ(view->currentFrameIndex(), 1u);
  view->setHidden(false);
  EXPECT_TRUE(view->isAnimating());
  tick(*view);  // resumes from the frame it stood on
  EXPECT_EQ(view->currentFrameIndex(), 2u);
  EXPECT_TRUE(il_test::Near(shownColor("animated_view_frame2"), kBlue));

  view->setAlpha(0);
  EXPECT_FALSE(view->isAnimating());
  tick(*view, 2);
  EXPECT_EQ(view->currentFrameIndex(), 2u);
  view->setAlpha(0.5);
  EXPECT_TRUE(view->isAnimating());
  tick(*view);
  EXPECT_EQ(view->currentFrameIndex(), 0u);
  EXPECT_EQ(view->currentLoopCount(), 1u);

  // Leaving the window pauses; without auto-play the view stays as it is.
  view->removeFromSuperview();
  EXPECT_FALSE(view->isAnimating());
  view->setAutoPlayAnimatedImage(false);
  window->addSubview(view);
  EXPECT_FALSE(view->isAnimating());
  view->startAnimating();
  EXPECT_TRUE(view->isAnimating());
}

TEST_F(AnimatedImageViewTest, StoppingCanResetTheFrameAndEmptyThePool) {
  auto view = makeView();
  view->setImage(gif(3));
  tick(*view, 2);
  EXPECT_EQ(view->player()->currentFrameIndex(), 2u);

  view->removeFromSuperview();  // paused: the position stays
  EXPECT_EQ(view->player()->currentFrameIndex(), 2u);
  EXPECT_GT(view->player()->framePool()->currentFrameCount(), 0u);
  window->addSubview(view);

  view->setResetFrameIndexWhenStopped(true);
  view->setClearBufferWhenStopped(true);
  view->removeFromSuperview();
  EXPECT_EQ(view->player()->currentFrameIndex(), 0u);
  EXPECT_EQ(view->player()->currentFrame(), nullptr);
  EXPECT_EQ(view->player()->framePool()->currentFrameCount(), 0u);
  window->addSubview(view);
  tick(*view, 2);
  EXPECT_EQ(view->currentFrameIndex(), 1u);  // started over: frames 0 then 1
  EXPECT_EQ(view->player()->currentLoopCount(), 0u);
}

TEST_F(AnimatedImageViewTest, OnlyAnimatedImagesOfTwoFramesOrMoreGetAPlayer) {
  auto view = makeView();
  auto image = gif(3);
  view->setImage(image);
  auto player = view->player();
  tick(*view, 2);
  view->setImage(image);  // the identical image: nothing changes
  EXPECT_EQ(view->player(), player);
  EXPECT_EQ(view->currentFrameIndex(), 1u);

  // A highlighted look is refused while a player plays.
  view->setHighlightedImage(il_test::SolidUIImage(8, 8, kYellow));
  view->setHighlighted(true);
  EXPECT_FALSE(view->isHighlighted());

  view->setImage(gif(1));
  EXPECT_EQ(view->player(), nullptr);
  EXPECT_EQ(view->currentFrame(), nullptr);
  EXPECT_EQ(view->currentFrameIndex(), 0u);
  view->setImage(il_test::SolidUIImage(8, 8, kGreen));
  EXPECT_EQ(view->player(), nullptr);
  EXPECT_FALSE(view->isAnimating());
  EXPECT_TRUE(il_test::Near(shownColor("animated_view_still_image"), kGreen));
  view->setHighlighted(true);
  EXPECT_TRUE(view->isHighlighted());
  EXPECT_TRUE(il_test::Near(shownColor("animated_view_still_highlighted"), kYellow));
  view->setImage(nullptr);
  EXPECT_TRUE(il_test::Near(shownColor("animated_view_no_image"), kYellow));
}

TEST_F(AnimatedImageViewTest, CustomLoopCountReplacesTheImagesOwn) {
  auto view = makeView(false);
  view->setShouldCustomLoopCount(true);
  view->setAnimationRepeatCount(2);
  view->setImage(gif(3, 0));  // endless by its own count
  EXPECT_EQ(view->player()->totalLoopCount(), 2u);
  window->addSubview(view);
  tick(*view, 5);
  EXPECT_TRUE(view->isAnimating());
  tick(*view);
  EXPECT_FALSE(view->isAnimating());
  EXPECT_EQ(view->currentLoopCount(), 2u);
  view->setAnimationRepeatCount(5);
  EXPECT_EQ(view->player()->totalLoopCount(), 5u);
  view->setShouldCustomLoopCount(false);
  view->setAnimationRepeatCount(1);
  EXPECT_EQ(view->player()->totalLoopCount(), 5u);
}

TEST_F(AnimatedImageViewTest, AnIncrementalLoadRestsOnTheLastArrivedFrameUntilMoreArrives) {
  const NSDataPtr full = gifData(3);
  auto coder = std::dynamic_pointer_cast<ILImageIOAnimatedCoder>(
      ILImageGIFCoder::sharedCoder()->initIncrementalWithOptions(Value()));
  ASSERT_TRUE(coder);
  // The shortest prefix in which two frames have arrived.
  size_t length = 1;
  for (; length < full->length(); ++length) {
    coder->updateIncrementalData(NSData::dataWithBytes(full->bytes(), length), false);
    if (coder->animatedImageFrameCount() == 2) break;
  }
  ASSERT_LT(length, full->length());
  auto partial = ILAnimatedImage::imageWithAnimatedCoder(coder, 1);
  ASSERT_TRUE(partial);
  il_setIsIncremental(*partial, true);

  auto view = makeView();
  view->setImage(partial);
  EXPECT_TRUE(view->isProgressive());
  auto player = view->player();
  ASSERT_TRUE(player);
  // The second refresh shows frame 1 and wraps past the last frame that has
  // arrived: the player goes back to it and rests there, paused.
  tick(*view, 2);
  EXPECT_FALSE(view->isAnimating());
  EXPECT_EQ(view->currentFrameIndex(), 1u);
  EXPECT_EQ(view->currentLoopCount(), 0u);
  tick(*view, 2);
  EXPECT_EQ(view->currentFrameIndex(), 1u);
  EXPECT_TRUE(il_test::Near(shownColor("animated_view_incremental_rest"), kGreen));

  coder->updateIncrementalData(full, true);
  auto complete = ILAnimatedImage::imageWithAnimatedCoder(coder, 1);
  il_setIsIncremental(*complete, true);
  view->setImage(complete);
  EXPECT_TRUE(view->isProgressive());
  EXPECT_EQ(view->player(), player);  // the same player goes on
  EXPECT_EQ(player->totalFrameCount(), 3u);
  EXPECT_TRUE(view->isAnimating());
  tick(*view, 2);
  EXPECT_EQ(view->currentFrameIndex(), 2u);
  EXPECT_TRUE(il_test::Near(shownColor("animated_view_incremental_more"), kBlue));

  // Without incremental loading the same coder's image starts a new player.
  view->setShouldIncrementalLoad(false);
  view->setImage(partial);
  EXPECT_FALSE(view->isProgressive());
  auto own = view->player();
  EXPECT_NE(own, player);
  view->setShouldIncrementalLoad(true);
  // A finished image that is not incremental starts a fresh player too.
  view->setImage(ILAnimatedImage::imageWithData(full));
  EXPECT_FALSE(view->isProgressive());
  EXPECT_NE(view->player(), own);
}

TEST_F(AnimatedImageViewTest, TransformerRunsOverEveryFrameAndEqualWrappersShareAPool) {
  auto image = gif(3);
  auto tint = ILImageTintTransformer::transformerWithColor(UIColor::blackColor());
  auto view = makeView();
  view->setAnimationTransformer(tint);
  view->setImage(image);
  tick(*view, 2);
  EXPECT_EQ(view->currentFrameIndex(), 1u);
  EXPECT_TRUE(il_test::Near(shownColor("animated_view_tinted"), {0, 0, 0, 255}));

  auto other = makeView(false);
  other->setAnimationTransformer(ILImageTintTransformer::transformerWithColor(UIColor::blackColor()));
  other->setImage(image);
  EXPECT_EQ(other->player()->framePool(), view->player()->framePool());
  auto plain = makeView(false);
  plain->setImage(image);
  EXPECT_NE(plain->player()->framePool(), view->player()->framePool());
}

}  // namespace

}  // namespace animated_image_view_test
