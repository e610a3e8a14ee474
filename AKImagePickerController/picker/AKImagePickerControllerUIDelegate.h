#pragma once
// The picker's look and navigation-bar controls: which layout and cell
// classes its screens make, the grid's background, header and footer, the
// album-title button and how the album list is shown, the done button with
// the selection count, the cancel button, and the max-limit alert. The
// base delegate answers all of it; a customised look derives from it.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "AKImagePickerController/data/AKAsset.h"
#include "AKImagePickerController/data/AKAssetGroup.h"
#include "platform/uikit/UIButton.h"
#include "platform/uikit/UIColor.h"

class AKImagePickerController;
class UICollectionViewLayout;
class UICollectionViewCell;
class UITableViewCell;
class UITableViewController;
class UIViewController;

// Classes the screens make instances of, as values.
using AKCollectionLayoutClass = std::function<std::shared_ptr<UICollectionViewLayout>()>;
struct AKAssetGroupDetailCellClass {
  std::string reuseIdentifier;
  std::function<std::shared_ptr<UICollectionViewCell>()> make;
};
struct AKAssetGroupCellClass {
  std::function<std::shared_ptr<UITableViewCell>()> make;
};

// Runtime names of the classes the base delegate answers.
inline constexpr const char* kAKAssetGroupGridLayoutName = "AKImagePickerController.AKAssetGroupGridLayout";
inline constexpr const char* kAKAssetGroupDetailImageCellName = "AKImagePickerController.AKAssetGroupDetailImageCell";
inline constexpr const char* kAKAssetGroupDetailCameraCellName = "AKImagePickerController.AKAssetGroupDetailCameraCell";
inline constexpr const char* kAKAssetGroupDetailVideoCellName = "AKImagePickerController.AKAssetGroupDetailVideoCell";
inline constexpr const char* kAKAssetGroupCellName = "AKImagePickerController.AKAssetGroupCell";

enum class AKImagePickerGroupListPresentationStyle : int64_t { popover = 0, presented = 1 };

class AKImagePickerControllerUIDelegate {
 public:
  virtual ~AKImagePickerControllerUIDelegate() = default;
  virtual void prepareLayout(AKImagePickerController& picker, UIViewController& vc) = 0;
  virtual AKCollectionLayoutClass layoutForImagePickerController(AKImagePickerController& picker) = 0;
  virtual void imagePickerControllerShowsCancelButtonForVC(AKImagePickerController& picker, UIViewController& vc) = 0;
  virtual void imagePickerControllerHidesCancelButtonForVC(AKImagePickerController& picker, UIViewController& vc) = 0;
  virtual void imagePickerControllerDidSelectAssets(AKImagePickerController& picker,
                                                    const std::vector<AKAssetPtr>& assets) = 0;
  virtual void imagePickerControllerDidDeselectAssets(AKImagePickerController& picker,
                                                      const std::vector<AKAssetPtr>& assets) = 0;
  virtual void imagePickerControllerDidReachMaxLimit(AKImagePickerController& picker) = 0;
  virtual std::shared_ptr<UIView> imagePickerControllerFooterView(AKImagePickerController& picker) = 0;
  virtual std::shared_ptr<UIView> imagePickerControllerHeaderView(AKImagePickerController& picker) = 0;
  virtual UIColorPtr imagePickerControllerCollectionViewBackgroundColor() = 0;
  virtual AKAssetGroupDetailCellClass imagePickerControllerCollectionImageCell() = 0;
  virtual AKAssetGroupDetailCellClass imagePickerControllerCollectionCameraCell() = 0;
  virtual AKAssetGroupDetailCellClass imagePickerControllerCollectionVideoCell() = 0;
  virtual AKAssetGroupCellClass imagePickerControllerGroupCell() = 0;
  virtual std::shared_ptr<UIButton> imagePickerControllerSelectGroupButton(AKImagePickerController& picker,
                                                                           const AKAssetGroupPtr& group) = 0;
  virtual AKImagePickerGroupListPresentationStyle imagePickerControllerGroupListPresentationStyle() = 0;
  virtual void imagePickerControllerPrepareGroupListViewController(UITableViewController& listVC) = 0;
};

