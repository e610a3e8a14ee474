#include "AKImagePickerController/picker/AKImagePickerControllerUIDelegate.h"

#include "AKImagePickerController/picker/AKImagePickerController.h"
#include "AKImagePickerController/picker/internal/AKImagePickerControllerResource.h"
#include "platform/foundation/NSClassRegistry.h"
#include "platform/foundation/Value.h"
#include "platform/uikit/NSAttributedString.h"
#include "platform/uikit/NSLayoutConstraint.h"
#include "platform/uikit/UIAlertController.h"
#include "platform/uikit/UIBarButtonItem.h"
#include "platform/uikit/UICollectionViewCell.h"
#include "platform/uikit/UICollectionViewLayout.h"
#include "platform/uikit/UIFont.h"
#include "platform/uikit/UILabel.h"
#include "platform/uikit/UIBarLook.h"
#include "platform/uikit/UINavigationBar.h"
#include "platform/uikit/UITableView.h"

namespace {

using R = AKImagePickerControllerResource;

template <typename T>
std::function<std::shared_ptr<T>()> makerNamed(std::string name) {
  return [name = std::move(name)] { return std::dynamic_pointer_cast<T>(NSClassRegistry::createInstance(name)); };
}

AKAssetGroupDetailCellClass cellClassNamed(const char* name, const char* reuseIdentifier) {
  return {reuseIdentifier, makerNamed<UICollectionViewCell>(name)};
}

template <typename T>
std::shared_ptr<T> titleAttribute(const char* key) {
  const auto& attributes = UINavigationBar::appearance().titleTextAttributes;
  if (!attributes) return nullptr;
  auto it = attributes->find(key);
  if (it == attributes->end() || !it->second.isObject()) return nullptr;
  return it->second.objectAs<T>();
}

// Keeps a button at its fitted size whatever its constraints were.
void pinSize(UIButton& button) {
  CGSize size = button.bounds().size;
  if (button.constraints().empty()) {
    NSLayoutConstraint::activateConstraints({button.widthAnchor().constraintEqualToConstant(size.width),
                                             button.heightAnchor().constraintEqualToConstant(size.height)});
    return;
  }
  for (const auto& constraint : button.constraints()) {
    if (constraint->firstView().get() != &button) continue;
    if (constraint->firstAttribute() == NSLayoutAttributeWidth) constraint->setConstant(size.width);
    if (constraint->firstAttribute() == NSLayoutAttributeHeight) constraint->setConstant(size.height);
  }
}

}  // namespace

std::shared_ptr<UIButton> AKImagePickerControllerBaseUIDelegate::createDoneButtonIfNeeded() {
  if (!doneButton_) {
    auto button = UIButton::buttonWithType(UIButtonType::Custom);
    UIColorPtr tint = UINavigationBar::appearance().tintColor.value_or(nullptr);
    if (!tint) {
      if (auto picker = imagePickerController()) tint = picker->navigationBar()->tintColor();
    }
    button->setTitleColor(tint, UIControlStateNormal);
    updateDoneButtonTitle(*button);
    doneButton_ = button;
  }
  return doneButton_;
}

std::shared_ptr<UIButton> AKImagePickerControllerBaseUIDelegate::createSelectGroupButtonIfNeeded() {
  if (!selectGroupButton_) {
    auto button = UIButton::buttonWithType(UIButtonType::Custom);
    auto color = titleAttribute<UIColor>(NSForegroundColorAttributeName);
    button->setTitleColor(color ? color : UIColor::labelColor(), UIControlStateNormal);
    auto font = titleAttribute<UIFont>(NSFontAttributeName);
    button->titleLabel()->setFont(font ? font : UIFont::boldSystemFontOfSize(18));
    selectGroupButton_ = button;
  }
  return selectGroupButton_;
}

std::optional<std::string> AKImagePickerControllerBaseUIDelegate::formattedSelectedCount() {
  auto picker = imagePickerController();
  if (!picker) return std::nullopt;
  return R::formattedCount(static_cast<int64_t>(picker->selectedAssetIdentifiers().size()));
}

void AKImagePickerControllerBaseUIDelegate::updateDoneButtonTitle(UIButton& button) {
  button.removeTarget(nullptr, UIControlEventAllEvents);
  auto picker = imagePickerController();
  if (!picker) return;
  std::weak_ptr<AKImagePickerController> weak = picker;
  auto done = [weak](UIControl&, UIEvent*) {
    if (auto p = weak.lock()) p->done();
  };
  size_t count = picker->selectedAssetIdentifiers().size();
  std::string title;
  if (!picker->allowSelectAll()) {
    button.addTarget(picker, done, UIControlEventTouchUpInside);
    title = count == 0 ? R::localizedString("picker.select.done.title")
                       : R::formatWithObject(R::localizedString("picker.select.title"),
                                             formattedSelectedCount().value_or(""));
  } else if (count == 0) {
    title = R::localizedString("picker.select.all.title");
    button.addTarget(picker, [weak](UIControl&, UIEvent*) {
      if (auto p = weak.lock()) p->handleSelectAll();
    }, UIControlEventTouchUpInside);
  } else {
    title = R::formatWithObject(R::localizedString("picker.select.done.title") + "(%@)",
                                formattedSelectedCount().value_or(""));
    button.addTarget(picker, done, UIControlEventTouchUpInside);
  }
  button.setTitle(title, UIControlStateNormal);
  button.sizeToFit();
  pinSize(button);
}

