#include "platform/photos/PHAssetCollection.h"

#include <algorithm>
#include <ctime>

#include "platform/foundation/PlatformClock.h"
#include "platform/photos/PHPhotoLibrary.h"

namespace {

constexpr double kRecentlyAddedSeconds = 30 * 24 * 3600.0;

std::string smartAlbumIdentifier(PHAssetCollectionSubtype subtype) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "00000000-0000-0000-0000-%012lld/L0/040",
                static_cast<long long>(subtype));
  return buf;
}

const char* smartAlbumTitle(PHAssetCollectionSubtype subtype) {
  switch (subtype) {
    case PHAssetCollectionSubtypeSmartAlbumUserLibrary:
      return "Recents";
    case PHAssetCollectionSubtypeSmartAlbumVideos:
      return "Videos";
    case PHAssetCollectionSubtypeSmartAlbumFavorites:
      return "Favorites";
    case PHAssetCollectionSubtypeSmartAlbumScreenshots:
      return "Screenshots";
    case PHAssetCollectionSubtypeSmartAlbumRecentlyAdded:
      return "Recently Added";
    case PHAssetCollectionSubtypeSmartAlbumAnimated:
      return "Animated";
    default:
      return "";
  }
}

bool inSmartAlbum(PHAssetCollectionSubtype subtype, const PHAssetRecord& r, double now) {
  bool media = r.mediaType == PHAssetMediaTypeImage || r.mediaType == PHAssetMediaTypeVideo;
  switch (subtype) {
    case PHAssetCollectionSubtypeSmartAlbumUserLibrary:
      return media;
    case PHAssetCollectionSubtypeSmartAlbumVideos:
      return r.mediaType == PHAssetMediaTypeVideo;
    case PHAssetCollectionSubtypeSmartAlbumFavorites:
      return media && r.favorite;
    case PHAssetCollectionSubtypeSmartAlbumScreenshots:
      return (r.mediaSubtypes & PHAssetMediaSubtypePhotoScreenshot) != 0;
    case PHAssetCollectionSubtypeSmartAlbumRecentlyAdded:
      return media && now - r.addedDate <= kRecentlyAddedSeconds;
    case PHAssetCollectionSubtypeSmartAlbumAnimated:
      return r.typeIdentifier == "com.compuserve.gif";
    default:
      return false;
  }
}

}  // namespace

struct PHCollectionQueries {
  static PHAssetCollectionPtr smartAlbum(PHAssetCollectionSubtype subtype, const PHLibrarySnapshot& s) {
    auto c = std::make_shared<PHAssetCollection>(smartAlbumIdentifier(subtype), smartAlbumTitle(subtype),
                                                 PHAssetCollectionTypeSmartAlbum, subtype, "");
    c->estimatedCount_ = static_cast<int64_t>(c->recordsIn(s).size());
    return c;
  }
  static PHAssetCollectionPtr userAlbum(const PHAlbumRecord& album, const PHLibrarySnapshot& s) {
    auto c = std::make_shared<PHAssetCollection>(album.localIdentifier, album.title,
                                                 PHAssetCollectionTypeAlbum,
                                                 PHAssetCollectionSubtypeAlbumRegular,
                                                 album.relativePath);
    c->estimatedCount_ = static_cast<int64_t>(c->recordsIn(s).size());
    return c;
  }
};

PHAssetCollection::PHAssetCollection(std::string localIdentifier, std::optional<std::string> title,
                                     PHAssetCollectionType type, PHAssetCollectionSubtype subtype,
                                     std::string albumPath)
    : PHObject(std::move(localIdentifier)),
      title_(std::move(title)),
      type_(type),
      subtype_(subtype),
      albumPath_(std::move(albumPath)) {}

const std::vector<PHAssetCollectionSubtype>& PHAssetCollection::supportedSmartAlbumSubtypes() {
  static const std::vector<PHAssetCollectionSubtype> kinds = {
      PHAssetCollectionSubtypeSmartAlbumUserLibrary,   PHAssetCollectionSubtypeSmartAlbumFavorites,
      PHAssetCollectionSubtypeSmartAlbumVideos,        PHAssetCollectionSubtypeSmartAlbumRecentlyAdded,
      PHAssetCollectionSubtypeSmartAlbumScreenshots,   PHAssetCollectionSubtypeSmartAlbumAnimated};
  return kinds;
}

