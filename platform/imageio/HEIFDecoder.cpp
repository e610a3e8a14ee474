#include "internal/HEIFDecoder.h"

#include <malloc.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <thread>

#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/SharedLibraries.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/imageio/internal/HEIFItems.h"
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

// One decode of an image of a file version, shared by every decoder that
// asks for it while it is held: the first caller of decode() decodes, the
// others wait for it.
struct HEIFSharedDecode {
  std::once_flag once;
  // Written once, inside `once`; then only read. libheif's calls that
  // answer with an error write the message into the image, so the colour
  // profile is read here once, not by every reader of the planes.
  heif_image* image = nullptr;
  uint64_t pixels = 0;
  int matrix = 6;  // of the YCbCr planes: BT.601 unless the profile says
  bool fullRange = true;
  ~HEIFSharedDecode();
};

namespace {

// glibc serves a large block from the arena of the thread that asks for it
// once its mmap threshold has risen past the block's size (every large
// block freed raises it), and keeps the block in that arena when it is
// freed. Decodes run on whichever worker takes a request, each with an arena
// of its own: without giving freed memory back after a large decode, every
// one of those arenas comes to hold a whole decode's worth of it.
constexpr uint64_t kGiveBackPixels = 1 << 20;

void GiveBackFreedMemory(uint64_t pixels) {
  if (pixels >= kGiveBackPixels) malloc_trim(0);
}

void Release(heif_image* image, uint64_t pixels) {
  Heif().heif_image_release(image);
  GiveBackFreedMemory(pixels);
}

}  // namespace

HEIFSharedDecode::~HEIFSharedDecode() {
  if (image) Release(image, pixels);
}

// A grid's decode made a row of tiles at a time, at a size that covers
// those asked of it, shared as a whole decode is.
struct HEIFSharedScaled {
  // Set before it is shared; then only read.
  uint32_t id = 0;
  uint32_t width = 0, height = 0;
  std::once_flag once;
  // Written once, inside `once`; then only read.
  ImageBitmap bitmap;
  bool ok = false;
};

namespace {

std::atomic<size_t> gDecodedImages{0};

Mutex gSharedMutex;  // guards gShared and gScaled
// Only decodes someone holds are found: the maps never keep an image alive.
std::map<std::string, std::weak_ptr<HEIFSharedDecode>> gShared GUARDED_BY(gSharedMutex);
std::map<std::string, std::weak_ptr<HEIFSharedScaled>> gScaled GUARDED_BY(gSharedMutex);

// The decode held under `key`, made when nobody holds one; one of its own
// for an empty key (data that is not a file's).
std::shared_ptr<HEIFSharedDecode> SharedDecode(const std::string& key) {
  if (key.empty()) return std::make_shared<HEIFSharedDecode>();
  MutexLock lock(gSharedMutex);
  std::erase_if(gShared, [](const auto& entry) { return entry.second.expired(); });
  std::weak_ptr<HEIFSharedDecode>& slot = gShared[key];
  std::shared_ptr<HEIFSharedDecode> decode = slot.lock();
  if (!decode) {
    decode = std::make_shared<HEIFSharedDecode>();
    slot = decode;
  }
  return decode;
}

// The matrix and range of the decoded image's YCbCr, from its own colour
// profile or else its item's.
void ReadColourProfile(HEIFSharedDecode& decode, const heif_image_handle* handle) {
  heif_color_profile_nclx* nclx = nullptr;
  if (Heif().heif_image_get_nclx_color_profile(decode.image, &nclx).code != heif_error_Ok) {
    nclx = nullptr;
    if (Heif().heif_image_handle_get_nclx_color_profile(handle, &nclx).code != heif_error_Ok) {
      nclx = nullptr;
    }
  }
  if (!nclx) return;
  decode.matrix = int(nclx->matrix_coefficients);
  decode.fullRange = nclx->full_range_flag;
  Heif().heif_nclx_color_profile_free(nclx);
}

// Never destroyed: decodes on queue workers may end after main has returned.
HEIFDecodeBudget& Budget() {
  static auto* budget = new HEIFDecodeBudget(kImageMaxPixels);
  return *budget;
}

// Decodes an image of `pixels` pixels, within the budget.
heif_image* Decode(const heif_image_handle* handle, uint64_t pixels, heif_colorspace colorspace,
                   heif_chroma chroma, const heif_decoding_options* options = nullptr) {
  Budget().acquire(pixels);
  heif_image* image = nullptr;
  const heif_error error = Heif().heif_decode_image(handle, &image, colorspace, chroma, options);
  Budget().release(pixels);
  if (error.code != heif_error_Ok) {
    if (image) Heif().heif_image_release(image);
    image = nullptr;
  }
  // What libheif worked in is freed now.
  GiveBackFreedMemory(pixels);
  if (!image) return nullptr;
  ++gDecodedImages;
  return image;
}

}  // namespace