class AKImagePickerControllerBaseUIDelegate : public NSObject, public AKImagePickerControllerUIDelegate {
 public:
  AKImagePickerControllerBaseUIDelegate() = default;

  std::shared_ptr<AKImagePickerController> imagePickerController() const { return imagePickerController_.lock(); }
  void setImagePickerController(const std::shared_ptr<AKImagePickerController>& picker) {
    imagePickerController_ = picker;
  }
  const std::shared_ptr<UIButton>& doneButton() const { return doneButton_; }
  void setDoneButton(std::shared_ptr<UIButton> button) { doneButton_ = std::move(button); }
  const std::shared_ptr<UIButton>& selectGroupButton() const { return selectGroupButton_; }
  void setSelectGroupButton(std::shared_ptr<UIButton> button) { selectGroupButton_ = std::move(button); }

  virtual std::shared_ptr<UIButton> createDoneButtonIfNeeded();
  virtual std::shared_ptr<UIButton> createSelectGroupButtonIfNeeded();
  // Title, target and pinned size for the selection as it stands.
  virtual void updateDoneButtonTitle(UIButton& button);
  virtual std::optional<std::string> formattedSelectedCount();
  virtual bool isMaxLimitAlertDisplayed();
  virtual bool imagePickerControllerAllowsLongPressPreview() { return true; }

  void prepareLayout(AKImagePickerController& picker, UIViewController& vc) override;
  AKCollectionLayoutClass layoutForImagePickerController(AKImagePickerController& picker) override;
  void imagePickerControllerShowsCancelButtonForVC(AKImagePickerController& picker, UIViewController& vc) override;
  void imagePickerControllerHidesCancelButtonForVC(AKImagePickerController& picker, UIViewController& vc) override;
  void imagePickerControllerDidSelectAssets(AKImagePickerController& picker,
                                            const std::vector<AKAssetPtr>& assets) override;
  void imagePickerControllerDidDeselectAssets(AKImagePickerController& picker,
                                              const std::vector<AKAssetPtr>& assets) override;
  void imagePickerControllerDidReachMaxLimit(AKImagePickerController& picker) override;
  std::shared_ptr<UIView> imagePickerControllerFooterView(AKImagePickerController&) override { return nullptr; }
  std::shared_ptr<UIView> imagePickerControllerHeaderView(AKImagePickerController&) override { return nullptr; }
  UIColorPtr imagePickerControllerCollectionViewBackgroundColor() override { return UIColor::whiteColor(); }
  AKAssetGroupDetailCellClass imagePickerControllerCollectionImageCell() override;
  AKAssetGroupDetailCellClass imagePickerControllerCollectionCameraCell() override;
  AKAssetGroupDetailCellClass imagePickerControllerCollectionVideoCell() override;
  AKAssetGroupCellClass imagePickerControllerGroupCell() override;
  std::shared_ptr<UIButton> imagePickerControllerSelectGroupButton(AKImagePickerController& picker,
                                                                   const AKAssetGroupPtr& group) override;
  AKImagePickerGroupListPresentationStyle imagePickerControllerGroupListPresentationStyle() override {
    return AKImagePickerGroupListPresentationStyle::popover;
  }
  void imagePickerControllerPrepareGroupListViewController(UITableViewController&) override {}

  std::string className() const override { return "AKImagePickerControllerBaseUIDelegate"; }

 private:
  std::weak_ptr<AKImagePickerController> imagePickerController_;
  std::shared_ptr<UIButton> doneButton_;
  std::shared_ptr<UIButton> selectGroupButton_;
};
using AKImagePickerControllerBaseUIDelegatePtr = std::shared_ptr<AKImagePickerControllerBaseUIDelegate>;
