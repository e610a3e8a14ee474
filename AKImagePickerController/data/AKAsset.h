#pragma once
// One pickable item: a photo-library asset or an image held only in memory,
// with its identity and metadata, the fetch operations that answer its
// images, data and video, and the results the exporter attaches to it.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/avfoundation/AVAsset.h"
#include "platform/corelocation/CLLocation.h"
#include "platform/foundation/Mutex.h"
#include "platform/foundation/NSError.h"
#include "platform/foundation/NSURL.h"
#include "platform/foundation/OnceCallback.h"
#include "platform/foundation/ThreadChecks.h"
#include "platform/photos/PHImageManager.h"
#include "platform/uikit/UIImage.h"

enum class AKAssetType : int64_t { photo = 0, video = 1 };
std::optional<AKAssetType> AKAssetTypeFromRawValue(int64_t raw);

// Copyable: a request may answer twice, a degraded image before the final one.
using AKImageCompletion = std::function<void(const UIImagePtr& image, const Value& info)>;
using AKDataCompletion = OnceCallback<void(const NSDataPtr& data, const Value& info)>;
using AKVideoCompletion = OnceCallback<void(const AVAssetPtr& asset, const Value& info)>;

class AKAsset;
using AKAssetPtr = std::shared_ptr<AKAsset>;

class AKAsset : public NSObject {
 public:
  static AKAssetPtr initWithOriginalAsset(const PHAssetPtr& asset);
  static AKAssetPtr initWithImage(const UIImagePtr& image);

  AKAssetType type() const { return type_; }
  void setType(AKAssetType type) { type_ = type; }
  const std::string& localIdentifier() const { return localIdentifier_; }
  void setLocalIdentifier(std::string id) { localIdentifier_ = std::move(id); }
  const CLLocationPtr& location() const { return location_; }
  void setLocation(CLLocationPtr location) { location_ = std::move(location); }
  double duration() const { return duration_; }
  void setDuration(double duration) { duration_ = duration; }
  int64_t pixelWidth() const { return pixelWidth_; }
  void setPixelWidth(int64_t w) { pixelWidth_ = w; }
  int64_t pixelHeight() const { return pixelHeight_; }
  void setPixelHeight(int64_t h) { pixelHeight_ = h; }
  const PHAssetPtr& originalAsset() const { return originalAsset_; }
  void setOriginalAsset(PHAssetPtr asset) { originalAsset_ = std::move(asset); }
  const UIImagePtr& image() const { return image_; }
  void setImage(UIImagePtr image) { image_ = std::move(image); }

  // An image asset equals only another with an equal image; library assets
  // compare by local identifier.
  bool isEqual(const NSObject& other) const override;
  size_t hash() const override;

  // Export results, attached to the asset (read whole from any thread).
  NSURLPtr localTemporaryPath() const;
  void setLocalTemporaryPath(const NSURLPtr& url);
  std::optional<std::string> fileName() const;
  void setFileName(const std::optional<std::string>& name);
  uint64_t fileSize() const;
  void setFileSize(uint64_t size);
  double progress() const;
  void setProgress(double progress);
  NSErrorPtr error() const;
  void setError(const NSErrorPtr& error);

  // Fetches. Library assets go through the shared data manager; in-memory
  // images answer at once on the caller's thread.
  void fetchImage(CGSize size, const PHImageRequestOptionsPtr& options,
                  PHImageContentMode contentMode, AKImageCompletion completion);
  void fetchFullScreenImage(AKImageCompletion completion);
  void fetchOriginalImage(const PHImageRequestOptionsPtr& options, AKImageCompletion completion);
  void fetchImageData(const PHImageRequestOptionsPtr& options, double compressionQuality,
                      AKDataCompletion completion);
  void fetchAVAsset(const PHVideoRequestOptionsPtr& options, AKVideoCompletion completion);
  // Cancels every request the asset started (and forgets them).
  void cancelRequests();
  std::vector<int32_t> pendingRequestIDs() const;

  std::string className() const override { return "AKAsset"; }

 private:
  AKAsset() = default;
  // Starts a request and records its identifier in one step under the
  // asset's lock, so a cancel from another thread never misses it. The lock
  // is recursive: a completion that answers at once may cancel again.
  void startRequest(const std::function<int32_t()>& start);

  AKAssetType type_ = AKAssetType::photo;
  std::string localIdentifier_;
  CLLocationPtr location_;
  double duration_ = 0;
  int64_t pixelWidth_ = 0;
  int64_t pixelHeight_ = 0;
  PHAssetPtr originalAsset_;
  UIImagePtr image_;
  mutable RecursiveMutex requestsMutex_;
  std::vector<int32_t> pendingRequestIDs_ GUARDED_BY(requestsMutex_);
};

// A size in points as pixels of the main screen.
CGSize AKSizeToPixel(CGSize size);

// An estimate of an asset's size in bytes: a URL asset's file size; a
// composition's tracks' data rates times their lengths; 0 otherwise.
float AKCalculateFileSize(const AVAssetPtr& asset);
