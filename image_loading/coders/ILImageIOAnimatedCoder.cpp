#include "image_loading/coders/ILImageIOAnimatedCoder.h"

#include <algorithm>
#include <cmath>
#include <set>

#include "image_loading/coders/UIImageMetadata.h"
#include "image_loading/coders/internal/ILDefaultLog.h"
#include "image_loading/coders/ILImageCoderHelper.h"
#include "image_loading/coders/ILImageCoderOptions.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSNotificationCenter.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/foundation/Value.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/imageio/UTType.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UIImage.h"

namespace {

constexpr double kDefaultFrameDuration = 0.1;

[[noreturn]] void mustOverride(const char* selector) {
  FatalStop(std::string("For `ILImageIOAnimatedCoder` subclass, you must override ") + selector +
            " method");
}

bool animatedCoderAtLeast(int64_t major) {
  return NSProcessInfo::processInfo().isOperatingSystemAtLeastVersion({major, 0, 0});
}

bool typeListed(ILImageFormatCode format, const std::vector<std::string>& types) {
  const std::string uti = il_UTTypeFromImageFormat(format);
  return std::find(types.begin(), types.end(), uti) != types.end();
}

// Thumbnail edge: the longer side that keeps the frame's ratio inside the
// requested box.
double thumbnailMaxPixelSize(double pixelWidth, double pixelHeight, CGSize thumbnail,
                             bool preserveAspectRatio) {
  if (!preserveAspectRatio) return std::max(thumbnail.width, thumbnail.height);
  const double r = pixelWidth / pixelHeight;
  const double t = thumbnail.width / thumbnail.height;
  return r > t ? std::max(thumbnail.width, thumbnail.width / r)
               : std::max(thumbnail.height, thumbnail.height * r);
}

// Whether createFrameAtIndex makes each frame's pixels at once: with lazy
// decoding off, or as a thumbnail (a frame larger than the thumbnail size).
bool decodesEveryFrameNow(bool lazyDecode, CGSize thumbnail, double pixelWidth,
                          double pixelHeight) {
  if (!lazyDecode) return true;
  return thumbnail.width > 0 && thumbnail.height > 0 &&
         (pixelWidth > thumbnail.width || pixelHeight > thumbnail.height);
}

// Same pixels and layout, another bitmap info.
CGImageRef withBitmapInfo(const CGImageRef& image, uint32_t bitmapInfo) {
  CGImageRef copy = CGImage::create(image->width(), image->height(), image->bitsPerComponent(),
                                    image->bitsPerPixel(), image->bytesPerRow(), bitmapInfo,
                                    image->pixelData(), image->colorSpaceName());
  if (copy) copy->setUTType(image->utType());
  return copy ? copy : image;
}

// Whether the platform's PNG reader mishandles the alpha of indexed-colour
// files (a bad decode of a known 1x1 sample), evaluated once.
bool pngPluginBuggyNeedWorkaround() {
  static const bool buggy = [] {
    static const char* kSample =
        "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABAQMAAAAl21bKAAAAA1BMVEUyMjKlMgnVAAAAAXRSTlMyiDGJ5gAAAApJREF"
        "UCNdjYAAAAAIAAeIhvDMAAAAASUVORK5CYII=";
    auto bytes = Base64Decode(kSample);
    NSParameterAssert(bytes);
    CGImageSourceRef source = CGImageSourceCreateWithData(NSData::dataWithBytes(*bytes));
    NSParameterAssert(source);
    CGImageRef image = CGImageSourceCreateImageAtIndex(source, 0);
    NSParameterAssert(image);
    auto pixels = image->pixelData();
    if (!pixels || pixels->size() < 4) return false;
    const uint32_t alpha = image->alphaInfo();
    const bool sound = alpha >= 1 && alpha <= 4 && std::all_of(pixels->begin(), pixels->begin() + 4,
                                                               [](uint8_t b) { return b == 50; });
    if (!sound) {
      os_log(ILDefaultLog(),
             "Detected the current OS's ImageIO PNG Decoder is buggy on indexed color PNG. "
             "Perform workaround solution...");
    }
    return !sound;
  }();
  return buggy;
}

template <typename T>
std::shared_ptr<T> sharedInstance() {
  static const std::shared_ptr<T> coder = std::make_shared<T>();
  return coder;
}

}  // namespace

