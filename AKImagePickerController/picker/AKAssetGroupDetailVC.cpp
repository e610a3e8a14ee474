#include "AKImagePickerController/picker/AKAssetGroupDetailVC.h"

#include <algorithm>
#include <cmath>

#include "AKImagePickerController/data/AKImageDataManager.h"
#include "AKImagePickerController/picker/internal/AKImageExtensionGallery.h"
#include "AKImagePickerController/picker/internal/AKPermissionView.h"
#include "AKImagePickerController/picker/internal/AKPopoverViewController.h"
#include "platform/foundation/Dispatch.h"
#include "platform/foundation/Fatal.h"
#include "platform/foundation/NSClassRegistry.h"
#include "platform/foundation/NSRunLoop.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/photos/PHPhotoLibrary.h"
#include "platform/uikit/UIDevice.h"
#include "platform/uikit/UIImagePickerController.h"
#include "platform/uikit/UINavigationBar.h"
#include "platform/uikit/UIScreen.h"

namespace {

constexpr int64_t kSection = 0;

NSIndexPath Item(int64_t item) { return NSIndexPath::indexPathForItem(item, kSection); }

PHCachingImageManagerPtr CachingManager() { return getImageDataManager()->manager(); }

}  // namespace

// --- Layout ---

void AKAssetGroupGridLayout::prepareLayout() {
  // The setters invalidate the layout: set only what changes, or the
  // collection view would lay out again after every pass.
  if (minimumInteritemSpacing() != 1) setMinimumInteritemSpacing(1);
  if (minimumLineSpacing() != 1) setMinimumLineSpacing(1);
  auto* view = collectionView();
  double width = view ? view->bounds().size.width : 0;
  bool pad = UIDevice::currentDevice()->userInterfaceIdiom() == UIUserInterfaceIdiomPad;
  double unit = pad ? 120 : 100;
  // A grid narrower than one unit still shows one column, as wide as itself.
  double columns = std::max(1.0, std::floor(width / unit));
  double side = std::max(0.0, (width - (columns - 1)) / columns);
  if (!CGSizeEqualToSize(itemSize(), CGSizeMake(side, side))) setItemSize(CGSizeMake(side, side));
  UICollectionViewFlowLayout::prepareLayout();
}

// --- Grid ---

AKAssetGroupDetailVC::~AKAssetGroupDetailVC() {
  if (autoScrollingLink_) autoScrollingLink_->invalidate();
}

void AKAssetGroupDetailVC::viewDidLoad() {
  UIViewController::viewDidLoad();
  auto picker = imagePickerController();
  if (!picker) return;
  auto delegate = picker->UIDelegate();
  if (!delegate) FatalStop("the picker's grid needs a UI delegate");
  picker->proxyObserver()->add(strongSelf());

  auto layoutClass = delegate->layoutForImagePickerController(*picker);
  auto layout = layoutClass ? layoutClass() : nullptr;
  if (!layout) layout = std::make_shared<AKAssetGroupGridLayout>();
  collectionView_ = std::make_shared<UICollectionView>(CGRectZero, layout);
  collectionView_->setBackgroundColor(delegate->imagePickerControllerCollectionViewBackgroundColor());
  collectionView_->setAllowsMultipleSelection(true);
  collectionView_->setDataSource(strongSelf());
  collectionView_->setDelegate(strongSelf());
  view()->addSubview(collectionView_);

  footerView_ = delegate->imagePickerControllerFooterView(*picker);
  if (footerView_) view()->addSubview(footerView_);
  headerView_ = delegate->imagePickerControllerHeaderView(*picker);
  if (headerView_) view()->addSubview(headerView_);

  hidesCamera_ = picker->sourceType() == AKImagePickerControllerSourceType::albumsOnly;
  checkPhotoPermission();
  if (picker->allowSwipeToSelect() && !picker->singleSelect()) installSwipeGestureRecognizer();
}

void AKAssetGroupDetailVC::checkPhotoPermission() {
  switch (PHPhotoLibrary::authorizationStatus()) {
    case PHAuthorizationStatusAuthorized:
      reload();
      break;
    case PHAuthorizationStatusNotDetermined:
      // The library answers on its own queue; the grid acts on the main one.
      PHPhotoLibrary::requestAuthorization([weak = weakSelf()](PHAuthorizationStatus status) {
        dispatch_async(dispatch_get_main_queue(), [weak, status] {
          auto grid = weak.lock();
          if (!grid) return;
          if (status == PHAuthorizationStatusAuthorized) {
            grid->reload();
          } else {
            grid->showPermissionView();
          }
        });
      });
      break;
    default:
      showPermissionView();
      break;
  }
}

