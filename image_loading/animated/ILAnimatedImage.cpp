#include "image_loading/animated/ILAnimatedImage.h"

#include <cctype>
#include <cstdlib>

#include "image_loading/animated/internal/ILImageAssetManager.h"
#include "image_loading/coders/ILImageCoderOptions.h"
#include "image_loading/coders/ILImageCodersManager.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/Value.h"
#include "platform/uikit/UIScreen.h"

namespace {

std::string fileNameWithoutExtension(const std::string& path) {
  const size_t slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.resize(dot);
  return name;
}

std::string pathExtension(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot + 1);
}

}  // namespace

ILAnimatedImageCoderPtr ILAnimatedImageCoderForData(const NSDataPtr& data) {
  const auto coders = ILImageCodersManager::sharedManager()->coders();
  for (auto it = coders.rbegin(); it != coders.rend(); ++it) {
    auto animated = std::dynamic_pointer_cast<ILAnimatedImageCoder>(*it);
    if (animated && animated->canDecodeFromData(data)) return animated;
  }
  return nullptr;
}

namespace {

// Whether `text` from `at` is "@", digits, an optional ".", optional
// digits and "x", ending the text or a line of it.
bool isScaleMarker(const std::string& text, size_t at, size_t& end) {
  size_t i = at + 1;
  const size_t digits = i;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
  if (i == digits) return false;
  if (i < text.size() && text[i] == '.') ++i;
  while (i < text.size() && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
  if (i >= text.size() || text[i] != 'x') return false;
  end = i;
  return i + 1 == text.size() || text[i + 1] == '\n';
}

}  // namespace

double ILScaleFromFileName(const std::string& path) {
  if (path.empty() || path.back() == '/') return 1;
  const std::string name = fileNameWithoutExtension(path);
  for (size_t at = name.rfind('@'); at != std::string::npos; at = at ? name.rfind('@', at - 1) : std::string::npos) {
    size_t end = 0;
    if (!isScaleMarker(name, at, end)) continue;
    const double scale = std::atof(name.substr(at + 1, end - at - 1).c_str());
    return scale > 0 ? scale : 1;
  }
  return 1;
}

namespace {

class AnimatedImageClass : public ILAnimatedImageClass {
 public:
  UIImagePtr imageWithData(const NSDataPtr& data, double scale,
                           const Value& options) const override {
    return ILAnimatedImage::imageWithData(data, scale, options);
  }
  UIImagePtr imageWithAnimatedCoder(const ILAnimatedImageCoderPtr& coder,
                                    double scale) const override {
    return ILAnimatedImage::imageWithAnimatedCoder(coder, scale);
  }
  bool isKindOfClass(const UIImage& image) const override {
    return dynamic_cast<const ILAnimatedImage*>(&image) != nullptr;
  }
  std::string className() const override { return "ILAnimatedImage"; }
};

}  // namespace

const ILAnimatedImageClassPtr& ILAnimatedImage::imageClass() {
  static const ILAnimatedImageClassPtr shared = std::make_shared<AnimatedImageClass>();
  return shared;
}

ILAnimatedImage::Ptr ILAnimatedImage::imageWithData(const NSDataPtr& data, double scale,
                                                    const Value& options) {
  if (!data || data->length() == 0) return nullptr;
  const ILImageFormatCode format = il_imageFormatForImageData(data);
  if (format == ILImageFormatPDF || format == ILImageFormatSVG) return nullptr;
  const Value coderOptions = ILImageCoderOptionsSetting(options, kILImageCoderDecodeScaleFactor, scale);
  auto image = std::make_shared<ILAnimatedImage>();
  if (ILAnimatedImageCoderPtr prototype = ILAnimatedImageCoderForData(data)) {
    // Only the newest willing coder is tried; its failure falls to the still path.
    if (auto coder = prototype->initWithAnimatedImageData(data, coderOptions)) {
      return image->adoptCoder(coder, scale) ? image : nullptr;
    }
  }
  return image->adoptStill(data, scale, coderOptions, format) ? image : nullptr;
}

ILAnimatedImage::Ptr ILAnimatedImage::imageWithAnimatedCoder(const ILAnimatedImageCoderPtr& coder,
                                                             double scale) {
  auto image = std::make_shared<ILAnimatedImage>();
  return image->adoptCoder(coder, scale) ? image : nullptr;
}

bool ILAnimatedImage::adoptCoder(const ILAnimatedImageCoderPtr& coder, double scale) {
  if (!coder) return false;
  UIImagePtr first = coder->animatedImageFrameAtIndex(0);
  if (!first || !first->CGImage()) return false;
  setCGImage(first->CGImage(), std::max(scale, 1.0), first->imageOrientation());
  if (coder->animatedImageFrameCount() >= 2) {
    animatedCoder_ = coder;
  } else {
    stillFormat_ = ::il_imageFormat(*first);  // a still image keeps its frame's format
  }
  return true;
}

bool ILAnimatedImage::adoptStill(const NSDataPtr& data, double scale, const Value& options,
                                 ILImageFormatCode format) {
  UIImagePtr decoded = ILImageCodersManager::sharedManager()->decodedImageWithData(data, options);
  if (!decoded || !decoded->CGImage() || ::il_isVector(*decoded)) return false;
  setCGImage(decoded->CGImage(), std::max(scale, 1.0), decoded->imageOrientation());
  stillFormat_ = format;
  return true;
}

ILAnimatedImage::Ptr ILAnimatedImage::imageWithContentsOfFile(const std::string& path) {
  NSDataPtr data = NSData::dataWithContentsOfFile(path);
  if (!data) return nullptr;
  const std::string extension = pathExtension(path);
  const Value options =
      extension.empty() ? Value() : Value::map({{kILImageCoderDecodeFileExtensionHint, extension}});
  return imageWithData(data, ILScaleFromFileName(path), options);
}

ILAnimatedImage::Ptr ILAnimatedImage::imageNamed(const std::string& name, NSBundlePtr bundle) {
  return imageNamed(name, std::move(bundle), UIScreen::mainScreen()->scale());
}

ILAnimatedImage::Ptr ILAnimatedImage::imageNamed(const std::string& name, NSBundlePtr bundle,
                                                 double scale) {
  if (name.empty()) return nullptr;
  if (!bundle) bundle = NSBundle::mainBundle();
  auto store = ILImageAssetManager::sharedAssetManager();
  if (auto stored = std::dynamic_pointer_cast<ILAnimatedImage>(store->imageForName(name))) {
    return stored;
  }
  auto path = store->getPathForName(name, bundle, scale);
  if (!path) return nullptr;
  NSDataPtr data = NSData::dataWithContentsOfFile(*path);
  if (!data) return nullptr;
  Ptr image = imageWithData(data, scale);
  if (image) store->storeImage(image, name);
  return image;
}

Value ILAnimatedImage::encodeWithCoder() const {
  ValueMap archive;
  NSDataPtr plain = UIImagePNGRepresentation(
      UIImage::imageWithCGImage(CGImage(), scale(), imageOrientation()));
  if (plain) ValueMapSet(archive, Value("image"), Value::bytes(plain->vector()));
  ValueMapSet(archive, Value("scale"), Value(scale()));
  if (NSDataPtr data = animatedImageData()) {
    ValueMapSet(archive, Value("animatedImageData"), Value::bytes(data->vector()));
  }
  return Value(std::move(archive));
}

ILAnimatedImage::Ptr ILAnimatedImage::initWithCoder(const Value& archive) {
  const Value* plain = archive.find("image");
  if (!plain || !plain->isBytes()) return nullptr;
  const double scale = ILImageCoderOptionDouble(archive, "scale", 1);
  UIImagePtr restored = UIImage::imageWithData(NSData::dataWithBytes(plain->asBytes()), scale);
  if (!restored || !restored->CGImage()) return nullptr;
  auto image = std::make_shared<ILAnimatedImage>();
  image->setCGImage(restored->CGImage(), restored->scale(), restored->imageOrientation());
  if (const Value* bytes = archive.find("animatedImageData"); bytes && bytes->isBytes()) {
    NSDataPtr data = NSData::dataWithBytes(bytes->asBytes());
    if (ILAnimatedImageCoderPtr prototype = ILAnimatedImageCoderForData(data)) {
      auto coder = prototype->initWithAnimatedImageData(
          data, Value::map({{kILImageCoderDecodeScaleFactor, restored->scale()}}));
      if (coder && coder->animatedImageFrameCount() >= 2) image->animatedCoder_ = coder;
    }
  }
  return image;
}

UIImagePtr ILAnimatedImage::animatedImageFrameAtIndex(uint64_t index) const {
  if (index >= animatedImageFrameCount()) return nullptr;
  {
    MutexLock lock(framesLock_);
    if (loadedFrames_) return index < loadedFrames_->size() ? (*loadedFrames_)[index].image : nullptr;
  }
  return animatedCoder_->animatedImageFrameAtIndex(index);
}

double ILAnimatedImage::animatedImageDurationAtIndex(uint64_t index) const {
  if (index >= animatedImageFrameCount()) return 0;
  {
    MutexLock lock(framesLock_);
    if (loadedFrames_) return index < loadedFrames_->size() ? (*loadedFrames_)[index].duration : 0;
  }
  return animatedCoder_->animatedImageDurationAtIndex(index);
}

NSDataPtr ILAnimatedImage::animatedImageData() const {
  return animatedCoder_ ? animatedCoder_->animatedImageData() : nullptr;
}

uint64_t ILAnimatedImage::animatedImageFrameCount() const {
  return animatedCoder_ ? animatedCoder_->animatedImageFrameCount() : 0;
}

uint64_t ILAnimatedImage::animatedImageLoopCount() const {
  return animatedCoder_ ? animatedCoder_->animatedImageLoopCount() : 0;
}

void ILAnimatedImage::preloadAllFrames() {
  if (!animatedCoder_ || isAllFramesLoaded()) return;
  std::vector<ILImageFrame> frames;
  const uint64_t count = animatedCoder_->animatedImageFrameCount();
  for (uint64_t i = 0; i < count; ++i) {
    frames.push_back(ILImageFrame::frameWithImage(animatedCoder_->animatedImageFrameAtIndex(i),
                                                  animatedCoder_->animatedImageDurationAtIndex(i)));
  }
  MutexLock lock(framesLock_);
  loadedFrames_ = std::move(frames);
}

void ILAnimatedImage::unloadAllFrames() {
  if (!animatedCoder_) return;
  MutexLock lock(framesLock_);
  loadedFrames_.reset();
}

bool ILAnimatedImage::isAllFramesLoaded() const {
  MutexLock lock(framesLock_);
  return loadedFrames_.has_value();
}

std::optional<std::vector<ILImageFrame>> ILAnimatedImage::loadedAnimatedImageFrames() const {
  MutexLock lock(framesLock_);
  return loadedFrames_;
}

ILImageFormatCode ILAnimatedImage::animatedImageFormat() const {
  return il_imageFormatForImageData(animatedImageData());
}

uint64_t ILAnimatedImage::il_imageFrameCount() const {
  return std::max<uint64_t>(1, animatedImageFrameCount());
}

ILImageFormatCode ILAnimatedImage::il_imageFormat() const {
  return animatedImageData() ? animatedImageFormat() : stillFormat_;
}

uint64_t ILAnimatedImage::il_computedMemoryCost() const {
  const auto& bitmap = CGImage();
  if (!bitmap) return 0;
  const uint64_t frameBytes = uint64_t(bitmap->bytesPerRow()) * bitmap->height();
  return isAllFramesLoaded() ? frameBytes * il_imageFrameCount() : frameBytes;
}

NSDataPtr ILAnimatedImage::il_imageData() const {
  if (NSDataPtr data = animatedImageData()) return data;
  return il_imageDataAsFormat(animatedImageFormat(), 1.0, false);
}

NSDataPtr ILAnimatedImage::il_imageDataAsFormat(ILImageFormatCode format, double quality,
                                                bool firstFrameOnly) const {
  NSDataPtr data = animatedImageData();
  if (quality == 1 && format == animatedImageFormat() && data) return data;
  const Value options = Value::map({{kILImageCoderEncodeCompressionQuality, quality},
                                    {kILImageCoderEncodeFirstFrameOnly, firstFrameOnly}});
  auto manager = ILImageCodersManager::sharedManager();
  if (animatedImageFrameCount() < 2) {
    // This image as a plain one: the manager's coders must not see this class.
    UIImagePtr plain = UIImage::imageWithCGImage(CGImage(), scale(), imageOrientation());
    if (NSDataPtr encoded = manager->encodedDataWithImage(plain, format, options)) return encoded;
  }
  std::vector<ILImageFrame> frames;
  const uint64_t count = animatedImageFrameCount();
  for (uint64_t i = 0; i < count; ++i) {
    frames.push_back(ILImageFrame::frameWithImage(animatedImageFrameAtIndex(i),
                                                  animatedImageDurationAtIndex(i)));
  }
  if (frames.empty()) {
    frames.push_back(ILImageFrame::frameWithImage(
        UIImage::imageWithCGImage(CGImage(), scale(), imageOrientation()), 0));
  }
  return manager->encodedDataWithFrames(frames, animatedImageLoopCount(), format, options);
}
