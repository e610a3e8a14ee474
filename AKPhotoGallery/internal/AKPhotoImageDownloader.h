#pragma once

// The two ways an image page fetches what the image cache does not hold: the
// web downloader for remote URLs (a private downloader, last in first out)
// and the asset downloader for photo-library assets. Each answers a call it
// acts on exactly once, with an image, raw image data, or the fetch error;
// neither caches anything.

#include <functional>
#include <memory>

#include "platform/foundation/NSData.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/NSObject.h"
#include "platform/foundation/OnceCallback.h"

class UIImage;
class ILRemoteImageDownloader;
class PHAsset;
class PHImageManager;
class PHImageRequestOptions;
using PHAssetPtr = std::shared_ptr<PHAsset>;
using PHImageRequestOptionsPtr = std::shared_ptr<PHImageRequestOptions>;

// The gallery's fetch error: the main bundle's identifier as domain, code -1,
// the localised "preview.image.fetch.error" as description.
NSErrorPtr AKPhotoImageFetchError();

class AKPhotoImageDownloader {
 public:
  // Copyable: it reports every step of a download.
  using Progress = std::function<void(float fraction)>;
  using Completion = OnceCallback<void(std::shared_ptr<UIImage> image, NSDataPtr data, NSErrorPtr error)>;

  virtual ~AKPhotoImageDownloader() = default;
  // Returns at once. An identifier of a kind the downloader does not serve is
  // ignored: no request and no callback.
  virtual void downloadImage(const std::shared_ptr<NSObject>& identifier, Progress progress,
                             Completion completion) = 0;
};

class AKPhotoImageWebDownloader : public AKPhotoImageDownloader {
 public:
  static std::shared_ptr<AKPhotoImageWebDownloader> shared();
  AKPhotoImageWebDownloader();

  // Progress is passed on only while the expected size is known (above zero)
  // and the fraction is finite, clamped to [0, 1]; a page's ring never sees
  // NaN or infinity.
  void downloadImage(const std::shared_ptr<NSObject>& identifier, Progress progress,
                     Completion completion) override;
  const std::shared_ptr<ILRemoteImageDownloader>& downloader() const { return downloader_; }

 private:
  std::shared_ptr<ILRemoteImageDownloader> downloader_;
};

class AKPhotoImageAssetDownloader : public AKPhotoImageDownloader {
 public:
  static std::shared_ptr<AKPhotoImageAssetDownloader> shared();
  AKPhotoImageAssetDownloader();

  // GIF assets answer with their data, every other asset with an image fitted
  // to the main screen in pixels. A call for an asset whose image is being
  // made already waits for that one, with its progress: a page asked for
  // twice as the gallery opens decodes its photo once (a large HEIC photo
  // takes seconds).
  void downloadImage(const std::shared_ptr<NSObject>& identifier, Progress progress,
                     Completion completion) override;

 private:
  struct Loads;
  void requestImage(const std::shared_ptr<PHImageManager>& manager, const PHAssetPtr& asset,
                    const PHImageRequestOptionsPtr& options, Progress progress,
                    Completion completion);

  const std::shared_ptr<Loads> loads_;
};