void AKAssetGroupDetailVC::showPermissionView() {
  auto picker = imagePickerController();
  if (!picker) return;
  auto colors = picker->permissionViewColors();
  permissionView_ = AKPermissionView::permissionView(AKPermissionView::kPhotoStyle, colors);
  view()->addSubview(permissionView_);
  if (colors) view()->setBackgroundColor(colors->backgroundColor);
  if (collectionView_) collectionView_->setHidden(true);
}

void AKAssetGroupDetailVC::resetPreheating() {
  CachingManager()->stopCachingImagesForAllAssets();
  previousPreheatRect_ = CGRectZero;
}

void AKAssetGroupDetailVC::reload() {
  auto picker = imagePickerController();
  if (!picker) return;
  if (isThumbnailCachingEnabled()) resetPreheating();
  picker->groupDataManager()->add(strongSelf());
  auto weak = weakSelf();
  groupListVC_ = std::make_shared<AKAssetGroupListVC>(
      picker, picker->defaultAssetGroup(), [weak](const std::optional<std::string>& groupId) {
        if (auto grid = weak.lock()) grid->selectAssetGroup(groupId);
      });
  groupListVC_->setShowsEmptyAlbums(picker->showsEmptyAlbums());
  groupListVC_->loadGroups();
  if (collectionView_) collectionView_->reloadData();
}

void AKAssetGroupDetailVC::selectAssetGroup(const std::optional<std::string>& groupId) {
  if (groupId != selectedGroupId_) {
    selectedGroupId_ = groupId;
    updateTitleView();
    if (collectionView_) collectionView_->reloadData();
  } else {
    updateTitleView();
  }
}

AKAssetGroupPtr AKAssetGroupDetailVC::shownGroup() const {
  auto picker = imagePickerController();
  if (!picker || !selectedGroupId_) return nullptr;
  return picker->groupDataManager()->fetchGroup(*selectedGroupId_);
}

void AKAssetGroupDetailVC::updateTitleView() {
  auto picker = imagePickerController();
  auto group = shownGroup();
  if (!picker || !group) return;
  setTitle(group->groupName().value_or(""));
  auto delegate = picker->UIDelegate();
  if (!delegate) return;
  auto button = delegate->imagePickerControllerSelectGroupButton(*picker, group);
  if (!button) return;
  if (button != selectGroupButton_) {
    button->addTarget(strongSelf(),
                      WeakBind(weakSelf(), [](AKAssetGroupDetailVC& grid, UIControl&, UIEvent*) {
                        grid.showGroupSelector();
                      }),
                      UIControlEventTouchUpInside);
  }
  selectGroupButton_ = button;
  navigationItem()->setTitleView(button);
}

void AKAssetGroupDetailVC::showGroupSelector() {
  auto picker = imagePickerController();
  if (!groupListVC_ || !picker || !picker->UIDelegate()) return;
  switch (picker->UIDelegate()->imagePickerControllerGroupListPresentationStyle()) {
    case AKImagePickerGroupListPresentationStyle::presented: {
      auto navigation = std::make_shared<AKUINavigationController>();
      navigation->setViewControllers({groupListVC_}, false);
      presentViewController(navigation, true);
      break;
    }
    case AKImagePickerGroupListPresentationStyle::popover:
      AKPopoverViewController::popoverViewController(groupListVC_, selectGroupButton_,
                                                     UIColor::systemGray6Color());
      break;
    default:
      FatalStop("unknown album list presentation style");
  }
}

int64_t AKAssetGroupDetailVC::collectionViewNumberOfItemsInSection(UICollectionView&, int64_t) {
  int64_t camera = hidesCamera_ ? 0 : 1;
  if (!selectedGroupId_) return camera;
  auto group = shownGroup();
  if (!group) return 0;
  return group->totalCount() + camera;
}

AKAssetPtr AKAssetGroupDetailVC::fetchAsset(const NSIndexPath& indexPath) {
  if (!selectedGroupId_) return nullptr;
  if (indexPath.item == 0 && !hidesCamera_) return nullptr;
  auto picker = imagePickerController();
  auto group = shownGroup();
  if (!picker || !group) return nullptr;
  int64_t index = hidesCamera_ ? indexPath.item : indexPath.item - 1;
  return picker->groupDataManager()->fetchAsset(group, index);
}

