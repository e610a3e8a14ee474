#include "AKPhotoGallery/AKPhotoImageDecoding.h"

#include <cmath>
#include <new>
#include <string>
#include <vector>

#include "platform/coregraphics/CGBandedDraw.h"
#include "platform/coregraphics/CGColorSpace.h"
#include "platform/coregraphics/CGContext.h"
#include "platform/coregraphics/CGImage.h"
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
  // A bitmap whose pixels cannot be made is no picture, and nothing of its
  // size is made for it.
  if (!image->CGImage()->pixelData()) return nullptr;

  // A bitmap context sized in pixels, with the layout an image context has
  // (premultiplied BGRA in sRGB, rows a multiple of 32 bytes). Its buffer
  // becomes the image's as it is: nothing else draws into it, so the 48 MB
  // of a 12-megapixel photo are not copied out again.
  const double pixelsWide = std::ceil(width - 1e-9), pixelsHigh = std::ceil(height - 1e-9);
  if (!(pixelsWide >= 1 && pixelsHigh >= 1) || pixelsWide > (1 << 24) || pixelsHigh > (1 << 24)) {
    return image;
  }
  const auto w = static_cast<size_t>(pixelsWide), h = static_cast<size_t>(pixelsHigh);
  const size_t bytesPerRow = (w * 4 + 31) / 32 * 32;
  const uint32_t info = kCGImageAlphaPremultipliedFirst | kCGBitmapByteOrder32Host;
  std::shared_ptr<Bytes> pixels;
  try {
    pixels = std::make_shared<Bytes>(bytesPerRow * h);
  } catch (const std::bad_alloc&) {
    return image;
  }
  CGColorSpaceRef space = CGColorSpaceCreateWithName(kCGColorSpaceSRGB);
  {
    CGContextRef context = CGBitmapContextCreate(pixels->data(), w, h, 8, bytesPerRow, space, info);
    if (!context) return image;
    CGContextDrawImage(context, {{0, 0}, {width, height}}, image->CGImage());
  }
  CGImageRef drawn = CGImage::create(w, h, 8, 32, bytesPerRow, info, std::move(pixels),
                                     space ? space->name() : std::string(kCGColorSpaceSRGB));
  if (!drawn) return image;
  return UIImage::imageWithCGImage(drawn, image->scale(), image->imageOrientation());
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
  if (image->CGImage()->hasNoPixels()) return nullptr;  // the bands drew nothing
  CGImageRef result = CGBitmapContextCreateImage(context);
  if (!result) return image;
  return UIImage::imageWithCGImage(result, 1, UIImageOrientationDownMirrored);
}
