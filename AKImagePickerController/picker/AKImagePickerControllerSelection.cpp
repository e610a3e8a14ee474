// The picker's selection under its rules, and the saving of what the camera
// and the photo editor hand back into the photo library.

#include "AKImagePickerController/picker/AKImagePickerController.h"
#include "AKImagePickerController/picker/internal/AKImageExtension.h"
#include "AKImagePickerController/picker/internal/AKImagePickerControllerResource.h"
#include "AKImagePickerController/picker/AKImagePickerControllerUIDelegate.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Value.h"
#include "platform/imageio/CGImageDestination.h"
#include "platform/imageio/CGImageSource.h"
#include "platform/imageio/ImageIOProperties.h"
#include "platform/photos/PHAssetCreationRequest.h"
#include "platform/photos/PHPhotoLibrary.h"
#include "platform/uikit/UIAlertController.h"

namespace {

Value listOf(const std::vector<AKAssetPtr>& assets) {
  ValueList list;
  list.reserve(assets.size());
  for (auto& a : assets) list.emplace_back(std::static_pointer_cast<NSObject>(a));
  return Value(std::move(list));
}

PHAssetPtr fetchAsset(const std::string& identifier) {
  if (identifier.empty()) return nullptr;
  auto result = PHAsset::fetchAssetsWithLocalIdentifiers({identifier}, nullptr);
  return result ? result->firstObject() : nullptr;
}

// Runs one change that makes an asset, then `done` on the main queue with
// whether it worked and the new asset's identifier (empty when none).
void createAsset(std::function<PHAssetChangeRequestPtr()> request,
                 OnceCallback<void(bool success, const std::string& identifier)> done) {
  auto identifier = std::make_shared<std::string>();
  PHPhotoLibrary::sharedPhotoLibrary()->performChanges(
      [request = std::move(request), identifier] {
        auto made = request();
        if (made && made->placeholderForCreatedAsset()) *identifier = made->placeholderForCreatedAsset()->localIdentifier();
      },
      [identifier, done = std::move(done)](bool success, NSErrorPtr) mutable {
        dispatch_async(dispatch_get_main_queue(), [identifier, success, done = std::move(done)]() mutable {
          done(success, *identifier);
        });
      });
}

}  // namespace

// --- Selection ---

void AKImagePickerController::notifyObservers(const char* selector, const std::vector<AKAssetPtr>& assets) {
  proxyObserver_->notify(selector, listOf(assets));
}

void AKImagePickerController::selectWithAsset(const AKAssetPtr& asset) { selectWithAssets({asset}); }

void AKImagePickerController::selectWithAssets(const std::vector<AKAssetPtr>& list) {
  if (singleSelect_) deselectAll();
  std::vector<AKAssetPtr> selected;
  for (const auto& asset : list) {
    if (!asset) continue;
    const std::string& id = asset->localIdentifier();
    if (assets_.count(id)) continue;
    if (!canSelectWithAsset(asset, true)) break;
    positions_[id] = selectedAssetIdentifiers_.size();
    selectedAssetIdentifiers_.push_back(id);
    assets_[id] = asset;
    internalSelectedAssetsCache_.reset();
    selected.push_back(asset);
  }
  if (selected.empty()) return;
  if (sourceType_ == AKImagePickerControllerSourceType::camera || (singleSelect_ && autoCloseOnSingleSelect_)) {
    done();
  } else {
    if (selectedChanged_) selectedChanged_();
    if (UIDelegate_) UIDelegate_->imagePickerControllerDidSelectAssets(*this, selected);
  }
  notifyObservers("imagePickerControllerDidSelectWithAssets:", selected);
}

bool AKImagePickerController::canSelectWithAsset(const AKAssetPtr& asset, bool showAlert) {
  if (!selectedAssetIdentifiers_.empty() && !allowMultipleTypes_) {
    const auto& first = assets_.at(selectedAssetIdentifiers_.front());
    if (asset->type() != first->type()) {
      if (showAlert) showMixedTypesAlert();
      return false;
    }
  }
  if (maxSelectableCount_ < 1) return true;
  if (static_cast<int64_t>(selectedAssetIdentifiers_.size()) < maxSelectableCount_) return true;
  if (showAlert && UIDelegate_ && !UIDelegate_->isMaxLimitAlertDisplayed()) {
    UIDelegate_->imagePickerControllerDidReachMaxLimit(*this);
  }
  return false;
}

