#include <gtest/gtest.h>

#include "crop/internal/CRCropToolbar.h"
#include "platform/uikit/UIFont.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIImageSymbolConfiguration.h"
#include "support/TestEnvironment.h"

namespace cr_crop_toolbar_test {

namespace {

class CRCropToolbarTest : public PlatformTest {};

std::vector<double> toolXs(const CRCropToolbar& bar) {
  std::vector<double> xs;
  for (const auto* b : {&bar.rotateCounterclockwiseButton(), &bar.resetButton(), &bar.clampButton(),
                        &bar.rotateClockwiseButton()}) {
    if (!(*b)->isHidden()) xs.push_back((*b)->frame().origin.x);
  }
  return xs;
}

TEST_F(CRCropToolbarTest, HorizontalBarPutsTextAtTheEndsAndSpreadsTheTools) {
  auto bar = CRCropToolbar::toolbarWithFrame(CGRectMake(0, 0, 320, 44));
  int taps = 0;
  bar->doneButtonTapped = [&] { ++taps; };
  bar->layoutIfNeeded();
  double cancelWidth = bar->fittedWidth(*bar->cancelTextButton());
  double doneWidth = bar->fittedWidth(*bar->doneTextButton());
  EXPECT_EQ(bar->cancelTextButton()->frame(), CGRectMake(10, 0, cancelWidth, 44));
  EXPECT_EQ(bar->doneTextButton()->frame(), CGRectMake(320 - doneWidth - 10, 0, doneWidth, 44));
  EXPECT_FALSE(bar->cancelTextButton()->isHidden());
  EXPECT_TRUE(bar->cancelIconButton()->isHidden());
  auto xs = toolXs(*bar);
  ASSERT_EQ(xs.size(), 4u);
  double left = std::floor(10 + cancelWidth), right = std::ceil(320 - doneWidth - 10);
  double gap = (right - left - 4 * 44) / 5;
  for (size_t i = 0; i < 4; ++i) EXPECT_NEAR(xs[i], left + gap + i * (44 + gap), 1e-9);
  EXPECT_EQ(bar->doneButtonFrame(), bar->doneTextButton()->frame());
  bar->doneTextButton()->sendActionsForControlEvents(UIControlEventTouchUpInside);
  bar->doneIconButton()->sendActionsForControlEvents(UIControlEventTouchUpInside);
  bar->resetButton()->sendActionsForControlEvents(UIControlEventTouchUpInside);  // no callback
  EXPECT_EQ(taps, 2);

  // Mirrored: done on the left, cancel on the right, tools in the same order.
  bar->setReverseContentLayout(true);
  bar->layoutIfNeeded();
  EXPECT_EQ(bar->doneTextButton()->frame().origin.x, 10);
  EXPECT_EQ(bar->cancelTextButton()->frame().origin.x, 320 - cancelWidth - 10);
  auto mirrored = toolXs(*bar);
  EXPECT_TRUE(std::is_sorted(mirrored.begin(), mirrored.end()));

  // A long title is cut to a third of the bar.
  bar->setDoneTextButtonTitle("Save the cropped picture now");
  bar->setNeedsLayout();
  bar->layoutIfNeeded();
  EXPECT_NEAR(bar->doneTextButton()->frame().size.width, 320.0 / 3, 1e-9);

  // Hiding two tools re-spreads the other two with three equal gaps.
  bar->setReverseContentLayout(false);
  bar->setResetButtonHidden(true);
  bar->setClampButtonHidden(true);
  bar->layoutIfNeeded();
  EXPECT_EQ(toolXs(*bar).size(), 2u);
  bar->setCancelButtonHidden(true);
  bar->layoutIfNeeded();
  EXPECT_TRUE(bar->cancelTextButton()->isHidden());
  EXPECT_TRUE(bar->cancelIconButton()->isHidden());
  EXPECT_EQ(bar->visibleCancelButton(), bar->cancelTextButton());
}

TEST_F(CRCropToolbarTest, IconsAreSemiboldSymbolsAndTheRotateArrowsSitOnTheirBaseline) {
  struct Icon {
    std::shared_ptr<UIImage> image;
    const char* name;
    double baseline;  // below 0: the symbol's own
  };
  for (const Icon& icon : {Icon{CRCropToolbar::doneImage(), "checkmark", -1},
                           Icon{CRCropToolbar::cancelImage(), "xmark", -1},
                           Icon{CRCropToolbar::rotateCCWImage(), "rotate.left.fill", 4},
                           Icon{CRCropToolbar::rotateCWImage(), "rotate.right.fill", 4},
                           Icon{CRCropToolbar::resetImage(), "arrow.counterclockwise", 0},
                           Icon{CRCropToolbar::clampImage(), "aspectratio.fill", 0}}) {
    ASSERT_TRUE(icon.image) << icon.name;
    EXPECT_EQ(icon.image->symbolName(), icon.name);
    ASSERT_TRUE(icon.image->symbolConfiguration()) << icon.name;
    EXPECT_EQ(icon.image->symbolConfiguration()->resolvedWeight(), UIImageSymbolWeightSemibold);
    double own = UIImage::systemImageNamed(icon.name)->baselineOffsetFromBottom();
    EXPECT_EQ(icon.image->baselineOffsetFromBottom(), icon.baseline < 0 ? own : icon.baseline)
        << icon.name;
  }
  // Across the bar, each tool's image is lifted by its own baseline.
  auto bar = CRCropToolbar::toolbarWithFrame(CGRectMake(0, 0, 320, 44));
  bar->layoutIfNeeded();
  EXPECT_EQ(bar->rotateCounterclockwiseButton()->imageEdgeInsets().bottom, 4);
  EXPECT_EQ(bar->rotateClockwiseButton()->imageEdgeInsets().bottom, 4);
  EXPECT_EQ(bar->resetButton()->imageEdgeInsets().bottom, 0);
  EXPECT_EQ(bar->clampButton()->imageEdgeInsets().bottom, 0);
}

TEST_F(CRCropToolbarTest, ColumnPutsIconsAtTheEnds) {
  auto bar = CRCropToolbar::toolbarWithFrame(CGRectMake(0, 0, 44, 400));
  bar->setStatusBarHeightInset(20);
  bar->layoutIfNeeded();
  EXPECT_EQ(bar->doneIconButton()->frame(), CGRectMake(0, 20, 44, 44));
  EXPECT_EQ(bar->cancelIconButton()->frame(), CGRectMake(0, 356, 44, 44));
  EXPECT_TRUE(bar->doneTextButton()->isHidden());
  EXPECT_FALSE(bar->doneIconButton()->isHidden());
  double gap = (356 - 64 - 4 * 44) / 5.0;
  EXPECT_NEAR(bar->rotateCounterclockwiseButton()->frame().origin.y, 64 + gap, 1e-9);
  EXPECT_NEAR(bar->rotateClockwiseButton()->frame().origin.y, 64 + gap + 3 * (44 + gap), 1e-9);
  EXPECT_EQ(bar->visibleCancelButton(), bar->cancelIconButton());
}

TEST_F(CRCropToolbarTest, GlowColoursAndResetState) {
  auto bar = CRCropToolbar::toolbarWithFrame(CGRectMake(0, 0, 320, 44));
  EXPECT_FALSE(bar->resetButtonEnabled());
  bar->setResetButtonEnabled(true);
  EXPECT_TRUE(bar->resetButton()->isEnabled());
  EXPECT_TRUE(bar->clampButton()->tintColor()->isEqual(*UIColor::whiteColor()));
  bar->setClampButtonGlowing(true);
  EXPECT_FALSE(bar->clampButton()->tintColor()->isEqual(*UIColor::whiteColor()));
  bar->setClampButtonGlowing(false);
  EXPECT_TRUE(bar->clampButton()->tintColor()->isEqual(*UIColor::whiteColor()));
  bar->setDoneButtonColor(UIColor::redColor());
  EXPECT_TRUE(bar->doneIconButton()->tintColor()->isEqual(*UIColor::redColor()));
  bar->setDoneButtonColor(nullptr);
  EXPECT_TRUE(bar->doneButtonColor()->isEqual(*CRCropToolbar::defaultDoneColor()));
  EXPECT_TRUE(bar->doneTextButton()->titleColorForState(UIControlStateNormal)
                  ->isEqual(*CRCropToolbar::defaultDoneColor()));
  bar->setShowOnlyIcons(true);
  bar->layoutIfNeeded();
  EXPECT_FALSE(bar->doneIconButton()->isHidden());
  EXPECT_EQ(bar->doneIconButton()->frame(), CGRectMake(266, 0, 44, 44));
  EXPECT_EQ(bar->cancelIconButton()->frame(), CGRectMake(10, 0, 44, 44));
}

}  // namespace

}  // namespace cr_crop_toolbar_test
