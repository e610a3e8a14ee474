#include "AKImagePickerController/picker/AKAssetGroupListVC.h"

#include <algorithm>

#include "AKImagePickerController/picker/AKAssetGroupDetailCells.h"
#include "AKImagePickerController/picker/AKImagePickerController.h"
#include "AKImagePickerController/picker/internal/AKImagePickerControllerResource.h"
#include "AKImagePickerController/picker/AKImagePickerControllerUIDelegate.h"
#include "AKImagePickerController/picker/internal/AKPopoverViewController.h"
#include "platform/foundation/WeakSelf.h"
#include "platform/uikit/UIBarButtonItem.h"
#include "platform/uikit/UINavigationBar.h"
#include "platform/uikit/UIScreen.h"

namespace {

double gPreferredHeight = 70;  // main thread only

}  // namespace

// --- Separator ---

void AKAssetGroupCell::AKAssetGroupSeparator::setBackgroundColor(UIColorPtr color) {
  if (color && color->isEqual(*UIColor::clearColor())) return;
  UIView::setBackgroundColor(std::move(color));
}

// --- Cell ---

double AKAssetGroupCell::preferredHeight() { return gPreferredHeight; }
void AKAssetGroupCell::setPreferredHeight(double height) { gPreferredHeight = height; }

AKAssetGroupCell::AKAssetGroupCell(UITableViewCellStyle style) : UITableViewCell(style) {
  customSelectedBackground_ = std::make_shared<UIView>();
  auto tick = std::make_shared<UIImageView>(
      AKImagePickerControllerResource::image("tick_blue", false, false));
  CGSize tickSize = tick->image() ? tick->image()->size() : CGSizeZero;
  // 20 points from the right edge, centred, staying there as the view grows.
  tick->setFrame(CGRectMake(-20 - tickSize.width, -tickSize.height / 2, tickSize.width,
                            tickSize.height));
  tick->setAutoresizingMask(UIViewAutoresizingFlexibleLeftMargin |
                            UIViewAutoresizingFlexibleTopMargin |
                            UIViewAutoresizingFlexibleBottomMargin);
  customSelectedBackground_->addSubview(tick);

  UIView::setBackgroundColor(UIColor::systemGray6Color());
  setSelectedBackgroundView(customSelectedBackground_);
  contentView()->addSubview(thumbnailImageView());
  contentView()->addSubview(groupNameLabel());
  contentView()->addSubview(totalCountLabel());
  addSubview(customSeparator());
}

const std::shared_ptr<UIImageView>& AKAssetGroupCell::thumbnailImageView() {
  if (!thumbnailImageView_) {
    thumbnailImageView_ = std::make_shared<UIImageView>();
    thumbnailImageView_->setContentMode(UIViewContentModeScaleAspectFill);
    thumbnailImageView_->setClipsToBounds(true);
  }
  return thumbnailImageView_;
}

const std::shared_ptr<UILabel>& AKAssetGroupCell::groupNameLabel() {
  if (!groupNameLabel_) {
    groupNameLabel_ = std::make_shared<UILabel>();
    groupNameLabel_->setFont(UIFont::boldSystemFontOfSize(13));
  }
  return groupNameLabel_;
}

const std::shared_ptr<UILabel>& AKAssetGroupCell::totalCountLabel() {
  if (!totalCountLabel_) {
    totalCountLabel_ = std::make_shared<UILabel>();
    totalCountLabel_->setFont(UIFont::systemFontOfSize(10));
    totalCountLabel_->setTextColor(UIColor::secondaryLabelColor());
  }
  return totalCountLabel_;
}

const std::shared_ptr<AKAssetGroupCell::AKAssetGroupSeparator>& AKAssetGroupCell::customSeparator() {
  if (!customSeparator_) {
    CGRect b = bounds();
    customSeparator_ = std::make_shared<AKAssetGroupSeparator>(
        CGRectMake(10, b.size.height - 1, b.size.width, 0.5));
    customSeparator_->setBackgroundColor(UIColor::systemGray5Color());
    customSeparator_->setAutoresizingMask(UIViewAutoresizingFlexibleWidth |
                                          UIViewAutoresizingFlexibleTopMargin);
  }
  return customSeparator_;
}

