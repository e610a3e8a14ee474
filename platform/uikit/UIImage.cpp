#include "platform/uikit/UIImage.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unordered_map>

#include "platform/coregraphics/CGContext.h"
#include "platform/coregraphics/CGDataProvider.h"
#include "platform/coreimage/CIImage.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIScreen.h"

namespace {

double validScale(double scale) { return scale > 0 && std::isfinite(scale) ? scale : 1; }

bool isQuarterTurn(UIImageOrientation o) {
  return o == UIImageOrientationLeft || o == UIImageOrientationRight ||
         o == UIImageOrientationLeftMirrored || o == UIImageOrientationRightMirrored;
}

// "name@2x.png" → 2; 1 without a suffix.
double scaleFromFileName(const std::string& path) {
  std::string name = path.substr(path.find_last_of('/') + 1);
  size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot > 0) name = name.substr(0, dot);
  // The suffix is "@" digits, optionally "." digits, then "x" at the very end.
  if (name.size() < 3 || name.back() != 'x') return 1;
  size_t at = name.find_last_of('@');
  if (at == std::string::npos) return 1;
  std::string number = name.substr(at + 1, name.size() - at - 2);
  size_t point = number.find('.');
  auto digits = [](const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
  };
  bool valid = point == std::string::npos
                   ? digits(number)
                   : digits(number.substr(0, point)) && digits(number.substr(point + 1));
  if (!valid) return 1;
  return validScale(std::strtod(number.c_str(), nullptr));
}

UIImagePtr decode(const NSDataPtr& data, double scale) {
  if (!data || data->length() == 0) return nullptr;
  CGImageSourceRef source = CGImageSourceCreateWithData(data);
  if (!source) return nullptr;
  CGImageRef image = CGImageSourceCreateImageAtIndex(source, 0);
  if (!image) return nullptr;
  Value properties = CGImageSourceCopyPropertiesAtIndex(source, 0);
  const Value* exif = properties.find(kCGImagePropertyOrientation);
  UIImageOrientation orientation =
      exif && exif->isNumber() ? UIImageOrientationFromEXIF(exif->asInt64()) : UIImageOrientationUp;
  return UIImage::imageWithCGImage(image, validScale(scale), orientation);
}

}  // namespace

UIImageOrientation UIImageOrientationFromEXIF(int64_t exif) {
  switch (exif) {
    case 2:
      return UIImageOrientationUpMirrored;
    case 3:
      return UIImageOrientationDown;
    case 4:
      return UIImageOrientationDownMirrored;
    case 5:
      return UIImageOrientationLeftMirrored;
    case 6:
      return UIImageOrientationRight;
    case 7:
      return UIImageOrientationRightMirrored;
    case 8:
      return UIImageOrientationLeft;
    default:
      return UIImageOrientationUp;
  }
}

int64_t UIImageOrientationToEXIF(UIImageOrientation orientation) {
  static const int64_t exif[] = {1, 3, 8, 6, 2, 4, 5, 7};
  return orientation >= 0 && orientation <= 7 ? exif[orientation] : 1;
}

UIImage::UIImage(CGImageRef image, double scale, UIImageOrientation orientation)
    : cgImage_(std::move(image)), scale_(validScale(scale)), orientation_(orientation) {}

void UIImage::setCGImage(CGImageRef image, double scale, UIImageOrientation orientation) {
  cgImage_ = std::move(image);
  scale_ = validScale(scale);
  orientation_ = orientation;
}

UIImagePtr UIImage::imageWithCGImage(const CGImageRef& image) {
  return imageWithCGImage(image, 1, UIImageOrientationUp);
}

UIImagePtr UIImage::imageWithCGImage(const CGImageRef& image, double scale,
                                     UIImageOrientation orientation) {
  if (!image) return nullptr;
  return std::make_shared<UIImage>(image, scale, orientation);
}

