#pragma once

// HEIF family (HEIC, HEIF, image sequences' still items, AVIF) through
// libheif. Every top-level image is a frame, the primary one first. libheif
// applies the rotation and mirroring boxes, so frames come out upright and
// no orientation is reported.
//
// Phones write large photos as grids of tiles with a small thumbnail item
// beside them. A scaled decode that the thumbnail covers is made from it,
// turned the way the image is; a thumbnail is chosen by what its coded data
// makes, before it is decoded, and never when larger than its image.
// libheif decodes an image whole, whatever size is asked for. A grid (as
// phones write large photos) is decoded for a scaled size a row of tiles
// at a time instead, each tile a coded picture of its own, its rows folded
// into the output as they come, so that only a few rows of tiles are ever
// held, whatever the grid's size; its full-size bitmap is held to the
// limits as any other. Any other image is decoded whole, within the budget
// below: a grid whose picture is within kImageMaxPixels (whole decodes
// give full-size bitmaps, or serve a scaled decode another already holds),
// and one coded picture up to the source limits. No decode starts whose
// coded data would make another picture than its item declares (see
// HEIFItems.h). Tiles are decoded side by side, one thread for each CPU
// the process may use. Over a mapped file, decodes are shared: decoders of
// the same file version asking for the same image while another holds its
// decode (a grid's: of a size that covers theirs) wait for that decode or
// take it instead of making their own. A decoder holds its last scaled
// decode until dropScaledDecode() or dropCaches(), so a second size costs
// no second decode; a grid's, asked to be kept, is made at up to four times
// the size asked for, within kHEIFKeptScaledPixels, so that the larger
// image asked for next (the final image after a quick degraded one) is
// made from it.

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/Mutex.h"
#include "platform/imageio/ExifMetadata.h"
#include "platform/imageio/ImageDecoder.h"
#include "platform/imageio/internal/HEIFItems.h"

struct heif_context;
struct heif_image_handle;

class HEIFDecoder : public ImageDecoder {
 public:
  using ImageDecoder::ImageDecoder;
  ~HEIFDecoder() override;

  // Whether the brands of an ISO base media file make it an image of `type`.
  static bool sniff(const uint8_t* data, size_t size, const char* type);
  // Whether the type is readable, never loading libheif for the answer: true
  // until it is loaded, then whether it has a decoder for the type's codec.
  static bool canDecode(const char* type);

 protected:
  CGImageSourceStatus onParse() override;
  size_t onFrameCount() const override { return images_.size(); }
  ValueMap onFrameProperties(size_t index) const override;
  bool onDecodeFrame(size_t index, ImageBitmap& out, size_t prior) override;
  bool onCanDecodeAt(size_t index, uint32_t width, uint32_t height) const override;
  bool onDecodeFrameScaled(size_t index, uint32_t width, uint32_t height,
                           ImageBitmap& out) override;

 private:
  // Decodes the image and hands each row, in order, to `sink`: its index
  // and straight RGBA (or RGB when `channels` is 3).
  using RowSink = std::function<void(uint32_t, const uint8_t*)>;
  // `keep`: the decode is held for the next call.
  bool decodeRows(size_t index, int channels, bool keep, const RowSink& sink);
  void onDropCaches() override {
    held_.reset();
    heldScaled_.reset();
  }
  void onDropScaledDecode() override {
    held_.reset();
    heldScaled_.reset();
  }

