#include <gtest/gtest.h>

#include "AKPhotoGallery/AKPhotoIncrementalIndicator.h"
#include "GalleryTestSupport.h"
#include "platform/quartzcore/CAReplicatorLayer.h"
#include "platform/uikit/UIScrollView.h"
#include "platform/uikit/UIWindow.h"
#include "support/ui/UITouchDriver.h"

namespace incremental_indicator_test {

class IncrementalIndicatorTest : public GalleryTest {
 protected:
  void SetUp() override {
    GalleryTest::SetUp();
    window = std::make_shared<UIWindow>(CGRectMake(0, 0, 390, 844));
    window->makeKeyAndVisible();
    scroll = std::make_shared<UIScrollView>(CGRectMake(0, 0, 390, 844));
    scroll->setContentSize(CGSizeMake(410 * 3 - 20, 844));
    scroll->setAlwaysBounceHorizontal(true);
    window->addSubview(scroll);
  }
  std::shared_ptr<AKPhotoIncrementalIndicator> add(AKPhotoIncrementalIndicatorDirection direction) {
    auto indicator = AKPhotoIncrementalIndicator::make(direction, [this] { ++refreshes; });
    scroll->addSubview(indicator);
    indicator->layoutIfNeeded();
    return indicator;
  }
  int64_t spokes(const AKPhotoIncrementalIndicator& indicator) {
    return indicator.replicatorLayer()->instanceCount();
  }

  std::shared_ptr<UIWindow> window;
  std::shared_ptr<UIScrollView> scroll;
  int refreshes = 0;
};

TEST_F(IncrementalIndicatorTest, SpokesFollowThePullAndAFullPullOffTheFingerStartsOneRefresh) {
  auto left = add(AKPhotoIncrementalIndicatorDirection::left);
  EXPECT_EQ(left->frame(), CGRectMake(-45, (844 - 30) / 2.0, 30, 30));
  EXPECT_EQ(left->instanceLayer()->frame(), CGRectMake(14, 0, 2, 6));

  // A finger pulling the first page to the right.
  UITouchDriver hand(window);
  auto finger = hand.drag({{100, 400}, {130, 400}}, 0.2, false);
  ASSERT_TRUE(scroll->isDragging());
  const double pulled = -scroll->contentOffset().x;
  ASSERT_GT(pulled, 0);
  EXPECT_EQ(spokes(*left), static_cast<int64_t>(static_cast<float>(pulled / 60) * 14));
  EXPECT_EQ(refreshes, 0);
  hand.up({finger});
  advance(1.0);
  EXPECT_EQ(refreshes, 0);
  EXPECT_EQ(scroll->contentInset().left, 0);

  // Exact numbers, as the scroll view reports offsets.
  scroll->setContentOffset(CGPointMake(-30, 0));
  EXPECT_EQ(spokes(*left), 7);
  scroll->setContentOffset(CGPointMake(-59, 0));
  EXPECT_EQ(spokes(*left), 13);
  EXPECT_EQ(refreshes, 0);

  // Released beyond the full pull: held open at the same offset, spinning.
  scroll->setContentOffset(CGPointMake(-65, 0));
  EXPECT_EQ(refreshes, 1);
  EXPECT_EQ(scroll->contentInset().left, 60);
  EXPECT_EQ(scroll->contentOffset().x, -65);
  EXPECT_EQ(spokes(*left), 14);
  EXPECT_TRUE(left->replicatorLayer()->animationForKey("RotateAnimationLong"));
  EXPECT_TRUE(left->instanceLayer()->animationForKey("FadeAnimation"));
  // While held open, changes neither redraw the spokes nor refresh again.
  scroll->setContentOffset(CGPointMake(-61, 0));
  scroll->setContentOffset(CGPointMake(-60, 0));
  EXPECT_EQ(refreshes, 1);
  EXPECT_EQ(spokes(*left), 14);

  left->endRefreshing();
  advance(0.5);
  EXPECT_EQ(scroll->contentInset().left, 0);
  EXPECT_FALSE(left->replicatorLayer()->animationForKey("RotateAnimationLong"));
  EXPECT_FALSE(left->instanceLayer()->animationForKey("FadeAnimation"));
  EXPECT_EQ(spokes(*left), 14);

  // Disabled, a pull changes nothing.
  left->setEnabled(false);
  scroll->setContentOffset(CGPointMake(-90, 0));
  EXPECT_EQ(refreshes, 1);
  EXPECT_EQ(scroll->contentInset().left, 0);
  left->setEnabled(true);
  scroll->setContentOffset(CGPointMake(0, 0));
}

TEST_F(IncrementalIndicatorTest, RightIndicatorSitsBeyondTheLastPageAndPullsFromThere) {
  auto right = add(AKPhotoIncrementalIndicatorDirection::right);
  EXPECT_EQ(right->frame().origin.x, 410 * 3 - 20 + 15);
  scroll->setContentSize(CGSizeMake(410 * 5 - 20, 844));
  EXPECT_EQ(right->frame().origin.x, 410 * 5 - 20 + 15);

  const double end = 410 * 5 - 20 - 390;
  scroll->setContentOffset(CGPointMake(end - 10, 0));  // not at the end: ignored
  EXPECT_EQ(right->replicatorLayer()->instanceCount(), 0);
  scroll->setContentOffset(CGPointMake(end + 45, 0));
  EXPECT_EQ(right->replicatorLayer()->instanceCount(), 10);
  scroll->setContentOffset(CGPointMake(end + 60, 0));
  EXPECT_EQ(refreshes, 1);
  EXPECT_EQ(scroll->contentInset().right, 60);
  EXPECT_EQ(scroll->contentInset().left, 0);
  right->endRefreshing();
  advance(0.5);
  EXPECT_EQ(scroll->contentInset().right, 0);
}

TEST_F(IncrementalIndicatorTest, OnlyAScrollViewCanHoldIt) {
  auto indicator = AKPhotoIncrementalIndicator::make(AKPhotoIncrementalIndicatorDirection::left, nullptr);
  auto plain = std::make_shared<UIView>(CGRectMake(0, 0, 10, 10));
  EXPECT_DEATH(plain->addSubview(indicator), "Superview must be a UIScrollView or its subclass!");
}

}  // namespace incremental_indicator_test