UIImagePtr UIImage::imageWithCIImage(const CIImageRef& image) {
  return imageWithCIImage(image, 1, UIImageOrientationUp);
}

UIImagePtr UIImage::imageWithCIImage(const CIImageRef& image, double scale,
                                     UIImageOrientation orientation) {
  if (!image) return nullptr;
  auto result = std::make_shared<UIImage>(nullptr, scale, orientation);
  result->ciImage_ = image;
  return result;
}

UIImagePtr UIImage::imageWithData(const NSDataPtr& data) { return decode(data, 1); }

UIImagePtr UIImage::imageWithData(const NSDataPtr& data, double scale) {
  return decode(data, scale);
}

UIImagePtr UIImage::imageWithContentsOfFile(const std::string& path) {
  auto data = NSData::dataWithContentsOfFile(path);
  return data ? decode(data, scaleFromFileName(path)) : nullptr;
}

UIImagePtr UIImage::imageNamed(const std::string& name) { return imageNamed(name, nullptr, {}); }

UIImagePtr UIImage::imageNamed(const std::string& name, const std::shared_ptr<NSBundle>& inBundle,
                               const std::optional<UITraitCollection>& traits) {
  if (name.empty()) return nullptr;
  auto bundle = inBundle ? inBundle : NSBundle::mainBundle();
  if (!bundle) return nullptr;
  const double wanted = traits && traits->displayScale > 0 ? traits->displayScale
                                                           : UIScreen::mainScreen()->scale();
  const int screenScale = std::clamp(static_cast<int>(std::lround(wanted)), 1, 3);
  static Mutex mutex;
  static std::unordered_map<std::string, UIImagePtr> cache GUARDED_BY(mutex);
  const std::string key = bundle->bundlePath() + "\n" + std::to_string(screenScale) + "\n" + name;
  {
    MutexLock lock(mutex);
    auto it = cache.find(key);
    if (it != cache.end()) return it->second;
  }
  std::vector<std::pair<std::string, std::string>> candidates;  // resource, type
  size_t dot = name.find_last_of('.');
  if (dot != std::string::npos && dot > 0 && name.find('/', dot) == std::string::npos) {
    candidates.push_back({name.substr(0, dot), name.substr(dot + 1)});
  }
  for (const char* type : {"png", "jpg"}) {
    candidates.push_back({name + "@" + std::to_string(screenScale) + "x", type});
    candidates.push_back({name, type});
    for (int s : {3, 2, 1})
      if (s != screenScale) candidates.push_back({name + "@" + std::to_string(s) + "x", type});
  }
  for (const auto& [resource, type] : candidates) {
    auto path = bundle->pathForResource(resource, type);
    if (!path) continue;
    auto image = imageWithContentsOfFile(*path);
    if (!image) continue;
    MutexLock lock(mutex);
    cache[key] = image;
    return image;
  }
  return nullptr;
}

UIImagePtr UIImage::animatedImageWithImages(const std::vector<UIImagePtr>& images,
                                            double duration) {
  std::vector<UIImagePtr> frames;
  for (const UIImagePtr& image : images)
    if (image) frames.push_back(image);
  if (frames.empty()) return nullptr;
  auto animated =
      std::make_shared<UIImage>(frames[0]->cgImage_, frames[0]->scale_, frames[0]->orientation_);
  animated->images_ = std::move(frames);
  animated->duration_ = duration > 0 && std::isfinite(duration) ? duration : 0;
  return animated;
}

CGSize UIImage::size() const {
  double w, h;
  if (cgImage_) {
    w = cgImage_->width() / scale_, h = cgImage_->height() / scale_;
  } else if (ciImage_) {
    CGRect extent = ciImage_->extent();
    w = extent.size.width / scale_, h = extent.size.height / scale_;
  } else {
    return CGSizeZero;
  }
  return isQuarterTurn(orientation_) ? CGSizeMake(h, w) : CGSizeMake(w, h);
}

