#pragma once

// Helpers of layer rendering that subclasses share: offscreen bitmaps laid
// over the part of a context's device space a layer can touch, rounded
// rectangle paths, and images drawn upright into a y-down user space.

#include "platform/coregraphics/CGContext.h"

namespace CALayerRendering {

// A premultiplied RGBA bitmap covering `deviceBox` of a destination context,
// with the destination's current transform, so drawing into it lands on the
// same pixels.
struct Offscreen {
  CGContextRef context;
  CGRect deviceBox = CGRectZero;
};

// The device pixels the context's clip still reaches, whole pixels; empty
// when nothing is visible.
CGRect visibleDeviceBox(const CGContextRef& context);
// nullptr for an empty box.
Offscreen makeOffscreen(const CGContextRef& destination, const CGRect& deviceBox);
// Composites the offscreen back at `alpha`.
void composite(const Offscreen& offscreen, const CGContextRef& destination, double alpha);
// The box grown by `margin` pixels on every side.
CGRect outsetDeviceBox(const CGRect& box, double margin);
// A shadow of what the offscreen shows: its alpha blurred by a Gaussian of
// `sigma` device pixels, filled with the colour (straight rgba, 0...1) and
// composited at `alpha`, moved by `offset` device pixels.
void drawShadow(const Offscreen& silhouette, const CGContextRef& destination,
                const double rgba[4], CGPoint offset, double sigma, double alpha);
// Multiplies each pixel by the mask's alpha (both of one box).
void applyMask(const Offscreen& content, const Offscreen& mask);
// Multiplies each pixel's components by rgba (0...1).
void tint(const Offscreen& content, const double rgba[4]);

// A layer's contents as they land on the device, kept between frames the
// way a backing store keeps rendered content: drawn again only when the
// image, its size on the device, its position within a pixel or the filter
// change. Moving by whole pixels (scrolling) reuses what was drawn. They are
// kept from the second frame that draws them alike.
class ContentsStore {
 public:
  // Draws the image upright into rect of a y-down user space, as
  // drawImageFlipped does, through the store when the context's transform
  // neither rotates nor skews and the drawn image is no larger than the
  // context's bitmap; straight from the image otherwise.
  void draw(const CGContextRef& context, const CGRect& rect, const CGImageRef& image);
  void clear();

 private:
  // How the contents were last drawn, and what came out on the device when
  // they were drawn alike again (nullptr before).
  CGImageRef image_;
  CGImageRef drawn_;
  double scaleX_ = 0, scaleY_ = 0, width_ = 0, height_ = 0, phaseX_ = 0, phaseY_ = 0;
  CGInterpolationQuality quality_ = kCGInterpolationDefault;
};

CGPathRef roundedRectPath(const CGRect& rect, double radius);
// The image fills rect upright where user space grows downwards.
void drawImageFlipped(const CGContextRef& context, const CGRect& rect, const CGImageRef& image);

}  // namespace CALayerRendering
