#include "image_loading/coders/ILImageIOCoder.h"

#include <algorithm>
#include <cmath>

#include "image_loading/coders/UIImageMetadata.h"
#include "image_loading/coders/ILImageCoderHelper.h"
#include "image_loading/coders/ILImageCoderOptions.h"
#include "image_loading/coders/ILImageIOAnimatedCoder.h"
#include "platform/coregraphics/CGPDFDocument.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/Value.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/ImageBitmap.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/uikit/UIGraphics.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIScreen.h"

namespace {

// The scale (pixels a point) at which `size` points, drawn at `scale`, fit
// the full-decode limit, as a bitmap context rounds its sides up.
double FittingScale(CGSize size, double scale) {
  auto pixels = [&size](double s) {
    return std::ceil(size.width * s - 1e-9) * std::ceil(size.height * s - 1e-9);
  };
  const double limit = double(kImageMaxPixels);
  if (pixels(scale) <= limit) return scale;
  scale *= std::sqrt(limit / (size.width * size.height * scale * scale));
  while (pixels(scale) > limit) {
    const double longer = std::ceil(std::max(size.width, size.height) * scale - 1e-9);
    if (longer <= 1) break;
    scale *= (longer - 1) / longer;  // a pixel off the longer side
  }
  return scale;
}

ILImageFormatCode sourceFormat(const CGImageSourceRef& source) {
  const std::string type = CGImageSourceGetType(source);
  return type.empty() ? ILImageFormatUndefined : il_imageFormatFromUTType(type);
}

}  // namespace

ILImageIOCoder::~ILImageIOCoder() { NSNotificationCenter::defaultCenter().removeObserver(this); }

std::shared_ptr<ILImageIOCoder> ILImageIOCoder::sharedCoder() {
  static const std::shared_ptr<ILImageIOCoder> coder = std::make_shared<ILImageIOCoder>();
  return coder;
}

UIImagePtr ILImageIOCoder::decodedImageWithData(const NSDataPtr& data, const Value& options) const {
  if (!data) return nullptr;
  const double scale = ILImageCoderOptionScale(options);
  const CGSize thumbnail = ILImageCoderOptionSize(options, kILImageCoderDecodeThumbnailPixelSize);
  const bool preserve = ILImageCoderOptionBool(options, kILImageCoderDecodePreserveAspectRatio, true);
  if (il_imageFormatForImageData(data) == ILImageFormatPDF) {
    UIImagePtr image = createBitmapPDFWithData(data, 0, thumbnail, preserve);
    if (image) il_setImageFormat(*image, ILImageFormatPDF);
    return image;
  }
  const bool lazy = ILImageCoderOptionBool(options, kILImageCoderDecodeUseLazyDecoding, true);
  const bool hdr = ILImageCoderOptionBool(options, kILImageCoderDecodeToHDR, false);
  CGImageSourceRef source = ILImageIOCoding::createSourceForOptions(data, options);
  if (!source) return nullptr;
  UIImagePtr image = ILImageIOAnimatedCoder::createFrameAtIndex(0, source, scale, preserve,
                                                                thumbnail, lazy, false, hdr);
  if (image) il_setImageFormat(*image, sourceFormat(source));
  return image;
}

UIImagePtr ILImageIOCoder::createBitmapPDFWithData(const NSDataPtr& data, size_t pageNumber,
                                                   CGSize targetSize, bool preserveAspectRatio) {
  NSParameterAssert(data);
  CGDataProviderRef provider = CGDataProviderCreateWithCFData(data);
  if (!provider) return nullptr;
  CGPDFDocumentRef document = CGPDFDocumentCreateWithProvider(provider);
  if (!document) return nullptr;
  CGPDFPageRef page = CGPDFDocumentGetPage(document, pageNumber + 1);
  if (!page) return nullptr;
  const CGRect box = CGPDFPageGetBoxRect(page, kCGPDFMediaBox);
  if (box.size.width <= 0 || box.size.height <= 0) return nullptr;
  // A zero target means the box's own size; the ratios are taken after that
  // replacement, or a zero target would scale the page to nothing.
  const bool zeroTarget = targetSize.width <= 0 || targetSize.height <= 0;
  const CGSize target = zeroTarget ? box.size : targetSize;
  const double xRatio = target.width / box.size.width;
  const double yRatio = target.height / box.size.height;
  const double xScale = preserveAspectRatio ? std::min(xRatio, yRatio) : xRatio;
  const double yScale = preserveAspectRatio ? std::min(xRatio, yRatio) : yRatio;
  const CGAffineTransform drawing = CGPDFPageGetDrawingTransform(
      page, kCGPDFMediaBox, CGRectMake(0, 0, target.width / xScale, target.height / yScale), 0,
      preserveAspectRatio);
  // Past the full-decode limit the page is drawn scaled down to fit it, as
  // other images past it are decoded: the image keeps its size in points.
  UIGraphicsBeginImageContextWithOptions(target, false,
                                         FittingScale(target, UIScreen::mainScreen()->scale()));
  CGContextRef context = UIGraphicsGetCurrentContext();
  if (!context) {
    UIGraphicsEndImageContext();
    return nullptr;
  }
  CGContextTranslateCTM(context, 0, target.height);
  CGContextScaleCTM(context, 1, -1);
  CGContextScaleCTM(context, xScale, yScale);
  CGContextConcatCTM(context, drawing);
  CGContextDrawPDFPage(context, page);
  UIImagePtr image = UIGraphicsGetImageFromCurrentImageContext();
  UIGraphicsEndImageContext();
  return image;
}