size_t HEIFDecodedImageCount() { return gDecodedImages.load(); }

HEIFDecodeBudget& HEIFSharedDecodeBudget() { return Budget(); }

void HEIFDecodeBudget::acquire(uint64_t pixels) {
  {
    MutexLock lock(mutex_);
    if (fits(pixels)) {
      inUse_ += pixels;
      return;
    }
  }
  DispatchBlockingScope waiting;  // a pool worker lends its place meanwhile
  MutexLock lock(mutex_);
  ++waiting_;
  lock.wait(room_, [&]() REQUIRES(mutex_) { return fits(pixels); });
  --waiting_;
  inUse_ += pixels;
}

void HEIFDecodeBudget::release(uint64_t pixels) {
  {
    MutexLock lock(mutex_);
    inUse_ -= pixels;
  }
  room_.notify_all();
}

uint64_t HEIFDecodeBudget::inUse() const {
  MutexLock lock(mutex_);
  return inUse_;
}

size_t HEIFDecodeBudget::waiting() const {
  MutexLock lock(mutex_);
  return waiting_;
}

int HEIFDecodingThreads() {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  const int cpus = sched_getaffinity(0, sizeof allowed, &allowed) == 0
                       ? CPU_COUNT(&allowed)
                       : int(std::thread::hardware_concurrency());
  return std::clamp(cpus, 1, 8);
}

HEIFDecoder::~HEIFDecoder() {
  held_.reset();  // may release libheif's image: before the context goes
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
  // Told before libheif spends its time reading every item.
  if (!HEIFItems(bytes()).fewEnoughItems()) return kCGImageStatusInvalidData;
  context_ = Heif().heif_context_alloc();
  if (!context_) return kCGImageStatusInvalidData;
  Heif().heif_context_set_maximum_image_size_limit(context_, int(kImageMaxSourceDimension));
  Heif().heif_context_set_max_decoding_threads(context_, HEIFDecodingThreads());
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
  const HEIFItems items(bytes());
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
    image.orientation = items.orientation(id);
    readThumbnails(handle, items, image);
    Heif().heif_image_handle_release(handle);
    uint32_t declaredWidth = 0, declaredHeight = 0;
    if (!items.declaredSize(id, declaredWidth, declaredHeight)) {
      image.decodable = uint64_t(image.width) * image.height <= kImageMaxPixels;
    } else {
      const HEIFItemDecode decode = items.decode(id);
      const bool grid = items.gridLayout(id, image.grid);
      image.tiled = grid && decode.known && decode.agrees && !image.hasAlpha &&
                    !items.hasProperty(id, "clap") && tilesDecodeAlone(items, image);
      // libheif pastes a grid whole; one coded picture past the limit is
      // decoded whole too (a scaled decode folds its rows into the output),
      // alone in the budget, up to the source limits its image is held to.
      // Coded data that makes another size than the image declares makes
      // no image of it, whatever it costs.
      image.decodable = (!decode.known || decode.agrees) &&
                        (decode.withinLimit || (!grid && decode.known));
    }
    // Past the full-size limits an image still gives thumbnails.
    if (ImageSourceSizeAllowed(image.width, image.height)) images_.push_back(std::move(image));
  }
  return images_.empty() ? kCGImageStatusInvalidData : kCGImageStatusComplete;
}

bool HEIFDecoder::tilesDecodeAlone(const HEIFItems& items, Image& image) {
  uint32_t width = image.grid.width, height = image.grid.height;
  if (image.orientation >= 5) std::swap(width, height);
  // libheif's size is the pasted picture's, turned.
  if (width != image.width || height != image.height) return false;
  for (uint32_t tile : image.grid.tiles) {
    const HEIFItemDecode each = items.decode(tile);
    if (!each.known || !each.agrees || !each.withinLimit) return false;
    if (image.tileWidth == 0) {
      image.tileWidth = each.width;
      image.tileHeight = each.height;
    }
    if (each.width != image.tileWidth || each.height != image.tileHeight) return false;
  }
  // The tiles cover the picture, the last row and column overhanging it.
  return uint64_t(image.tileWidth) * image.grid.columns >= image.grid.width &&
         uint64_t(image.tileWidth) * (image.grid.columns - 1) < image.grid.width &&
         uint64_t(image.tileHeight) * image.grid.rows >= image.grid.height &&
         uint64_t(image.tileHeight) * (image.grid.rows - 1) < image.grid.height;
}

