#include "AKImagePickerController/data/AKAsset.h"

#include <sys/stat.h>

#include <cmath>

#include "AKImagePickerController/data/AKImageDataManager.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSProcessInfo.h"
#include "platform/foundation/Value.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/uikit/UIScreen.h"

namespace {

// Process-wide keys of the attached values.
const char kLocalTemporaryPathKey = 0;
const char kFileNameKey = 0;
const char kFileSizeKey = 0;
const char kProgressKey = 0;
const char kErrorKey = 0;
const char kFullScreenImageKey = 0;

// The cached full-screen answer.
class AKFullScreenResult : public NSObject {
 public:
  AKFullScreenResult(UIImagePtr image, Value info) : image(std::move(image)), info(std::move(info)) {}
  UIImagePtr image;
  Value info;
};

bool isDegraded(const Value& info) {
  const Value* v = info.find(PHImageResultIsDegradedKey);
  return v && v->asBool();
}

}  // namespace

std::optional<AKAssetType> AKAssetTypeFromRawValue(int64_t raw) {
  if (raw == 0) return AKAssetType::photo;
  if (raw == 1) return AKAssetType::video;
  return std::nullopt;
}

AKAssetPtr AKAsset::initWithOriginalAsset(const PHAssetPtr& asset) {
  AKAssetPtr out(new AKAsset());
  if (!asset) return out;
  out->localIdentifier_ = asset->localIdentifier();
  out->location_ = asset->location();
  out->pixelWidth_ = asset->pixelWidth();
  out->pixelHeight_ = asset->pixelHeight();
  out->originalAsset_ = asset;
  if (asset->mediaType() == PHAssetMediaTypeVideo) {
    out->type_ = AKAssetType::video;
    out->duration_ = asset->duration();
  }
  return out;
}

AKAssetPtr AKAsset::initWithImage(const UIImagePtr& image) {
  AKAssetPtr out(new AKAsset());
  // A fresh identifier, never the object's address: an address is reused
  // once the image is freed, and the identifier names the export folder.
  out->localIdentifier_ = NSRandomUUIDString();
  if (image) {
    CGSize size = image->size();
    out->pixelWidth_ = static_cast<int64_t>(size.width * image->scale());
    out->pixelHeight_ = static_cast<int64_t>(size.height * image->scale());
  }
  out->image_ = image;
  return out;
}

bool AKAsset::isEqual(const NSObject& other) const {
  auto* o = dynamic_cast<const AKAsset*>(&other);
  if (!o) return false;
  if (image_) return o->image_ && (o->image_ == image_ || o->image_->isEqual(*image_));
  if (o->image_) return false;
  return localIdentifier_ == o->localIdentifier_;
}

// Equal assets hash alike: image assets compare by their image, whatever
// their identifiers.
size_t AKAsset::hash() const {
  return image_ ? image_->hash() : std::hash<std::string>()(localIdentifier_);
}

NSURLPtr AKAsset::localTemporaryPath() const {
  return associatedObject(&kLocalTemporaryPathKey).objectAs<NSURL>();
}
void AKAsset::setLocalTemporaryPath(const NSURLPtr& url) {
  setAssociatedObject(&kLocalTemporaryPathKey, url ? Value(std::static_pointer_cast<NSObject>(url)) : Value());
}
std::optional<std::string> AKAsset::fileName() const {
  Value v = associatedObject(&kFileNameKey);
  return v.isString() ? std::optional<std::string>(v.asString()) : std::nullopt;
}
void AKAsset::setFileName(const std::optional<std::string>& name) {
  setAssociatedObject(&kFileNameKey, name ? Value(*name) : Value());
}
uint64_t AKAsset::fileSize() const {
  return static_cast<uint64_t>(associatedObject(&kFileSizeKey).asInt64());
}
void AKAsset::setFileSize(uint64_t size) {
  setAssociatedObject(&kFileSizeKey, Value(static_cast<int64_t>(size)));
}
double AKAsset::progress() const { return associatedObject(&kProgressKey).asDouble(); }
void AKAsset::setProgress(double progress) { setAssociatedObject(&kProgressKey, Value(progress)); }
NSErrorPtr AKAsset::error() const { return associatedObject(&kErrorKey).objectAs<NSError>(); }
void AKAsset::setError(const NSErrorPtr& error) {
  setAssociatedObject(&kErrorKey, error ? Value(std::static_pointer_cast<NSObject>(error)) : Value());
}

void AKAsset::startRequest(const std::function<int32_t()>& start) {
  RecursiveMutexLock lock(requestsMutex_);
  pendingRequestIDs_.push_back(start());
}

std::vector<int32_t> AKAsset::pendingRequestIDs() const {
  RecursiveMutexLock lock(requestsMutex_);
  return pendingRequestIDs_;
}

