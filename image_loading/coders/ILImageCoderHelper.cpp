#include "image_loading/coders/ILImageCoderHelper.h"

#include <atomic>
#include <cmath>
#include <mutex>
#include <numeric>

#include "image_loading/coders/UIImageMetadata.h"
#include "image_loading/coders/internal/ILImageScaler.h"
#include "platform/coregraphics/CGBandedDraw.h"
#include "platform/coregraphics/CGContext.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/foundation/SingletonResets.h"
#include "platform/uikit/UIGraphicsImageRenderer.h"
#include "platform/uikit/UIImage.h"

namespace {

constexpr uint64_t kDefaultLimitBytes = 60ull * 1024 * 1024;

std::atomic<uint64_t> gDecodeSolution{0};
std::atomic<uint64_t> gLimitBytes{kDefaultLimitBytes};

void registerSettingsReset() {
  static std::once_flag once;
  std::call_once(once, [] {
    SingletonResets::add([] {
      gDecodeSolution = 0;
      gLimitBytes = kDefaultLimitBytes;
    });
  });
}

bool atLeast(int64_t major) {
  return NSProcessInfo::processInfo().isOperatingSystemAtLeastVersion({major, 0, 0});
}

UIImagePtr sampleImage(bool alpha) {
  auto format = UIGraphicsImageRendererFormat::preferredFormat();
  format->setScale(1);
  format->setOpaque(!alpha);
  UIGraphicsImageRenderer renderer(CGSizeMake(1, 1), format);
  return renderer.imageWithActions([](UIGraphicsImageRendererContext& context) {
    CGContextSetRGBFillColor(context.CGContext(), 1, 0, 0, 1);
    context.fillRect(CGRectMake(0, 0, 1, 1));
  });
}

const UIImagePtr& dummyImage(bool alpha) {
  static const UIImagePtr withAlpha = [] {
    UIImagePtr image = sampleImage(true);
    NSAssert(image && image->CGImage(), "The sample alpha image (1x1 pixels) returns nil, OS bug ?");
    return image;
  }();
  static const UIImagePtr withoutAlpha = [] {
    UIImagePtr image = sampleImage(false);
    NSAssert(image && image->CGImage(),
             "The sample non-alpha image (1x1 pixels) returns nil, OS bug ?");
    return image;
  }();
  return alpha ? withAlpha : withoutAlpha;
}

uint64_t gcd(uint64_t a, uint64_t b) { return b == 0 ? a : std::gcd(a, b); }

// Repeats of each frame in the animated image's list: value / step, where the
// step is the common divisor of the durations unless that would make the list
// longer than kILAnimatedImageMaxEntries.
std::vector<uint64_t> frameRepeats(const std::vector<uint64_t>& millis) {
  uint64_t step = 0;
  for (uint64_t v : millis) step = v == 0 ? step : (step == 0 ? v : gcd(step, v));
  std::vector<uint64_t> repeats(millis.size(), 1);
  if (step == 0) return repeats;  // every frame at 0 ms: each once
  uint64_t entries = 0;
  for (size_t i = 0; i < millis.size(); ++i) {
    repeats[i] = millis[i] / step;
    entries += repeats[i];
  }
  if (entries <= kILAnimatedImageMaxEntries) return repeats;
  // Crafted delays (hours per frame at a 1 ms divisor) would otherwise build
  // hundreds of millions of entries. Each shown frame keeps at least one entry.
  const uint64_t shown = std::count_if(millis.begin(), millis.end(), [](uint64_t v) { return v; });
  const uint64_t budget = kILAnimatedImageMaxEntries > shown ? kILAnimatedImageMaxEntries - shown : 0;
  const uint64_t total = std::accumulate(millis.begin(), millis.end(), uint64_t(0));
  const uint64_t coarse = budget ? (total + budget - 1) / budget : UINT64_MAX;
  for (size_t i = 0; i < millis.size(); ++i) {
    repeats[i] = millis[i] == 0 ? 0 : std::max<uint64_t>(1, budget ? millis[i] / coarse : 1);
  }
  return repeats;
}

ILScalerLayout scalerLayout(const CGImage& image, bool& ok) {
  ILScalerLayout layout;
  const size_t bpc = image.bitsPerComponent();
  ok = (bpc == 8 || bpc == 16 || bpc == 32) && image.bitsPerPixel() % bpc == 0;
  if (!ok) return layout;
  layout.component = bpc == 8    ? ILScalerComponent::UInt8
                     : bpc == 16 ? ILScalerComponent::UInt16
                                 : ILScalerComponent::Float32;
  layout.channels = image.bitsPerPixel() / bpc;
  const uint32_t order = image.byteOrder();
  layout.bigEndian = !(order == kCGBitmapByteOrder16Little || order == kCGBitmapByteOrder32Little);
  ok = layout.channels >= 1 && layout.channels <= 4;
  return layout;
}

UIImagePtr finishDecoded(const UIImagePtr& source, UIImagePtr result) {
  if (!result) return source;
  ILImageCopyAssociatedState(source, result);
  il_setIsDecoded(*result, true);
  return result;
}

bool prefersPreparing(const UIImage& image, ILImageCoderDecodeSolution solution) {
  if (solution == ILImageCoderDecodeSolutionUIKit) return true;
  if (solution != ILImageCoderDecodeSolutionAutomatic) return false;
  const ILImageFormatCode format = il_imageFormat(image);
  return format == ILImageFormatJPEG ||
         ((format == ILImageFormatHEIC || format == ILImageFormatHEIF) &&
          ILImageDeviceHEIFCapability());
}

// A bitmap context over a buffer that becomes the result image as it is,
// sparing the copy a context's image would make of a large output.
struct OwnedBitmap {
  std::shared_ptr<Bytes> pixels;
  CGContextRef context;
  size_t bytesPerRow = 0;

