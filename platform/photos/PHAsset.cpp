#include "platform/photos/PHAsset.h"

#include <algorithm>
#include <functional>

#include "platform/foundation/NSFileManager.h"
#include "platform/foundation/Value.h"
#include "platform/photos/PHAssetCollection.h"
#include "platform/photos/PHPhotoLibrary.h"

bool PHObject::isEqual(const NSObject& other) const {
  auto* o = dynamic_cast<const PHObject*>(&other);
  return o && typeid(*o) == typeid(*this) && o->localIdentifier_ == localIdentifier_;
}

size_t PHObject::hash() const { return std::hash<std::string>()(localIdentifier_); }

PHAsset::PHAsset(PHAssetRecordPtr record, std::string filePath)
    : PHObject(record->localIdentifier), record_(std::move(record)), filePath_(std::move(filePath)) {
  if (record_->hasLocation) {
    location_ = std::make_shared<CLLocation>(
        CLLocationCoordinate2D{record_->latitude, record_->longitude}, record_->altitude, 0, -1,
        record_->creationDate);
  }
}

std::optional<double> PHAsset::modificationDate() const {
  if (record_->modificationDate == 0) return std::nullopt;
  return record_->modificationDate;
}

Value PHAsset::valueForKey(const std::string& key) const {
  if (key == "creationDate") return Value(record_->creationDate);
  if (key == "modificationDate") return Value(record_->modificationDate);
  if (key == "mediaType") return Value(static_cast<int64_t>(record_->mediaType));
  if (key == "pixelWidth") return Value(record_->pixelWidth);
  if (key == "pixelHeight") return Value(record_->pixelHeight);
  if (key == "duration") return Value(record_->duration);
  if (key == "favorite") return Value(record_->favorite);
  if (key == "localIdentifier") return Value(localIdentifier());
  return Value();
}

std::vector<PHAssetPtr> PHAsset::select(const PHLibrarySnapshot& snapshot,
                                        const std::vector<PHAssetRecordPtr>& records,
                                        const PHFetchOptionsPtr& options) {
  std::vector<PHAssetPtr> out;
  out.reserve(records.size());
  for (auto& record : records) {
    auto asset = std::make_shared<PHAsset>(record, snapshot.absolutePath(*record));
    if (options && options->predicate && !options->predicate->evaluateWithObject(asset)) continue;
    out.push_back(std::move(asset));
  }
  if (options && !options->sortDescriptors.empty()) {
    std::stable_sort(out.begin(), out.end(), [&](const PHAssetPtr& a, const PHAssetPtr& b) {
      for (auto& sort : options->sortDescriptors) {
        int order = sort.compare(a->valueForKey(sort.key), b->valueForKey(sort.key));
        if (order != 0) return order < 0;
      }
      return false;
    });
  }
  if (options && options->fetchLimit > 0 && static_cast<int64_t>(out.size()) > options->fetchLimit) {
    out.resize(static_cast<size_t>(options->fetchLimit));
  }
  return out;
}

namespace {

bool isLibraryMedia(const PHAssetRecord& r) {
  return r.mediaType == PHAssetMediaTypeImage || r.mediaType == PHAssetMediaTypeVideo;
}

PHAssetFetchResultPtr run(PHAssetFetchResult::Query query) {
  auto snapshot = PHPhotoLibrary::sharedPhotoLibrary()->snapshot();
  auto objects = query(*snapshot);
  return std::make_shared<PHAssetFetchResult>(std::move(objects), std::move(query));
}

}  // namespace

PHAssetFetchResultPtr PHAsset::fetchAssetsWithOptions(const PHFetchOptionsPtr& options) {
  auto opts = options ? options->copy() : nullptr;
  return run([opts](const PHLibrarySnapshot& s) {
    std::vector<PHAssetRecordPtr> records;
    for (auto& r : s.assets) {
      if (isLibraryMedia(*r)) records.push_back(r);
    }
    return select(s, records, opts);
  });
}

PHAssetFetchResultPtr PHAsset::fetchAssetsWithMediaType(PHAssetMediaType mediaType,
                                                        const PHFetchOptionsPtr& options) {
  auto opts = options ? options->copy() : nullptr;
  return run([opts, mediaType](const PHLibrarySnapshot& s) {
    std::vector<PHAssetRecordPtr> records;
    for (auto& r : s.assets) {
      if (r->mediaType == mediaType) records.push_back(r);
    }
    return select(s, records, opts);
  });
}

PHAssetFetchResultPtr PHAsset::fetchAssetsInAssetCollection(
    const std::shared_ptr<PHAssetCollection>& collection, const PHFetchOptionsPtr& options) {
  auto opts = options ? options->copy() : nullptr;
  return run([opts, collection](const PHLibrarySnapshot& s) {
    if (!collection) return std::vector<PHAssetPtr>();
    return select(s, collection->recordsIn(s), opts);
  });
}

PHAssetFetchResultPtr PHAsset::fetchAssetsWithLocalIdentifiers(
    const std::vector<std::string>& identifiers, const PHFetchOptionsPtr& options) {
  auto opts = options ? options->copy() : nullptr;
  return run([opts, identifiers](const PHLibrarySnapshot& s) {
    std::vector<PHAssetRecordPtr> records;
    for (auto& id : identifiers) {
      if (auto r = s.assetWithIdentifier(id)) records.push_back(r);
    }
    return select(s, records, opts);
  });
}

PHAssetPtr PHAsset::current(const PHAssetPtr& asset) {
  if (!asset) return nullptr;
  auto library = PHPhotoLibrary::openSharedPhotoLibrary();
  auto snapshot = library ? library->snapshot() : nullptr;
  if (!snapshot || asset->filePath() != snapshot->absolutePath(*asset->record_)) return asset;
  auto record = snapshot->assetWithIdentifier(asset->localIdentifier());
  if (record && !NSFileManager::defaultManager()->fileExistsAtPath(snapshot->absolutePath(*record))) {
    library->synchronize();
    snapshot = library->snapshot();
    record = snapshot->assetWithIdentifier(asset->localIdentifier());
  }
  if (!record) return nullptr;
  if (record == asset->record_) return asset;
  return std::make_shared<PHAsset>(record, snapshot->absolutePath(*record));
}

std::vector<PHAssetResourcePtr> PHAssetResource::assetResourcesForAsset(const PHAsset& asset) {
  auto library = PHPhotoLibrary::openSharedPhotoLibrary();
  auto snapshot = library ? library->snapshot() : nullptr;
  auto now = snapshot ? snapshot->assetWithIdentifier(asset.localIdentifier()) : nullptr;
  // A file since renamed gives its new name; one gone keeps the name it had.
  const auto& path = (now && asset.filePath() == snapshot->absolutePath(asset.record()))
                         ? now->relativePath
                         : asset.record().relativePath;
  auto slash = path.rfind('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  PHAssetResourceType type =
      asset.mediaType() == PHAssetMediaTypeVideo ? PHAssetResourceTypeVideo : PHAssetResourceTypePhoto;
  if (asset.mediaType() == PHAssetMediaTypeAudio) type = PHAssetResourceTypeAudio;
  return {std::make_shared<PHAssetResource>(type, name, asset.uniformTypeIdentifier(),
                                            asset.localIdentifier())};
}