void AKAssetGroupCell::configureWith(const AKAssetGroupPtr& group, int64_t tag,
                                     const AKImageGroupDataManagerPtr& dataManager,
                                     const PHImageRequestOptionsPtr& imageRequestOptions) {
  setTag(tag);
  groupNameLabel()->setText(group && group->groupName() ? *group->groupName() : "");
  bool hasAssets = group && group->fetchResult() && group->totalCount() > 0;
  if (hasAssets && dataManager) {
    double side = preferredHeight() * UIScreen::mainScreen()->scale();
    auto weak = std::weak_ptr<AKAssetGroupCell>(
        std::static_pointer_cast<AKAssetGroupCell>(shared_from_this()));
    dataManager->fetchGroupThumbnail(
        group->groupId(), CGSizeMake(side, side), imageRequestOptions,
        AKOnMainThread([weak, tag](const UIImagePtr& image) {
          auto cell = weak.lock();
          // A late thumbnail for a cell that now shows another row is dropped.
          if (cell && cell->tag() == tag) cell->thumbnailImageView()->setImage(image);
        }));
  } else {
    thumbnailImageView()->setImage(AKImagePickerControllerResource::image("empty_album", true, false));
  }
  totalCountLabel()->setText(std::to_string(group ? group->totalCount() : 0));
}

void AKAssetGroupCell::layoutSubviews() {
  UITableViewCell::layoutSubviews();
  double h = contentView()->bounds().size.height;
  auto& thumbnail = thumbnailImageView();
  thumbnail->setFrame(CGRectMake(10, 10, h - 20, h - 20));
  CGRect t = thumbnail->frame();
  groupNameLabel()->setFrame(CGRectMake(CGRectGetMaxX(t) + 10, t.origin.y + 5, 200, 20));
  totalCountLabel()->setFrame(
      CGRectMake(groupNameLabel()->frame().origin.x, CGRectGetMaxY(t) - 20, 200, 20));
}

// --- List ---

AKAssetGroupListVC::AKAssetGroupListVC(const std::shared_ptr<AKImagePickerController>& picker,
                                       std::optional<PHAssetCollectionSubtype> defaultAssetGroup,
                                       SelectedGroupDidChangeBlock selectedGroupDidChangeBlock)
    : UITableViewController(UITableViewStyle::Plain),
      defaultAssetGroup_(defaultAssetGroup),
      block_(std::move(selectedGroupDidChangeBlock)),
      picker_(picker) {
  if (picker) groupDataManager_ = picker->groupDataManager();
}

void AKAssetGroupListVC::setGroups(std::optional<std::vector<std::string>> groups) {
  groups_ = std::move(groups);
  filterEmptyGroupIfNeeded();
}

void AKAssetGroupListVC::setShowsEmptyAlbums(bool on) {
  showsEmptyAlbums_ = on;
  filterEmptyGroupIfNeeded();
}

const PHImageRequestOptionsPtr& AKAssetGroupListVC::groupThumbnailRequestOptions() {
  if (!groupThumbnailRequestOptions_) {
    groupThumbnailRequestOptions_ = std::make_shared<PHImageRequestOptions>();
    groupThumbnailRequestOptions_->deliveryMode = PHImageRequestOptionsDeliveryModeOpportunistic;
    groupThumbnailRequestOptions_->resizeMode = PHImageRequestOptionsResizeModeExact;
  }
  return groupThumbnailRequestOptions_;
}

void AKAssetGroupListVC::loadGroups() {
  if (!groupDataManager_) return;
  // From the first load on, not from the first showing: a list opened only
  // after the library changed must not show the albums as they were.
  groupDataManager_->add(self());
  groupDataManager_->fetchGroups(WeakBind(
      std::weak_ptr<AKAssetGroupListVC>(std::static_pointer_cast<AKAssetGroupListVC>(self())),
      [](AKAssetGroupListVC& list, const std::optional<std::vector<std::string>>& ids,
         const NSErrorPtr& error) { list.didLoadGroups(ids, error); }));
}

