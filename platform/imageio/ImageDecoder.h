#pragma once

// The small decoder interface behind image sources: one decoder per format,
// made over an immutable snapshot of the bytes received so far. A decoder
// answers what it knows without decoding pixels (frames, sizes, properties)
// and decodes one frame at a time into an ImageBitmap. The public accessors
// check the frame index (and what a decode produced) once, here; formats
// implement the protected hooks, which only ever see valid indices. Not
// thread-safe: the source serialises.
//
// Every format is registered once, in the table of ImageDecoderRegistry():
// type detection, the list of readable types and decoder creation all read it.

#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/foundation/ValueFwd.h"
#include "platform/imageio/ImageBitmap.h"
#include "platform/imageio/ImageRowReader.h"
#include "platform/imageio/MappedFileGuard.h"

// Values of the platform's image source status.
enum CGImageSourceStatus : int32_t {
  kCGImageStatusUnexpectedEOF = -5,
  kCGImageStatusInvalidData = -4,
  kCGImageStatusUnknownType = -3,
  kCGImageStatusReadingHeader = -2,
  kCGImageStatusIncomplete = -1,
  kCGImageStatusComplete = 0,
};

// A file's bytes mapped read-only, for the formats that decode a file in
// order: a thumbnail of a large file then touches a little of it at a time,
// and release() gives back the pages read so far (touched again, they are
// read again from the file), so the file is never resident as a whole.
// Another process may cut the file short meanwhile: what lies past its new
// end then reads as zeros, and cutShort() says so (see MappedFileGuard.h).
class ImageFileBytes {
 public:
  // nullptr when the file cannot be opened and mapped, is empty, or no more
  // mappings can be watched (read the file instead).
  static std::shared_ptr<const ImageFileBytes> open(const std::string& path);
  ~ImageFileBytes();
  ImageFileBytes(const ImageFileBytes&) = delete;
  ImageFileBytes& operator=(const ImageFileBytes&) = delete;

  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }
  void release() const;
  // Whether the file has been cut short since it was mapped: nothing read
  // from it may be trusted then. A cut inside the last page raises no
  // fault (the page's tail reads as zeros), so the file is asked too.
  bool cutShort() const;
  // The version of the file mapped (its inode, size and modification time):
  // two mappings with the same identity hold the same bytes.
  const std::string& identity() const { return identity_; }

 private:
  ImageFileBytes(const uint8_t* data, size_t size, MappedRange range, std::string path,
                 uint64_t device, uint64_t inode, int64_t mtimeNs)
      : data_(data),
        size_(size),
        range_(range),
        path_(std::move(path)),
        device_(device),
        inode_(inode),
        identity_(std::to_string(device) + ":" + std::to_string(inode) + ":" +
                  std::to_string(size) + ":" + std::to_string(mtimeNs)) {}
  const uint8_t* const data_;
  const size_t size_;
  MappedRange range_;
  // The file mapped, known by its inode: one renamed over it is another file.
  const std::string path_;
  const uint64_t device_, inode_;
  const std::string identity_;
};

// What a frame's decode needs to know beforehand, read without building
// its property dictionary: the size decodeFrame produces, whether it has
// alpha, and its EXIF orientation (0 when the file gives none in 1-8).
struct ImageFrameGeometry {
  uint32_t width = 0;
  uint32_t height = 0;
  bool hasAlpha = false;
  int orientation = 0;
};

class ImageDecoder {
 public:
  // No frame: what decodeFrame's `prior` says when `out` holds nothing useful.
  static constexpr size_t kNoFrame = size_t(-1);

  ImageDecoder(const char* type, std::shared_ptr<const Bytes> data, bool complete)
      : type_(type),
        data_(std::move(data)),
        complete_(complete),
        bytes_(data_->data(), data_->size()) {}
  // Over a whole mapped file (formats that read files only).
  ImageDecoder(const char* type, std::shared_ptr<const ImageFileBytes> file)
      : type_(type),
        complete_(true),
        file_(std::move(file)),
        bytes_(file_->data(), file_->size()) {}
  virtual ~ImageDecoder() = default;
  ImageDecoder(const ImageDecoder&) = delete;
  ImageDecoder& operator=(const ImageDecoder&) = delete;

  const char* typeIdentifier() const { return type_; }
  // The data decoded, in memory or mapped from a file.
  std::span<const uint8_t> bytes() const { return bytes_; }
  // Over a mapped file: gives back the pages read so far. Formats that read
  // a file in order call it as they go.
  void releaseBytes() const {
    if (file_) file_->release();
  }
  // Whether the mapped file was cut short under the decoder: what it read
  // past the cut was zeros.
  bool cutShort() const { return file_ && file_->cutShort(); }
  // The same once reading has gone kImageReleaseBytes past the last release
  // (`pos`: how far into the data it is), for loops that walk the data.
  void releaseBytesAt(size_t pos) const {
    if (file_ && (pos < releasedAt_ || pos - releasedAt_ >= kImageReleaseBytes)) {
      file_->release();
      releasedAt_ = pos;
    }
  }
  static constexpr size_t kImageReleaseBytes = 8 << 20;

