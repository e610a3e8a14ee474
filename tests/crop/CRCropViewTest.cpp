#include <gtest/gtest.h>

#include <random>

#include "crop/internal/CRCropOverlayView.h"
#include "crop/internal/CRCropScrollView.h"
#include "crop/CRCropView.h"
#include "crop/CropTestSupport.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UIWindow.h"
#include "support/TestEnvironment.h"
#include "support/ui/SnapshotTesting.h"
#include "support/ui/UITouchDriver.h"

namespace cr_crop_view_test {

namespace {

class Resets : public CRCropViewDelegate {
 public:
  std::vector<bool> heard;
  void cropViewDidBecomeResettable(CRCropView&) override { heard.push_back(true); }
  void cropViewDidBecomeNonResettable(CRCropView&) override { heard.push_back(false); }
};

class CRCropViewTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    window = CropTestWindow();
  }
  // A 400 × 300 picture in a canvas filling the window.
  std::shared_ptr<CRCropView> makeCanvas(CRCropViewCroppingStyle style =
                                             CRCropViewCroppingStyleRectangular,
                                         bool layOut = true) {
    auto view = CRCropView::viewWithCroppingStyle(style, CropTestPicture(400, 300));
    view->setFrame(window->bounds());
    view->setDelegate(resets);
    window->addSubview(view);
    if (layOut) view->performInitialSetup();
    return view;
  }
  // The box lies in the content region and the image covers it.
  static void expectSound(const CRCropView& view) {
    CGRect box = view.cropBoxFrame(), region = view.contentBounds();
    CGRect image = view.imageViewFrame();
    EXPECT_GE(box.size.width, CRCropView::kMinimumBoxSize);
    EXPECT_GE(box.origin.x, region.origin.x - 0.5);
    EXPECT_GE(box.origin.y, region.origin.y - 0.5);
    EXPECT_LE(CGRectGetMaxX(box), CGRectGetMaxX(region) + 0.5);
    EXPECT_LE(CGRectGetMaxY(box), CGRectGetMaxY(region) + 0.5);
    EXPECT_LE(image.origin.x, box.origin.x + 1) << "image left of box";
    EXPECT_LE(image.origin.y, box.origin.y + 1);
    EXPECT_GE(CGRectGetMaxX(image), CGRectGetMaxX(box) - 1);
    EXPECT_GE(CGRectGetMaxY(image), CGRectGetMaxY(box) - 1);
    CGRect crop = view.imageCropFrame();
    CGSize size = view.imageSize();
    EXPECT_GE(crop.origin.x, 0);
    EXPECT_GE(crop.origin.y, 0);
    EXPECT_LE(CGRectGetMaxX(crop), size.width + 1);
    EXPECT_LE(CGRectGetMaxY(crop), size.height + 1);
  }

  std::shared_ptr<UIWindow> window;
  std::shared_ptr<Resets> resets = std::make_shared<Resets>();
};

TEST_F(CRCropViewTest, FirstLayoutFitsTheImageAndCropsAllOfIt) {
  auto view = makeCanvas();
  EXPECT_EQ(view->contentBounds(), CGRectMake(14, 14, 347, 639));
  EXPECT_EQ(view->cropBoxFrame(), CGRectMake(14, 203, 347, 260));
  EXPECT_DOUBLE_EQ(view->scrollView()->zoomScale(), 347.0 / 400);
  EXPECT_DOUBLE_EQ(view->scrollView()->maximumZoomScale(), 347.0 / 400 * 15);
  EXPECT_EQ(view->imageCropFrame(), CGRectMake(0, 0, 400, 300));
  EXPECT_EQ(view->foregroundContainerView()->frame(), view->cropBoxFrame());
  EXPECT_EQ(view->gridOverlayView()->frame(), view->cropBoxFrame());
  EXPECT_EQ(view->scrollView()->contentInset(), UIEdgeInsetsMake(203, 14, 204, 14));
  EXPECT_FALSE(view->canBeReset());
  EXPECT_TRUE(resets->heard.empty());
  // The sharp copy lies exactly over the dimmed one.
  auto fg = view->foregroundImageView();
  auto bg = view->backgroundContainerView();
  EXPECT_EQ(fg->convertRectToView(fg->bounds(), view.get()),
            bg->convertRectToView(bg->bounds(), view.get()));
  // The zoomed image is 260.25 high: its bottom sits on the box's.
  EXPECT_EQ(view->imageViewFrame(), CGRectMake(14, 202.75, 347, 260));
  expectSound(*view);
  // A second call does nothing.
  view->setCropBoxFrame(CGRectMake(50, 300, 100, 100));
  view->performInitialSetup();
  EXPECT_EQ(view->cropBoxFrame(), CGRectMake(50, 300, 100, 100));
}

