#include <gtest/gtest.h>

#include <cstdio>

#include "ScreensLibrarySupport.h"

namespace {

std::string photoName(int i) {
  char name[16];
  std::snprintf(name, sizeof name, "p%03d.png", i);
  return name;
}

// A hundred photos, p099 the newest (shown first), p000 the oldest (last).
class PreheatTest : public ScreensLibraryTest {
 protected:
  void SetUp() override {
    ScreensLibraryTest::SetUp();
    for (int i = 0; i < kPhotos; ++i) {
      addPhoto(photoName(i), {uint8_t(i * 2), 90, 160, 255}, 1000 + i);
    }
    expectedAlbums = 3;
  }
  void scrollTo(double y) {
    auto cv = grid->collectionView();
    cv->setContentOffset(CGPointMake(0, y));
    cv->layoutIfNeeded();
    drainMainLoop();
  }
  // Cached among the first and the last few photos of the grid.
  bool cached(int photo) { return provider->cachedNames().count(photoName(photo)) > 0; }

  static constexpr int kPhotos = 100;
};

}  // namespace

TEST_F(PreheatTest, TheCachingWindowFollowsTheScrolledGrid) {
  ASSERT_TRUE(showPicker());
  auto cv = grid->collectionView();
  scrollTo(0);
  double bottom = cv->contentSize().height - cv->bounds().size.height;
  ASSERT_GT(bottom, 3 * cv->bounds().size.height);  // the grid is several screens tall

  // At the top: the newest photos are cached, the oldest are not.
  scrollTo(1);
  EXPECT_TRUE(cached(kPhotos - 1));
  EXPECT_FALSE(cached(0));

  // A small move changes nothing.
  auto calls = provider->startCalls;
  scrollTo(10);
  EXPECT_EQ(provider->startCalls, calls);

  // At the bottom: the oldest photos are cached and the top rows were let go.
  scrollTo(bottom);
  EXPECT_TRUE(cached(0));
  EXPECT_TRUE(cached(5));
  EXPECT_FALSE(cached(kPhotos - 1));
  EXPECT_FALSE(cached(kPhotos - 10));
  EXPECT_EQ(provider->lastSize.width, grid->thumbnailSize().width);
  // Everything cached lies within half a screen of what is shown.
  auto window = CGRectInset(cv->bounds(), 0, -0.5 * cv->bounds().size.height);
  for (int64_t item = 1; item <= kPhotos; ++item) {
    auto a = cv->layoutAttributesForItemAtIndexPath(NSIndexPath::indexPathForItem(item, 0));
    if (CGRectIntersectsRect(a->frame, window)) continue;
    EXPECT_FALSE(cached(kPhotos - int(item))) << "item " << item;
  }

  // Back in the middle: the window moves with it, both ends let go.
  scrollTo(bottom / 2);
  EXPECT_FALSE(cached(0));
  EXPECT_FALSE(cached(kPhotos - 1));
  EXPECT_TRUE(cached(kPhotos / 2));
}