// ---------------------------------------------------------------------------
// Shared helpers of both ImageIO coders.

std::optional<std::string> ILImageIOCoding::typeHint(const Value& options) {
  if (const Value* hint = options.find(kILImageCoderDecodeTypeIdentifierHint)) {
    if (hint->isString() && !hint->asString().empty()) return hint->asString();
    return std::nullopt;  // the null object: no hint at all
  }
  const Value* extension = options.find(kILImageCoderDecodeFileExtensionHint);
  if (!extension || !extension->isString() || extension->asString().empty()) return std::nullopt;
  const UTType type = UTType::typeWithFilenameExtension(extension->asString(), kUTTypeImage);
  if (type.isDynamic()) return std::nullopt;
  return type.identifier();
}

namespace {

struct HandedSourceSlot {
  const NSData* data = nullptr;
  CGImageSourceRef source;
};
thread_local HandedSourceSlot tlsHandedSource;

}  // namespace

ILImageIOCoding::HandedSource::HandedSource(const NSDataPtr& data, CGImageSourceRef source)
    : previousData_(tlsHandedSource.data), previousSource_(std::move(tlsHandedSource.source)) {
  tlsHandedSource.data = source ? data.get() : nullptr;
  tlsHandedSource.source = std::move(source);
}

ILImageIOCoding::HandedSource::~HandedSource() {
  tlsHandedSource.data = previousData_;
  tlsHandedSource.source = std::move(previousSource_);
}

namespace {

CGImageSourceRef takeHandedSource(const NSDataPtr& data) {
  HandedSourceSlot& handed = tlsHandedSource;
  if (!data || handed.data != data.get() || !handed.source) return nullptr;
  handed.data = nullptr;
  return std::move(handed.source);
}

}  // namespace

CGImageSourceRef ILImageIOCoding::createSourceForOptions(const NSDataPtr& data,
                                                         const Value& decodeOptions) {
  if (CGImageSourceRef handed = takeHandedSource(data)) return handed;
  return createSource(data, typeHint(decodeOptions));
}

CGImageSourceRef ILImageIOCoding::createSource(const NSDataPtr& data,
                                               const std::optional<std::string>& hint) {
  if (CGImageSourceRef handed = takeHandedSource(data)) return handed;
  CGImageSourceRef source;
  if (hint) {
    source = CGImageSourceCreateWithData(data, Value::map({{kCGImageSourceTypeIdentifierHint, *hint}}));
  }
  if (!source) source = CGImageSourceCreateWithData(data);
  return source;
}

ValueMap ILImageIOCoding::encodeProperties(const CGImageRef& image, const Value& options) {
  ValueMap properties;
  const bool maxFileSize = ILImageCoderOptionUnsigned(options, kILImageCoderEncodeMaxFileSize, 0) > 0;
  if (!maxFileSize) {
    ValueMapSet(properties, Value(kCGImageDestinationLossyCompressionQuality),
                Value(ILImageCoderOptionDouble(options, kILImageCoderEncodeCompressionQuality, 1.0)));
  } else {
    // A requested size replaces the quality: the encoder searches for it.
    ValueMapSet(properties, Value(kCGImageDestinationRequestedFileSize),
                Value::integer(int64_t(ILImageCoderOptionUnsigned(
                    options, kILImageCoderEncodeMaxFileSize, 0))));
  }
  if (const Value* background = options.find(kILImageCoderEncodeBackgroundColor);
      background && !background->isNull()) {
    ValueMapSet(properties, Value(kCGImageDestinationBackgroundColor), *background);
  }
  if (animatedCoderAtLeast(18)) {
    const uint64_t hdr = ILImageCoderOptionUnsigned(options, kILImageCoderEncodeToHDR, 0);
    ValueMapSet(properties, Value(kCGImageDestinationEncodeRequest),
                Value(hdr == 1   ? kCGImageDestinationEncodeToISOHDR
                      : hdr == 2 ? kCGImageDestinationEncodeToISOGainmap
                                 : kCGImageDestinationEncodeToSDR));
  }
  const CGSize maxPixel = ILImageCoderOptionSize(options, kILImageCoderEncodeMaxPixelSize);
  const double W = double(image->width()), H = double(image->height());
  if (maxPixel.width > 0 && maxPixel.height > 0 && W > 0 && H > 0 &&
      !(maxPixel.width >= W && maxPixel.height >= H)) {
    const double r = W / H;
    const double edge = r > maxPixel.width / maxPixel.height
                            ? std::max(maxPixel.width, maxPixel.width / r)
                            : std::max(maxPixel.height, maxPixel.height * r);
    ValueMapSet(properties, Value(kCGImageDestinationImageMaxPixelSize), Value(edge));
  }
  ValueMapSet(properties, Value(kCGImageDestinationEmbedThumbnail),
              Value(ILImageCoderOptionBool(options, kILImageCoderEncodeEmbedThumbnail, false)));
  return properties;
}

