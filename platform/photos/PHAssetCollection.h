#pragma once
// Albums: every folder of the library is a user album holding the files
// directly in it; smart albums are computed from all files (the whole
// library, videos, favourites, screenshots, recently added, animated).

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/photos/PHAsset.h"

class PHAssetCollection;
using PHAssetCollectionPtr = std::shared_ptr<PHAssetCollection>;
using PHAssetCollectionFetchResult = PHFetchResult<PHAssetCollection>;
using PHAssetCollectionFetchResultPtr = std::shared_ptr<PHAssetCollectionFetchResult>;

class PHAssetCollection : public PHObject {
 public:
  PHAssetCollection(std::string localIdentifier, std::optional<std::string> title,
                    PHAssetCollectionType type, PHAssetCollectionSubtype subtype,
                    std::string albumPath);

  const std::optional<std::string>& localizedTitle() const { return title_; }
  PHAssetCollectionType assetCollectionType() const { return type_; }
  PHAssetCollectionSubtype assetCollectionSubtype() const { return subtype_; }
  // The folder below the library of a user album.
  const std::string& albumPath() const { return albumPath_; }
  // The count when it was fetched.
  int64_t estimatedAssetCount() const { return estimatedCount_; }

  // The collection's records in a snapshot, in its natural order.
  std::vector<PHAssetRecordPtr> recordsIn(const PHLibrarySnapshot& snapshot) const;
  // The same collection as the snapshot has it; nullptr when it is gone.
  PHAssetCollectionPtr refreshedIn(const PHLibrarySnapshot& snapshot) const;

  // Album type: user albums (subtype regular or any). Smart album type: the
  // given subtype, or all supported ones for any. Options filter the
  // collections by predicate (evaluated on the collection).
  static PHAssetCollectionFetchResultPtr fetchAssetCollectionsWithType(
      PHAssetCollectionType type, PHAssetCollectionSubtype subtype,
      const PHFetchOptionsPtr& options);
  static PHAssetCollectionFetchResultPtr fetchAssetCollectionsWithLocalIdentifiers(
      const std::vector<std::string>& identifiers, const PHFetchOptionsPtr& options);

  // The smart-album subtypes the library computes, in listing order.
  static const std::vector<PHAssetCollectionSubtype>& supportedSmartAlbumSubtypes();

  std::string className() const override { return "PHAssetCollection"; }

 private:
  friend struct PHCollectionQueries;
  std::optional<std::string> title_;
  PHAssetCollectionType type_;
  PHAssetCollectionSubtype subtype_;
  std::string albumPath_;
  int64_t estimatedCount_ = 0;
};
