#include "CGImageDestination.h"

#include <algorithm>
#include <cmath>

#include "platform/coregraphics/CGColor.h"
#include "platform/foundation/NSData.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/imageio/internal/ImageEncoder.h"
#include "platform/imageio/internal/JPEGMetadataWriter.h"
#include "platform/imageio/internal/PNGBandWriter.h"

class CGImageDestination : public NSObject {
 public:
  CGImageDestination(std::shared_ptr<Bytes> data, std::string path, std::string type, size_t count,
                     Value options);

  void setProperties(const Value& properties);
  void addImage(const CGImageRef& image, const Value& properties);
  void addImageFromSource(const CGImageSourceRef& source, size_t index, const Value& properties);
  bool finalize();
  bool copyImageSource(const CGImageSourceRef& source, const Value& options);

  const std::string& type() const { return type_; }
  std::string className() const override { return "CGImageDestination"; }

 private:
  struct Pending {
    ImageBitmap bitmap;
    // A large image whose rows the encoder reads in place; `bitmap` then
    // holds its size and alpha alone until something needs its pixels copied.
    CGImageRef inPlace;
    Value properties;
  };
  bool readsInPlace(const CGImageRef& image) const;
  bool encode(Bytes& out);
  bool encodeAtQuality(const std::vector<EncodeFrame>& frames, EncodeSettings settings,
                       double quality, Bytes& out) const;

  std::shared_ptr<Bytes> data_;
  std::string path_;
  std::string type_;
  size_t declaredCount_;
  Value options_;
  ValueMap properties_;
  std::vector<Pending> images_;
  bool finalized_ = false;
  bool failed_ = false;
};

namespace {

constexpr double kDefaultQuality = 0.85;
constexpr int kFileSizeSearchSteps = 7;

// A value of the image's properties, else of the destination's.
const Value* Lookup(const Value& image, const ValueMap& container, const char* key) {
  if (const Value* v = image.find(key)) return v;
  return ValueMapFind(container, key);
}

// Per-format dictionary whose delay and loop keys apply to the type.
const char* AnimationDictionary(const std::string& type) {
  if (type == "com.compuserve.gif") return kCGImagePropertyGIFDictionary;
  if (type == "public.png") return kCGImagePropertyPNGDictionary;
  if (type == "org.webmproject.webp") return kCGImagePropertyWebPDictionary;
  return kCGImagePropertyHEICSDictionary;
}

double FrameDelay(const Value& props, const char* dictionary) {
  const Value* dict = props.find(dictionary);
  if (!dict || !dict->isMap()) return 0;
  for (const char* key : {"UnclampedDelayTime", "DelayTime"}) {
    const Value* v = dict->find(key);
    if (v && v->isNumber()) return v->asDouble();
  }
  return 0;
}

int OrientationOf(const Value& image, const ValueMap& container) {
  const Value* v = Lookup(image, container, kCGImagePropertyOrientation);
  if (!v) {
    const Value* tiff = Lookup(image, container, kCGImagePropertyTIFFDictionary);
    v = tiff ? tiff->find(kCGImagePropertyTIFFOrientation) : nullptr;
  }
  const int o = v && v->isNumber() ? int(v->asInt64()) : 0;
  return o >= 1 && o <= 8 ? o : 0;
}

void FlattenOnto(ImageBitmap& b, const Value* color) {
  double rgba[4] = {0, 0, 0, 1};
  if (color && color->isObject()) {
    if (auto c = color->objectAs<CGColor>()) c->getRGBA(rgba);
  }
  auto byte = [](double v) { return uint8_t(std::lround(std::clamp(v, 0.0, 1.0) * 255)); };
  ImageBitmapFlattenOnto(b, byte(rgba[0]), byte(rgba[1]), byte(rgba[2]));
}

}  // namespace

CGImageDestination::CGImageDestination(std::shared_ptr<Bytes> data, std::string path,
                                       std::string type, size_t count, Value options)
    : data_(std::move(data)),
      path_(std::move(path)),
      type_(std::move(type)),
      declaredCount_(count),
      options_(std::move(options)) {
  if (options_.isMap()) properties_ = options_.asMap();
}

void CGImageDestination::setProperties(const Value& properties) {
  if (!properties.isMap()) return;
  for (const auto& [k, v] : properties.asMap()) ValueMapSet(properties_, k, v);
}

