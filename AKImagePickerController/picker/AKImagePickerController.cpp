#include "AKImagePickerController/picker/AKImagePickerController.h"

#include <mutex>

#include "AKImagePickerController/picker/internal/AKImageExtension.h"
#include "AKImagePickerController/picker/internal/AKImagePickerControllerResource.h"
#include "AKImagePickerController/picker/AKImagePickerControllerUIDelegate.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/NSClassRegistry.h"
#include "platform/foundation/Value.h"
#include "platform/uikit/UIAlertController.h"
#include "platform/uikit/UICollectionView.h"
#include "platform/uikit/UIWindow.h"

namespace {

constexpr const char* kRootName = "AKImagePickerController.AKAssetGroupDetailVC";
constexpr const char* kDidSelect = "imagePickerControllerDidSelectWithAssets:";
constexpr const char* kDidDeselect = "imagePickerControllerDidDeselectWithAssets:";

std::vector<AKAssetPtr> assetsFrom(const Value& list) {
  std::vector<AKAssetPtr> assets;
  if (!list.isList()) return assets;
  for (auto& v : list.asList()) {
    if (auto asset = v.objectAs<AKAsset>()) assets.push_back(asset);
  }
  return assets;
}

NSPredicatePtr mediaTypePredicate(std::vector<PHAssetMediaType> types) {
  std::string format;
  for (auto type : types) {
    if (!format.empty()) format += " || ";
    format += "mediaType == " + std::to_string(static_cast<int64_t>(type));
  }
  return NSPredicate::predicateWithBlock(format, [types](const std::shared_ptr<NSObject>& object) {
    auto asset = std::dynamic_pointer_cast<PHAsset>(object);
    if (!asset) return false;
    for (auto type : types)
      if (asset->mediaType() == type) return true;
    return false;
  });
}

std::shared_ptr<UIViewController> keyWindowRoot() {
  auto window = UIWindow::keyWindow();
  return window ? window->rootViewController() : nullptr;
}

}  // namespace

void AKRegisterPickerObserverSelectors() {
  static std::once_flag once;
  std::call_once(once, [] {
    AKImageBaseManager::registerSelector(kDidSelect, [](NSObject& observer, const Value& one, const Value&) {
      auto* protocol = dynamic_cast<AKImagePickerControllerObserver*>(&observer);
      return protocol && protocol->imagePickerControllerDidSelectWithAssets(assetsFrom(one));
    });
    AKImageBaseManager::registerSelector(kDidDeselect, [](NSObject& observer, const Value& one, const Value&) {
      auto* protocol = dynamic_cast<AKImagePickerControllerObserver*>(&observer);
      return protocol && protocol->imagePickerControllerDidDeselectWithAssets(assetsFrom(one));
    });
  });
}

std::optional<AKImagePickerControllerAssetType> AKImagePickerControllerAssetTypeFromRawValue(int64_t raw) {
  if (raw < 0 || raw > 2) return std::nullopt;
  return static_cast<AKImagePickerControllerAssetType>(raw);
}
std::optional<AKImagePickerControllerSourceType> AKImagePickerControllerSourceTypeFromRawValue(int64_t raw) {
  if (raw < 0 || raw > 2) return std::nullopt;
  return static_cast<AKImagePickerControllerSourceType>(raw);
}
std::optional<AKImagePickerControllerExportStatus> AKImagePickerControllerExportStatusFromRawValue(int64_t raw) {
  if (raw < 0 || raw > 1) return std::nullopt;
  return static_cast<AKImagePickerControllerExportStatus>(raw);
}

// --- Life ---

AKImagePickerController::AKImagePickerController() { AKRegisterPickerObserverSelectors(); }

std::shared_ptr<AKImagePickerController> AKImagePickerController::initWithGroupDataManager(
    const AKImageGroupDataManagerPtr& groupDataManager) {
  auto picker = std::make_shared<AKImagePickerController>();
  if (groupDataManager) picker->groupDataManager_ = groupDataManager;
  return picker;
}

AKImagePickerController::~AKImagePickerController() {
  if (groupDataManager_) groupDataManager_->invalidate();
}

void AKImagePickerController::setUIDelegate(const std::shared_ptr<AKImagePickerControllerBaseUIDelegate>& delegate) {
  if (delegate) delegate->setImagePickerController(self());
  UIDelegate_ = delegate;
}