void AKImagePickerController::showMixedTypesAlert() {
  using R = AKImagePickerControllerResource;
  auto alert = UIAlertController::alertControllerWithTitle(R::localizedString("picker.select.photosOrVideos.error.title"),
                                                           R::localizedString("picker.select.photosOrVideos.error.message"),
                                                           UIAlertControllerStyle::Alert);
  alert->addAction(UIAlertAction::actionWithTitle(R::localizedString("picker.alert.ok"), UIAlertActionStyle::Cancel,
                                                  nullptr));
  presentViewController(alert, true);
}

void AKImagePickerController::removeAt(size_t position) {
  std::string id = selectedAssetIdentifiers_[position];
  selectedAssetIdentifiers_.erase(selectedAssetIdentifiers_.begin() + static_cast<std::ptrdiff_t>(position));
  for (size_t i = position; i < selectedAssetIdentifiers_.size(); ++i) positions_[selectedAssetIdentifiers_[i]] = i;
  positions_.erase(id);
  assets_.erase(id);
  internalSelectedAssetsCache_.reset();
}

void AKImagePickerController::removeSelectionWithAsset(const AKAssetPtr& asset) {
  if (!asset) return;
  auto it = positions_.find(asset->localIdentifier());
  if (it == positions_.end()) return;
  removeAt(it->second);
  if (selectedChanged_) selectedChanged_();
  if (UIDelegate_) UIDelegate_->imagePickerControllerDidDeselectAssets(*this, {asset});
}

void AKImagePickerController::deselectWithAsset(const AKAssetPtr& asset) {
  removeSelectionWithAsset(asset);
  if (asset) notifyObservers("imagePickerControllerDidDeselectWithAssets:", {asset});
}

void AKImagePickerController::clearSelection() {
  selectedAssetIdentifiers_.clear();
  assets_.clear();
  positions_.clear();
  internalSelectedAssetsCache_.reset();
}

void AKImagePickerController::deselectAll() {
  if (selectedAssetIdentifiers_.empty()) return;
  std::vector<AKAssetPtr> previous = selectedAssets();
  clearSelection();
  if (selectedChanged_) selectedChanged_();
  if (UIDelegate_) UIDelegate_->imagePickerControllerDidDeselectAssets(*this, previous);
  notifyObservers("imagePickerControllerDidDeselectWithAssets:", previous);
}

void AKImagePickerController::setSelectedAssetsWithAssets(const std::vector<AKAssetPtr>& list) {
  deselectAll();
  if (!list.empty()) selectWithAssets(list);
}

bool AKImagePickerController::containsWithAsset(const AKAssetPtr& asset) const {
  return asset && assets_.count(asset->localIdentifier()) > 0;
}

std::optional<int64_t> AKImagePickerController::indexOf(const AKAssetPtr& asset) const {
  if (!asset) return std::nullopt;
  auto it = positions_.find(asset->localIdentifier());
  if (it == positions_.end()) return std::nullopt;
  return static_cast<int64_t>(it->second);
}

const std::vector<AKAssetPtr>& AKImagePickerController::selectedAssets() {
  if (!internalSelectedAssetsCache_) {
    std::vector<AKAssetPtr> list;
    list.reserve(selectedAssetIdentifiers_.size());
    for (const auto& id : selectedAssetIdentifiers_) list.push_back(assets_.at(id));
    internalSelectedAssetsCache_ = std::move(list);
  }
  return *internalSelectedAssetsCache_;
}

void AKImagePickerController::handleSelectAll() {
  auto grid = gridAtRoot();
  std::optional<std::string> groupId = grid ? grid->selectedGroupId() : std::nullopt;
  if (groupId) {
    auto manager = groupDataManager();
    auto group = manager->fetchGroup(*groupId);
    if (!group) return;
    int64_t n = 0;
    if (auto result = group->fetchResult()) {
      n = result->count();
      auto display = group->displayCount();
      if (display && *display >= 1 && *display <= n) n = *display;
    }
    std::vector<AKAssetPtr> all;
    all.reserve(static_cast<size_t>(n));
    for (int64_t i = 0; i < n; ++i) {
      if (auto asset = manager->fetchAsset(group, i)) all.push_back(asset);
    }
    if (!all.empty()) selectWithAssets(all);
  }
  if (UIDelegate_) {
    if (auto button = UIDelegate_->doneButton()) UIDelegate_->updateDoneButtonTitle(*button);
  }
}

// --- What the camera and the editor hand back ---

void AKImagePickerController::saved(const AKAssetPtr& asset) {
  if (sourceType_ != AKImagePickerControllerSourceType::camera) dismissCamera();
  selectWithAsset(asset);
}

