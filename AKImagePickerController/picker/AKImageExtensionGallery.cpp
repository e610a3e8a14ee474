#include "AKImagePickerController/picker/internal/AKImageExtensionGallery.h"

#include <algorithm>

#include "AKImagePickerController/data/AKImageGroupDataManager.h"
#include "AKImagePickerController/picker/AKAssetGroupDetailVC.h"
#include "AKImagePickerController/picker/AKImagePickerController.h"
#include "AKImagePickerController/picker/internal/AKImagePickerControllerResource.h"
#include "AKPhotoGallery/AKPhotoGalleryItem.h"
#include "platform/uikit/UIApplication.h"
#include "platform/uikit/UINavigationBar.h"
#include "platform/uikit/UIWindow.h"

namespace {

std::optional<int64_t> ReadIndex(const AKImageExtensionInfo& info) {
  if (auto v = AKImageExtensionValue<int64_t>(info, kAKExtensionPresentationIndex)) return v;
  if (auto v = AKImageExtensionValue<int>(info, kAKExtensionPresentationIndex)) return int64_t(*v);
  return std::nullopt;
}

// Where an album has an asset now: its index, newest first, or none once the
// album or the asset has gone. A deletion moves every older asset up, so a
// page finds its asset by identifier, never by the index it was built at.
std::optional<int64_t> CurrentAlbumIndex(const AKImageGroupDataManager& manager,
                                         const std::string& groupId, const std::string& identifier) {
  auto group = manager.fetchGroup(groupId);
  auto result = group ? group->fetchResult() : nullptr;
  if (!result) return std::nullopt;
  const auto& objects = result->objects();
  for (size_t i = 0; i < objects.size(); ++i) {
    if (objects[i] && objects[i]->localIdentifier() == identifier) return int64_t(objects.size() - 1 - i);
  }
  return std::nullopt;
}

}  // namespace

AKImageExtensionGallery::AKImageExtensionGallery(AKImageExtensionContextPtr context)
    : AKImageBaseExtension(std::move(context)) {}

std::shared_ptr<AKAssetGroupDetailVC> AKImageExtensionGallery::grid() const {
  return context() ? std::dynamic_pointer_cast<AKAssetGroupDetailVC>(context()->groupDetailVC())
                   : nullptr;
}

void AKImageExtensionGallery::perform(const AKImageExtensionInfo& info) {
  auto gridVC = grid();
  auto picker = context() ? context()->imagePickerController() : nullptr;
  if (!gridVC || !picker) return;
  auto groupId = AKImageExtensionValue<std::string>(info, kAKExtensionGroupId);
  if (!groupId) return;
  auto group = picker->groupDataManager()->fetchGroup(*groupId);
  if (!group) return;
  auto built = buildGallery(info, group);
  // An album whose assets are all gone gives no pages: nothing to show.
  if (!built) return;
  gallery_ = built;
  group_ = group;
  std::shared_ptr<UIViewController> presenter = gridVC;
  if (picker->isInline()) {
    auto window = UIApplication::sharedApplication()->keyWindow();
    presenter = window ? window->rootViewController() : nullptr;
  }
  if (presenter) presentWithPhotoGallery(presenter, built);
}