bool AKImagePickerControllerBaseUIDelegate::isMaxLimitAlertDisplayed() {
  auto picker = imagePickerController();
  if (!picker) return false;
  return std::dynamic_pointer_cast<UIAlertController>(picker->visibleViewController()) != nullptr;
}

void AKImagePickerControllerBaseUIDelegate::prepareLayout(AKImagePickerController&, UIViewController& vc) {
  vc.navigationItem()->setRightBarButtonItem(UIBarButtonItem::itemWithCustomView(createDoneButtonIfNeeded()));
}

AKCollectionLayoutClass AKImagePickerControllerBaseUIDelegate::layoutForImagePickerController(
    AKImagePickerController&) {
  return makerNamed<UICollectionViewLayout>(kAKAssetGroupGridLayoutName);
}

void AKImagePickerControllerBaseUIDelegate::imagePickerControllerShowsCancelButtonForVC(AKImagePickerController& picker,
                                                                                       UIViewController& vc) {
  std::weak_ptr<AKImagePickerController> weak =
      std::static_pointer_cast<AKImagePickerController>(picker.shared_from_this());
  vc.navigationItem()->setLeftBarButtonItem(UIBarButtonItem::itemWithBarButtonSystemItem(
      UIBarButtonSystemItem::Cancel, weak.lock(), [weak](UIBarButtonItem&) {
        if (auto p = weak.lock()) p->dismiss();
      }));
}

void AKImagePickerControllerBaseUIDelegate::imagePickerControllerHidesCancelButtonForVC(AKImagePickerController&,
                                                                                       UIViewController& vc) {
  vc.navigationItem()->setLeftBarButtonItem(nullptr);
}

void AKImagePickerControllerBaseUIDelegate::imagePickerControllerDidSelectAssets(AKImagePickerController&,
                                                                                const std::vector<AKAssetPtr>&) {
  updateDoneButtonTitle(*createDoneButtonIfNeeded());
}

void AKImagePickerControllerBaseUIDelegate::imagePickerControllerDidDeselectAssets(AKImagePickerController&,
                                                                                  const std::vector<AKAssetPtr>&) {
  updateDoneButtonTitle(*createDoneButtonIfNeeded());
}

void AKImagePickerControllerBaseUIDelegate::imagePickerControllerDidReachMaxLimit(AKImagePickerController& picker) {
  std::string limit = R::formattedCount(picker.maxSelectableCount());
  auto alert = UIAlertController::alertControllerWithTitle(R::localizedString("picker.select.maxLimitReached.error.title"),
                                                           std::nullopt, UIAlertControllerStyle::Alert);
  alert->setMessage(R::formatWithObject(R::localizedString("picker.select.maxLimitReached.error.message"), limit));
  alert->addAction(UIAlertAction::actionWithTitle(R::localizedString("picker.alert.ok"), UIAlertActionStyle::Cancel,
                                                  nullptr));
  picker.presentViewController(alert, true);
}

AKAssetGroupDetailCellClass AKImagePickerControllerBaseUIDelegate::imagePickerControllerCollectionImageCell() {
  return cellClassNamed(kAKAssetGroupDetailImageCellName, "AKImageAssetIdentifier");
}

AKAssetGroupDetailCellClass AKImagePickerControllerBaseUIDelegate::imagePickerControllerCollectionCameraCell() {
  return cellClassNamed(kAKAssetGroupDetailCameraCellName, "AKImageCameraIdentifier");
}

AKAssetGroupDetailCellClass AKImagePickerControllerBaseUIDelegate::imagePickerControllerCollectionVideoCell() {
  return cellClassNamed(kAKAssetGroupDetailVideoCellName, "AKVideoAssetIdentifier");
}

AKAssetGroupCellClass AKImagePickerControllerBaseUIDelegate::imagePickerControllerGroupCell() {
  return {makerNamed<UITableViewCell>(kAKAssetGroupCellName)};
}

std::shared_ptr<UIButton> AKImagePickerControllerBaseUIDelegate::imagePickerControllerSelectGroupButton(
    AKImagePickerController& picker, const AKAssetGroupPtr& group) {
  auto button = createSelectGroupButtonIfNeeded();
  auto ids = picker.groupDataManager()->groupIds();
  bool several = ids && ids->size() > 1;
  std::string title = group ? group->groupName().value_or("") : std::string();
  if (several) title += "  \u25BE";
  button->setTitle(title, UIControlStateNormal);
  button->sizeToFit();
  button->setEnabled(several);
  return button;
}
