#include <gtest/gtest.h>

#include <array>

#include "platform/uikit/UIGraphicsImageRenderer.h"
#include "platform/uikit/UIImageView.h"
#include "support/TestEnvironment.h"
#include "support/ui/SnapshotTesting.h"

namespace ui_image_view_test {

namespace {

class UIImageViewTest : public PlatformTest {};

UIImagePtr solid(double r, double g, double b, CGSize size = CGSizeMake(4, 2)) {
  auto format = UIGraphicsImageRendererFormat::defaultFormat();
  format->setScale(2);
  UIGraphicsImageRenderer renderer(size, format);
  return renderer.imageWithActions([&](UIGraphicsImageRendererContext& ctx) {
    CGContextSetRGBFillColor(ctx.CGContext(), r, g, b, 1);
    ctx.fillRect(CGRect{CGPointZero, size});
  });
}

TEST_F(UIImageViewTest, ShowsTheImageOrTheHighlightedOne) {
  auto red = solid(1, 0, 0), blue = solid(0, 0, 1);
  auto view = std::make_shared<UIImageView>(red);
  EXPECT_EQ(view->frame(), CGRectMake(0, 0, 4, 2));
  EXPECT_EQ(view->intrinsicContentSize(), CGSizeMake(4, 2));
  EXPECT_EQ(view->layer()->contents(), red->CGImage());
  EXPECT_EQ(view->layer()->contentsScale(), 2);
  view->setHighlightedImage(blue);
  EXPECT_EQ(view->layer()->contents(), red->CGImage());
  view->setHighlighted(true);
  EXPECT_EQ(view->layer()->contents(), blue->CGImage());
  view->setImage(nullptr);
  view->setHighlighted(false);
  EXPECT_EQ(view->layer()->contents(), nullptr);
  view->setContentMode(UIViewContentModeScaleAspectFill);
  EXPECT_EQ(view->layer()->contentsGravity(), kCAGravityResizeAspectFill);
}

TEST_F(UIImageViewTest, AnimationImagesPlayOnTheClock) {
  auto view = std::make_shared<UIImageView>(CGRectMake(0, 0, 4, 2));
  std::vector<UIImagePtr> frames{solid(1, 0, 0), solid(0, 1, 0), solid(0, 0, 1)};
  view->startAnimating();
  EXPECT_FALSE(view->isAnimating());  // no images yet
  view->setAnimationImages(frames);
  view->setAnimationDuration(0.3);
  view->setAnimationRepeatCount(2);
  view->startAnimating();
  EXPECT_TRUE(view->isAnimating());
  auto shown = [&view] { return view->layer()->presentationLayer()->contents(); };
  advance(0.05);
  EXPECT_EQ(shown(), frames[0]->CGImage());
  advance(0.1);
  EXPECT_EQ(shown(), frames[1]->CGImage());
  advance(0.1);
  EXPECT_EQ(shown(), frames[2]->CGImage());
  advance(0.1);  // second run
  EXPECT_EQ(shown(), frames[0]->CGImage());
  EXPECT_TRUE(view->isAnimating());
  advance(0.3);
  EXPECT_FALSE(view->isAnimating());
  EXPECT_EQ(shown(), nullptr);  // back to the (absent) image

  view->setAnimationRepeatCount(0);
  view->startAnimating();
  advance(10);
  EXPECT_TRUE(view->isAnimating());
  view->stopAnimating();
  EXPECT_FALSE(view->isAnimating());
  drainMainLoop();
}

TEST_F(UIImageViewTest, TemplateImagesTakeTheTint) {
  auto image = solid(0, 0, 0)->imageWithRenderingMode(UIImageRenderingModeAlwaysTemplate);
  auto view = std::make_shared<UIImageView>(image);
  view->setTintColor(UIColor::redColor());
  auto px = [&view] {
    auto p = RGBAPixels(view->layer()->contents());
    return std::array<int, 4>{p[0], p[1], p[2], p[3]};
  };
  EXPECT_EQ(px(), (std::array<int, 4>{255, 0, 0, 255}));
  view->setTintColor(UIColor::blueColor());
  EXPECT_EQ(px(), (std::array<int, 4>{0, 0, 255, 255}));
}

}  // namespace

}  // namespace ui_image_view_test
