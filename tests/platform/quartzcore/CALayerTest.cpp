#include <gtest/gtest.h>

#include <cmath>

#include "platform/quartzcore/CALayer.h"
#include "support/TestEnvironment.h"

namespace ca_layer_test {

namespace {

class CALayerTest : public PlatformTest {};

void expectRect(const CGRect& r, double x, double y, double w, double h) {
  EXPECT_NEAR(r.origin.x, x, 1e-9);
  EXPECT_NEAR(r.origin.y, y, 1e-9);
  EXPECT_NEAR(r.size.width, w, 1e-9);
  EXPECT_NEAR(r.size.height, h, 1e-9);
}

TEST_F(CALayerTest, FrameFollowsPositionAnchorAndTransform) {
  auto layer = CALayer::layer();
  layer->setFrame(CGRectMake(10, 20, 100, 50));
  EXPECT_EQ(layer->position(), CGPointMake(60, 45));
  expectRect(layer->bounds(), 0, 0, 100, 50);

  layer->setAnchorPoint(CGPointMake(0, 0));
  expectRect(layer->frame(), 60, 45, 100, 50);

  layer->setAnchorPoint(CGPointMake(0.5, 0.5));
  layer->setAffineTransform(CGAffineTransformMakeScale(2, 3));
  expectRect(layer->frame(), 10 - 50, 45 - 75, 200, 150);

  // A quarter turn swaps the frame's sides about the position.
  layer->setAffineTransform(CGAffineTransformMakeRotation(M_PI / 2));
  expectRect(layer->frame(), 35, -5, 50, 100);
}

TEST_F(CALayerTest, FrameSetUnderATransformLandsOnTheFrame) {
  auto layer = CALayer::layer();
  layer->setAnchorPoint(CGPointMake(0, 0));
  CGAffineTransform t = CGAffineTransformMakeRotation(M_PI / 2);
  t.tx = 7;  // the transform's own move counts too
  layer->setAffineTransform(t);
  layer->setFrame(CGRectMake(10, 20, 30, 80));
  expectRect(layer->bounds(), 0, 0, 80, 30);
  expectRect(layer->frame(), 10, 20, 30, 80);
  // Turned about its top-left corner, the layer reaches left of its position.
  EXPECT_NEAR(layer->position().x, 10 + 30 - 7, 1e-9);
  EXPECT_NEAR(layer->position().y, 20, 1e-9);
}

TEST_F(CALayerTest, ConvertsThroughBoundsOriginAndTransforms) {
  auto root = CALayer::layer();
  root->setFrame(CGRectMake(0, 0, 400, 400));
  auto child = CALayer::layer();
  child->setFrame(CGRectMake(100, 100, 100, 100));
  child->setAffineTransform(CGAffineTransformMakeScale(2, 2));
  auto grandchild = CALayer::layer();
  grandchild->setFrame(CGRectMake(10, 10, 20, 20));
  root->addSublayer(child);
  child->addSublayer(grandchild);

  // The child's centre (50, 50) stays at (150, 150); other points double
  // their distance from it.
  CGPoint p = grandchild->convertPointToLayer(CGPointMake(0, 0), root.get());
  EXPECT_NEAR(p.x, 150 + (10 - 50) * 2, 1e-9);
  EXPECT_NEAR(p.y, 150 + (10 - 50) * 2, 1e-9);
  CGPoint back = grandchild->convertPointFromLayer(p, root.get());
  EXPECT_NEAR(back.x, 0, 1e-9);
  EXPECT_NEAR(back.y, 0, 1e-9);

  // Scrolling the child (its bounds origin) moves what it holds.
  child->setBounds(CGRectMake(5, 0, 100, 100));
  p = grandchild->convertPointToLayer(CGPointMake(0, 0), root.get());
  EXPECT_NEAR(p.x, 150 + (10 - 5 - 50) * 2, 1e-9);

  CGRect r = grandchild->convertRectToLayer(grandchild->bounds(), child.get());
  expectRect(r, 10, 10, 20, 20);
  expectRect(child->convertRectFromLayer(r, child.get()), 10, 10, 20, 20);
}

TEST_F(CALayerTest, SublayerOrderAndReparenting) {
  auto root = CALayer::layer(), a = CALayer::layer(), b = CALayer::layer(),
       c = CALayer::layer();
  root->addSublayer(a);
  root->addSublayer(b);
  root->insertSublayerBelow(c, b.get());
  ASSERT_EQ(root->sublayers().size(), 3u);
  EXPECT_EQ(root->sublayers()[1], c);
  root->insertSublayerAbove(a, b.get());
  EXPECT_EQ(root->sublayers().back(), a);
  EXPECT_EQ(root->sublayers().size(), 3u);
  root->insertSublayerAtIndex(b, 99);
  EXPECT_EQ(root->sublayers().back(), b);

  auto other = CALayer::layer();
  other->addSublayer(c);
  EXPECT_EQ(c->superlayer(), other);
  EXPECT_EQ(root->sublayers().size(), 2u);
  // A layer cannot become its own ancestor's sublayer.
  c->addSublayer(other);
  EXPECT_EQ(other->sublayers().size(), 1u);
  EXPECT_EQ(other->superlayer(), nullptr);

  c->removeFromSuperlayer();
  EXPECT_TRUE(other->sublayers().empty());
  EXPECT_EQ(c->superlayer(), nullptr);
}

TEST_F(CALayerTest, KeyPathsReadAndWriteComponents) {
  auto layer = CALayer::layer();
  layer->setFrame(CGRectMake(0, 0, 10, 20));
  EXPECT_TRUE(layer->setValueForKeyPath("position.x", 7.0));
  EXPECT_EQ(layer->position().x, 7);
  EXPECT_TRUE(layer->setValueForKeyPath("bounds.size.height", 30.0));
  EXPECT_EQ(layer->bounds().size.height, 30);
  EXPECT_TRUE(layer->setValueForKeyPath("transform.scale", 2.0));
  EXPECT_NEAR(std::get<double>(layer->valueForKeyPath("transform.scale.y")), 2, 1e-12);
  EXPECT_TRUE(layer->setValueForKeyPath("transform.rotation.z", M_PI / 2));
  EXPECT_NEAR(std::get<double>(layer->valueForKeyPath("transform.rotation")), M_PI / 2, 1e-12);
  // The scale survives the rotation.
  EXPECT_NEAR(std::get<double>(layer->valueForKeyPath("transform.scale.x")), 2, 1e-12);
  EXPECT_TRUE(layer->setValueForKeyPath("opacity", 3.0));
  EXPECT_EQ(layer->opacity(), 1);
  EXPECT_FALSE(layer->setValueForKeyPath("nonsense", 1.0));
  EXPECT_FALSE(layer->setValueForKeyPath("position", 1.0));
  EXPECT_TRUE(CAValueIsNil(layer->valueForKeyPath("nonsense")));
}

// Counts display and layout requests reaching the delegate.
class CountingDelegate : public CALayerDelegate {
 public:
  void drawLayerInContext(CALayer&, const CGContextRef& context) override {
    ++draws;
    CGContextSetRGBFillColor(context, 1, 0, 0, 1);
    CGContextFillRect(context, CGRectMake(0, 0, 1, 1));
  }
  void layoutSublayersOfLayer(CALayer&) override { ++layouts; }
  int draws = 0, layouts = 0;
};

TEST_F(CALayerTest, DisplaysAndLaysOutOnlyWhenMarked) {
  auto delegate = std::make_shared<CountingDelegate>();
  auto layer = CALayer::layer();
  layer->setDelegate(delegate);
  layer->setFrame(CGRectMake(0, 0, 4, 2));
  layer->setContentsScale(2);
  layer->displayIfNeeded();
  EXPECT_EQ(delegate->draws, 0);
  layer->setNeedsDisplay();
  layer->setNeedsDisplay();
  layer->displayIfNeeded();
  layer->displayIfNeeded();
  EXPECT_EQ(delegate->draws, 1);
  ASSERT_TRUE(layer->contents());
  EXPECT_EQ(layer->contents()->width(), 8u);
  EXPECT_EQ(layer->contents()->height(), 4u);

  layer->layoutIfNeeded();  // resized when framed
  EXPECT_EQ(delegate->layouts, 1);
  layer->layoutIfNeeded();
  EXPECT_EQ(delegate->layouts, 1);
  layer->setBounds(CGRectMake(0, 0, 4, 2));  // same size: no new layout
  layer->layoutIfNeeded();
  EXPECT_EQ(delegate->layouts, 1);
  layer->setBounds(CGRectMake(0, 0, 5, 2));
  layer->layoutIfNeeded();
  EXPECT_EQ(delegate->layouts, 2);

  // The delegate is held weakly.
  delegate.reset();
  layer->setNeedsDisplay();
  layer->displayIfNeeded();
}

}  // namespace

}  // namespace ca_layer_test
