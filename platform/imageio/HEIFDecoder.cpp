#include "internal/HEIFDecoder.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/foundation/SharedLibraries.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/imageio/internal/HEIFLibrary.h"
#include "platform/imageio/internal/ImageRowResampler.h"

namespace {

// Never destroyed: images decoded on queue workers may be freed after main
// has returned.
LazyLibrary<HEIFFunctions>& Library() {
  static auto* library =
      new LazyLibrary<HEIFFunctions>([](HEIFFunctions& functions, std::string& why) {
        const std::string name = "libheif.so." + std::to_string(LIBHEIF_NUMERIC_VERSION >> 24);
        SharedLibraries set;
        if (!set.open({name}, why)) return false;
#define QX_HEIF_RESOLVE(function)                                                              \
  functions.function = reinterpret_cast<decltype(functions.function)>(set.find(0, #function)); \
  if (!functions.function) {                                                                   \
    why = name + " has no " #function;                                                         \
    return false;                                                                              \
  }
        QX_HEIF_FUNCTIONS(QX_HEIF_RESOLVE)
#undef QX_HEIF_RESOLVE
        functions.heif_init(nullptr);
        return true;
      });
  return *library;
}

}  // namespace

bool HEIFInitialiseOnce(std::string* why) { return Library().load(why) != nullptr; }

bool HEIFLoaded() { return Library().loaded() != nullptr; }

const HEIFFunctions& Heif() {
  if (const HEIFFunctions* functions = Library().load()) return *functions;
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

bool HaveDecoderFor(const char* type) {
  return Heif().heif_have_decoder_for_format(
      std::strcmp(type, "public.avif") == 0 ? heif_compression_AV1 : heif_compression_HEVC);
}

}  // namespace

bool HEIFDecoder::sniff(const uint8_t* data, size_t size, const char* type) {
  return TypeOfBrands(data, size) == type;
}

bool HEIFDecoder::canDecode(const char* type) {
  // Answered without loading libheif, which a format check has no use for:
  // once it is loaded, whether it has the type's decoder; before, the brands
  // alone decide, and a decode finds out when it loads the library.
  if (!HEIFLoaded()) return true;
  return HaveDecoderFor(type);
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
  // Loaded here, not when the type was checked.
  if (!HEIFInitialiseOnce() || !HaveDecoderFor(typeIdentifier())) {
    return kCGImageStatusUnknownType;
  }
  context_ = Heif().heif_context_alloc();
  if (!context_) return kCGImageStatusInvalidData;
  Heif().heif_context_set_maximum_image_size_limit(context_, int(kImageMaxSourceDimension));
  if (Heif()
          .heif_context_read_from_memory_without_copy(context_, bytes().data(), bytes().size(),
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

namespace {

// The rows of an 8-bit YCbCr image (4:2:0, 4:2:2 or 4:4:4) as RGB, converted
// with the matrix and range its colour profile gives (BT.601 full range when
// it gives none), the chroma of each pixel its nearest sample, as libheif's
// own conversion does. -1 when the image is of another layout.
int YCbCrRows(const heif_image* image, const heif_image_handle* handle, uint32_t width,
              uint32_t height, const std::function<void(uint32_t, const uint8_t*)>& sink) {
  if (Heif().heif_image_get_colorspace(image) != heif_colorspace_YCbCr) return -1;
  const heif_chroma chroma = Heif().heif_image_get_chroma_format(image);
  const int shiftX = chroma == heif_chroma_444 ? 0 : 1;
  const int shiftY = chroma == heif_chroma_420 ? 1 : 0;
  if (chroma != heif_chroma_420 && chroma != heif_chroma_422 && chroma != heif_chroma_444)
    return -1;
  const heif_channel channels[3] = {heif_channel_Y, heif_channel_Cb, heif_channel_Cr};
  const uint8_t* planes[3];
  int strides[3];
  for (int c = 0; c < 3; ++c) {
    if (Heif().heif_image_get_bits_per_pixel_range(image, channels[c]) != 8) return -1;
    planes[c] = Heif().heif_image_get_plane_readonly(image, channels[c], &strides[c]);
    if (!planes[c]) return -1;
  }
  if (uint32_t(Heif().heif_image_get_width(image, heif_channel_Y)) != width ||
      uint32_t(Heif().heif_image_get_height(image, heif_channel_Y)) != height ||
      uint32_t(Heif().heif_image_get_width(image, heif_channel_Cb)) < (width + shiftX) >> shiftX ||
      uint32_t(Heif().heif_image_get_height(image, heif_channel_Cb)) < (height + shiftY) >>
          shiftY ||
      uint32_t(Heif().heif_image_get_width(image, heif_channel_Cr)) < (width + shiftX) >> shiftX ||
      uint32_t(Heif().heif_image_get_height(image, heif_channel_Cr)) < (height + shiftY) >>
          shiftY) {
    return 0;
  }
  heif_color_profile_nclx* nclx = nullptr;
  if (Heif().heif_image_get_nclx_color_profile(image, &nclx).code != heif_error_Ok) {
    nclx = nullptr;
    if (Heif().heif_image_handle_get_nclx_color_profile(handle, &nclx).code != heif_error_Ok) {
      nclx = nullptr;
    }
  }
  const int matrix = nclx ? int(nclx->matrix_coefficients) : 6;
  const bool fullRange = !nclx || nclx->full_range_flag;
  if (nclx) Heif().heif_nclx_color_profile_free(nclx);
  if (matrix == heif_matrix_coefficients_RGB_GBR) return -1;
  double kr = 0.299, kb = 0.114;
  if (matrix == heif_matrix_coefficients_ITU_R_BT_709_5) {
    kr = 0.2126;
    kb = 0.0722;
  } else if (matrix == heif_matrix_coefficients_ITU_R_BT_2020_2_non_constant_luminance ||
             matrix == heif_matrix_coefficients_ITU_R_BT_2020_2_constant_luminance) {
    kr = 0.2627;
    kb = 0.0593;
  }
  const double kg = 1 - kr - kb;
  const double yScale = fullRange ? 1.0 : 255.0 / 219, yOffset = fullRange ? 0 : 16;
  const double cScale = fullRange ? 1.0 : 255.0 / 224;
  // 16.16 fixed point tables, so a pixel costs a few adds.
  int32_t luma[256], crR[256], cbG[256], crG[256], cbB[256];
  for (int v = 0; v < 256; ++v) {
    const double c = (v - 128) * cScale;
    luma[v] = int32_t(std::lround(((v - yOffset) * yScale) * 65536 + 32768));
    crR[v] = int32_t(std::lround(2 * (1 - kr) * c * 65536));
    cbB[v] = int32_t(std::lround(2 * (1 - kb) * c * 65536));
    cbG[v] = int32_t(std::lround(-2 * kb * (1 - kb) / kg * c * 65536));
    crG[v] = int32_t(std::lround(-2 * kr * (1 - kr) / kg * c * 65536));
  }
  auto clamp8 = [](int32_t v) { return uint8_t(std::clamp(v >> 16, 0, 255)); };
  std::vector<uint8_t> rgb(size_t(width) * 3);
  for (uint32_t y = 0; y < height; ++y) {
    const uint8_t* yRow = planes[0] + size_t(y) * strides[0];
    const uint8_t* cbRow = planes[1] + size_t(y >> shiftY) * strides[1];
    const uint8_t* crRow = planes[2] + size_t(y >> shiftY) * strides[2];
    uint8_t* d = rgb.data();
    for (uint32_t x = 0; x < width; ++x, d += 3) {
      const int32_t l = luma[yRow[x]];
      const uint8_t cb = cbRow[x >> shiftX], cr = crRow[x >> shiftX];
      d[0] = clamp8(l + crR[cr]);
      d[1] = clamp8(l + cbG[cb] + crG[cr]);
      d[2] = clamp8(l + cbB[cb]);
    }
    sink(y, rgb.data());
  }
  return 1;
}

}  // namespace

bool HEIFDecoder::decodeRows(size_t index, int channels, const RowSink& sink) const {
  if (!context_) return false;
  heif_image_handle* handle = nullptr;
  if (Heif().heif_context_get_image_handle(context_, images_[index].id, &handle).code !=
      heif_error_Ok) {
    return false;
  }
  const uint32_t width = images_[index].width, height = images_[index].height;
  if (channels == 3) {
    // Opaque rows are converted from the decoder's own YCbCr here, a row at
    // a time: libheif's conversion would make a whole RGB copy of the image
    // (3 bytes a pixel, beside the 1.5 of 4:2:0 planes).
    heif_image* native = nullptr;
    const heif_error err =
        Heif().heif_decode_image(handle, &native, heif_colorspace_YCbCr, heif_chroma_420, nullptr);
    releaseBytes();  // the coded data is read; the decoded image is what counts now
    const int given =
        err.code == heif_error_Ok && native ? YCbCrRows(native, handle, width, height, sink) : 0;
    if (native) Heif().heif_image_release(native);
    if (given >= 0) {
      Heif().heif_image_handle_release(handle);
      return given == 1;
    }
  }
  const bool premultiplied = Heif().heif_image_handle_is_premultiplied_alpha(handle);
  heif_image* image = nullptr;
  heif_error err = Heif().heif_decode_image(
      handle, &image, heif_colorspace_RGB,
      channels == 3 ? heif_chroma_interleaved_RGB : heif_chroma_interleaved_RGBA, nullptr);
  Heif().heif_image_handle_release(handle);
  releaseBytes();
  if (err.code != heif_error_Ok || !image) return false;
  int stride = 0;
  const uint8_t* plane =
      Heif().heif_image_get_plane_readonly(image, heif_channel_interleaved, &stride);
  const int w = Heif().heif_image_get_width(image, heif_channel_interleaved);
  const int h = Heif().heif_image_get_height(image, heif_channel_interleaved);
  const bool ok = plane && uint32_t(w) == width && uint32_t(h) == height;
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
  Heif().heif_image_release(image);
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
