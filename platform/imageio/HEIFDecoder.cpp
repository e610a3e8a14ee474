#include "internal/HEIFDecoder.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/foundation/SharedLibraries.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/imageio/internal/HEIFLibrary.h"

namespace {

struct HEIFLibrary {
  bool loaded = false;
  HEIFFunctions functions;
};

const HEIFLibrary& LoadedHEIFLibrary() {
  // Loaded and initialised once; a library that cannot be loaded is
  // remembered, so that every HEIF image after it is refused alike.
  static const HEIFLibrary* library = [] {
    auto* loaded = new HEIFLibrary;
    SharedLibraries set;
    std::string why;
    if (!set.open({"libheif.so." + std::to_string(LIBHEIF_NUMERIC_VERSION >> 24)}, why)) {
      return loaded;
    }
#define QX_HEIF_RESOLVE(name)                                                                      \
  loaded->functions.name = reinterpret_cast<decltype(loaded->functions.name)>(set.find(0, #name)); \
  if (!loaded->functions.name) return loaded;
    QX_HEIF_FUNCTIONS(QX_HEIF_RESOLVE)
#undef QX_HEIF_RESOLVE
    loaded->functions.heif_init(nullptr);
    loaded->loaded = true;
    return loaded;
  }();
  return *library;
}

}  // namespace

bool HEIFInitialiseOnce() { return LoadedHEIFLibrary().loaded; }

const HEIFFunctions& Heif() {
  const HEIFLibrary& library = LoadedHEIFLibrary();
  if (library.loaded) return library.functions;
  std::fputs("libheif called without its library loaded\n", stderr);
  std::abort();
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
  if (!HEIFInitialiseOnce()) return false;
  if (std::strcmp(type, "public.avif") == 0)
    return Heif().heif_have_decoder_for_format(heif_compression_AV1);
  return Heif().heif_have_decoder_for_format(heif_compression_HEVC);
}

HEIFDecoder::~HEIFDecoder() {
  if (context_) Heif().heif_context_free(context_);
}

namespace {

void ReadExif(heif_image_handle* handle, ExifData& exif) {
  heif_item_id id = 0;
  if (Heif().heif_image_handle_get_list_of_metadata_block_IDs(handle, "Exif", &id, 1) != 1) return;
  const size_t size = Heif().heif_image_handle_get_metadata_size(handle, id);
  if (size < 4 || size > (16u << 20)) return;
  Bytes block(size);
  if (Heif().heif_image_handle_get_metadata(handle, id, block.data()).code != heif_error_Ok) return;
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
  if (!HEIFInitialiseOnce()) return kCGImageStatusUnknownType;
  context_ = Heif().heif_context_alloc();
  if (!context_) return kCGImageStatusInvalidData;
  Heif().heif_context_set_maximum_image_size_limit(context_, int(kImageMaxDimension));
  if (Heif()
          .heif_context_read_from_memory_without_copy(context_, data_->data(), data_->size(),
                                                      nullptr)
          .code != heif_error_Ok) {
    return kCGImageStatusInvalidData;
  }
  const int count = Heif().heif_context_get_number_of_top_level_images(context_);
  if (count <= 0) return kCGImageStatusInvalidData;
  std::vector<heif_item_id> ids(size_t(std::min<int>(count, int(kImageMaxFrames))));
  Heif().heif_context_get_list_of_top_level_image_IDs(context_, ids.data(), int(ids.size()));
  heif_item_id primary = 0;
  Heif().heif_context_get_primary_image_ID(context_, &primary);
  std::stable_partition(ids.begin(), ids.end(), [&](heif_item_id i) { return i == primary; });
  for (heif_item_id id : ids) {
    heif_image_handle* handle = nullptr;
    if (Heif().heif_context_get_image_handle(context_, id, &handle).code != heif_error_Ok) continue;
    Image image;
    image.id = id;
    image.width = uint32_t(std::max(0, Heif().heif_image_handle_get_width(handle)));
    image.height = uint32_t(std::max(0, Heif().heif_image_handle_get_height(handle)));
    image.hasAlpha = Heif().heif_image_handle_has_alpha_channel(handle);
    image.depth = std::max(8, Heif().heif_image_handle_get_luma_bits_per_pixel(handle));
    ReadExif(handle, image.exif);
    Heif().heif_image_handle_release(handle);
    if (ImageSizeAllowed(image.width, image.height)) images_.push_back(std::move(image));
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

bool HEIFDecoder::onDecodeFrame(size_t index, ImageBitmap& out, size_t) {
  if (!context_) return false;
  heif_image_handle* handle = nullptr;
  if (Heif().heif_context_get_image_handle(context_, images_[index].id, &handle).code !=
      heif_error_Ok) {
    return false;
  }
  const bool premultiplied = Heif().heif_image_handle_is_premultiplied_alpha(handle);
  heif_image* image = nullptr;
  heif_error err = Heif().heif_decode_image(handle, &image, heif_colorspace_RGB,
                                            heif_chroma_interleaved_RGBA, nullptr);
  Heif().heif_image_handle_release(handle);
  if (err.code != heif_error_Ok || !image) return false;
  int stride = 0;
  const uint8_t* plane =
      Heif().heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
  const int w = Heif().heif_image_get_width(image, heif_channel_interleaved);
  const int h = Heif().heif_image_get_height(image, heif_channel_interleaved);
  bool ok = plane && w > 0 && h > 0 && out.allocate(uint32_t(w), uint32_t(h));
  if (ok) {
    for (int y = 0; y < h; ++y)
      std::memcpy(out.row(uint32_t(y)), plane + size_t(y) * stride, size_t(w) * 4);
    out.hasAlpha = images_[index].hasAlpha;
    if (premultiplied) ImageBitmapUnpremultiply(out);
  }
  Heif().heif_image_release(image);
  return ok;
}