  OwnedBitmap(size_t width, size_t height, uint32_t bitmapInfo) {
    bytesPerRow = (width * 4 + 31) / 32 * 32;  // the automatic row alignment
    if (height == 0 || bytesPerRow == 0 || height > SIZE_MAX / bytesPerRow) return;
    pixels = std::make_shared<Bytes>(bytesPerRow * height);
    context = CGBitmapContextCreate(pixels->data(), width, height, 8, bytesPerRow,
                                    ILImageCoderHelper::colorSpaceGetDeviceRGB(), bitmapInfo);
  }
  CGImageRef image() {
    if (!context) return nullptr;
    const size_t width = context->width(), height = context->height();
    const uint32_t info = context->bitmapInfo();
    context.reset();  // nothing draws into the buffer after this
    return CGImage::create(width, height, 8, 32, bytesPerRow, info, std::move(pixels),
                           CGColorSpaceGetName(ILImageCoderHelper::colorSpaceGetDeviceRGB()));
  }
};

CGImageRef bandScaledDown(const CGImageRef& source, size_t destWidth, size_t destHeight,
                          double imageScale, uint64_t targetPixels) {
  const bool alpha = ILImageCoderHelper::CGImageContainsAlpha(source);
  OwnedBitmap output(destWidth, destHeight,
                     ILImageCoderHelper::preferredPixelFormat(alpha).bitmapInfo);
  const CGContextRef& context = output.context;
  if (!context) return nullptr;
  CGContextSetInterpolationQuality(context, kCGInterpolationHigh);
  // Full-width source bands of about a third of the output's pixel budget.
  const double bandRows =
      std::max(1.0, std::trunc(double(targetPixels) / 3 / double(source->width())));
  CGContextDrawImageInBands(context, source, destWidth, destHeight, imageScale, bandRows);
  // Bands of a source whose decode failed drew nothing: that is no picture.
  if (source->hasNoPixels()) return nullptr;
  return output.image();
}

}  // namespace

bool ILImageDeviceHEIFCapability() { return false; }

UIImagePtr ILImageCoderHelper::animatedImageWithFrames(const std::vector<ILImageFrame>& frames) {
  if (frames.empty()) return nullptr;
  std::vector<uint64_t> millis;
  millis.reserve(frames.size());
  double total = 0;
  for (const ILImageFrame& frame : frames) {
    const double ms = frame.duration * 1000;
    millis.push_back(ms > 0 && std::isfinite(ms) ? uint64_t(std::min(ms, 1e15)) : 0);
    total += frame.duration;
  }
  const std::vector<uint64_t> repeats = frameRepeats(millis);
  std::vector<UIImagePtr> images;
  for (size_t i = 0; i < frames.size(); ++i) {
    for (uint64_t r = 0; r < repeats[i]; ++r) images.push_back(frames[i].image);
  }
  return UIImage::animatedImageWithImages(images, total);
}

