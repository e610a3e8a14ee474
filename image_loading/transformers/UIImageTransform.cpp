#include "image_loading/transformers/UIImageTransform.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>

#include "image_loading/coders/internal/ILDefaultLog.h"
#include "image_loading/transformers/internal/ILGraphicsImageRenderer.h"
#include "platform/coregraphics/CGBoxBlur.h"
#include "platform/coregraphics/CGColorSpace.h"
#include "platform/coregraphics/CGImage.h"
#include "platform/coreimage/CIContext.h"
#include "platform/coreimage/CIFilter.h"
#include "platform/coreimage/CIImage.h"
#include "platform/uikit/UIBezierPath.h"
#include "platform/uikit/UIColor.h"
#include "platform/uikit/UIImage.h"

namespace {

std::shared_ptr<ILGraphicsImageRendererFormat> formatFor(const UIImage& image) {
  auto format = std::make_shared<ILGraphicsImageRendererFormat>();
  format->setScale(image.scale());
  return format;
}

UIImagePtr render(const UIImage& image, CGSize size,
                  const ILGraphicsImageRenderer::Actions& actions) {
  ILGraphicsImageRenderer renderer(size, formatFor(image));
  return renderer.imageWithActions(actions);
}

UIImagePtr wrap(const CGImageRef& bitmap, const UIImage& like) {
  return bitmap ? UIImage::imageWithCGImage(bitmap, like.scale(), like.imageOrientation())
                : nullptr;
}

void logDefault(const std::string& message);

UIImagePtr wrapCI(const CIImageRef& image, const UIImage& like) {
  return image ? UIImage::imageWithCIImage(image, like.scale(), like.imageOrientation()) : nullptr;
}

// The bitmap whose pixels are sampled: the image's own, or a Core Image
// image's rendered over its extent.
CGImageRef samplingBitmap(const UIImage& image) {
  if (image.CGImage()) return image.CGImage();
  const CIImageRef& ci = image.CIImage();
  return ci ? CIContext::context()->createCGImage(ci, ci->extent()) : nullptr;
}

CIImageRef applyFilter(const char* name, const CIImageRef& input, const CIImageRef& background) {
  CIFilterRef filter = CIFilter::filterWithName(name);
  if (!filter) return nullptr;
  filter->setImage(input, kCIInputImageKey);
  filter->setImage(background, kCIInputBackgroundImageKey);
  return filter->outputImage();
}

// The Core Image way of tinting: the colour image composited over the
// receiver as the blend mode says; nullptr for a mode it has no filter for
// (after logging) or a filter without output, so the bitmap path follows.
CIImageRef tintedCIImage(const CIImageRef& input, const CIColor& color, CGBlendMode mode) {
  static const char* const kBlendFilters[] = {
      "CIMultiplyBlendMode",   "CIScreenBlendMode",    "CIOverlayBlendMode",
      "CIDarkenBlendMode",     "CILightenBlendMode",   "CIColorDodgeBlendMode",
      "CIColorBurnBlendMode",  "CISoftLightBlendMode", "CIHardLightBlendMode",
      "CIDifferenceBlendMode", "CIExclusionBlendMode", "CIHueBlendMode",
      "CISaturationBlendMode", "CIColorBlendMode",     "CILuminosityBlendMode"};
  const CGRect extent = input->extent();
  const CIImageRef colorImage = CIImage::imageWithColor(color)->imageByCroppingToRect(extent);
  const int m = static_cast<int>(mode);
  if (m == 0 || m == 21) return applyFilter("CISourceOverCompositing", colorImage, input);
  if (m >= 1 && m <= 15) return applyFilter(kBlendFilters[m - 1], colorImage, input);
  if (m == 16) return CIImage::imageWithColor(CIColor::clearColor())->imageByCroppingToRect(extent);
  if (m == 17) return colorImage;
  if (m == 18 || m == 22) return applyFilter("CISourceInCompositing", colorImage, input);
  if (m == 19 || m == 23) return applyFilter("CISourceOutCompositing", colorImage, input);
  if (m == 20 || m == 24) return applyFilter("CISourceAtopCompositing", colorImage, input);
  auto clamp = [](const CIImageRef& image) { return applyFilter("CIColorClamp", image, nullptr); };
  if (m == 26) {
    auto darker = [](const CIImageRef& image) {
      CIFilterRef controls = CIFilter::filterWithName("CIColorControls");
      controls->setImage(image, kCIInputImageKey);
      controls->setValue(Value(-0.5), kCIInputBrightnessKey);
      return controls->outputImage();
    };
    const CIImageRef sum = applyFilter("CIAdditionCompositing", darker(colorImage), darker(input));
    return sum ? clamp(sum) : nullptr;
  }
  if (m == 27) {
    const CIImageRef sum = applyFilter("CIAdditionCompositing", colorImage, input);
    return sum ? clamp(sum) : nullptr;
  }
  logDefault("UIImage+Transform error: Unsupported blend mode: " + std::to_string(m));
  return nullptr;
}

void logDefault(const std::string& message) {
  os_log_with_type(ILDefaultLog(), OSLogType::Default, message);
}

bool pixelFormatSupported(const CGImageRef& bitmap) {
  const uint32_t pixelFormatBits = (CGImageGetBitmapInfo(bitmap) >> 16) & 0xF;
  if (CGImageGetBitsPerComponent(bitmap) <= 8 && pixelFormatBits == 0) return true;
  char text[96];
  std::snprintf(text, sizeof text, "Unsupported pixel format: %u, bpc: %zu for CGImage: ",
                CGImageGetBitmapInfo(bitmap), CGImageGetBitsPerComponent(bitmap));
  logDefault(text + bitmap->description());
  return false;
}

// Components per pixel when supported (2, 3 or 4), else 0 after logging.
size_t componentsOf(const CGImageRef& bitmap) {
  const size_t bpc = CGImageGetBitsPerComponent(bitmap);
  const size_t components = bpc ? CGImageGetBitsPerPixel(bitmap) / bpc : 0;
  if (components >= 2 && components <= 4) return components;
  logDefault("Unsupported components: " + std::to_string(components) +
             " for CGImage: " + bitmap->description());
  return 0;
}

UIColorPtr colorOfPixel(const uint8_t* pixel, size_t components, uint32_t bitmapInfo) {
  uint8_t b[4] = {0, 0, 0, 0};
  std::copy(pixel, pixel + components, b);
  const uint32_t order = bitmapInfo & kCGBitmapByteOrderMask;
  if (order != kCGBitmapByteOrderDefault && order != kCGBitmapByteOrder16Big &&
      order != kCGBitmapByteOrder32Big) {
    std::reverse(b, b + components);
  }
  const auto alphaInfo = static_cast<CGImageAlphaInfo>(bitmapInfo & kCGBitmapAlphaInfoMask);
  auto v = [&b](size_t i) { return b[i] / 255.0; };
  const bool premultiplied =
      alphaInfo == kCGImageAlphaPremultipliedLast || alphaInfo == kCGImageAlphaPremultipliedFirst;
  const bool alphaFirst =
      alphaInfo == kCGImageAlphaPremultipliedFirst || alphaInfo == kCGImageAlphaFirst;
  const bool alphaLast =
      alphaInfo == kCGImageAlphaPremultipliedLast || alphaInfo == kCGImageAlphaLast;
  if (alphaInfo == kCGImageAlphaOnly) return UIColor::colorWithRed(0, 0, 0, v(0));
  if (components == 2) {
    if (alphaFirst) return UIColor::colorWithWhite(v(1), v(0));
    if (alphaLast) return UIColor::colorWithWhite(v(0), v(1));
    return UIColor::colorWithWhite(alphaInfo == kCGImageAlphaNoneSkipFirst ? v(1) : v(0), 1);
  }
  double r, g, bl, a = 1;
  const size_t first = (alphaFirst || alphaInfo == kCGImageAlphaNoneSkipFirst) ? 1 : 0;
  r = v(first);
  g = v(first + 1);
  bl = v(first + 2);
  if (alphaFirst) a = v(0);
  if (alphaLast) a = v(3);
  if (premultiplied && a > 0) {
    r = std::min(1.0, r / a);
    g = std::min(1.0, g / a);
    bl = std::min(1.0, bl / a);
  }
  return UIColor::colorWithRed(r, g, bl, a);
}

}  // namespace

