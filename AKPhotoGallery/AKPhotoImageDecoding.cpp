#include "AKPhotoGallery/AKPhotoImageDecoding.h"

#include <cmath>
#include <vector>

#include "platform/coregraphics/CGColorSpace.h"
#include "platform/coregraphics/CGContext.h"
#include "platform/coregraphics/CGImage.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIImage.h"

namespace {

constexpr double kMaxRedrawBytes = 60.0 * (1 << 20);
constexpr double kDestinationPixels = 15.0 * (1 << 20);
constexpr double kTilePixels = 5.0 * (1 << 20);
constexpr double kDestinationSeamOverlap = 2;

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

  const auto wholeTileRows = static_cast<int64_t>(tileHeight);
  const auto pixelRows = static_cast<int64_t>(height);
  const bool ragged = pixelRows % wholeTileRows != 0;
  const auto tiles = static_cast<int64_t>(height / tileHeight) + (ragged ? 1 : 0);
  const double sourceSeamOverlap = height * 2 / static_cast<double>(destHeight);
  const CGImageRef& source = image->CGImage();

  for (int64_t y = 0; y < tiles; ++y) {
    // Each tile starts at its own first row and reaches the overlap further
    // down, so neighbouring tiles share a seam. Starting a whole overlap
    // lower, as tiles once did, dropped the top rows and left the last
    // destination rows empty.
    CGRect sourceTile{{0, tileHeight * static_cast<double>(y)},
                      {width, tileHeight + sourceSeamOverlap}};
    CGImageRef tile = CGImageCreateWithImageInRect(source, sourceTile);
    if (!tile) continue;
    double destTileHeight = ratio * tileHeight + kDestinationSeamOverlap;
    double destY = static_cast<double>(destHeight) -
                   (ratio * tileHeight * static_cast<double>(y + 1) + kDestinationSeamOverlap);
    if (y == tiles - 1 && ragged) {
      double realHeight = static_cast<double>(CGImageGetHeight(tile));
      destY += destTileHeight - ratio * realHeight;
      destTileHeight = ratio * realHeight;
    }
    CGContextDrawImage(context, {{0, destY}, {static_cast<double>(destWidth), destTileHeight}},
                       tile);
  }
  CGImageRef result = CGBitmapContextCreateImage(context);
  if (!result) return image;
  return UIImage::imageWithCGImage(result, 1, UIImageOrientationDownMirrored);
}