void AKAssetGroupDetailVC::registerCellIfNeeded(const AKAssetGroupDetailCellClass& cellClass) {
  if (!collectionView_ || !cellClass.make) return;
  if (!registeredCellIdentifiers_.insert(cellClass.reuseIdentifier).second) return;
  collectionView_->registerClassForCellWithReuseIdentifier(cellClass.make, cellClass.reuseIdentifier);
}

std::shared_ptr<UICollectionViewCell> AKAssetGroupDetailVC::collectionViewCellForItemAtIndexPath(
    UICollectionView&, const NSIndexPath& indexPath) {
  auto cell = (indexPath.item == 0 && !hidesCamera_) ? dequeueCameraCell(indexPath)
                                                    : dequeueAssetCell(indexPath);
  if (auto base = std::dynamic_pointer_cast<AKAssetGroupDetailBaseCell>(cell)) {
    if (!base->imagePickerController()) base->setImagePickerController(imagePickerController());
  }
  return cell;
}

std::shared_ptr<UICollectionViewCell> AKAssetGroupDetailVC::dequeueAssetCell(
    const NSIndexPath& indexPath) {
  auto picker = imagePickerController();
  auto asset = fetchAsset(indexPath);
  auto delegate = picker ? picker->UIDelegate() : nullptr;
  if (!picker || !asset || !collectionView_ || !delegate) {
    return std::make_shared<AKAssetGroupDetailBaseCell>();
  }
  auto cellClass = asset->type() == AKAssetType::video
                       ? delegate->imagePickerControllerCollectionVideoCell()
                       : delegate->imagePickerControllerCollectionImageCell();
  registerCellIfNeeded(cellClass);
  auto cell = collectionView_->dequeueReusableCellWithReuseIdentifier(cellClass.reuseIdentifier,
                                                                     indexPath);
  auto base = std::dynamic_pointer_cast<AKAssetGroupDetailBaseCell>(cell);
  if (!base) return std::make_shared<AKAssetGroupDetailBaseCell>();
  setupAssetCell(*base, indexPath, asset);
  return cell;
}

std::shared_ptr<UICollectionViewCell> AKAssetGroupDetailVC::dequeueCameraCell(
    const NSIndexPath& indexPath) {
  auto picker = imagePickerController();
  auto delegate = picker ? picker->UIDelegate() : nullptr;
  if (!picker || !collectionView_ || !delegate) return std::make_shared<AKAssetGroupDetailBaseCell>();
  auto cellClass = delegate->imagePickerControllerCollectionCameraCell();
  registerCellIfNeeded(cellClass);
  auto cell = collectionView_->dequeueReusableCellWithReuseIdentifier(cellClass.reuseIdentifier,
                                                                     indexPath);
  if (!std::dynamic_pointer_cast<AKAssetGroupDetailBaseCell>(cell)) {
    return std::make_shared<AKAssetGroupDetailBaseCell>();
  }
  return cell;
}

void AKAssetGroupDetailVC::setupAssetCell(AKAssetGroupDetailBaseCell& cell,
                                          const NSIndexPath& indexPath, const AKAssetPtr& asset) {
  cell.setAsset(asset);
  int64_t tag = indexPath.item + 1;
  cell.setTag(tag);
  if (thumbnailSize_.width == 0 && thumbnailSize_.height == 0 && collectionView_) {
    if (auto attributes = collectionView_->collectionViewLayout()->layoutAttributesForItemAtIndexPath(indexPath)) {
      double scale = UIScreen::mainScreen()->scale();
      thumbnailSize_ = CGSizeMake(attributes->frame.size.width * scale,
                                  attributes->frame.size.height * scale);
    }
  }
  cell.setThumbnailImage(nullptr);
  auto weakCell = std::weak_ptr<AKAssetGroupDetailBaseCell>(
      std::static_pointer_cast<AKAssetGroupDetailBaseCell>(cell.shared_from_this()));
  asset->fetchImage(thumbnailSize_, nullptr, PHImageContentModeAspectFill,
                    AKOnMainThread([weakCell, tag](const UIImagePtr& image) {
                      auto strong = weakCell.lock();
                      // A late image for a cell now showing another item is dropped.
                      if (strong && strong->tag() == tag) strong->setThumbnailImage(image);
                    }));

  auto picker = imagePickerController();
  auto delegate = picker ? picker->UIDelegate() : nullptr;
  if (delegate && delegate->imagePickerControllerAllowsLongPressPreview()) {
    auto weakGrid = weakSelf();
    cell.setLongPressBlock([weakGrid, weakCell] {
      auto grid = weakGrid.lock();
      auto strong = weakCell.lock();
      if (!grid || !strong) return;
      auto picker = grid->imagePickerController();
      if (!picker || !grid->selectedGroupId_) return;
      int64_t index = strong->tag() - 1 - (grid->hidesCamera_ ? 0 : 1);
      picker->showGallery(*grid->selectedGroupId_, index, strong->thumbnailImageView());
    });
  } else {
    cell.setLongPressBlock(nullptr);
  }
}