void ILImageIOCoding::readPixelSize(const CGImageSourceRef& source, uint64_t& width,
                                    uint64_t& height) {
  CGImageSourceImageGeometry first;
  CGImageSourceGetGeometryAtIndex(source, 0, &first);
  width = first.frame.width;
  height = first.frame.height;
}

// `onWarning` is copyable: it runs for every warning.
void ILImageIOCoding::observeMemoryWarnings(NSObject* owner, std::function<void()> onWarning) {
  NSNotificationCenter::defaultCenter().addObserver(
      owner, UIApplicationDidReceiveMemoryWarningNotification, nullptr,
      [onWarning = std::move(onWarning)](const NSNotification&) { onWarning(); });
}

// ---------------------------------------------------------------------------
// Class-level configuration.

ILImageIOAnimatedCoder::~ILImageIOAnimatedCoder() {
  NSNotificationCenter::defaultCenter().removeObserver(this);
}

const ILImageIOAnimatedFormat& ILImageIOAnimatedCoder::format(const char* selector) const {
  if (!format_) mustOverride(selector);
  return *format_;
}

std::shared_ptr<ILImageIOAnimatedCoder> ILImageIOAnimatedCoder::makeInstance() const {
  mustOverride("init");
}

bool ILImageIOAnimatedCoder::canDecodeFromFormat(ILImageFormatCode format) {
  static const std::vector<std::string> types = CGImageSourceCopyTypeIdentifiers();
  return typeListed(format, types);
}

bool ILImageIOAnimatedCoder::canEncodeToFormatType(ILImageFormatCode format) {
  static const std::vector<std::string> types = CGImageDestinationCopyTypeIdentifiers();
  return typeListed(format, types);
}

uint64_t ILImageIOAnimatedCoder::imageLoopCountWithSource(const CGImageSourceRef& source) const {
  const Value properties = CGImageSourceCopyProperties(source);
  const Value* dictionary = properties.find(dictionaryProperty());
  const Value* loops = dictionary ? dictionary->find(loopCountProperty()) : nullptr;
  if (!loops || !loops->isNumber()) return defaultLoopCount();
  return uint64_t(std::max<int64_t>(0, loops->asInt64()));
}

double ILImageIOAnimatedCoder::frameDurationAtIndex(size_t index,
                                                    const CGImageSourceRef& source) const {
  const Value properties = CGImageSourceCopyPropertiesAtIndex(source, index);
  if (!properties.isMap()) return kDefaultFrameDuration;
  const Value* dictionary = properties.find(dictionaryProperty());
  const Value* delay = dictionary ? dictionary->find(unclampedDelayTimeProperty()) : nullptr;
  if (!delay || !delay->isNumber()) delay = dictionary ? dictionary->find(delayTimeProperty()) : nullptr;
  const double seconds = delay && delay->isNumber() ? delay->asDouble() : kDefaultFrameDuration;
  return seconds < 0.011 || !std::isfinite(seconds) ? kDefaultFrameDuration : seconds;
}

// ---------------------------------------------------------------------------
// Frame creation.