UIImagePtr UIImage::resizableImageWithCapInsets(UIEdgeInsets insets) const {
  return resizableImageWithCapInsets(insets, UIImageResizingModeTile);
}

UIImagePtr UIImage::resizableImageWithCapInsets(UIEdgeInsets insets,
                                                UIImageResizingMode mode) const {
  auto copy = std::make_shared<UIImage>(*this);
  auto valid = [](double v) { return std::isfinite(v) && v > 0 ? v : 0.0; };
  copy->resizable_ = true;
  copy->capInsets_ = {valid(insets.top), valid(insets.left), valid(insets.bottom),
                      valid(insets.right)};
  copy->resizingMode_ = mode;
  return copy;
}

UIImagePtr UIImage::imageWithRenderingMode(UIImageRenderingMode mode) const {
  auto copy = std::make_shared<UIImage>(*this);
  copy->renderingMode_ = mode;
  return copy;
}

UIImagePtr UIImage::imageWithBaselineOffsetFromBottom(double offset) const {
  auto copy = std::make_shared<UIImage>(*this);
  copy->baselineOffset_ = std::isfinite(offset) ? offset : 0;
  return copy;
}

UIImagePtr UIImage::imageWithoutBaseline() const {
  auto copy = std::make_shared<UIImage>(*this);
  copy->baselineOffset_.reset();
  return copy;
}

bool UIImage::isHighDynamicRange() const {
  return cgImage_ && CGColorSpaceUsesITUR_2100TF(CGImageGetColorSpace(cgImage_));
}

UIImagePtr UIImage::imageByPreparingForDisplay() const {
  // Nothing to prepare from a bitmap whose pixels cannot be made; checked
  // before the context, which would be as large as the picture.
  if (!cgImage_ || !cgImage_->pixelData()) return nullptr;
  size_t w = cgImage_->width(), h = cgImage_->height();
  CGImageAlphaInfo alpha = cgImage_->alphaInfo();
  bool opaque = alpha == kCGImageAlphaNone || alpha == kCGImageAlphaNoneSkipFirst ||
                alpha == kCGImageAlphaNoneSkipLast;
  uint32_t info = (opaque ? kCGImageAlphaNoneSkipFirst : kCGImageAlphaPremultipliedFirst) |
                  kCGBitmapByteOrder32Host;
  auto context = CGBitmapContextCreate(nullptr, w, h, 8, 0,
                                       CGColorSpaceCreateWithName(kCGColorSpaceSRGB), info);
  if (!context) return nullptr;
  CGContextSetBlendMode(context, kCGBlendModeCopy);
  CGContextDrawImage(context, CGRectMake(0, 0, double(w), double(h)), cgImage_);
  auto prepared = imageWithCGImage(CGBitmapContextCreateImage(context), scale_, orientation_);
  return prepared;
}

UIImagePtr UIImage::imageByPreparingThumbnailOfSize(CGSize size) const {
  if (!cgImage_ || !(size.width > 0) || !(size.height > 0)) return nullptr;
  CGImageAlphaInfo alpha = cgImage_->alphaInfo();
  bool opaque = alpha == kCGImageAlphaNone || alpha == kCGImageAlphaNoneSkipFirst ||
                alpha == kCGImageAlphaNoneSkipLast;
  auto context = UIGraphicsCreateImageContext(size, opaque, scale_);
  if (!context) return nullptr;
  CGContextSetInterpolationQuality(context, kCGInterpolationHigh);
  drawInContext(context, CGRectMake(0, 0, size.width, size.height), kCGBlendModeCopy, 1);
  if (cgImage_->hasNoPixels()) return nullptr;  // it drew nothing
  return imageWithCGImage(CGBitmapContextCreateImage(context), scale_, UIImageOrientationUp);
}

