#pragma once

// Bitmap drawing contexts. Coordinates follow the platform: user space is
// mapped by the current transform (CTM) into device space, whose origin is
// the bottom-left corner of the bitmap with y growing upwards, one unit per
// pixel. The bitmap's first row in memory is the top row. UIKit's image
// contexts install a flipping CTM so their users see a top-left origin.
//
// Supported bitmaps: 8 bits per component, 32 bits per pixel, RGB with alpha
// first or last, premultiplied, straight or skipped, either byte order.

#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "platform/coregraphics/CGColor.h"
#include "platform/coregraphics/CGImage.h"
#include "platform/coregraphics/CGPath.h"
#include "platform/coregraphics/CGPixelLayout.h"
#include "platform/coregraphics/CGTypes.h"

union pixman_image;
class CGImageSampler;

// A coverage mask on the device's pixel grid: `width` x `height` bytes,
// rows `stride` bytes apart (a multiple of 4), its top-left corner on pixel
// column `x` and pixel row `y` counted down from the bitmap's top row.
struct CGPixelMask {
  const uint8_t* coverage = nullptr;
  int stride = 0;
  int width = 0, height = 0;
  int x = 0, y = 0;
  // What the coverage is, where it never changes for the same pair (a
  // glyph: its face, and its size and index); both null when unknown.
  // Masks so named are kept by the compositor and composited together.
  const void* source = nullptr;
  const void* item = nullptr;
};

enum CGPathDrawingMode : int32_t {
  kCGPathFill = 0,
  kCGPathEOFill = 1,
  kCGPathStroke = 2,
  kCGPathFillStroke = 3,
  kCGPathEOFillStroke = 4,
};

class CGContext : public NSObject {
 public:
  // data nullptr: the context owns a zeroed buffer. bytesPerRow 0: chosen
  // (a multiple of 32 bytes). nullptr for unsupported parameters.
  static std::shared_ptr<CGContext> createBitmap(void* data, size_t width, size_t height,
                                                 size_t bitsPerComponent, size_t bytesPerRow,
                                                 const CGColorSpaceRef& space, uint32_t bitmapInfo);

  // Bitmap.
  uint8_t* data() const { return data_; }
  size_t width() const { return width_; }
  size_t height() const { return height_; }
  size_t bytesPerRow() const { return bytesPerRow_; }
  uint32_t bitmapInfo() const { return bitmapInfo_; }
  const CGColorSpaceRef& colorSpace() const { return space_; }
  // A copy of the pixels as an immutable bitmap.
  CGImageRef makeImage() const;

  // Graphics state.
  void saveGState();
  void restoreGState();
  CGAffineTransform ctm() const { return state_.ctm; }
  void concatCTM(const CGAffineTransform& t);
  void setAlpha(double alpha);
  void setBlendMode(CGBlendMode mode) { state_.blendMode = mode; }
  void setInterpolationQuality(CGInterpolationQuality q) { state_.interpolation = q; }
  CGInterpolationQuality interpolationQuality() const { return state_.interpolation; }
  void setShouldAntialias(bool on) { state_.shouldAntialias = on; }
  void setAllowsAntialiasing(bool on) { state_.allowsAntialiasing = on; }
  void setFillColor(const double rgba[4]);
  void setStrokeColor(const double rgba[4]);
  void setLineWidth(double width) { state_.lineWidth = width; }
  void setLineCap(CGLineCap cap) { state_.lineCap = cap; }
  void setLineJoin(CGLineJoin join) { state_.lineJoin = join; }
  void setMiterLimit(double limit) { state_.miterLimit = limit; }

  // The current path, kept in device space as the platform does.
  void beginPath() { path_->clear(); }
  void addPath(const CGPath& path);  // in user space
  const CGMutablePathRef& devicePath() const { return path_; }
  CGPoint userPoint(CGPoint device) const;
  CGPoint devicePoint(CGPoint user) const;

  // Painting; each consumes the current path where the platform does.
  void fillPath(CGFillRule rule);
  void strokePath();
  void fillRect(CGRect rect);
  void clearRect(CGRect rect);
  void drawImage(CGRect rect, const CGImage& image);
  // Paints `rgba` (straight) through each mask under the clip, the alpha
  // and the blend mode: glyphs of text, placed on whole pixels.
  void fillMasks(const std::vector<CGPixelMask>& masks, const double rgba[4]);
  // Clipping intersects the current clip; the path is consumed.
  void clip(CGFillRule rule);
  void clipToRect(CGRect rect);
  CGRect clipBoundingBox() const;

  std::string className() const override { return "CGContext"; }

  CGContext(uint8_t* data, std::shared_ptr<Bytes> owned, size_t width, size_t height,
            size_t bytesPerRow, uint32_t bitmapInfo, CGColorSpaceRef space, CGPixelLayout layout);
  ~CGContext() override;
  CGContext(const CGContext&) = delete;
  CGContext& operator=(const CGContext&) = delete;

