#include "crop/UIImageCropRotate.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "platform/coregraphics/CGContext.h"
#include "platform/coregraphics/CGPixelLayout.h"
#include "platform/uikit/UIGraphicsImageRenderer.h"
#include "platform/uikit/UIImage.h"

namespace {

constexpr double kRadiansPerDegree = 0.017453292519943295;

// 0, 90, 180 or 270 for a multiple of 90 (either sign); -1 otherwise.
int quarterTurn(int64_t angle) {
  if (angle % 90 != 0) return -1;
  int64_t a = angle % 360;
  if (a < 0) a += 360;
  return static_cast<int>(a);
}

bool isWhole(double v) { return std::abs(v - std::round(v)) < 1e-6; }

// Where source pixel offsets start and how they step along a destination row
// (du) and down a destination column (dv), for the source read upright and
// turned clockwise by `turn` degrees into a bounding box at the origin.
struct Walk {
  ptrdiff_t origin, du, dv;
};

Walk walkFor(int turn, ptrdiff_t width, ptrdiff_t height, ptrdiff_t stride) {
  switch (turn) {
    case 90:  // turned (u, v) reads source (v, H-1-u)
      return {(height - 1) * stride, -stride, 1};
    case 180:  // (W-1-u, H-1-v)
      return {(height - 1) * stride + width - 1, -1, -stride};
    case 270:  // (W-1-v, u)
      return {width - 1, stride, -1};
    default:
      return {0, 1, stride};
  }
}

void copyTurned(const uint32_t* src, uint32_t* dst, size_t w, size_t h, const Walk& walk,
                ptrdiff_t base, ptrdiff_t srcStride) {
  if (walk.du == 1) {
    for (size_t v = 0; v < h; ++v) {
      std::memcpy(dst + v * w, src + base + ptrdiff_t(v) * srcStride, w * 4);
    }
    return;
  }
  // Tiles keep both the rows written and the columns read in cache.
  constexpr size_t kTile = 64;
  for (size_t v0 = 0; v0 < h; v0 += kTile) {
    size_t v1 = std::min(h, v0 + kTile);
    for (size_t u0 = 0; u0 < w; u0 += kTile) {
      size_t u1 = std::min(w, u0 + kTile);
      for (size_t v = v0; v < v1; ++v) {
        const uint32_t* s = src + base + ptrdiff_t(v) * walk.dv + ptrdiff_t(u0) * walk.du;
        uint32_t* d = dst + v * w + u0;
        for (size_t u = u0; u < u1; ++u, s += walk.du) *d++ = *s;
      }
    }
  }
}

// Coverage of the pixel at (cx, cy) (centre, relative to the ellipse's
// centre) by the ellipse with half-axes a, b: its signed distance to the
// outline, from the implicit function over its gradient, turned into the
// share of a one-pixel box it covers.
double ellipseCoverage(double cx, double cy, double a, double b) {
  double f = (cx * cx) / (a * a) + (cy * cy) / (b * b) - 1;
  double gx = cx / (a * a), gy = cy / (b * b);
  double grad = 2 * std::sqrt(gx * gx + gy * gy);
  if (grad <= 0) return f <= 0 ? 1 : 0;
  return std::clamp(0.5 - f / grad, 0.0, 1.0);
}

// Half the width of the ellipse (a, b) at height cy from its centre; 0 outside.
double halfSpan(double a, double b, double cy) {
  if (a <= 0 || b <= 0 || std::abs(cy) >= b) return 0;
  double t = cy / b;
  return a * std::sqrt(1 - t * t);
}

// Cuts the w×h pixels to the inscribed ellipse with an antialiased edge.
// Only the pixels near the outline are computed: within the ellipse shrunk by
// a pixel nothing changes, beyond it grown by a pixel everything clears.
void maskToEllipse(uint8_t* pixels, size_t w, size_t h, size_t bytesPerRow,
                   const CGPixelLayout& layout) {
  double a = w * 0.5, b = h * 0.5;
  auto scalePixel = [&](uint8_t* p, double coverage) {
    uint32_t c = static_cast<uint32_t>(std::lround(coverage * 255));
    if (layout.premultiplied) {
      for (int k = 0; k < 4; ++k) p[k] = static_cast<uint8_t>(CGMulDiv255(p[k], c));
    } else {
      p[layout.a] = static_cast<uint8_t>(CGMulDiv255(p[layout.a], c));
    }
  };
  for (size_t y = 0; y < h; ++y) {
    uint8_t* row = pixels + y * bytesPerRow;
    double cy = y + 0.5 - b;
    double inner = halfSpan(a - 1, b - 1, cy) - 0.5;
    double outer = halfSpan(a + 1, b + 1, cy) + 0.5;
    for (size_t x = 0; x < w; ++x) {
      double cx = std::abs(x + 0.5 - a);
      if (cx <= inner) {
        x = static_cast<size_t>(std::max<double>(x, std::floor(a + inner - 0.5)));
        continue;
      }
      uint8_t* p = row + x * 4;
      if (cx >= outer) {
        std::memset(p, 0, 4);
      } else {
        scalePixel(p, ellipseCoverage(cx, cy, a, b));
      }
    }
  }
}

// The bitmap info the copy carries: the source's, with a real alpha channel
// when a circular clip needs one.
uint32_t copiedBitmapInfo(uint32_t info, bool circular) {
  if (!circular) return info;
  uint32_t alpha = info & kCGBitmapAlphaInfoMask;
  uint32_t rest = info & ~kCGBitmapAlphaInfoMask;
  if (alpha == kCGImageAlphaNoneSkipLast) return rest | kCGImageAlphaPremultipliedLast;
  if (alpha == kCGImageAlphaNoneSkipFirst) return rest | kCGImageAlphaPremultipliedFirst;
  return info;
}

}  // namespace