void AKAssetGroupDetailVC::collectionViewWillDisplayCell(UICollectionView& view,
                                                         UICollectionViewCell& cell,
                                                         const NSIndexPath& indexPath) {
  auto* base = dynamic_cast<AKAssetGroupDetailBaseCell*>(&cell);
  auto picker = imagePickerController();
  if (!base || !picker) return;
  auto asset = base->asset();
  if (!asset) return;  // the camera cell
  if (auto index = picker->indexOf(asset)) {
    base->setSelected(true);
    base->setSelectedIndex(*index);
    view.selectItemAtIndexPath(indexPath, false, UICollectionViewScrollPositionNone);
  } else {
    base->setSelected(false);
    view.deselectItemAtIndexPath(indexPath, false);
  }
}

void AKAssetGroupDetailVC::collectionViewDidEndDisplayingCell(UICollectionView&,
                                                              UICollectionViewCell& cell,
                                                              const NSIndexPath&) {
  if (auto* base = dynamic_cast<AKAssetGroupDetailBaseCell*>(&cell)) {
    if (auto asset = base->asset()) asset->cancelRequests();
  }
}

AKAssetPtr AKAssetGroupDetailVC::visibleAsset(int64_t item) const {
  // A swipe that began before photos were deleted still spans their rows.
  if (!hasItem(Item(item))) return nullptr;
  auto cell = std::dynamic_pointer_cast<AKAssetGroupDetailBaseCell>(
      collectionView_->cellForItemAtIndexPath(Item(item)));
  return cell ? cell->asset() : nullptr;
}

bool AKAssetGroupDetailVC::collectionViewShouldSelectItemAtIndexPath(UICollectionView& view,
                                                                     const NSIndexPath& indexPath) {
  auto picker = imagePickerController();
  if (!picker) return false;
  auto cell = std::dynamic_pointer_cast<AKAssetGroupDetailBaseCell>(view.cellForItemAtIndexPath(indexPath));
  auto asset = cell ? cell->asset() : nullptr;
  if (!asset) return true;
  return picker->canSelectWithAsset(asset, true);
}

void AKAssetGroupDetailVC::collectionViewDidSelectItemAtIndexPath(UICollectionView& view,
                                                                  const NSIndexPath& indexPath) {
  if (indexPath.item == 0 && !hidesCamera_) {
    view.deselectItemAtIndexPath(indexPath, false);
    if (UIImagePickerController::isSourceTypeAvailable(UIImagePickerControllerSourceType::Camera)) {
      if (auto picker = imagePickerController()) picker->presentCamera();
    }
    return;
  }
  selectAsset(indexPath);
}

void AKAssetGroupDetailVC::collectionViewDidDeselectItemAtIndexPath(UICollectionView&,
                                                                    const NSIndexPath& indexPath) {
  deselectAsset(indexPath);
}

void AKAssetGroupDetailVC::selectAsset(const NSIndexPath& indexPath) {
  lastIndexPath_ = indexPath;
  auto picker = imagePickerController();
  auto asset = visibleAsset(indexPath.item);
  if (!picker || !asset || picker->containsWithAsset(asset)) return;
  picker->selectWithAsset(asset);
  updateTitleView();
}

void AKAssetGroupDetailVC::deselectAsset(const NSIndexPath& indexPath) {
  lastIndexPath_ = indexPath;
  auto picker = imagePickerController();
  auto asset = visibleAsset(indexPath.item);
  if (!picker || !asset) return;
  picker->deselectWithAsset(asset);
  updateTitleView();
}