bool HEIFThumbnailOfShape(uint32_t width, uint32_t height, uint32_t imageWidth,
                          uint32_t imageHeight) {
  // Cross-multiplied: the difference, divided by the image's longer side,
  // is how far the thumbnail's shorter side is off its image's shape.
  const uint64_t across = uint64_t(width) * imageHeight, down = uint64_t(height) * imageWidth;
  return std::max(across, down) - std::min(across, down) <=
         2 * uint64_t(std::max(imageWidth, imageHeight));
}

void HEIFDecoder::readThumbnails(heif_image_handle* handle, const HEIFItems& items,
                                 Image& image) const {
  const int count = std::min(Heif().heif_image_handle_get_number_of_thumbnails(handle), 8);
  if (count <= 0) return;
  std::vector<heif_item_id> ids(size_t(count), 0);
  const int listed =
      Heif().heif_image_handle_get_list_of_thumbnail_IDs(handle, ids.data(), int(ids.size()));
  for (int i = 0; i < listed; ++i) {
    // Chosen by its size, before anything of it is decoded: the size its
    // coded data makes, when that is the size it declares and within the
    // limits; otherwise nothing tells what decoding it would cost.
    const HEIFItemDecode decode = items.decode(ids[size_t(i)]);
    if (!decode.known || !decode.agrees || !decode.withinLimit) continue;
    // Decoded as stored, then turned the image's way.
    uint32_t width = decode.width, height = decode.height;
    if (image.orientation >= 5) std::swap(width, height);
    // A thumbnail is a shortcut: one larger than its image costs more than
    // the image does.
    if (width > image.width || height > image.height) continue;
    // Of another shape than the image (cropped, or turned otherwise), it
    // would not show the same picture.
    if (!HEIFThumbnailOfShape(width, height, image.width, image.height)) continue;
    image.thumbnails.push_back({ids[size_t(i)], width, height});
  }
}

ValueMap HEIFDecoder::onFrameProperties(size_t index) const {
  const Image& image = images_[index];
  ValueMap props = ImageFrameBaseProperties(image.width, image.height, image.hasAlpha,
                                            kCGImagePropertyColorModelRGB, image.depth);
  ExifMergeInto(image.exif, props);
  return props;
}

namespace {

// 8-bit YCbCr to RGB with the matrix and range of a colour profile
// (BT.601 full range when it gives none), the chroma of each pixel its
// nearest sample, as libheif's own conversion does. 16.16 fixed point
// tables, so a pixel costs a few adds.
class YCbCrToRGB {
 public:
  // False for matrices that are not YCbCr (GBR).
  static bool converts(int matrix) { return matrix != heif_matrix_coefficients_RGB_GBR; }

  YCbCrToRGB(int matrix, bool fullRange) {
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
    for (int v = 0; v < 256; ++v) {
      const double c = (v - 128) * cScale;
      luma_[v] = int32_t(std::lround(((v - yOffset) * yScale) * 65536 + 32768));
      crR_[v] = int32_t(std::lround(2 * (1 - kr) * c * 65536));
      cbB_[v] = int32_t(std::lround(2 * (1 - kb) * c * 65536));
      cbG_[v] = int32_t(std::lround(-2 * kb * (1 - kb) / kg * c * 65536));
      crG_[v] = int32_t(std::lround(-2 * kr * (1 - kr) / kg * c * 65536));
    }
  }

  // `width` pixels of a row as RGB; chroma rows at 1 / 2^shiftX of the width.
  void row(const uint8_t* y, const uint8_t* cb, const uint8_t* cr, uint32_t width, int shiftX,
           uint8_t* rgb) const {
    auto clamp8 = [](int32_t v) { return uint8_t(std::clamp(v >> 16, 0, 255)); };
    for (uint32_t x = 0; x < width; ++x, rgb += 3) {
      const int32_t l = luma_[y[x]];
      const uint8_t b = cb[x >> shiftX], r = cr[x >> shiftX];
      rgb[0] = clamp8(l + crR_[r]);
      rgb[1] = clamp8(l + cbG_[b] + crG_[r]);
      rgb[2] = clamp8(l + cbB_[b]);
    }
  }

 private:
  int32_t luma_[256], crR_[256], cbG_[256], crG_[256], cbB_[256];
};

// The planes of an 8-bit YCbCr image (4:2:0, 4:2:2 or 4:4:4) of
// width x height; false when it is of another layout or size.
struct YCbCrPlanes {
  const uint8_t* planes[3] = {};
  int strides[3] = {};
  int shiftX = 0, shiftY = 0;