std::optional<std::vector<ILImageFrame>> ILImageCoderHelper::framesFromAnimatedImage(
    const UIImagePtr& image) {
  if (!image || !image->images() || image->images()->empty()) return std::nullopt;
  const auto& images = *image->images();
  double average = image->duration() / double(images.size());
  if (average == 0) average = 0.1;
  std::vector<ILImageFrame> frames;
  size_t run = 0;
  for (size_t i = 0; i < images.size(); ++i) {
    ++run;
    const bool last = i + 1 == images.size();
    const bool same = !last && (images[i] == images[i + 1] ||
                                (images[i] && images[i + 1] && images[i]->isEqual(*images[i + 1])));
    if (!same) {
      frames.push_back(ILImageFrame::frameWithImage(images[i], average * double(run)));
      run = 0;
    }
  }
  return frames;
}

CGColorSpaceRef ILImageCoderHelper::colorSpaceGetDeviceRGB() {
  static const CGColorSpaceRef space = CGColorSpaceCreateWithName(kCGColorSpaceSRGB);
  return space;
}

ILImagePixelFormat ILImageCoderHelper::preferredPixelFormat(bool containsAlpha) {
  ILImagePixelFormat format;
  format.bitmapInfo = dummyImage(containsAlpha)->CGImage()->bitmapInfo();
  format.alignment = (format.bitmapInfo & kCGBitmapFloatComponents) ? 64 : 32;
  return format;
}

bool ILImageCoderHelper::CGImageIsHardwareSupported(const CGImageRef& image) {
  if (!image) return false;
  const ILImagePixelFormat format = preferredPixelFormat(CGImageContainsAlpha(image));
  if (image->bytesPerRow() % format.alignment != 0) return false;
  const std::string& space = image->colorSpaceName();
  return space == CGColorSpaceGetName(colorSpaceGetDeviceRGB()) || space == kCGColorSpaceDeviceRGB ||
         space == kCGColorSpaceSRGB;
}

bool ILImageCoderHelper::CGImageContainsAlpha(const CGImageRef& image) {
  if (!image) return false;
  const CGImageAlphaInfo info = image->alphaInfo();
  return !(info == kCGImageAlphaNone || info == kCGImageAlphaNoneSkipLast ||
           info == kCGImageAlphaNoneSkipFirst);
}

bool ILImageCoderHelper::CGImageIsLazy(const CGImageRef& image) {
  // The same answer as the "(IP)"/"(DP)" tag of the image's description, read
  // from the bitmap itself rather than formatted and parsed on every decode.
  return image && image->isLazy();
}

bool ILImageCoderHelper::CGImageIsHDR(const CGImageRef& image) {
  if (!image || !atLeast(14) || image->colorSpaceName().empty()) return false;
  return CGColorSpaceUsesITUR_2100TF(CGColorSpaceCreateWithName(image->colorSpaceName()));
}

CGImageRef ILImageCoderHelper::CGImageCreateDecoded(const CGImageRef& image,
                                                    uint32_t exifOrientation) {
  if (!image || image->width() == 0 || image->height() == 0) return nullptr;
  // Made before the output, so a source whose decode fails costs no bitmap
  // of its size (drawing would make them anyway).
  if (!image->pixelData()) return nullptr;
  const double W = double(image->width()), H = double(image->height());
  const bool swap = exifOrientation >= 5 && exifOrientation <= 8;
  const double w = swap ? H : W, h = swap ? W : H;
  OwnedBitmap output(size_t(w), size_t(h), preferredPixelFormat(CGImageContainsAlpha(image)).bitmapInfo);
  const CGContextRef& context = output.context;
  if (!context) return nullptr;
  switch (exifOrientation) {
    case 3:
    case 4:
      CGContextTranslateCTM(context, w, h);
      CGContextRotateCTM(context, M_PI);
      break;
    case 6:
    case 7:
      CGContextTranslateCTM(context, 0, h);
      CGContextRotateCTM(context, -M_PI_2);
      break;
    case 5:
    case 8:
      CGContextTranslateCTM(context, w, 0);
      CGContextRotateCTM(context, M_PI_2);
      break;
    default:
      break;
  }
  switch (exifOrientation) {
    case 2:
    case 4:
      CGContextTranslateCTM(context, w, 0);
      CGContextScaleCTM(context, -1, 1);
      break;
    case 5:
    case 7:
      CGContextTranslateCTM(context, h, 0);
      CGContextScaleCTM(context, -1, 1);
      break;
    default:
      break;
  }
  CGContextDrawImage(context, CGRectMake(0, 0, W, H), image);
  return output.image();
}