void AKImagePickerController::didFinishCapturingImage(const UIImagePtr& image,
                                                      const std::optional<ValueMap>& metadata) {
  std::weak_ptr<AKImagePickerController> weak = self();
  auto onSaved = [weak](const AKAssetPtr& asset) {
    if (auto picker = weak.lock()) picker->saved(asset);
  };
  auto& extensions = extensionController();
  if (extensions->isExtensionTypeAvailable(AKImageExtensionType::photoEditor)) {
    AKImageExtensionInfo info;
    info[kAKExtensionImage] = image;
    info[kAKExtensionDidFinishEditing] = AKImageExtensionEditBlock(
        [weak, onSaved](const UIImagePtr& edited, const std::optional<ValueMap>& editedMetadata) {
          if (auto picker = weak.lock()) picker->saveImage(edited, editedMetadata, onSaved);
        });
    if (metadata) info[kAKExtensionMetadata] = *metadata;
    extensions->performWithExtensionType(AKImageExtensionType::photoEditor, info);
    return;
  }
  saveImage(image, metadata, onSaved);
}

void AKImagePickerController::didFinishCapturingVideo(const NSURLPtr& url) {
  std::weak_ptr<AKImagePickerController> weak = self();
  createAsset([url] { return PHAssetChangeRequest::creationRequestForAssetFromVideoAtFileURL(url); },
              [weak](bool success, const std::string& identifier) {
                auto picker = weak.lock();
                if (!picker) return;
                if (!success) {
                  picker->dismissCamera();
                  return;
                }
                auto asset = fetchAsset(identifier);
                if (!asset) return;
                if (picker->sourceType_ != AKImagePickerControllerSourceType::camera ||
                    picker->viewControllers().empty()) {
                  picker->dismissCamera();
                }
                picker->selectWithAsset(AKAsset::initWithOriginalAsset(asset));
              });
}

void AKImagePickerController::saveImage(const UIImagePtr& image, const std::optional<ValueMap>& metadata,
                                        AssetCompletion completion) {
  if (!metadata) {
    saveImageToAlbum(image, std::move(completion));
    return;
  }
  auto jpeg = UIImageJPEGRepresentation(image, 1.0);
  if (!jpeg) {
    // Nothing to write the metadata into: the image is saved without it.
    saveImageToAlbum(image, std::move(completion));
    return;
  }
  auto rewritten = writeMetadata(*metadata, jpeg);
  saveImageDataToAlbum(rewritten ? rewritten : jpeg, std::move(completion), image);
}

void AKImagePickerController::saveImageToAlbum(const UIImagePtr& image, AssetCompletion completion) {
  createAsset([image] { return PHAssetChangeRequest::creationRequestForAssetFromImage(image); },
              [image, completion = std::move(completion)](bool success, const std::string& identifier) mutable {
                auto asset = success ? fetchAsset(identifier) : nullptr;
                if (completion) completion(asset ? AKAsset::initWithOriginalAsset(asset) : AKAsset::initWithImage(image));
              });
}

void AKImagePickerController::saveImageDataToAlbum(const NSDataPtr& data, AssetCompletion completion,
                                                   const UIImagePtr& fallback) {
  createAsset(
      [data]() -> PHAssetChangeRequestPtr {
        auto request = PHAssetCreationRequest::creationRequestForAsset();
        request->addResourceWithType(PHAssetResourceTypePhoto, data);
        return request;
      },
      [data, fallback, completion = std::move(completion)](bool success, const std::string& identifier) mutable {
        AKAssetPtr result;
        if (success) {
          if (auto asset = fetchAsset(identifier)) result = AKAsset::initWithOriginalAsset(asset);
        }
        if (!result) {
          // What the user took is never lost: the decoded data, else the
          // captured image itself.
          UIImagePtr image = data ? UIImage::imageWithData(data) : nullptr;
          if (!image) image = fallback;
          result = AKAsset::initWithImage(image ? image : std::make_shared<UIImage>());
        }
        if (completion) completion(result);
      });
}

NSDataPtr AKImagePickerController::writeMetadata(const ValueMap& metadata, const NSDataPtr& data) {
  if (!data) return nullptr;
  auto source = CGImageSourceCreateWithData(data);
  if (!source) return nullptr;
  std::string type = CGImageSourceGetType(source);
  if (type.empty()) return nullptr;
  auto buffer = std::make_shared<Bytes>();
  auto destination = CGImageDestinationCreateWithData(buffer, type, 1);
  if (!destination) return nullptr;
  // The picture stays as it was taken: a JPEG keeps its coded image byte for
  // byte and only its metadata is written anew, merged over its own.
  Value options(ValueMap{{Value(kCGImageDestinationMetadata), Value(metadata)},
                         {Value(kCGImageDestinationMergeMetadata), Value(true)}});
  if (!CGImageDestinationCopyImageSource(destination, source, options)) return nullptr;
  return NSData::dataWithBytes(std::move(*buffer));
}