bool hasAlpha(const UIImage& image) {
  switch (CGImageGetAlphaInfo(image.CGImage())) {
    case kCGImageAlphaPremultipliedLast:
    case kCGImageAlphaPremultipliedFirst:
    case kCGImageAlphaLast:
    case kCGImageAlphaFirst:
      return true;
    default:
      return false;
  }
}

std::shared_ptr<UIImage> CRCroppedImageByDrawing(const UIImage& image, CGRect frame,
                                                 int64_t angle, bool circularClip) {
  auto format = std::make_shared<UIGraphicsImageRendererFormat>();
  format->setOpaque(!circularClip && !hasAlpha(image));
  format->setScale(image.scale());
  UIGraphicsImageRenderer renderer(frame.size, format);
  auto rendered = renderer.imageWithActions([&](UIGraphicsImageRendererContext& rc) {
    const CGContextRef& context = rc.CGContext();
    if (circularClip) {
      CGContextAddEllipseInRect(context, CGRect{CGPointZero, frame.size});
      CGContextClip(context);
    }
    CGContextTranslateCTM(context, -frame.origin.x, -frame.origin.y);
    if (angle != 0) {
      double radians = angle * kRadiansPerDegree;
      CGAffineTransform rotation = CGAffineTransformMakeRotation(radians);
      CGRect turned = CGRectApplyAffineTransform(CGRect{CGPointZero, image.size()}, rotation);
      CGContextTranslateCTM(context, -turned.origin.x, -turned.origin.y);
      CGContextRotateCTM(context, radians);
    }
    image.drawAtPoint(CGPointZero);
  });
  return UIImage::imageWithCGImage(rendered->CGImage(), image.scale(), UIImageOrientationUp);
}

std::shared_ptr<UIImage> CRCroppedImageByCopying(const UIImage& image, CGRect frame,
                                                 int64_t angle, bool circularClip) {
  const CGImageRef& cg = image.CGImage();
  int turn = quarterTurn(angle);
  if (!cg || turn < 0 || image.imageOrientation() != UIImageOrientationUp) return nullptr;
  if (cg->bitsPerComponent() != 8 || cg->bitsPerPixel() != 32 || cg->bytesPerRow() % 4 != 0 ||
      (cg->bitmapInfo() & kCGBitmapFloatComponents)) {
    return nullptr;
  }
  CGPixelLayout layout = CGPixelLayout::forBitmapInfo(cg->bitmapInfo());
  uint32_t alpha = cg->alphaInfo();
  if (!layout.valid || alpha == kCGImageAlphaNone || alpha == kCGImageAlphaOnly) return nullptr;

  double s = image.scale();
  CGRect px = CGRectMake(frame.origin.x * s, frame.origin.y * s, frame.size.width * s,
                         frame.size.height * s);
  if (!isWhole(px.origin.x) || !isWhole(px.origin.y) || !isWhole(px.size.width) ||
      !isWhole(px.size.height)) {
    return nullptr;
  }
  ptrdiff_t fx = std::lround(px.origin.x), fy = std::lround(px.origin.y);
  ptrdiff_t w = std::lround(px.size.width), h = std::lround(px.size.height);
  ptrdiff_t W = ptrdiff_t(cg->width()), H = ptrdiff_t(cg->height());
  bool sideways = turn == 90 || turn == 270;
  ptrdiff_t turnedW = sideways ? H : W, turnedH = sideways ? W : H;
  if (w <= 0 || h <= 0 || fx < 0 || fy < 0 || fx + w > turnedW || fy + h > turnedH) {
    return nullptr;
  }

  auto src = cg->pixelData();
  if (!src) return nullptr;  // a photo whose decode failed crops to nothing
  ptrdiff_t stride = ptrdiff_t(cg->bytesPerRow() / 4);
  Walk walk = walkFor(turn, W, H, stride);
  ptrdiff_t base = walk.origin + fx * walk.du + fy * walk.dv;
  auto out = std::make_shared<Bytes>(size_t(w) * size_t(h) * 4);
  copyTurned(reinterpret_cast<const uint32_t*>(src->data()),
             reinterpret_cast<uint32_t*>(out->data()), size_t(w), size_t(h), walk, base, stride);

  uint32_t info = copiedBitmapInfo(cg->bitmapInfo(), circularClip);
  if (circularClip) {
    CGPixelLayout outLayout = CGPixelLayout::forBitmapInfo(info);
    if (!layout.hasAlpha()) {
      for (size_t i = size_t(outLayout.a); i < out->size(); i += 4) (*out)[i] = 255;
    }
    maskToEllipse(out->data(), size_t(w), size_t(h), size_t(w) * 4, outLayout);
  }
  auto copy = CGImage::create(size_t(w), size_t(h), 8, 32, size_t(w) * 4, info, std::move(out),
                              cg->colorSpaceName());
  return UIImage::imageWithCGImage(copy, s, UIImageOrientationUp);
}

std::shared_ptr<UIImage> croppedImageWithFrame(const UIImage& image, CGRect frame, int64_t angle,
                                               bool circularClip) {
  if (auto copied = CRCroppedImageByCopying(image, frame, angle, circularClip)) return copied;
  return CRCroppedImageByDrawing(image, frame, angle, circularClip);
}