bool AKAssetGroupDetailVC::imagePickerControllerDidSelectWithAssets(
    const std::vector<AKAssetPtr>& assets) {
  auto picker = imagePickerController();
  if (!picker || !collectionView_) return true;
  if (assets.size() >= 2) {
    collectionView_->reloadData();
    return true;
  }
  AKAssetPtr wanted = assets.empty() ? nullptr : assets.front();
  auto paths = collectionView_->indexPathsForVisibleItems();
  std::sort(paths.begin(), paths.end());
  for (const auto& path : paths) {
    auto cell = std::dynamic_pointer_cast<AKAssetGroupDetailBaseCell>(
        collectionView_->cellForItemAtIndexPath(path));
    if (!cell) continue;
    auto shown = cell->asset();
    bool same = wanted ? (shown && shown->isEqual(*wanted)) : !shown;
    if (!same) continue;
    cell->setSelectedIndex(int64_t(picker->selectedAssetIdentifiers().size()) - 1);
    if (!cell->isSelected()) {
      collectionView_->selectItemAtIndexPath(path, true, UICollectionViewScrollPositionNone);
    }
    break;
  }
  return true;
}

bool AKAssetGroupDetailVC::imagePickerControllerDidDeselectWithAssets(const std::vector<AKAssetPtr>&) {
  auto picker = imagePickerController();
  if (!picker || !collectionView_) return true;
  for (const auto& path : collectionView_->indexPathsForSelectedItems()) {
    auto cell = std::dynamic_pointer_cast<AKAssetGroupDetailBaseCell>(
        collectionView_->cellForItemAtIndexPath(path));
    auto asset = cell ? cell->asset() : nullptr;
    if (!asset) continue;
    if (auto index = picker->indexOf(asset)) {
      cell->setSelectedIndex(*index);
    } else {
      collectionView_->deselectItemAtIndexPath(path, true);
    }
  }
  return true;
}

bool AKAssetGroupDetailVC::groupDidUpdate(const std::string& groupId) {
  if (selectedGroupId_ == groupId) updateTitleView();
  return true;
}

bool AKAssetGroupDetailVC::groupDidRemoveAssets(const std::string&,
                                                const std::vector<AKAssetPtr>& assets) {
  auto picker = imagePickerController();
  if (!picker) return true;
  for (const auto& asset : assets) {
    if (asset && picker->containsWithAsset(asset)) picker->removeSelectionWithAsset(asset);
  }
  return true;
}

bool AKAssetGroupDetailVC::groupDidUpdateComplete(const std::string& groupId) {
  if (selectedGroupId_ != groupId) return true;
  resetPreheating();
  if (collectionView_) collectionView_->reloadData();
  return true;
}

bool AKAssetGroupDetailVC::hasItem(const NSIndexPath& indexPath) const {
  return collectionView_ && indexPath.section == kSection && indexPath.item >= 0 &&
         collectionView_->numberOfSections() > kSection &&
         indexPath.item < collectionView_->numberOfItemsInSection(kSection);
}

std::shared_ptr<UIImageView> AKAssetGroupDetailVC::thumbnailImageView(const NSIndexPath& indexPath) {
  // Photos deleted while the gallery was open leave it asking for rows the
  // album no longer has: those have no view.
  if (!hasItem(indexPath)) return nullptr;
  auto cell = std::dynamic_pointer_cast<AKAssetGroupDetailBaseCell>(
      collectionView_->cellForItemAtIndexPath(indexPath));
  if (!cell) {
    collectionView_->reloadItemsAtIndexPaths({indexPath});
    collectionView_->layoutIfNeeded();
    cell = std::dynamic_pointer_cast<AKAssetGroupDetailBaseCell>(
        collectionView_->cellForItemAtIndexPath(indexPath));
  }
  return cell ? cell->thumbnailImageView() : nullptr;
}

void AKAssetGroupDetailVC::scroll(const NSIndexPath& indexPath, bool animated) {
  // The last tapped row may have gone with the photos since deleted.
  if (!hasItem(indexPath)) return;
  if (auto attributes = collectionView_->layoutAttributesForItemAtIndexPath(indexPath)) {
    collectionView_->scrollRectToVisible(attributes->frame, animated);
  }
}

void AKAssetGroupDetailVC::scrollToLastTappedIndexPath(bool animated) {
  if (lastIndexPath_) scroll(*lastIndexPath_, animated);
}

// --- Layout of the screen ---

void AKAssetGroupDetailVC::viewWillLayoutSubviews() {
  UIViewController::viewWillLayoutSubviews();
  CGSize size = view()->bounds().size;
  if (!currentViewSize_ || !CGSizeEqualToSize(*currentViewSize_, size)) {
    currentViewSize_ = size;
    if (collectionView_) collectionView_->collectionViewLayout()->invalidateLayout();
  }
  layoutCollectionView();
}

