#pragma once
// One album of the photo library as the album data manager hands it out.

#include <cstdint>
#include <optional>
#include <string>

#include "platform/photos/PHAssetCollection.h"

class AKAssetGroup : public NSObject {
 public:
  explicit AKAssetGroup(std::string groupId) : groupId_(std::move(groupId)) {}

  const std::string& groupId() const { return groupId_; }
  const std::optional<std::string>& groupName() const { return groupName_; }
  void setGroupName(std::optional<std::string> name) { groupName_ = std::move(name); }
  const PHAssetCollectionPtr& originalCollection() const { return originalCollection_; }
  void setOriginalCollection(PHAssetCollectionPtr c) { originalCollection_ = std::move(c); }
  const PHAssetFetchResultPtr& fetchResult() const { return fetchResult_; }
  void setFetchResult(PHAssetFetchResultPtr r) { fetchResult_ = std::move(r); }
  const std::optional<int64_t>& displayCount() const { return displayCount_; }
  void setDisplayCount(std::optional<int64_t> count) { displayCount_ = count; }

  // The fetch result's count, capped by a display count of at least 1.
  int64_t totalCount() const;

  std::string className() const override { return "AKAssetGroup"; }

 private:
  const std::string groupId_;
  std::optional<std::string> groupName_;
  PHAssetCollectionPtr originalCollection_;
  PHAssetFetchResultPtr fetchResult_;
  std::optional<int64_t> displayCount_;
};
using AKAssetGroupPtr = std::shared_ptr<AKAssetGroup>;
