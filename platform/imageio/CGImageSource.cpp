#include "CGImageSource.h"

#include <algorithm>
#include <atomic>
#include <string_view>

#include "platform/foundation/Mutex.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/imageio/internal/JPEGDecoder.h"

struct CGImageSource::Decoder {
  Mutex mutex;  // guards the decoding and the canvas below
  // Set before the box is shared, then only used under the lock.
  std::unique_ptr<ImageDecoder> decoder;
  // The last animation frame decoded, shared with the image showing it: the
  // next frame is drawn over it, in place once that image is gone.
  std::shared_ptr<ImageBitmap> canvas GUARDED_BY(mutex);
  size_t canvasFrame GUARDED_BY(mutex) = ImageDecoder::kNoFrame;

  std::shared_ptr<const Bytes> decode(size_t index, uint32_t width, uint32_t height);
  // A still frame read scaled down to width x height, its full-size bitmap
  // never made.
  std::shared_ptr<const Bytes> decodeScaled(size_t index, uint32_t width, uint32_t height);
  // The frame at full size, drawn on from the kept canvas when that holds an
  // earlier frame, and kept as the canvas of an animation. Called with the
  // lock held; nullptr when the frame cannot be decoded.
  std::shared_ptr<ImageBitmap> drawFrame(size_t index) REQUIRES(mutex);
  std::shared_ptr<const Bytes> decodeRows(size_t index, size_t first, size_t count);
  // Takes over the canvas of the decoder `older` made from less of the same
  // data, when its frame had all its data there (so it reads the same now).
  void adoptCanvas(Decoder& older);
};

void CGImageSource::Decoder::adoptCanvas(Decoder& older) {
  MutexLock mine(mutex);  // not yet shared: taken for the analysis, never contended
  MutexLock lock(older.mutex);
  if (!older.canvas || older.canvasFrame >= decoder->frameCount() ||
      older.decoder->bytes().size() > decoder->bytes().size() ||
      older.decoder->frameStatus(older.canvasFrame) != kCGImageStatusComplete ||
      std::string_view(older.decoder->typeIdentifier()) != decoder->typeIdentifier()) {
    return;
  }
  canvas = std::move(older.canvas);
  canvasFrame = older.canvasFrame;
  older.canvasFrame = ImageDecoder::kNoFrame;
}

std::shared_ptr<const Bytes> CGImageSource::Decoder::decodeRows(size_t index, size_t first,
                                                                size_t count) {
  MutexLock lock(mutex);
  if (first > UINT32_MAX || count > UINT32_MAX) return nullptr;
  auto band = decoder->decodeRows(index, uint32_t(first), uint32_t(count));
  return band ? std::shared_ptr<const Bytes>(band, &band->pixels) : nullptr;
}

std::shared_ptr<ImageBitmap> CGImageSource::Decoder::drawFrame(size_t index) {
  // Asked again (a slot repeating the frame, a redraw): the same pixels.
  if (canvas && canvasFrame == index) return canvas;
  std::shared_ptr<ImageBitmap> bitmap;
  size_t prior = ImageDecoder::kNoFrame;
  if (canvas && canvasFrame < index) {
    // Images are immutable: a canvas another image still shows is copied.
    // The fence orders the last reader's accesses (its release of the
    // count) before the writes that follow.
    const bool alone = canvas.use_count() == 1;
    std::atomic_thread_fence(std::memory_order_acquire);
    bitmap = alone ? std::move(canvas) : std::make_shared<ImageBitmap>(*canvas);
    prior = canvasFrame;
  } else {
    bitmap = std::make_shared<ImageBitmap>();
  }
  canvas.reset();
  canvasFrame = ImageDecoder::kNoFrame;
  if (!decoder->decodeFrame(index, *bitmap, prior)) return nullptr;
  if (decoder->frameCount() > 1) {
    canvas = bitmap;
    canvasFrame = index;
  }
  return bitmap;
}

