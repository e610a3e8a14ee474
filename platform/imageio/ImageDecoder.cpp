#include "ImageDecoder.h"

#include "platform/foundation/Value.h"
#include "platform/imageio/internal/BMPDecoder.h"
#include "platform/imageio/internal/GIFDecoder.h"
#include "platform/imageio/internal/HEIFDecoder.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/imageio/internal/JPEGDecoder.h"
#include "platform/imageio/PNGDecoder.h"
#include "platform/imageio/internal/TIFFDecoder.h"
#include "platform/imageio/internal/WebPDecoder.h"

namespace {

template <class Decoder>
std::unique_ptr<ImageDecoder> Make(const char* type, std::shared_ptr<const Bytes> data,
                                   bool complete) {
  return std::make_unique<Decoder>(type, std::move(data), complete);
}

const ImageDecoderDescriptor* DescriptorOf(const uint8_t* data, size_t size) {
  for (const ImageDecoderDescriptor& d : ImageDecoderRegistry()) {
    if (d.sniff(data, size, d.type)) return &d;
  }
  return nullptr;
}

bool Available(const ImageDecoderDescriptor& d) { return !d.available || d.available(d.type); }

}  // namespace

// Never destroyed: queue workers still decoding when the process exits read
// it after main has returned.
const std::vector<ImageDecoderDescriptor>& ImageDecoderRegistry() {
  static const auto* registry = new std::vector<ImageDecoderDescriptor>{
      {"public.jpeg", JPEGDecoder::sniff, Make<JPEGDecoder>},
      {"public.png", PNGDecoder::sniff, Make<PNGDecoder>},
      {"com.compuserve.gif", GIFDecoder::sniff, Make<GIFDecoder>},
      {"public.tiff", TIFFDecoder::sniff, Make<TIFFDecoder>},
      {"org.webmproject.webp", WebPDecoder::sniff, Make<WebPDecoder>},
      {"com.microsoft.bmp", BMPDecoder::sniff, Make<BMPDecoder>},
      {"public.heic", HEIFDecoder::sniff, Make<HEIFDecoder>, HEIFDecoder::canDecode},
      {"public.heics", HEIFDecoder::sniff, Make<HEIFDecoder>, HEIFDecoder::canDecode},
      {"public.heif", HEIFDecoder::sniff, Make<HEIFDecoder>, HEIFDecoder::canDecode},
      {"public.avif", HEIFDecoder::sniff, Make<HEIFDecoder>, HEIFDecoder::canDecode},
  };
  return *registry;
}

std::string ImageTypeOfData(const uint8_t* data, size_t size) {
  const ImageDecoderDescriptor* d = DescriptorOf(data, size);
  return d ? d->type : "";
}

const std::vector<std::string>& ImageDecoderTypeIdentifiers() {
  static const std::vector<std::string> types = [] {
    std::vector<std::string> t;
    for (const ImageDecoderDescriptor& d : ImageDecoderRegistry()) {
      if (Available(d)) t.push_back(d.type);
    }
    return t;
  }();
  return types;
}

std::unique_ptr<ImageDecoder> ImageDecoderCreate(std::shared_ptr<const Bytes> data, bool complete,
                                                 CGImageSourceStatus& status) {
  if (!data || data->empty()) {
    status = complete ? kCGImageStatusUnknownType : kCGImageStatusReadingHeader;
    return nullptr;
  }
  const ImageDecoderDescriptor* d = DescriptorOf(data->data(), data->size());
  if (!d || !Available(*d)) {
    // Too few bytes to tell the type yet is not the same as an unknown type.
    status =
        !complete && data->size() < 32 ? kCGImageStatusReadingHeader : kCGImageStatusUnknownType;
    return nullptr;
  }
  std::unique_ptr<ImageDecoder> decoder = d->create(d->type, std::move(data), complete);
  status = decoder->parse();
  if (status == kCGImageStatusInvalidData || status == kCGImageStatusReadingHeader ||
      status == kCGImageStatusUnknownType) {
    return nullptr;
  }
  return decoder;
}

ValueMap ImageDecoder::containerProperties() const { return onContainerProperties(); }

ValueMap ImageDecoder::onContainerProperties() const { return {}; }

ValueMap ImageDecoder::frameProperties(size_t index) const {
  return index < frameCount() ? onFrameProperties(index) : ValueMap();
}

CGImageSourceStatus ImageDecoder::frameStatus(size_t index) const {
  return index < frameCount() ? onFrameStatus(index) : kCGImageStatusUnknownType;
}

CGImageSourceStatus ImageDecoder::onFrameStatus(size_t) const {
  return complete_ ? kCGImageStatusComplete : kCGImageStatusIncomplete;
}

namespace {

// What every decode must give: a bitmap of its size, within the limits.
bool WellFormed(const ImageBitmap& b) {
  return ImageSizeAllowed(b.width, b.height) && b.pixels.size() == size_t(b.width) * b.height * 4;
}

}  // namespace

bool ImageDecoder::decodeFrame(size_t index, ImageBitmap& out, size_t prior) {
  return index < frameCount() && onDecodeFrame(index, out, prior < index ? prior : kNoFrame) &&
         WellFormed(out);
}

bool ImageDecoder::decodeFrameScaled(size_t index, uint32_t width, uint32_t height,
                                     ImageBitmap& out) {
  return index < frameCount() && ImageSizeAllowed(width, height) &&
         onDecodeFrameScaled(index, width, height, out) && WellFormed(out) &&
         out.width == width && out.height == height;
}

bool ImageDecoder::onDecodeFrameScaled(size_t index, uint32_t width, uint32_t height,
                                       ImageBitmap& out) {
  ImageBitmap full;
  if (!onDecodeFrame(index, full, kNoFrame) || !WellFormed(full)) return false;
  out = ImageBitmapResized(full, width, height);
  return !out.empty();
}

bool ImageDecoder::canDecodeRows(size_t index) const {
  return index < frameCount() && onCanDecodeRows(index);
}

std::shared_ptr<const ImageBitmap> ImageDecoder::decodeRows(size_t index, uint32_t first,
                                                            uint32_t count) {
  if (!canDecodeRows(index)) return nullptr;
  if (!rowReader_) rowReader_ = onMakeRowReader(index);
  if (!rowReader_) return nullptr;
  auto band = rowReader_->readRows(first, count);
  return band && WellFormed(*band) ? band : nullptr;
}

Bytes ImageDecoder::embeddedThumbnail(size_t index) const {
  return index < frameCount() ? onEmbeddedThumbnail(index) : Bytes();
}

ValueMap ImageFrameBaseProperties(uint32_t width, uint32_t height, bool hasAlpha,
                                  const char* colorModel, int depth) {
  ValueMap props;
  ValueMapSet(props, kCGImagePropertyPixelWidth, Value::integer(width));
  ValueMapSet(props, kCGImagePropertyPixelHeight, Value::integer(height));
  ValueMapSet(props, kCGImagePropertyDepth, Value::integer(depth));
  ValueMapSet(props, kCGImagePropertyHasAlpha, hasAlpha);
  ValueMapSet(props, kCGImagePropertyColorModel, colorModel);
  return props;
}