  bool read(const heif_image* image, uint32_t width, uint32_t height) {
    if (Heif().heif_image_get_colorspace(image) != heif_colorspace_YCbCr) return false;
    const heif_chroma chroma = Heif().heif_image_get_chroma_format(image);
    if (chroma != heif_chroma_420 && chroma != heif_chroma_422 && chroma != heif_chroma_444) {
      return false;
    }
    shiftX = chroma == heif_chroma_444 ? 0 : 1;
    shiftY = chroma == heif_chroma_420 ? 1 : 0;
    const heif_channel channels[3] = {heif_channel_Y, heif_channel_Cb, heif_channel_Cr};
    for (int c = 0; c < 3; ++c) {
      if (Heif().heif_image_get_bits_per_pixel_range(image, channels[c]) != 8) return false;
      planes[c] = Heif().heif_image_get_plane_readonly(image, channels[c], &strides[c]);
      if (!planes[c]) return false;
      const uint32_t w = c == 0 ? width : (width + uint32_t(shiftX)) >> shiftX;
      const uint32_t h = c == 0 ? height : (height + uint32_t(shiftY)) >> shiftY;
      if (uint32_t(Heif().heif_image_get_width(image, channels[c])) < w ||
          uint32_t(Heif().heif_image_get_height(image, channels[c])) < h) {
        return false;
      }
    }
    return uint32_t(Heif().heif_image_get_width(image, heif_channel_Y)) == width &&
           uint32_t(Heif().heif_image_get_height(image, heif_channel_Y)) == height;
  }

  void row(const YCbCrToRGB& convert, uint32_t y, uint32_t width, uint8_t* rgb) const {
    convert.row(planes[0] + size_t(y) * strides[0], planes[1] + size_t(y >> shiftY) * strides[1],
                planes[2] + size_t(y >> shiftY) * strides[2], width, shiftX, rgb);
  }
};

// The rows of an 8-bit YCbCr image as RGB, converted with the matrix and
// range its colour profile gives. -1 when the image is of another layout,
// 0 when of another size.
int YCbCrRows(const HEIFSharedDecode& decode, uint32_t width, uint32_t height,
              const std::function<void(uint32_t, const uint8_t*)>& sink) {
  const heif_image* image = decode.image;
  if (Heif().heif_image_get_colorspace(image) != heif_colorspace_YCbCr) return -1;
  YCbCrPlanes planes;
  const heif_chroma chroma = Heif().heif_image_get_chroma_format(image);
  if (chroma != heif_chroma_420 && chroma != heif_chroma_422 && chroma != heif_chroma_444) {
    return -1;
  }
  for (heif_channel c : {heif_channel_Y, heif_channel_Cb, heif_channel_Cr}) {
    if (Heif().heif_image_get_bits_per_pixel_range(image, c) != 8) return -1;
  }
  if (!planes.read(image, width, height)) return 0;
  if (!YCbCrToRGB::converts(decode.matrix)) return -1;
  const YCbCrToRGB convert(decode.matrix, decode.fullRange);
  std::vector<uint8_t> rgb(size_t(width) * 3);
  for (uint32_t y = 0; y < height; ++y) {
    planes.row(convert, y, width, rgb.data());
    sink(y, rgb.data());
  }
  return 1;
}

// The colour profile of a decoded image, or else of its item; not given
// when neither has one.
struct YCbCrProfile {
  bool given = false;
  int matrix = heif_matrix_coefficients_ITU_R_BT_601_6;
  bool fullRange = true;
};

YCbCrProfile ProfileOf(const heif_image* image, const heif_image_handle* handle) {
  heif_color_profile_nclx* nclx = nullptr;
  if (!image || Heif().heif_image_get_nclx_color_profile(image, &nclx).code != heif_error_Ok) {
    nclx = nullptr;
    if (Heif().heif_image_handle_get_nclx_color_profile(handle, &nclx).code != heif_error_Ok) {
      nclx = nullptr;
    }
  }
  if (!nclx) return {};
  YCbCrProfile profile{true, int(nclx->matrix_coefficients), bool(nclx->full_range_flag)};
  Heif().heif_nclx_color_profile_free(nclx);
  return profile;
}

// A tile of a grid, decoded from a file of its own (libheif cannot hand
// out a grid's tiles): YCbCr planes when they are 8-bit, else RGB.
struct DecodedTile {
  heif_image* image = nullptr;
  YCbCrPlanes planes;
  std::optional<YCbCrToRGB> convert;  // set when the planes are YCbCr
  const uint8_t* rgb = nullptr;
  int rgbStride = 0;

  DecodedTile() = default;
  DecodedTile(const DecodedTile&) = delete;
  DecodedTile& operator=(const DecodedTile&) = delete;
  ~DecodedTile() { reset(); }
  void reset() {
    if (image) Heif().heif_image_release(image);
    image = nullptr;
    convert.reset();
    rgb = nullptr;
  }