TEST_F(CRCropViewTest, CropBoxIsClampedIntoTheRegionAndToTheMinimum) {
  auto view = makeCanvas();
  // Partly left of the region: moved to its edge and shortened by the overshoot.
  view->setCropBoxFrame(CGRectMake(4, 250, 200, 100));
  EXPECT_EQ(view->cropBoxFrame(), CGRectMake(14, 250, 190, 100));
  // Too narrow, and taller than the region leaves: 42 wide, cut at the bottom.
  view->setCropBoxFrame(CGRectMake(300, 600, 10, 200));
  EXPECT_EQ(view->cropBoxFrame(), CGRectMake(300, 600, 42, 53));
  // Wider than the region leaves on the right: cut at its right edge.
  view->setCropBoxFrame(CGRectMake(300, 250, 200, 100));
  EXPECT_EQ(view->cropBoxFrame(), CGRectMake(300, 250, 61, 100));
  // Degenerate boxes are ignored.
  view->setCropBoxFrame(CGRectMake(20, 20, 0, 100));
  view->setCropBoxFrame(CGRectMake(20, 20, NAN, 100));
  EXPECT_EQ(view->cropBoxFrame(), CGRectMake(300, 250, 61, 100));
  // The image can never be zoomed out of the box.
  EXPECT_GE(view->scrollView()->zoomScale() * 300 + 1e-9, 42.0);
}

TEST_F(CRCropViewTest, ImageCropFrameSetBeforeTheFirstLayoutIsAppliedByIt) {
  auto view = makeCanvas(CRCropViewCroppingStyleRectangular, false);
  view->setImageCropFrame(CGRectMake(100, 50, 200, 200));
  view->setAngle(180);
  EXPECT_EQ(view->angle(), 0);
  EXPECT_EQ(view->cropBoxFrame(), CGRectZero);
  view->performInitialSetup();
  EXPECT_EQ(view->angle(), 180);
  // A square box gives a square crop.
  CGRect crop = view->imageCropFrame();
  EXPECT_EQ(crop.size.width, crop.size.height);
  EXPECT_NEAR(crop.origin.x, 100, 1);
  EXPECT_NEAR(crop.origin.y, 50, 1);
  EXPECT_NEAR(crop.size.width, 200, 1);
  EXPECT_EQ(view->cropBoxFrame().size.width, view->cropBoxFrame().size.height);
  expectSound(*view);
}

