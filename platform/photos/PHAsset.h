#pragma once
// Assets of the photo library (the image and video files of its folder) and
// their resources. An asset is an immutable view of the library at the time
// it was fetched; fetch again after a change to see the change.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/corelocation/CLLocation.h"
#include "platform/foundation/NSObject.h"
#include "platform/photos/PHFetchResult.h"
#include "platform/photos/PHLibraryStore.h"
#include "platform/photos/PhotosTypes.h"

class PHAssetCollection;

// Objects of the library compare by local identifier.
class PHObject : public NSObject {
 public:
  explicit PHObject(std::string localIdentifier) : localIdentifier_(std::move(localIdentifier)) {}
  const std::string& localIdentifier() const { return localIdentifier_; }
  bool isEqual(const NSObject& other) const override;
  size_t hash() const override;

 private:
  std::string localIdentifier_;
};

class PHAsset;
using PHAssetPtr = std::shared_ptr<PHAsset>;
using PHAssetFetchResult = PHFetchResult<PHAsset>;
using PHAssetFetchResultPtr = std::shared_ptr<PHAssetFetchResult>;

class PHAsset : public PHObject {
 public:
  PHAsset(PHAssetRecordPtr record, std::string filePath);

  PHAssetMediaType mediaType() const { return record_->mediaType; }
  uint64_t mediaSubtypes() const { return record_->mediaSubtypes; }
  int64_t pixelWidth() const { return record_->pixelWidth; }
  int64_t pixelHeight() const { return record_->pixelHeight; }
  double duration() const { return record_->duration; }
  // Seconds since 1970.
  double creationDate() const { return record_->creationDate; }
  std::optional<double> modificationDate() const;
  bool isFavorite() const { return record_->favorite; }
  const CLLocationPtr& location() const { return location_; }
  // The file behind the asset and its uniform type identifier.
  const std::string& filePath() const { return filePath_; }
  const std::string& uniformTypeIdentifier() const { return record_->typeIdentifier; }
  // EXIF orientation of the stored pixels (1 = upright).
  int orientation() const { return record_->orientation; }
  const PHAssetRecord& record() const { return *record_; }

  // The value under a key that fetch options sort and filter by
  // ("creationDate", "modificationDate", "mediaType", "pixelWidth",
  // "pixelHeight", "duration", "favorite", "localIdentifier").
  Value valueForKey(const std::string& key) const;

  // Creation-date order unless the options sort otherwise.
  static PHAssetFetchResultPtr fetchAssetsWithOptions(const PHFetchOptionsPtr& options);
  static PHAssetFetchResultPtr fetchAssetsWithMediaType(PHAssetMediaType mediaType,
                                                        const PHFetchOptionsPtr& options);
  static PHAssetFetchResultPtr fetchAssetsInAssetCollection(
      const std::shared_ptr<PHAssetCollection>& collection, const PHFetchOptionsPtr& options);
  // In the order of the identifiers; unknown ones are left out.
  static PHAssetFetchResultPtr fetchAssetsWithLocalIdentifiers(
      const std::vector<std::string>& identifiers, const PHFetchOptionsPtr& options);

  // The asset where the shared library has it now: a file renamed or moved
  // (or its album folder renamed) since the asset was fetched keeps its
  // identifier, not its path, so whoever reads the file asks here first.
  // When the file is not where the library last saw it, the library reads
  // its folder at once rather than wait for its watcher to report. nullptr
  // when the library no longer has the asset; the asset itself when it is
  // not of the shared library's folder.
  static PHAssetPtr current(const PHAssetPtr& asset);

  // Applies the options (filter, sort, cap) to records of a snapshot.
  static std::vector<PHAssetPtr> select(const PHLibrarySnapshot& snapshot,
                                        const std::vector<PHAssetRecordPtr>& records,
                                        const PHFetchOptionsPtr& options);

  std::string className() const override { return "PHAsset"; }

 private:
  PHAssetRecordPtr record_;
  std::string filePath_;
  CLLocationPtr location_;
};

class PHAssetResource : public NSObject {
 public:
  PHAssetResource(PHAssetResourceType type, std::string originalFilename,
                  std::string uniformTypeIdentifier, std::string assetLocalIdentifier)
      : type_(type),
        originalFilename_(std::move(originalFilename)),
        uniformTypeIdentifier_(std::move(uniformTypeIdentifier)),
        assetLocalIdentifier_(std::move(assetLocalIdentifier)) {}

  // One resource per file: a photo or a video, named as the file is now.
  static std::vector<std::shared_ptr<PHAssetResource>> assetResourcesForAsset(const PHAsset& asset);

  PHAssetResourceType type() const { return type_; }
  const std::string& originalFilename() const { return originalFilename_; }
  const std::string& uniformTypeIdentifier() const { return uniformTypeIdentifier_; }
  const std::string& assetLocalIdentifier() const { return assetLocalIdentifier_; }
  std::string className() const override { return "PHAssetResource"; }

 private:
  PHAssetResourceType type_;
  std::string originalFilename_;
  std::string uniformTypeIdentifier_;
  std::string assetLocalIdentifier_;
};
using PHAssetResourcePtr = std::shared_ptr<PHAssetResource>;
