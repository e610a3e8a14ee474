#pragma once
// Image, image-data and video requests for library assets. The manager hands
// out increasing request identifiers and passes each request to the
// process-wide media provider: the file-backed one (decoding with ImageIO,
// resizing through Core Graphics, reading videos with libavformat) unless a
// test installs a scripted one.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/avfoundation/AVAsset.h"
#include "platform/coregraphics/CGGeometry.h"
#include "platform/foundation/NSData.h"
#include "platform/foundation/OnceCallback.h"
#include "platform/photos/PHAsset.h"
#include "platform/uikit/UIImage.h"

// Download progress (0 to 1), an error, a flag to stop, and the info so far.
using PHAssetImageProgressHandler =
    std::function<void(double progress, const NSErrorPtr& error, bool* stop, const Value& info)>;

class PHImageRequestOptions : public NSObject {
 public:
  PHImageRequestOptionsVersion version = PHImageRequestOptionsVersionCurrent;
  PHImageRequestOptionsDeliveryMode deliveryMode = PHImageRequestOptionsDeliveryModeOpportunistic;
  PHImageRequestOptionsResizeMode resizeMode = PHImageRequestOptionsResizeModeFast;
  bool networkAccessAllowed = false;
  bool synchronous = false;
  PHAssetImageProgressHandler progressHandler;

  std::shared_ptr<PHImageRequestOptions> copy() const {
    return std::make_shared<PHImageRequestOptions>(*this);
  }
  std::string className() const override { return "PHImageRequestOptions"; }
};
using PHImageRequestOptionsPtr = std::shared_ptr<PHImageRequestOptions>;

class PHVideoRequestOptions : public NSObject {
 public:
  PHImageRequestOptionsVersion version = PHImageRequestOptionsVersionCurrent;
  PHVideoRequestOptionsDeliveryMode deliveryMode = PHVideoRequestOptionsDeliveryModeAutomatic;
  bool networkAccessAllowed = false;
  PHAssetImageProgressHandler progressHandler;

  std::shared_ptr<PHVideoRequestOptions> copy() const {
    return std::make_shared<PHVideoRequestOptions>(*this);
  }
  std::string className() const override { return "PHVideoRequestOptions"; }
};
using PHVideoRequestOptionsPtr = std::shared_ptr<PHVideoRequestOptions>;

// The size that asks for the full image.
inline constexpr CGSize PHImageManagerMaximumSize{-1, -1};

// An image request may be answered more than once (a degraded image first).
using PHImageResultHandler = std::function<void(const UIImagePtr& image, const Value& info)>;
using PHImageDataResultHandler = OnceCallback<void(const NSDataPtr& data, const std::string& dataUTI,
                                                   UIImageOrientation orientation, const Value& info)>;
using PHVideoResultHandler = OnceCallback<void(const AVAssetPtr& asset, const Value& info)>;

struct PHImageRequest {
  PHImageRequestID requestID = 0;
  PHAssetPtr asset;
  CGSize targetSize{0, 0};
  PHImageContentMode contentMode = PHImageContentModeDefault;
  PHImageRequestOptionsPtr options;  // never null: the defaults when none were given
};

struct PHVideoRequest {
  PHImageRequestID requestID = 0;
  PHAssetPtr asset;
  PHVideoRequestOptionsPtr options;  // never null
};

// Where requests are answered. Implementations answer every request exactly
// as often as its handler type allows and may do so on any thread.
class PHMediaProvider {
 public:
  virtual ~PHMediaProvider() = default;
  virtual void requestImage(const PHImageRequest& request, PHImageResultHandler handler) = 0;
  virtual void requestImageData(const PHImageRequest& request, PHImageDataResultHandler handler) = 0;
  virtual void requestAVAsset(const PHVideoRequest& request, PHVideoResultHandler handler) = 0;
  virtual void cancelRequest(PHImageRequestID requestID) = 0;
  virtual void startCaching(const std::vector<PHAssetPtr>& assets, CGSize targetSize,
                            PHImageContentMode contentMode, const PHImageRequestOptionsPtr& options) = 0;
  virtual void stopCaching(const std::vector<PHAssetPtr>& assets, CGSize targetSize,
                           PHImageContentMode contentMode, const PHImageRequestOptionsPtr& options) = 0;
  virtual void stopCachingAll() = 0;
};

class PHImageManager : public NSObject {
 public:
  static std::shared_ptr<PHImageManager> defaultManager();

  PHImageRequestID requestImageForAsset(const PHAssetPtr& asset, CGSize targetSize,
                                        PHImageContentMode contentMode,
                                        const PHImageRequestOptionsPtr& options,
                                        PHImageResultHandler resultHandler);
  PHImageRequestID requestImageDataForAsset(const PHAssetPtr& asset,
                                            const PHImageRequestOptionsPtr& options,
                                            PHImageDataResultHandler resultHandler);
  PHImageRequestID requestAVAssetForVideo(const PHAssetPtr& asset,
                                          const PHVideoRequestOptionsPtr& options,
                                          PHVideoResultHandler resultHandler);
  void cancelImageRequest(PHImageRequestID requestID);

  // The provider of every manager; nullptr restores the file-backed one.
  static void setDefaultMediaProvider(std::shared_ptr<PHMediaProvider> provider);
  static std::shared_ptr<PHMediaProvider> defaultMediaProvider();

  std::string className() const override { return "PHImageManager"; }

 protected:
  static std::shared_ptr<PHMediaProvider> provider() { return defaultMediaProvider(); }
};

// Keeps decoded images of the assets it is asked to cache (at the given
// size and content mode) so that later requests answer from memory; the
// cache is bounded and forgets the least recently used images first.
class PHCachingImageManager : public PHImageManager {
 public:
  void startCachingImagesForAssets(const std::vector<PHAssetPtr>& assets, CGSize targetSize,
                                   PHImageContentMode contentMode,
                                   const PHImageRequestOptionsPtr& options);
  void stopCachingImagesForAssets(const std::vector<PHAssetPtr>& assets, CGSize targetSize,
                                  PHImageContentMode contentMode,
                                  const PHImageRequestOptionsPtr& options);
  void stopCachingImagesForAllAssets();
  bool allowsCachingHighQualityImages() const { return allowsHighQuality_; }
  void setAllowsCachingHighQualityImages(bool allows) { allowsHighQuality_ = allows; }
  std::string className() const override { return "PHCachingImageManager"; }

 private:
  bool allowsHighQuality_ = true;
};
using PHCachingImageManagerPtr = std::shared_ptr<PHCachingImageManager>;

// The size an image of `imageSize` is drawn at to meet the target in the
// content mode: whole inside it (fit) or covering it (fill), never enlarged;
// the image's own size for PHImageManagerMaximumSize or an empty target.
CGSize PHScaledImageSize(CGSize imageSize, CGSize targetSize, PHImageContentMode contentMode);