UIImagePtr ILImageIOAnimatedCoder::createFrameAtIndex(size_t index, const CGImageSourceRef& source,
                                                      double scale, bool preserveAspectRatio,
                                                      CGSize thumbnailSize, bool lazyDecode,
                                                      bool animatedImage, bool decodeToHDR) {
  if (!source) return nullptr;
  ValueMap options;
  if (animatedImage) {
    ValueMapSet(options, Value(kCGImageSourceShouldCacheImmediately), Value(!lazyDecode));
  }
  CGImageSourceImageGeometry geometry;
  CGImageSourceGetGeometryAtIndex(source, index, &geometry);
  const double pixelWidth = double(geometry.frame.width);
  const double pixelHeight = double(geometry.frame.height);
  uint32_t exifOrientation =
      geometry.frame.orientation > 0 ? uint32_t(geometry.frame.orientation) : 1;
  if (animatedCoderAtLeast(17)) {
    ValueMapSet(options, Value(kCGImageSourceDecodeRequest),
                Value(decodeToHDR ? kCGImageSourceDecodeToHDR : kCGImageSourceDecodeToSDR));
  }
  const bool fullSize = thumbnailSize.width == 0 || thumbnailSize.height == 0 || pixelWidth == 0 ||
                        pixelHeight == 0 ||
                        (pixelWidth <= thumbnailSize.width && pixelHeight <= thumbnailSize.height);
  CGImageRef image;
  if (fullSize) {
    image = CGImageSourceCreateImageAtIndex(source, index, Value(options));
  } else {
    ValueMapSet(options, Value(kCGImageSourceCreateThumbnailWithTransform), Value(preserveAspectRatio));
    ValueMapSet(options, Value(kCGImageSourceCreateThumbnailFromImageAlways), Value(true));
    ValueMapSet(options, Value(kCGImageSourceThumbnailMaxPixelSize),
                Value(thumbnailMaxPixelSize(pixelWidth, pixelHeight, thumbnailSize,
                                            preserveAspectRatio)));
    image = CGImageSourceCreateThumbnailAtIndex(source, index, Value(options));
  }
  if (!image) return nullptr;
  const bool isHDR = ILImageCoderHelper::CGImageIsHDR(image);
  if (!fullSize) {
    if (preserveAspectRatio) {
      exifOrientation = 1;  // the thumbnail is already turned upright
    } else if (CGImageRef exact = ILImageCoderHelper::CGImageCreateScaled(image, thumbnailSize)) {
      image = exact;
    }
  }
  bool lazy = ILImageCoderHelper::CGImageIsLazy(image);
  if (!lazyDecode && !isHDR && lazy) {
    if (CGImageRef decoded = ILImageCoderHelper::CGImageCreateDecoded(image)) {
      decoded->setUTType(image->utType());
      image = decoded;
      lazy = false;
    } else if (image->hasNoPixels()) {
      return nullptr;  // decoded now and failed: no frame
    }
  }
  // Lazy bitmaps of the stand-in keep their own decoder snapshot, so frames
  // of a provider are already independent of the source's cache.
  if (il_imageFormatFromUTType(CGImageSourceGetType(source)) == ILImageFormatPNG &&
      image->bitsPerComponent() == 8 && animatedCoderAtLeast(17) &&
      pngPluginBuggyNeedWorkaround()) {
    const uint32_t info = image->bitmapInfo();
    const uint32_t alpha = info & kCGBitmapAlphaInfoMask;
    const uint32_t kept = info & 0x7100;
    if (alpha == kCGImageAlphaLast) image = withBitmapInfo(image, kept | kCGImageAlphaPremultipliedLast);
    if (alpha == kCGImageAlphaFirst) image = withBitmapInfo(image, kept | kCGImageAlphaPremultipliedFirst);
  }
  auto result = UIImage::imageWithCGImage(
      image, scale,
      UIImageOrientation(ILImageCoderHelper::imageOrientationFromEXIFOrientation(exifOrientation)));
  if (result) il_setIsDecoded(*result, !lazy);
  return result;
}

// ---------------------------------------------------------------------------
// Options.

