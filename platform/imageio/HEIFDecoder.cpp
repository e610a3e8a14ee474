#include "internal/HEIFDecoder.h"

#include <libheif/heif.h>

#include <algorithm>
#include <cstring>
#include <mutex>

#include "platform/foundation/Value.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/imageio/internal/ImageRowResampler.h"

void HEIFInitialiseOnce() {
  static std::once_flag once;
  std::call_once(once, [] { heif_init(nullptr); });
}

namespace {

// The type of an ISO base media file by its brands, "" when not an image.
std::string TypeOfBrands(const uint8_t* d, size_t n) {
  if (n < 16 || std::memcmp(d + 4, "ftyp", 4) != 0) return "";
  const size_t boxSize = std::min<size_t>(ReadBE32(d), n);
  auto brand = [&](const char* b) {
    if (std::memcmp(d + 8, b, 4) == 0) return true;
    for (size_t p = 16; p + 4 <= boxSize; p += 4) {
      if (std::memcmp(d + p, b, 4) == 0) return true;
    }
    return false;
  };
  if (std::memcmp(d + 8, "hevc", 4) == 0 || std::memcmp(d + 8, "hevx", 4) == 0 ||
      std::memcmp(d + 8, "msf1", 4) == 0) {
    return "public.heics";
  }
  if (brand("heic") || brand("heix") || brand("heim") || brand("heis")) return "public.heic";
  if (brand("avif")) return "public.avif";
  if (brand("mif1")) return "public.heif";
  return "";
}

}  // namespace

bool HEIFDecoder::sniff(const uint8_t* data, size_t size, const char* type) {
  return TypeOfBrands(data, size) == type;
}

bool HEIFDecoder::canDecode(const char* type) {
  HEIFInitialiseOnce();
  if (std::strcmp(type, "public.avif") == 0) return heif_have_decoder_for_format(heif_compression_AV1);
  return heif_have_decoder_for_format(heif_compression_HEVC);
}

HEIFDecoder::~HEIFDecoder() {
  if (context_) heif_context_free(context_);
}

namespace {

void ReadExif(heif_image_handle* handle, ExifData& exif) {
  heif_item_id id = 0;
  if (heif_image_handle_get_list_of_metadata_block_IDs(handle, "Exif", &id, 1) != 1) return;
  const size_t size = heif_image_handle_get_metadata_size(handle, id);
  if (size < 4 || size > (16u << 20)) return;
  Bytes block(size);
  if (heif_image_handle_get_metadata(handle, id, block.data()).code != heif_error_Ok) return;
  // The block starts with the offset of the TIFF header after these 4 bytes.
  const size_t offset = size_t(ReadBE32(block.data())) + 4;
  if (offset >= size) return;
  ExifParse(block.data() + offset, size - offset, exif);
  // The rotation boxes are authoritative and already applied.
  exif.orientation = 0;
  exif.tiff.erase(std::remove_if(exif.tiff.begin(), exif.tiff.end(),
                                 [](const auto& e) {
                                   return e.first == Value(kCGImagePropertyTIFFOrientation);
                                 }),
                  exif.tiff.end());
  exif.thumbnailOffset = exif.thumbnailLength = 0;
}

}  // namespace

CGImageSourceStatus HEIFDecoder::onParse() {
  // Boxes may point anywhere in the file: only whole files are read.
  if (!complete_) return kCGImageStatusIncomplete;
  HEIFInitialiseOnce();
  context_ = heif_context_alloc();
  if (!context_) return kCGImageStatusInvalidData;
  heif_context_set_maximum_image_size_limit(context_, int(kImageMaxSourceDimension));
  if (heif_context_read_from_memory_without_copy(context_, bytes().data(), bytes().size(), nullptr)
          .code != heif_error_Ok) {
    return kCGImageStatusInvalidData;
  }
  const int count = heif_context_get_number_of_top_level_images(context_);
  if (count <= 0) return kCGImageStatusInvalidData;
  std::vector<heif_item_id> ids(size_t(std::min<int>(count, int(kImageMaxFrames))));
  heif_context_get_list_of_top_level_image_IDs(context_, ids.data(), int(ids.size()));
  heif_item_id primary = 0;
  heif_context_get_primary_image_ID(context_, &primary);
  std::stable_partition(ids.begin(), ids.end(), [&](heif_item_id i) { return i == primary; });
  for (heif_item_id id : ids) {
    heif_image_handle* handle = nullptr;
    if (heif_context_get_image_handle(context_, id, &handle).code != heif_error_Ok) continue;
    Image image;
    image.id = id;
    image.width = uint32_t(std::max(0, heif_image_handle_get_width(handle)));
    image.height = uint32_t(std::max(0, heif_image_handle_get_height(handle)));
    image.hasAlpha = heif_image_handle_has_alpha_channel(handle);
    image.depth = std::max(8, heif_image_handle_get_luma_bits_per_pixel(handle));
    ReadExif(handle, image.exif);
    heif_image_handle_release(handle);
    // Past the full-size limits an image still gives thumbnails.
    if (ImageSourceSizeAllowed(image.width, image.height)) images_.push_back(std::move(image));
  }
  return images_.empty() ? kCGImageStatusInvalidData : kCGImageStatusComplete;
}