  // `width` pixels of row `y` as RGB.
  void row(uint32_t y, uint32_t width, uint8_t* out) const {
    if (convert) {
      planes.row(*convert, y, width, out);
    } else {
      std::memcpy(out, rgb + size_t(y) * rgbStride, size_t(width) * 3);
    }
  }

  // The YCbCr of a grid's picture, as its colour profile says; when it
  // has none, as each tile's says.
  using Profile = YCbCrProfile;

  // Decodes `file` (made by HEIFItems::standaloneFile), which must make a
  // picture of width x height.
  bool decode(std::span<const uint8_t> file, uint32_t width, uint32_t height,
              const Profile& profile) {
    heif_context* context = Heif().heif_context_alloc();
    if (!context) return false;
    heif_image_handle* handle = nullptr;
    const bool read =
        Heif().heif_context_read_from_memory_without_copy(context, file.data(), file.size(),
                                                          nullptr)
                .code == heif_error_Ok &&
        Heif().heif_context_get_image_handle(context, 1, &handle).code == heif_error_Ok;
    if (read) decodeHandle(handle, width, height, profile);
    if (handle) Heif().heif_image_handle_release(handle);
    Heif().heif_context_free(context);
    return image != nullptr;
  }

 private:
  void decodeHandle(heif_image_handle* handle, uint32_t width, uint32_t height,
                    Profile profile) {
    if (uint32_t(Heif().heif_image_handle_get_width(handle)) != width ||
        uint32_t(Heif().heif_image_handle_get_height(handle)) != height) {
      return;
    }
    if (Heif().heif_decode_image(handle, &image, heif_colorspace_YCbCr, heif_chroma_420,
                                 nullptr)
            .code != heif_error_Ok) {
      reset();
      return;
    }
    if (planes.read(image, width, height)) {
      if (!profile.given) profile = ProfileOf(image, handle);
      if (YCbCrToRGB::converts(profile.matrix)) {
        convert.emplace(profile.matrix, profile.fullRange);
        return;
      }
    }
    // Of another layout: libheif converts it.
    reset();
    if (Heif().heif_decode_image(handle, &image, heif_colorspace_RGB,
                                 heif_chroma_interleaved_RGB, nullptr)
            .code != heif_error_Ok) {
      reset();
      return;
    }
    rgb = Heif().heif_image_get_plane_readonly(image, heif_channel_interleaved, &rgbStride);
    if (!rgb || uint32_t(Heif().heif_image_get_width(image, heif_channel_interleaved)) != width ||
        uint32_t(Heif().heif_image_get_height(image, heif_channel_interleaved)) != height) {
      reset();
    }
  }
};

}  // namespace

bool HEIFDecoder::decodeRows(size_t index, int channels, bool keep, const RowSink& sink) {
  if (!context_ || !images_[index].decodable) return false;
  heif_image_handle* handle = nullptr;
  if (Heif().heif_context_get_image_handle(context_, images_[index].id, &handle).code !=
      heif_error_Ok) {
    return false;
  }
  const uint32_t width = images_[index].width, height = images_[index].height;
  // What is decoded, and how; over a file, every decoder of the same
  // version of it finds the same decode.
  auto decoded = [&](const char* how, heif_colorspace colorspace, heif_chroma chroma) {
    const std::string what = std::to_string(images_[index].id) + how;
    std::shared_ptr<HEIFSharedDecode> decode = held_ && heldWhat_ == what ? held_
                                               : file_
                                                   ? SharedDecode(file_->identity() + "#" + what)
                                                   : std::make_shared<HEIFSharedDecode>();
    std::call_once(decode->once, [&] {
      decode->pixels = uint64_t(width) * height;
      decode->image = Decode(handle, decode->pixels, colorspace, chroma);
      if (decode->image && colorspace == heif_colorspace_YCbCr) ReadColourProfile(*decode, handle);
    });
    releaseBytes();  // the coded data is read; the decoded image is what counts now
    if (keep) {
      held_ = decode;
      heldWhat_ = what;
    }
    return decode;
  };
  if (channels == 3) {
    // Opaque rows are converted from the decoder's own YCbCr here, a row at
    // a time: libheif's conversion would make a whole RGB copy of the image
    // (3 bytes a pixel, beside the 1.5 of 4:2:0 planes).
    auto native = decoded("#ycc", heif_colorspace_YCbCr, heif_chroma_420);
    const int given = native->image ? YCbCrRows(*native, width, height, sink) : 0;
    if (given >= 0) {
      Heif().heif_image_handle_release(handle);
      return given == 1;
    }
  }
  const bool premultiplied = Heif().heif_image_handle_is_premultiplied_alpha(handle);
  auto decode = channels == 3 ? decoded("#rgb", heif_colorspace_RGB, heif_chroma_interleaved_RGB)
                              : decoded("#rgba", heif_colorspace_RGB, heif_chroma_interleaved_RGBA);
  Heif().heif_image_handle_release(handle);
  const heif_image* image = decode->image;
  if (!image) return false;
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
  return ok;
}