ILImageIOAnimatedCoder::DecodeSettings ILImageIOAnimatedCoder::readOptions(const Value& options,
                                                                           bool lazyDefault) {
  DecodeSettings s;
  s.scale = ILImageCoderOptionScale(options);
  s.thumbnailSize = ILImageCoderOptionSize(options, kILImageCoderDecodeThumbnailPixelSize);
  s.preserveAspectRatio =
      ILImageCoderOptionBool(options, kILImageCoderDecodePreserveAspectRatio, true);
  s.lazyDecode = ILImageCoderOptionBool(options, kILImageCoderDecodeUseLazyDecoding, lazyDefault);
  s.limitBytes = ILImageCoderOptionUnsigned(options, kILImageCoderDecodeScaleDownLimitBytes, 0);
  s.decodeToHDR = ILImageCoderOptionBool(options, kILImageCoderDecodeToHDR, false);
  return s;
}

void ILImageIOAnimatedCoder::applyLimitBytes() {
  if (settings_.limitBytes == 0) return;
  uint64_t frames;
  {
    MutexLock lock(lock_);
    frames = frameCount_;
  }
  settings_.thumbnailSize = ILImageCoderHelper::scaledSizeWithImageSize(
      CGSizeMake(double(width_), double(height_)), settings_.limitBytes, 4, frames);
  settings_.preserveAspectRatio = true;
}

void ILImageIOAnimatedCoder::observeMemoryWarnings() {
  ILImageIOCoding::observeMemoryWarnings(
      this, WeakBind(WeakFromThis(this), [](ILImageIOAnimatedCoder& coder) {
        coder.didReceiveMemoryWarning();
      }));
}

// ---------------------------------------------------------------------------
// One-shot decoding and the coder questions.

bool ILImageIOAnimatedCoder::canDecodeFromData(const NSDataPtr& data) const {
  return il_imageFormatForImageData(data) == imageFormat();
}

bool ILImageIOAnimatedCoder::canEncodeToFormat(ILImageFormatCode format) const {
  return format == imageFormat();
}

UIImagePtr ILImageIOAnimatedCoder::decodedImageWithData(const NSDataPtr& data,
                                                        const Value& options) const {
  if (!data) return nullptr;
  DecodeSettings s = readOptions(options, true);
  CGImageSourceRef source = ILImageIOCoding::createSourceForOptions(data, options);
  if (!source) return nullptr;
  CGImageSourceImageGeometry first;
  CGImageSourceGetGeometryAtIndex(source, 0, &first);
  const size_t count = first.count;
  const double width = double(first.frame.width);
  const double height = double(first.frame.height);
  if (s.limitBytes > 0) {
    s.thumbnailSize = ILImageCoderHelper::scaledSizeWithImageSize(CGSizeMake(width, height),
                                                                  s.limitBytes, 4, count);
    s.preserveAspectRatio = true;
  }
  const bool firstOnly = ILImageCoderOptionBool(options, kILImageCoderDecodeFirstFrameOnly, false);
  if (!firstOnly && count > 1 && decodesEveryFrameNow(s.lazyDecode, s.thumbnailSize, width, height) &&
      double(count) * width * height > double(kILImageIOAnimatedMaxUpFrontPixels)) {
    return nullptr;
  }
  UIImagePtr result;
  if (firstOnly || count <= 1) {
    result = createFrameAtIndex(0, source, s.scale, s.preserveAspectRatio, s.thumbnailSize,
                                s.lazyDecode, false, s.decodeToHDR);
  } else {
    std::vector<ILImageFrame> frames;
    for (size_t i = 0; i < count; ++i) {
      UIImagePtr frame = createFrameAtIndex(i, source, s.scale, s.preserveAspectRatio,
                                            s.thumbnailSize, s.lazyDecode, false, s.decodeToHDR);
      if (frame) frames.push_back(ILImageFrame::frameWithImage(frame, frameDurationAtIndex(i, source)));
    }
    result = ILImageCoderHelper::animatedImageWithFrames(frames);
    if (result) il_setImageLoopCount(*result, imageLoopCountWithSource(source));
  }
  if (result) il_setImageFormat(*result, imageFormat());
  return result;
}