void AKImagePickerController::setExportStatus(AKImagePickerControllerExportStatus status) {
  if (status == exportStatus_.get()) return;
  exportStatus_.set(status);
  if (exportStatusChanged_) exportStatusChanged_(status);
}

const AKImageGroupDataManagerPtr& AKImagePickerController::groupDataManager() {
  if (!groupDataManager_) {
    AKImageGroupDataManagerConfiguration configuration;
    configuration.assetFetchOptions = createAssetFetchOptions();
    configuration.fetchLimit = fetchLimit_;
    groupDataManager_ = AKImageGroupDataManager::initWithConfiguration(configuration);
  }
  return groupDataManager_;
}

void AKImagePickerController::setGroupDataManager(AKImageGroupDataManagerPtr manager) {
  groupDataManager_ = std::move(manager);
}

const std::shared_ptr<AKImageExtensionController>& AKImagePickerController::extensionController() {
  if (!extensionController_) extensionController_ = std::make_shared<AKImageExtensionController>(self());
  return extensionController_;
}

PHFetchOptionsPtr AKImagePickerController::createAssetFetchOptions() {
  auto options = std::make_shared<PHFetchOptions>();
  switch (assetType_) {
    case AKImagePickerControllerAssetType::allPhotos:
      options->predicate = mediaTypePredicate({PHAssetMediaTypeImage});
      break;
    case AKImagePickerControllerAssetType::allVideos:
      options->predicate = mediaTypePredicate({PHAssetMediaTypeVideo});
      break;
    case AKImagePickerControllerAssetType::allAssets:
      options->predicate = mediaTypePredicate({PHAssetMediaTypeImage, PHAssetMediaTypeVideo});
      break;
  }
  return options;
}

// --- Setup and appearance ---

void AKImagePickerController::runSetupOnce() {
  if (setupDone_) return;
  setupDone_ = true;
  setup();
}

void AKImagePickerController::setup() {
  if (!UIDelegate_) setUIDelegate(std::make_shared<AKImagePickerControllerBaseUIDelegate>());
  if (exportsWhenCompleted_ && !exporter_) exporter_ = AKImageAssetExporter::sharedInstance();
  setNavigationBarHidden(inline_ || sourceType_ == AKImagePickerControllerSourceType::camera, false);
  std::shared_ptr<UIViewController> root;
  if (sourceType_ != AKImagePickerControllerSourceType::camera) {
    root = makeRootVC();
    if (auto aware = std::dynamic_pointer_cast<AKImagePickerControllerAware>(root)) {
      aware->setImagePickerController(self());
      rootVC_ = aware;
    }
    UIDelegate_->prepareLayout(*this, *root);
    if (showsCancelButton_) {
      UIDelegate_->imagePickerControllerShowsCancelButtonForVC(*this, *root);
    } else {
      UIDelegate_->imagePickerControllerHidesCancelButtonForVC(*this, *root);
    }
    setViewControllers({root}, false);
  }
  if (!selectedAssetIdentifiers_.empty()) UIDelegate_->imagePickerControllerDidSelectAssets(*this, selectedAssets());
  CGSize size = preferredContentSize();
  if (size.width == 0 && size.height == 0) setPreferredContentSize(kDefaultPreferredContentSize);
  if (root) root->navigationItem()->setHidesBackButton(true);
}

void AKImagePickerController::viewWillAppear(bool animated) {
  AKUINavigationController::viewWillAppear(animated);
  runSetupOnce();
  if (presentingViewController()) {
    auto controller = presentationController();
    if (controller && !controller->delegate()) {
      controller->setDelegate(std::static_pointer_cast<UIAdaptivePresentationControllerDelegate>(self()));
    }
  }
  if (needShowInlineCamera_ && sourceType_ == AKImagePickerControllerSourceType::camera) {
    needShowInlineCamera_ = false;
    presentCamera();
  }
}

std::shared_ptr<UIViewController> AKImagePickerController::makeRootVC() {
  auto root = std::dynamic_pointer_cast<UIViewController>(NSClassRegistry::createInstance(kRootName));
  if (!root) FatalStop(std::string("unable to make the asset grid: no class named ") + kRootName);
  if (auto grid = std::dynamic_pointer_cast<AKAssetGroupDetailInterface>(root)) grid->setThumbnailSize(thumbnailSize_);
  return root;
}

