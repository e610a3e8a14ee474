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
#include "platform/foundation/ValueFwd.h"
#include "platform/imageio/CGImageSource.h"

// The destination object; the functions below are its interface.
class CGImageDestination;
using CGImageDestinationRef = std::shared_ptr<CGImageDestination>;

// nullptr when the type is not written or the count is 0. The buffer is
// replaced by the encoded file on a successful finalize.
CGImageDestinationRef CGImageDestinationCreateWithData(std::shared_ptr<Bytes> data,
                                                       const std::string& type, size_t count,
                                                       const Value& options = NullValue());
// Written atomically on finalize.
CGImageDestinationRef CGImageDestinationCreateWithURL(const std::string& path,
                                                      const std::string& type, size_t count,
                                                      const Value& options = NullValue());
// Properties of the whole file (loop count, defaults for every image).
void CGImageDestinationSetProperties(const CGImageDestinationRef& dest, const Value& properties);
void CGImageDestinationAddImage(const CGImageDestinationRef& dest, const CGImageRef& image,
                                const Value& properties = NullValue());
// The source's image with its own properties, overlaid by `properties`.
void CGImageDestinationAddImageFromSource(const CGImageDestinationRef& dest,
                                          const CGImageSourceRef& source, size_t index,
                                          const Value& properties = NullValue());
// False when nothing was added, more images were added than declared, an
// image could not be read (its pixels could not be made), or the encoder
// failed. Once only.
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
