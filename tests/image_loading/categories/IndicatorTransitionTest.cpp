#include <gtest/gtest.h>

#include "image_loading/categories/internal/ILRemoteImageIndicator.h"
#include "image_loading/categories/internal/ILRemoteImageTransition.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/foundation/NSProgress.h"
#include "platform/uikit/UIActivityIndicatorView.h"
#include "platform/uikit/UIProgressView.h"
#include "support/TestEnvironment.h"
#include "support/ScriptedSystemInfo.h"

namespace indicator_transition_test {

namespace {

class IndicatorTransitionTest : public PlatformTest {};

TEST_F(IndicatorTransitionTest, ActivityIndicatorsSpinWhileShownInTheirStyle) {
  auto indicator = std::make_shared<ILRemoteImageActivityIndicator>();
  auto& spinner = indicator->activityIndicatorView();
  EXPECT_EQ(indicator->indicatorView(), spinner);
  EXPECT_EQ(spinner->activityIndicatorViewStyle(), UIActivityIndicatorViewStyleMedium);
  EXPECT_EQ(spinner->autoresizingMask(), 45u);
  EXPECT_FALSE(indicator->respondsToUpdateIndicatorProgress());
  indicator->startAnimatingIndicator();
  EXPECT_TRUE(spinner->isAnimating());
  EXPECT_FALSE(spinner->isHidden());
  indicator->stopAnimatingIndicator();
  EXPECT_FALSE(spinner->isAnimating());
  EXPECT_TRUE(spinner->isHidden());

  auto whiteLarge = ILRemoteImageActivityIndicator::whiteLargeIndicator()->activityIndicatorView();
  auto grayLarge = ILRemoteImageActivityIndicator::grayLargeIndicator()->activityIndicatorView();
  EXPECT_EQ(whiteLarge->activityIndicatorViewStyle(), UIActivityIndicatorViewStyleWhiteLarge);
  EXPECT_EQ(grayLarge->activityIndicatorViewStyle(), UIActivityIndicatorViewStyleWhiteLarge);
  EXPECT_TRUE(whiteLarge->color()->isEqual(*UIColor::whiteColor()));
  EXPECT_TRUE(grayLarge->color()->isEqual(*UIColor::grayColor()));
  EXPECT_EQ(grayLarge->bounds().size.width, 37);
  EXPECT_EQ(ILRemoteImageActivityIndicator::grayIndicator()->activityIndicatorView()->activityIndicatorViewStyle(),
            UIActivityIndicatorViewStyleGray);
  EXPECT_TRUE(ILRemoteImageActivityIndicator::whiteIndicator()->activityIndicatorView()->color()->isEqual(
      *UIColor::whiteColor()));
  EXPECT_EQ(ILRemoteImageActivityIndicator::largeIndicator()->activityIndicatorView()->activityIndicatorViewStyle(),
            UIActivityIndicatorViewStyleLarge);

  // Before iOS 13 the medium and large styles fall back to the white ones.
  ScriptedSystemInfo::install()->setOperatingSystemVersion({12, 4, 0});
  EXPECT_EQ(ILRemoteImageActivityIndicator::mediumIndicator()->activityIndicatorView()->activityIndicatorViewStyle(),
            UIActivityIndicatorViewStyleWhite);
  EXPECT_EQ(ILRemoteImageActivityIndicator::largeIndicator()->activityIndicatorView()->activityIndicatorViewStyle(),
            UIActivityIndicatorViewStyleWhiteLarge);
  EXPECT_EQ(std::make_shared<ILRemoteImageActivityIndicator>()->activityIndicatorView()->activityIndicatorViewStyle(),
            UIActivityIndicatorViewStyleWhite);
}

TEST_F(IndicatorTransitionTest, ProgressIndicatorsLeaveABoundProgressViewAlone) {
  auto indicator = ILRemoteImageProgressIndicator::defaultIndicator();
  auto& bar = indicator->progressView();
  EXPECT_EQ(bar->progressViewStyle(), UIProgressViewStyleDefault);
  EXPECT_EQ(bar->autoresizingMask(), 45u);
  EXPECT_TRUE(indicator->respondsToUpdateIndicatorProgress());
  bar->setHidden(true);
  bar->setProgress(0.7);
  indicator->startAnimatingIndicator();
  EXPECT_FALSE(bar->isHidden());
  EXPECT_EQ(bar->progress(), 0);
  indicator->updateIndicatorProgress(0.4);
  EXPECT_FLOAT_EQ(bar->progress(), 0.4f);
  indicator->stopAnimatingIndicator();
  EXPECT_TRUE(bar->isHidden());
  EXPECT_EQ(bar->progress(), 1);

  auto progress = NSProgress::progressWithTotalUnitCount(4);
  progress->setCompletedUnitCount(1);
  bar->setObservedProgress(progress);
  indicator->startAnimatingIndicator();
  EXPECT_EQ(bar->progress(), 0.25);
  indicator->updateIndicatorProgress(0.9);
  EXPECT_EQ(bar->progress(), 0.25);
  indicator->stopAnimatingIndicator();
  EXPECT_EQ(bar->progress(), 0.25);
  bar->setObservedProgress(nullptr);
  EXPECT_EQ(bar->progress(), 1);  // its own value was never touched meanwhile

  EXPECT_EQ(ILRemoteImageProgressIndicator::barIndicator()->progressView()->progressViewStyle(),
            UIProgressViewStyleBar);
}

TEST_F(IndicatorTransitionTest, TransitionPresetsSetDurationAndOptions) {
  ILRemoteImageTransition plain;
  EXPECT_EQ(plain.duration, 0.5);
  EXPECT_EQ(plain.animationOptions, 0u);
  EXPECT_FALSE(plain.avoidAutoSetImage);
  EXPECT_FALSE(plain.timingFunction);

  const std::vector<std::pair<std::shared_ptr<ILRemoteImageTransition>, uint64_t>> presets{
      {ILRemoteImageTransition::fadeTransition(), 0x500002},
      {ILRemoteImageTransition::flipFromLeftTransition(), 0x100002},
      {ILRemoteImageTransition::flipFromRightTransition(), 0x200002},
      {ILRemoteImageTransition::flipFromTopTransition(), 0x600002},
      {ILRemoteImageTransition::flipFromBottomTransition(), 0x700002},
      {ILRemoteImageTransition::curlUpTransition(), 0x300002},
      {ILRemoteImageTransition::curlDownTransition(), 0x400002},
  };
  for (const auto& [transition, options] : presets) {
    EXPECT_EQ(transition->animationOptions, options);
    EXPECT_EQ(transition->duration, 0.5);
  }
  auto slow = ILRemoteImageTransition::curlDownTransition(2);
  EXPECT_EQ(slow->duration, 2);
  EXPECT_EQ(slow->animationOptions, 0x400002u);
  EXPECT_FALSE(slow->prepares || slow->animations || slow->completion);
}

TEST_F(IndicatorTransitionTest, ProgressCountsWork) {
  NSProgress progress;
  EXPECT_EQ(progress.fractionCompleted(), 0);
  progress.setCompletedUnitCount(5);
  EXPECT_EQ(progress.fractionCompleted(), 0);  // no total yet
  EXPECT_FALSE(progress.isFinished());
  progress.setTotalUnitCount(10);
  EXPECT_EQ(progress.fractionCompleted(), 0.5);
  progress.setCompletedUnitCount(10);
  EXPECT_TRUE(progress.isFinished());
}

}  // namespace

}  // namespace indicator_transition_test