// Pixels of a frame at the size its image announced.
std::shared_ptr<const Bytes> CGImageSource::Decoder::decode(size_t index, uint32_t width,
                                                            uint32_t height) {
  MutexLock lock(mutex);
  std::shared_ptr<ImageBitmap> bitmap = drawFrame(index);
  if (!bitmap) return nullptr;
  if (bitmap->width != width || bitmap->height != height) {
    return std::make_shared<const Bytes>(ImageBitmapResized(*bitmap, width, height).pixels);
  }
  return std::shared_ptr<const Bytes>(bitmap, &bitmap->pixels);
}

std::shared_ptr<const Bytes> CGImageSource::Decoder::decodeScaled(size_t index, uint32_t width,
                                                                  uint32_t height) {
  MutexLock lock(mutex);
  auto bitmap = std::make_shared<ImageBitmap>();
  const bool decoded = decoder->decodeFrameScaled(index, width, height, *bitmap);
  // A lazy image keeps its decoder for as long as it lives: nothing decoded
  // for another size stays with it.
  decoder->dropScaledDecode();
  if (!decoded) return nullptr;
  return std::shared_ptr<const Bytes>(bitmap, &bitmap->pixels);
}

namespace {

bool BoolOption(const Value& options, const char* key, bool fallback = false) {
  const Value* v = options.find(key);
  return v && (v->isBool() || v->isNumber()) ? v->asBool() || v->asDouble() != 0 : fallback;
}

int FrameOrientation(const ValueMap& props) {
  const Value* v = ValueMapFind(props, kCGImagePropertyOrientation);
  const int o = v && v->isNumber() ? int(v->asInt64()) : 1;
  return o >= 1 && o <= 8 ? o : 1;
}

uint32_t IntProperty(const ValueMap& props, const char* key) {
  const Value* v = ValueMapFind(props, key);
  return v && v->isNumber() ? uint32_t(std::max<int64_t>(0, v->asInt64())) : 0;
}

bool IsReadableType(const std::string& type) {
  const auto& types = ImageDecoderTypeIdentifiers();
  return std::find(types.begin(), types.end(), type) != types.end();
}

}  // namespace

CGImageSource::CGImageSource(bool incremental, Value options)
    : incremental_(incremental), options_(std::make_shared<const Value>(std::move(options))) {}

bool CGImageSource::update(std::shared_ptr<const Bytes> data, bool final) {
  MutexLock lock(mutex_);
  if (final_) return decoder_ != nullptr;
  final_ = final;
  dataSize_ = data ? data->size() : 0;
  data_ = data;
  CGImageSourceStatus status = kCGImageStatusReadingHeader;
  auto decoder = ImageDecoderCreate(std::move(data), final, status);
  status_ = status;
  if (!decoder) {
    // An incremental source keeps what it could read until better data
    // comes; a refused last update ends it, as a refused whole file would.
    if (!incremental_ || final) decoder_.reset();
    return false;
  }
  auto box = std::make_shared<Decoder>();
  box->decoder = std::move(decoder);
  // More of the same data: the next frame goes on from the last one drawn.
  if (decoder_) box->adoptCanvas(*decoder_);
  decoder_ = std::move(box);
  return true;
}

bool CGImageSource::open(std::shared_ptr<const ImageFileBytes> file) {
  MutexLock lock(mutex_);
  final_ = true;
  dataSize_ = file->size();
  file_ = file;
  CGImageSourceStatus status = kCGImageStatusReadingHeader;
  auto decoder = ImageDecoderCreateForFile(std::move(file), status);
  status_ = status;
  if (!decoder) return false;
  decoder_ = std::make_shared<Decoder>();
  decoder_->decoder = std::move(decoder);
  return true;
}

std::shared_ptr<CGImageSource::Decoder> CGImageSource::decoder() const {
  MutexLock lock(mutex_);
  return decoder_;
}

