#include "AKImagePickerController/data/AKAssetGroup.h"

int64_t AKAssetGroup::totalCount() const {
  if (!fetchResult_) return 0;
  int64_t count = fetchResult_->count();
  if (displayCount_ && *displayCount_ >= 1 && *displayCount_ < count) return *displayCount_;
  return count;
}