void AKAssetGroupDetailVC::layoutCollectionView() {
  CGRect v = view()->bounds();
  double top = view()->safeAreaInsets().top;
  double footerHeight = footerView_ ? footerView_->frame().size.height : 0;
  double headerHeight = headerView_ ? headerView_->frame().size.height : 0;
  if (footerView_) {
    footerView_->setFrame(CGRectMake(0, v.size.height - footerHeight, v.size.width, footerHeight));
  }
  if (headerView_) headerView_->setFrame(CGRectMake(0, top, v.size.width, headerHeight));
  if (collectionView_) {
    collectionView_->setFrame(CGRectMake(0, top + headerHeight, v.size.width,
                                         v.size.height - footerHeight - headerHeight - top));
  }
  if (permissionView_) permissionView_->layoutInSuperview();
}

// --- Thumbnail preheating ---

void AKAssetGroupDetailVC::viewDidAppear(bool animated) {
  UIViewController::viewDidAppear(animated);
  updateCachedAssets();
}

void AKAssetGroupDetailVC::scrollViewDidScroll(UIScrollView&) { updateCachedAssets(); }

std::vector<int64_t> AKAssetGroupDetailVC::indexPathsForElements(const CGRect& rect,
                                                                 bool hidesCamera) const {
  std::vector<int64_t> indexes;
  if (!collectionView_) return indexes;
  auto add = [&](int64_t item) {
    if (hidesCamera) {
      indexes.push_back(item);
    } else if (item > 0) {
      indexes.push_back(item - 1);
    }
  };
  auto layout = collectionView_->collectionViewLayout();
  auto grid = std::dynamic_pointer_cast<AKAssetGroupGridLayout>(layout);
  if (grid && grid->scrollDirection() == UICollectionViewScrollDirection::Vertical &&
      collectionView_->numberOfSections() == 1) {
    // The grid's rows run down in item order: the strip's first item is
    // found by bisection and the walk stops below the strip, so a preheat
    // change costs the rows it touches, not the whole album.
    const int64_t count = collectionView_->numberOfItemsInSection(0);
    auto frameOf = [&](int64_t item) {
      auto a = layout->layoutAttributesForItemAtIndexPath(NSIndexPath::indexPathForItem(item, 0));
      return a ? a->frame : CGRectNull;
    };
    int64_t low = 0, high = count;
    while (low < high) {
      int64_t mid = low + (high - low) / 2;
      if (CGRectGetMaxY(frameOf(mid)) <= CGRectGetMinY(rect)) {
        low = mid + 1;
      } else {
        high = mid;
      }
    }
    for (int64_t item = low; item < count; ++item) {
      CGRect frame = frameOf(item);
      if (CGRectGetMinY(frame) >= CGRectGetMaxY(rect)) break;
      if (CGRectIntersectsRect(frame, rect)) add(item);
    }
    return indexes;
  }
  for (const auto& a : layout->layoutAttributesForElementsInRect(rect)) {
    if (a.representedElementCategory == UICollectionElementCategory::Cell) add(a.indexPath.item);
  }
  return indexes;
}

namespace {

struct RectDifferences {
  std::vector<CGRect> added, removed;
};

// The strips that enter and leave when the caching window moves from `old`
// to `now` (vertically).
RectDifferences DifferencesBetweenRects(const CGRect& old, const CGRect& now) {
  RectDifferences d;
  if (!CGRectIntersectsRect(old, now)) {
    d.added.push_back(now);
    d.removed.push_back(old);
    return d;
  }
  double oldTop = CGRectGetMinY(old), oldBottom = CGRectGetMaxY(old);
  double newTop = CGRectGetMinY(now), newBottom = CGRectGetMaxY(now);
  double x = now.origin.x, w = now.size.width;
  if (newBottom > oldBottom) d.added.push_back(CGRectMake(x, oldBottom, w, newBottom - oldBottom));
  if (oldTop > newTop) d.added.push_back(CGRectMake(x, newTop, w, oldTop - newTop));
  if (newBottom < oldBottom) d.removed.push_back(CGRectMake(x, newBottom, w, oldBottom - newBottom));
  if (newTop > oldTop) d.removed.push_back(CGRectMake(x, oldTop, w, newTop - oldTop));
  return d;
}

}  // namespace