CGRect ILImageDrawRect(CGSize imageSize, CGRect rect, ILImageScaleMode scaleMode) {
  rect = CGRectStandardize(rect);
  const double w = std::fabs(imageSize.width), h = std::fabs(imageSize.height);
  if (scaleMode != ILImageScaleModeAspectFit && scaleMode != ILImageScaleModeAspectFill) {
    return rect;
  }
  if (rect.size.width < 0.01 || rect.size.height < 0.01 || w < 0.01 || h < 0.01) {
    return CGRect{rect.origin, CGSize{0, 0}};
  }
  const double imageRatio = w / h, rectRatio = rect.size.width / rect.size.height;
  const bool byHeight = (scaleMode == ILImageScaleModeAspectFit && imageRatio < rectRatio) ||
                        (scaleMode == ILImageScaleModeAspectFill && imageRatio >= rectRatio);
  const double scale = byHeight ? rect.size.height / h : rect.size.width / w;
  const CGSize size{w * scale, h * scale};
  return CGRect{CGPoint{rect.origin.x + (rect.size.width - size.width) / 2,
                        rect.origin.y + (rect.size.height - size.height) / 2},
                size};
}

void il_drawInRect(const UIImage& image, CGRect rect, const CGContextRef& context,
                   ILImageScaleMode scaleMode, bool clipsToBounds) {
  const CGRect drawRect = ILImageDrawRect(image.size(), rect, scaleMode);
  if (drawRect.size.width == 0 || drawRect.size.height == 0) return;
  if (!clipsToBounds) {
    image.drawInRect(drawRect);
    return;
  }
  if (!context) return;
  CGContextSaveGState(context);
  CGContextClipToRect(context, rect);
  image.drawInRect(drawRect);
  CGContextRestoreGState(context);
}

