#pragma once

// Image sources: read images and their properties from data in any format
// that ImageDecoderTypeIdentifiers() lists, all at once or while it arrives.
// Dictionaries (options, properties) are Value maps with the string keys of
// ImageIOProperties.h. Safe to use from several threads: the source
// serialises its decoder. Images come out 8-bit RGBA with straight alpha
// (kCGImageAlphaLast) or without (kCGImageAlphaNoneSkipLast), lazily decoded
// unless kCGImageSourceShouldCacheImmediately asks otherwise.

#include <memory>
#include <string>
#include <vector>

#include "platform/coregraphics/CGImage.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSData.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/ValueFwd.h"
#include "platform/imageio/ImageDecoder.h"

class CGImageSource : public NSObject {
 public:
  // Use the CGImageSourceCreate... functions.
  CGImageSource(bool incremental, Value options);

  // False when the data cannot start a source (unknown type, bad header).
  bool update(std::shared_ptr<const Bytes> data, bool final);
  // Reads a whole mapped file instead; false as for update().
  bool open(std::shared_ptr<const ImageFileBytes> file);
  std::string type() const;
  size_t count() const;
  CGImageSourceStatus status() const;
  CGImageSourceStatus statusAtIndex(size_t index) const;
  Value properties() const;
  Value propertiesAtIndex(size_t index) const;
  bool geometryAtIndex(size_t index, ImageFrameGeometry& out, size_t* frameCount) const;
  CGImageRef createImage(size_t index, const Value& options) const;
  CGImageRef createThumbnail(size_t index, const Value& options) const;
  void removeCache(size_t index);
  // The data the source reads (all of it, once final); nullptr before any.
  std::shared_ptr<const Bytes> data() const;

  std::string className() const override { return "CGImageSource"; }

  // A decoder with the lock that serialises it; lazy images keep theirs.
  struct Decoder;

 private:
  std::shared_ptr<Decoder> decoder() const;

  mutable Mutex mutex_;  // guards final_, dataSize_ and the decoding state below
  const bool incremental_;
  const std::shared_ptr<const Value> options_;
  bool final_ GUARDED_BY(mutex_) = false;
  size_t dataSize_ GUARDED_BY(mutex_) = 0;
  std::shared_ptr<const Bytes> data_ GUARDED_BY(mutex_);
  std::shared_ptr<const ImageFileBytes> file_ GUARDED_BY(mutex_);  // instead of data_, once opened
  CGImageSourceStatus status_ GUARDED_BY(mutex_) = kCGImageStatusReadingHeader;
  std::shared_ptr<Decoder> decoder_ GUARDED_BY(mutex_);
};

using CGImageSourceRef = std::shared_ptr<CGImageSource>;

// nullptr for data of no readable type, data whose header is invalid, or a
// type hint that names no readable type.
CGImageSourceRef CGImageSourceCreateWithData(const NSDataPtr& data,
                                             const Value& options = NullValue());
CGImageSourceRef CGImageSourceCreateWithBytes(std::shared_ptr<const Bytes> data,
                                              const Value& options = NullValue());
CGImageSourceRef CGImageSourceCreateWithURL(const std::string& path,
                                            const Value& options = NullValue());
// A source fed with CGImageSourceUpdateData: each call gives all the data so
// far; `final` marks the last, after which updates are ignored.
CGImageSourceRef CGImageSourceCreateIncremental(const Value& options = NullValue());
void CGImageSourceUpdateData(const CGImageSourceRef& source, const NSDataPtr& data, bool final);
void CGImageSourceUpdateBytes(const CGImageSourceRef& source, std::shared_ptr<const Bytes> data,
                              bool final);

// The type identifier of the data, "" while unknown.
std::string CGImageSourceGetType(const CGImageSourceRef& source);
size_t CGImageSourceGetCount(const CGImageSourceRef& source);
CGImageSourceStatus CGImageSourceGetStatus(const CGImageSourceRef& source);
CGImageSourceStatus CGImageSourceGetStatusAtIndex(const CGImageSourceRef& source, size_t index);
// Container properties (file size, per-format dictionary); null Value when none.
Value CGImageSourceCopyProperties(const CGImageSourceRef& source,
                                  const Value& options = NullValue());
// Properties of one image; null Value for an index out of range.
Value CGImageSourceCopyPropertiesAtIndex(const CGImageSourceRef& source, size_t index,
                                         const Value& options = NullValue());
// What a decode needs to know of one image beforehand, as the properties
// give it (pixel size, alpha, EXIF orientation, 0 when none), and the
// number of images, without building the property dictionaries: for the
// paths that decode many small images. False when the source has no image
// at `index` (`count` is still the number of images).
struct CGImageSourceImageGeometry {
  ImageFrameGeometry frame;
  size_t count = 0;
};
bool CGImageSourceGetGeometryAtIndex(const CGImageSourceRef& source, size_t index,
                                     CGImageSourceImageGeometry* out);
CGImageRef CGImageSourceCreateImageAtIndex(const CGImageSourceRef& source, size_t index,
                                           const Value& options = NullValue());
// A decoded thumbnail: at most kCGImageSourceThumbnailMaxPixelSize on the
// longer side (never enlarged), turned upright when
// kCGImageSourceCreateThumbnailWithTransform is true. The file's embedded
// thumbnail is used unless ...FromImageAlways; without one and without
// ...FromImageIfAbsent / ...FromImageAlways there is none (nullptr). With
// kCGImageSourceShouldCache true, what a thumbnail of a format that decodes
// whole (HEIF) decoded stays with the source for the next thumbnail of
// another size, until CGImageSourceRemoveCacheAtIndex or the source's end.
CGImageRef CGImageSourceCreateThumbnailAtIndex(const CGImageSourceRef& source, size_t index,
                                               const Value& options = NullValue());
// Drops what the source keeps decoded for the image.
void CGImageSourceRemoveCacheAtIndex(const CGImageSourceRef& source, size_t index);
std::vector<std::string> CGImageSourceCopyTypeIdentifiers();