const HEIFDecoder::Thumbnail* HEIFDecoder::coveringThumbnail(const Image& image, uint32_t width,
                                                             uint32_t height) const {
  const Thumbnail* best = nullptr;
  for (const Thumbnail& t : image.thumbnails) {
    if (t.width < width || t.height < height) continue;
    if (!best || uint64_t(t.width) * t.height < uint64_t(best->width) * best->height) best = &t;
  }
  return best;
}

bool HEIFDecoder::decodeThumbnail(const Image& image, const Thumbnail& thumbnail,
                                  ImageBitmap& out) const {
  heif_image_handle* handle = nullptr;
  if (Heif().heif_context_get_image_handle(context_, image.id, &handle).code != heif_error_Ok) {
    return false;
  }
  heif_image_handle* thumb = nullptr;
  const bool found =
      Heif().heif_image_handle_get_thumbnail(handle, thumbnail.id, &thumb).code == heif_error_Ok;
  Heif().heif_image_handle_release(handle);
  if (!found) return false;
  // As stored: the image's own turn is applied below, whatever the
  // thumbnail's boxes say.
  heif_decoding_options* options = Heif().heif_decoding_options_alloc();
  if (options) options->ignore_transformations = 1;
  const bool premultiplied = Heif().heif_image_handle_is_premultiplied_alpha(thumb);
  heif_image* decoded = options ? Decode(thumb, uint64_t(thumbnail.width) * thumbnail.height,
                                         heif_colorspace_RGB, heif_chroma_interleaved_RGBA, options)
                                : nullptr;
  if (options) Heif().heif_decoding_options_free(options);
  Heif().heif_image_handle_release(thumb);
  releaseBytes();
  if (!decoded) return false;
  int stride = 0;
  const uint8_t* plane =
      Heif().heif_image_get_plane_readonly(decoded, heif_channel_interleaved, &stride);
  const int w = Heif().heif_image_get_width(decoded, heif_channel_interleaved);
  const int h = Heif().heif_image_get_height(decoded, heif_channel_interleaved);
  ImageBitmap stored;
  const bool ok = plane && w > 0 && h > 0 && stored.allocate(uint32_t(w), uint32_t(h));
  for (int y = 0; ok && y < h; ++y) {
    std::memcpy(stored.row(uint32_t(y)), plane + size_t(y) * stride, size_t(w) * 4);
  }
  Release(decoded, uint64_t(thumbnail.width) * thumbnail.height);
  if (!ok) return false;
  if (premultiplied) ImageBitmapUnpremultiply(stored);
  out = ImageBitmapApplyingOrientation(stored, image.orientation);
  out.hasAlpha = image.hasAlpha;
  // Cropped or otherwise unlike what its boxes promised: not this image's.
  return out.width == thumbnail.width && out.height == thumbnail.height;
}

namespace {

// Rows of tiles a decode by tiles holds at once: the one whose rows are
// taken and the next, decoded meanwhile.
constexpr uint32_t kTileRowsHeld = 2;

// Tiles handed out to the threads that decode them, no more than
// kTileRowsHeld rows of them ahead of the rows taken.
struct TileQueue {
  explicit TileQueue(size_t count) : ready(count, 0) {}
  Mutex mutex;  // guards the rest (with changed)
  std::condition_variable changed;
  size_t next GUARDED_BY(mutex) = 0;        // the next tile to decode
  size_t rowsTaken GUARDED_BY(mutex) = 0;   // rows of tiles whose rows are taken
  std::vector<uint8_t> ready GUARDED_BY(mutex);  // each tile: decoded or failed
  bool stop GUARDED_BY(mutex) = false;      // a tile failed, or the rows are taken
};

}  // namespace

bool HEIFDecoder::holdsWholeDecode(size_t index) const {
  const std::string what = std::to_string(images_[index].id) + "#ycc";
  if (held_ && heldWhat_ == what) return true;
  if (!file_) return false;
  MutexLock lock(gSharedMutex);
  auto it = gShared.find(file_->identity() + "#" + what);
  return it != gShared.end() && !it->second.expired();
}

