#include <gtest/gtest.h>

#include "platform/quartzcore/CAShapeLayer.h"
#include "platform/uikit/UIActivityIndicatorView.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIImageSymbolConfiguration.h"
#include "platform/uikit/UIGraphicsImageRenderer.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIProgressView.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIVisualEffectView.h"
#include "platform/uikit/UIWindow.h"
#include "support/TestEnvironment.h"
#include "support/ui/SnapshotTesting.h"
#include "support/ui/ScriptedDisplay.h"

namespace screen_rendering_test {

namespace {

class ScreenRenderingTest : public PlatformTest {};

UIImagePtr checkerImage() {
  auto format = UIGraphicsImageRendererFormat::defaultFormat();
  format->setScale(1);
  UIGraphicsImageRenderer renderer(CGSizeMake(64, 48), format);
  return renderer.imageWithActions([](UIGraphicsImageRendererContext& ctx) {
    for (int y = 0; y < 6; ++y) {
      for (int x = 0; x < 8; ++x) {
        bool dark = (x + y) % 2 == 0;
        CGContextSetRGBFillColor(ctx.CGContext(), dark ? 0.2 : 0.95, dark ? 0.5 : 0.8,
                                 dark ? 0.3 : 0.2, 1);
        ctx.fillRect(CGRectMake(x * 8, y * 8, 8, 8));
      }
    }
  });
}

// A rounded, filled button with a symbol beside its title.
std::shared_ptr<UIButton> titledButton(const std::string& title, const std::string& symbol,
                                       const CGRect& frame) {
  auto button = UIButton::buttonWithType(UIButtonType::System);
  button->setFrame(frame);
  button->setBackgroundColor(UIColor::systemBlueColor());
  button->layer()->setCornerRadius(10);
  button->setTintColor(UIColor::whiteColor());
  button->setTitle(title, UIControlStateNormal);
  button->titleLabel()->setFont(UIFont::systemFontOfSize(17, UIFontWeightSemibold));
  button->setImage(UIImage::systemImageNamed(symbol, UIImageSymbolConfiguration::configurationWithWeight(
                                                         UIImageSymbolWeightSemibold)),
                   UIControlStateNormal);
  button->setTitleEdgeInsets(UIEdgeInsetsMake(0, 8, 0, 0));
  return button;
}

std::shared_ptr<UIWindow> buildScreen() {
  UseScreenProfile(UIScreenProfile::phone());
  auto window = std::make_shared<UIWindow>(UIScreen::mainScreen()->bounds());
  window->setBackgroundColor(UIColor::systemGray6Color());

  auto title = std::make_shared<UILabel>(CGRectMake(20, 30, 335, 30));
  title->setText("Headless screen");
  title->setFont(UIFont::boldSystemFontOfSize(24));
  window->addSubview(title);

  auto image = std::make_shared<UIImageView>(CGRectMake(20, 80, 160, 120));
  image->setImage(checkerImage());
  image->setContentMode(UIViewContentModeScaleAspectFill);
  image->setClipsToBounds(true);
  window->addSubview(image);

  auto card = UIView::viewWithFrame(CGRectMake(195, 80, 160, 120));
  card->setBackgroundColor(UIColor::whiteColor());
  card->layer()->setCornerRadius(16);
  card->layer()->setBorderWidth(3);
  card->layer()->setBorderColor(UIColor::redColor()->CGColor());
  card->layer()->setShadowOpacity(0.4);
  card->layer()->setShadowRadius(6);
  card->layer()->setShadowOffset(CGSizeMake(0, 4));
  window->addSubview(card);

  auto star = CAShapeLayer::layer();
  star->setFrame(CGRectMake(40, 20, 80, 80));
  auto path = CGPathCreateMutable();
  for (int i = 0; i < 10; ++i) {
    double r = i % 2 == 0 ? 40 : 16, a = -M_PI / 2 + i * M_PI / 5;
    double x = 40 + r * std::cos(a), y = 40 + r * std::sin(a);
    if (i == 0) {
      CGPathMoveToPoint(path, nullptr, x, y);
    } else {
      CGPathAddLineToPoint(path, nullptr, x, y);
    }
  }
  CGPathCloseSubpath(path);
  star->setPath(path);
  star->setFillColor(UIColor::colorWithRed(1, 0.8, 0, 1)->CGColor());
  star->setStrokeColor(UIColor::darkGrayColor()->CGColor());
  star->setLineWidth(2);
  star->setLineDashPattern({6, 3});
  card->layer()->addSublayer(star);

  auto progress = std::make_shared<UIProgressView>();
  progress->setFrame(CGRectMake(20, 220, 335, 4));
  progress->setProgress(0.6);
  window->addSubview(progress);

  auto spinner = std::make_shared<UIActivityIndicatorView>(UIActivityIndicatorViewStyleLarge);
  spinner->setCenter(CGPointMake(187.5, 280));
  spinner->setHidesWhenStopped(false);
  window->addSubview(spinner);

  window->addSubview(titledButton("Choose", "aspectratio.fill", CGRectMake(20, 330, 160, 50)));
  window->addSubview(titledButton("Done", "checkmark", CGRectMake(195, 330, 160, 50)));

  auto bar = std::make_shared<UIVisualEffectView>(
      UIBlurEffect::effectWithStyle(UIBlurEffectStyleDark));
  bar->setFrame(CGRectMake(0, 600, 375, 67));
  window->addSubview(bar);
  auto caption = std::make_shared<UILabel>(CGRectMake(0, 0, 375, 49));
  caption->setText("3 photos selected");
  caption->setTextColor(UIColor::whiteColor());
  caption->setTextAlignment(NSTextAlignmentCenter);
  bar->contentView()->addSubview(caption);
  return window;
}

TEST_F(ScreenRenderingTest, MatchesTheGoldenPicture) {
  auto window = buildScreen();
  auto image = RenderView(*window, 2);
  SaveSnapshot(image, "uikit-screen");
  ASSERT_TRUE(image->CGImage());
  EXPECT_EQ(image->CGImage()->width(), 750u);
  EXPECT_EQ(image->CGImage()->height(), 1334u);
  EXPECT_TRUE(MatchesGolden(image, "uikit/screen.png", 8, 200));
}

TEST_F(ScreenRenderingTest, SnapshotsShowTheStateMidAnimation) {
  auto window = buildScreen();
  auto box = UIView::viewWithFrame(CGRectMake(0, 500, 50, 50));
  box->setBackgroundColor(UIColor::blackColor());
  window->addSubview(box);
  UIView::animateWithDuration(1, 0, UIViewAnimationOptionCurveLinear,
                              [&box] { box->setCenter(CGPointMake(325, 525)); }, nullptr);
  advance(0.5);
  auto snapshot = window->snapshotViewAfterScreenUpdates(false);
  SaveSnapshot(UIImage::imageWithCGImage(snapshot->layer()->contents()), "uikit-mid-animation");
  const auto& cg = snapshot->layer()->contents();
  ASSERT_TRUE(cg);
  auto pixels = RGBAPixels(cg);
  auto dark = [&](double x, double y) {
    size_t px = size_t(x * 2), py = size_t(y * 2);  // the phone profile's scale
    const uint8_t* p = &pixels[(py * cg->width() + px) * 4];
    return p[0] < 40 && p[3] == 255;
  };
  EXPECT_TRUE(dark(175, 525));   // halfway: the box is centred at x 175
  EXPECT_FALSE(dark(25, 525));   // not at the start
  EXPECT_FALSE(dark(325, 525));  // nor at the end yet
  advance(0.5);
}

}  // namespace

}  // namespace screen_rendering_test
