// Rounding and limit boundaries of the crop screen: how a crop box is
// rounded when applied, the minimum ratio of a free drag met exactly, the
// rounding and minimum of locked drags, and the whole points the title and
// the toolbar's text buttons are laid out on.

#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "crop/CRCropView.h"
#include "crop/CRCropViewController.h"
#include "crop/CropTestSupport.h"
#include "crop/internal/CRCropToolbar.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIFont.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIWindow.h"
#include "support/TestEnvironment.h"
#include "support/ui/UITouchDriver.h"

namespace boundaries_test {

namespace {

class CropBoundariesTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    window = CropTestWindow();
  }
  // The canvas of a 400 x 300 picture filling the window: content region
  // (14, 14, 347, 639).
  std::shared_ptr<CRCropView> canvas() {
    auto view = CRCropView::viewWithCroppingStyle(CRCropViewCroppingStyleRectangular,
                                                  CropTestPicture(400, 300));
    view->setFrame(window->bounds());
    window->addSubview(view);
    view->performInitialSetup();
    return view;
  }
  // A finger on `from` moves ten points to start the drag, then to `to`.
  void dragHandle(CGPoint from, CGPoint start, CGPoint to) {
    UITouchDriver hand(window);
    auto touches = hand.down({from});
    hand.move(touches, {start});
    hand.move(touches, {to});
    hand.up(touches);
  }
  std::shared_ptr<UIWindow> window;
};

TEST_F(CropBoundariesTest, AnAppliedBoxIsRoundedDownAndKeptAtLeast42Points) {
  struct Row {
    CGRect set, stored;
  } rows[] = {
      {{{80.6, 250.4}, {200.7, 150.9}}, {{80, 250}, {200, 150}}},  // every side rounds down
      {{{80, 250}, {42, 42}}, {{80, 250}, {42, 42}}},              // exactly the minimum
      {{{80, 250}, {41.9, 42.9}}, {{80, 250}, {42, 42}}},          // raised to it
      {{{80, 250}, {43.99, 100}}, {{80, 250}, {43, 100}}},
  };
  auto view = canvas();
  for (const Row& r : rows) {
    view->setCropBoxFrame(r.set);
    EXPECT_EQ(view->cropBoxFrame(), r.stored) << r.set.size.width << "x" << r.set.size.height;
  }
}

TEST_F(CropBoundariesTest, AFreeDragStopsAtExactlyTheMinimumRatio) {
  // A 200 x 150 box with its right edge at 280 and its bottom at 400.
  struct Row {
    bool rightEdge;  // else the bottom edge
    double to;       // where the finger ends; the drag counts from ten points in
    CGSize size;
  } rows[] = {
      {true, 145, {75, 150}},    // 75 : 150 is exactly the minimum half
      {true, 144, {200, 150}},   // 74 : 150 is below it: the width stays
      {true, 146, {76, 150}},    // above it
      {false, 340, {200, 100}},  // 100 : 200
      {false, 339, {200, 150}},  // 99 : 200
  };
  for (const Row& r : rows) {
    auto view = canvas();
    view->setCropBoxFrame(CGRectMake(80, 250, 200, 150));
    view->setMinimumAspectRatio(0.5);
    if (r.rightEdge) {
      dragHandle({280, 325}, {270, 325}, {r.to, 325});
    } else {
      dragHandle({180, 400}, {180, 390}, {180, r.to});
    }
    EXPECT_EQ(view->cropBoxFrame().size, r.size) << (r.rightEdge ? "right " : "bottom ") << r.to;
    advance(2);
    view->removeFromSuperview();
  }
}

TEST_F(CropBoundariesTest, LockedDragsRoundCornersUpAndKeepTheLockedMinimum) {
  struct Row {
    CGRect box;
    CGPoint from, start, to;
    CGSize size;
  } rows[] = {
      // Bottom-right corner in by one point of width: s = 0.9975, 199.5 x 149.6 round up.
      {{{80, 250}, {200, 150}}, {280, 400}, {290, 410}, {289, 410}, {200, 150}},
      {{{80, 250}, {200, 150}}, {280, 400}, {290, 410}, {288, 410}, {199, 150}},  // 199 x 149.25
      {{{80, 250}, {200, 150}}, {280, 400}, {290, 410}, {290, 411}, {201, 151}},  // 200.67 x 150.5
      // A 2:1 box whose right edge is dragged in far: no narrower than 42 x 2.
      {{{80, 250}, {200, 100}}, {280, 300}, {270, 300}, {100, 300}, {84, 42}},
  };
  for (const Row& r : rows) {
    auto view = canvas();
    view->setCropBoxFrame(r.box);
    view->setAspectRatioLockEnabled(true);
    dragHandle(r.from, r.start, r.to);
    EXPECT_EQ(view->cropBoxFrame().size, r.size) << r.to.x << "," << r.to.y;
    advance(2);
    view->removeFromSuperview();
  }
}

TEST_F(CropBoundariesTest, TitleAndTextButtonsSitOnWholePointsRoundedUp) {
  auto root = std::make_shared<UIViewController>();
  window->setRootViewController(root);
  auto crop = CRCropViewController::controllerWithCroppingStyle(CRCropViewCroppingStyleRectangular,
                                                                CropTestPicture(400, 300));
  root->presentViewController(crop, false);
  drainMainLoop();
  crop->view()->layoutIfNeeded();
  crop->viewDidLayoutSubviews();
  const char* titles[] = {"Crop", "Crop it", "Crop your photo", "W", "Wi"};
  int halves = 0;
  for (const char* title : titles) {
    crop->setTitle(title);
    crop->viewDidLayoutSubviews();
    const CGRect label = crop->titleLabel()->frame();
    // Portrait: centred in the 375-point view, the half point rounded up.
    const double centred = (375 - label.size.width) * 0.5;
    halves += centred != std::floor(centred);
    EXPECT_EQ(label.origin.x, std::ceil(centred)) << title;
  }
  EXPECT_GT(halves, 0);  // some titles centre on half a point

  auto bar = CRCropToolbar::toolbarWithFrame(CGRectMake(0, 0, 375, 44));
  for (const char* title : {"Done", "OK", "Fertig", "Terminé", "W"}) {
    bar->setDoneTextButtonTitle(std::string(title));
    bar->setNeedsLayout();
    bar->layoutIfNeeded();
    const UIButton& done = *bar->doneTextButton();
    const UIEdgeInsets insets = done.contentEdgeInsets();
    const double text = UIFont::systemFontOfSize(17, UIFontWeightMedium)->widthOfText(title) +
                        insets.left + insets.right;
    const double width = done.frame().size.width;
    EXPECT_EQ(width, std::ceil(width)) << title;
    EXPECT_GE(width, text) << title;
    EXPECT_LT(width - text, 1) << title;
  }
  advance(1);
}

}  // namespace

}  // namespace boundaries_test
