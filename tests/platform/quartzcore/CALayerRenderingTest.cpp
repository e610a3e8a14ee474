#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <vector>

#include "LayerCanvas.h"
#include "platform/quartzcore/CALayer.h"
#include "platform/quartzcore/CALayerRendering.h"
#include "support/TestEnvironment.h"

namespace ca_layer_rendering_test {

namespace {

using Canvas = LayerCanvas;

CGColorRef rgb(double r, double g, double b, double a = 1) { return CGColorCreateSRGB(r, g, b, a); }

void expectNear(const RGBA& got, const RGBA& want, int tolerance = 2) {
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(got[i], want[i], tolerance) << "component " << i;
}

class CALayerRenderingTest : public PlatformTest {};

TEST_F(CALayerRenderingTest, BackgroundBorderAndCornerRadius) {
  Canvas canvas(40, 40);
  auto layer = CALayer::layer();
  layer->setFrame(CGRectMake(10, 10, 20, 20));
  layer->setBackgroundColor(rgb(1, 0, 0));
  layer->setBorderWidth(2);
  layer->setBorderColor(rgb(0, 0, 1));
  layer->setCornerRadius(6);
  layer->renderInContext(canvas.context);

  expectNear(canvas.at(20, 20), {255, 0, 0, 255});  // inside
  expectNear(canvas.at(20, 10), {0, 0, 255, 255});  // top border
  expectNear(canvas.at(29, 20), {0, 0, 255, 255});  // right border
  expectNear(canvas.at(10, 10), {0, 0, 0, 0});      // cut corner
  expectNear(canvas.at(5, 20), {0, 0, 0, 0});       // outside
}

TEST_F(CALayerRenderingTest, MasksToBoundsClipsSublayersAndTransformsPlaceThem) {
  Canvas canvas(40, 40);
  auto parent = CALayer::layer();
  parent->setFrame(CGRectMake(0, 0, 20, 20));
  auto child = CALayer::layer();
  child->setFrame(CGRectMake(10, 10, 20, 20));
  child->setBackgroundColor(rgb(0, 1, 0));
  parent->addSublayer(child);
  parent->renderInContext(canvas.context);
  expectNear(canvas.at(25, 25), {0, 255, 0, 255});  // not clipped

  Canvas clipped(40, 40);
  parent->setMasksToBounds(true);
  parent->renderInContext(clipped.context);
  expectNear(clipped.at(15, 15), {0, 255, 0, 255});
  expectNear(clipped.at(25, 25), {0, 0, 0, 0});

  // Scaling the parent by 2 about its centre (10, 10) moves the child's
  // origin to (10, 10) and doubles it.
  Canvas scaled(40, 40);
  parent->setMasksToBounds(false);
  parent->setAffineTransform(CGAffineTransformMakeScale(2, 2));
  parent->renderInContext(scaled.context);
  expectNear(scaled.at(11, 11), {0, 255, 0, 255});
  expectNear(scaled.at(9, 9), {0, 0, 0, 0});
  expectNear(scaled.at(38, 38), {0, 255, 0, 255});

  // What follows a clipping layer is drawn without its clip or its placement.
  Canvas after(40, 40);
  auto root = CALayer::layer();
  root->setFrame(CGRectMake(0, 0, 40, 40));
  auto clipping = CALayer::layer();
  clipping->setFrame(CGRectMake(5, 5, 10, 10));
  clipping->setMasksToBounds(true);
  auto sibling = CALayer::layer();
  sibling->setFrame(CGRectMake(30, 0, 10, 10));
  sibling->setBackgroundColor(rgb(0, 0, 1));
  root->addSublayer(clipping);
  root->addSublayer(sibling);
  root->renderInContext(after.context);
  expectNear(after.at(31, 1), {0, 0, 255, 255});
  expectNear(after.at(39, 9), {0, 0, 255, 255});
}

TEST_F(CALayerRenderingTest, OpacityGroupsAndHiddenLayers) {
  Canvas canvas(20, 20);
  auto group = CALayer::layer();
  group->setFrame(CGRectMake(0, 0, 20, 20));
  group->setOpacity(0.5);
  // Two overlapping opaque children: as a group the overlap is not darker.
  for (double x : {0.0, 5.0}) {
    auto c = CALayer::layer();
    c->setFrame(CGRectMake(x, 0, 10, 10));
    c->setBackgroundColor(rgb(0, 0, 0));
    group->addSublayer(c);
  }
  group->renderInContext(canvas.context);
  EXPECT_NEAR(canvas.at(2, 2)[3], 128, 2);
  EXPECT_NEAR(canvas.at(7, 2)[3], 128, 2);
  EXPECT_NEAR(canvas.at(12, 2)[3], 128, 2);

  Canvas hidden(20, 20);
  group->setHidden(true);
  group->renderInContext(hidden.context);
  EXPECT_EQ(hidden.at(7, 2)[3], 0);
}

TEST_F(CALayerRenderingTest, MaskKeepsOnlyWhatItCovers) {
  Canvas canvas(20, 20);
  auto layer = CALayer::layer();
  layer->setFrame(CGRectMake(0, 0, 20, 20));
  layer->setBackgroundColor(rgb(1, 1, 0));
  auto mask = CALayer::layer();
  mask->setFrame(CGRectMake(0, 0, 10, 20));
  mask->setBackgroundColor(rgb(0, 0, 0, 1));
  layer->setMask(mask);
  layer->renderInContext(canvas.context);
  expectNear(canvas.at(5, 5), {255, 255, 0, 255});
  expectNear(canvas.at(15, 5), {0, 0, 0, 0});
}

// A 2 x 1 image: red on the left, blue on the right.
CGImageRef twoPixels() {
  auto c = CGBitmapContextCreate(nullptr, 2, 1, 8, 0, CGColorSpaceCreateDeviceRGB(),
                                 kCGImageAlphaPremultipliedLast);
  CGContextSetRGBFillColor(c, 1, 0, 0, 1);
  CGContextFillRect(c, CGRectMake(0, 0, 1, 1));
  CGContextSetRGBFillColor(c, 0, 0, 1, 1);
  CGContextFillRect(c, CGRectMake(1, 0, 1, 1));
  return CGBitmapContextCreateImage(c);
}

TEST_F(CALayerRenderingTest, ContentsFollowGravityAndScale) {
  auto layer = CALayer::layer();
  layer->setFrame(CGRectMake(0, 0, 20, 20));
  layer->setContents(twoPixels());
  layer->setMagnificationFilter(kCAFilterNearest);

  Canvas resized(20, 20);
  layer->renderInContext(resized.context);
  expectNear(resized.at(2, 2), {255, 0, 0, 255});
  expectNear(resized.at(17, 17), {0, 0, 255, 255});

  Canvas fit(20, 20);
  layer->setContentsGravity(kCAGravityResizeAspect);  // 20 x 10, centred
  layer->renderInContext(fit.context);
  EXPECT_EQ(fit.at(5, 2)[3], 0);
  expectNear(fit.at(5, 10), {255, 0, 0, 255});
  EXPECT_EQ(fit.at(5, 17)[3], 0);

  Canvas topLeft(20, 20);
  layer->setContentsGravity(kCAGravityTopLeft);
  layer->setContentsScale(0.2);  // 10 x 5 points
  layer->renderInContext(topLeft.context);
  expectNear(topLeft.at(2, 2), {255, 0, 0, 255});
  expectNear(topLeft.at(7, 2), {0, 0, 255, 255});
  EXPECT_EQ(topLeft.at(12, 2)[3], 0);
  EXPECT_EQ(topLeft.at(2, 7)[3], 0);
}

TEST_F(CALayerRenderingTest, RendersThePresentationMidAnimation) {
  auto layer = CALayer::layer();
  layer->setFrame(CGRectMake(0, 0, 10, 10));
  layer->setBackgroundColor(rgb(0, 0, 0));
  auto move = CABasicAnimation::animationWithKeyPath("position.x");
  move->setFromValue(5.0);
  move->setToValue(25.0);
  move->setDuration(1);
  move->setTimingFunction(CAMediaTimingFunction::functionWithName(kCAMediaTimingFunctionLinear));
  layer->addAnimation(move, "move");
  advance(0.5);
  Canvas canvas(40, 10);
  layer->renderInContext(canvas.context);
  EXPECT_EQ(canvas.at(2, 5)[3], 0);
  EXPECT_EQ(canvas.at(12, 5)[3], 255);
  EXPECT_EQ(canvas.at(22, 5)[3], 0);

  // Fading out: the model is already invisible, the presentation not yet.
  auto fading = CALayer::layer();
  fading->setFrame(CGRectMake(30, 0, 10, 10));
  fading->setBackgroundColor(rgb(0, 0, 0));
  fading->setOpacity(0);
  auto fade = CABasicAnimation::animationWithKeyPath("opacity");
  fade->setFromValue(1.0);
  fade->setToValue(0.0);
  fade->setDuration(1);
  fade->setTimingFunction(CAMediaTimingFunction::functionWithName(kCAMediaTimingFunctionLinear));
  fading->addAnimation(fade, "fade");
  advance(0.25);
  Canvas faded(40, 10);
  fading->renderInContext(faded.context);
  EXPECT_NEAR(faded.at(35, 5)[3], 191, 2);
  advance(0.25);

  // Finished, yet kept and filling forwards: the end value still shows.
  auto kept = CABasicAnimation::animationWithKeyPath("position.x");
  kept->setFromValue(5.0);
  kept->setToValue(25.0);
  kept->setDuration(1);
  kept->setFillMode(kCAFillModeForwards);
  kept->setRemovedOnCompletion(false);
  layer->addAnimation(kept, "kept");
  advance(2);
  Canvas after(40, 10);
  layer->renderInContext(after.context);
  EXPECT_EQ(after.at(2, 5)[3], 0);
  EXPECT_EQ(after.at(22, 5)[3], 255);
}

}  // namespace

namespace {

TEST_F(CALayerRenderingTest, ShadowsFollowWhatTheLayerPaintsOrItsShadowPath) {
  // A sharp shadow moved down and right, at the shadow's opacity.
  Canvas canvas(60, 60, 2);
  auto layer = CALayer::layer();
  layer->setFrame(CGRectMake(10, 10, 20, 20));
  layer->setBackgroundColor(rgb(1, 1, 1));
  layer->setShadowOpacity(0.5);
  layer->setShadowRadius(0);
  layer->setShadowOffset(CGSizeMake(10, 5));
  layer->setShadowColor(rgb(0, 0, 1));
  layer->renderInContext(canvas.context);
  expectNear(canvas.at(40, 40), {255, 255, 255, 255});  // the layer covers its shadow
  expectNear(canvas.at(70, 60), {0, 0, 128, 128});      // shadow only, at half opacity
  expectNear(canvas.at(70, 25), {0, 0, 0, 0});          // above the moved shadow
  expectNear(canvas.at(81, 40), {0, 0, 0, 0});          // past its right edge

  // Without a background the shadow takes the shape of the sublayers.
  Canvas shaped(60, 60);
  auto holder = CALayer::layer();
  holder->setFrame(CGRectMake(0, 0, 60, 60));
  auto dot = CALayer::layer();
  dot->setFrame(CGRectMake(10, 10, 10, 10));
  dot->setBackgroundColor(rgb(1, 0, 0));
  holder->addSublayer(dot);
  holder->setShadowOpacity(1);
  holder->setShadowRadius(0);
  holder->setShadowOffset(CGSizeMake(0, 20));
  holder->renderInContext(shaped.context);
  expectNear(shaped.at(15, 35), {0, 0, 0, 255});
  expectNear(shaped.at(35, 35), {0, 0, 0, 0});

  // A blurred shadow fades out from the edge.
  Canvas soft(60, 60);
  layer->setShadowOffset(CGSizeMake(0, 0));
  layer->setShadowRadius(6);
  layer->setShadowOpacity(1);
  layer->setShadowColor(rgb(0, 0, 0));
  layer->setBackgroundColor(rgb(1, 0, 0));
  layer->renderInContext(soft.context);
  int nearEdge = soft.at(8, 20)[3], farther = soft.at(4, 20)[3], corner = soft.at(8, 8)[3];
  EXPECT_GT(nearEdge, 60);
  EXPECT_LT(nearEdge, 200);
  EXPECT_GT(nearEdge, farther);
  EXPECT_GT(farther, 0);
  EXPECT_LT(corner, nearEdge);
  expectNear(soft.at(20, 20), {255, 0, 0, 255});

  // A shadow path decides the shape, whatever the layer paints.
  Canvas pathed(60, 60);
  auto plain = CALayer::layer();
  plain->setFrame(CGRectMake(10, 10, 20, 20));
  plain->setShadowOpacity(1);
  plain->setShadowRadius(0);
  plain->setShadowOffset(CGSizeMake(0, 0));
  plain->setShadowPath(CGPathCreateWithRect(CGRectMake(10, 10, 20, 20), nullptr));
  plain->renderInContext(pathed.context);
  expectNear(pathed.at(35, 35), {0, 0, 0, 255});
  expectNear(pathed.at(15, 15), {0, 0, 0, 0});

  // Clipping to the bounds clips the shadow away.
  Canvas clipped(60, 60);
  plain->setMasksToBounds(true);
  plain->renderInContext(clipped.context);
  expectNear(clipped.at(35, 35), {0, 0, 0, 0});
  expectNear(clipped.at(25, 25), {0, 0, 0, 255});
}

// A 6 x 4 picture of distinct colours with a translucent pixel.
CGImageRef sixByFour(int seed) {
  auto bytes = std::make_shared<Bytes>();
  for (int i = 0; i < 24; ++i) {
    uint8_t a = i == 9 ? 120 : 255;
    uint8_t r = uint8_t((i * 37 + seed * 50) % 256 * a / 255), g = uint8_t((i * 91) % 256 * a / 255);
    bytes->insert(bytes->end(), {r, g, uint8_t((255 - i * 10) * a / 255), a});
  }
  return CGImage::create(6, 4, 8, 32, 24, kCGImageAlphaPremultipliedLast, bytes);
}

// The largest difference of any byte between two canvases of one size.
int largestDifference(const Canvas& a, const Canvas& b) {
  const auto* pa = static_cast<const uint8_t*>(CGBitmapContextGetData(a.context));
  const auto* pb = static_cast<const uint8_t*>(CGBitmapContextGetData(b.context));
  size_t size = CGBitmapContextGetBytesPerRow(a.context) * CGBitmapContextGetHeight(a.context);
  int most = 0;
  for (size_t i = 0; i < size; ++i) most = std::max(most, std::abs(pa[i] - pb[i]));
  return most;
}

TEST_F(CALayerRenderingTest, KeptContentsFollowEveryChangeThatAltersThePixels) {
  // One layer rendered again and again as it moves and changes, each time
  // against a new layer rendered once: what a layer keeps of its drawn
  // contents never shows through stale.
  struct Look {
    CGRect frame;
    CGImageRef image;
    const char* filter;
    CGAffineTransform transform;
    double scale;
  };
  auto apply = [](CALayer& layer, const Look& look) {
    layer.setAffineTransform(look.transform);
    layer.setFrame(look.frame);
    layer.setContents(look.image);
    layer.setMagnificationFilter(look.filter);
  };
  const CGImageRef a = sixByFour(0), b = sixByFour(1);
  const CGAffineTransform none = CGAffineTransformIdentity;
  const Look looks[] = {
      {CGRectMake(3.25, 2.5, 17, 11), a, kCAFilterLinear, none, 1},
      {CGRectMake(13.25, 12.5, 17, 11), a, kCAFilterLinear, none, 1},   // whole pixels on
      {CGRectMake(13.75, 12.5, 17, 11), a, kCAFilterLinear, none, 1},   // half a pixel on
      {CGRectMake(13.75, 12.5, 17, 11), b, kCAFilterLinear, none, 1},   // other contents
      {CGRectMake(13.75, 12.5, 20, 9), b, kCAFilterLinear, none, 1},    // other size
      {CGRectMake(13.75, 12.5, 20, 9), b, kCAFilterNearest, none, 1},   // other filter
      {CGRectMake(13.75, 12.5, 20, 9), b, kCAFilterNearest, CGAffineTransformMakeRotation(0.3), 1},
      {CGRectMake(13.75, 12.5, 20, 9), b, kCAFilterLinear, none, 2},    // other scale
      {CGRectMake(13.75, 12.5, 20, 9), b, kCAFilterLinear, CGAffineTransformMakeScale(1, -1), 2},
  };
  auto kept = CALayer::layer();
  for (size_t i = 0; i < std::size(looks); ++i) {
    apply(*kept, looks[i]);
    Canvas before(40, 30, looks[i].scale), again(40, 30, looks[i].scale),
        once(40, 30, looks[i].scale);
    // Twice: contents drawn alike a second time are kept from then on.
    kept->renderInContext(before.context);
    kept->renderInContext(again.context);
    auto fresh = CALayer::layer();
    apply(*fresh, looks[i]);
    fresh->renderInContext(once.context);
    EXPECT_LE(largestDifference(before, once), 1) << "look " << i;
    EXPECT_LE(largestDifference(again, once), 1) << "look " << i;
    const CGRect& f = looks[i].frame;
    EXPECT_GT(again.at(size_t(looks[i].scale * CGRectGetMidX(f)),
                       size_t(looks[i].scale * CGRectGetMidY(f)))[3],
              0)
        << "look " << i;
  }

  // And what it keeps is the image as drawn straight into the context.
  Canvas layered(40, 30);
  auto layer = CALayer::layer();
  apply(*layer, looks[0]);
  layer->renderInContext(layered.context);
  layer->renderInContext(layered.context);  // the second time from what it kept
  Canvas twice(40, 30);
  CGContextTranslateCTM(twice.context, 3.25, 2.5);
  CGContextSetInterpolationQuality(twice.context, kCGInterpolationLow);
  CALayerRendering::drawImageFlipped(twice.context, CGRectMake(0, 0, 17, 11), a);
  CALayerRendering::drawImageFlipped(twice.context, CGRectMake(0, 0, 17, 11), a);
  EXPECT_LE(largestDifference(layered, twice), 1);
}

}  // namespace

}  // namespace ca_layer_rendering_test
