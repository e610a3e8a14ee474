#pragma once

// GIF images for the animated image views: an image that keeps, beside its
// own (empty) bitmap, an image source over the GIF bytes, the bytes
// themselves and a display schedule computed once from the frame delays:
// which source frame each display slot of one loop shows, how many
// display-link ticks a slot lasts, and how many slots a loop has. The
// schedule counts 60 ticks per second whatever the screen.
//
// The state lives in the image's associated objects, so any UIImage can be
// turned into a GIF image. Main thread or any one thread at a time.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/NSData.h"
#include "platform/foundation/NSError.h"

class UIImage;
class NSBundle;
class CGImageSource;
using UIImagePtr = std::shared_ptr<UIImage>;
using NSBundlePtr = std::shared_ptr<NSBundle>;
using CGImageSourceRef = std::shared_ptr<CGImageSource>;

// Errors of a GIF parse, in the domain "AnimGif.GifParseError" with the
// case's position as code.
enum class GifParseError : int64_t {
  invalidFilename = 0,
  noImages = 1,
  noProperties = 2,
  noGifDictionary = 3,
  noTimingInfo = 4,
};

extern const char* const GifParseErrorDomain;
// "Invalid file name" for invalidFilename, "Invalid gif file " for the others.
NSErrorPtr GifParseErrorMake(GifParseError error);

namespace AnimGif {

// Levels of integrity: the share of frames that must survive when the
// delays are put onto a coarser cadence.
namespace LevelOfIntegrity {
inline constexpr float highestNoFrameSkipping = 1.0f;
inline constexpr float defaultLevel = 0.8f;
inline constexpr float lowForManyGifs = 0.5f;
inline constexpr float lowForTooManyGifs = 0.2f;
inline constexpr float superLowForSlideShow = 0.1f;
}  // namespace LevelOfIntegrity

// The display schedule of one loop.
struct DisplaySchedule {
  std::vector<int64_t> displayOrder;  // source frame of each slot
  int64_t imageCount = 0;             // slots in one loop
  int64_t displayRefreshFactor = 1;   // ticks per slot
};

// Above this many slots in one loop a cadence is not used: a crafted file
// (thousands of frames of ten minutes each) would otherwise ask for a slot
// list of gigabytes. A real GIF stays far below it.
inline constexpr int64_t kMaxDisplaySlots = int64_t(1) << 18;

// The frame-dropping rule: the coarsest cadence (slots of 60/60 s down to
// 1/60 s; 120/60 s first on a 120 Hz screen) that loses at most
// (1 - level) × n frames, else the finest. Cadences whose loop needs more
// than kMaxDisplaySlots slots are skipped; nullopt when none is left.
std::optional<DisplaySchedule> displayScheduleForDelays(const std::vector<float>& delays,
                                                        float levelOfIntegrity,
                                                        int64_t maximumFramesPerSecond);

// --- Initialisers ---
// A new image parsed from the bytes; nullptr with `error` set when the parse
// fails. Bytes of no known image type give an empty image without error.
UIImagePtr imageWithGifData(const NSDataPtr& data, float levelOfIntegrity,
                            NSErrorPtr* error = nullptr);
// As imageWithGifData, falling back to the plain image of the bytes (nullptr
// when they do not decode either).
UIImagePtr imageWithImageData(const NSDataPtr& data, float levelOfIntegrity);
// A GIF resource of the bundle: invalidFilename when it is not there; an
// unreadable file gives an empty image without error.
UIImagePtr imageWithGifName(const std::string& name, float levelOfIntegrity,
                            const NSBundlePtr& bundle, NSErrorPtr* error = nullptr);
// As imageWithGifName, falling back to UIImage::imageNamed on any error.
UIImagePtr imageWithImageName(const std::string& name, float levelOfIntegrity,
                              const NSBundlePtr& bundle);

// --- Parsing ---
// Returns false with `error` set on a parse error. The source and the bytes
// stay stored when a later step fails, without a schedule.
bool setGifFromData(UIImage& image, const NSDataPtr& data, float levelOfIntegrity,
                    NSErrorPtr* error = nullptr);
bool setGif(UIImage& image, const std::string& name, float levelOfIntegrity,
            const NSBundlePtr& bundle, NSErrorPtr* error = nullptr);
bool setGif(UIImage& image, const std::string& name, const NSBundlePtr& bundle,
            NSErrorPtr* error = nullptr);

// Slots in the display order; 0 without one.
int64_t framesCount(const UIImage& image);
// Removes all six properties.
void clear(UIImage& image);

// --- Properties (absent when never set; setting nothing removes) ---
CGImageSourceRef imageSource(const UIImage& image);
void setImageSource(UIImage& image, const CGImageSourceRef& source);
NSDataPtr imageData(const UIImage& image);
void setImageData(UIImage& image, const NSDataPtr& data);
std::optional<std::vector<int64_t>> displayOrder(const UIImage& image);
void setDisplayOrder(UIImage& image, const std::optional<std::vector<int64_t>>& order);
// The source frame of one slot without copying the order; nullopt without an
// order or for a slot outside it.
std::optional<int64_t> displayOrderFrame(const UIImage& image, int64_t slot);
std::optional<int64_t> imageCount(const UIImage& image);
void setImageCount(UIImage& image, std::optional<int64_t> count);
std::optional<int64_t> displayRefreshFactor(const UIImage& image);
void setDisplayRefreshFactor(UIImage& image, std::optional<int64_t> factor);
// Estimated full frame cache, in megabytes of 1,000,000 bytes.
std::optional<int64_t> imageSize(const UIImage& image);
void setImageSize(UIImage& image, std::optional<int64_t> megabytes);

}  // namespace AnimGif