std::shared_ptr<AKPhotoGallery> AKImageExtensionGallery::buildGallery(const AKImageExtensionInfo& info,
                                                                       const AKAssetGroupPtr& group) {
  auto gridVC = grid();
  auto picker = context() ? context()->imagePickerController() : nullptr;
  if (!gridVC || !picker) return nullptr;
  auto index = ReadIndex(info);
  auto fromView = AKImageExtensionValue<std::shared_ptr<UIImageView>>(info, kAKExtensionPresentingFromImageView).value_or(nullptr);

  int64_t pages = 0;
  if (auto result = group->fetchResult()) {
    pages = result->count();
    if (group->displayCount() && *group->displayCount() > 0) pages = std::min(pages, *group->displayCount());
  }
  std::vector<AKPhotoGalleryItemPtr> items;
  std::vector<int64_t> albumIndexes;
  std::vector<std::string> identifiers;
  auto manager = picker->groupDataManager();
  for (int64_t i = 0; i < pages; ++i) {
    auto asset = manager->fetchPHAsset(group, i);
    if (!asset) continue;
    auto item = AKPhotoGalleryItem::itemWithAsset(asset);
    if (index && i == *index && fromView && fromView->image()) item->setThumbnail(fromView->image());
    items.push_back(item);
    albumIndexes.push_back(i);
    identifiers.push_back(asset->localIdentifier());
  }
  if (items.empty()) return nullptr;

  // The page of the pressed asset (its album index may have been skipped:
  // then the next page that exists, or the last).
  int64_t presentationPage = 0;
  if (index) {
    auto at = std::lower_bound(albumIndexes.begin(), albumIndexes.end(), *index);
    presentationPage = at == albumIndexes.end() ? int64_t(albumIndexes.size()) - 1
                                                : int64_t(at - albumIndexes.begin());
  }
  pageAlbumIndexes_ = albumIndexes;
  pageIdentifiers_ = identifiers;

  auto gallery = std::make_shared<AKPhotoGallery>();
  gallery->setSingleTapMode(AKPhotoGallerySingleTapMode::toggleControlView);
  gallery->setItems(items);
  gallery->setGalleryDelegate(std::static_pointer_cast<AKImageExtensionGallery>(shared_from_this()));
  gallery->setPresentingFromImageView(fromView);
  gallery->setPresentationIndex(presentationPage);
  std::weak_ptr<AKAssetGroupDetailVC> weakGrid = gridVC;
  std::weak_ptr<AKImagePickerController> weakPicker = picker;
  // The grid presents the gallery: the block holds it weakly, or the two
  // would keep each other while the gallery is shown.
  gallery->setFinishedBlock([weakGrid, weakPicker, groupId = group->groupId(), identifiers](
                                int64_t page, const AKPhotoGalleryItemPtr&) -> std::shared_ptr<UIImageView> {
    auto gridVC = weakGrid.lock();
    auto picker = weakPicker.lock();
    if (!gridVC || !picker || page < 0 || page >= int64_t(identifiers.size())) return nullptr;
    // The cell of the shown asset where the album has it now; an asset
    // deleted meanwhile has none, and the gallery closes without a zoom.
    auto index = CurrentAlbumIndex(*picker->groupDataManager(), groupId, identifiers[size_t(page)]);
    if (!index) return nullptr;
    int64_t row = *index + (gridVC->hidesCamera() ? 0 : 1);
    auto path = NSIndexPath::indexPathForItem(row, 0);
    if (auto cv = gridVC->collectionView()) {
      if (row < cv->numberOfItemsInSection(0)) {
        if (auto attributes = cv->collectionViewLayout()->layoutAttributesForItemAtIndexPath(path)) {
          cv->scrollRectToVisible(attributes->frame, false);
          cv->layoutIfNeeded();
        }
      }
    }
    return gridVC->thumbnailImageView(path);
  });
  return gallery;
}

const std::shared_ptr<UIBarButtonItem>& AKImageExtensionGallery::backItem() {
  if (!backItem_) {
    auto weak = std::weak_ptr<AKImageExtensionGallery>(
        std::static_pointer_cast<AKImageExtensionGallery>(shared_from_this()));
    backItem_ = UIBarButtonItem::itemWithImage(
        AKImagePickerControllerResource::galleryBackArrowImage(), UIBarButtonItemStyle::Plain,
        shared_from_this(), [weak](UIBarButtonItem&) {
          if (auto self = weak.lock()) self->dismissGallery();
        });
  }
  return backItem_;
}

