// Rounding at the edges of Core Animation: display-link rates the screen
// cannot show exactly, a layer's backing store for fractional bounds, and
// how far a small blurred shadow spreads.

#include <gtest/gtest.h>

#include <vector>

#include "LayerCanvas.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/quartzcore/CADisplayLink.h"
#include "platform/quartzcore/CALayer.h"
#include "support/TestEnvironment.h"

namespace boundaries_test {

namespace {

class QuartzBoundariesTest : public PlatformTest {};

class Ticks : public NSObject {
 public:
  void step(CADisplayLink&) { ++count; }
  int count = 0;
};

TEST_F(QuartzBoundariesTest, RatesRoundToTheNearestWholeNumberOfFrames) {
  struct Row {
    int64_t fps;
    int perSecond;
  } rows[] = {
      {60, 60}, {120, 60}, {30, 30}, {40, 30},  // 1.5 frames round up to 2
      {24, 20},                                 // 2.5 frames round up to 3
      {25, 30},                                 // 2.4 frames round down to 2
      {0, 60},
  };
  for (const Row& r : rows) {
    auto ticks = std::make_shared<Ticks>();
    auto link = CADisplayLink::displayLinkWithTarget(ticks, &Ticks::step);
    link->setPreferredFramesPerSecond(r.fps);
    link->addToRunLoop(NSRunLoop::mainRunLoop(), NSRunLoopCommonModes);
    advance(1.0 + 1e-7);
    EXPECT_EQ(ticks->count, r.perSecond) << r.fps;
    link->invalidate();
  }
}

TEST_F(QuartzBoundariesTest, BackingStoreCoversFractionalBoundsWithWholePixels) {
  struct Row {
    double width, scale;
    size_t pixels;
  } rows[] = {{10, 1, 10},    {10.5, 1, 11}, {10.01, 1, 11},
              {10.25, 2, 21}, {10.5, 2, 21}, {0.2, 1, 1}};
  for (const Row& r : rows) {
    auto layer = CALayer::layer();
    layer->setBounds(CGRectMake(0, 0, r.width, 4));
    layer->setContentsScale(r.scale);
    layer->display();
    ASSERT_TRUE(layer->contents()) << r.width << " @" << r.scale;
    EXPECT_EQ(layer->contents()->width(), r.pixels) << r.width << " @" << r.scale;
  }
}

TEST_F(QuartzBoundariesTest, ASmallShadowRadiusBlursOnlyFromSigmaOne) {
  // A black square's shadow 40 points below it; its left edge is at x = 10.
  struct Row {
    double radius;  // sigma is half of it
    size_t column;
    bool shaded;
  } rows[] = {
      {1, 9, false},                // sigma 0.5: the boxes are all one pixel, no blur
      {2, 9, true},                 // sigma 1: one box of three pixels
      {2, 8, false}, {3, 7, true},  // sigma 1.5: three boxes of three pixels
      {3, 6, false},
  };
  for (const Row& r : rows) {
    LayerCanvas canvas(60, 80);
    auto layer = CALayer::layer();
    layer->setFrame(CGRectMake(10, 10, 20, 20));
    layer->setBackgroundColor(CGColorCreateSRGB(0, 0, 0, 1));
    layer->setShadowOpacity(1);
    layer->setShadowRadius(r.radius);
    layer->setShadowOffset(CGSizeMake(0, 40));
    layer->renderInContext(canvas.context);
    EXPECT_EQ(canvas.at(r.column, 60)[3] > 0, r.shaded) << r.radius << " at " << r.column;
    EXPECT_EQ(canvas.at(20, 60)[3], 255) << r.radius;  // the shadow's middle is solid
  }
}

}  // namespace

}  // namespace boundaries_test