 private:
  struct Clip {
    CGPixelBox box;
    // Coverage over maskBox (which holds box), one byte a pixel, or none.
    std::shared_ptr<const std::vector<uint8_t>> mask;
    CGPixelBox maskBox;
    // Per mask row, the columns [first, second) whose coverage is whole,
    // counted from maskBox.x0.
    std::shared_ptr<const std::vector<std::pair<int, int>>> fullSpans;
    const uint8_t* maskRow(int y, int x) const {
      return mask->data() + size_t(y - maskBox.y0) * size_t(maskBox.x1 - maskBox.x0) +
             size_t(x - maskBox.x0);
    }
  };
  struct State {
    CGAffineTransform ctm;
    Clip clip;
    double alpha = 1;
    CGBlendMode blendMode = kCGBlendModeNormal;
    CGInterpolationQuality interpolation = kCGInterpolationDefault;
    bool shouldAntialias = true;
    bool allowsAntialiasing = true;
    uint8_t fill[4] = {0, 0, 0, 255};  // premultiplied RGBA
    uint8_t stroke[4] = {0, 0, 0, 255};
    double lineWidth = 1;
    CGLineCap lineCap = kCGLineCapButt;
    CGLineJoin lineJoin = kCGLineJoinMiter;
    double miterLimit = 10;
  };
  struct Paint;

  CGAffineTransform userToPixel() const;
  bool antialias() const { return state_.shouldAntialias && state_.allowsAntialiasing; }
  std::vector<CGPolygon> pixelPolygons(const CGPath& devicePath) const;
  std::vector<CGPolygon> strokePolygons() const;
  void paintPolygons(const std::vector<CGPolygon>& polygons, CGFillRule rule, const Paint& paint);
  void paintRow(int y, int x0, int x1, const float* coverage, const Paint& paint);
  // Paints x0...x1-1 of row y (inside the clip box) under the mask row when given.
  void paintSpan(int y, int x0, int x1, const float* coverage, const uint8_t* mask,
                 const Paint& paint);
  // Axis-aligned rectangle corners in pixel space, when the polygon is one.
  static std::optional<CGRect> axisAlignedBox(const std::vector<CGPolygon>& polygons);
  void paintBox(const CGRect& box, const Paint& paint);
  // The bitmap as pixman sees it, for bitmaps whose colour is premultiplied
  // or opaque; nullptr for the rest (straight alpha).
  union pixman_image* target();
  // The paint's colour with the context's alpha folded in, when pixman can
  // composite it: a solid colour, source over, onto a target pixman takes.
  bool solidForPixman(const Paint& paint, uint8_t out[4]);
  // Source over of a pixman solid colour on pixels [x, x+w) x [y, y+h),
  // through the mask when given (which must hold that area).
  void compositeSolid(union pixman_image* solid, const CGPixelMask* mask, int x, int y, int w,
                      int h);
  // An image placed one to one on whole pixels, composited by pixman in
  // one piece; false when it cannot take it.
  bool compositeImageOnGrid(const CGImageSampler& sampler);
  // Source over of the solid through masks that all have names, in one
  // call to pixman, under the clip box; false, nothing painted, otherwise.
  bool compositeNamedMasks(union pixman_image* source, const std::vector<CGPixelMask>& masks);
  // The opaque image's pixels in the box copied with red and blue swapped,
  // where that is all the composite does; false when it is not.
  // (pixels: the image's first row; its pixel (u, v) lands on (u - du, v - dv).)
  bool copyOpaqueSwappingRedBlue(const uint8_t* pixels, size_t bytesPerRow, int du, int dv,
                                 const CGPixelLayout& from, const CGPixelBox& box);
  // Source over of n premultiplied (or opaque) pixels of `layout` onto
  // pixels x... of row y, by pixman; false when it cannot take them.
  bool compositeRow(const uint8_t* row, const CGPixelLayout& layout, int x, int y, int n);
  void paintPolygonsThroughMask(const std::vector<CGPolygon>& polygons, CGFillRule rule,
                                const uint8_t solid[4]);
  void intersectClip(const std::vector<CGPolygon>& polygons, CGFillRule rule);
  // Coverage masks of recent clip shapes, by shape relative to whole pixels:
  // views that clip alike (rounded corners of equal size) share one.
  struct MaskShape {
    std::vector<int64_t> key;
    int width = 0, height = 0;
    std::shared_ptr<const std::vector<uint8_t>> mask;
    std::shared_ptr<const std::vector<std::pair<int, int>>> fullSpans;
  };
  std::vector<MaskShape> maskShapes_;  // most recently used first

  uint8_t* data_;
  std::shared_ptr<Bytes> owned_;
  size_t width_, height_, bytesPerRow_;
  uint32_t bitmapInfo_;
  CGColorSpaceRef space_;
  CGPixelLayout layout_;
  State state_;
  std::vector<State> stack_;
  CGMutablePathRef path_ = std::make_shared<CGPath>();
  std::vector<uint8_t> coverageRow_, sourceRow_, coverageBox_;
  union pixman_image* target_ = nullptr;
  bool targetTried_ = false;
  // Without alpha: every skipped byte holds 255 (bitmaps the context owns).
  bool skippedBytesOpaque_ = false;
};