bool HEIFDecoder::decodeTiledScaled(size_t index, uint32_t width, uint32_t height, bool keep,
                                    ImageBitmap& out) {
  const Image& image = images_[index];
  auto covers = [&](const HEIFSharedScaled& made) {
    return made.id == image.id && made.width >= width && made.height >= height;
  };
  std::shared_ptr<HEIFSharedScaled> scaled;
  if (heldScaled_ && covers(*heldScaled_)) {
    scaled = heldScaled_;
  } else {
    auto made = std::make_shared<HEIFSharedScaled>();
    made->id = image.id;
    made->width = width;
    made->height = height;
    // Made larger, for the larger sizes that may follow, when that stays
    // small: by a whole factor, as an area average of whole blocks.
    const uint32_t factor = std::min(image.width / (4 * width), image.height / (4 * height));
    if (keep && factor >= 2 &&
        uint64_t(image.width / factor) * (image.height / factor) <= kHEIFKeptScaledPixels) {
      made->width = image.width / factor;
      made->height = image.height / factor;
    }
    scaled = made;
    if (file_) {
      MutexLock lock(gSharedMutex);
      std::erase_if(gScaled, [](const auto& entry) { return entry.second.expired(); });
      std::weak_ptr<HEIFSharedScaled>& slot = gScaled[file_->identity() + "#" +
                                                      std::to_string(image.id)];
      std::shared_ptr<HEIFSharedScaled> shared = slot.lock();
      if (shared && covers(*shared)) {
        scaled = shared;
      } else {
        slot = made;
      }
    }
  }
  std::call_once(scaled->once, [&] {
    scaled->ok = decodeTiles(image, scaled->width, scaled->height, scaled->bitmap);
  });
  if (!scaled->ok) return false;
  // Kept only while small: a large one (an export's) is handed out instead.
  const bool small = uint64_t(scaled->width) * scaled->height <= kHEIFKeptScaledPixels;
  if (keep && small) heldScaled_ = scaled;
  if (scaled->width != width || scaled->height != height) {
    out = ImageBitmapResized(scaled->bitmap, width, height);
  } else if (!small && handOver(scaled)) {
    out = std::move(scaled->bitmap);
  } else {
    out = scaled->bitmap;
  }
  out.hasAlpha = false;
  return !out.empty();
}

bool HEIFDecoder::handOver(std::shared_ptr<HEIFSharedScaled>& scaled) const {
  // Others find it only through the map, under its mutex.
  MutexLock lock(gSharedMutex);
  if (scaled.use_count() != 1 || heldScaled_ == scaled) return false;
  std::erase_if(gScaled, [&](const auto& entry) { return entry.second.lock() == scaled; });
  return true;
}

