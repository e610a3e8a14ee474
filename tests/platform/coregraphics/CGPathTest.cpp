#include <gtest/gtest.h>

#include <cmath>

#include "platform/coregraphics/CGPath.h"
#include "support/TestEnvironment.h"

namespace cg_path_test {

namespace {

using CGPathTest = PlatformTest;

TEST_F(CGPathTest, ArcsFollowTheirDirection) {
  // Anticlockwise (y up) from 0 to π/2: the upper right quarter.
  auto ccw = CGPathCreateMutable();
  CGPathMoveToPoint(ccw, nullptr, 0, 0);
  CGPathAddArc(ccw, nullptr, 0, 0, 10, 0, M_PI / 2, false);
  CGPathCloseSubpath(ccw);
  EXPECT_TRUE(CGPathContainsPoint(ccw, nullptr, {4, 4}, false));
  EXPECT_FALSE(CGPathContainsPoint(ccw, nullptr, {4, -4}, false));
  CGPoint end = CGPathGetCurrentPoint(ccw);
  EXPECT_NEAR(end.x, 0, 1e-9);  // closing returns to the sub-path's start
  // Clockwise between the same angles: the other three quarters.
  auto cw = CGPathCreateMutable();
  CGPathMoveToPoint(cw, nullptr, 0, 0);
  CGPathAddArc(cw, nullptr, 0, 0, 10, 0, M_PI / 2, true);
  CGPathCloseSubpath(cw);
  EXPECT_FALSE(CGPathContainsPoint(cw, nullptr, {4, 4}, false));
  EXPECT_TRUE(CGPathContainsPoint(cw, nullptr, {4, -4}, false));
  EXPECT_TRUE(CGPathContainsPoint(cw, nullptr, {-4, 4}, false));
  // A full turn is a whole circle whose points lie on the radius.
  auto circle = CGPathCreateMutable();
  CGPathAddArc(circle, nullptr, 5, 5, 5, 0, 2 * M_PI, false);
  CGRect box = CGPathGetPathBoundingBox(circle);
  EXPECT_NEAR(box.origin.x, 0, 1e-3);
  EXPECT_NEAR(box.size.width, 10, 1e-3);
  for (const CGPolygon& poly : circle->flatten(CGAffineTransformIdentity, 0.01))
    for (const CGPoint& p : poly.points) EXPECT_NEAR(std::hypot(p.x - 5, p.y - 5), 5, 0.02);
}

TEST_F(CGPathTest, ShapesBoxesAndFillRules) {
  auto path = CGPathCreateMutable();
  CGPathAddRect(path, nullptr, CGRectMake(0, 0, 10, 10));
  CGPathAddRect(path, nullptr, CGRectMake(3, 3, 4, 4));
  EXPECT_TRUE(CGPathContainsPoint(path, nullptr, {5, 5}, false));  // same direction: no hole
  EXPECT_FALSE(CGPathContainsPoint(path, nullptr, {5, 5}, true));  // even-odd: hole
  EXPECT_TRUE(CGPathContainsPoint(path, nullptr, {1, 1}, true));

  // Corner radii are clamped to half the sides.
  auto rounded = CGPathCreateWithRoundedRect(CGRectMake(0, 0, 10, 4), 8, 8, nullptr);
  EXPECT_TRUE(CGPathContainsPoint(rounded, nullptr, {5, 2}, false));
  EXPECT_FALSE(CGPathContainsPoint(rounded, nullptr, {0.2, 0.2}, false));
  EXPECT_EQ(CGPathGetPathBoundingBox(rounded), CGRectMake(0, 0, 10, 4));

  // The transform argument moves the points as they are added.
  CGAffineTransform shift = CGAffineTransformMakeTranslation(100, 0);
  auto oval = CGPathCreateWithEllipseInRect(CGRectMake(0, 0, 4, 2), &shift);
  CGRect box = CGPathGetPathBoundingBox(oval);
  EXPECT_NEAR(box.origin.x, 100, 1e-3);
  EXPECT_NEAR(box.size.height, 2, 1e-3);
  // Control points reach beyond the curve.
  auto curve = CGPathCreateMutable();
  CGPathMoveToPoint(curve, nullptr, 0, 0);
  CGPathAddCurveToPoint(curve, nullptr, 0, 10, 10, 10, 10, 0);
  EXPECT_EQ(CGPathGetBoundingBox(curve).size.height, 10);
  EXPECT_NEAR(CGPathGetPathBoundingBox(curve).size.height, 7.5, 1e-2);
  EXPECT_TRUE(CGPathEqualToPath(CGPathCreateCopy(curve), curve));
  EXPECT_TRUE(CGPathIsEmpty(CGPathCreateMutable()));
}

TEST_F(CGPathTest, StrokeOutlineCoversTheLineAndItsJoins) {
  auto line = CGPathCreateMutable();
  CGPathMoveToPoint(line, nullptr, 0, 0);
  CGPathAddLineToPoint(line, nullptr, 10, 0);
  CGPathAddLineToPoint(line, nullptr, 10, 10);
  auto miter =
      CGPathCreateCopyByStrokingPath(line, nullptr, 2, kCGLineCapButt, kCGLineJoinMiter, 10);
  EXPECT_TRUE(CGPathContainsPoint(miter, nullptr, {5, 0.9}, false));
  EXPECT_FALSE(CGPathContainsPoint(miter, nullptr, {5, 1.1}, false));
  EXPECT_TRUE(CGPathContainsPoint(miter, nullptr, {10.9, -0.9}, false));  // miter corner
  EXPECT_FALSE(CGPathContainsPoint(miter, nullptr, {-0.5, 0}, false));    // butt end
  auto bevel =
      CGPathCreateCopyByStrokingPath(line, nullptr, 2, kCGLineCapSquare, kCGLineJoinBevel, 10);
  EXPECT_FALSE(CGPathContainsPoint(bevel, nullptr, {10.9, -0.9}, false));
  EXPECT_TRUE(CGPathContainsPoint(bevel, nullptr, {-0.5, 0}, false));  // square cap
  auto round =
      CGPathCreateCopyByStrokingPath(line, nullptr, 2, kCGLineCapRound, kCGLineJoinRound, 10);
  EXPECT_TRUE(CGPathContainsPoint(round, nullptr, {10.6, -0.6}, false));
  EXPECT_FALSE(CGPathContainsPoint(round, nullptr, {10.9, -0.9}, false));
  EXPECT_TRUE(CGPathIsEmpty(
      CGPathCreateCopyByStrokingPath(line, nullptr, 0, kCGLineCapButt, kCGLineJoinMiter, 10)));
}

}  // namespace

}  // namespace cg_path_test
