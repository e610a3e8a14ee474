#pragma once
// The media asset picker: a navigation controller whose screens read its
// options, which keeps the ordered selection under its rules, tells its
// caller and its screens of every change, opens the camera, the photo
// editor and the gallery through its extensions, saves what the camera
// took into the photo library, and on confirmation exports the selection
// through the exporter before handing it to the caller.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "AKImagePickerController/data/AKAsset.h"
#include "AKImagePickerController/data/AKImageAssetExporter.h"
#include "AKImagePickerController/data/AKImageBaseManager.h"
#include "AKImagePickerController/data/AKImageGroupDataManager.h"
#include "AKImagePickerController/data/AKPermissionViewColors.h"
#include "platform/foundation/ObservableProperty.h"
#include "platform/foundation/OnceCallback.h"
#include "platform/uikit/NSIndexPath.h"
#include "platform/uikit/UINavigationController.h"

class AKImagePickerController;
class AKImagePickerControllerBaseUIDelegate;
class AKImageExtensionController;
class UICollectionView;
class UIImageView;

enum class AKImagePickerControllerAssetType : int64_t { allPhotos = 0, allVideos = 1, allAssets = 2 };
enum class AKImagePickerControllerSourceType : int64_t { camera = 0, albumsOnly = 1, cameraAndAlbums = 2 };
enum class AKImagePickerControllerExportStatus : int64_t { none = 0, exporting = 1 };

std::optional<AKImagePickerControllerAssetType> AKImagePickerControllerAssetTypeFromRawValue(int64_t raw);
std::optional<AKImagePickerControllerSourceType> AKImagePickerControllerSourceTypeFromRawValue(int64_t raw);
std::optional<AKImagePickerControllerExportStatus> AKImagePickerControllerExportStatusFromRawValue(int64_t raw);

// The root screen of the picker.
class AKImagePickerControllerAware {
 public:
  virtual ~AKImagePickerControllerAware() = default;
  virtual std::shared_ptr<AKImagePickerController> imagePickerController() const = 0;
  virtual void setImagePickerController(const std::shared_ptr<AKImagePickerController>& picker) = 0;
  virtual void reload() = 0;
};

// What the picker and its extensions ask of the asset grid, its usual root.
class AKAssetGroupDetailInterface : public AKImagePickerControllerAware {
 public:
  virtual std::optional<std::string> selectedGroupId() const = 0;
  virtual std::shared_ptr<UICollectionView> collectionView() const = 0;
  virtual void setThumbnailSize(CGSize size) = 0;
  virtual void scrollToLastTappedIndexPath(bool animated) = 0;
};

// Selection changes heard through the picker's proxyObserver hub, on the
// main thread. Each answers false when not implemented.
class AKImagePickerControllerObserver {
 public:
  virtual ~AKImagePickerControllerObserver() = default;
  virtual bool imagePickerControllerDidSelectWithAssets(const std::vector<AKAssetPtr>& assets) {
    (void)assets;
    return false;
  }
  virtual bool imagePickerControllerDidDeselectWithAssets(const std::vector<AKAssetPtr>& assets) {
    (void)assets;
    return false;
  }
};

class AKUINavigationController : public UINavigationController {
 public:
  explicit AKUINavigationController(std::shared_ptr<UIViewController> root = nullptr)
      : UINavigationController(std::move(root)) {}
  std::string className() const override { return "AKUINavigationController"; }
};