void AKAssetGroupListVC::didLoadGroups(const std::optional<std::vector<std::string>>& ids,
                                       const NSErrorPtr& error) {
  if (!ids || error) return;
  setGroups(ids);
  selectedGroup_.reset();
  if (defaultAssetGroup_ && displayGroups_ && groupDataManager_) {
    for (const auto& id : *displayGroups_) {
      auto group = groupDataManager_->fetchGroup(id);
      if (!group || !group->originalCollection()) continue;
      if (group->originalCollection()->assetCollectionSubtype() == *defaultAssetGroup_) {
        selectedGroup_ = id;
        break;
      }
    }
  }
  if (!selectedGroup_ && displayGroups_ && !displayGroups_->empty()) {
    selectedGroup_ = displayGroups_->front();
  }
  if (!selectedGroup_) return;
  if (isViewLoaded()) tableView()->reloadData();
  selectRow(rowOf(selectedGroup_));
  if (block_) block_(selectedGroup_);
}

void AKAssetGroupListVC::filterEmptyGroupIfNeeded() {
  if (showsEmptyAlbums_) {
    displayGroups_ = groups_;
  } else {
    std::vector<std::string> shown;
    if (groups_ && groupDataManager_) {
      for (const auto& id : *groups_) {
        auto group = groupDataManager_->fetchGroup(id);
        if (group && group->fetchResult() && group->totalCount() > 0) shown.push_back(id);
      }
    }
    displayGroups_ = std::move(shown);
  }
  updatePreferredContentSize();
}

void AKAssetGroupListVC::updatePreferredContentSize() {
  if (!displayGroups_ || !isViewLoaded()) return;
  double height = tableView()->rowHeight() * double(displayGroups_->size());
  setPreferredContentSize(CGSizeMake(UIViewNoIntrinsicMetric, height));
}

std::optional<int64_t> AKAssetGroupListVC::rowOf(const std::optional<std::string>& groupId) const {
  if (!groupId || !displayGroups_) return std::nullopt;
  auto it = std::find(displayGroups_->begin(), displayGroups_->end(), *groupId);
  if (it == displayGroups_->end()) return std::nullopt;
  return int64_t(it - displayGroups_->begin());
}

void AKAssetGroupListVC::selectRow(std::optional<int64_t> row) {
  if (!isViewLoaded()) return;
  auto table = tableView();
  if (row && *row < table->numberOfRowsInSection(0)) {
    table->selectRowAtIndexPath(NSIndexPath::indexPathForRow(*row, 0), false,
                                UITableViewScrollPosition::None);
  } else {
    table->selectRowAtIndexPath(std::nullopt, false, UITableViewScrollPosition::None);
  }
}

void AKAssetGroupListVC::changeSelection(std::optional<std::string> groupId) {
  selectedGroup_ = std::move(groupId);
  if (block_) block_(selectedGroup_);
}

void AKAssetGroupListVC::reselectSelectedGroup() {
  if (isViewLoaded()) tableView()->reloadData();
  auto row = rowOf(selectedGroup_);
  if (!row && displayGroups_ && !displayGroups_->empty()) {
    changeSelection(displayGroups_->front());
    row = 0;
  } else if (!row && selectedGroup_) {
    changeSelection(std::nullopt);
  }
  selectRow(row);
}