// ---------------------------------------------------------------------------
// Progressive decoding.

std::shared_ptr<ILProgressiveImageCoder> ILImageIOAnimatedCoder::initIncrementalWithOptions(
    const Value& options) const {
  std::shared_ptr<ILImageIOAnimatedCoder> coder = makeInstance();
  coder->imageSource_ = CGImageSourceCreateIncremental(
      Value::map({{kCGImageSourceTypeIdentifierHint, imageUTType()}}));
  coder->incremental_ = true;
  coder->settings_ = readOptions(options, false);
  coder->observeMemoryWarnings();
  return coder;
}

void ILImageIOAnimatedCoder::updateIncrementalData(const NSDataPtr& data, bool finished) {
  NSParameterAssert(incremental_);
  if (finished_) return;
  imageData_ = data;
  // Only a finished update ends the decode: partial chunks keep it open.
  finished_ = finished;
  CGImageSourceUpdateData(imageSource_, data, finished);
  if (width_ + height_ == 0) ILImageIOCoding::readPixelSize(imageSource_, width_, height_);
  scanAndCheckFramesValidWithImageSource(imageSource_);
  applyLimitBytes();
}

UIImagePtr ILImageIOAnimatedCoder::incrementalDecodedImageWithOptions(const Value& options) {
  NSParameterAssert(incremental_);
  if (width_ + height_ == 0) return nullptr;
  const double scale = options.find(kILImageCoderDecodeScaleFactor)
                           ? ILImageCoderOptionScale(options)
                           : settings_.scale;
  UIImagePtr image = createFrameAtIndex(0, imageSource_, scale, settings_.preserveAspectRatio,
                                        settings_.thumbnailSize, settings_.lazyDecode, false,
                                        finished_ && settings_.decodeToHDR);
  if (image) il_setImageFormat(*image, imageFormat());
  return image;
}

// ---------------------------------------------------------------------------
// Frame provider.

std::shared_ptr<ILAnimatedImageCoder> ILImageIOAnimatedCoder::initWithAnimatedImageData(
    const NSDataPtr& data, const Value& options) const {
  if (!data) return nullptr;
  CGImageSourceRef source = CGImageSourceCreateWithData(data);
  if (!source) return nullptr;
  std::shared_ptr<ILImageIOAnimatedCoder> coder = makeInstance();
  if (!coder->scanAndCheckFramesValidWithImageSource(source)) return nullptr;
  coder->settings_ = readOptions(options, false);
  ILImageIOCoding::readPixelSize(source, coder->width_, coder->height_);
  coder->applyLimitBytes();
  coder->imageSource_ = source;
  coder->imageData_ = data;
  coder->observeMemoryWarnings();
  return coder;
}

bool ILImageIOAnimatedCoder::scanAndCheckFramesValidWithImageSource(
    const CGImageSourceRef& source) {
  if (!source) return false;
  loopCount_ = imageLoopCountWithSource(source);
  const size_t count = CGImageSourceGetCount(source);
  std::vector<ILImageIOCoderFrame> frames;
  frames.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    frames.push_back(ILImageIOCoderFrame{i, frameDurationAtIndex(i, source)});
  }
  if (frames.size() != CGImageSourceGetCount(source)) return false;
  MutexLock lock(lock_);
  frameCount_ = frames.size();
  frames_ = std::move(frames);
  return true;
}

NSDataPtr ILImageIOAnimatedCoder::animatedImageData() const { return imageData_; }
uint64_t ILImageIOAnimatedCoder::animatedImageLoopCount() const { return loopCount_; }

uint64_t ILImageIOAnimatedCoder::animatedImageFrameCount() const {
  MutexLock lock(lock_);
  return frameCount_;
}

double ILImageIOAnimatedCoder::animatedImageDurationAtIndex(uint64_t index) const {
  MutexLock lock(lock_);
  return index < frames_.size() ? frames_[index].duration : 0;
}