  // Reads the structure; Complete, Incomplete (more data needed for some
  // frames), ReadingHeader (not even the size yet) or InvalidData.
  CGImageSourceStatus parse() { return onParse(); }
  size_t frameCount() const { return onFrameCount(); }
  // Properties of the whole file (loop count of an animation, ...).
  ValueMap containerProperties() const;
  // Properties of one frame, with PixelWidth/PixelHeight of the bitmap that
  // decodeFrame produces; empty for an index out of range.
  ValueMap frameProperties(size_t index) const;
  // The same facts frameProperties gives of the frame's size, alpha and
  // orientation; false for an index out of range.
  bool frameGeometry(size_t index, ImageFrameGeometry& out) const;
  // UnknownType for an index out of range.
  CGImageSourceStatus frameStatus(size_t index) const;
  // Decodes a frame; false when the data cannot give it (or the index is out
  // of range). Incomplete data may give a partial frame (the missing part
  // transparent). When `out` holds frame `prior` as this decoder produced it,
  // animations draw only what changed since (the cost of the frames' areas,
  // not of the canvas); otherwise `out` is made anew.
  bool decodeFrame(size_t index, ImageBitmap& out, size_t prior = kNoFrame);
  // The frame scaled to exactly width x height, the cheapest way the format
  // has: formats that give rows in order fold them into the output as they
  // are decoded (JPEG after its DCT scaling, WebP in libwebp), so the
  // frame's full-size bitmap never exists and only the output is held to the
  // size limits; others decode whole and resize.
  bool decodeFrameScaled(size_t index, uint32_t width, uint32_t height, ImageBitmap& out);
  // Whether decodeRows() can give rows of the frame without decoding all of
  // it (complete still JPEG and non-interlaced PNG data).
  bool canDecodeRows(size_t index) const;
  // False when the decoder already knows, before any decode, that the frame
  // cannot be made at width x height (a HEIF item its checks refused, with
  // no thumbnail to stand in): such a frame is no image at all.
  bool canDecodeAt(size_t index, uint32_t width, uint32_t height) const;
  // Rows [first, first + count) of the frame at full size, decoded forward
  // from the last rows asked for; nullptr when the format cannot or the data
  // does not give them (decode the frame instead).
  std::shared_ptr<const ImageBitmap> decodeRows(size_t index, uint32_t first, uint32_t count);
  // A thumbnail stored in the file (EXIF), encoded; empty when none.
  Bytes embeddedThumbnail(size_t index) const;
  // Drops what the decoder keeps between frames.
  void dropCaches() {
    rowReader_.reset();
    onDropCaches();
  }
  // Drops what the last decodeFrameScaled() kept for the next one (a format
  // that decodes whole may keep its decode, so that another size of the
  // frame costs no second decode).
  void dropScaledDecode() { onDropScaledDecode(); }

 protected:
  virtual CGImageSourceStatus onParse() = 0;
  virtual size_t onFrameCount() const = 0;
  // Default: none.
  virtual ValueMap onContainerProperties() const;
  virtual ValueMap onFrameProperties(size_t index) const = 0;
  // Default: read from onFrameProperties; formats on hot paths answer
  // from their header fields.
  virtual ImageFrameGeometry onFrameGeometry(size_t index) const;
  // Default: Complete once all data is here.
  virtual CGImageSourceStatus onFrameStatus(size_t index) const;
  virtual bool onDecodeFrame(size_t index, ImageBitmap& out, size_t prior) = 0;
  // Default: the whole frame, resized.
  virtual bool onDecodeFrameScaled(size_t index, uint32_t width, uint32_t height, ImageBitmap& out);
  virtual Bytes onEmbeddedThumbnail(size_t) const { return {}; }
  // A reader of the frame's rows in bands; nullptr when the format cannot.
  virtual std::unique_ptr<ImageRowReader> onMakeRowReader(size_t) const { return nullptr; }
  virtual bool onCanDecodeRows(size_t) const { return false; }
  virtual bool onCanDecodeAt(size_t, uint32_t, uint32_t) const { return true; }
  virtual void onDropCaches() {}
  virtual void onDropScaledDecode() {}

  const char* const type_;
  // Null over a mapped file: formats that read files use bytes().
  const std::shared_ptr<const Bytes> data_;
  const bool complete_;
  const std::shared_ptr<const ImageFileBytes> file_;
  const std::span<const uint8_t> bytes_;
  mutable size_t releasedAt_ = 0;

 private:
  // Made on the first decodeRows(); reads from data_, so it goes first.
  std::unique_ptr<ImageRowReader> rowReader_;
};

