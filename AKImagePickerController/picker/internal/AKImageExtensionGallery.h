#pragma once
// The picker's preview: the assets of the album shown in the grid, full
// screen in the photo gallery, opening at the pressed asset and zooming from
// its cell. A select button on the gallery's bar selects or deselects the
// shown asset under the picker's rules; the back button closes the gallery,
// which zooms back into the cell of the asset then shown.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AKImagePickerController/data/AKAsset.h"
#include "AKImagePickerController/data/AKAssetGroup.h"
#include "AKImagePickerController/picker/internal/AKImageExtension.h"
#include "AKPhotoGallery/AKPhotoGallery.h"
#include "platform/uikit/UIBarButtonItem.h"
#include "platform/uikit/UIButton.h"

class AKAssetGroupDetailVC;

class AKImageExtensionGallery : public AKImageBaseExtension, public AKPhotoGalleryDelegate {
 public:
  explicit AKImageExtensionGallery(AKImageExtensionContextPtr context);

  static AKImageExtensionType extensionType() { return AKImageExtensionType::gallery; }

  // Reads "groupId", "presentationIndex" and "presentingFromImageView".
  void perform(const AKImageExtensionInfo& info) override;

  std::shared_ptr<AKPhotoGallery> gallery() const { return gallery_.lock(); }
  const AKAssetGroupPtr& group() const { return group_; }
  const std::shared_ptr<UIBarButtonItem>& backItem();
  // The album index each page of the last gallery showed when it was built.
  const std::vector<int64_t>& pageAlbumIndexes() const { return pageAlbumIndexes_; }

  void photoGalleryDidShow(AKPhotoGallery& gallery, int64_t index) override;
  void selectAssetFromGalleryWithButton(UIButton& button);
  void dismissGallery();
  void updateSelectButton();

  std::string className() const override { return "AKImageExtensionGallery"; }

 private:
  std::shared_ptr<AKPhotoGallery> buildGallery(const AKImageExtensionInfo& info,
                                               const AKAssetGroupPtr& group);
  std::shared_ptr<AKAssetGroupDetailVC> grid() const;
  // The picker's asset on the gallery's current page, found by its
  // identifier, when the album still has it.
  AKAssetPtr currentAsset() const;

  std::weak_ptr<AKPhotoGallery> gallery_;
  AKAssetGroupPtr group_;
  std::shared_ptr<UIBarButtonItem> backItem_;
  std::vector<int64_t> pageAlbumIndexes_;
  // The local identifier of each page's asset: what the page shows, wherever
  // the album has it after a change.
  std::vector<std::string> pageIdentifiers_;
};

// Registers the gallery extension as the default of its slot.
void registerAKImageExtensionGallery();
