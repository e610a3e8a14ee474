#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "ScreensLibrarySupport.h"

namespace screens_preheat_test {

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

TEST_F(PreheatTest, TheStripsItemsAreTheLayoutsOwnWhereverTheStripLies) {
  ASSERT_TRUE(showPicker());
  auto cv = grid->collectionView();
  auto layout = cv->collectionViewLayout();
  // What a full pass over the layout finds, as asset indexes.
  auto scanned = [&](const CGRect& rect, bool hidesCamera) {
    std::vector<int64_t> out;
    for (const auto& a : layout->layoutAttributesForElementsInRect(rect)) {
      if (a.representedElementCategory != UICollectionElementCategory::Cell) continue;
      if (hidesCamera) out.push_back(a.indexPath.item);
      else if (a.indexPath.item > 0) out.push_back(a.indexPath.item - 1);
    }
    std::sort(out.begin(), out.end());
    return out;
  };
  auto first = layout->layoutAttributesForItemAtIndexPath(NSIndexPath::indexPathForItem(0, 0));
  auto next = layout->layoutAttributesForItemAtIndexPath(NSIndexPath::indexPathForItem(8, 0));
  ASSERT_TRUE(first && next);
  const double width = cv->bounds().size.width;
  const double height = cv->contentSize().height;
  std::vector<CGRect> strips{
      CGRectMake(0, -300, width, 300),                                   // above the content
      CGRectMake(0, -50, width, 100),                                    // across the top
      CGRectMake(0, CGRectGetMaxY(first->frame), width, 1),              // the gap under a row
      CGRectMake(0, CGRectGetMinY(next->frame), width, 0.5),             // a row's top edge
      CGRectMake(0, CGRectGetMaxY(first->frame) - 0.5, width, 200),      // from a row's last half point
      CGRectMake(0, height / 3, width, height / 4),                      // the middle
      CGRectMake(0, height - 10, width, 500),                            // across the bottom
      CGRectMake(0, height + 1, width, 100),                             // below
      CGRectMake(0, 400, width, 0),                                      // empty
      CGRectMake(0, -1e6, width, 2e6),                                   // everything
  };
  for (bool hidesCamera : {false, true}) {
    for (const auto& strip : strips) {
      auto found = grid->indexPathsForElements(strip, hidesCamera);
      std::sort(found.begin(), found.end());
      EXPECT_EQ(found, scanned(strip, hidesCamera))
          << strip.origin.y << " + " << strip.size.height << (hidesCamera ? " without camera" : "");
    }
  }
  EXPECT_EQ(grid->indexPathsForElements(CGRectMake(0, -1e6, width, 2e6), false).size(), size_t(kPhotos));
}

}  // namespace screens_preheat_test