std::shared_ptr<const Bytes> CGImageSource::data() const {
  MutexLock lock(mutex_);
  if (file_) {
    auto copy = std::make_shared<const Bytes>(file_->data(), file_->data() + file_->size());
    return file_->cutShort() ? nullptr : copy;
  }
  return data_;
}

std::string CGImageSource::type() const {
  auto d = decoder();
  return d ? d->decoder->typeIdentifier() : std::string();
}

size_t CGImageSource::count() const {
  auto d = decoder();
  if (!d) return 0;
  MutexLock lock(d->mutex);
  return d->decoder->frameCount();
}

CGImageSourceStatus CGImageSource::status() const {
  MutexLock lock(mutex_);
  // A mapped file cut short under the source is bad data from then on.
  return file_ && file_->cutShort() ? kCGImageStatusInvalidData : status_;
}

CGImageSourceStatus CGImageSource::statusAtIndex(size_t index) const {
  auto d = decoder();
  if (!d) return status();
  MutexLock lock(d->mutex);
  if (d->decoder->cutShort()) return kCGImageStatusInvalidData;
  return d->decoder->frameStatus(index);
}

Value CGImageSource::properties() const {
  auto d = decoder();
  if (!d) return Value();
  ValueMap props;
  {
    MutexLock lock(d->mutex);
    props = d->decoder->containerProperties();
  }
  ValueMapSet(props, kCGImagePropertyFileSize, Value::integer(int64_t(d->decoder->bytes().size())));
  return Value(std::move(props));
}

Value CGImageSource::propertiesAtIndex(size_t index) const {
  auto d = decoder();
  if (!d) return Value();
  MutexLock lock(d->mutex);
  ValueMap props = d->decoder->frameProperties(index);
  return props.empty() ? Value() : Value(std::move(props));
}

bool CGImageSource::geometryAtIndex(size_t index, ImageFrameGeometry& out,
                                    size_t* frameCount) const {
  auto d = decoder();
  if (!d) return false;
  MutexLock lock(d->mutex);
  if (frameCount) *frameCount = d->decoder->frameCount();
  return d->decoder->frameGeometry(index, out);
}

CGImageRef CGImageSource::createImage(size_t index, const Value& options) const {
  auto d = decoder();
  if (!d) return nullptr;
  uint32_t width = 0, height = 0;
  bool hasAlpha = false;
  bool rowsOnTheirOwn = false;
  std::string type;
  {
    MutexLock lock(d->mutex);
    ImageFrameGeometry geometry;
    if (!d->decoder->frameGeometry(index, geometry) || d->decoder->cutShort()) return nullptr;
    rowsOnTheirOwn = d->decoder->canDecodeRows(index);
    width = geometry.width;
    height = geometry.height;
    hasAlpha = geometry.hasAlpha;
    type = d->decoder->typeIdentifier();
  }
  // Held to the limits by the bitmap that will be decoded: a still image too
  // large for them whole comes at the largest size within them.
  const uint32_t declaredWidth = width, declaredHeight = height;
  if (!ImageDecodedSize(declaredWidth, declaredHeight, width, height)) return nullptr;
  {
    // A lazy image of a frame that cannot be made would be answered as a
    // picture and only found empty when drawn or encoded.
    MutexLock lock(d->mutex);
    if (!d->decoder->canDecodeAt(index, width, height)) return nullptr;
  }
  const bool scaled = width != declaredWidth || height != declaredHeight;
  if (scaled) rowsOnTheirOwn = false;
  auto decode = [d, index, width, height, scaled] {
    return scaled ? d->decodeScaled(index, width, height) : d->decode(index, width, height);
  };
  const bool immediately = BoolOption(options, kCGImageSourceShouldCacheImmediately) ||
                           BoolOption(*options_, kCGImageSourceShouldCacheImmediately);
  CGImageRef image;
  if (immediately) {
    auto pixels = decode();
    if (!pixels) return nullptr;
    image = CGImage::create(width, height, 8, 32, size_t(width) * 4, ImageBitmapInfo(hasAlpha),
                            std::move(pixels));
  } else {
    CGImage::RowProvider rows;
    if (rowsOnTheirOwn) {
      rows = [d, index](size_t first, size_t count) { return d->decodeRows(index, first, count); };
    }
    image = CGImage::createLazy(width, height, 8, 32, size_t(width) * 4, ImageBitmapInfo(hasAlpha),
                                decode, "kCGColorSpaceSRGB", std::move(rows));
  }
  if (image) image->setUTType(type);
  return image;
}