// A single large PNG whose rows are R, G, B and a byte that says nothing, or
// R, G, B and straight alpha (a decoded canvas): the band writer reads them as
// they are, sparing a copy of the whole frame.
bool CGImageDestination::readsInPlace(const CGImageRef& image) const {
  if (!image || type_ != "public.png" || declaredCount_ != 1) return false;
  const CGImageAlphaInfo alpha = image->alphaInfo();
  const uint64_t w = image->width(), h = image->height();
  const auto data = image->pixelData();
  return image->bitsPerComponent() == 8 && image->bitsPerPixel() == 32 &&
         image->byteOrder() != kCGBitmapByteOrder32Little &&
         (alpha == kCGImageAlphaNoneSkipLast || alpha == kCGImageAlphaNone ||
          alpha == kCGImageAlphaLast) &&
         w * h >= kPNGBandWriterMinPixels && ImageSizeAllowed(w, h) && data &&
         data->size() >= CGImage::requiredBytes(h, 32, w, image->bytesPerRow());
}

void CGImageDestination::addImage(const CGImageRef& image, const Value& properties) {
  if (finalized_) return;
  Pending p;
  if (images_.size() < declaredCount_ && readsInPlace(image)) {
    p.inPlace = image;
    p.bitmap.width = uint32_t(image->width());
    p.bitmap.height = uint32_t(image->height());
    p.bitmap.hasAlpha = image->alphaInfo() == kCGImageAlphaLast;
  } else if (images_.size() >= declaredCount_ || !ImageBitmapFromCGImage(image, p.bitmap)) {
    failed_ = true;
    return;
  }
  p.properties = properties;
  images_.push_back(std::move(p));
}

void CGImageDestination::addImageFromSource(const CGImageSourceRef& source, size_t index,
                                            const Value& properties) {
  Value merged = CGImageSourceCopyPropertiesAtIndex(source, index);
  if (!merged.isMap()) {
    failed_ = true;
    return;
  }
  ValueMap map = merged.asMap();
  if (properties.isMap()) {
    for (const auto& [k, v] : properties.asMap()) ValueMapSet(map, k, v);
  }
  auto image = CGImageSourceCreateImageAtIndex(
      source, index, Value::map({{kCGImageSourceShouldCacheImmediately, true}}));
  if (!image) {
    failed_ = true;
    return;
  }
  addImage(image, Value(std::move(map)));
}

bool CGImageDestination::encodeAtQuality(const std::vector<EncodeFrame>& frames,
                                         EncodeSettings settings, double quality,
                                         Bytes& out) const {
  settings.quality = quality;
  return ImageEncode(type_, frames, settings, out);
}

bool CGImageDestination::encode(Bytes& out) {
  const Value& first = images_.front().properties;
  EncodeSettings settings;
  const Value* quality = Lookup(first, properties_, kCGImageDestinationLossyCompressionQuality);
  settings.quality =
      quality && quality->isNumber() ? std::clamp(quality->asDouble(), 0.0, 1.0) : kDefaultQuality;
  settings.orientation = OrientationOf(first, properties_);
  for (const char* key : {kCGImagePropertyTIFFDictionary, kCGImagePropertyExifDictionary,
                          kCGImagePropertyGPSDictionary}) {
    if (const Value* v = Lookup(first, properties_, key); v && v->isMap()) {
      ValueMapSet(settings.metadata, key, *v);
    }
  }
  if (const Value* dpi = Lookup(first, properties_, kCGImagePropertyDPIWidth))
    settings.dpiWidth = dpi->asDouble();
  if (const Value* dpi = Lookup(first, properties_, kCGImagePropertyDPIHeight))
    settings.dpiHeight = dpi->asDouble();
  const Value* embed = Lookup(first, properties_, kCGImageDestinationEmbedThumbnail);
  settings.embedThumbnail = embed && embed->asBool();
  const char* animation = AnimationDictionary(type_);
  if (const Value* dict = ValueMapFind(properties_, animation); dict && dict->isMap()) {
    if (const Value* loops = dict->find("LoopCount"); loops && loops->isNumber()) {
      settings.loopCount = uint32_t(std::clamp<int64_t>(loops->asInt64(), 0, 65535));
    }
  }
  const Value* maxSize = Lookup(first, properties_, kCGImageDestinationImageMaxPixelSize);
  const Value* background = Lookup(first, properties_, kCGImageDestinationBackgroundColor);
  const bool keepsAlpha = type_ != "public.jpeg";
  std::vector<EncodeFrame> frames;
  for (Pending& p : images_) {
    EncodeFrame f;
    f.bitmap = std::move(p.bitmap);  // finalize runs once
    f.delay = FrameDelay(p.properties, animation);
    const bool resize = maxSize && maxSize->isNumber() && maxSize->asDouble() > 0;
    if (p.inPlace && resize) {
      if (!ImageBitmapFromCGImage(p.inPlace, f.bitmap)) return false;
    } else if (p.inPlace) {
      f.rows = EncodeRows{p.inPlace->pixelData(), p.inPlace->bytesPerRow()};
    }
    if (resize) {
      uint32_t w = 0, h = 0;
      ImageBitmapFitSize(f.bitmap.width, f.bitmap.height, maxSize->asDouble(), w, h);
      f.bitmap = ImageBitmapResized(f.bitmap, w, h);
    }
    if (!keepsAlpha && f.bitmap.hasAlpha) {
      FlattenOnto(f.bitmap, background);
    }
    frames.push_back(std::move(f));
  }
  const Value* requested = Lookup(first, properties_, kCGImageDestinationRequestedFileSize);
  if (!requested || !requested->isNumber() || requested->asInt64() <= 0 ||
      !ImageEncoderIsLossy(type_)) {
    return ImageEncode(type_, frames, settings, out);
  }
  // The highest quality whose file fits the requested size, else the smallest file.
  const size_t limit = size_t(requested->asInt64());
  double lo = 0, hi = std::min(settings.quality, 0.99);
  Bytes best;
  if (!encodeAtQuality(frames, settings, lo, best)) return false;
  for (int i = 0; i < kFileSizeSearchSteps && best.size() <= limit; ++i) {
    const double mid = (lo + hi) / 2;
    Bytes attempt;
    if (!encodeAtQuality(frames, settings, mid, attempt)) return false;
    if (attempt.size() <= limit) {
      best = std::move(attempt);
      lo = mid;
    } else {
      hi = mid;
    }
  }
  out = std::move(best);
  return true;
}

