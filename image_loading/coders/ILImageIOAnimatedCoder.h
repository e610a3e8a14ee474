#pragma once

// Multi-frame formats through the image I/O stand-in. The base class does
// the work; the four subclasses (GIF, animated PNG, HEIF image sequences,
// animated WebP) only name their format, type identifiers, property keys and
// default loop count. One class serves three uses:
//   - one-shot decoding of a whole buffer (shared instances, any thread);
//   - progressive decoding while data arrives (initIncrementalWithOptions);
//   - an animated frame provider that decodes only the frame asked for
//     (initWithAnimatedImageData).
// It also encodes one image or a list of frames into its format.

#include <string>
#include <vector>

#include "image_loading/coders/ILImageCoder.h"
#include "platform/coregraphics/CGGeometry.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/imageio/CGImageSource.h"

// Decoding every frame of an animation at once (lazy decoding off, or frames
// made as thumbnails, which are never lazy) draws each frame on the whole
// canvas and keeps each result: such a decode is refused when the frames
// times the canvas exceed this many pixels (512 MiB of frames at full size).
// Lazy frames are decoded one at a time when shown and need no such bound.
inline constexpr uint64_t kILImageIOAnimatedMaxUpFrontPixels = uint64_t{128} << 20;

// What a subclass names about its format.
struct ILImageIOAnimatedFormat {
  ILImageFormatCode format;
  const char* typeIdentifier;
  const char* animatedTypeIdentifier;
  const char* dictionary;
  const char* unclampedDelayTime;
  const char* delayTime;
  const char* loopCount;
  uint64_t defaultLoopCount;
};

class ILImageIOAnimatedCoder : public NSObject,
                               public ILProgressiveImageCoder,
                               public ILAnimatedImageCoder {
 public:
  // A bare base knows no format: use a subclass.
  explicit ILImageIOAnimatedCoder(const ILImageIOAnimatedFormat* format = nullptr)
      : format_(format) {}
  ~ILImageIOAnimatedCoder() override;

  // What each subclass answers; a bare base stops the process for each.
  ILImageFormatCode imageFormat() const { return format("imageFormat").format; }
  std::string imageUTType() const { return format("imageUTType").typeIdentifier; }
  std::string animatedImageUTType() const {
    return format("animatedImageUTType").animatedTypeIdentifier;
  }
  std::string dictionaryProperty() const { return format("dictionaryProperty").dictionary; }
  std::string unclampedDelayTimeProperty() const {
    return format("unclampedDelayTimeProperty").unclampedDelayTime;
  }
  std::string delayTimeProperty() const { return format("delayTimeProperty").delayTime; }
  std::string loopCountProperty() const { return format("loopCountProperty").loopCount; }
  uint64_t defaultLoopCount() const { return format("defaultLoopCount").defaultLoopCount; }

  // Whether image sources read / destinations write the format's type.
  static bool canDecodeFromFormat(ILImageFormatCode format);
  static bool canEncodeToFormatType(ILImageFormatCode format);
  uint64_t imageLoopCountWithSource(const CGImageSourceRef& source) const;
  // Unclamped delay first, then the delay; below 0.011 s (or missing) 0.1 s.
  double frameDurationAtIndex(size_t index, const CGImageSourceRef& source) const;
  // One frame as an image, full size or a thumbnail, upright as asked; null
  // when the source cannot give it.
  static UIImagePtr createFrameAtIndex(size_t index, const CGImageSourceRef& source, double scale,
                                       bool preserveAspectRatio, CGSize thumbnailSize,
                                       bool lazyDecode, bool animatedImage, bool decodeToHDR);

  // ILImageCoder.
  bool canDecodeFromData(const NSDataPtr& data) const override;
  UIImagePtr decodedImageWithData(const NSDataPtr& data, const Value& options) const override;
  bool canEncodeToFormat(ILImageFormatCode format) const override;
  NSDataPtr encodedDataWithImage(const UIImagePtr& image, ILImageFormatCode format,
                                 const Value& options) const override;
  bool respondsToEncodedDataWithFrames() const override { return true; }
  NSDataPtr encodedDataWithFrames(const std::vector<ILImageFrame>& frames, uint64_t loopCount,
                                  ILImageFormatCode format, const Value& options) const override;

  // ILProgressiveImageCoder.
  bool canIncrementalDecodeFromData(const NSDataPtr& data) const override {
    return canDecodeFromData(data);
  }
  std::shared_ptr<ILProgressiveImageCoder> initIncrementalWithOptions(
      const Value& options) const override;
  // Stops the process on an instance that is not incremental.
  void updateIncrementalData(const NSDataPtr& data, bool finished) override;
  UIImagePtr incrementalDecodedImageWithOptions(const Value& options) override;

  // ILAnimatedImageCoder / provider.
  std::shared_ptr<ILAnimatedImageCoder> initWithAnimatedImageData(
      const NSDataPtr& data, const Value& options) const override;
  UIImagePtr animatedImageFrameAtIndex(uint64_t index) const override;
  double animatedImageDurationAtIndex(uint64_t index) const override;
  NSDataPtr animatedImageData() const override;
  uint64_t animatedImageFrameCount() const override;
  uint64_t animatedImageLoopCount() const override;

  // Replaces the frame table when it covers every frame of the source.
  bool scanAndCheckFramesValidWithImageSource(const CGImageSourceRef& source);
  // Drops the source's cached pixels of every frame.
  void didReceiveMemoryWarning();

  bool isIncremental() const { return incremental_; }

 protected:
  // A new, empty instance of the receiver's class.
  virtual std::shared_ptr<ILImageIOAnimatedCoder> makeInstance() const;

 private:
  struct DecodeSettings {
    double scale = 1;
    bool preserveAspectRatio = true;
    CGSize thumbnailSize{0, 0};
    uint64_t limitBytes = 0;
    bool lazyDecode = false;
    bool decodeToHDR = false;
  };
  static DecodeSettings readOptions(const Value& options, bool lazyDefault);
  void observeMemoryWarnings();
  void applyLimitBytes();
  UIImagePtr safeAnimatedImageFrameAtIndex(uint64_t index) const;
  const ILImageIOAnimatedFormat& format(const char* selector) const;

  const ILImageIOAnimatedFormat* format_;

  CGImageSourceRef imageSource_;
  bool incremental_ = false;
  // Guards the frame table (and frame decodes) of an incremental instance.
  mutable Mutex lock_;
  NSDataPtr imageData_;
  DecodeSettings settings_;
  uint64_t width_ = 0, height_ = 0;
  uint64_t loopCount_ = 0;
  uint64_t frameCount_ GUARDED_BY(lock_) = 0;
  std::vector<ILImageIOCoderFrame> frames_ GUARDED_BY(lock_);
  bool finished_ = false;
};