CGAffineTransform UIImage::orientationTransform(UIImageOrientation orientation, double w,
                                                double h) {
  switch (orientation) {
    case UIImageOrientationDown:
      return CGAffineTransformMake(-1, 0, 0, -1, w, h);
    case UIImageOrientationLeft:
      return CGAffineTransformMake(0, -1, 1, 0, 0, w);
    case UIImageOrientationRight:
      return CGAffineTransformMake(0, 1, -1, 0, h, 0);
    case UIImageOrientationUpMirrored:
      return CGAffineTransformMake(-1, 0, 0, 1, w, 0);
    case UIImageOrientationDownMirrored:
      return CGAffineTransformMake(1, 0, 0, -1, 0, h);
    case UIImageOrientationLeftMirrored:
      return CGAffineTransformMake(0, 1, 1, 0, 0, 0);
    case UIImageOrientationRightMirrored:
      return CGAffineTransformMake(0, -1, -1, 0, h, w);
    default:
      return CGAffineTransformIdentity;
  }
}

void UIImage::drawInContext(const CGContextRef& context, CGRect rect, CGBlendMode mode,
                            double alpha) const {
  const CGImageRef& bitmap = cgImage_ ? cgImage_ : (ciImage_ ? ciImage_->cgImage() : cgImage_);
  if (!context || !bitmap || CGRectIsNull(rect)) return;
  double w = double(bitmap->width()), h = double(bitmap->height());
  bool quarter = isQuarterTurn(orientation_);
  double shownW = quarter ? h : w, shownH = quarter ? w : h;
  // Bitmap rows as CGContextDrawImage lays them out (y up) → bitmap pixels
  // (y down) → displayed pixels → the rectangle in UIKit's user space.
  CGAffineTransform flip = CGAffineTransformMake(1, 0, 0, -1, 0, h);
  CGAffineTransform toRect = CGAffineTransformMake(
      rect.size.width / shownW, 0, 0, rect.size.height / shownH, rect.origin.x, rect.origin.y);
  CGAffineTransform m = CGAffineTransformConcat(
      CGAffineTransformConcat(flip, orientationTransform(orientation_, w, h)), toRect);
  CGContextSaveGState(context);
  CGContextSetBlendMode(context, mode);
  CGContextSetAlpha(context, alpha);
  if (resizable_ && orientation_ == UIImageOrientationUp) {
    drawNinePart(context, rect, bitmap);
    CGContextRestoreGState(context);
    return;
  }
  CGContextConcatCTM(context, m);
  CGContextDrawImage(context, CGRectMake(0, 0, w, h), bitmap);
  CGContextRestoreGState(context);
}

namespace {

// Caps that do not fit shrink in proportion, and never overlap.
std::pair<double, double> fitCaps(double first, double second, double room) {
  const double caps = first + second;
  if (caps <= room || caps <= 0) return {first, second};
  return {first * room / caps, second * room / caps};
}

}  // namespace

