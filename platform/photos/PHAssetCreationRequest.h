#pragma once
// Change requests made inside PHPhotoLibrary::performChanges: new assets
// from an image (written as JPEG), from an image or video file (copied) or
// from resources given as data or files (stored as given, so their metadata
// survives). A request knows the identifier its asset will have from the
// start (its placeholder). Requests made outside a change block are refused
// (nullptr).

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/NSData.h"
#include "platform/foundation/NSURL.h"
#include "platform/photos/PHAsset.h"

class UIImage;

class PHObjectPlaceholder : public PHObject {
 public:
  using PHObject::PHObject;
  std::string className() const override { return "PHObjectPlaceholder"; }
};
using PHObjectPlaceholderPtr = std::shared_ptr<PHObjectPlaceholder>;

struct PHAssetResourceCreationOptions {
  std::optional<std::string> originalFilename;
  std::optional<std::string> uniformTypeIdentifier;
  bool shouldMoveFile = false;
};

class PHAssetChangeRequest : public NSObject {
 public:
  static std::shared_ptr<PHAssetChangeRequest> creationRequestForAssetFromImage(
      const std::shared_ptr<UIImage>& image);
  static std::shared_ptr<PHAssetChangeRequest> creationRequestForAssetFromImageAtFileURL(
      const NSURLPtr& fileURL);
  static std::shared_ptr<PHAssetChangeRequest> creationRequestForAssetFromVideoAtFileURL(
      const NSURLPtr& fileURL);

  const PHObjectPlaceholderPtr& placeholderForCreatedAsset() const { return placeholder_; }
  void setFavorite(bool favorite) { favorite_ = favorite; }
  std::string className() const override { return "PHAssetChangeRequest"; }

  // One piece of the asset to write.
  struct Resource {
    PHAssetResourceType type = PHAssetResourceTypePhoto;
    NSDataPtr data;
    NSURLPtr fileURL;
    std::shared_ptr<UIImage> image;
    PHAssetResourceCreationOptions options;
  };
  const std::vector<Resource>& resources() const { return resources_; }
  bool favorite() const { return favorite_; }

 protected:
  PHAssetChangeRequest();
  // False (and the request is dropped) outside a change block.
  static bool enlist(const std::shared_ptr<PHAssetChangeRequest>& request);
  static std::shared_ptr<PHAssetChangeRequest> requestWith(Resource resource);
  std::vector<Resource> resources_;

 private:
  PHObjectPlaceholderPtr placeholder_;
  bool favorite_ = false;
};
using PHAssetChangeRequestPtr = std::shared_ptr<PHAssetChangeRequest>;

class PHAssetCreationRequest : public PHAssetChangeRequest {
 public:
  static std::shared_ptr<PHAssetCreationRequest> creationRequestForAsset();
  void addResourceWithType(PHAssetResourceType type, const NSDataPtr& data,
                           const PHAssetResourceCreationOptions& options = {});
  void addResourceWithType(PHAssetResourceType type, const NSURLPtr& fileURL,
                           const PHAssetResourceCreationOptions& options = {});
  std::string className() const override { return "PHAssetCreationRequest"; }

 private:
  friend class PHAssetChangeRequest;
};

// The requests made by one change block, on the thread running it.
class PHChangeTransaction {
 public:
  PHChangeTransaction();
  ~PHChangeTransaction();
  std::vector<PHAssetChangeRequestPtr> requests;
  static PHChangeTransaction* current();
};

// Writes the transaction's assets into the library folder, reserving each
// placeholder's identifier for its file. On failure every file already
// written is removed and the error answered.
NSErrorPtr PHApplyChangeTransaction(const PHChangeTransaction& transaction, PHLibraryStore& store);