CGImageRef ILImageCoderHelper::CGImageCreateScaled(const CGImageRef& image, CGSize size) {
  // Sizes past 2^32 pixels a side cannot be allocated anyway.
  if (!image || !(size.width >= 1) || !(size.height >= 1) || size.width >= 4294967296.0 ||
      size.height >= 4294967296.0)
    return nullptr;
  const size_t width = size_t(size.width), height = size_t(size.height);
  if (width == image->width() && height == image->height()) return image;
  bool ok = false;
  const ILScalerLayout layout = scalerLayout(*image, ok);
  if (!ok) return nullptr;
  const std::shared_ptr<const Bytes> pixels = image->pixelData();
  if (!pixels ||
      pixels->size() < CGImage::requiredBytes(image->height(), image->bitsPerPixel(),
                                              image->width(), image->bytesPerRow()))
    return nullptr;
  const size_t bytesPerRow = width * (image->bitsPerPixel() / 8);
  if (height > SIZE_MAX / std::max<size_t>(bytesPerRow, 1)) return nullptr;
  auto destination = std::make_shared<Bytes>(bytesPerRow * height);
  const ILScalerPlane source{pixels->data(), image->width(), image->height(),
                             image->bytesPerRow()};
  if (!ILScalerResample(source, layout, destination->data(), width, height, bytesPerRow))
    return nullptr;
  return CGImage::create(width, height, image->bitsPerComponent(), image->bitsPerPixel(),
                         bytesPerRow, image->bitmapInfo(), std::move(destination),
                         image->colorSpaceName());
}

CGSize ILImageCoderHelper::scaledSizeWithImageSize(CGSize imageSize, CGSize scaleSize,
                                                   bool preserveAspectRatio, bool shouldScaleUp) {
  if (imageSize.width <= 0 || imageSize.height <= 0 || scaleSize.width <= 0 ||
      scaleSize.height <= 0)
    return imageSize;
  CGSize target = scaleSize;
  if (preserveAspectRatio) {
    const double ratio = imageSize.width / imageSize.height;
    if (ratio > scaleSize.width / scaleSize.height) {
      target.height = std::ceil(scaleSize.width / ratio);
    } else {
      target.width = std::ceil(scaleSize.height * ratio);
    }
  }
  if (!shouldScaleUp) {
    target.width = std::min(target.width, imageSize.width);
    target.height = std::min(target.height, imageSize.height);
  }
  return target;
}

CGSize ILImageCoderHelper::scaledSizeWithImageSize(CGSize imageSize, uint64_t limitBytes,
                                                   uint64_t bytesPerPixel, uint64_t frameCount) {
  if (imageSize.width <= 0 || imageSize.height <= 0) return {1, 1};
  const uint64_t pixels =
      bytesPerPixel == 0 ? 0 : limitBytes / bytesPerPixel / std::max<uint64_t>(frameCount, 1);
  const double ratio = imageSize.height / imageSize.width;
  const double width = std::sqrt(double(pixels) / ratio);
  const double height = std::floor(width * ratio);
  return {std::max(1.0, std::floor(width)), std::max(1.0, height)};
}

UIImagePtr ILImageCoderHelper::decodedImageWithImage(const UIImagePtr& image,
                                                     ILImageForceDecodePolicy policy) {
  if (!shouldDecodeImage(image, policy)) return image;
  // Every way below draws the whole bitmap; one whose pixels cannot be made
  // is no image, and no output of its size is made for it.
  if (image->CGImage() && !image->CGImage()->pixelData()) return nullptr;
  const ILImageCoderDecodeSolution solution = defaultDecodeSolution();
  if (prefersPreparing(*image, solution) && atLeast(15)) {
    if (UIImagePtr prepared = image->imageByPreparingForDisplay()) {
      return finishDecoded(image, prepared);
    }
  }
  const CGImageRef& bitmap = image->CGImage();
  if (!bitmap) return image;
  if (solution == ILImageCoderDecodeSolutionCoreGraphics) {
    CGImageRef decoded = CGImageCreateDecoded(bitmap);
    if (!decoded) return image;
    return finishDecoded(
        image, UIImage::imageWithCGImage(decoded, image->scale(), image->imageOrientation()));
  }
  auto format = UIGraphicsImageRendererFormat::preferredFormat();
  format->setScale(image->scale());
  format->setOpaque(!CGImageContainsAlpha(bitmap));
  UIGraphicsImageRenderer renderer(image->size(), format);
  UIImagePtr drawn = renderer.imageWithActions([&](UIGraphicsImageRendererContext&) {
    image->drawInRect(CGRectMake(0, 0, image->size().width, image->size().height));
  });
  if (!drawn || !drawn->CGImage()) return image;
  return finishDecoded(image, drawn);
}