TEST_F(CRCropViewTest, QuarterTurnsBothWaysAndBack) {
  auto view = makeCanvas();
  view->rotateImageNinetyDegreesAnimated(false, true);
  EXPECT_EQ(view->angle(), 90);
  EXPECT_EQ(view->imageSize(), CGSizeMake(300, 400));
  EXPECT_EQ(view->cropBoxFrame(), CGRectMake(14, 102, 347, 463));
  CGSize turned = view->backgroundContainerView()->bounds().size;
  EXPECT_NEAR(turned.width, 300, 1e-9);
  EXPECT_NEAR(turned.height, 400, 1e-9);
  EXPECT_EQ(view->imageCropFrame(), CGRectMake(0, 0, 300, 400));
  EXPECT_TRUE(view->canBeReset());
  expectSound(*view);
  // The second turn restores the size and zooms of the last edit exactly.
  view->rotateImageNinetyDegreesAnimated(false, true);
  EXPECT_EQ(view->angle(), 180);
  // Centred by ceiling where the first layout floors: one point lower.
  EXPECT_EQ(view->cropBoxFrame(), CGRectMake(14, 204, 347, 260));
  EXPECT_DOUBLE_EQ(view->scrollView()->zoomScale(), 347.0 / 400);
  EXPECT_DOUBLE_EQ(view->scrollView()->minimumZoomScale(), 347.0 / 400);
  EXPECT_EQ(view->imageCropFrame(), CGRectMake(0, 0, 400, 300));
  view->rotateImageNinetyDegreesAnimated(false, true);
  view->rotateImageNinetyDegreesAnimated(false, true);
  EXPECT_EQ(view->angle(), 0);
  EXPECT_EQ(resets->heard, (std::vector<bool>{true}));  // changes only

  std::vector<int64_t> angles;
  for (int i = 0; i < 4; ++i) {
    view->rotateImageNinetyDegreesAnimated(false);
    angles.push_back(view->angle());
    expectSound(*view);
  }
  EXPECT_EQ(angles, (std::vector<int64_t>{-90, -180, -270, 0}));

  // The angle setter compares magnitudes and takes other angles as 0.
  view->setAngle(-90);
  view->setAngle(90);
  EXPECT_EQ(view->angle(), -90);
  view->setAngle(95);
  EXPECT_EQ(view->angle(), 0);
  view->setAngle(450);
  EXPECT_EQ(view->angle(), 90);

  // A half turn of a square picture lays it out exactly as the first layout
  // did; only the angle tells that there is something to reset.
  auto square = CRCropView::viewWithCroppingStyle(CRCropViewCroppingStyleRectangular,
                                                  CropTestPicture(300, 300));
  square->setFrame(window->bounds());
  window->addSubview(square);
  square->performInitialSetup();
  const CGRect first = square->cropBoxFrame();
  const CGPoint firstOffset = square->scrollView()->contentOffset();
  square->rotateImageNinetyDegreesAnimated(false, true);
  square->rotateImageNinetyDegreesAnimated(false, true);
  ASSERT_EQ(square->angle(), 180);
  ASSERT_EQ(square->cropBoxFrame().size, first.size);
  ASSERT_EQ(square->scrollView()->contentOffset(), firstOffset);
  EXPECT_TRUE(square->canBeReset());
}

TEST_F(CRCropViewTest, AnimatedTurnDropsSecondRequestsAndEndsOnTheClock) {
  auto view = makeCanvas();
  view->rotateImageNinetyDegreesAnimated(true, true);
  EXPECT_TRUE(view->rotateAnimationInProgress());
  EXPECT_TRUE(view->backgroundContainerView()->isHidden());
  view->rotateImageNinetyDegreesAnimated(true, true);
  EXPECT_EQ(view->angle(), 90);
  advance(0.5);
  EXPECT_FALSE(view->backgroundContainerView()->isHidden());
  EXPECT_TRUE(view->rotateAnimationInProgress());
  advance(0.5);
  EXPECT_FALSE(view->rotateAnimationInProgress());
  EXPECT_EQ(view->backgroundContainerView()->alpha(), 1);
  view->rotateImageNinetyDegreesAnimated(true, false);
  advance(1);
  EXPECT_EQ(view->angle(), 0);
  expectSound(*view);
}

TEST_F(CRCropViewTest, LockedRatioSpringsBackAfterATurn) {
  auto view = makeCanvas();
  view->setAspectRatio(CGSizeMake(16, 9));
  view->setAspectRatioLockEnabled(true);
  CGSize locked = view->cropBoxFrame().size;
  EXPECT_NEAR(locked.width / locked.height, 16.0 / 9, 0.01);
  view->rotateImageNinetyDegreesAnimated(true, true);
  EXPECT_TRUE(view->cropBoxAspectRatioIsPortrait());
  advance(2);
  CGSize after = view->cropBoxFrame().size;
  EXPECT_NEAR(after.width / after.height, 16.0 / 9, 0.02);
  expectSound(*view);
}