void UIImage::drawNinePart(const CGContextRef& context, CGRect rect,
                           const CGImageRef& bitmap) const {
  const CGRect r = CGRectStandardize(rect);
  const double W = bitmap->width() / scale_, H = bitmap->height() / scale_;
  // The insets within the image, then within the rectangle.
  auto [left, right] = fitCaps(capInsets_.left, capInsets_.right, W);
  auto [top, bottom] = fitCaps(capInsets_.top, capInsets_.bottom, H);
  auto [dl, dr] = fitCaps(left, right, r.size.width);
  auto [dt, db] = fitCaps(top, bottom, r.size.height);
  const double srcX[4] = {0, left, W - right, W}, srcY[4] = {0, top, H - bottom, H};
  const double dstX[4] = {r.origin.x, r.origin.x + dl, CGRectGetMaxX(r) - dr, CGRectGetMaxX(r)};
  const double dstY[4] = {r.origin.y, r.origin.y + dt, CGRectGetMaxY(r) - db, CGRectGetMaxY(r)};
  for (int row = 0; row < 3; ++row) {
    for (int col = 0; col < 3; ++col) {
      const CGRect src = CGRectMake(srcX[col], srcY[row], srcX[col + 1] - srcX[col],
                                    srcY[row + 1] - srcY[row]);
      const CGRect dst = CGRectMake(dstX[col], dstY[row], dstX[col + 1] - dstX[col],
                                    dstY[row + 1] - dstY[row]);
      if (src.size.width <= 0 || src.size.height <= 0 || dst.size.width <= 0 ||
          dst.size.height <= 0) {
        continue;
      }
      auto part = CGImageCreateWithImageInRect(
          bitmap, CGRectMake(src.origin.x * scale_, src.origin.y * scale_,
                             src.size.width * scale_, src.size.height * scale_));
      if (!part) continue;
      // Tiles keep the part's own size along the axes it repeats on (the
      // middle column's width, the middle row's height).
      const bool tile = resizingMode_ == UIImageResizingModeTile;
      const double stepX = tile && col == 1 ? src.size.width : dst.size.width;
      const double stepY = tile && row == 1 ? src.size.height : dst.size.height;
      CGContextSaveGState(context);
      CGContextClipToRect(context, dst);
      for (double y = dst.origin.y; y < CGRectGetMaxY(dst) - 1e-9; y += stepY) {
        for (double x = dst.origin.x; x < CGRectGetMaxX(dst) - 1e-9; x += stepX) {
          // UIKit's space is y-down: the part is drawn flipped so it stands upright.
          CGContextSaveGState(context);
          CGContextTranslateCTM(context, x, y + stepY);
          CGContextScaleCTM(context, 1, -1);
          CGContextDrawImage(context, CGRectMake(0, 0, stepX, stepY), part);
          CGContextRestoreGState(context);
        }
      }
      CGContextRestoreGState(context);
    }
  }
}

void UIImage::drawInRect(CGRect rect) const { drawInRect(rect, kCGBlendModeNormal, 1); }

void UIImage::drawInRect(CGRect rect, CGBlendMode mode, double alpha) const {
  drawInContext(UIGraphicsGetCurrentContext(), rect, mode, alpha);
}

void UIImage::drawAtPoint(CGPoint point) const { drawAtPoint(point, kCGBlendModeNormal, 1); }

void UIImage::drawAtPoint(CGPoint point, CGBlendMode mode, double alpha) const {
  drawInRect(CGRect{point, size()}, mode, alpha);
}

std::string UIImage::description() const {
  char text[160];
  CGSize s = size();
  std::snprintf(text, sizeof text, "<UIImage:%p anonymous {%g, %g} scale=%g orientation=%d%s>",
                static_cast<const void*>(this), s.width, s.height, scale_,
                static_cast<int>(orientation_), images_ ? " animated" : "");
  return text;
}

namespace {

NSDataPtr encode(const UIImagePtr& image, const char* type, ValueMap properties) {
  if (!image || !image->CGImage()) return nullptr;
  auto out = std::make_shared<Bytes>();
  auto destination = CGImageDestinationCreateWithData(out, type, 1);
  if (!destination) return nullptr;
  ValueMapSet(properties, Value(kCGImagePropertyOrientation),
              Value::integer(UIImageOrientationToEXIF(image->imageOrientation())));
  CGImageDestinationAddImage(destination, image->CGImage(), Value(std::move(properties)));
  if (!CGImageDestinationFinalize(destination) || out->empty()) return nullptr;
  return NSData::dataWithBytes(std::move(*out));
}

}  // namespace

NSDataPtr UIImagePNGRepresentation(const UIImagePtr& image) {
  return encode(image, "public.png", {});
}

NSDataPtr UIImageJPEGRepresentation(const UIImagePtr& image, double compressionQuality) {
  double quality = std::isfinite(compressionQuality) ? std::clamp(compressionQuality, 0.0, 1.0) : 1;
  return encode(image, "public.jpeg",
                {{Value(kCGImageDestinationLossyCompressionQuality), Value(quality)}});
}