void AKAsset::fetchImage(CGSize size, const PHImageRequestOptionsPtr& options,
                         PHImageContentMode contentMode, AKImageCompletion completion) {
  if (!originalAsset_) {
    if (completion) completion(image_, Value());
    return;
  }
  auto self = std::static_pointer_cast<AKAsset>(shared_from_this());
  startRequest([&] {
    return getImageDataManager()->fetchImage(self, size, options, contentMode, std::move(completion));
  });
}

void AKAsset::fetchFullScreenImage(AKImageCompletion completion) {
  if (auto cached = associatedObject(&kFullScreenImageKey).objectAs<AKFullScreenResult>()) {
    if (completion) completion(cached->image, cached->info);
    return;
  }
  if (!originalAsset_) {
    if (completion) completion(image_, Value());
    return;
  }
  auto screen = UIScreen::mainScreen();
  CGSize size{screen->bounds().size.width * screen->scale(),
              screen->bounds().size.height * screen->scale()};
  auto options = std::make_shared<PHImageRequestOptions>();
  options->deliveryMode = PHImageRequestOptionsDeliveryModeHighQualityFormat;
  options->resizeMode = PHImageRequestOptionsResizeModeExact;
  std::weak_ptr<AKAsset> weak = std::static_pointer_cast<AKAsset>(shared_from_this());
  auto self = weak.lock();
  startRequest([&] { return getImageDataManager()->fetchImage(
      self, size, options, PHImageContentModeAspectFit,
      [weak, completion](const UIImagePtr& image, const Value& info) {
        auto asset = weak.lock();
        if (!asset) return;
        // Only a final image is worth keeping: a degraded or empty answer
        // would be served for good to every later caller.
        if (image && !isDegraded(info)) {
          asset->setAssociatedObject(&kFullScreenImageKey,
                                     Value(std::static_pointer_cast<NSObject>(
                                         std::make_shared<AKFullScreenResult>(image, info))));
        }
        if (completion) completion(image, info);
      }); });
}

void AKAsset::fetchOriginalImage(const PHImageRequestOptionsPtr& options, AKImageCompletion completion) {
  if (!originalAsset_) {
    if (completion) completion(image_, Value());
    return;
  }
  auto self = std::static_pointer_cast<AKAsset>(shared_from_this());
  startRequest([&] {
    return getImageDataManager()->fetchImageData(
        self, options, [completion](const NSDataPtr& data, const Value& info) {
          if (completion) completion(data ? UIImage::imageWithData(data) : nullptr, info);
        });
  });
}

void AKAsset::fetchImageData(const PHImageRequestOptionsPtr& options, double compressionQuality,
                             AKDataCompletion completion) {
  if (originalAsset_) {
    auto self = std::static_pointer_cast<AKAsset>(shared_from_this());
    startRequest([&] { return getImageDataManager()->fetchImageData(self, options, std::move(completion)); });
    return;
  }
  if (!image_) return completion(nullptr, Value());
  CGImageAlphaInfo alpha = image_->CGImage() ? image_->CGImage()->alphaInfo() : kCGImageAlphaNone;
  bool png = alpha == kCGImageAlphaPremultipliedLast || alpha == kCGImageAlphaPremultipliedFirst ||
             alpha == kCGImageAlphaLast || alpha == kCGImageAlphaFirst;
  completion(png ? UIImagePNGRepresentation(image_) : UIImageJPEGRepresentation(image_, compressionQuality),
             Value());
}

void AKAsset::fetchAVAsset(const PHVideoRequestOptionsPtr& options, AKVideoCompletion completion) {
  auto self = std::static_pointer_cast<AKAsset>(shared_from_this());
  startRequest([&] { return getImageDataManager()->fetchAVAsset(self, options, std::move(completion)); });
}

void AKAsset::cancelRequests() {
  RecursiveMutexLock lock(requestsMutex_);
  if (pendingRequestIDs_.empty()) return;
  getImageDataManager()->cancelRequests(pendingRequestIDs_);
  pendingRequestIDs_.clear();
}

CGSize AKSizeToPixel(CGSize size) {
  double scale = UIScreen::mainScreen()->scale();
  return {size.width * scale, size.height * scale};
}

float AKCalculateFileSize(const AVAssetPtr& asset) {
  if (auto url = std::dynamic_pointer_cast<AVURLAsset>(asset)) {
    struct stat st;
    if (!url->URL() || !url->URL()->isFileURL() || stat(url->URL()->path().c_str(), &st) != 0) return 0;
    return static_cast<float>(st.st_size);
  }
  if (auto composition = std::dynamic_pointer_cast<AVComposition>(asset)) {
    float total = 0;
    for (auto& track : composition->tracks()) {
      total += track->estimatedDataRate() * 0.125f * static_cast<float>(track->timeRange().duration);
    }
    return total;
  }
  return 0;
}