// One readable format: its type, whether leading bytes are of it, and how to
// make its decoder. `available` (when set) says whether this machine's
// libraries decode it.
struct ImageDecoderDescriptor {
  const char* type;
  bool (*sniff)(const uint8_t* data, size_t size, const char* type);
  std::unique_ptr<ImageDecoder> (*create)(const char* type, std::shared_ptr<const Bytes> data,
                                          bool complete);
  bool (*available)(const char* type) = nullptr;
  // Set for the formats that can decode a mapped file.
  std::unique_ptr<ImageDecoder> (*createForFile)(
      const char* type, std::shared_ptr<const ImageFileBytes> file) = nullptr;
  // Whether a file of the type is mapped whatever its size: decoders of
  // mapped files share a decode of the same file (see HEIFDecoder.h).
  bool mapsEveryFile = false;
};

// Every format, in the order sniffing tries them.
const std::vector<ImageDecoderDescriptor>& ImageDecoderRegistry();

// The image type of the leading bytes ("public.png", ...), "" when unknown.
std::string ImageTypeOfData(const uint8_t* data, size_t size);

// A decoder for the data's type, parsed; nullptr with the status when the
// type is unknown, the header not yet complete or the data invalid.
std::unique_ptr<ImageDecoder> ImageDecoderCreate(std::shared_ptr<const Bytes> data, bool complete,
                                                 CGImageSourceStatus& status);

// A decoder over a mapped file, parsed; nullptr with the status when the
// file is of no type that decodes files, or is invalid.
std::unique_ptr<ImageDecoder> ImageDecoderCreateForFile(std::shared_ptr<const ImageFileBytes> file,
                                                        CGImageSourceStatus& status);

// Whether decoders of the type read mapped files, and the size from which
// an image source maps a file of such a type rather than reading it.
bool ImageTypeDecodesFiles(const std::string& type);
inline constexpr size_t kImageFileMappedBytes = 4 << 20;
// Whether an image source maps a file of `size` bytes of the type rather
// than reading it.
bool ImageTypeMapsFile(const std::string& type, size_t size);

// Types that image sources read.
const std::vector<std::string>& ImageDecoderTypeIdentifiers();

// How many images libheif has decoded in this process (thumbnail items
// included); a decode shared by several sources counts once.
size_t HEIFDecodedImageCount();

// Common keys of a frame's properties.
ValueMap ImageFrameBaseProperties(uint32_t width, uint32_t height, bool hasAlpha,
                                  const char* colorModel, int depth);

// An animation frame's delay as shown: below 0.011 s it reads as 0.1 s (the
// raw value goes under the unclamped key).
inline double ImageFrameClampedDelay(double seconds) { return seconds < 0.011 ? 0.1 : seconds; }

// Whether `dataBytes` of compressed data could describe `amount` (pixels,
// or bytes of raw pixel rows) at no more than `perByte` for each byte, beyond
// a `slack` every small image gets. Claims beyond it are bombs: refused before
// anything of their size is allocated or decoded.
inline bool ImageDataCouldHold(uint64_t amount, uint64_t dataBytes, uint64_t perByte,
                               uint64_t slack) {
  return amount <= dataBytes * perByte + slack;
}

// The status for data that cannot (yet) hold the image its header announces:
// refused once all of it is here; while more may come, nothing is offered to
// decode (as while the header is read), so a bomb fed in pieces never gets a
// pixel buffer, and an image is decoded from partial data only once that data
// could hold it.
inline CGImageSourceStatus ImageStatusUntilDataCouldHold(bool complete) {
  return complete ? kCGImageStatusInvalidData : kCGImageStatusReadingHeader;
}

// Deflate cannot expand its input by more than about 1032 times; PNG's raw
// rows are held to that, and so are WebP's pixels, whose codecs do no better
// on real images.
inline constexpr uint64_t kImageMaxRawBytesPerByte = 1100;
inline constexpr uint64_t kImageRawBytesSlack = 64 * 1024;

// Big-endian and little-endian readers over bounded buffers.
inline uint32_t ReadBE32(const uint8_t* p) {
  return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | p[3];
}
inline uint16_t ReadBE16(const uint8_t* p) { return uint16_t((p[0] << 8) | p[1]); }
inline uint32_t ReadLE32(const uint8_t* p) {
  return (uint32_t(p[3]) << 24) | (uint32_t(p[2]) << 16) | (uint32_t(p[1]) << 8) | p[0];
}
inline uint16_t ReadLE16(const uint8_t* p) { return uint16_t((p[1] << 8) | p[0]); }

// Writers of the same orders; the 16-bit ones write the low 16 bits of `v`.
inline void AppendBE16(Bytes& b, uint32_t v) { b.insert(b.end(), {uint8_t(v >> 8), uint8_t(v)}); }
inline void AppendBE32(Bytes& b, uint32_t v) {
  b.insert(b.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
}
inline void AppendLE16(Bytes& b, uint32_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)}); }
inline void AppendLE32(Bytes& b, uint32_t v) {
  b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
}