TEST_F(CRCropViewTest, AspectRatiosShapeTheBoxAndZeroMeansTheImagesOwn) {
  auto view = makeCanvas();
  view->setAspectRatio(CGSizeMake(1, 1));
  CGRect box = view->cropBoxFrame();
  EXPECT_EQ(box.size.width, box.size.height);
  EXPECT_EQ(view->imageCropFrame().size.width, view->imageCropFrame().size.height);
  expectSound(*view);
  view->setAspectRatio(CGSizeMake(9, 16));
  box = view->cropBoxFrame();
  EXPECT_NEAR(box.size.width / box.size.height, 9.0 / 16, 0.01);
  expectSound(*view);
  view->setAspectRatio(CGSizeZero);
  box = view->cropBoxFrame();
  EXPECT_NEAR(box.size.width / box.size.height, 4.0 / 3, 0.01);
  EXPECT_DOUBLE_EQ(view->scrollView()->zoomScale(), view->scrollView()->minimumZoomScale());
  expectSound(*view);
  // Before the first layout the ratio is only kept, then laid out.
  auto early = makeCanvas(CRCropViewCroppingStyleRectangular, false);
  early->setAspectRatio(CGSizeMake(1, 1));
  EXPECT_EQ(early->cropBoxFrame(), CGRectZero);
  early->performInitialSetup();
  EXPECT_EQ(early->cropBoxFrame(), CGRectMake(14, 160, 347, 347));
  EXPECT_TRUE(early->canBeReset());  // the reset returns to the fitted size

  // The image's own ratio on an untouched photo crops the whole photo.
  for (CGSize size : {CGSizeMake(512, 600), CGSizeMake(600, 512)}) {
    auto photo = CRCropView::viewWithCroppingStyle(CRCropViewCroppingStyleRectangular,
                                                   CropTestPicture(size.width, size.height));
    photo->setFrame(window->bounds());
    window->addSubview(photo);
    photo->performInitialSetup();
    photo->setAspectRatio(CGSizeZero);
    EXPECT_EQ(photo->imageCropFrame(), CGRectMake(0, 0, size.width, size.height))
        << size.width << "x" << size.height;
    photo->removeFromSuperview();
  }
}

TEST_F(CRCropViewTest, ResetReturnsToTheFirstLayout) {
  auto view = makeCanvas();
  view->setAspectRatio(CGSizeMake(1, 1));
  view->rotateImageNinetyDegreesAnimated(false, true);
  view->resetLayoutToDefaultAnimated(true);  // turned: reset at once
  EXPECT_EQ(view->angle(), 0);
  EXPECT_EQ(view->aspectRatio(), CGSizeZero);
  EXPECT_EQ(view->cropBoxFrame(), CGRectMake(14, 203, 347, 260));
  EXPECT_EQ(view->imageCropFrame(), CGRectMake(0, 0, 400, 300));
  EXPECT_FALSE(view->canBeReset());

  view->setCropBoxFrame(CGRectMake(60, 260, 200, 150));
  view->checkForCanReset();
  EXPECT_TRUE(view->canBeReset());
  view->resetLayoutToDefaultAnimated(true);
  EXPECT_TRUE(view->simpleRenderMode());
  advance(1);
  EXPECT_EQ(view->cropBoxFrame(), CGRectMake(14, 203, 347, 260));
  EXPECT_FALSE(view->simpleRenderMode());
  EXPECT_FALSE(view->canBeReset());
  // The delegate (the toolbar's reset button) hears each change both ways.
  EXPECT_EQ(resets->heard, (std::vector<bool>{true, false, true, false}));
}

TEST_F(CRCropViewTest, DraggingTheRightEdgeThenTheTimerRecentresTheBox) {
  auto view = makeCanvas();
  UITouchDriver hand(window);
  hand.drag({{355, 333}, {300, 333}}, 0.2);
  EXPECT_EQ(view->tappedEdge(), CRCropViewTappedEdgeRight);
  CGRect dragged = view->cropBoxFrame();
  EXPECT_EQ(dragged.origin, CGPointMake(14, 203));
  // The pan starts once the finger slid 10 points, 45 from the edge's start.
  EXPECT_GT(dragged.size.width, 295);
  EXPECT_LT(dragged.size.width, 312);
  EXPECT_EQ(dragged.size.height, 260);
  EXPECT_TRUE(view->isEditing());
  EXPECT_TRUE(view->resetTimerPending());
  EXPECT_TRUE(view->canBeReset());
  advance(0.7);
  EXPECT_EQ(view->cropBoxFrame(), dragged);  // not before the delay
  advance(1);
  EXPECT_FALSE(view->isEditing());
  CGRect centred = view->cropBoxFrame();
  EXPECT_EQ(centred.size.width, 347);
  EXPECT_NEAR(CGRectGetMidY(centred), CGRectGetMidY(view->contentBounds()), 1);
  expectSound(*view);
}

