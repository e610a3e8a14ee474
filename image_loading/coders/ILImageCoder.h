#pragma once

// The coder protocols of the image library. A coder decodes image data into a
// UIImage and encodes images into data; coders report failure by answering
// nullptr or false, never an error. Options are Value maps with the keys of
// ILImageCoderOptions.h. Shared coder instances must be safe for concurrent
// one-shot decoding and encoding.
//
// Instances that hold per-data state (an incremental decode, an animated
// frame provider) are made from a prototype through the factory methods
// initIncrementalWithOptions / initWithAnimatedImageData.

#include <cstdint>
#include <memory>
#include <vector>

#include "image_loading/coders/ILImageFormat.h"
#include "image_loading/coders/ILImageFrame.h"
#include "platform/foundation/NSData.h"

class UIImage;
using UIImagePtr = std::shared_ptr<UIImage>;

class ILImageCoder {
 public:
  virtual ~ILImageCoder() = default;

  virtual bool canDecodeFromData(const NSDataPtr& data) const = 0;
  virtual UIImagePtr decodedImageWithData(const NSDataPtr& data, const Value& options) const = 0;
  virtual bool canEncodeToFormat(ILImageFormatCode format) const = 0;
  virtual NSDataPtr encodedDataWithImage(const UIImagePtr& image, ILImageFormatCode format,
                                         const Value& options) const = 0;

  // Optional: encoding a list of frames. Coders that implement it answer
  // true from respondsToEncodedDataWithFrames.
  virtual bool respondsToEncodedDataWithFrames() const { return false; }
  virtual NSDataPtr encodedDataWithFrames(const std::vector<ILImageFrame>& /*frames*/,
                                          uint64_t /*loopCount*/, ILImageFormatCode /*format*/,
                                          const Value& /*options*/) const {
    return nullptr;
  }
};

using ILImageCoderPtr = std::shared_ptr<ILImageCoder>;

// Decoding while data arrives. The prototype (a shared coder) makes a fresh
// incremental instance; each update gives all the data received so far.
class ILProgressiveImageCoder : public virtual ILImageCoder {
 public:
  virtual bool canIncrementalDecodeFromData(const NSDataPtr& data) const = 0;
  virtual std::shared_ptr<ILProgressiveImageCoder> initIncrementalWithOptions(
      const Value& options) const = 0;
  virtual void updateIncrementalData(const NSDataPtr& data, bool finished) = 0;
  virtual UIImagePtr incrementalDecodedImageWithOptions(const Value& options) = 0;
};

// A source of animation frames, decoded on demand. Frame requests may come
// from any thread (the frame pool asks on its fetch queue).
class ILAnimatedImageProvider {
 public:
  virtual ~ILAnimatedImageProvider() = default;
  // nullptr for an index out of range or a frame that does not decode.
  virtual UIImagePtr animatedImageFrameAtIndex(uint64_t index) const = 0;
  // Seconds; 0 for an index out of range.
  virtual double animatedImageDurationAtIndex(uint64_t index) const = 0;
  virtual NSDataPtr animatedImageData() const = 0;
  virtual uint64_t animatedImageFrameCount() const = 0;
  // 0 plays forever.
  virtual uint64_t animatedImageLoopCount() const = 0;
};

using ILAnimatedImageProviderPtr = std::shared_ptr<ILAnimatedImageProvider>;

class ILAnimatedImageCoder : public virtual ILImageCoder, public ILAnimatedImageProvider {
 public:
  // A provider over the data; nullptr when the data does not decode.
  virtual std::shared_ptr<ILAnimatedImageCoder> initWithAnimatedImageData(
      const NSDataPtr& data, const Value& options) const = 0;
};

using ILAnimatedImageCoderPtr = std::shared_ptr<ILAnimatedImageCoder>;