CGImageRef CGImageSource::createThumbnail(size_t index, const Value& options) const {
  auto d = decoder();
  if (!d) return nullptr;
  const Value* maxValue = options.find(kCGImageSourceThumbnailMaxPixelSize);
  const double maxPixelSize = maxValue && maxValue->isNumber() ? maxValue->asDouble() : 0;
  const bool transform = BoolOption(options, kCGImageSourceCreateThumbnailWithTransform);
  const bool always = BoolOption(options, kCGImageSourceCreateThumbnailFromImageAlways);
  const bool ifAbsent = BoolOption(options, kCGImageSourceCreateThumbnailFromImageIfAbsent);
  ImageBitmap bitmap;
  int orientation = 1;
  std::string type;
  {
    MutexLock lock(d->mutex);
    ImageDecoder& decoder = *d->decoder;
    const ValueMap props = decoder.frameProperties(index);
    if (props.empty()) return nullptr;
    orientation = FrameOrientation(props);
    type = decoder.typeIdentifier();
    const Bytes embedded = always ? Bytes() : decoder.embeddedThumbnail(index);
    if (!embedded.empty() && JPEGDecodeStream(embedded.data(), embedded.size(), bitmap)) {
      // The stored thumbnail is used as it is, only ever made smaller.
    } else if (!always && !ifAbsent) {
      return nullptr;
    } else {
      // Scaled while decoding where the format can: only the thumbnail is
      // held to the size limits, not the image it is made from.
      uint32_t w = 0, h = 0;
      ImageBitmapFitSize(IntProperty(props, kCGImagePropertyPixelWidth),
                         IntProperty(props, kCGImagePropertyPixelHeight), maxPixelSize, w, h);
      if (decoder.frameCount() > 1) {
        // Frames of an animation are drawn on from the kept canvas, so a
        // thumbnail of every frame in turn costs what decoding each frame
        // costs, not a redraw from the first frame each time.
        std::shared_ptr<ImageBitmap> frame = d->drawFrame(index);
        if (!frame) return nullptr;
        ImageBitmapFitSize(frame->width, frame->height, maxPixelSize, w, h);
        bitmap = ImageBitmapResized(*frame, w, h);
        if (bitmap.empty()) return nullptr;
      } else {
        const bool decoded = decoder.decodeFrameScaled(index, w, h, bitmap);
        // Sources live as long as their owners like: what the decode made
        // stays for the next thumbnail only when they ask for it.
        if (!BoolOption(options, kCGImageSourceShouldCache)) decoder.dropScaledDecode();
        if (!decoded) return nullptr;
      }
    }
  }
  uint32_t w = 0, h = 0;
  ImageBitmapFitSize(bitmap.width, bitmap.height, maxPixelSize, w, h);
  if (w != bitmap.width || h != bitmap.height) bitmap = ImageBitmapResized(bitmap, w, h);
  if (transform) bitmap = ImageBitmapApplyingOrientation(bitmap, orientation);
  return ImageBitmapMakeCGImage(std::move(bitmap), type);
}

void CGImageSource::removeCache(size_t) {
  auto d = decoder();
  if (!d) return;
  MutexLock lock(d->mutex);
  d->decoder->dropCaches();
  d->canvas.reset();
  d->canvasFrame = ImageDecoder::kNoFrame;
}