  struct Thumbnail {
    uint32_t id = 0;
    // As it comes out turned the way the image is.
    uint32_t width = 0, height = 0;
  };
  struct Image {
    uint32_t id = 0;
    uint32_t width = 0, height = 0;
    bool hasAlpha = false;
    int depth = 8;
    ExifData exif;
    // The EXIF orientation equal to the image's rotation and mirroring.
    int orientation = 1;
    // Whether it may be decoded whole.
    bool decodable = false;
    // A grid whose tiles may be decoded a row at a time: tiles of one size,
    // each within kImageMaxPixels, and nothing that libheif would do to the
    // pasted picture but its turns (no crop, no alpha).
    bool tiled = false;
    uint32_t tileWidth = 0, tileHeight = 0;
    HEIFGridLayout grid;
    std::vector<Thumbnail> thumbnails;
  };
  // The thumbnails worth decoding instead of the image: of its shape, no
  // larger than it, and coded at the size they declare, within the limits.
  void readThumbnails(heif_image_handle* handle, const HEIFItems& items, Image& image) const;
  // Whether the tiles of the image's grid may be decoded alone (sets its
  // tile size).
  static bool tilesDecodeAlone(const HEIFItems& items, Image& image);
  // The image's thumbnail of the least pixels that covers width x height,
  // nullptr when none does.
  const Thumbnail* coveringThumbnail(const Image& image, uint32_t width, uint32_t height) const;
  bool decodeThumbnail(const Image& image, const Thumbnail& thumbnail, ImageBitmap& out) const;
  // Whether a whole decode of the image is held here or by another decoder
  // of the file: a scaled decode then costs nothing more.
  bool holdsWholeDecode(size_t index) const;
  // A tiled image scaled to width x height, a row of tiles at a time.
  bool decodeTiledScaled(size_t index, uint32_t width, uint32_t height, bool keep,
                         ImageBitmap& out);
  // Whether `scaled` is held by nobody else, so its bitmap may be moved
  // out; then nobody else finds it either.
  bool handOver(std::shared_ptr<struct HEIFSharedScaled>& scaled) const;
  // Streams the tiles' rows into `out`, made at width x height (turned).
  bool decodeTiles(const Image& image, uint32_t width, uint32_t height, ImageBitmap& out) const;

  heif_context* context_ = nullptr;
  std::vector<Image> images_;
  std::shared_ptr<struct HEIFSharedDecode> held_;  // the last scaled decode
  std::string heldWhat_;
  std::shared_ptr<struct HEIFSharedScaled> heldScaled_;  // the last of a grid's
};

// A grid's scaled decode kept for the sizes that follow is no larger than
// this (RGBA: 4 MiB).
inline constexpr uint64_t kHEIFKeptScaledPixels = 1 << 20;

// A thumbnail whose shape is its image's, to within two pixels along its
// shorter side (libheif's encoder rounds it down to an even size: 512 x 510
// for 8194 x 8192): it shows the same picture.
bool HEIFThumbnailOfShape(uint32_t width, uint32_t height, uint32_t imageWidth,
                          uint32_t imageHeight);

// libheif assembles a whole image at about four and a half bytes a pixel
// at its peak, and a grid's tiles already keep every allowed CPU busy:
// decodes side by side past one full decode's worth of pixels
// (kImageMaxPixels) would add memory, not speed. Every decode takes its
// pixels from one budget of that size (a decode by tiles, the pixels of the
// tiles it holds at once): it waits until those running leave it room; one
// alone always runs.
class HEIFDecodeBudget {
 public:
  explicit HEIFDecodeBudget(uint64_t pixels) : budget_(pixels) {}
  HEIFDecodeBudget(const HEIFDecodeBudget&) = delete;
  HEIFDecodeBudget& operator=(const HEIFDecodeBudget&) = delete;

  void acquire(uint64_t pixels);
  void release(uint64_t pixels);
  uint64_t inUse() const;
  // Decodes waiting for room.
  size_t waiting() const;

 private:
  bool fits(uint64_t pixels) const REQUIRES(mutex_) {
    return inUse_ == 0 || inUse_ + pixels <= budget_;
  }

  mutable Mutex mutex_;  // guards inUse_ and waiting_ (with room_)
  std::condition_variable room_;
  const uint64_t budget_;
  uint64_t inUse_ GUARDED_BY(mutex_) = 0;
  size_t waiting_ GUARDED_BY(mutex_) = 0;
};

// The budget every HEIF decode of this process takes its pixels from.
HEIFDecodeBudget& HEIFSharedDecodeBudget();

// The threads a grid's tiles are decoded on, side by side (by libheif in a
// whole decode, by the decoder a row of tiles at a time): one for each CPU
// the calling thread may run on (its affinity), at most 8.
int HEIFDecodingThreads();

// Loads libheif and initialises it (plugins loaded) once per process; false
// with `why` (when given) when it cannot be loaded, and then no HEIF image is
// read or written.
bool HEIFInitialiseOnce(std::string* why = nullptr);
// Whether libheif is loaded; never loads it.
bool HEIFLoaded();
