#pragma once
// The picker's main screen: a square grid of one album's assets, newest
// first, with an optional camera cell in front. The user selects under the
// picker's rules by tapping or by swiping sideways across cells (the grid
// scrolls by itself near its edges), opens the camera, switches albums
// through the title button, and long-presses an asset to preview it.
// Thumbnails come from the caching image manager, which is told ahead of
// time which assets are about to be shown.

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "AKImagePickerController/data/AKImageGroupDataManager.h"
#include "AKImagePickerController/picker/AKAssetGroupDetailCells.h"
#include "AKImagePickerController/picker/AKAssetGroupListVC.h"
#include "AKImagePickerController/picker/AKImagePickerController.h"
#include "AKImagePickerController/picker/AKImagePickerControllerUIDelegate.h"
#include "platform/quartzcore/CADisplayLink.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UICollectionView.h"
#include "platform/uikit/UIPanGestureRecognizer.h"

class AKPermissionView;

// Square items with one-point gaps, as many 100-point columns (120 on a
// pad) as fit; never fewer than one.
class AKAssetGroupGridLayout : public UICollectionViewFlowLayout {
 public:
  void prepareLayout() override;
  std::string className() const override { return "AKAssetGroupGridLayout"; }
};

class AKAssetGroupDetailVC : public UIViewController,
                             public AKAssetGroupDetailInterface,
                             public AKImagePickerControllerObserver,
                             public AKImageGroupDataManagerObserver,
                             public UICollectionViewDataSource,
                             public UICollectionViewDelegate,
                             public UIGestureRecognizerDelegate {
 public:
  static constexpr int64_t kAutoScrollUp = 4;
  static constexpr int64_t kAutoScrollDown = 8;

  AKAssetGroupDetailVC() = default;
  ~AKAssetGroupDetailVC() override;

  // --- What the picker and the extensions use ---
  std::optional<std::string> selectedGroupId() const override { return selectedGroupId_; }
  void setSelectedGroupId(std::optional<std::string> id) { selectedGroupId_ = std::move(id); }
  std::shared_ptr<AKImagePickerController> imagePickerController() const override {
    return imagePickerController_.lock();
  }
  void setImagePickerController(const std::shared_ptr<AKImagePickerController>& picker) override {
    imagePickerController_ = picker;
  }
  std::shared_ptr<UICollectionView> collectionView() const override { return collectionView_; }
  CGSize thumbnailSize() const { return thumbnailSize_; }
  void setThumbnailSize(CGSize size) override { thumbnailSize_ = size; }
  bool hidesCamera() const { return hidesCamera_; }
  const AKAssetGroupListVCPtr& groupListVC() const { return groupListVC_; }
  const std::shared_ptr<UIButton>& selectGroupButton() const { return selectGroupButton_; }
  const std::shared_ptr<UIView>& footerView() const { return footerView_; }
  const std::shared_ptr<UIView>& headerView() const { return headerView_; }
  const std::optional<NSIndexPath>& lastIndexPath() const { return lastIndexPath_; }
  CGRect previousPreheatRect() const { return previousPreheatRect_; }

  void reload() override;
  virtual void layoutCollectionView();
  virtual void checkPhotoPermission();
  virtual void selectAssetGroup(const std::optional<std::string>& groupId);
  virtual void updateTitleView();
  virtual void showGroupSelector();
  virtual AKAssetPtr fetchAsset(const NSIndexPath& indexPath);
  virtual void selectAsset(const NSIndexPath& indexPath);
  virtual void deselectAsset(const NSIndexPath& indexPath);
  virtual int64_t itemIndex(int64_t assetIndex) const { return hidesCamera_ ? assetIndex : assetIndex + 1; }
  virtual void scroll(const NSIndexPath& indexPath, bool animated);
  void scrollToLastTappedIndexPath(bool animated) override;
  virtual std::shared_ptr<UIImageView> thumbnailImageView(const NSIndexPath& indexPath);

  // --- Swipe to select ---
  const std::shared_ptr<CADisplayLink>& autoScrollingLink();
  const std::shared_ptr<UIPanGestureRecognizer>& swipeGestureRecognizer() const { return swipe_; }
  virtual void swipingWithGesture(UIGestureRecognizer& recognizer);
  virtual void updateSwipingSelection(const CGPoint& location);
  virtual void updateAutoScrolling(const CGPoint& location);
  virtual void autoScrolling(CADisplayLink& link);
  const std::optional<NSIndexPath>& fromIndexPath() const { return fromIndexPath_; }
  const std::set<int64_t>& swipingIndexPathes() const { return swipingIndexPathes_; }
  bool swipingToSelect() const { return swipingToSelect_; }
  double autoScrollingRate() const { return autoScrollingRate_; }
  int64_t autoScrollingDirection() const { return autoScrollingDirection_; }
  bool gestureRecognizerShouldBegin(UIGestureRecognizer& recognizer) override;
  bool gestureRecognizerShouldRecognizeSimultaneouslyWithGestureRecognizer(
      UIGestureRecognizer&, UIGestureRecognizer&) override {
    return true;
  }

  // --- Cells ---
  virtual void registerCellIfNeeded(const AKAssetGroupDetailCellClass& cellClass);
  virtual std::shared_ptr<UICollectionViewCell> dequeueAssetCell(const NSIndexPath& indexPath);
  virtual std::shared_ptr<UICollectionViewCell> dequeueCameraCell(const NSIndexPath& indexPath);
  virtual void setupAssetCell(AKAssetGroupDetailBaseCell& cell, const NSIndexPath& indexPath,
                              const AKAssetPtr& asset);

  // --- Data source and delegate ---
  int64_t collectionViewNumberOfItemsInSection(UICollectionView&, int64_t section) override;
  std::shared_ptr<UICollectionViewCell> collectionViewCellForItemAtIndexPath(
      UICollectionView&, const NSIndexPath& indexPath) override;
  void collectionViewWillDisplayCell(UICollectionView&, UICollectionViewCell& cell,
                                     const NSIndexPath& indexPath) override;
  void collectionViewDidEndDisplayingCell(UICollectionView&, UICollectionViewCell& cell,
                                          const NSIndexPath& indexPath) override;
  bool collectionViewShouldSelectItemAtIndexPath(UICollectionView&, const NSIndexPath&) override;
  void collectionViewDidSelectItemAtIndexPath(UICollectionView&, const NSIndexPath&) override;
  void collectionViewDidDeselectItemAtIndexPath(UICollectionView&, const NSIndexPath&) override;
  void scrollViewDidScroll(UIScrollView&) override;

  // --- Thumbnail preheating ---
  virtual bool isThumbnailCachingEnabled() const { return true; }
  virtual void updateCachedAssets();
  // The index paths of the layout's cells in `rect`, as asset indexes.
  std::vector<int64_t> indexPathsForElements(const CGRect& rect, bool hidesCamera) const;

  // --- Answers to the picker and the album data ---
  bool imagePickerControllerDidSelectWithAssets(const std::vector<AKAssetPtr>& assets) override;
  bool imagePickerControllerDidDeselectWithAssets(const std::vector<AKAssetPtr>& assets) override;
  bool groupDidUpdate(const std::string& groupId) override;
  bool groupDidRemoveAssets(const std::string& groupId, const std::vector<AKAssetPtr>& assets) override;
  bool groupDidUpdateComplete(const std::string& groupId) override;

  void viewDidLoad() override;
  void viewDidAppear(bool animated) override;
  void viewWillLayoutSubviews() override;
  std::string className() const override { return "AKAssetGroupDetailVC"; }

 private:
  std::shared_ptr<AKAssetGroupDetailVC> strongSelf() {
    return std::static_pointer_cast<AKAssetGroupDetailVC>(shared_from_this());
  }
  std::weak_ptr<AKAssetGroupDetailVC> weakSelf() { return strongSelf(); }
  AKAssetGroupPtr shownGroup() const;
  // Whether the collection view has a row at the path now.
  bool hasItem(const NSIndexPath& indexPath) const;
  void showPermissionView();
  void installSwipeGestureRecognizer();
  // Where the finger came down for the swipe, in the collection view.
  CGPoint swipeStartLocation() const;
  void resetPreheating();
  // The asset of the visible cell at `item`, when there is one.
  AKAssetPtr visibleAsset(int64_t item) const;
  // One item of a swipe: into the swipe's state, or back to the state it
  // had before the swipe touched it.
  void swipeItem(int64_t item, bool select);
  void restoreSwipedItem(int64_t item);
  void endSwipe();

  std::optional<std::string> selectedGroupId_;
  std::weak_ptr<AKImagePickerController> imagePickerController_;
  std::shared_ptr<UICollectionView> collectionView_;
  AKAssetGroupListVCPtr groupListVC_;
  std::shared_ptr<UIButton> selectGroupButton_;
  bool hidesCamera_ = false;
  std::shared_ptr<UIView> footerView_;
  // Shown instead of the grid without photo access; laid out with the screen.
  std::shared_ptr<AKPermissionView> permissionView_;
  std::shared_ptr<UIView> headerView_;
  std::optional<CGSize> currentViewSize_;
  std::set<std::string> registeredCellIdentifiers_;
  CGSize thumbnailSize_ = CGSizeZero;
  std::optional<NSIndexPath> lastIndexPath_;
  std::optional<NSIndexPath> fromIndexPath_;
  std::set<int64_t> swipingIndexPathes_;
  bool swipingToSelect_ = true;
  CGPoint swipingLastLocation_ = CGPointZero;
  double autoScrollingRate_ = 1.0;
  int64_t autoScrollingDirection_ = kAutoScrollDown;
  std::shared_ptr<CADisplayLink> autoScrollingLink_;
  CGRect previousPreheatRect_ = CGRectZero;
  std::shared_ptr<UIPanGestureRecognizer> swipe_;
  // Whether each item the current swipe touched was selected before it.
  std::map<int64_t, bool> swipeOriginalStates_;
};
using AKAssetGroupDetailVCPtr = std::shared_ptr<AKAssetGroupDetailVC>;

// Registers the screens' classes under their runtime names.
void registerAKImagePickerScreenClasses();