UIImagePtr ILImageCoderHelper::decodedAndScaledDownImageWithImage(
    const UIImagePtr& image, uint64_t limitBytes, ILImageForceDecodePolicy policy) {
  if (!shouldDecodeImage(image, policy)) return image;
  const uint64_t limit = std::max<uint64_t>(limitBytes ? limitBytes : defaultScaleDownLimitBytes(), 4);
  const uint64_t targetPixels = limit / 4;
  const CGImageRef& bitmap = image->CGImage();
  if (!bitmap) return image;
  const double W = double(bitmap->width()), H = double(bitmap->height());
  if (!shouldScaleDownImagePixelSize(CGSizeMake(W, H), limit)) return decodedImageWithImage(image);
  const double s = std::sqrt(double(targetPixels) / (W * H));
  const size_t w = size_t(std::max(1.0, std::trunc(W * s)));
  const size_t h = size_t(std::max(1.0, std::trunc(H * s)));
  if (prefersPreparing(*image, defaultDecodeSolution()) && atLeast(15)) {
    const double scale = image->scale() > 0 ? image->scale() : 1;
    if (UIImagePtr thumbnail =
            image->imageByPreparingThumbnailOfSize(CGSizeMake(double(w) / scale, double(h) / scale))) {
      return finishDecoded(image, thumbnail);
    }
  }
  CGImageRef scaled = bandScaledDown(bitmap, w, h, s, targetPixels);
  if (!scaled) return bitmap->hasNoPixels() ? nullptr : image;
  return finishDecoded(image,
                       UIImage::imageWithCGImage(scaled, image->scale(), image->imageOrientation()));
}

int64_t ILImageCoderHelper::imageOrientationFromEXIFOrientation(uint32_t exif) {
  switch (exif) {
    case 2: return UIImageOrientationUpMirrored;
    case 3: return UIImageOrientationDown;
    case 4: return UIImageOrientationDownMirrored;
    case 5: return UIImageOrientationLeftMirrored;
    case 6: return UIImageOrientationRight;
    case 7: return UIImageOrientationRightMirrored;
    case 8: return UIImageOrientationLeft;
    default: return UIImageOrientationUp;
  }
}

uint32_t ILImageCoderHelper::exifOrientationFromImageOrientation(int64_t orientation) {
  switch (orientation) {
    case UIImageOrientationDown: return 3;
    case UIImageOrientationLeft: return 8;
    case UIImageOrientationRight: return 6;
    case UIImageOrientationUpMirrored: return 2;
    case UIImageOrientationDownMirrored: return 4;
    case UIImageOrientationLeftMirrored: return 5;
    case UIImageOrientationRightMirrored: return 7;
    default: return 1;
  }
}

bool ILImageCoderHelper::shouldDecodeImage(const UIImagePtr& image,
                                           ILImageForceDecodePolicy policy) {
  if (!image || policy == ILImageForceDecodePolicyNever) return false;
  if (il_isDecoded(*image) || il_isAnimated(*image) || il_isVector(*image) ||
      il_isHighDynamicRange(*image))
    return false;
  if (policy == ILImageForceDecodePolicyAlways) return true;
  const CGImageRef& bitmap = image->CGImage();
  // A bitmap whose decode failed goes on to be answered as no image.
  if (!bitmap || CGImageIsLazy(bitmap) || bitmap->hasNoPixels()) return true;
  return !CGImageIsHardwareSupported(bitmap);
}

bool ILImageCoderHelper::shouldScaleDownImagePixelSize(CGSize pixelSize, uint64_t limitBytes) {
  if (pixelSize.width * pixelSize.height <= 0) return false;
  const uint64_t limit = std::max<uint64_t>(limitBytes ? limitBytes : defaultScaleDownLimitBytes(), 4);
  return double(limit / 4) / (pixelSize.width * pixelSize.height) < 1;
}

ILImageCoderDecodeSolution ILImageCoderHelper::defaultDecodeSolution() { return gDecodeSolution; }

void ILImageCoderHelper::setDefaultDecodeSolution(ILImageCoderDecodeSolution solution) {
  registerSettingsReset();
  gDecodeSolution = solution;
}

uint64_t ILImageCoderHelper::defaultScaleDownLimitBytes() { return gLimitBytes; }

void ILImageCoderHelper::setDefaultScaleDownLimitBytes(uint64_t bytes) {
  if (bytes < 4) return;
  registerSettingsReset();
  gLimitBytes = bytes;
}