class AKImagePickerController : public AKUINavigationController,
                                public UIAdaptivePresentationControllerDelegate {
 public:
  using Callback = std::function<void()>;
  using AssetsCallback = std::function<void(const std::vector<AKAssetPtr>& assets)>;
  using ExportStatusCallback = std::function<void(AKImagePickerControllerExportStatus status)>;
  using AssetCompletion = OnceCallback<void(const AKAssetPtr& asset)>;

  static constexpr CGSize kDefaultPreferredContentSize{680, 600};

  AKImagePickerController();
  // The given manager (when there is one) takes the place of the lazily made one.
  static std::shared_ptr<AKImagePickerController> initWithGroupDataManager(
      const AKImageGroupDataManagerPtr& groupDataManager);
  ~AKImagePickerController() override;

  // Options.
  std::shared_ptr<AKImagePickerControllerBaseUIDelegate> UIDelegate() const { return UIDelegate_; }
  // The delegate learns of this picker first.
  void setUIDelegate(const std::shared_ptr<AKImagePickerControllerBaseUIDelegate>& delegate);
  bool singleSelect() const { return singleSelect_; }
  void setSingleSelect(bool on) { singleSelect_ = on; }
  bool autoCloseOnSingleSelect() const { return autoCloseOnSingleSelect_; }
  void setAutoCloseOnSingleSelect(bool on) { autoCloseOnSingleSelect_ = on; }
  int64_t maxSelectableCount() const { return maxSelectableCount_; }
  void setMaxSelectableCount(int64_t count) { maxSelectableCount_ = count; }
  bool containsGPSInMetadata() const { return containsGPSInMetadata_; }
  void setContainsGPSInMetadata(bool on) { containsGPSInMetadata_ = on; }
  std::optional<PHAssetCollectionSubtype> defaultAssetGroup() const { return defaultAssetGroup_; }
  void setDefaultAssetGroup(std::optional<PHAssetCollectionSubtype> subtype) { defaultAssetGroup_ = subtype; }
  bool allowSwipeToSelect() const { return allowSwipeToSelect_; }
  void setAllowSwipeToSelect(bool on) { allowSwipeToSelect_ = on; }
  bool allowSelectAll() const { return allowSelectAll_; }
  void setAllowSelectAll(bool on) { allowSelectAll_ = on; }
  bool isInline() const { return inline_; }
  void setInline(bool on) { inline_ = on; }
  AKImagePickerControllerAssetType assetType() const { return assetType_; }
  void setAssetType(AKImagePickerControllerAssetType type) { assetType_ = type; }
  AKImagePickerControllerSourceType sourceType() const { return sourceType_; }
  void setSourceType(AKImagePickerControllerSourceType type) { sourceType_ = type; }
  bool allowMultipleTypes() const { return allowMultipleTypes_; }
  void setAllowMultipleTypes(bool on) { allowMultipleTypes_ = on; }
  bool allowsLandscape() const { return allowsLandscape_; }
  void setAllowsLandscape(bool on) { allowsLandscape_ = on; }
  bool showsEmptyAlbums() const { return showsEmptyAlbums_; }
  void setShowsEmptyAlbums(bool on) { showsEmptyAlbums_ = on; }
  bool showsCancelButton() const { return showsCancelButton_; }
  void setShowsCancelButton(bool on) { showsCancelButton_ = on; }
  int64_t fetchLimit() const { return fetchLimit_; }
  void setFetchLimit(int64_t limit) { fetchLimit_ = limit; }
  const Callback& didCancel() const { return didCancel_; }
  void setDidCancel(Callback callback) { didCancel_ = std::move(callback); }
  const AssetsCallback& didSelectAssets() const { return didSelectAssets_; }
  void setDidSelectAssets(AssetsCallback callback) { didSelectAssets_ = std::move(callback); }
  const Callback& selectedChanged() const { return selectedChanged_; }
  void setSelectedChanged(Callback callback) { selectedChanged_ = std::move(callback); }
  const AKPermissionViewColorsPtr& permissionViewColors() const { return permissionViewColors_; }
  void setPermissionViewColors(AKPermissionViewColorsPtr colors) { permissionViewColors_ = std::move(colors); }
  bool exportsWhenCompleted() const { return exportsWhenCompleted_; }
  void setExportsWhenCompleted(bool on) { exportsWhenCompleted_ = on; }
  const AKImageAssetExporterPtr& exporter() const { return exporter_; }
  void setExporter(AKImageAssetExporterPtr exporter) { exporter_ = std::move(exporter); }
  CGSize thumbnailSize() const { return thumbnailSize_; }
  void setThumbnailSize(CGSize size) { thumbnailSize_ = size; }

  // Observable under "exportStatus"; assigning the current value announces nothing.
  AKImagePickerControllerExportStatus exportStatus() const { return exportStatus_.get(); }
  void setExportStatus(AKImagePickerControllerExportStatus status);
  const ExportStatusCallback& exportStatusChanged() const { return exportStatusChanged_; }
  void setExportStatusChanged(ExportStatusCallback callback) { exportStatusChanged_ = std::move(callback); }

  // Made on first read: fetch options filtering the asset type, the fetch limit.
  const AKImageGroupDataManagerPtr& groupDataManager();
  void setGroupDataManager(AKImageGroupDataManagerPtr manager);
  const std::shared_ptr<AKImageExtensionController>& extensionController();
  const AKImageBaseManagerPtr& proxyObserver() const { return proxyObserver_; }
  std::shared_ptr<AKImagePickerControllerAware> rootVC() const { return rootVC_.lock(); }
  int32_t exportRequestID() const { return exportRequestID_; }
  bool needShowInlineCamera() const { return needShowInlineCamera_; }

  // Screens.
  void viewWillAppear(bool animated) override;
  // The asset grid, made through the runtime by its name.
  virtual std::shared_ptr<UIViewController> makeRootVC();
  virtual void presentCamera();
  virtual void dismissCamera();
  // The user cancels.
  virtual void dismiss();
  // The user confirms.
  virtual void done();
  virtual void reloadWith(const AKImageGroupDataManagerPtr& manager);
  virtual void cancelCurrentExportRequest();
  virtual PHFetchOptionsPtr createAssetFetchOptions();
  virtual void showGallery(const std::string& groupId, std::optional<int64_t> presentationIndex,
                           const std::shared_ptr<UIImageView>& presentingFromImageView);
  virtual void scrollTo(const NSIndexPath& indexPath, bool animated);
  virtual void scrollToLastTappedIndexPathWithAnimated(bool animated);

  // Alerts and extension screens appear above whatever is shown; an inline
  // picker presents and dismisses through the key window's root.
  void presentViewController(const std::shared_ptr<UIViewController>& vc, bool animated,
                             OnceClosure completion = nullptr) override;
  void dismissViewControllerAnimated(bool animated, OnceClosure completion = nullptr) override;

  bool shouldAutorotate() const override;
  uint64_t supportedInterfaceOrientations() const override;
  bool presentationControllerShouldDismiss(UIPresentationController&) override { return false; }
  void presentationControllerDidDismiss(UIPresentationController&) override;
  bool shouldDismissViaUserAction() const { return false; }

  // Selection.
  const std::vector<std::string>& selectedAssetIdentifiers() const { return selectedAssetIdentifiers_; }
  const std::unordered_map<std::string, AKAssetPtr>& assets() const { return assets_; }
  virtual void selectWithAsset(const AKAssetPtr& asset);
  virtual void selectWithAssets(const std::vector<AKAssetPtr>& assets);
  virtual void handleSelectAll();
  virtual void deselectWithAsset(const AKAssetPtr& asset);
  virtual void removeSelectionWithAsset(const AKAssetPtr& asset);
  virtual void deselectAll();
  virtual void setSelectedAssetsWithAssets(const std::vector<AKAssetPtr>& assets);
  virtual std::optional<int64_t> indexOf(const AKAssetPtr& asset) const;
  virtual bool containsWithAsset(const AKAssetPtr& asset) const;
  virtual const std::vector<AKAssetPtr>& selectedAssets();
  virtual bool canSelectWithAsset(const AKAssetPtr& asset, bool showAlert);

  // Saving into the photo library; completions run on the main queue.
  virtual void saveImage(const UIImagePtr& image, const std::optional<ValueMap>& metadata,
                         AssetCompletion completion);
  virtual void saveImageToAlbum(const UIImagePtr& image, AssetCompletion completion);
  // `fallback` is what the asset shows when the saved data cannot be read back.
  virtual void saveImageDataToAlbum(const NSDataPtr& data, AssetCompletion completion,
                                    const UIImagePtr& fallback = nullptr);
  // The data with `metadata` as its image's properties; nullopt when it
  // cannot be rewritten. JPEG keeps its compressed image as it is.
  virtual NSDataPtr writeMetadata(const ValueMap& metadata, const NSDataPtr& data);

  // What the camera hands back.
  void didFinishCapturingImage(const UIImagePtr& image, const std::optional<ValueMap>& metadata);
  void didFinishCapturingVideo(const NSURLPtr& url);

  std::string className() const override { return "AKImagePickerController"; }

 private:
  std::shared_ptr<AKImagePickerController> self() {
    return std::static_pointer_cast<AKImagePickerController>(shared_from_this());
  }
  void setup();
  void runSetupOnce();
  void finish(const std::vector<AKAssetPtr>& assets);
  void exportSelection(const std::vector<AKAssetPtr>& assets);
  void deliverCancel();
  std::shared_ptr<AKAssetGroupDetailInterface> gridAtRoot();
  void showMixedTypesAlert();
  void notifyObservers(const char* selector, const std::vector<AKAssetPtr>& assets);
  void removeAt(size_t position);
  void clearSelection();
  void saved(const AKAssetPtr& asset);

  std::shared_ptr<AKImagePickerControllerBaseUIDelegate> UIDelegate_;
  bool singleSelect_ = false;
  bool autoCloseOnSingleSelect_ = true;
  int64_t maxSelectableCount_ = 0;
  bool containsGPSInMetadata_ = false;
  std::optional<PHAssetCollectionSubtype> defaultAssetGroup_;
  bool allowSwipeToSelect_ = false;
  bool allowSelectAll_ = false;
  bool inline_ = false;
  AKImagePickerControllerAssetType assetType_ = AKImagePickerControllerAssetType::allAssets;
  AKImagePickerControllerSourceType sourceType_ = AKImagePickerControllerSourceType::cameraAndAlbums;
  bool allowMultipleTypes_ = true;
  bool allowsLandscape_ = false;
  bool showsEmptyAlbums_ = true;
  bool showsCancelButton_ = false;
  int64_t fetchLimit_ = 0;
  Callback didCancel_;
  AssetsCallback didSelectAssets_;
  Callback selectedChanged_;
  AKPermissionViewColorsPtr permissionViewColors_ = AKPermissionViewColors::pickerDefaults();
  bool exportsWhenCompleted_ = false;
  AKImageAssetExporterPtr exporter_;
  CGSize thumbnailSize_{0, 0};
  ObservableProperty<AKImagePickerControllerExportStatus> exportStatus_{
      this, "exportStatus", AKImagePickerControllerExportStatus::none};
  ExportStatusCallback exportStatusChanged_;
  AKImageGroupDataManagerPtr groupDataManager_;
  // Identifiers in selection order; each one's asset and position.
  std::vector<std::string> selectedAssetIdentifiers_;
  std::unordered_map<std::string, AKAssetPtr> assets_;
  std::unordered_map<std::string, size_t> positions_;
  std::shared_ptr<AKImageExtensionController> extensionController_;
  const AKImageBaseManagerPtr proxyObserver_ = std::make_shared<AKImageBaseManager>();
  std::weak_ptr<AKImagePickerControllerAware> rootVC_;
  bool setupDone_ = false;
  bool needShowInlineCamera_ = true;
  int32_t exportRequestID_ = 0;
  std::optional<std::vector<AKAssetPtr>> internalSelectedAssetsCache_;
};
using AKImagePickerControllerPtr = std::shared_ptr<AKImagePickerController>;

// Registers the picker's observer selectors with the hub (once).
void AKRegisterPickerObserverSelectors();