class ILImageGIFCoder : public ILImageIOAnimatedCoder {
 public:
  ILImageGIFCoder();
  static std::shared_ptr<ILImageGIFCoder> sharedCoder();
  std::string className() const override { return "ILImageGIFCoder"; }

 protected:
  std::shared_ptr<ILImageIOAnimatedCoder> makeInstance() const override;
};

class ILImageAPNGCoder : public ILImageIOAnimatedCoder {
 public:
  ILImageAPNGCoder();
  static std::shared_ptr<ILImageAPNGCoder> sharedCoder();
  std::string className() const override { return "ILImageAPNGCoder"; }

 protected:
  std::shared_ptr<ILImageIOAnimatedCoder> makeInstance() const override;
};

// HEIC stills (and HEIF) and HEIF image sequences, as far as the image I/O
// stand-in reads and writes them.
class ILImageHEICCoder : public ILImageIOAnimatedCoder {
 public:
  ILImageHEICCoder();
  static std::shared_ptr<ILImageHEICCoder> sharedCoder();
  bool canDecodeFromData(const NSDataPtr& data) const override;
  bool canEncodeToFormat(ILImageFormatCode format) const override;
  std::string className() const override { return "ILImageHEICCoder"; }

 protected:
  std::shared_ptr<ILImageIOAnimatedCoder> makeInstance() const override;
};

class ILImageAWebPCoder : public ILImageIOAnimatedCoder {
 public:
  ILImageAWebPCoder();
  static std::shared_ptr<ILImageAWebPCoder> sharedCoder();
  bool canDecodeFromData(const NSDataPtr& data) const override;
  bool canEncodeToFormat(ILImageFormatCode format) const override;
  std::string className() const override { return "ILImageAWebPCoder"; }

 protected:
  std::shared_ptr<ILImageIOAnimatedCoder> makeInstance() const override;
};

// Shared by both ImageIO coders.
namespace ILImageIOCoding {
// The type hint of decode options: "decodeTypeIdentifierHint" (null means
// none at all), else the type of "decodeFileExtensionHint" unless dynamic.
std::optional<std::string> typeHint(const Value& options);
// A source with the hint, or without options when that fails; the handed
// source of the same data instead, when there is one (below).
CGImageSourceRef createSource(const NSDataPtr& data, const std::optional<std::string>& hint);
// The same with the hint of decode options, worked out only when no handed
// source serves.
CGImageSourceRef createSourceForOptions(const NSDataPtr& data, const Value& decodeOptions);
// While it lasts, the first createSource() of `data` on this thread takes
// `source`, one the caller made of the same data without options to read its
// headers: a decode right after then builds no second one. A type hint only
// refuses a source (the data's own bytes choose its reader), so a source
// without one reads the data exactly as the hinted one would.
class HandedSource {
 public:
  HandedSource(const NSDataPtr& data, CGImageSourceRef source);
  ~HandedSource();
  HandedSource(const HandedSource&) = delete;
  HandedSource& operator=(const HandedSource&) = delete;

 private:
  const NSData* previousData_;
  CGImageSourceRef previousSource_;
};
// Destination properties from encode options (quality, background colour,
// HDR request, maximum pixel size, requested file size, embedded thumbnail).
ValueMap encodeProperties(const CGImageRef& image, const Value& options);
// Frame 0's pixel size; each side 0 when unknown yet.
void readPixelSize(const CGImageSourceRef& source, uint64_t& width, uint64_t& height);
// The shared memory-warning registration of coders that hold a source.
void observeMemoryWarnings(NSObject* owner, std::function<void()> onWarning);
}  // namespace ILImageIOCoding