ValueMap HEIFDecoder::onFrameProperties(size_t index) const {
  const Image& image = images_[index];
  ValueMap props = ImageFrameBaseProperties(image.width, image.height, image.hasAlpha,
                                            kCGImagePropertyColorModelRGB, image.depth);
  ExifMergeInto(image.exif, props);
  return props;
}

bool HEIFDecoder::decodeRows(size_t index, int channels, const RowSink& sink) const {
  if (!context_) return false;
  heif_image_handle* handle = nullptr;
  if (heif_context_get_image_handle(context_, images_[index].id, &handle).code != heif_error_Ok) {
    return false;
  }
  const bool premultiplied = heif_image_handle_is_premultiplied_alpha(handle);
  heif_image* image = nullptr;
  heif_error err = heif_decode_image(
      handle, &image, heif_colorspace_RGB,
      channels == 3 ? heif_chroma_interleaved_RGB : heif_chroma_interleaved_RGBA, nullptr);
  heif_image_handle_release(handle);
  releaseBytes();  // the coded data is read; the decoded image is what counts now
  if (err.code != heif_error_Ok || !image) return false;
  int stride = 0;
  const uint8_t* plane = heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
  const int w = heif_image_get_width(image, heif_channel_interleaved);
  const int h = heif_image_get_height(image, heif_channel_interleaved);
  const bool ok = plane && uint32_t(w) == images_[index].width &&
                  uint32_t(h) == images_[index].height;
  ImageBitmap straight;  // one row, when alpha comes premultiplied
  if (ok && premultiplied && channels == 4) straight.allocate(uint32_t(w), 1);
  for (int y = 0; ok && y < h; ++y) {
    const uint8_t* row = plane + size_t(y) * stride;
    if (!straight.empty()) {
      std::memcpy(straight.pixels.data(), row, size_t(w) * 4);
      ImageBitmapUnpremultiply(straight);
      row = straight.pixels.data();
    }
    sink(uint32_t(y), row);
  }
  heif_image_release(image);
  return ok;
}

bool HEIFDecoder::onDecodeFrame(size_t index, ImageBitmap& out, size_t) {
  const Image& image = images_[index];
  if (!out.allocate(image.width, image.height)) return false;
  out.hasAlpha = image.hasAlpha;
  return decodeRows(index, 4, [&](uint32_t y, const uint8_t* row) {
    std::memcpy(out.row(y), row, size_t(image.width) * 4);
  });
}

bool HEIFDecoder::onDecodeFrameScaled(size_t index, uint32_t width, uint32_t height,
                                      ImageBitmap& out) {
  const Image& image = images_[index];
  if (height > image.height) return ImageDecoder::onDecodeFrameScaled(index, width, height, out);
  // libheif decodes the whole image (this version can neither scale nor
  // hand out a grid's tiles); its rows go straight into the output, as RGB
  // when opaque, so no bitmap of ours is made at the full size.
  const int channels = image.hasAlpha ? 4 : 3;
  ImageRowResampler resampler(image.width, image.height, width, height, image.hasAlpha, channels);
  if (!resampler.valid() ||
      !decodeRows(index, channels, [&](uint32_t, const uint8_t* row) { resampler.addRow(row); })) {
    return false;
  }
  out = resampler.take();
  out.hasAlpha = image.hasAlpha;
  return true;
}