TEST_F(CRCropViewTest, ASecondDragBeforeTheDelayCancelsTheFirstCentring) {
  auto view = makeCanvas();
  UITouchDriver hand(window);
  hand.drag({{355, 333}, {300, 333}}, 0.2);
  advance(0.5);
  CGRect box = view->cropBoxFrame();
  hand.drag({{CGRectGetMaxX(box) - 5, 333}, {CGRectGetMaxX(box) - 40, 333}}, 0.2);
  advance(0.5);  // 1 s after the first drag ended: its centring would have run
  EXPECT_LT(view->cropBoxFrame().size.width, 300);
  EXPECT_TRUE(view->isEditing());
  advance(1);
  EXPECT_FALSE(view->isEditing());
  EXPECT_EQ(view->cropBoxFrame().size.width, 347);
}

TEST_F(CRCropViewTest, EdgesAndCornersDragWithinTheirLimits) {
  auto view = makeCanvas();
  // Shrink first so every edge has room.
  view->setCropBoxFrame(CGRectMake(80, 250, 200, 150));
  CGRect start = view->cropBoxFrame();
  // A corner: a touch 20 points diagonally outside the top-left corner.
  EXPECT_EQ(view->cropEdgeForPoint(CGPointMake(60, 230)), CRCropViewTappedEdgeTopLeft);
  EXPECT_EQ(view->cropEdgeForPoint(CGPointMake(180, 250)), CRCropViewTappedEdgeTop);
  EXPECT_EQ(view->cropEdgeForPoint(CGPointMake(180, 325)), CRCropViewTappedEdgeNone);

  // Left edge dragged far right: the box stops at 42 with its right edge fixed.
  UITouchDriver hand(window);
  hand.drag({{80, 325}, {400, 325}}, 0.3);
  EXPECT_EQ(view->cropBoxFrame(), CGRectMake(CGRectGetMaxX(start) - 42, 250, 42, 150));
  advance(2);

  // A touch 30 points inside the box pans the image instead.
  view->setCropBoxFrame(CGRectMake(80, 250, 200, 150));
  CGRect before = view->cropBoxFrame();
  CGPoint offset = view->scrollView()->contentOffset();
  hand.drag({{110, 325}, {150, 325}}, 0.2);
  EXPECT_EQ(view->cropBoxFrame(), before);
  EXPECT_NE(view->scrollView()->contentOffset(), offset);
  advance(10);
  expectSound(*view);
}

TEST_F(CRCropViewTest, EveryHandleDraggedInwardsMovesOnlyItsOwnSides) {
  auto view = makeCanvas();
  const CGRect start = CGRectMake(80, 250, 200, 150);
  struct Handle {
    CRCropViewTappedEdge edge;
    CGPoint at;
    double dx, dy;  // inwards
  };
  const double l = CGRectGetMinX(start), r = CGRectGetMaxX(start), t = CGRectGetMinY(start),
               b = CGRectGetMaxY(start), mx = CGRectGetMidX(start), my = CGRectGetMidY(start);
  const Handle handles[] = {
      {CRCropViewTappedEdgeTopLeft, {l, t}, 30, 30},     {CRCropViewTappedEdgeTop, {mx, t}, 0, 30},
      {CRCropViewTappedEdgeTopRight, {r, t}, -30, 30},   {CRCropViewTappedEdgeRight, {r, my}, -30, 0},
      {CRCropViewTappedEdgeBottomRight, {r, b}, -30, -30}, {CRCropViewTappedEdgeBottom, {mx, b}, 0, -30},
      {CRCropViewTappedEdgeBottomLeft, {l, b}, 30, -30}, {CRCropViewTappedEdgeLeft, {l, my}, 30, 0},
  };
  UITouchDriver hand(window);
  for (const Handle& h : handles) {
    SCOPED_TRACE("edge " + std::to_string(int(h.edge)));
    view->setCropBoxFrame(start);
    ASSERT_EQ(view->cropBoxFrame(), start);
    hand.drag({h.at, CGPointMake(h.at.x + h.dx / 2, h.at.y + h.dy / 2), CGPointMake(h.at.x + h.dx, h.at.y + h.dy)},
              0.3);
    EXPECT_EQ(view->tappedEdge(), h.edge);
    const CGRect box = view->cropBoxFrame();
    // The sides the handle does not hold stay put; the ones it holds move in.
    if (h.dx > 0) {
      EXPECT_GT(box.origin.x, l);
      EXPECT_EQ(CGRectGetMaxX(box), r);
    } else if (h.dx < 0) {
      EXPECT_EQ(box.origin.x, l);
      EXPECT_LT(CGRectGetMaxX(box), r);
    } else {
      EXPECT_EQ(box.origin.x, l);
      EXPECT_EQ(box.size.width, start.size.width);
    }
    if (h.dy > 0) {
      EXPECT_GT(box.origin.y, t);
      EXPECT_EQ(CGRectGetMaxY(box), b);
    } else if (h.dy < 0) {
      EXPECT_EQ(box.origin.y, t);
      EXPECT_LT(CGRectGetMaxY(box), b);
    } else {
      EXPECT_EQ(box.origin.y, t);
      EXPECT_EQ(box.size.height, start.size.height);
    }
    // A corner follows the finger about the same distance along both axes
    // (each rounded up from where the touch lies).
    if (h.dx != 0 && h.dy != 0) {
      EXPECT_NEAR(start.size.width - box.size.width, start.size.height - box.size.height, 1);
    }
    advance(2);
  }
}