// --- Camera and extensions ---

void AKImagePickerController::presentCamera() {
  auto type = sourceType_ == AKImagePickerControllerSourceType::camera ? AKImageExtensionType::inlineCamera
                                                                        : AKImageExtensionType::camera;
  std::weak_ptr<AKImagePickerController> weak = self();
  AKImageExtensionInfo info;
  info[kAKExtensionDidFinishCapturingImage] = AKImageExtensionCaptureImageBlock(
      [weak](const UIImagePtr& image, const std::optional<ValueMap>& metadata) {
        if (auto picker = weak.lock()) picker->didFinishCapturingImage(image, metadata);
      });
  info[kAKExtensionDidFinishCapturingVideo] = AKImageExtensionCaptureVideoBlock([weak](const NSURLPtr& url) {
    if (auto picker = weak.lock()) picker->didFinishCapturingVideo(url);
  });
  info[kAKExtensionDidCancel] = AKImageExtensionCancelBlock([weak] {
    auto picker = weak.lock();
    if (!picker) return;
    picker->dismissCamera();
    if (picker->sourceType_ == AKImagePickerControllerSourceType::camera) picker->dismiss();
  });
  info[kAKExtensionContainsGPSInMetadata] = containsGPSInMetadata_;
  extensionController()->performWithExtensionType(type, info);
}

void AKImagePickerController::dismissCamera() {
  auto type = sourceType_ == AKImagePickerControllerSourceType::camera ? AKImageExtensionType::inlineCamera
                                                                        : AKImageExtensionType::camera;
  extensionController()->finishWithExtensionType(type);
}

void AKImagePickerController::showGallery(const std::string& groupId, std::optional<int64_t> presentationIndex,
                                          const std::shared_ptr<UIImageView>& presentingFromImageView) {
  AKImageExtensionInfo info;
  info[kAKExtensionGroupId] = groupId;
  if (presentationIndex) info[kAKExtensionPresentationIndex] = *presentationIndex;
  if (presentingFromImageView) info[kAKExtensionPresentingFromImageView] = presentingFromImageView;
  extensionController()->performWithExtensionType(AKImageExtensionType::gallery, info);
}

// --- Presenting and dismissing ---

void AKImagePickerController::presentViewController(const std::shared_ptr<UIViewController>& vc, bool animated,
                                                    OnceClosure completion) {
  std::shared_ptr<UIViewController> start = inline_ ? keyWindowRoot() : self();
  if (!start) start = self();
  auto top = UIViewController::topmostPresented(start);
  if (top.get() == this) {
    AKUINavigationController::presentViewController(vc, animated, std::move(completion));
  } else {
    top->presentViewController(vc, animated, std::move(completion));
  }
}

void AKImagePickerController::dismissViewControllerAnimated(bool, OnceClosure completion) {
  if (inline_) {
    if (auto root = keyWindowRoot()) {
      root->dismissViewControllerAnimated(true, std::move(completion));
      return;
    }
  }
  AKUINavigationController::dismissViewControllerAnimated(true, std::move(completion));
}

void AKImagePickerController::dismiss() {
  cancelCurrentExportRequest();
  // An embedded picker stays where its host put it: its export ends and
  // nobody is told of a cancel; the host that asked knows.
  if (auto presenting = presentingViewController()) {
    auto self = this->self();  // kept until the caller has heard
    presenting->dismissViewControllerAnimated(true, [self] { self->deliverCancel(); });
  }
}

void AKImagePickerController::deliverCancel() {
  if (didCancel_) didCancel_();
  if (sourceType_ == AKImagePickerControllerSourceType::camera) needShowInlineCamera_ = true;
}

void AKImagePickerController::done() {
  cancelCurrentExportRequest();
  // What the user confirmed is what is exported and handed over: an asset
  // the library loses while the picker goes away stays in it, and its
  // export fails for the caller to hear, rather than vanishing unseen.
  std::vector<AKAssetPtr> confirmed = selectedAssets();
  if (inline_) {
    exportSelection(confirmed);
    return;
  }
  if (auto presenting = presentingViewController()) {
    auto self = this->self();  // kept until the selection is delivered
    presenting->dismissViewControllerAnimated(
        true, [self, confirmed = std::move(confirmed)] { self->exportSelection(confirmed); });
  }
}

