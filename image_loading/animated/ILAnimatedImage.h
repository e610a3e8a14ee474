#pragma once

// An image that keeps its encoded bytes and an animated coder instead of all
// decoded frames. To whoever only draws it, it is its first frame; to the
// animated image player it is a frame source that decodes frame N on demand
// (or reads it from a preloaded frame list). Still data gives a plain image
// without a coder.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "image_loading/coders/UIImageMetadata.h"
#include "image_loading/coders/ILImageCoder.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSBundle.h"
#include "platform/foundation/ValueFwd.h"
#include "platform/uikit/UIImage.h"

// What the loaders and the animated image view accept of any animated image
// class: a frame provider that may also preload its frames and may expose
// the coder it decodes with.
class ILAnimatedImageProtocol : public ILAnimatedImageProvider {
 public:
  virtual void preloadAllFrames() {}
  virtual void unloadAllFrames() {}
  virtual bool isAllFramesLoaded() const { return false; }
  virtual ILAnimatedImageCoderPtr animatedCoder() const { return nullptr; }
};

// A class of animated image, as the load context's "animatedImageClass"
// names it: makes instances as the class's initialisers would (nullptr when
// they fail) and tells whether an image is of the class or a subclass.
class ILAnimatedImageClass : public NSObject {
 public:
  virtual UIImagePtr imageWithData(const NSDataPtr& data, double scale,
                                   const Value& options) const = 0;
  virtual UIImagePtr imageWithAnimatedCoder(const ILAnimatedImageCoderPtr& coder,
                                            double scale) const = 0;
  virtual bool isKindOfClass(const UIImage& image) const = 0;
};

using ILAnimatedImageClassPtr = std::shared_ptr<ILAnimatedImageClass>;

class ILAnimatedImage : public UIImage,
                        public ILAnimatedImageProtocol,
                        public ILImageMetadataSource {
 public:
  using Ptr = std::shared_ptr<ILAnimatedImage>;

  // The class object of ILAnimatedImage, for a load context.
  static const ILAnimatedImageClassPtr& imageClass();

  // nullptr for empty data, PDF or SVG data, or data no coder decodes.
  static Ptr imageWithData(const NSDataPtr& data, double scale = 1, const Value& options = NullValue());
  // nullptr without a coder or without a first frame.
  static Ptr imageWithAnimatedCoder(const ILAnimatedImageCoderPtr& coder, double scale);
  // Scale from an "@<n>x" marker at the end of the file name.
  static Ptr imageWithContentsOfFile(const std::string& path);
  // From the named-image store, else a bundle file (stored once loaded).
  static Ptr imageNamed(const std::string& name, NSBundlePtr bundle = nullptr);
  static Ptr imageNamed(const std::string& name, NSBundlePtr bundle, double scale);

  // Archiving: the plain image plus the animated data under
  // "animatedImageData"; restoring keeps the animation.
  Value encodeWithCoder() const;
  static Ptr initWithCoder(const Value& archive);

  // ILAnimatedImageProvider / protocol.
  UIImagePtr animatedImageFrameAtIndex(uint64_t index) const override;
  double animatedImageDurationAtIndex(uint64_t index) const override;
  NSDataPtr animatedImageData() const override;
  uint64_t animatedImageFrameCount() const override;
  uint64_t animatedImageLoopCount() const override;
  void preloadAllFrames() override;
  void unloadAllFrames() override;
  bool isAllFramesLoaded() const override;
  ILAnimatedImageCoderPtr animatedCoder() const override { return animatedCoder_; }
  std::optional<std::vector<ILImageFrame>> loadedAnimatedImageFrames() const;

  ILImageFormatCode animatedImageFormat() const;

  // ILImageMetadataSource.
  bool il_isAnimated() const override { return animatedImageFrameCount() > 1; }
  uint64_t il_imageFrameCount() const override;
  uint64_t il_imageLoopCount() const override { return animatedImageLoopCount(); }
  ILImageFormatCode il_imageFormat() const override;
  uint64_t il_computedMemoryCost() const override;
  NSDataPtr il_imageData() const override;
  NSDataPtr il_imageDataAsFormat(ILImageFormatCode format, double compressionQuality,
                                 bool firstFrameOnly) const override;

  std::string className() const override { return "ILAnimatedImage"; }

  // Use the factories.
  ILAnimatedImage() = default;

 private:
  bool adoptCoder(const ILAnimatedImageCoderPtr& coder, double scale);
  bool adoptStill(const NSDataPtr& data, double scale, const Value& options,
                  ILImageFormatCode format);

  ILAnimatedImageCoderPtr animatedCoder_;
  mutable Mutex framesLock_;  // guards loadedFrames_
  std::optional<std::vector<ILImageFrame>> loadedFrames_ GUARDED_BY(framesLock_);
  ILImageFormatCode stillFormat_ = ILImageFormatUndefined;
};

// Finds the newest coder of the shared manager that is an animated coder and
// accepts the data.
ILAnimatedImageCoderPtr ILAnimatedImageCoderForData(const NSDataPtr& data);
// The scale of an "@<n>x" marker ending the file name without extension; 1
// when there is none.
double ILScaleFromFileName(const std::string& path);
