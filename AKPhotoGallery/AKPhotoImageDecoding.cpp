#include "AKPhotoGallery/AKPhotoImageDecoding.h"

#include <cmath>
#include <vector>

#include "platform/coregraphics/CGBandedDraw.h"
#include "platform/coregraphics/CGColorSpace.h"
#include "platform/coregraphics/CGContext.h"
#include "platform/coregraphics/CGImage.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIImage.h"

namespace {

constexpr double kMaxRedrawBytes = 60.0 * (1 << 20);
constexpr double kDestinationPixels = 15.0 * (1 << 20);
constexpr double kTilePixels = 5.0 * (1 << 20);

struct PixelSize {
  double width, height;
};

PixelSize pixelSize(const UIImage& image) {
  CGSize size = image.size();
  return {size.width * image.scale(), size.height * image.scale()};
}

}  // namespace

std::shared_ptr<UIImage> decodedImage(const std::shared_ptr<UIImage>& image) {
  if (!image || !image->CGImage()) return image;
  const auto [width, height] = pixelSize(*image);
  if (width == 0 || height == 0) return image;
  if (width * height * 4 > kMaxRedrawBytes) return downsizedLargeImage(image);

  // The context is sized in pixels at scale 1: a context of the pixel size
  // at the image's own scale would hold scale^2 times the pixels.
  UIGraphicsBeginImageContextWithOptions({width, height}, false, 1);
  CGContextRef context = UIGraphicsGetCurrentContext();
  if (!context) return image;
  CGContextScaleCTM(context, 1, -1);
  CGContextTranslateCTM(context, 0, -height);
  CGContextDrawImage(context, {{0, 0}, {width, height}}, image->CGImage());
  auto drawn = UIGraphicsGetImageFromCurrentImageContext();
  UIGraphicsEndImageContext();
  if (!drawn || !drawn->CGImage()) return image;
  return UIImage::imageWithCGImage(drawn->CGImage(), image->scale(), image->imageOrientation());
}

std::shared_ptr<UIImage> downsizedLargeImage(const std::shared_ptr<UIImage>& image) {
  if (!image || !image->CGImage()) return image;
  const auto [width, height] = pixelSize(*image);
  if (width <= 0 || height <= 0) return image;
  // The same factor on both sides: the square root of the pixel ratio, so the
  // result holds about kDestinationPixels pixels.
  const double ratio = std::sqrt(kDestinationPixels / (width * height));
  const double tileHeight = kTilePixels / width;
  if (tileHeight < 1) return image;  // a tile would be less than one row
  const auto destWidth = static_cast<size_t>(width * ratio);
  const auto destHeight = static_cast<size_t>(height * ratio);
  if (destWidth == 0 || destHeight == 0) return image;

  std::vector<uint8_t> buffer(destWidth * 4 * destHeight);
  CGContextRef context = CGBitmapContextCreate(buffer.data(), destWidth, destHeight, 8,
                                               destWidth * 4, CGColorSpaceCreateDeviceRGB(),
                                               kCGImageAlphaPremultipliedLast);
  if (!context) return image;
  CGContextTranslateCTM(context, 0, static_cast<double>(destHeight));
  CGContextScaleCTM(context, 1, -1);
  CGContextDrawImageInBands(context, image->CGImage(), destWidth, destHeight, ratio, tileHeight);
  CGImageRef result = CGBitmapContextCreateImage(context);
  if (!result) return image;
  return UIImage::imageWithCGImage(result, 1, UIImageOrientationDownMirrored);
}