void AKAssetGroupDetailVC::updateCachedAssets() {
  auto picker = imagePickerController();
  if (!picker || !collectionView_ || !isThumbnailCachingEnabled() || !selectedGroupId_) return;
  if (!isViewLoaded() || !view()->window()) return;

  // The visible part of the grid in content coordinates: it moves as the
  // grid scrolls, so the caching window follows.
  CGRect visible = collectionView_->bounds();
  double height = visible.size.height;
  CGRect window = CGRectInset(visible, 0, -0.5 * height);
  double delta = std::fabs(CGRectGetMidY(window) - CGRectGetMidY(previousPreheatRect_));
  if (!(delta > height / 3)) return;

  auto group = shownGroup();
  if (!group) return;
  auto differences = DifferencesBetweenRects(previousPreheatRect_, window);
  auto assetsIn = [&](const std::vector<CGRect>& rects) {
    std::vector<PHAssetPtr> assets;
    for (const auto& rect : rects) {
      for (int64_t index : indexPathsForElements(rect, hidesCamera_)) {
        if (auto asset = picker->groupDataManager()->fetchPHAsset(group, index)) {
          assets.push_back(std::move(asset));
        }
      }
    }
    return assets;
  };
  auto added = assetsIn(differences.added);
  auto removed = assetsIn(differences.removed);
  auto manager = CachingManager();
  if (!added.empty()) {
    manager->startCachingImagesForAssets(added, thumbnailSize_, PHImageContentModeAspectFill, nullptr);
  }
  if (!removed.empty()) {
    manager->stopCachingImagesForAssets(removed, thumbnailSize_, PHImageContentModeAspectFill, nullptr);
  }
  previousPreheatRect_ = window;
}

// --- Swipe to select ---

void AKAssetGroupDetailVC::installSwipeGestureRecognizer() {
  swipe_ = std::make_shared<UIPanGestureRecognizer>();
  swipe_->addTarget(strongSelf(), [this](UIGestureRecognizer& g) { swipingWithGesture(g); });
  swipe_->setDelegate(strongSelf());
  collectionView_->panGestureRecognizer()->requireGestureRecognizerToFail(swipe_);
  collectionView_->addGestureRecognizer(swipe_);
}

const std::shared_ptr<CADisplayLink>& AKAssetGroupDetailVC::autoScrollingLink() {
  if (!autoScrollingLink_) {
    autoScrollingLink_ = CADisplayLink::displayLinkWithTarget(strongSelf(), &AKAssetGroupDetailVC::autoScrolling);
    autoScrollingLink_->setPaused(true);
    autoScrollingLink_->addToRunLoop(NSRunLoop::mainRunLoop(), NSDefaultRunLoopMode);
    autoScrollingLink_->setFrameInterval(1);
  }
  return autoScrollingLink_;
}

CGPoint AKAssetGroupDetailVC::swipeStartLocation() const {
  // The pan begins some points after the finger came down, perhaps over the
  // next cell already: the swipe starts where the finger came down, so the
  // run does not depend on where in its first cell the finger landed.
  CGPoint location = swipe_->locationInView(collectionView_.get());
  CGPoint moved = swipe_->translationInView(collectionView_.get());
  return CGPointMake(location.x - moved.x, location.y - moved.y);
}

bool AKAssetGroupDetailVC::gestureRecognizerShouldBegin(UIGestureRecognizer& recognizer) {
  if (&recognizer != swipe_.get() || !collectionView_) return true;
  auto path = collectionView_->indexPathForItemAtPoint(swipeStartLocation());
  if (path && path->item == 0 && !hidesCamera_) return false;
  CGPoint velocity = swipe_->velocityInView(collectionView_.get());
  return std::fabs(velocity.x) > std::fabs(velocity.y);
}

void AKAssetGroupDetailVC::swipingWithGesture(UIGestureRecognizer& recognizer) {
  if (!collectionView_) return;
  CGPoint location = recognizer.locationInView(collectionView_.get());
  switch (recognizer.state()) {
    case UIGestureRecognizerState::Possible:
      break;
    case UIGestureRecognizerState::Began: {
      auto path = collectionView_->indexPathForItemAtPoint(swipeStartLocation());
      auto cell = path ? collectionView_->cellForItemAtIndexPath(*path) : nullptr;
      if (path && cell) {
        fromIndexPath_ = path;
        swipingToSelect_ = !cell->isSelected();
      }
      break;
    }
    case UIGestureRecognizerState::Changed:
      updateSwipingSelection(location);
      updateAutoScrolling(location);
      break;
    default:
      endSwipe();
      break;
  }
}

void AKAssetGroupDetailVC::endSwipe() {
  swipingIndexPathes_.clear();
  swipeOriginalStates_.clear();
  fromIndexPath_.reset();
  if (autoScrollingLink_ && !autoScrollingLink_->isPaused()) autoScrollingLink_->setPaused(true);
}