TEST_F(CRCropViewTest, ASecondFingerDoesNotJoinARunningEdgeDrag) {
  auto view = makeCanvas();
  view->setCropBoxFrame(CGRectMake(80, 250, 200, 150));
  UITouchDriver hand(window);
  auto first = hand.down({CGPointMake(280, 325)});
  for (double x : {275.0, 268.0, 260.0, 250.0}) hand.move(first, {CGPointMake(x, 325)});
  ASSERT_EQ(view->tappedEdge(), CRCropViewTappedEdgeRight);
  // The edge trails the finger by the distance the pan needed to begin.
  const double lag = CGRectGetMaxX(view->cropBoxFrame()) - 250;
  auto second = hand.down({CGPointMake(120, 600)});
  hand.move(second, {CGPointMake(110, 600)});
  hand.move(first, {CGPointMake(240, 325)});
  EXPECT_NEAR(CGRectGetMaxX(view->cropBoxFrame()) - 240, lag, 1);
  EXPECT_EQ(view->cropBoxFrame().origin, CGPointMake(80, 250));
  hand.up(second);
  hand.up(first);
  advance(2);
}

TEST_F(CRCropViewTest, MinimumRatioRefusesAFreeDrag) {
  auto view = makeCanvas();
  view->setCropBoxFrame(CGRectMake(80, 200, 200, 300));
  view->setMinimumAspectRatio(0.5);
  UITouchDriver hand(window);
  // The right edge towards a 100 × 300 box: below the ratio, refused.
  hand.drag({{280, 350}, {270, 350}, {180, 350}}, 0.3);
  EXPECT_GE(view->cropBoxFrame().size.width / view->cropBoxFrame().size.height, 0.5);
  advance(2);
}

TEST_F(CRCropViewTest, LockedCornersOnlyShrinkAtTheTopAndGrowAtTheBottom) {
  auto view = makeCanvas();
  view->setCropBoxFrame(CGRectMake(80, 250, 200, 150));
  view->setAspectRatioLockEnabled(true);
  UITouchDriver hand(window);
  hand.drag({{80, 250}, {40, 210}}, 0.2);  // top-left outwards
  EXPECT_EQ(view->cropBoxFrame().size, CGSizeMake(200, 150));
  advance(2);
  view->setCropBoxFrame(CGRectMake(80, 250, 200, 150));
  CGRect box = view->cropBoxFrame();
  double ratio = box.size.width / box.size.height;
  hand.drag({{CGRectGetMaxX(box), CGRectGetMaxY(box)},
             {CGRectGetMaxX(box) + 10, CGRectGetMaxY(box) + 30}},
            0.2);  // bottom-right outwards
  CGRect grown = view->cropBoxFrame();
  EXPECT_GT(grown.size.width, box.size.width);
  EXPECT_NEAR(grown.size.width / grown.size.height, ratio, 0.02);
  advance(2);
  expectSound(*view);
}

