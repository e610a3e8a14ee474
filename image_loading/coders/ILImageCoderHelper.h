#pragma once

// Bitmap work shared by every coder and decoding function: forcing pixels to
// be decoded ahead of display, decoding while scaling a large image down to a
// byte budget in horizontal bands, exact resampling, assembling animated
// images from timed frames and taking them apart, EXIF orientation tables,
// and the tests that decide whether any of this is needed. Every function is
// safe from any thread; the two settings are meant to be set at start-up.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "image_loading/coders/ILImageFrame.h"
#include "platform/coregraphics/CGColorSpace.h"
#include "platform/coregraphics/CGImage.h"

class UIImage;
using UIImagePtr = std::shared_ptr<UIImage>;

using ILImageForceDecodePolicy = uint64_t;
inline constexpr ILImageForceDecodePolicy ILImageForceDecodePolicyAutomatic = 0;
inline constexpr ILImageForceDecodePolicy ILImageForceDecodePolicyNever = 1;
inline constexpr ILImageForceDecodePolicy ILImageForceDecodePolicyAlways = 2;

using ILImageCoderDecodeSolution = uint64_t;
inline constexpr ILImageCoderDecodeSolution ILImageCoderDecodeSolutionAutomatic = 0;
inline constexpr ILImageCoderDecodeSolution ILImageCoderDecodeSolutionCoreGraphics = 1;
inline constexpr ILImageCoderDecodeSolution ILImageCoderDecodeSolutionUIKit = 2;

struct ILImagePixelFormat {
  uint32_t bitmapInfo = 0;
  uint64_t alignment = 32;  // bytes-per-row alignment
};

// Animated images hold at most this many entries in their frame list; longer
// lists use a coarser time step.
inline constexpr size_t kILAnimatedImageMaxEntries = 10000;

class ILImageCoderHelper {
 public:
  // nullptr for an empty list.
  static UIImagePtr animatedImageWithFrames(const std::vector<ILImageFrame>& frames);
  // nullopt for a null image or one without a frame list.
  static std::optional<std::vector<ILImageFrame>> framesFromAnimatedImage(const UIImagePtr& image);

  static CGColorSpaceRef colorSpaceGetDeviceRGB();
  static ILImagePixelFormat preferredPixelFormat(bool containsAlpha);
  static bool CGImageIsHardwareSupported(const CGImageRef& image);
  static bool CGImageContainsAlpha(const CGImageRef& image);
  static bool CGImageIsLazy(const CGImageRef& image);
  static bool CGImageIsHDR(const CGImageRef& image);

  // An upright redraw turned as the EXIF orientation says; nullptr for a null
  // or empty bitmap, or one whose pixels cannot be made.
  static CGImageRef CGImageCreateDecoded(const CGImageRef& image, uint32_t exifOrientation = 1);
  // Exact resampling to `size` pixels in the bitmap's own layout (8-, 16- or
  // 32-bit components); the same bitmap for its own size; nullptr for other
  // depths or an empty size.
  static CGImageRef CGImageCreateScaled(const CGImageRef& image, CGSize size);

  static CGSize scaledSizeWithImageSize(CGSize imageSize, CGSize scaleSize,
                                        bool preserveAspectRatio, bool shouldScaleUp);
  // Whole pixels that fit `limitBytes` at `bytesPerPixel` for every frame.
  static CGSize scaledSizeWithImageSize(CGSize imageSize, uint64_t limitBytes,
                                        uint64_t bytesPerPixel, uint64_t frameCount);

  // The image itself when it needs no decoding; nullptr when its pixels
  // cannot be made (a decode that failed is no image, not a blank one).
  static UIImagePtr decodedImageWithImage(const UIImagePtr& image,
                                          ILImageForceDecodePolicy policy = 0);
  // Limit 0 means defaultScaleDownLimitBytes. nullptr as above.
  static UIImagePtr decodedAndScaledDownImageWithImage(const UIImagePtr& image,
                                                       uint64_t limitBytes,
                                                       ILImageForceDecodePolicy policy = 0);

  static int64_t imageOrientationFromEXIFOrientation(uint32_t exifOrientation);
  static uint32_t exifOrientationFromImageOrientation(int64_t orientation);

  static bool shouldDecodeImage(const UIImagePtr& image, ILImageForceDecodePolicy policy);
  static bool shouldScaleDownImagePixelSize(CGSize pixelSize, uint64_t limitBytes);

  static ILImageCoderDecodeSolution defaultDecodeSolution();
  static void setDefaultDecodeSolution(ILImageCoderDecodeSolution solution);
  static uint64_t defaultScaleDownLimitBytes();
  // Values below 4 are ignored.
  static void setDefaultScaleDownLimitBytes(uint64_t bytes);
};

// Whether this device decodes HEIF in hardware; no such query exists here, so
// HEIC and HEIF take the redraw or band path.
bool ILImageDeviceHEIFCapability();