void AKAssetGroupDetailVC::swipeItem(int64_t item, bool select) {
  lastIndexPath_ = Item(item);
  auto picker = imagePickerController();
  auto asset = visibleAsset(item);
  if (!picker || !asset) return;
  bool contained = picker->containsWithAsset(asset);
  swipeOriginalStates_.try_emplace(item, contained);
  if (select == contained) return;  // nothing changes, nothing is announced
  if (select) {
    picker->selectWithAsset(asset);
  } else {
    picker->deselectWithAsset(asset);
  }
  updateTitleView();
}

void AKAssetGroupDetailVC::restoreSwipedItem(int64_t item) {
  auto it = swipeOriginalStates_.find(item);
  if (it == swipeOriginalStates_.end()) return;
  swipeItem(item, it->second);
}

void AKAssetGroupDetailVC::updateSwipingSelection(const CGPoint& location) {
  swipingLastLocation_ = location;
  if (!collectionView_) return;
  auto path = collectionView_->indexPathForItemAtPoint(location);
  if (!path || !fromIndexPath_) return;
  int64_t lo = std::min(path->item, fromIndexPath_->item);
  int64_t hi = std::max(path->item, fromIndexPath_->item);
  std::set<int64_t> covered;
  for (int64_t r = lo; r <= hi; ++r) {
    covered.insert(r);
    swipingIndexPathes_.erase(r);
    swipeItem(r, swipingToSelect_);
  }
  // Items the finger went back over return to what they were before.
  for (int64_t r : swipingIndexPathes_) restoreSwipedItem(r);
  swipingIndexPathes_ = std::move(covered);
}

void AKAssetGroupDetailVC::updateAutoScrolling(const CGPoint& location) {
  if (!collectionView_) return;
  double top = collectionView_->contentOffset().y;
  double bottom = top + collectionView_->bounds().size.height;
  double y = std::clamp(location.y, top, bottom);
  double d;
  if (y - top <= (bottom - top) / 2) {
    autoScrollingDirection_ = kAutoScrollUp;
    d = y - top;
  } else {
    autoScrollingDirection_ = kAutoScrollDown;
    d = bottom - y;
  }
  double itemHeight = thumbnailSize_.height / UIScreen::mainScreen()->scale();
  auto& link = autoScrollingLink();
  if (d < itemHeight) {
    autoScrollingRate_ = itemHeight / std::max(d, itemHeight / 10);
    if (link->isPaused()) link->setPaused(false);
  } else if (!link->isPaused()) {
    link->setPaused(true);
  }
}

void AKAssetGroupDetailVC::autoScrolling(CADisplayLink&) {
  if (!collectionView_) return;
  double step = autoScrollingDirection_ == kAutoScrollDown ? autoScrollingRate_ : -autoScrollingRate_;
  CGPoint offset = collectionView_->contentOffset();
  double maxY = std::max(0.0, collectionView_->contentSize().height -
                                  (collectionView_->bounds().size.height -
                                   collectionView_->safeAreaInsets().bottom));
  double y = std::min(std::max(offset.y + step, collectionView_->contentInset().top), maxY);
  collectionView_->setContentOffset(CGPointMake(offset.x, y), false);
  updateSwipingSelection(CGPointMake(swipingLastLocation_.x, swipingLastLocation_.y + step));
}

// --- Runtime names ---

void registerAKImagePickerScreenClasses() {
  NSClassRegistry::registerClass("AKImagePickerController.AKAssetGroupDetailVC",
                                 [] { return std::make_shared<AKAssetGroupDetailVC>(); });
  NSClassRegistry::registerClass(kAKAssetGroupGridLayoutName,
                                 [] { return std::make_shared<AKAssetGroupGridLayout>(); });
  NSClassRegistry::registerClass(kAKAssetGroupDetailCameraCellName,
                                 [] { return std::make_shared<AKAssetGroupDetailCameraCell>(); });
  NSClassRegistry::registerClass(kAKAssetGroupDetailImageCellName,
                                 [] { return std::make_shared<AKAssetGroupDetailImageCell>(); });
  NSClassRegistry::registerClass(kAKAssetGroupDetailVideoCellName,
                                 [] { return std::make_shared<AKAssetGroupDetailVideoCell>(); });
  NSClassRegistry::registerClass(kAKAssetGroupCellName,
                                 [] { return std::make_shared<AKAssetGroupCell>(); });
  registerAKImageExtensionGallery();
}