TEST_F(CRCropViewTest, LockedBoxesGrowNoFurtherThanTheRegionAllowsTheirRatio) {
  // A locked 1:4 box grown from its bottom-right corner is as wide at most
  // as a 1:4 box of the region's full height, however far the finger goes.
  auto view = makeCanvas();
  view->setCropBoxFrame(CGRectMake(150, 200, 50, 200));
  view->setAspectRatioLockEnabled(true);
  const CGRect region = view->contentBounds();
  UITouchDriver hand(window);
  hand.drag({{200, 400}, {300, 560}, {370, 660}}, 0.3);
  CGRect box = view->cropBoxFrame();
  EXPECT_GT(box.size.width, 100) << "the drag grew the box";
  EXPECT_LE(box.size.width, region.size.height * 0.25 + 0.5);
  EXPECT_LE(CGRectGetMaxY(box), CGRectGetMaxY(region) + 0.5);
  advance(2);
  // So is one grown from its right edge, and it keeps its ratio.
  view->setCropBoxFrame(CGRectMake(150, 200, 50, 200));
  hand.drag({{200, 300}, {260, 300}, {370, 300}}, 0.3);
  box = view->cropBoxFrame();
  EXPECT_GT(box.size.width, 100) << "the drag grew the box";
  EXPECT_LE(box.size.width, region.size.height * 0.25 + 0.5);
  EXPECT_NEAR(box.size.width / box.size.height, 0.25, 0.01);
  advance(2);
  // Turned about: a locked 4:1 box grown from its bottom-right corner is at
  // most as tall as a 4:1 box of the region's full width.
  view->setCropBoxFrame(CGRectMake(80, 300, 200, 50));
  hand.drag({{280, 350}, {320, 500}, {370, 660}}, 0.3);
  box = view->cropBoxFrame();
  EXPECT_GT(box.size.height, 60) << "the drag grew the box";
  EXPECT_LE(box.size.height, region.size.width * 0.25 + 0.5);
  advance(2);
}

TEST_F(CRCropViewTest, TheCropFrameRoundsItsOriginDown) {
  // At the first zoom one point of content is 400 / 347 image points: a box
  // ten points into the content starts 11.53 points in, taken as 11.
  auto view = makeCanvas();
  view->setCropBoxFrame(CGRectMake(14, 203, 200, 200));
  UIEdgeInsets inset = view->scrollView()->contentInset();
  view->scrollView()->setContentOffset(CGPointMake(10 - inset.left, 20 - inset.top));
  CGRect crop = view->imageCropFrame();
  EXPECT_EQ(crop.origin.x, 11);
  EXPECT_EQ(crop.origin.y, 23);
  EXPECT_EQ(crop.size.width, 231);  // 200 × 400 / 347 = 230.5, rounded up
}

TEST_F(CRCropViewTest, ImagesWithoutPixelsAreRefused) {
  EXPECT_DEATH(CRCropView::viewWithImage(nullptr), "Invalid parameter not satisfying: image");
  EXPECT_DEATH(CRCropView::viewWithImage(CropTestPicture(0, 10)),
               "image.size.width > 0 && image.size.height > 0");
}

TEST_F(CRCropViewTest, LongPressShowsTheGridWhileHeld) {
  auto view = makeCanvas();
  class Press : public UIGestureRecognizer {
   public:
    void move(UIGestureRecognizerState s) { setState(s); }
  };
  auto press = std::make_shared<Press>();
  std::weak_ptr<CRCropView> weak = view;
  press->addTarget(view, [weak](UIGestureRecognizer& r) {
    if (auto v = weak.lock()) v->longPressGestureRecognized(r);
  });
  view->addGestureRecognizer(press);
  EXPECT_TRUE(view->gridOverlayView()->gridHidden());
  press->move(UIGestureRecognizerState::Began);
  EXPECT_FALSE(view->gridOverlayView()->gridHidden());
  press->move(UIGestureRecognizerState::Ended);
  EXPECT_TRUE(view->gridOverlayView()->gridHidden());
  advance(1);
}

