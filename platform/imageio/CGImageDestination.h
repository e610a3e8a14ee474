#pragma once

// Image destinations: write one or more images with properties into a data
// buffer (or a file) in any type that CGImageDestinationCopyTypeIdentifiers()
// lists. Properties honoured: kCGImageDestinationLossyCompressionQuality,
// kCGImageDestinationRequestedFileSize (lossy types), ...ImageMaxPixelSize,
// ...BackgroundColor (a CGColor, for alpha the type cannot hold),
// ...EmbedThumbnail (JPEG), "Orientation", DPIWidth/DPIHeight, "{TIFF}",
// "{Exif}", "{GPS}", and per frame the delay of "{GIF}" / "{PNG}" / "{WebP}"
// (UnclampedDelayTime first) with the container's LoopCount.

#include <memory>
#include <string>
#include <vector>

#include "platform/coregraphics/CGImage.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/internal/ImageEncoder.h"

class CGImageDestination : public NSObject {
 public:
  CGImageDestination(std::shared_ptr<Bytes> data, std::string path, std::string type, size_t count,
                     Value options);

  void setProperties(const Value& properties);
  void addImage(const CGImageRef& image, const Value& properties);
  void addImageFromSource(const CGImageSourceRef& source, size_t index, const Value& properties);
  bool finalize();
  bool copyImageSource(const CGImageSourceRef& source, const Value& options);

  const std::string& type() const { return type_; }
  std::string className() const override { return "CGImageDestination"; }

 private:
  struct Pending {
    ImageBitmap bitmap;
    // A large opaque image whose rows the encoder reads in place; `bitmap`
    // then holds its size alone until something needs its pixels copied.
    CGImageRef inPlace;
    Value properties;
  };
  bool readsInPlace(const CGImageRef& image) const;
  bool encode(Bytes& out);
  bool encodeAtQuality(const std::vector<EncodeFrame>& frames, EncodeSettings settings,
                       double quality, Bytes& out) const;

  std::shared_ptr<Bytes> data_;
  std::string path_;
  std::string type_;
  size_t declaredCount_;
  Value options_;
  ValueMap properties_;
  std::vector<Pending> images_;
  bool finalized_ = false;
  bool failed_ = false;
};

using CGImageDestinationRef = std::shared_ptr<CGImageDestination>;

// nullptr when the type is not written or the count is 0. The buffer is
// replaced by the encoded file on a successful finalize.
CGImageDestinationRef CGImageDestinationCreateWithData(std::shared_ptr<Bytes> data,
                                                       const std::string& type, size_t count,
                                                       const Value& options = Value());
// Written atomically on finalize.
CGImageDestinationRef CGImageDestinationCreateWithURL(const std::string& path,
                                                      const std::string& type, size_t count,
                                                      const Value& options = Value());
// Properties of the whole file (loop count, defaults for every image).
void CGImageDestinationSetProperties(const CGImageDestinationRef& dest, const Value& properties);
void CGImageDestinationAddImage(const CGImageDestinationRef& dest, const CGImageRef& image,
                                const Value& properties = Value());
// The source's image with its own properties, overlaid by `properties`.
void CGImageDestinationAddImageFromSource(const CGImageDestinationRef& dest,
                                          const CGImageSourceRef& source, size_t index,
                                          const Value& properties = Value());
// False when nothing was added, more images were added than declared, an
// image could not be read, or the encoder failed. Once only.
bool CGImageDestinationFinalize(const CGImageDestinationRef& dest);
std::vector<std::string> CGImageDestinationCopyTypeIdentifiers();
// Writes the source's image with new metadata and finalizes the
// destination. Options: kCGImageDestinationMetadata, a properties dictionary
// ("{TIFF}", "{Exif}", "{GPS}", "Orientation"), and
// kCGImageDestinationMergeMetadata: true merges its dictionaries key by key
// over the source's, false (the default) makes them the whole metadata. A JPEG source into a JPEG destination keeps its
// coded image byte for byte (only the EXIF segment is rewritten); any other
// pair is decoded and encoded again. False when nothing was written; the
// destination must be empty and is finished either way.
bool CGImageDestinationCopyImageSource(const CGImageDestinationRef& dest,
                                       const CGImageSourceRef& source, const Value& options);