std::shared_ptr<ILProgressiveImageCoder> ILImageIOCoder::initIncrementalWithOptions(
    const Value& options) const {
  auto coder = std::make_shared<ILImageIOCoder>();
  coder->imageSource_ = CGImageSourceCreateIncremental();
  coder->incremental_ = true;
  coder->scale_ = ILImageCoderOptionScale(options);
  coder->thumbnailSize_ = ILImageCoderOptionSize(options, kILImageCoderDecodeThumbnailPixelSize);
  coder->preserveAspectRatio_ =
      ILImageCoderOptionBool(options, kILImageCoderDecodePreserveAspectRatio, true);
  coder->lazyDecode_ = ILImageCoderOptionBool(options, kILImageCoderDecodeUseLazyDecoding, true);
  coder->decodeToHDR_ = ILImageCoderOptionBool(options, kILImageCoderDecodeToHDR, false);
  ILImageIOCoding::observeMemoryWarnings(
      coder.get(), WeakBind(std::weak_ptr<ILImageIOCoder>(coder),
                            [](ILImageIOCoder& c) { c.didReceiveMemoryWarning(); }));
  return coder;
}

void ILImageIOCoder::updateIncrementalData(const NSDataPtr& data, bool finished) {
  NSParameterAssert(incremental_);
  if (finished_) return;
  // Only a finished update ends the decode: partial chunks keep it open.
  finished_ = finished;
  CGImageSourceUpdateData(imageSource_, data, finished);
  if (width_ + height_ == 0) ILImageIOCoding::readPixelSize(imageSource_, width_, height_);
}

UIImagePtr ILImageIOCoder::incrementalDecodedImageWithOptions(const Value& options) {
  NSParameterAssert(incremental_);
  if (width_ + height_ == 0) return nullptr;
  const double scale =
      options.find(kILImageCoderDecodeScaleFactor) ? ILImageCoderOptionScale(options) : scale_;
  UIImagePtr image = ILImageIOAnimatedCoder::createFrameAtIndex(
      0, imageSource_, scale, preserveAspectRatio_, thumbnailSize_, lazyDecode_, false,
      finished_ && decodeToHDR_);
  if (image) il_setImageFormat(*image, sourceFormat(imageSource_));
  return image;
}

NSDataPtr ILImageIOCoder::encodedDataWithImage(const UIImagePtr& image, ILImageFormatCode format,
                                               const Value& options) const {
  if (!image || !image->CGImage()) return nullptr;
  const CGImageRef& bitmap = image->CGImage();
  if (format == ILImageFormatUndefined) {
    format = ILImageCoderHelper::CGImageContainsAlpha(bitmap) ? ILImageFormatPNG : ILImageFormatJPEG;
  }
  auto buffer = std::make_shared<Bytes>();
  CGImageDestinationRef destination =
      CGImageDestinationCreateWithData(buffer, il_UTTypeFromImageFormat(format), 1);
  if (!destination) return nullptr;
  ValueMap properties;
  ValueMapSet(properties, Value(kCGImagePropertyOrientation),
              Value(int64_t(ILImageCoderHelper::exifOrientationFromImageOrientation(
                  image->imageOrientation()))));
  for (auto& entry : ILImageIOCoding::encodeProperties(bitmap, options)) {
    ValueMapSet(properties, entry.first, entry.second);
  }
  CGImageDestinationAddImage(destination, bitmap, Value(properties));
  if (!CGImageDestinationFinalize(destination)) return nullptr;
  return NSData::dataWithBytes(std::move(*buffer));
}

void ILImageIOCoder::didReceiveMemoryWarning() {
  if (imageSource_) CGImageSourceRemoveCacheAtIndex(imageSource_, 0);
}