void AKAssetGroupListVC::viewDidLoad() {
  UITableViewController::viewDidLoad();
  auto picker = picker_.lock();
  auto delegate = picker ? picker->UIDelegate() : nullptr;
  if (delegate) delegate->imagePickerControllerPrepareGroupListViewController(*this);

  auto table = tableView();
  auto cellClass = delegate ? delegate->imagePickerControllerGroupCell()
                            : AKAssetGroupCellClass{[] { return std::make_shared<AKAssetGroupCell>(); }};
  double rowHeight = AKAssetGroupCell::preferredHeight();
  if (cellClass.make) {
    if (auto probe = std::dynamic_pointer_cast<AKAssetGroupCellType>(cellClass.make())) {
      rowHeight = probe->classPreferredHeight();
    }
    table->registerClassForCellReuseIdentifier(cellClass.make, AKAssetGroupCell::kReuseIdentifier);
  }
  table->setRowHeight(rowHeight);
  table->setSeparatorStyle(UITableViewCellSeparatorStyle::None);
  table->setBackgroundColor(UIColor::systemGray6Color());
  setClearsSelectionOnViewWillAppear(false);

  setTitle(AKImagePickerControllerResource::localizedString("picker.albums", ""));
  auto weak = std::weak_ptr<AKAssetGroupListVC>(std::static_pointer_cast<AKAssetGroupListVC>(self()));
  auto cancel = UIBarButtonItem::itemWithBarButtonSystemItem(
      UIBarButtonSystemItem::Cancel, self(),
      [weak](UIBarButtonItem&) {
        if (auto list = weak.lock()) list->cancelButtonPressed();
      });
  navigationItem()->setLeftBarButtonItem(cancel);

  if (groupDataManager_) groupDataManager_->add(self());
  updatePreferredContentSize();
  selectRow(rowOf(selectedGroup_));
}

void AKAssetGroupListVC::cancelButtonPressed() { dismissViewControllerAnimated(true); }

int64_t AKAssetGroupListVC::tableViewNumberOfRowsInSection(UITableView&, int64_t) {
  return displayGroups_ ? int64_t(displayGroups_->size()) : 0;
}

std::shared_ptr<UITableViewCell> AKAssetGroupListVC::tableViewCellForRowAtIndexPath(
    UITableView& table, const NSIndexPath& path) {
  auto cell = table.dequeueReusableCellWithIdentifier(AKAssetGroupCell::kReuseIdentifier, path);
  auto configurable = std::dynamic_pointer_cast<AKAssetGroupCellType>(cell);
  auto group = groupDataManager_ && displayGroups_
                   ? groupDataManager_->fetchGroup(displayGroups_->at(size_t(path.row())))
                   : nullptr;
  if (!configurable || !group) return std::make_shared<UITableViewCell>();
  configurable->configureWith(group, path.row() + 1, groupDataManager_,
                              groupThumbnailRequestOptions());
  return cell;
}

void AKAssetGroupListVC::tableViewDidSelectRowAtIndexPath(UITableView&, const NSIndexPath& path) {
  if (presentingViewController()) {
    dismissViewControllerAnimated(true);
  } else {
    AKPopoverViewController::dismissPopoverViewController();
  }
  if (displayGroups_ && path.row() >= 0 && path.row() < int64_t(displayGroups_->size())) {
    changeSelection(displayGroups_->at(size_t(path.row())));
  }
}

void AKAssetGroupListVC::refreshGroups() {
  filterEmptyGroupIfNeeded();
  reselectSelectedGroup();
}

bool AKAssetGroupListVC::groupDidUpdate(const std::string&) {
  refreshGroups();
  return true;
}

bool AKAssetGroupListVC::groupDidUpdateComplete(const std::string&) {
  refreshGroups();
  return true;
}

bool AKAssetGroupListVC::groupsDidInsert(const std::vector<std::string>& groupIds) {
  // Albums found before the first load are picked up by it.
  if (!groups_) return true;
  auto groups = *groups_;
  groups.insert(groups.end(), groupIds.begin(), groupIds.end());
  setGroups(std::move(groups));
  reselectSelectedGroup();
  return true;
}

bool AKAssetGroupListVC::groupDidRemove(const std::string& groupId) {
  if (!groups_) return true;
  auto groups = *groups_;
  auto it = std::find(groups.begin(), groups.end(), groupId);
  if (it == groups.end()) return true;
  groups.erase(it);
  setGroups(std::move(groups));
  reselectSelectedGroup();
  return true;
}