UIImagePtr il_resizedImageWithSize(const UIImagePtr& image, CGSize size,
                                   ILImageScaleMode scaleMode) {
  if (!image || size.width <= 0 || size.height <= 0) return nullptr;
  return render(*image, size, [&](const CGContextRef& context) {
    il_drawInRect(*image, CGRect{CGPoint{0, 0}, size}, context, scaleMode, false);
  });
}

UIImagePtr il_croppedImageWithRect(const UIImagePtr& image, CGRect rect) {
  if (!image) return nullptr;
  const double s = image->scale();
  const CGRect scaled{CGPoint{rect.origin.x * s, rect.origin.y * s},
                      CGSize{rect.size.width * s, rect.size.height * s}};
  if (scaled.size.width <= 0 || scaled.size.height <= 0) return nullptr;
  if (const CIImageRef& ci = image->CIImage(); ci && !image->CGImage()) {
    // The rectangle is in pixels, so its y is flipped against the height in
    // pixels: the same as in points at scale 1, and right at any other scale.
    const CGRect extent = ci->extent();
    const CGRect flipped{
        CGPoint{extent.origin.x + scaled.origin.x, CGRectGetMaxY(extent) - CGRectGetMaxY(scaled)},
        scaled.size};
    CIImageRef cropped = ci->imageByCroppingToRect(flipped);
    return cropped->cgImage() ? wrapCI(cropped, *image) : nullptr;
  }
  if (!image->CGImage()) return nullptr;
  return wrap(CGImageCreateWithImageInRect(image->CGImage(), scaled), *image);
}