TEST_F(CRCropViewTest, LockedEdgesKeepTheRatio) {
  auto view = makeCanvas();
  view->setCropBoxFrame(CGRectMake(80, 250, 200, 150));
  view->setAspectRatioLockEnabled(true);
  UITouchDriver hand(window);
  // The right edge outwards: the height follows the width, centred on the box.
  hand.drag({{280, 325}, {300, 325}, {320, 325}}, 0.3);
  CGRect box = view->cropBoxFrame();
  EXPECT_GT(box.size.width, 200);
  EXPECT_NEAR(box.size.width / box.size.height, 4.0 / 3, 0.05);
  EXPECT_NEAR(CGRectGetMidY(box), 325, 2);
  advance(2);
  // The top edge can only shrink the box under the lock.
  view->setCropBoxFrame(CGRectMake(80, 250, 200, 150));
  hand.drag({{180, 250}, {180, 200}, {180, 150}}, 0.3);
  EXPECT_EQ(view->cropBoxFrame().size, CGSizeMake(200, 150));
  EXPECT_EQ(view->cropBoxFrame().origin, CGPointMake(80, 250)) << "nor move it";
  advance(2);
  expectSound(*view);
}

TEST_F(CRCropViewTest, CircularStyleHasASquareRoundWindowAndNoDrag) {
  auto view = makeCanvas(CRCropViewCroppingStyleCircular);
  CGRect box = view->cropBoxFrame();
  EXPECT_EQ(box.size.width, box.size.height);
  EXPECT_EQ(view->foregroundContainerView()->layer()->cornerRadius(), box.size.width / 2);
  EXPECT_EQ(view->gridPanGestureRecognizer(), nullptr);
  EXPECT_EQ(view->gridOverlayView(), nullptr);
  EXPECT_FALSE(view->cropBoxResizeEnabled());
  EXPECT_FALSE(view->resetAspectRatioEnabled());
}

TEST_F(CRCropViewTest, AnySequenceKeepsTheBoxCoveredByTheImage) {
  auto view = makeCanvas();
  UITouchDriver hand(window);
  std::mt19937 random(7);
  for (int step = 0; step < 80; ++step) {
    int what = int(random() % 8);
    CGRect box = view->cropBoxFrame();
    switch (what) {
      case 0: view->rotateImageNinetyDegreesAnimated(false, random() % 2); break;
      case 1: view->resetLayoutToDefaultAnimated(false); break;
      case 2: {
        CGPoint from = CGPointMake(CGRectGetMaxX(box), CGRectGetMaxY(box));
        double dx = double(int(random() % 200)) - 100, dy = double(int(random() % 200)) - 100;
        hand.drag({from, CGPointMake(from.x + dx, from.y + dy)}, 0.2);
        break;
      }
      case 3: {
        CGPoint from = CGPointMake(box.origin.x, CGRectGetMidY(box));
        hand.drag({from, CGPointMake(from.x + double(int(random() % 160)) - 40, from.y)}, 0.2);
        break;
      }
      case 4: {
        CGRect frame = view->frame();
        frame.size = random() % 2 ? CGSizeMake(667, 375) : CGSizeMake(375, 667);
        view->prepareforRotation();
        view->setFrame(frame);
        view->performRelayoutForRotation();
        break;
      }
      case 5: view->setAspectRatio(CGSizeMake(1 + random() % 4, 1 + random() % 4)); break;
      case 6: {  // pinch the image in or out over the box
        CGPoint mid = CGPointMake(CGRectGetMidX(box), CGRectGetMidY(box));
        bool in = random() % 2;
        hand.pinch(mid, in ? 60 : 160, in ? 160 : 60, 0.3);
        break;
      }
      case 7: {  // pan the image from inside the box
        CGPoint mid = CGPointMake(CGRectGetMidX(box), CGRectGetMidY(box));
        double dx = double(int(random() % 300)) - 150, dy = double(int(random() % 300)) - 150;
        hand.drag({mid, CGPointMake(mid.x + dx, mid.y + dy)}, 0.15);
        break;
      }
    }
    advance(6);
    SCOPED_TRACE("step " + std::to_string(step) + " action " + std::to_string(what));
    expectSound(*view);
  }
}

}  // namespace

}  // namespace cr_crop_view_test