CGImageSourceRef CGImageSourceCreateWithBytes(std::shared_ptr<const Bytes> data,
                                              const Value& options) {
  if (!data) return nullptr;
  const Value* hint = options.find(kCGImageSourceTypeIdentifierHint);
  if (hint && hint->isString() && !IsReadableType(hint->asString())) return nullptr;
  auto source = std::make_shared<CGImageSource>(false, options);
  if (!source->update(std::move(data), true)) return nullptr;
  return source;
}

CGImageSourceRef CGImageSourceCreateWithData(const NSDataPtr& data, const Value& options) {
  if (!data) return nullptr;
  // The bytes are shared with the data object, not copied.
  return CGImageSourceCreateWithBytes(std::shared_ptr<const Bytes>(data, &data->vector()), options);
}

CGImageSourceRef CGImageSourceCreateWithURL(const std::string& path, const Value& options) {
  // A large file of a format that decodes files in order is mapped rather
  // than read: a thumbnail of it then holds a little of it at a time, and
  // a file padded past its image is never read beyond what the decoder
  // needs.
  if (auto file = ImageFileBytes::open(path);
      file && ImageTypeMapsFile(ImageTypeOfData(file->data(), file->size()), file->size())) {
    const Value* hint = options.find(kCGImageSourceTypeIdentifierHint);
    if (hint && hint->isString() && !IsReadableType(hint->asString())) return nullptr;
    auto source = std::make_shared<CGImageSource>(false, options);
    return source->open(std::move(file)) ? source : nullptr;
  }
  auto data = NSData::dataWithContentsOfFile(path);
  return data ? CGImageSourceCreateWithData(data, options) : nullptr;
}

CGImageSourceRef CGImageSourceCreateIncremental(const Value& options) {
  return std::make_shared<CGImageSource>(true, options);
}

void CGImageSourceUpdateBytes(const CGImageSourceRef& source, std::shared_ptr<const Bytes> data,
                              bool final) {
  if (source && data) source->update(std::move(data), final);
}

void CGImageSourceUpdateData(const CGImageSourceRef& source, const NSDataPtr& data, bool final) {
  if (data)
    CGImageSourceUpdateBytes(source, std::shared_ptr<const Bytes>(data, &data->vector()), final);
}

std::string CGImageSourceGetType(const CGImageSourceRef& source) {
  return source ? source->type() : std::string();
}

size_t CGImageSourceGetCount(const CGImageSourceRef& source) {
  return source ? source->count() : 0;
}

CGImageSourceStatus CGImageSourceGetStatus(const CGImageSourceRef& source) {
  return source ? source->status() : kCGImageStatusInvalidData;
}

CGImageSourceStatus CGImageSourceGetStatusAtIndex(const CGImageSourceRef& source, size_t index) {
  return source ? source->statusAtIndex(index) : kCGImageStatusInvalidData;
}

Value CGImageSourceCopyProperties(const CGImageSourceRef& source, const Value&) {
  return source ? source->properties() : Value();
}

Value CGImageSourceCopyPropertiesAtIndex(const CGImageSourceRef& source, size_t index,
                                         const Value&) {
  return source ? source->propertiesAtIndex(index) : Value();
}

bool CGImageSourceGetGeometryAtIndex(const CGImageSourceRef& source, size_t index,
                                     CGImageSourceImageGeometry* out) {
  *out = {};
  return source && source->geometryAtIndex(index, out->frame, &out->count);
}

CGImageRef CGImageSourceCreateImageAtIndex(const CGImageSourceRef& source, size_t index,
                                           const Value& options) {
  return source ? source->createImage(index, options) : nullptr;
}

CGImageRef CGImageSourceCreateThumbnailAtIndex(const CGImageSourceRef& source, size_t index,
                                               const Value& options) {
  return source ? source->createThumbnail(index, options) : nullptr;
}

void CGImageSourceRemoveCacheAtIndex(const CGImageSourceRef& source, size_t index) {
  if (source) source->removeCache(index);
}

std::vector<std::string> CGImageSourceCopyTypeIdentifiers() {
  return ImageDecoderTypeIdentifiers();
}