UIImagePtr ILImageIOAnimatedCoder::animatedImageFrameAtIndex(uint64_t index) const {
  // A provider's table never changes; an incremental instance's does, so its
  // decode runs under the lock as well.
  MutexLock lock(lock_);
  if (index >= frames_.size()) return nullptr;
  if (!incremental_) lock.unlock();
  return safeAnimatedImageFrameAtIndex(index);
}

UIImagePtr ILImageIOAnimatedCoder::safeAnimatedImageFrameAtIndex(uint64_t index) const {
  UIImagePtr image = createFrameAtIndex(size_t(index), imageSource_, settings_.scale,
                                        settings_.preserveAspectRatio, settings_.thumbnailSize,
                                        settings_.lazyDecode, true,
                                        settings_.decodeToHDR && (!incremental_ || finished_));
  if (image) il_setImageFormat(*image, imageFormat());
  return image;
}

void ILImageIOAnimatedCoder::didReceiveMemoryWarning() {
  if (!imageSource_) return;
  const uint64_t count = animatedImageFrameCount();
  for (uint64_t i = 0; i < count; ++i) CGImageSourceRemoveCacheAtIndex(imageSource_, size_t(i));
}

// ---------------------------------------------------------------------------
// Encoding.

NSDataPtr ILImageIOAnimatedCoder::encodedDataWithImage(const UIImagePtr& image,
                                                       ILImageFormatCode format,
                                                       const Value& options) const {
  if (!image || format != imageFormat()) return nullptr;
  std::vector<ILImageFrame> frames =
      ILImageCoderHelper::framesFromAnimatedImage(image).value_or(std::vector<ILImageFrame>{});
  if (frames.empty()) frames.push_back(ILImageFrame::frameWithImage(image, 0));
  return encodedDataWithFrames(frames, il_imageLoopCount(*image), format, options);
}

NSDataPtr ILImageIOAnimatedCoder::encodedDataWithFrames(const std::vector<ILImageFrame>& frames,
                                                        uint64_t loopCount,
                                                        ILImageFormatCode /*format*/,
                                                        const Value& options) const {
  if (frames.empty() || !frames[0].image || !frames[0].image->CGImage()) return nullptr;
  const UIImagePtr& first = frames[0].image;
  const bool single =
      ILImageCoderOptionBool(options, kILImageCoderEncodeFirstFrameOnly, false) || frames.size() < 2;
  auto buffer = std::make_shared<Bytes>();
  CGImageDestinationRef destination = CGImageDestinationCreateWithData(
      buffer, single ? imageUTType() : animatedImageUTType(), single ? 1 : frames.size());
  if (!destination) return nullptr;
  ValueMap properties = ILImageIOCoding::encodeProperties(first->CGImage(), options);
  const uint32_t exif =
      ILImageCoderHelper::exifOrientationFromImageOrientation(first->imageOrientation());
  if (exif != 1) {
    ValueMapSet(properties, Value(kCGImagePropertyOrientation), Value(int64_t(exif)));
  }
  if (single) {
    CGImageDestinationAddImage(destination, first->CGImage(), Value(properties));
  } else {
    CGImageDestinationSetProperties(
        destination,
        Value(ValueMap{{Value(dictionaryProperty()),
                        Value(ValueMap{{Value(loopCountProperty()),
                                        Value::integer(int64_t(loopCount))}})}}));
    for (const ILImageFrame& frame : frames) {
      if (!frame.image || !frame.image->CGImage()) continue;
      ValueMap frameProperties = properties;
      ValueMapSet(frameProperties, Value(dictionaryProperty()),
                  Value(ValueMap{{Value(delayTimeProperty()), Value(frame.duration)}}));
      CGImageDestinationAddImage(destination, frame.image->CGImage(), Value(frameProperties));
    }
  }
  if (!CGImageDestinationFinalize(destination) || buffer->empty()) return nullptr;
  return NSData::dataWithBytes(std::move(*buffer));
}

// ---------------------------------------------------------------------------
// Subclasses.

