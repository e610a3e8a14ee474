#pragma once
// The album list: one row per album (thumbnail of its newest asset, name,
// asset count, a tick on the selected one), shown in the popover or
// presented. It follows the library's album changes and tells its owner,
// through a callback, which album is selected.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AKImagePickerController/data/AKAssetGroup.h"
#include "AKImagePickerController/data/AKImageGroupDataManager.h"
#include "platform/uikit/UIImageView.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UITableViewController.h"

class AKImagePickerController;

// What the list asks of its row cells.
class AKAssetGroupCellType {
 public:
  virtual ~AKAssetGroupCellType() = default;
  virtual void configureWith(const AKAssetGroupPtr& group, int64_t tag,
                             const AKImageGroupDataManagerPtr& dataManager,
                             const PHImageRequestOptionsPtr& imageRequestOptions) = 0;
  // The row height of the cell's class (a class-wide value).
  virtual double classPreferredHeight() const = 0;
};

class AKAssetGroupCell : public UITableViewCell, public AKAssetGroupCellType {
 public:
  // A hairline whose colour ignores the clear colour, which the table sets
  // on selection.
  class AKAssetGroupSeparator : public UIView {
   public:
    using UIView::UIView;
    void setBackgroundColor(UIColorPtr color);
    std::string className() const override { return "AKAssetGroupSeparator"; }
  };

  static constexpr const char* kReuseIdentifier = "AKImageGroupCellIdentifier";

  explicit AKAssetGroupCell(UITableViewCellStyle style = UITableViewCellStyle::Default);

  static double preferredHeight();
  static void setPreferredHeight(double height);
  double classPreferredHeight() const override { return preferredHeight(); }

  const std::shared_ptr<UIImageView>& thumbnailImageView();
  const std::shared_ptr<UILabel>& groupNameLabel();
  const std::shared_ptr<UILabel>& totalCountLabel();
  const std::shared_ptr<UIView>& customSelectedBackgroundView() const { return customSelectedBackground_; }
  const std::shared_ptr<AKAssetGroupSeparator>& customSeparator();

  void configureWith(const AKAssetGroupPtr& group, int64_t tag,
                     const AKImageGroupDataManagerPtr& dataManager,
                     const PHImageRequestOptionsPtr& imageRequestOptions) override;
  void layoutSubviews() override;
  std::string className() const override { return "AKAssetGroupCell"; }

 private:
  std::shared_ptr<UIImageView> thumbnailImageView_;
  std::shared_ptr<UILabel> groupNameLabel_;
  std::shared_ptr<UILabel> totalCountLabel_;
  std::shared_ptr<UIView> customSelectedBackground_;
  std::shared_ptr<AKAssetGroupSeparator> customSeparator_;
};

class AKAssetGroupListVC : public UITableViewController, public AKImageGroupDataManagerObserver {
 public:
  using SelectedGroupDidChangeBlock = std::function<void(const std::optional<std::string>& groupId)>;

  AKAssetGroupListVC(const std::shared_ptr<AKImagePickerController>& picker,
                     std::optional<PHAssetCollectionSubtype> defaultAssetGroup,
                     SelectedGroupDidChangeBlock selectedGroupDidChangeBlock);

  const std::optional<std::vector<std::string>>& groups() const { return groups_; }
  void setGroups(std::optional<std::vector<std::string>> groups);
  const std::optional<std::vector<std::string>>& displayGroups() const { return displayGroups_; }
  bool showsEmptyAlbums() const { return showsEmptyAlbums_; }
  void setShowsEmptyAlbums(bool on);
  const std::optional<std::string>& selectedGroup() const { return selectedGroup_; }
  std::optional<PHAssetCollectionSubtype> defaultAssetGroup() const { return defaultAssetGroup_; }
  const SelectedGroupDidChangeBlock& selectedGroupDidChangeBlock() const { return block_; }
  const PHImageRequestOptionsPtr& groupThumbnailRequestOptions();
  const AKImageGroupDataManagerPtr& groupDataManager() const { return groupDataManager_; }
  std::shared_ptr<AKImagePickerController> imagePickerController() const { return picker_.lock(); }

  // Fetches the albums and selects the default (or first) one.
  void loadGroups();
  void cancelButtonPressed();

  void viewDidLoad() override;
  int64_t tableViewNumberOfRowsInSection(UITableView&, int64_t section) override;
  std::shared_ptr<UITableViewCell> tableViewCellForRowAtIndexPath(UITableView&,
                                                                  const NSIndexPath& path) override;
  void tableViewDidSelectRowAtIndexPath(UITableView&, const NSIndexPath& path) override;

  bool groupDidUpdate(const std::string& groupId) override;
  // An album's assets changed: its count, its thumbnail and, when empty
  // albums are hidden, whether it is listed.
  bool groupDidUpdateComplete(const std::string& groupId) override;
  bool groupsDidInsert(const std::vector<std::string>& groupIds) override;
  bool groupDidRemove(const std::string& groupId) override;

  std::string className() const override { return "AKAssetGroupListVC"; }

 private:
  void didLoadGroups(const std::optional<std::vector<std::string>>& ids, const NSErrorPtr& error);
  void filterEmptyGroupIfNeeded();
  // The list's size follows its albums: the full width and a row per album.
  void updatePreferredContentSize();
  std::optional<int64_t> rowOf(const std::optional<std::string>& groupId) const;
  void selectRow(std::optional<int64_t> row);
  // After the albums changed: the selected album keeps its tick where it
  // now is; when it is no longer listed the first album takes over.
  void reselectSelectedGroup();
  void changeSelection(std::optional<std::string> groupId);
  // Rows read the albums as they are now; the selection stays on its album.
  void refreshGroups();

  std::optional<std::vector<std::string>> groups_;
  std::optional<std::vector<std::string>> displayGroups_;
  bool showsEmptyAlbums_ = true;
  std::optional<std::string> selectedGroup_;
  std::optional<PHAssetCollectionSubtype> defaultAssetGroup_;
  SelectedGroupDidChangeBlock block_;
  PHImageRequestOptionsPtr groupThumbnailRequestOptions_;
  AKImageGroupDataManagerPtr groupDataManager_;
  std::weak_ptr<AKImagePickerController> picker_;
};
using AKAssetGroupListVCPtr = std::shared_ptr<AKAssetGroupListVC>;
