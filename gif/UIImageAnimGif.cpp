#include "gif/UIImageAnimGif.h"

#include <cmath>
#include <limits>

#include "platform/foundation/NSBundle.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/uikit/UIImage.h"
#include "platform/uikit/UIScreen.h"

const char* const GifParseErrorDomain = "AnimGif.GifParseError";

NSErrorPtr GifParseErrorMake(GifParseError error) {
  const char* text =
      error == GifParseError::invalidFilename ? "Invalid file name" : "Invalid gif file ";
  return NSError::errorWithDescription(GifParseErrorDomain, static_cast<int64_t>(error), text);
}

namespace AnimGif {
namespace {

// One process-wide key per property.
const char kImageSourceKey = 0;
const char kImageDataKey = 0;
const char kDisplayOrderKey = 0;
const char kImageCountKey = 0;
const char kDisplayRefreshFactorKey = 0;
const char kImageSizeKey = 0;

std::optional<int64_t> readInteger(const UIImage& image, const void* key) {
  Value v = image.associatedObject(key);
  if (!v.isInteger()) return std::nullopt;
  return v.asInt64();
}

void writeInteger(UIImage& image, const void* key, std::optional<int64_t> value) {
  image.setAssociatedObject(key, value ? Value::integer(*value) : Value());
}

bool fail(GifParseError error, NSErrorPtr* out) {
  if (out) *out = GifParseErrorMake(error);
  return false;
}

// The slot in which a frame ending at `quotient` slots falls, truncated
// toward zero; values beyond any usable count saturate.
int64_t slotOf(float quotient) {
  if (std::isnan(quotient)) return 0;
  constexpr float kLimit = 1e15f;
  if (quotient >= kLimit) return int64_t(kLimit);
  if (quotient <= -kLimit) return -int64_t(kLimit);
  return static_cast<int64_t>(quotient);
}

// Delays in seconds, one per frame, or the parse error.
std::optional<GifParseError> readDelays(const CGImageSourceRef& source, std::vector<float>& delays) {
  const size_t n = CGImageSourceGetCount(source);
  if (n < 1) return GifParseError::noImages;
  std::vector<Value> properties;
  properties.reserve(n);
  for (size_t i = 0; i < n; ++i) {
    Value p = CGImageSourceCopyPropertiesAtIndex(source, i);
    if (!p.isMap()) return GifParseError::noProperties;
    properties.push_back(std::move(p));
  }
  std::vector<Value> gifs;
  gifs.reserve(n);
  for (const Value& p : properties) {
    const Value* gif = p.find(kCGImagePropertyGIFDictionary);
    if (!gif || !gif->isMap()) return GifParseError::noGifDictionary;
    gifs.push_back(*gif);
  }
  delays.clear();
  delays.reserve(n);
  for (const Value& gif : gifs) {
    const Value* unclamped = gif.find(kCGImagePropertyGIFUnclampedDelayTime);
    if (unclamped && unclamped->isNumber()) {
      const float d = static_cast<float>(unclamped->asDouble());
      if (d >= 1e-6f) {
        delays.push_back(d);
        continue;
      }
    }
    const Value* clamped = gif.find(kCGImagePropertyGIFDelayTime);
    if (!clamped || !clamped->isNumber()) return GifParseError::noTimingInfo;
    delays.push_back(static_cast<float>(clamped->asDouble()));
  }
  return std::nullopt;
}

// Megabytes that every slot of the schedule takes decoded, from the size of
// the first frame; nullopt when it cannot be made.
std::optional<int64_t> estimateSize(const CGImageSourceRef& source, int64_t slots) {
  CGImageRef first = CGImageSourceCreateImageAtIndex(source, 0);
  if (!first) return std::nullopt;
  const auto bytes = static_cast<int64_t>(double(first->width()) * double(first->height()) * 4.0);
  return bytes * slots / 1000000;
}

// As the platform's string path extension: after the last "." of the name.
std::string pathExtensionOf(const std::string& name) {
  const size_t slash = name.rfind('/');
  const std::string last = slash == std::string::npos ? name : name.substr(slash + 1);
  const size_t dot = last.rfind('.');
  if (dot == std::string::npos || dot == 0 || dot + 1 == last.size()) return "";
  return last.substr(dot + 1);
}

enum class ReadResult { kRead, kNotFound, kUnreadable };

ReadResult readResource(const std::string& name, const NSBundlePtr& bundle, NSDataPtr& data) {
  const std::string extension = pathExtensionOf(name) == "gif" ? "" : "gif";
  NSURLPtr url = bundle ? bundle->URLForResource(name, extension) : nullptr;
  if (!url) return ReadResult::kNotFound;
  data = NSData::dataWithContentsOfFile(url->path());
  return data ? ReadResult::kRead : ReadResult::kUnreadable;
}

}  // namespace

std::optional<DisplaySchedule> displayScheduleForDelays(const std::vector<float>& delays,
                                                        float levelOfIntegrity,
                                                        int64_t maximumFramesPerSecond) {
  std::vector<int64_t> factors = {60, 30, 20, 15, 12, 10, 6, 5, 4, 3, 2, 1};
  int64_t base = 60;
  float numerator = 1.0f;
  if (maximumFramesPerSecond == 120) {
    factors.insert(factors.begin(), 120);
    base = 120;
    numerator = 2.0f;
  }
  const float level = std::isnan(levelOfIntegrity) || levelOfIntegrity < 0 ? 0 : levelOfIntegrity;
  const float allowedLoss = level < 1.0f ? 1.0f - level : 0.0f;

  const size_t n = delays.size();
  std::vector<float> ends(delays);
  for (size_t k = 1; k < n; ++k) ends[k] = ends[k - 1] + delays[k];

  // Slot ends per candidate, kept so that the fallback needs no second pass.
  std::vector<std::vector<int64_t>> slotEnds(factors.size());
  std::optional<size_t> chosen;
  for (size_t c = 0; c < factors.size() && !chosen; ++c) {
    const float slotLength = numerator / static_cast<float>(base / factors[c]);
    std::vector<int64_t>& a = slotEnds[c];
    a.resize(n);
    int64_t lost = 0;
    for (size_t k = 0; k < n; ++k) {
      a[k] = slotOf(ends[k] / slotLength);
      if (k > 0 ? a[k] == a[k - 1] : a[k] == 0) ++lost;
    }
    const bool fits = n == 0 || a[n - 1] <= kMaxDisplaySlots;
    if (fits && static_cast<float>(lost) <= allowedLoss * static_cast<float>(n)) chosen = c;
  }
  if (!chosen) {
    // The finest cadence whose loop fits; finer ones need more slots.
    for (size_t c = factors.size(); c-- > 0;) {
      if (n == 0 || slotEnds[c][n - 1] <= kMaxDisplaySlots) {
        chosen = c;
        break;
      }
    }
  }
  if (!chosen) return std::nullopt;

  DisplaySchedule schedule;
  schedule.displayRefreshFactor = factors[*chosen];
  const std::vector<int64_t>& a = slotEnds[*chosen];
  schedule.imageCount = n ? a[n - 1] : 0;
  size_t i = 0;
  for (int64_t slot = 1; slot <= schedule.imageCount; ++slot) {
    while (i < n && a[i] < slot) ++i;
    if (i == n) break;
    schedule.displayOrder.push_back(static_cast<int64_t>(i));
  }
  return schedule;
}

bool setGifFromData(UIImage& image, const NSDataPtr& data, float levelOfIntegrity,
                    NSErrorPtr* error) {
  CGImageSourceRef source = data ? CGImageSourceCreateWithData(data) : nullptr;
  if (!source) return true;
  // A schedule describes the bytes it was made from: a parse of new bytes
  // that fails leaves none rather than the previous one.
  clear(image);
  setImageSource(image, source);
  setImageData(image, data);

  std::vector<float> delays;
  if (auto parseError = readDelays(source, delays)) return fail(*parseError, error);
  auto schedule = displayScheduleForDelays(delays, levelOfIntegrity,
                                           UIScreen::mainScreen()->maximumFramesPerSecond());
  if (!schedule) return fail(GifParseError::noTimingInfo, error);

  setImageCount(image, schedule->imageCount);
  setDisplayRefreshFactor(image, schedule->displayRefreshFactor);
  setDisplayOrder(image, std::move(schedule->displayOrder));
  if (auto size = estimateSize(source, schedule->imageCount)) setImageSize(image, *size);
  return true;
}

bool setGif(UIImage& image, const std::string& name, float levelOfIntegrity,
            const NSBundlePtr& bundle, NSErrorPtr* error) {
  NSDataPtr data;
  switch (readResource(name, bundle, data)) {
    case ReadResult::kNotFound:
      return fail(GifParseError::invalidFilename, error);
    case ReadResult::kUnreadable:
      return true;
    case ReadResult::kRead:
      break;
  }
  return setGifFromData(image, data, levelOfIntegrity, error);
}

bool setGif(UIImage& image, const std::string& name, const NSBundlePtr& bundle,
            NSErrorPtr* error) {
  return setGif(image, name, LevelOfIntegrity::defaultLevel, bundle, error);
}

UIImagePtr imageWithGifData(const NSDataPtr& data, float levelOfIntegrity, NSErrorPtr* error) {
  auto image = std::make_shared<UIImage>();
  if (!setGifFromData(*image, data, levelOfIntegrity, error)) return nullptr;
  return image;
}

UIImagePtr imageWithImageData(const NSDataPtr& data, float levelOfIntegrity) {
  auto image = std::make_shared<UIImage>();
  if (!setGifFromData(*image, data, levelOfIntegrity)) return UIImage::imageWithData(data);
  return image;
}

UIImagePtr imageWithGifName(const std::string& name, float levelOfIntegrity,
                            const NSBundlePtr& bundle, NSErrorPtr* error) {
  auto image = std::make_shared<UIImage>();
  if (!setGif(*image, name, levelOfIntegrity, bundle, error)) return nullptr;
  return image;
}

UIImagePtr imageWithImageName(const std::string& name, float levelOfIntegrity,
                              const NSBundlePtr& bundle) {
  auto image = std::make_shared<UIImage>();
  if (!setGif(*image, name, levelOfIntegrity, bundle)) return UIImage::imageNamed(name);
  return image;
}

int64_t framesCount(const UIImage& image) {
  Value v = image.associatedObject(&kDisplayOrderKey);
  return v.type() == Value::Type::Int64List ? static_cast<int64_t>(v.size()) : 0;
}

void clear(UIImage& image) {
  setImageSource(image, nullptr);
  setImageData(image, nullptr);
  setDisplayOrder(image, std::nullopt);
  setImageCount(image, std::nullopt);
  setDisplayRefreshFactor(image, std::nullopt);
  setImageSize(image, std::nullopt);
}

CGImageSourceRef imageSource(const UIImage& image) {
  return image.associatedObject(&kImageSourceKey).objectAs<CGImageSource>();
}

void setImageSource(UIImage& image, const CGImageSourceRef& source) {
  image.setAssociatedObject(&kImageSourceKey, source ? Value(source) : Value());
}

NSDataPtr imageData(const UIImage& image) {
  return image.associatedObject(&kImageDataKey).objectAs<NSData>();
}

void setImageData(UIImage& image, const NSDataPtr& data) {
  image.setAssociatedObject(&kImageDataKey, data ? Value(data) : Value());
}

std::optional<std::vector<int64_t>> displayOrder(const UIImage& image) {
  Value v = image.associatedObject(&kDisplayOrderKey);
  if (v.type() != Value::Type::Int64List) return std::nullopt;
  return v.asInt64List();
}

void setDisplayOrder(UIImage& image, const std::optional<std::vector<int64_t>>& order) {
  image.setAssociatedObject(&kDisplayOrderKey, order ? Value::int64List(*order) : Value());
}

std::optional<int64_t> displayOrderFrame(const UIImage& image, int64_t slot) {
  Value v = image.associatedObject(&kDisplayOrderKey);
  if (v.type() != Value::Type::Int64List || slot < 0) return std::nullopt;
  const std::vector<int64_t>& order = v.asInt64List();
  if (static_cast<uint64_t>(slot) >= order.size()) return std::nullopt;
  return order[static_cast<size_t>(slot)];
}

std::optional<int64_t> imageCount(const UIImage& image) {
  return readInteger(image, &kImageCountKey);
}

void setImageCount(UIImage& image, std::optional<int64_t> count) {
  writeInteger(image, &kImageCountKey, count);
}

std::optional<int64_t> displayRefreshFactor(const UIImage& image) {
  return readInteger(image, &kDisplayRefreshFactorKey);
}

void setDisplayRefreshFactor(UIImage& image, std::optional<int64_t> factor) {
  writeInteger(image, &kDisplayRefreshFactorKey, factor);
}

std::optional<int64_t> imageSize(const UIImage& image) {
  return readInteger(image, &kImageSizeKey);
}

void setImageSize(UIImage& image, std::optional<int64_t> megabytes) {
  writeInteger(image, &kImageSizeKey, megabytes);
}

}  // namespace AnimGif
