#include <gtest/gtest.h>

#include <array>

#include "platform/quartzcore/internal/CAGradientLayer.h"
#include "platform/quartzcore/CAReplicatorLayer.h"
#include "platform/quartzcore/CAShapeLayer.h"
#include "support/TestEnvironment.h"
#include "LayerCanvas.h"

namespace ca_shape_layer_test {

namespace {

using Canvas = LayerCanvas;

class CAShapeLayerTest : public PlatformTest {};

std::shared_ptr<CAShapeLayer> lineLayer() {
  auto shape = CAShapeLayer::layer();
  shape->setFrame(CGRectMake(0, 0, 40, 10));
  auto path = CGPathCreateMutable();
  CGPathMoveToPoint(path, nullptr, 0, 5);
  CGPathAddLineToPoint(path, nullptr, 40, 5);
  shape->setPath(path);
  shape->setFillColor(nullptr);
  shape->setStrokeColor(CGColorCreateSRGB(0, 0, 0, 1));
  shape->setLineWidth(4);
  return shape;
}

TEST_F(CAShapeLayerTest, FillsWithItsRuleAndStrokesOnTop) {
  auto shape = CAShapeLayer::layer();
  shape->setFrame(CGRectMake(0, 0, 30, 30));
  auto path = CGPathCreateMutable();
  CGPathAddRect(path, nullptr, CGRectMake(0, 0, 30, 30));
  CGPathAddRect(path, nullptr, CGRectMake(10, 10, 10, 10));
  shape->setPath(path);
  shape->setFillColor(CGColorCreateSRGB(1, 0, 0, 1));
  Canvas nonZero(30, 30);
  shape->renderInContext(nonZero.context);
  EXPECT_EQ(nonZero.at(15, 15), (RGBA{255, 0, 0, 255}));  // same direction: filled

  shape->setFillRule(kCAFillRuleEvenOdd);
  Canvas evenOdd(30, 30);
  shape->renderInContext(evenOdd.context);
  EXPECT_EQ(evenOdd.at(15, 15)[3], 0);
  EXPECT_EQ(evenOdd.at(5, 5), (RGBA{255, 0, 0, 255}));

  shape->setStrokeColor(CGColorCreateSRGB(0, 0, 1, 1));
  shape->setLineWidth(4);
  Canvas stroked(30, 30);
  shape->renderInContext(stroked.context);
  EXPECT_EQ(stroked.at(10, 15), (RGBA{0, 0, 255, 255}));  // inner edge
  EXPECT_EQ(stroked.at(5, 5), (RGBA{255, 0, 0, 255}));
}

TEST_F(CAShapeLayerTest, DashesAndStrokeEndCutTheLine) {
  auto shape = lineLayer();
  shape->setLineDashPattern({10, 5});
  Canvas dashed(40, 10);
  shape->renderInContext(dashed.context);
  EXPECT_EQ(dashed.at(5, 5)[3], 255);
  EXPECT_EQ(dashed.at(12, 5)[3], 0);
  EXPECT_EQ(dashed.at(20, 5)[3], 255);
  EXPECT_EQ(dashed.at(27, 5)[3], 0);

  shape->setLineDashPhase(5);
  Canvas shifted(40, 10);
  shape->renderInContext(shifted.context);
  EXPECT_EQ(shifted.at(2, 5)[3], 255);
  EXPECT_EQ(shifted.at(7, 5)[3], 0);

  auto partial = lineLayer();
  partial->setStrokeStart(0.25);
  partial->setStrokeEnd(0.5);
  Canvas cut(40, 10);
  partial->renderInContext(cut.context);
  EXPECT_EQ(cut.at(5, 5)[3], 0);
  EXPECT_EQ(cut.at(15, 5)[3], 255);
  EXPECT_EQ(cut.at(25, 5)[3], 0);

  // strokeEnd animates like any other value.
  auto draw = CABasicAnimation::animationWithKeyPath("strokeEnd");
  draw->setFromValue(0.0);
  draw->setToValue(1.0);
  draw->setDuration(1);
  draw->setTimingFunction(CAMediaTimingFunction::functionWithName(kCAMediaTimingFunctionLinear));
  auto animated = lineLayer();
  animated->addAnimation(draw, "draw");
  advance(0.5);
  Canvas half(40, 10);
  animated->renderInContext(half.context);
  EXPECT_EQ(half.at(10, 5)[3], 255);
  EXPECT_EQ(half.at(30, 5)[3], 0);
  advance(0.5);
}

TEST_F(CAShapeLayerTest, GradientsRunFromStartToEnd) {
  auto gradient = CAGradientLayer::layer();
  gradient->setFrame(CGRectMake(0, 0, 10, 100));
  gradient->setColors({CGColorCreateSRGB(1, 0, 0, 1), CGColorCreateSRGB(0, 0, 1, 1)});
  Canvas canvas(10, 100);
  gradient->renderInContext(canvas.context);
  EXPECT_NEAR(canvas.at(5, 0)[0], 254, 2);
  EXPECT_NEAR(canvas.at(5, 99)[2], 254, 2);
  EXPECT_NEAR(canvas.at(5, 50)[0], 127, 3);
  EXPECT_NEAR(canvas.at(5, 50)[2], 128, 3);

  // Locations squeeze the change; a horizontal axis turns it.
  gradient->setLocations({0.4, 0.6});
  gradient->setStartPoint(CGPointMake(0, 0.5));
  gradient->setEndPoint(CGPointMake(1, 0.5));
  gradient->setFrame(CGRectMake(0, 0, 100, 10));
  Canvas squeezed(100, 10);
  gradient->renderInContext(squeezed.context);
  EXPECT_EQ(squeezed.at(20, 5), (RGBA{255, 0, 0, 255}));
  EXPECT_EQ(squeezed.at(80, 5), (RGBA{0, 0, 255, 255}));

  gradient->setType(kCAGradientLayerRadial);
  gradient->setLocations({});
  gradient->setStartPoint(CGPointMake(0.5, 0.5));
  gradient->setEndPoint(CGPointMake(1, 1));
  gradient->setFrame(CGRectMake(0, 0, 100, 100));
  Canvas radial(100, 100);
  gradient->renderInContext(radial.context);
  EXPECT_GT(radial.at(50, 50)[0], 240);
  EXPECT_GT(radial.at(99, 50)[2], 240);
  EXPECT_EQ(radial.at(1, 1), (RGBA{0, 0, 255, 255}));  // beyond the end: extended
}

TEST_F(CAShapeLayerTest, ReplicatorsRepeatTintAndDelayInstances) {
  auto replicator = CAReplicatorLayer::layer();
  replicator->setFrame(CGRectMake(0, 0, 50, 10));
  auto dot = CALayer::layer();
  dot->setFrame(CGRectMake(0, 0, 10, 10));
  dot->setBackgroundColor(CGColorCreateSRGB(1, 1, 1, 1));
  replicator->addSublayer(dot);
  replicator->setInstanceCount(3);
  replicator->setInstanceTransform(CATransform3DMakeTranslation(20, 0, 0));
  replicator->setInstanceRedOffset(-0.5);
  Canvas canvas(50, 10);
  replicator->renderInContext(canvas.context);
  EXPECT_EQ(canvas.at(5, 5), (RGBA{255, 255, 255, 255}));
  EXPECT_NEAR(canvas.at(25, 5)[0], 128, 2);
  EXPECT_EQ(canvas.at(25, 5)[1], 255);
  EXPECT_EQ(canvas.at(45, 5)[0], 0);
  EXPECT_EQ(canvas.at(15, 5)[3], 0);

  // Each instance runs its animation a delay later.
  replicator->setInstanceRedOffset(0);
  replicator->setInstanceDelay(0.5);
  auto fade = CABasicAnimation::animationWithKeyPath("opacity");
  fade->setFromValue(0.0);
  fade->setToValue(1.0);
  fade->setDuration(1);
  fade->setFillMode(kCAFillModeBackwards);
  dot->addAnimation(fade, "fade");
  advance(0.75);
  Canvas staggered(50, 10);
  replicator->renderInContext(staggered.context);
  EXPECT_GT(staggered.at(5, 5)[3], staggered.at(25, 5)[3]);
  EXPECT_GT(staggered.at(25, 5)[3], 0);
  EXPECT_EQ(staggered.at(45, 5)[3], 0);
  advance(0.25);
}

}  // namespace

}  // namespace ca_shape_layer_test
