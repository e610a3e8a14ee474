#include <gtest/gtest.h>

#include <cmath>

#include "platform/coregraphics/CGGeometry.h"
#include "support/TestEnvironment.h"

namespace cg_geometry_test {

namespace {

using CGGeometryTest = PlatformTest;

TEST_F(CGGeometryTest, RectanglesStandardizeIntersectAndUnion) {
  CGRect flipped = CGRectMake(10, 10, -4, -6);
  EXPECT_EQ(CGRectStandardize(flipped), CGRectMake(6, 4, 4, 6));
  EXPECT_EQ(CGRectGetMinX(flipped), 6);
  EXPECT_EQ(CGRectGetMaxY(flipped), 10);
  EXPECT_TRUE(CGRectEqualToRect(flipped, CGRectMake(6, 4, 4, 6)));

  CGRect a = CGRectMake(0, 0, 10, 10), b = CGRectMake(5, 5, 10, 10);
  EXPECT_EQ(CGRectIntersection(a, b), CGRectMake(5, 5, 5, 5));
  EXPECT_TRUE(CGRectIsNull(CGRectIntersection(a, CGRectMake(20, 20, 1, 1))));
  EXPECT_TRUE(CGRectIsEmpty(CGRectIntersection(a, CGRectMake(20, 20, 1, 1))));
  EXPECT_EQ(CGRectUnion(a, b), CGRectMake(0, 0, 15, 15));
  EXPECT_EQ(CGRectUnion(CGRectNull, b), b);
  EXPECT_TRUE(CGRectIntersectsRect(a, b));
  EXPECT_FALSE(CGRectIntersectsRect(a, CGRectMake(10, 0, 5, 5)));  // touching edges only

  EXPECT_EQ(CGRectIntegral(CGRectMake(0.5, 1.2, 2.1, 0.3)), CGRectMake(0, 1, 3, 1));
  EXPECT_TRUE(CGRectIsNull(CGRectInset(a, 6, 0)));
  EXPECT_EQ(CGRectInset(a, 1, 2), CGRectMake(1, 2, 8, 6));
  EXPECT_TRUE(CGRectContainsPoint(a, {0, 0}));
  EXPECT_FALSE(CGRectContainsPoint(a, {10, 5}));  // max edges are outside
  EXPECT_TRUE(CGRectContainsRect(a, CGRectMake(2, 2, 8, 8)));
  EXPECT_FALSE(CGRectContainsRect(a, b));
  EXPECT_EQ(NSStringFromCGRect(CGRectMake(1, 2.5, 3, 4)), "{{1, 2.5}, {3, 4}}");
}

TEST_F(CGGeometryTest, TransformsComposeInvertAndMapRects) {
  // Translate then scale: concat applies its first argument first.
  CGAffineTransform t = CGAffineTransformConcat(CGAffineTransformMakeTranslation(1, 2),
                                                CGAffineTransformMakeScale(2, 3));
  EXPECT_EQ(CGPointApplyAffineTransform({1, 1}, t), (CGPoint{4, 9}));
  // CGAffineTransformScale(t, ...) scales before t.
  CGAffineTransform s = CGAffineTransformScale(CGAffineTransformMakeTranslation(1, 2), 2, 3);
  EXPECT_EQ(CGPointApplyAffineTransform({1, 1}, s), (CGPoint{3, 5}));

  CGAffineTransform r = CGAffineTransformMakeRotation(M_PI / 2);
  EXPECT_EQ(r.a, 0);  // quarter turns are exact
  EXPECT_EQ(CGPointApplyAffineTransform({1, 0}, r), (CGPoint{0, 1}));
  CGAffineTransform m = CGAffineTransformRotate(CGAffineTransformMakeTranslation(5, -3), 0.7);
  CGPoint p = CGPointApplyAffineTransform(CGPointApplyAffineTransform({2, 9}, m),
                                          CGAffineTransformInvert(m));
  EXPECT_NEAR(p.x, 2, 1e-12);
  EXPECT_NEAR(p.y, 9, 1e-12);
  CGAffineTransform singular = CGAffineTransformMakeScale(0, 1);
  EXPECT_EQ(CGAffineTransformInvert(singular), singular);

  CGRect box = CGRectApplyAffineTransform(CGRectMake(0, 0, 2, 1), r);
  EXPECT_NEAR(box.origin.x, -1, 1e-12);
  EXPECT_NEAR(box.size.width, 1, 1e-12);
  EXPECT_NEAR(box.size.height, 2, 1e-12);
  EXPECT_TRUE(CGAffineTransformIsIdentity(CGAffineTransformIdentity));
}

}  // namespace

}  // namespace cg_geometry_test