void AKImagePickerController::finish(const std::vector<AKAssetPtr>& assets) {
  setExportStatus(AKImagePickerControllerExportStatus::none);
  if (didSelectAssets_) didSelectAssets_(assets);
  if (sourceType_ == AKImagePickerControllerSourceType::camera) needShowInlineCamera_ = true;
}

void AKImagePickerController::exportSelection(const std::vector<AKAssetPtr>& assets) {
  // Nothing to write: the caller hears at once, the exporter never starts.
  if (!exporter_ || assets.empty()) {
    finish(assets);
    return;
  }
  auto self = this->self();  // the completion keeps the picker until it is delivered
  auto answered = std::make_shared<bool>(false);
  int32_t requestID = exporter_->exportAssetsAsynchronously(assets, [self, assets, answered](const Value& info) {
    *answered = true;
    const Value* id = info.find(AKImageAssetExportResultRequestIDKey);
    const Value* cancelled = info.find(AKImageAssetExportResultCancelledKey);
    int32_t requestID = id && id->isInteger() ? static_cast<int32_t>(id->asInt64()) : 0;
    if (requestID != self->exportRequestID_) return;
    self->exportRequestID_ = 0;
    if (cancelled && cancelled->isBool() && cancelled->asBool()) {
      // Cancelled by someone else: the caller never gets a half-written selection.
      self->setExportStatus(AKImagePickerControllerExportStatus::none);
      self->deliverCancel();
      return;
    }
    self->finish(assets);
  });
  if (*answered) return;
  exportRequestID_ = requestID;
  setExportStatus(AKImagePickerControllerExportStatus::exporting);
}

void AKImagePickerController::cancelCurrentExportRequest() {
  if (exportRequestID_ == 0) return;
  int32_t requestID = exportRequestID_;
  // Forgotten first, so the cancelled request's completion is stale.
  exportRequestID_ = 0;
  if (exporter_) exporter_->cancel(requestID);
  setExportStatus(AKImagePickerControllerExportStatus::none);
}

void AKImagePickerController::reloadWith(const AKImageGroupDataManagerPtr& manager) {
  groupDataManager_ = manager;
  if (auto root = rootVC()) root->reload();
}

std::shared_ptr<AKAssetGroupDetailInterface> AKImagePickerController::gridAtRoot() {
  auto controllers = viewControllers();
  if (controllers.empty()) return nullptr;
  return std::dynamic_pointer_cast<AKAssetGroupDetailInterface>(controllers.front());
}

void AKImagePickerController::scrollTo(const NSIndexPath& indexPath, bool animated) {
  auto grid = gridAtRoot();
  auto collectionView = grid ? grid->collectionView() : nullptr;
  if (!collectionView) return;
  // An item the grid does not have has no frame to scroll to.
  if (indexPath.section < 0 || indexPath.section >= collectionView->numberOfSections() || indexPath.item < 0 ||
      indexPath.item >= collectionView->numberOfItemsInSection(indexPath.section)) {
    return;
  }
  auto attributes = collectionView->layoutAttributesForItemAtIndexPath(indexPath);
  if (!attributes) return;
  collectionView->scrollRectToVisible(attributes->frame, animated);
}

void AKImagePickerController::scrollToLastTappedIndexPathWithAnimated(bool animated) {
  if (auto grid = gridAtRoot()) grid->scrollToLastTappedIndexPath(animated);
}

bool AKImagePickerController::shouldAutorotate() const {
  return allowsLandscape_ && sourceType_ != AKImagePickerControllerSourceType::camera;
}

uint64_t AKImagePickerController::supportedInterfaceOrientations() const {
  if (!allowsLandscape_) return UIInterfaceOrientationMaskPortrait;
  return AKUINavigationController::supportedInterfaceOrientations();
}

void AKImagePickerController::presentationControllerDidDismiss(UIPresentationController&) {
  if (sourceType_ == AKImagePickerControllerSourceType::camera) dismissCamera();
  dismiss();
}