UIImagePtr il_roundedCornerImageWithRadius(const UIImagePtr& image, double cornerRadius,
                                           uint64_t corners, double borderWidth,
                                           const UIColorPtr& borderColor) {
  if (!image) return nullptr;
  const CGSize size = image->size();
  const double halfShorter = std::min(size.width, size.height) / 2;
  const double scale = image->scale();
  return render(*image, size, [&](const CGContextRef& context) {
    const CGRect bounds{CGPoint{0, 0}, size};
    if (borderWidth >= halfShorter) return;  // all border: nothing of the image is left
    CGContextSaveGState(context);
    auto clip = UIBezierPath::bezierPathWithRoundedRect(
        CGRectInset(bounds, borderWidth, borderWidth), corners, CGSize{cornerRadius, cornerRadius});
    CGContextAddPath(context, clip->CGPath());
    CGContextClip(context);
    image->drawInRect(bounds);
    CGContextRestoreGState(context);
    if (!borderColor || borderWidth <= 0) return;
    const double strokeInset = (std::trunc(borderWidth * scale) + 0.5) / scale;
    const double strokeRadius = cornerRadius > scale * 0.5 ? cornerRadius - scale * 0.5 : 0;
    auto stroke = UIBezierPath::bezierPathWithRoundedRect(
        CGRectInset(bounds, strokeInset, strokeInset), corners, CGSize{strokeRadius, strokeRadius});
    CGContextAddPath(context, stroke->CGPath());
    CGContextSetLineWidth(context, borderWidth);
    CGContextSetStrokeColorWithColor(context, borderColor->CGColor());
    CGContextStrokePath(context);
  });
}

UIImagePtr il_rotatedImageWithAngle(const UIImagePtr& image, double angle, bool fitSize) {
  if (!image) return nullptr;
  const double width = std::trunc(image->size().width);
  const double height = std::trunc(image->size().height);
  if (const CIImageRef& ci = image->CIImage(); ci && !image->CGImage()) {
    if (fitSize)
      return wrapCI(ci->imageByApplyingTransform(CGAffineTransformMakeRotation(angle)), *image);
    CIFilterRef straighten = CIFilter::filterWithName("CIStraightenFilter");
    straighten->setImage(ci, kCIInputImageKey);
    straighten->setValue(Value(angle), kCIInputAngleKey);
    return wrapCI(straighten->outputImage(), *image);
  }
  CGRect canvas{CGPoint{0, 0}, CGSize{width, height}};
  if (fitSize) canvas = CGRectApplyAffineTransform(canvas, CGAffineTransformMakeRotation(angle));
  return render(*image, canvas.size, [&](const CGContextRef& context) {
    CGContextSetShouldAntialias(context, true);
    CGContextSetAllowsAntialiasing(context, true);
    CGContextSetInterpolationQuality(context, static_cast<CGInterpolationQuality>(3));
    CGContextTranslateCTM(context, canvas.size.width / 2, canvas.size.height / 2);
    CGContextRotateCTM(context, -angle);
    image->drawInRect(CGRect{CGPoint{-width / 2, -height / 2}, CGSize{width, height}});
  });
}

UIImagePtr il_flippedImageWithHorizontal(const UIImagePtr& image, bool horizontal, bool vertical) {
  if (!image) return nullptr;
  const double width = std::trunc(image->size().width);
  const double height = std::trunc(image->size().height);
  if (CIImageRef ci = image->CIImage(); ci && !image->CGImage()) {
    if (horizontal) ci = ci->imageByApplyingTransform(CGAffineTransformMake(-1, 0, 0, 1, width, 0));
    if (vertical) ci = ci->imageByApplyingTransform(CGAffineTransformMake(1, 0, 0, -1, 0, height));
    return wrapCI(ci, *image);
  }
  return render(*image, image->size(), [&](const CGContextRef& context) {
    if (horizontal) CGContextConcatCTM(context, CGAffineTransformMake(-1, 0, 0, 1, width, 0));
    if (vertical) CGContextConcatCTM(context, CGAffineTransformMake(1, 0, 0, -1, 0, height));
    image->drawInRect(CGRect{CGPoint{0, 0}, CGSize{width, height}});
  });
}