bool HEIFDecoder::decodeTiles(const Image& image, uint32_t width, uint32_t height,
                              ImageBitmap& out) const {
  const HEIFGridLayout& grid = image.grid;
  // Rows come as stored; the output is turned once it is made.
  if (image.orientation >= 5) std::swap(width, height);
  ImageRowResampler resampler(grid.width, grid.height, width, height, false, 3);
  if (!resampler.valid() || !context_) return false;
  DecodedTile::Profile profile;
  heif_image_handle* handle = nullptr;
  if (Heif().heif_context_get_image_handle(context_, image.id, &handle).code != heif_error_Ok) {
    return false;
  }
  profile = ProfileOf(nullptr, handle);
  Heif().heif_image_handle_release(handle);
  const HEIFItems items(bytes());
  const uint32_t columns = grid.columns, rows = grid.rows;
  const uint32_t tileWidth = image.tileWidth, tileHeight = image.tileHeight;
  const size_t count = size_t(rows) * columns;
  // What is held at once: the row of tiles whose rows are taken and the
  // next, decoded meanwhile.
  const uint64_t pixels =
      uint64_t(std::min<size_t>(count, kTileRowsHeld * size_t(columns))) * tileWidth *
      tileHeight;
  Budget().acquire(pixels);
  std::vector<std::unique_ptr<DecodedTile>> tiles(count);
  TileQueue queue(count);
  auto work = [&] {
    for (;;) {
      size_t i = 0;
      {
        MutexLock lock(queue.mutex);
        lock.wait(queue.changed, [&]() REQUIRES(queue.mutex) {
          return queue.stop || queue.next >= count ||
                 queue.next < (queue.rowsTaken + kTileRowsHeld) * columns;
        });
        if (queue.stop || queue.next >= count) return;
        i = queue.next++;
      }
      auto tile = std::make_unique<DecodedTile>();
      const std::vector<uint8_t> file = items.standaloneFile(grid.tiles[i]);
      const bool decoded = !file.empty() && tile->decode(file, tileWidth, tileHeight, profile);
      {
        MutexLock lock(queue.mutex);
        if (decoded) {
          tiles[i] = std::move(tile);
        } else {
          queue.stop = true;
        }
        queue.ready[i] = 1;
      }
      queue.changed.notify_all();
    }
  };
  std::vector<std::thread> threads;
  const int threadCount = std::min<int>(HEIFDecodingThreads(), int(kTileRowsHeld * columns));
  try {
    for (int t = 0; t < threadCount; ++t) threads.emplace_back(work);
  } catch (const std::system_error&) {
    // As many as could start; none: nothing is decoded.
  }
  bool ok = !threads.empty();
  std::vector<uint8_t> rgb(size_t(grid.width) * 3);
  for (uint32_t r = 0; r < rows && ok; ++r) {
    {
      MutexLock lock(queue.mutex);
      lock.wait(queue.changed, [&]() REQUIRES(queue.mutex) {
        if (queue.stop) return true;
        for (uint32_t c = 0; c < columns; ++c) {
          if (!queue.ready[size_t(r) * columns + c]) return false;
        }
        return true;
      });
      ok = !queue.stop;
    }
    if (!ok) break;
    // The last row and column of tiles overhang the picture.
    const uint32_t y0 = r * tileHeight, rowsOfTiles = std::min(tileHeight, grid.height - y0);
    for (uint32_t y = 0; y < rowsOfTiles; ++y) {
      for (uint32_t c = 0; c < columns; ++c) {
        const uint32_t x0 = c * tileWidth;
        tiles[size_t(r) * columns + c]->row(y, std::min(tileWidth, grid.width - x0),
                                            rgb.data() + size_t(x0) * 3);
      }
      resampler.addRow(rgb.data());
    }
    for (uint32_t c = 0; c < columns; ++c) tiles[size_t(r) * columns + c].reset();
    releaseBytes();
    {
      MutexLock lock(queue.mutex);
      ++queue.rowsTaken;
    }
    queue.changed.notify_all();
  }
  {
    MutexLock lock(queue.mutex);
    queue.stop = true;
  }
  queue.changed.notify_all();
  for (std::thread& thread : threads) thread.join();
  tiles.clear();
  Budget().release(pixels);
  GiveBackFreedMemory(pixels);
  if (!ok || !resampler.done()) return false;
  ++gDecodedImages;
  out = resampler.take();
  if (image.orientation > 1) out = ImageBitmapApplyingOrientation(out, image.orientation);
  out.hasAlpha = false;
  return true;
}

bool HEIFDecoder::onDecodeFrame(size_t index, ImageBitmap& out, size_t) {
  const Image& image = images_[index];
  if (!out.allocate(image.width, image.height)) return false;
  out.hasAlpha = image.hasAlpha;
  return decodeRows(index, 4, false, [&](uint32_t y, const uint8_t* row) {
    std::memcpy(out.row(y), row, size_t(image.width) * 4);
  });
}

bool HEIFDecoder::onCanDecodeAt(size_t index, uint32_t width, uint32_t height) const {
  const Image& image = images_[index];
  return image.decodable || image.tiled || coveringThumbnail(image, width, height);
}

bool HEIFDecoder::onDecodeFrameScaled(size_t index, uint32_t width, uint32_t height,
                                      ImageBitmap& out) {
  const Image& image = images_[index];
  // A thumbnail that covers the size gives it for a fraction of the cost.
  if (const Thumbnail* thumbnail = coveringThumbnail(image, width, height)) {
    ImageBitmap small;
    if (decodeThumbnail(image, *thumbnail, small)) {
      out = small.width == width && small.height == height
                ? std::move(small)
                : ImageBitmapResized(small, width, height);
      out.hasAlpha = image.hasAlpha;
      return !out.empty();
    }
  }
  if (height > image.height) return ImageDecoder::onDecodeFrameScaled(index, width, height, out);
  // A grid a row of tiles at a time, where that holds less than a whole
  // decode (which holds two rows' worth of tiles and more), unless a whole
  // decode is already made.
  if (image.tiled &&
      (!image.decodable || (image.grid.rows > kTileRowsHeld && !holdsWholeDecode(index)))) {
    if (decodeTiledScaled(index, width, height, true, out)) return true;
    if (!image.decodable) return false;
  }
  // libheif decodes the whole image (this version can neither scale nor
  // hand out a grid's tiles); its rows go straight into the output, as RGB
  // when opaque, so no bitmap of ours is made at the full size.
  const int channels = image.hasAlpha ? 4 : 3;
  ImageRowResampler resampler(image.width, image.height, width, height, image.hasAlpha, channels);
  if (!resampler.valid() || !decodeRows(index, channels, true, [&](uint32_t, const uint8_t* row) {
        resampler.addRow(row);
      })) {
    return false;
  }
  out = resampler.take();
  out.hasAlpha = image.hasAlpha;
  return true;
}