std::vector<PHAssetRecordPtr> PHAssetCollection::recordsIn(const PHLibrarySnapshot& s) const {
  std::vector<PHAssetRecordPtr> out;
  if (type_ == PHAssetCollectionTypeAlbum) {
    const PHAlbumRecord* album = s.albumWithIdentifier(localIdentifier());
    if (!album) return out;
    for (auto& r : s.assets) {
      if (r->albumPath == album->relativePath) out.push_back(r);
    }
    return out;
  }
  double now = PlatformClock::wallNow();
  for (auto& r : s.assets) {
    if (inSmartAlbum(subtype_, *r, now)) out.push_back(r);
  }
  if (subtype_ == PHAssetCollectionSubtypeSmartAlbumRecentlyAdded) {
    std::stable_sort(out.begin(), out.end(),
                     [](auto& a, auto& b) { return a->addedDate < b->addedDate; });
  }
  return out;
}

PHAssetCollectionPtr PHAssetCollection::refreshedIn(const PHLibrarySnapshot& s) const {
  if (type_ == PHAssetCollectionTypeSmartAlbum) return PHCollectionQueries::smartAlbum(subtype_, s);
  const PHAlbumRecord* album = s.albumWithIdentifier(localIdentifier());
  return album ? PHCollectionQueries::userAlbum(*album, s) : nullptr;
}

namespace {

std::vector<PHAssetCollectionPtr> filtered(std::vector<PHAssetCollectionPtr> all,
                                           const PHFetchOptionsPtr& options) {
  if (!options || !options->predicate) return all;
  std::vector<PHAssetCollectionPtr> out;
  for (auto& c : all) {
    if (options->predicate->evaluateWithObject(c)) out.push_back(c);
  }
  return out;
}

PHAssetCollectionFetchResultPtr run(PHAssetCollectionFetchResult::Query query) {
  auto snapshot = PHPhotoLibrary::sharedPhotoLibrary()->snapshot();
  auto objects = query(*snapshot);
  return std::make_shared<PHAssetCollectionFetchResult>(std::move(objects), std::move(query));
}

}  // namespace

PHAssetCollectionFetchResultPtr PHAssetCollection::fetchAssetCollectionsWithType(
    PHAssetCollectionType type, PHAssetCollectionSubtype subtype, const PHFetchOptionsPtr& options) {
  auto opts = options ? options->copy() : nullptr;
  return run([=](const PHLibrarySnapshot& s) {
    std::vector<PHAssetCollectionPtr> out;
    if (type == PHAssetCollectionTypeAlbum &&
        (subtype == PHAssetCollectionSubtypeAlbumRegular || subtype == PHAssetCollectionSubtypeAny)) {
      for (auto& album : s.albums) out.push_back(PHCollectionQueries::userAlbum(album, s));
    } else if (type == PHAssetCollectionTypeSmartAlbum) {
      for (auto kind : supportedSmartAlbumSubtypes()) {
        if (subtype == kind || subtype == PHAssetCollectionSubtypeAny) {
          out.push_back(PHCollectionQueries::smartAlbum(kind, s));
        }
      }
    }
    return filtered(std::move(out), opts);
  });
}

PHAssetCollectionFetchResultPtr PHAssetCollection::fetchAssetCollectionsWithLocalIdentifiers(
    const std::vector<std::string>& identifiers, const PHFetchOptionsPtr& options) {
  auto opts = options ? options->copy() : nullptr;
  return run([=](const PHLibrarySnapshot& s) {
    std::vector<PHAssetCollectionPtr> out;
    for (auto& id : identifiers) {
      if (const PHAlbumRecord* album = s.albumWithIdentifier(id)) {
        out.push_back(PHCollectionQueries::userAlbum(*album, s));
        continue;
      }
      for (auto kind : supportedSmartAlbumSubtypes()) {
        if (smartAlbumIdentifier(kind) == id) out.push_back(PHCollectionQueries::smartAlbum(kind, s));
      }
    }
    return filtered(std::move(out), opts);
  });
}