// The platform's function names, each a no-op on a null context.
CGContextRef CGBitmapContextCreate(void* data, size_t width, size_t height, size_t bitsPerComponent,
                                   size_t bytesPerRow, const CGColorSpaceRef& space,
                                   uint32_t bitmapInfo);
CGImageRef CGBitmapContextCreateImage(const CGContextRef& c);
void* CGBitmapContextGetData(const CGContextRef& c);
size_t CGBitmapContextGetWidth(const CGContextRef& c);
size_t CGBitmapContextGetHeight(const CGContextRef& c);
size_t CGBitmapContextGetBytesPerRow(const CGContextRef& c);
size_t CGBitmapContextGetBitsPerComponent(const CGContextRef& c);
size_t CGBitmapContextGetBitsPerPixel(const CGContextRef& c);
uint32_t CGBitmapContextGetBitmapInfo(const CGContextRef& c);
CGImageAlphaInfo CGBitmapContextGetAlphaInfo(const CGContextRef& c);
CGColorSpaceRef CGBitmapContextGetColorSpace(const CGContextRef& c);

void CGContextSaveGState(const CGContextRef& c);
void CGContextRestoreGState(const CGContextRef& c);
CGAffineTransform CGContextGetCTM(const CGContextRef& c);
void CGContextConcatCTM(const CGContextRef& c, const CGAffineTransform& t);
void CGContextTranslateCTM(const CGContextRef& c, double tx, double ty);
void CGContextScaleCTM(const CGContextRef& c, double sx, double sy);
void CGContextRotateCTM(const CGContextRef& c, double angle);
void CGContextSetAlpha(const CGContextRef& c, double alpha);
void CGContextSetBlendMode(const CGContextRef& c, CGBlendMode mode);
void CGContextSetInterpolationQuality(const CGContextRef& c, CGInterpolationQuality quality);
CGInterpolationQuality CGContextGetInterpolationQuality(const CGContextRef& c);
void CGContextSetShouldAntialias(const CGContextRef& c, bool on);
void CGContextSetAllowsAntialiasing(const CGContextRef& c, bool on);
void CGContextSetRGBFillColor(const CGContextRef& c, double r, double g, double b, double a);
void CGContextSetRGBStrokeColor(const CGContextRef& c, double r, double g, double b, double a);
void CGContextSetGrayFillColor(const CGContextRef& c, double gray, double a);
void CGContextSetFillColorWithColor(const CGContextRef& c, const CGColorRef& color);
void CGContextSetStrokeColorWithColor(const CGContextRef& c, const CGColorRef& color);
void CGContextSetLineWidth(const CGContextRef& c, double width);
void CGContextSetLineCap(const CGContextRef& c, CGLineCap cap);
void CGContextSetLineJoin(const CGContextRef& c, CGLineJoin join);
void CGContextSetMiterLimit(const CGContextRef& c, double limit);

void CGContextBeginPath(const CGContextRef& c);
void CGContextMoveToPoint(const CGContextRef& c, double x, double y);
void CGContextAddLineToPoint(const CGContextRef& c, double x, double y);
void CGContextAddQuadCurveToPoint(const CGContextRef& c, double cx, double cy, double x, double y);
void CGContextAddCurveToPoint(const CGContextRef& c, double c1x, double c1y, double c2x, double c2y,
                              double x, double y);
void CGContextAddArc(const CGContextRef& c, double x, double y, double radius, double startAngle,
                     double endAngle, bool clockwise);
void CGContextAddRect(const CGContextRef& c, CGRect rect);
void CGContextAddEllipseInRect(const CGContextRef& c, CGRect rect);
void CGContextAddPath(const CGContextRef& c, const CGPathRef& path);
void CGContextClosePath(const CGContextRef& c);
bool CGContextIsPathEmpty(const CGContextRef& c);
// In user space.
CGRect CGContextGetPathBoundingBox(const CGContextRef& c);
CGPathRef CGContextCopyPath(const CGContextRef& c);

void CGContextFillPath(const CGContextRef& c);
void CGContextEOFillPath(const CGContextRef& c);
void CGContextStrokePath(const CGContextRef& c);
void CGContextDrawPath(const CGContextRef& c, CGPathDrawingMode mode);
void CGContextFillRect(const CGContextRef& c, CGRect rect);
void CGContextStrokeRect(const CGContextRef& c, CGRect rect);
void CGContextStrokeRectWithWidth(const CGContextRef& c, CGRect rect, double width);
void CGContextClearRect(const CGContextRef& c, CGRect rect);
void CGContextFillEllipseInRect(const CGContextRef& c, CGRect rect);
void CGContextStrokeEllipseInRect(const CGContextRef& c, CGRect rect);
// The image fills rect upright in user space: its first row at rect's maximum y.
void CGContextDrawImage(const CGContextRef& c, CGRect rect, const CGImageRef& image);

void CGContextClip(const CGContextRef& c);
void CGContextEOClip(const CGContextRef& c);
void CGContextClipToRect(const CGContextRef& c, CGRect rect);
CGRect CGContextGetClipBoundingBox(const CGContextRef& c);