UIImagePtr il_tintedImageWithColor(const UIImagePtr& image, const UIColorPtr& color,
                                   CGBlendMode blendMode) {
  if (!image) return nullptr;
  double r = 0, g = 0, b = 0, a = 0;
  if (!color) return image;
  if (!color->getRed(&r, &g, &b, &a)) {
    double white = 0;
    if (!color->getWhite(&white, &a)) return image;
    r = g = b = white;
  }
  if (a <= FLT_EPSILON) return image;
  if (const CIImageRef& ci = image->CIImage(); ci && !image->CGImage()) {
    if (CIImageRef tinted = tintedCIImage(ci, CIColor::colorWithRed(r, g, b, a), blendMode)) {
      return wrapCI(tinted, *image);
    }
  }
  const CGSize size = image->size();
  return render(*image, size, [&](const CGContextRef& context) {
    const CGRect bounds{CGPoint{0, 0}, size};
    image->drawInRect(bounds);
    CGContextSetBlendMode(context, blendMode);
    CGContextSetFillColorWithColor(context, color->CGColor());
    CGContextFillRect(context, bounds);
  });
}

UIColorPtr il_colorAtPoint(const UIImagePtr& image, CGPoint point) {
  const CGImageRef bitmap = image ? samplingBitmap(*image) : nullptr;
  if (!bitmap) return nullptr;
  // Also refuses NaN: a negative or unordered coordinate would index before
  // the pixel data.
  if (!(point.x >= 0) || !(point.y >= 0)) return nullptr;
  const double width = static_cast<double>(CGImageGetWidth(bitmap));
  const double height = static_cast<double>(CGImageGetHeight(bitmap));
  if (!(point.x < width) || !(point.y < height)) return nullptr;
  const auto x = static_cast<size_t>(point.x), y = static_cast<size_t>(point.y);
  if (!pixelFormatSupported(bitmap)) return nullptr;
  auto data = bitmap->pixelData();
  if (!data) return nullptr;
  const size_t components = componentsOf(bitmap);
  if (components == 0) return nullptr;
  const size_t offset = CGImageGetBytesPerRow(bitmap) * y + components * x;
  if (data->size() < offset + components) return nullptr;
  return colorOfPixel(data->data() + offset, components, CGImageGetBitmapInfo(bitmap));
}

std::optional<std::vector<UIColorPtr>> il_colorsWithRect(const UIImagePtr& image, CGRect rect) {
  const CGImageRef bitmap = image ? samplingBitmap(*image) : nullptr;
  if (!bitmap) return std::nullopt;
  const double width = static_cast<double>(CGImageGetWidth(bitmap));
  const double height = static_cast<double>(CGImageGetHeight(bitmap));
  if (!(rect.size.width > 0) || !(rect.size.height > 0) || !(rect.origin.x >= 0) ||
      !(rect.origin.y >= 0) || !(CGRectGetMaxX(rect) <= width) ||
      !(CGRectGetMaxY(rect) <= height)) {
    return std::nullopt;
  }
  if (!pixelFormatSupported(bitmap)) return std::nullopt;
  auto data = bitmap->pixelData();
  if (!data) return std::nullopt;
  std::vector<UIColorPtr> colors;
  const size_t components = componentsOf(bitmap);
  if (components == 0) return colors;
  const auto minX = static_cast<size_t>(rect.origin.x), minY = static_cast<size_t>(rect.origin.y);
  const auto maxX = static_cast<size_t>(CGRectGetMaxX(rect));
  const auto maxY = static_cast<size_t>(CGRectGetMaxY(rect));
  const size_t rowBytes = CGImageGetBytesPerRow(bitmap);
  if (maxX * components + (maxY - 1) * rowBytes > data->size()) return std::nullopt;
  for (size_t y = minY; y < maxY; ++y) {
    for (size_t x = minX; x < maxX; ++x) {
      colors.push_back(colorOfPixel(data->data() + y * rowBytes + x * components, components,
                                    CGImageGetBitmapInfo(bitmap)));
    }
  }
  return colors;
}