namespace {

const ILImageIOAnimatedFormat kGIF{ILImageFormatGIF,
                                   kUTTypeGIF,
                                   kUTTypeGIF,
                                   kCGImagePropertyGIFDictionary,
                                   kCGImagePropertyGIFUnclampedDelayTime,
                                   kCGImagePropertyGIFDelayTime,
                                   kCGImagePropertyGIFLoopCount,
                                   1};
const ILImageIOAnimatedFormat kAPNG{ILImageFormatPNG,
                                    kUTTypePNG,
                                    kUTTypePNG,
                                    kCGImagePropertyPNGDictionary,
                                    kCGImagePropertyAPNGUnclampedDelayTime,
                                    kCGImagePropertyAPNGDelayTime,
                                    kCGImagePropertyAPNGLoopCount,
                                    0};
const ILImageIOAnimatedFormat kHEIC{ILImageFormatHEIC,
                                    kUTTypeHEIC,
                                    kUTTypeHEICS,
                                    kCGImagePropertyHEICSDictionary,
                                    kCGImagePropertyHEICSUnclampedDelayTime,
                                    kCGImagePropertyHEICSDelayTime,
                                    kCGImagePropertyHEICSLoopCount,
                                    0};
const ILImageIOAnimatedFormat kAWebP{ILImageFormatWebP,
                                     kUTTypeWebP,
                                     kUTTypeWebP,
                                     kCGImagePropertyWebPDictionary,
                                     kCGImagePropertyWebPUnclampedDelayTime,
                                     kCGImagePropertyWebPDelayTime,
                                     kCGImagePropertyWebPLoopCount,
                                     0};

}  // namespace

ILImageGIFCoder::ILImageGIFCoder() : ILImageIOAnimatedCoder(&kGIF) {}
std::shared_ptr<ILImageGIFCoder> ILImageGIFCoder::sharedCoder() {
  return sharedInstance<ILImageGIFCoder>();
}
std::shared_ptr<ILImageIOAnimatedCoder> ILImageGIFCoder::makeInstance() const {
  return std::make_shared<ILImageGIFCoder>();
}

ILImageAPNGCoder::ILImageAPNGCoder() : ILImageIOAnimatedCoder(&kAPNG) {}
std::shared_ptr<ILImageAPNGCoder> ILImageAPNGCoder::sharedCoder() {
  return sharedInstance<ILImageAPNGCoder>();
}
std::shared_ptr<ILImageIOAnimatedCoder> ILImageAPNGCoder::makeInstance() const {
  return std::make_shared<ILImageAPNGCoder>();
}

ILImageHEICCoder::ILImageHEICCoder() : ILImageIOAnimatedCoder(&kHEIC) {}
std::shared_ptr<ILImageHEICCoder> ILImageHEICCoder::sharedCoder() {
  return sharedInstance<ILImageHEICCoder>();
}
bool ILImageHEICCoder::canDecodeFromData(const NSDataPtr& data) const {
  const ILImageFormatCode format = il_imageFormatForImageData(data);
  return (format == ILImageFormatHEIC || format == ILImageFormatHEIF) && canDecodeFromFormat(format);
}
bool ILImageHEICCoder::canEncodeToFormat(ILImageFormatCode format) const {
  return (format == ILImageFormatHEIC || format == ILImageFormatHEIF) &&
         canEncodeToFormatType(format);
}
std::shared_ptr<ILImageIOAnimatedCoder> ILImageHEICCoder::makeInstance() const {
  return std::make_shared<ILImageHEICCoder>();
}

ILImageAWebPCoder::ILImageAWebPCoder() : ILImageIOAnimatedCoder(&kAWebP) {}
std::shared_ptr<ILImageAWebPCoder> ILImageAWebPCoder::sharedCoder() {
  return sharedInstance<ILImageAWebPCoder>();
}
bool ILImageAWebPCoder::canDecodeFromData(const NSDataPtr& data) const {
  return il_imageFormatForImageData(data) == ILImageFormatWebP &&
         canDecodeFromFormat(ILImageFormatWebP);
}
bool ILImageAWebPCoder::canEncodeToFormat(ILImageFormatCode format) const {
  return format == ILImageFormatWebP && canEncodeToFormatType(format);
}
std::shared_ptr<ILImageIOAnimatedCoder> ILImageAWebPCoder::makeInstance() const {
  return std::make_shared<ILImageAWebPCoder>();
}
