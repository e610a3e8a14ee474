#include <gtest/gtest.h>

#include "crop/CRCropView.h"
#include "crop/CropTestSupport.h"
#include "platform/uikit/UIWindow.h"
#include "support/TestEnvironment.h"
#include "support/ui/SnapshotTesting.h"
#include "support/ui/UITouchDriver.h"

namespace crop_screen_snapshot_test {

namespace {

// The canvas of the crop screen in its main states, as pictures: each is
// kept in QX_SNAPSHOT_DIR and compared with its golden under tests/data/crop.
class CropScreenSnapshotTest : public PlatformTest {
 protected:
  void SetUp() override {
    PlatformTest::SetUp();
    window = CropTestWindow();
  }
  std::shared_ptr<CRCropView> canvas(CRCropViewCroppingStyle style) {
    auto view = CRCropView::viewWithCroppingStyle(style, CropTestPicture(400, 300, 2));
    // The area the screen leaves above its 44-point toolbar.
    view->setFrame(CGRectMake(0, 0, 375, 623));
    window->addSubview(view);
    view->performInitialSetup();
    return view;
  }
  void expectPicture(UIView& view, const std::string& name) {
    auto image = RenderView(view, 2);
    SaveSnapshot(image, name);
    // Tolerance for rounding in the blends; edges may move by a pixel.
    EXPECT_TRUE(MatchesGolden(image, "crop/" + name + ".png", 3, 400));
  }

  std::shared_ptr<UIWindow> window;
};

TEST_F(CropScreenSnapshotTest, Free) {
  auto view = canvas(CRCropViewCroppingStyleRectangular);
  expectPicture(*view, "crop-free");
}

TEST_F(CropScreenSnapshotTest, PresetSquare) {
  auto view = canvas(CRCropViewCroppingStyleRectangular);
  view->setAspectRatio(CGSizeMake(1, 1));
  expectPicture(*view, "crop-square");
}

TEST_F(CropScreenSnapshotTest, Rotated) {
  auto view = canvas(CRCropViewCroppingStyleRectangular);
  view->setAspectRatio(CGSizeMake(4, 3));
  view->rotateImageNinetyDegreesAnimated(false, false);
  expectPicture(*view, "crop-rotated");
}

TEST_F(CropScreenSnapshotTest, Circular) {
  auto view = canvas(CRCropViewCroppingStyleCircular);
  expectPicture(*view, "crop-circular");
}

TEST_F(CropScreenSnapshotTest, Dragging) {
  auto view = canvas(CRCropViewCroppingStyleRectangular);
  UITouchDriver hand(window);
  CGRect box = view->cropBoxFrame();
  CGPoint corner = CGPointMake(CGRectGetMaxX(box) - 4, CGRectGetMaxY(box) - 4);
  auto finger = hand.drag({corner, CGPointMake(corner.x - 90, corner.y - 70)}, 0.3, false);
  advance(0.5);  // the grid has faded in and the blur is off while the finger is down
  EXPECT_TRUE(view->isEditing());
  expectPicture(*view, "crop-dragging");
  hand.up({finger});
  advance(2);
}

}  // namespace

}  // namespace crop_screen_snapshot_test