bool CGImageDestination::finalize() {
  if (finalized_) return false;
  finalized_ = true;
  if (failed_ || images_.empty()) return false;
  Bytes out;
  if (!encode(out) || out.empty()) return false;
  if (!path_.empty()) return WriteFileAtomically(path_, out.data(), out.size());
  *data_ = std::move(out);
  return true;
}

bool CGImageDestination::copyImageSource(const CGImageSourceRef& source, const Value& options) {
  if (finalized_ || !images_.empty() || !source) {
    finalized_ = true;
    return false;
  }
  static const ValueMap kNone;
  const Value* given = options.find(kCGImageDestinationMetadata);
  const ValueMap& metadata = given && given->isMap() ? given->asMap() : kNone;
  const Value* mergeOption = options.find(kCGImageDestinationMergeMetadata);
  const bool merge = mergeOption && mergeOption->isBool() && mergeOption->asBool();
  auto bytes = source->data();
  if (type_ == "public.jpeg" && source->type() == "public.jpeg" && bytes) {
    finalized_ = true;
    Bytes out;
    if (!JPEGReplaceMetadata(bytes->data(), bytes->size(), metadata, merge, out)) return false;
    if (!path_.empty()) return WriteFileAtomically(path_, out.data(), out.size());
    *data_ = std::move(out);
    return true;
  }
  if (merge) {
    addImageFromSource(source, 0, Value(metadata));
  } else {
    addImage(CGImageSourceCreateImageAtIndex(source, 0, Value()), Value(metadata));
  }
  return finalize();
}

CGImageDestinationRef CGImageDestinationCreateWithData(std::shared_ptr<Bytes> data,
                                                       const std::string& type, size_t count,
                                                       const Value& options) {
  const auto& types = ImageEncoderTypeIdentifiers();
  if (!data || count == 0 || std::find(types.begin(), types.end(), type) == types.end()) {
    return nullptr;
  }
  return std::make_shared<CGImageDestination>(std::move(data), "", type, count, options);
}

CGImageDestinationRef CGImageDestinationCreateWithURL(const std::string& path,
                                                      const std::string& type, size_t count,
                                                      const Value& options) {
  if (path.empty()) return nullptr;
  auto dest = CGImageDestinationCreateWithData(std::make_shared<Bytes>(), type, count, options);
  if (!dest) return nullptr;
  return std::make_shared<CGImageDestination>(nullptr, path, type, count, options);
}

void CGImageDestinationSetProperties(const CGImageDestinationRef& dest, const Value& properties) {
  if (dest) dest->setProperties(properties);
}

void CGImageDestinationAddImage(const CGImageDestinationRef& dest, const CGImageRef& image,
                                const Value& properties) {
  if (dest) dest->addImage(image, properties);
}

void CGImageDestinationAddImageFromSource(const CGImageDestinationRef& dest,
                                          const CGImageSourceRef& source, size_t index,
                                          const Value& properties) {
  if (dest) dest->addImageFromSource(source, index, properties);
}

bool CGImageDestinationFinalize(const CGImageDestinationRef& dest) {
  return dest && dest->finalize();
}

std::vector<std::string> CGImageDestinationCopyTypeIdentifiers() {
  return ImageEncoderTypeIdentifiers();
}

bool CGImageDestinationCopyImageSource(const CGImageDestinationRef& dest,
                                       const CGImageSourceRef& source, const Value& options) {
  return dest && dest->copyImageSource(source, options);
}