UIImagePtr il_blurredImageWithRadius(const UIImagePtr& image, double blurRadius) {
  if (!image) return nullptr;
  if (image->size().width < 1 || image->size().height < 1) return nullptr;
  if (blurRadius <= FLT_EPSILON) return image;
  const double pixelRadius = blurRadius * image->scale();
  if (const CIImageRef& ci = image->CIImage(); ci && !image->CGImage()) {
    CIFilterRef blur = CIFilter::filterWithName("CIGaussianBlur");
    blur->setImage(ci, kCIInputImageKey);
    blur->setValue(Value(pixelRadius), kCIInputRadiusKey);
    const CIImageRef output = blur->outputImage();
    return output
               ? wrapCI(output->imageByCroppingToRect(CGRect{CGPointZero, image->size()}), *image)
               : nullptr;
  }
  const CGImageRef& source = image->CGImage();
  if (!source) return nullptr;
  size_t box = 4;
  if (!(pixelRadius - 2 < FLT_EPSILON)) {
    box = static_cast<size_t>(std::floor(pixelRadius * 3 * std::sqrt(2 * M_PI) / 4 + 0.5));
  }
  const size_t kernel = box | 1;
  const size_t width = CGImageGetWidth(source), height = CGImageGetHeight(source);
  CGContextRef context =
      CGBitmapContextCreate(nullptr, width, height, 8, width * 4, CGColorSpaceCreateDeviceRGB(),
                            kCGImageAlphaPremultipliedLast);
  if (!context) {
    logDefault(
        "UIImage+Transform error: vImageBuffer_InitWithCGImage returned error code -1 "
        "for inputImage: " +
        source->description());
    return nullptr;
  }
  CGContextSetBlendMode(context, kCGBlendModeCopy);
  CGContextDrawImage(context, CGRect{CGPoint{0, 0}, CGSize{double(width), double(height)}}, source);
  auto* base = static_cast<uint8_t*>(CGBitmapContextGetData(context));
  const size_t rowBytes = CGBitmapContextGetBytesPerRow(context);
  auto pixels = std::make_shared<Bytes>(base, base + rowBytes * height);
  // Three box passes in each direction, edges extended.
  const int radius = static_cast<int>(kernel / 2);
  CGBoxBlur(pixels->data(), width, height, rowBytes, 4, {radius, radius, radius},
            CGBlurEdge::Extend);
  return wrap(
      CGImage::create(width, height, 8, 32, rowBytes, kCGImageAlphaPremultipliedLast, pixels),
      *image);
}

UIImagePtr il_filteredImageWithFilter(const UIImagePtr& image, const CIFilterRef& filter) {
  if (!image || !filter) return nullptr;
  CIImageRef input = image->CIImage();
  if (!input) input = CIImage::imageWithCGImage(image->CGImage());
  if (!input) return nullptr;
  filter->setImage(input, kCIInputImageKey);
  const CIImageRef output = filter->outputImage();
  if (!output) return nullptr;
  CGImageRef bitmap = CIContext::context()->createCGImage(output, output->extent());
  return bitmap ? wrap(bitmap, *image) : nullptr;
}

std::string il_hexString(const UIColor& color) {
  double r = 0, g = 0, b = 0, a = 0;
  if (!color.getRed(&r, &g, &b, &a)) {
    double white = 0;
    color.getWhite(&white, &a);
    r = g = b = white;
  }
  auto byte = [](double v) {
    return static_cast<uint32_t>(std::lround(std::clamp(v, 0.0, 1.0) * 255));
  };
  char text[16];
  std::snprintf(text, sizeof text, "#%08x", byte(a) << 24 | byte(r) << 16 | byte(g) << 8 | byte(b));
  return text;
}
