#include <gtest/gtest.h>

#include "crop/internal/CRCropOverlayView.h"
#include "crop/internal/CRCropScrollView.h"
#include "platform/uikit/UIScreen.h"
#include "platform/uikit/UIWindow.h"
#include "support/TestEnvironment.h"
#include "support/ui/UITouchDriver.h"
#include "support/ui/ScriptedDisplay.h"

namespace cr_crop_overlay_view_test {

namespace {

class CRCropOverlayViewTest : public PlatformTest {};

TEST_F(CRCropOverlayViewTest, LinesFollowTheFrameAndTheGridTakesOneDevicePixel) {
  UseScreenProfile(UIScreenProfile::phoneWithNotch());  // 3x
  auto window = std::make_shared<UIWindow>(CGRectMake(0, 0, 390, 844));
  auto overlay = CRCropOverlayView::overlayWithFrame(CGRectMake(20, 40, 300, 300));
  window->addSubview(overlay);
  EXPECT_FALSE(overlay->clipsToBounds());
  const auto& h = overlay->horizontalGridLines();
  ASSERT_EQ(h.size(), 2u);
  double t = 1.0 / 3, gap = (300 - 2 * t) / 3;
  EXPECT_NEAR(h[0]->frame().origin.y, gap, 1e-9);
  EXPECT_NEAR(h[0]->frame().origin.y, 99.7777, 1e-4);
  EXPECT_NEAR(h[1]->frame().origin.y, 2 * gap + t, 1e-9);
  EXPECT_NEAR(h[1]->frame().size.height, t, 1e-12);

  overlay->setFrame(CGRectMake(10, 10, 200, 100));
  const auto& outer = overlay->outerLineViews();
  EXPECT_EQ(outer[0]->frame(), CGRectMake(-1, -1, 202, 1));
  EXPECT_EQ(outer[1]->frame(), CGRectMake(200, 0, 1, 100));
  EXPECT_EQ(outer[2]->frame(), CGRectMake(-1, 100, 202, 1));
  EXPECT_EQ(outer[3]->frame(), CGRectMake(-1, 0, 1, 101));
  EXPECT_EQ(overlay->topRightLineViews()[1]->frame(), CGRectMake(180, -3, 20, 3));
  EXPECT_EQ(overlay->bottomLeftLineViews()[0]->frame(), CGRectMake(-3, 80, 3, 20));
  EXPECT_EQ(overlay->bottomLeftLineViews()[1]->frame(), CGRectMake(-3, 100, 23, 3));
  EXPECT_EQ(overlay->bottomRightLineViews()[0]->frame(), CGRectMake(200, 80, 3, 23));
  EXPECT_NEAR(overlay->verticalGridLines()[1]->frame().origin.x, 2 * (200 - 2 * t) / 3 + t, 1e-9);

  // Switching a set off and on leaves two lines, not four.
  size_t before = overlay->subviews().size();
  overlay->setDisplayHorizontalGridLines(false);
  EXPECT_TRUE(overlay->horizontalGridLines().empty());
  EXPECT_EQ(overlay->subviews().size(), before - 2);
  overlay->setDisplayHorizontalGridLines(true);
  EXPECT_EQ(overlay->horizontalGridLines().size(), 2u);
  EXPECT_EQ(overlay->subviews().size(), before);

  // The grid fades; the frame lines never do.
  overlay->setGridHidden(true, true);
  EXPECT_EQ(overlay->verticalGridLines()[0]->alpha(), 0);
  EXPECT_EQ(outer[0]->alpha(), 1);
  advance(0.4);
  overlay->setGridHidden(false);
  EXPECT_EQ(overlay->horizontalGridLines()[1]->alpha(), 1);
}

TEST_F(CRCropOverlayViewTest, ScrollViewReportsTouchesAndStillScrolls) {
  UseScreenProfile(UIScreenProfile::phone());
  auto window = std::make_shared<UIWindow>(CGRectMake(0, 0, 375, 667));
  window->makeKeyAndVisible();
  auto scroll = std::make_shared<CRCropScrollView>(window->bounds());
  scroll->setContentSize(CGSizeMake(375, 2000));
  window->addSubview(scroll);
  std::vector<std::string> log;
  scroll->setTouchesBegan([&] { log.push_back("began"); });
  scroll->setTouchesEnded([&] { log.push_back("ended"); });
  UITouchDriver hand(window);
  hand.tap(CGPointMake(100, 100));
  EXPECT_EQ(log, (std::vector<std::string>{"began", "ended"}));

  // Without blocks it is a plain scroll view.
  scroll->setTouchesBegan(nullptr);
  scroll->setTouchesEnded(nullptr);
  hand.drag({{100, 500}, {100, 200}}, 0.3);
  EXPECT_GT(scroll->contentOffset().y, 100);
  advance(5);
}

}  // namespace

}  // namespace cr_crop_overlay_view_test
