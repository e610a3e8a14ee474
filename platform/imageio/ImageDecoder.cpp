#include "ImageDecoder.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/foundation/Value.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/imageio/PNGDecoder.h"
#include "platform/imageio/internal/BMPDecoder.h"
#include "platform/imageio/internal/GIFDecoder.h"
#include "platform/imageio/internal/HEIFDecoder.h"
#include "platform/imageio/internal/JPEGDecoder.h"
#include "platform/imageio/internal/TIFFDecoder.h"
#include "platform/imageio/internal/WebPDecoder.h"

namespace {

template <class Decoder>
std::unique_ptr<ImageDecoder> MakeForFile(const char* type,
                                          std::shared_ptr<const ImageFileBytes> file) {
  return std::make_unique<Decoder>(type, std::move(file));
}

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
      {"public.jpeg", JPEGDecoder::sniff, Make<JPEGDecoder>, nullptr, MakeForFile<JPEGDecoder>},
      {"public.png", PNGDecoder::sniff, Make<PNGDecoder>, nullptr, MakeForFile<PNGDecoder>},
      {"com.compuserve.gif", GIFDecoder::sniff, Make<GIFDecoder>, nullptr, MakeForFile<GIFDecoder>},
      {"public.tiff", TIFFDecoder::sniff, Make<TIFFDecoder>, nullptr, MakeForFile<TIFFDecoder>},
      {"org.webmproject.webp", WebPDecoder::sniff, Make<WebPDecoder>},
      {"com.microsoft.bmp", BMPDecoder::sniff, Make<BMPDecoder>},
      {"public.heic", HEIFDecoder::sniff, Make<HEIFDecoder>, HEIFDecoder::canDecode,
       MakeForFile<HEIFDecoder>, true},
      {"public.heics", HEIFDecoder::sniff, Make<HEIFDecoder>, HEIFDecoder::canDecode,
       MakeForFile<HEIFDecoder>, true},
      {"public.heif", HEIFDecoder::sniff, Make<HEIFDecoder>, HEIFDecoder::canDecode,
       MakeForFile<HEIFDecoder>, true},
      {"public.avif", HEIFDecoder::sniff, Make<HEIFDecoder>, HEIFDecoder::canDecode,
       MakeForFile<HEIFDecoder>, true},
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

bool ImageTypeDecodesFiles(const std::string& type) {
  for (const ImageDecoderDescriptor& d : ImageDecoderRegistry()) {
    if (type == d.type) return d.createForFile && Available(d);
  }
  return false;
}

bool ImageTypeMapsFile(const std::string& type, size_t size) {
  for (const ImageDecoderDescriptor& d : ImageDecoderRegistry()) {
    if (type == d.type) {
      return d.createForFile && Available(d) && (d.mapsEveryFile || size >= kImageFileMappedBytes);
    }
  }
  return false;
}

std::unique_ptr<ImageDecoder> ImageDecoderCreateForFile(std::shared_ptr<const ImageFileBytes> file,
                                                        CGImageSourceStatus& status) {
  status = kCGImageStatusUnknownType;
  if (!file) return nullptr;
  const ImageDecoderDescriptor* d = DescriptorOf(file->data(), file->size());
  if (!d || !Available(*d) || !d->createForFile) {
    // Leading bytes read as zeros are bad data, not another type.
    if (file->cutShort()) status = kCGImageStatusInvalidData;
    return nullptr;
  }
  std::unique_ptr<ImageDecoder> decoder = d->createForFile(d->type, std::move(file));
  status = decoder->parse();
  // Reading the structure may have walked the whole file.
  decoder->releaseBytes();
  if (decoder->cutShort()) status = kCGImageStatusInvalidData;
  if (status == kCGImageStatusInvalidData || status == kCGImageStatusReadingHeader ||
      status == kCGImageStatusUnknownType) {
    return nullptr;
  }
  return decoder;
}

std::shared_ptr<const ImageFileBytes> ImageFileBytes::open(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  struct stat st {};
  void* map = MAP_FAILED;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size > 0) {
    map = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
  }
  ::close(fd);  // the mapping keeps the file
  if (map == MAP_FAILED) return nullptr;
  MappedRange range;
  if (!MappedRangeWatch(map, size_t(st.st_size), range)) {
    munmap(map, size_t(st.st_size));
    return nullptr;
  }
  // Read in order: the kernel reads ahead.
  madvise(map, size_t(st.st_size), MADV_SEQUENTIAL);
  return std::shared_ptr<const ImageFileBytes>(
      new ImageFileBytes(static_cast<const uint8_t*>(map), size_t(st.st_size), range, path,
                         uint64_t(st.st_dev), uint64_t(st.st_ino),
                         int64_t(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec));
}

ImageFileBytes::~ImageFileBytes() {
  // Not watched any more before the range can be another mapping's.
  MappedRangeUnwatch(range_);
  munmap(const_cast<uint8_t*>(data_), size_);
}

bool ImageFileBytes::cutShort() const {
  if (MappedRangeCutShort(range_)) return true;
  struct stat st {};
  return ::stat(path_.c_str(), &st) == 0 && uint64_t(st.st_dev) == device_ &&
         uint64_t(st.st_ino) == inode_ && uint64_t(st.st_size) < size_;
}

void ImageFileBytes::release() const {
  // A private mapping never written to: its pages are the file's.
  madvise(const_cast<uint8_t*>(data_), size_, MADV_DONTNEED);
}

ValueMap ImageDecoder::containerProperties() const { return onContainerProperties(); }

ValueMap ImageDecoder::onContainerProperties() const { return {}; }

ValueMap ImageDecoder::frameProperties(size_t index) const {
  return index < frameCount() ? onFrameProperties(index) : ValueMap();
}

bool ImageDecoder::frameGeometry(size_t index, ImageFrameGeometry& out) const {
  if (index >= frameCount()) return false;
  out = onFrameGeometry(index);
  return true;
}

ImageFrameGeometry ImageDecoder::onFrameGeometry(size_t index) const {
  const ValueMap props = onFrameProperties(index);
  auto integer = [&](const char* key) {
    const Value* v = ValueMapFind(props, key);
    return v && v->isNumber() ? v->asInt64() : 0;
  };
  ImageFrameGeometry geometry;
  geometry.width =
      uint32_t(std::clamp<int64_t>(integer(kCGImagePropertyPixelWidth), 0, UINT32_MAX));
  geometry.height =
      uint32_t(std::clamp<int64_t>(integer(kCGImagePropertyPixelHeight), 0, UINT32_MAX));
  const Value* alpha = ValueMapFind(props, kCGImagePropertyHasAlpha);
  geometry.hasAlpha = alpha && alpha->asBool();
  const int64_t orientation = integer(kCGImagePropertyOrientation);
  geometry.orientation = orientation >= 1 && orientation <= 8 ? int(orientation) : 0;
  return geometry;
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

// Decodes end with the cut check: a file cut short during a decode gives
// zeros from the cut on, never a picture.
bool ImageDecoder::decodeFrame(size_t index, ImageBitmap& out, size_t prior) {
  return index < frameCount() && onDecodeFrame(index, out, prior < index ? prior : kNoFrame) &&
         WellFormed(out) && !cutShort();
}

bool ImageDecoder::decodeFrameScaled(size_t index, uint32_t width, uint32_t height,
                                     ImageBitmap& out) {
  return index < frameCount() && ImageSizeAllowed(width, height) &&
         onDecodeFrameScaled(index, width, height, out) && WellFormed(out) && out.width == width &&
         out.height == height && !cutShort();
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

bool ImageDecoder::canDecodeAt(size_t index, uint32_t width, uint32_t height) const {
  return index < frameCount() && onCanDecodeAt(index, width, height);
}

std::shared_ptr<const ImageBitmap> ImageDecoder::decodeRows(size_t index, uint32_t first,
                                                            uint32_t count) {
  if (!canDecodeRows(index)) return nullptr;
  if (!rowReader_) rowReader_ = onMakeRowReader(index);
  if (!rowReader_) return nullptr;
  auto band = rowReader_->readRows(first, count);
  return band && WellFormed(*band) && !cutShort() ? band : nullptr;
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
