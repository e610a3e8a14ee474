#pragma once

// The encoders behind image destinations, one per format. The destination
// turns properties into these settings (quality, orientation, metadata,
// delays, loop count) and frames into straight RGBA bitmaps first, so every
// encoder sees the same plain inputs.

#include <memory>
#include <optional>
#include <string>
#include <vector>

// The encoders only read the metadata, so Value is named, not defined, here;
// code that makes the settings includes Value.h.
#include "platform/foundation/ValueFwd.h"
#include "platform/imageio/ImageBitmap.h"

// Opaque rows read where they are: R, G, B and a fourth byte never read.
struct EncodeRows {
  std::shared_ptr<const Bytes> data;
  size_t stride = 0;
};

struct EncodeFrame {
  ImageBitmap bitmap;
  double delay = 0;  // seconds, for animations
  // A large frame (opaque, or RGBA with straight alpha) not copied into
  // `bitmap`, which then holds its size and whether it has alpha alone:
  // copying tens of megapixels costs a good part of encoding them.
  // Only the PNG encoder takes such a frame, and only as a single image.
  std::optional<EncodeRows> rows = std::nullopt;
};

struct EncodeSettings {
  double quality = 0.85;  // 0...1; 1 asks lossy formats for their best (WebP: lossless)
  int orientation = 0;    // EXIF orientation to record; 0 records none
  ValueMap metadata;      // "{TIFF}", "{Exif}", "{GPS}" dictionaries to record
  double dpiWidth = 0, dpiHeight = 0;
  std::optional<uint32_t> loopCount;  // animations; nullopt writes none
  bool embedThumbnail = false;        // JPEG: an EXIF thumbnail
};

// One writable format: its type, whether it loses detail, and how to encode
// it. `available` (when set) says whether this machine's libraries encode it.
struct ImageEncoderDescriptor {
  const char* type;
  bool lossy;
  bool (*encode)(const std::vector<EncodeFrame>& frames, const EncodeSettings& settings,
                 Bytes& out);
  bool (*available)() = nullptr;
};

// Every writable format, in the order destinations list them. Encoding, the
// list of writable types and the lossy question all read it.
const std::vector<ImageEncoderDescriptor>& ImageEncoderRegistry();

// Encodes into `out` (replacing it); false when the format cannot take the
// frames or the library fails. Single-image formats take the first frame.
bool ImageEncode(const std::string& type, const std::vector<EncodeFrame>& frames,
                 const EncodeSettings& settings, Bytes& out);

// Types image destinations write (what works at run time).
const std::vector<std::string>& ImageEncoderTypeIdentifiers();
bool ImageEncoderIsLossy(const std::string& type);

// A frame delay in whole units (`unitsPerSecond` of them a second), rounded
// and held to [0, max]: a huge delay saturates instead of wrapping, and a
// negative or NaN one is 0.
uint32_t EncodeDelayUnits(double seconds, double unitsPerSecond, uint32_t max);

bool EncodeJPEG(const EncodeFrame& frame, const EncodeSettings& settings, Bytes& out);
bool EncodePNG(const std::vector<EncodeFrame>& frames, const EncodeSettings& settings, Bytes& out);
bool EncodeGIF(const std::vector<EncodeFrame>& frames, const EncodeSettings& settings, Bytes& out);
bool EncodeWebP(const std::vector<EncodeFrame>& frames, const EncodeSettings& settings, Bytes& out);
bool EncodeTIFF(const std::vector<EncodeFrame>& frames, const EncodeSettings& settings, Bytes& out);
bool EncodeHEIF(const std::vector<EncodeFrame>& frames, const EncodeSettings& settings, Bytes& out);
bool EncodeBMP(const EncodeFrame& frame, Bytes& out);
bool HEIFCanEncode();