void AKImageExtensionGallery::photoGalleryDidShow(AKPhotoGallery& gallery, int64_t) {
  auto top = gallery.topViewController();
  if (!top) return;
  auto item = top->navigationItem();
  if (!item->rightBarButtonItem()) {
    auto button = UIButton::buttonWithType(UIButtonType::Custom);
    auto font = UIFont::fontWithName("Helvetica Neue", 13);
    button->titleLabel()->setFont(font ? font : UIFont::systemFontOfSize(13));
    auto weak = std::weak_ptr<AKImageExtensionGallery>(
        std::static_pointer_cast<AKImageExtensionGallery>(shared_from_this()));
    button->addTarget(shared_from_this(),
                      [weak](UIControl& sender, UIEvent*) {
                        auto self = weak.lock();
                        auto* b = dynamic_cast<UIButton*>(&sender);
                        if (self && b) self->selectAssetFromGalleryWithButton(*b);
                      },
                      UIControlEventTouchUpInside);
    button->setTitle("", UIControlStateNormal);
    auto checked = AKImagePickerControllerResource::image("photoGallery_checked_image", true, true);
    auto unchecked = AKImagePickerControllerResource::image("photoGallery_unchecked_image", true, true);
    button->setBackgroundImage(checked, UIControlStateSelected);
    button->setBackgroundImage(unchecked, UIControlStateNormal);
    CGSize size = checked ? checked->size() : CGSizeZero;
    button->setBounds(CGRectMake(0, 0, size.width, size.height));
    item->setRightBarButtonItem(UIBarButtonItem::itemWithCustomView(button));
  }
  if (item->leftBarButtonItem() != backItem()) item->setLeftBarButtonItem(backItem());
  updateSelectButton();
}

AKAssetPtr AKImageExtensionGallery::currentAsset() const {
  auto shown = gallery();
  auto picker = context() ? context()->imagePickerController() : nullptr;
  if (!shown || !picker || !group_) return nullptr;
  int64_t page = shown->currentIndex();
  if (page < 0 || page >= int64_t(pageIdentifiers_.size())) return nullptr;
  auto manager = picker->groupDataManager();
  auto index = CurrentAlbumIndex(*manager, group_->groupId(), pageIdentifiers_[size_t(page)]);
  auto group = manager->fetchGroup(group_->groupId());
  return index && group ? manager->fetchAsset(group, *index) : nullptr;
}

void AKImageExtensionGallery::updateSelectButton() {
  auto shown = gallery();
  auto top = shown ? shown->topViewController() : nullptr;
  auto item = top ? top->navigationItem()->rightBarButtonItem() : nullptr;
  auto button = item ? std::dynamic_pointer_cast<UIButton>(item->customView()) : nullptr;
  auto picker = context() ? context()->imagePickerController() : nullptr;
  if (!button || !picker) return;
  auto asset = currentAsset();
  if (!asset) return;
  double textWidth = 0;
  if (auto position = picker->indexOf(asset)) {
    button->setTitle(std::to_string(*position + 1), UIControlStateSelected);
    button->setSelected(true);
    textWidth = button->titleLabel()->sizeThatFits(CGSizeMake(100, 50)).width + 10;
  } else {
    button->setSelected(false);
    button->sizeToFit();
  }
  auto background = button->backgroundImageForState(UIControlStateNormal);
  double imageWidth = background ? background->size().width : 0;
  CGRect bounds = button->bounds();
  button->setBounds(CGRectMake(0, 0, std::max(imageWidth, textWidth), bounds.size.height));
}

void AKImageExtensionGallery::selectAssetFromGalleryWithButton(UIButton& button) {
  auto picker = context() ? context()->imagePickerController() : nullptr;
  if (!gallery() || !picker) return;
  auto asset = currentAsset();
  if (!asset) return;
  if (button.isSelected()) {
    picker->deselectWithAsset(asset);
  } else {
    picker->selectWithAsset(asset);
  }
  updateSelectButton();
}

void AKImageExtensionGallery::dismissGallery() {
  if (auto shown = gallery()) shown->dismissGallery();
}

void registerAKImageExtensionGallery() {
  AKImageExtensionClass::registerRuntimeClass(AKImageExtensionClass::of<AKImageExtensionGallery>(
      "AKImagePickerController.AKImageExtensionGallery", AKImageExtensionGallery::extensionType()));
}
